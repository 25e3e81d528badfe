// loadConfig on any file: only std::exceptions escape, and a loaded configuration keeps
// max_dir_kb > max_file_kb and the built-in max_index (which values: config_test).
#include "config.h"
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzentry::ScratchDir("config") + "/skelvane.json";
  fuzzentry::WriteWhole(path, {reinterpret_cast<const char*>(data), size});
  kestova::AppConfig config;
  try {
    config = kestova::loadConfig(path);
  } catch (const std::exception&) {
    return 0;
  }
  FUZZ_CHECK(config.storage.max_dir_kb > config.storage.max_file_kb, "max_dir_kb > max_file_kb");
  FUZZ_CHECK(config.storage.max_index == kestova::OutboxStoreConfig().max_index, "max_index");
  return 0;
}
