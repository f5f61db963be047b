// Lets this test program serve as the scripted decoding server when started as one.
#include "tests/unit/server-link/scripted_server.h"

namespace {
const bool kServerMode = scripted::RunServerIfAsked();
}  // namespace
