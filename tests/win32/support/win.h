// windows.h for the tests, without the A/W macros that would rename the platform layer's
// functions of the same names.
#pragma once

#include <windows.h>

#undef CreateEvent
#undef GetCurrentDirectory
