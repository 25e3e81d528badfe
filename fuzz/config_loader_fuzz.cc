// Fuzzes the configuration loader over arbitrary file content.
// The properties checked are described in fuzz_entries.h.
#include <cstddef>
#include <cstdint>

#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzentry::RunConfigLoader(data, size);
}
