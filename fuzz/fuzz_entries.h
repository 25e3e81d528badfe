// Helpers shared by the libFuzzer targets. The oracles avoid the code under test where practical:
// lines are split here and record lines are judged by the JSON library's DOM.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "env.h"
#include "p7.h"

namespace fuzzentry {

// A broken property aborts, so libFuzzer keeps the input: rerun the target on it to see which.
#define FUZZ_CHECK(cond, what) \
  ((cond) ? void() : (std::fprintf(stderr, "fuzz property violated: %s\n", what), abort()))

// The process's scratch directory (on a memory file system where there is one), removed at a normal
// exit and kept after a crash. The first call also silences the logger.
inline const std::string& ScratchDir(const char* tag) {
  static const std::string* dir = [tag] {  // never destroyed: the exit handler still needs it
    P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
    std::string tmpl = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                       "/skelvane-fuzz-" + tag + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*dir, ignored);
    });
    return new std::string(tmpl);
  }();
  return *dir;
}
inline void WriteWhole(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  FUZZ_CHECK(out.write(data.data(), static_cast<std::streamsize>(data.size())).good(),
             "cannot write a scratch file");
}
inline std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Delivers `data` in reads whose sizes follow `pattern` (cycled; 0 means "as much as asked"), and
// fails with EIO once `fail_at` bytes have been delivered.
struct MemorySource final : kestova::SequentialFile {
  MemorySource(std::string_view d, std::vector<size_t> p = {}, size_t f = std::string::npos)
      : data(d), pattern(std::move(p)), fail_at(f) {}
  kestova::Status Read(size_t n, char* buf, size_t* got) override {
    *got = 0;
    if (pos >= fail_at) return kestova::Status::FromErrno(EIO);
    const size_t step = pattern.empty() ? 0 : pattern[calls++ % pattern.size()];
    *got = std::min({n, std::min(data.size(), fail_at) - pos, step == 0 ? n : step});
    std::memcpy(buf, data.data() + pos, *got);
    pos += *got;
    return {};
  }
  std::string_view data;
  std::vector<size_t> pattern;
  size_t fail_at, pos = 0, calls = 0;
};

struct MemorySink final : kestova::WritableFile {
  kestova::Status Append(const char* data, size_t n) override {
    text.append(data, n);
    return {};
  }
  kestova::Status Sync() override { return {}; }
  kestova::Status Close() override { return {}; }
  std::string text;
};

// The parts of `text` between `sep` bytes (without the empty ones unless `empty`).
inline std::vector<std::string_view> Split(std::string_view text, char sep = '\n',
                                           bool empty = false) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = std::min(text.find(sep, start), text.size());
    if (empty || end > start) parts.push_back(text.substr(start, end - start));
    if (end == text.size()) return parts;
    start = end + 1;
  }
}

// What a record line means, decided with the DOM parser: a valid key (a number "ts", cut toward
// zero and saturated, and a string "msg_id"), and a body when "topic" and "payload" are strings.
struct ExpectedRecord {
  std::string_view line;
  bool valid = false, body = false;
  int64_t ts = 0;
  std::string msg_id, topic, payload;
};
inline ExpectedRecord Classify(std::string_view line) {
  ExpectedRecord r{.line = line};
  if (line.find('\0') != std::string_view::npos) return r;
  const auto doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  const auto is_string = [&doc](const char* key) {
    return doc.contains(key) && doc[key].is_string();
  };
  if (!doc.contains("ts") || !doc["ts"].is_number() || !is_string("msg_id")) return r;
  const nlohmann::json& ts = doc["ts"];  // a long double holds every 64-bit integer exactly
  const long double v = ts.is_number_unsigned()  ? ts.get<uint64_t>()
                        : ts.is_number_integer() ? ts.get<int64_t>()
                                                 : std::trunc(ts.get<long double>());
  r.ts = v >= 0x1p63L   ? std::numeric_limits<int64_t>::max()
         : v < -0x1p63L ? std::numeric_limits<int64_t>::min()
                        : static_cast<int64_t>(v);
  r.valid = true;
  r.msg_id = doc["msg_id"];
  if ((r.body = is_string("topic") && is_string("payload"))) {
    r.topic = doc["topic"];
    r.payload = doc["payload"];
  }
  return r;
}

}  // namespace fuzzentry
