// libFuzzer's entry point for one fuzz target, the function that MPG_FUZZ_ENTRY names (each
// fuzzer program is this file built with another name).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"

#ifndef MPG_FUZZ_ENTRY
#error "MPG_FUZZ_ENTRY must name the fuzz target"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return MPG_FUZZ_ENTRY(data, size);
}
