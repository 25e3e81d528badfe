// loadConfig on any file: only std::exceptions escape; a loaded configuration keeps max_dir_kb >
// max_file_kb and max_index, and an object's "topics" array gives exactly its strings.
#include "config.h"
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzentry::ScratchDir("config") + "/skelvane.json";
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  fuzzentry::WriteWhole(path, text);
  kestova::AppConfig config;
  try {
    config = kestova::loadConfig(path);
  } catch (const std::exception&) {
    return 0;
  }
  FUZZ_CHECK(config.storage.max_dir_kb > config.storage.max_file_kb, "max_dir_kb > max_file_kb");
  FUZZ_CHECK(config.storage.max_index == kestova::OutboxStoreConfig().max_index, "max_index");
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_object() && doc.contains("topics") && doc["topics"].is_array()) {
    std::vector<std::string> want;
    for (const auto& t : doc["topics"]) {
      if (t.is_string()) want.push_back(t.get<std::string>());
    }
    FUZZ_CHECK(config.topics == want, "topics differ from the file's string entries");
  }
  return 0;
}
