#include "config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>

#include "p7.h"
#include "temp_dir.h"

namespace kestova {

// Readable failure output for whole-record comparisons.
void PrintTo(const AppConfig& c, std::ostream* os) {
  *os << "{topics=[";
  for (const auto& t : c.topics) *os << '"' << t << "\" ";
  const auto& s = c.storage;
  const auto& r = c.resend;
  *os << "] dir=" << s.dir << " compress=" << s.compress << " sync=" << s.sync
      << " max_file_kb=" << s.max_file_kb << " max_dir_kb=" << s.max_dir_kb
      << " rotation_cooldown=" << s.rotation_cooldown << " max_index=" << s.max_index
      << " cooldown=" << r.cooldown << " stale=" << r.stale_threshold << " grace=" << r.grace_period
      << " live_ack=" << r.live_ack_threshold << " fast_ack=" << r.fast_ack_threshold
      << " maint=" << c.maintenance_interval << " loop_ms=" << c.loop_timeout_ms << "}";
}

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

// What loadConfig returns when the file contributes nothing.
AppConfig Defaults() {
  AppConfig c;
  c.topics = {"/kv/bridge/data/meter"};
  return c;
}

struct Row {
  const char* name;
  const char* text;  // file content; nullptr: no file at the path
  // Applied to Defaults() to give the expected result (ignored when `error` is set).
  std::function<void(AppConfig&)> expect;
  const char* error = nullptr;  // expected exception text (exact what())
  int log_level = -1;           // expected warning/error line, besides "Config loaded"
  std::string log = "";         // "{path}" stands for the file path
  bool log_is_prefix = false;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const auto kNone = [](AppConfig&) {};
constexpr const char kBoolError[] =
    "[json.exception.type_error.302] type must be boolean, but is number";

const Row kRows[] = {
    // Missing or unparsable files fall back to the defaults without throwing.
    {"MissingFile", nullptr, kNone, nullptr, P7::kWarning,
     "Config not found: {path}, using defaults"},
    {"EmptyFile", "", kNone, nullptr, P7::kError,
     "Config parse error: [json.exception.parse_error.", true},
    {"UnterminatedObject", R"({"topics": ["a"], "maintenance_interval": 5)", kNone, nullptr,
     P7::kError, "Config parse error: [json.exception.parse_error.", true},
    {"TrailingTextIgnored", R"({"maintenance_interval": 5} trailing {"x" garbage)",
     [](AppConfig& c) { c.maintenance_interval = 5; }},
    // Topics.
    {"TopicsEmptyArray", R"({"topics": []})", [](AppConfig& c) { c.topics.clear(); }},
    {"TopicsOnlyNumbers", R"({"topics": [1, 2.5]})", [](AppConfig& c) { c.topics.clear(); }},
    {"TopicsSingleStringIgnored", R"({"topics": "/a"})", kNone},
    {"TopicsMixedKeepsStringsInOrder", R"({"topics": ["/b", 7, null, "/a", ["/c"]]})",
     [](AppConfig& c) {
       c.topics = {"/b", "/a"};
     }},

    // Every key lands in its own member; unknown keys at any level are ignored.
    {"AllKeys",
     R"({"topics": ["/t"], "unknown": 1,
         "storage": {"dir": "/d", "compress": false, "max_file_kb": 11, "max_dir_kb": 22,
                     "rotation_cooldown": 33, "sync": true, "max_index": 5, "other": "x"},
         "resend": {"cooldown": 1, "stale_threshold": 2, "grace_period": 3,
                    "live_ack_threshold": 4, "fast_ack_threshold": 5, "other": []},
         "maintenance_interval": 6, "loop_timeout_ms": 7})",
     [](AppConfig& c) {
       c.topics = {"/t"};
       c.storage.dir = "/d";
       c.storage.compress = false;
       c.storage.max_file_kb = 11;
       c.storage.max_dir_kb = 22;
       c.storage.rotation_cooldown = 33;
       c.storage.sync = true;
       c.resend = {1, 2, 3, 4, 5};
       c.maintenance_interval = 6;
       c.loop_timeout_ms = 7;
     }},
    {"NegativeAndZeroTakenAsIs", R"({"resend": {"cooldown": -5, "grace_period": 0}})",
     [](AppConfig& c) {
       c.resend.cooldown = -5;
       c.resend.grace_period = 0;
     }},

    // Integer settings: any number or boolean.
    {"FractionTruncated", R"({"storage": {"max_file_kb": 10.9, "rotation_cooldown": -7.9}})",
     [](AppConfig& c) {
       c.storage.max_file_kb = 10;
       c.storage.rotation_cooldown = -7;
     }},
    {"BooleansCount", R"({"storage": {"max_file_kb": true}, "resend": {"cooldown": false}})",
     [](AppConfig& c) {
       c.storage.max_file_kb = 1;
       c.resend.cooldown = 0;
     }},
    // Integers beyond 64 bits are read by the parser as doubles and saturate like them.
    {"HugeFloatsSaturate",
     R"({"maintenance_interval": 1e20, "loop_timeout_ms": -1e300,
         "resend": {"cooldown": 1.5e308, "grace_period": 99999999999999999999,
                    "live_ack_threshold": -99999999999999999999}})",
     [](AppConfig& c) {
       c.maintenance_interval = kMax;
       c.loop_timeout_ms = kMin;
       c.resend.cooldown = kMax;
       c.resend.grace_period = kMax;
       c.resend.live_ack_threshold = kMin;
     }},
    // A literal beyond the double range is the parser's out_of_range error, not a parse error: it
    // stops start-up instead of silently falling back to the defaults.
    {"LiteralBeyondDouble", R"({"resend": {"cooldown": 1e400}})", kNone,
     "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
    {"FloatsAtTheLimits",
     R"({"resend": {"cooldown": 2147483647.9, "stale_threshold": -2147483648.9,
                    "grace_period": 2147483648.0, "live_ack_threshold": -2147483649.0}})",
     [](AppConfig& c) {
       c.resend.cooldown = kMax;
       c.resend.stale_threshold = kMin;
       c.resend.grace_period = kMax;
       c.resend.live_ack_threshold = kMin;
     }},
    {"IntegersKeepLow32Bits",
     R"({"resend": {"cooldown": 4294967297, "stale_threshold": -1, "grace_period": 2147483648,
                    "live_ack_threshold": 18446744073709551615, "fast_ack_threshold": -4294967297}})",
     [](AppConfig& c) {
       c.resend = {1, -1, kMin, -1, -1};
     }},

    // Booleans and strings are strict.
    {"SyncTrue", R"({"storage": {"sync": true}})", [](AppConfig& c) { c.storage.sync = true; }},
    {"SyncFalseCompressFalse", R"({"storage": {"sync": false, "compress": false}})",
     [](AppConfig& c) { c.storage.compress = false; }},
    {"SyncNumber", R"({"storage": {"sync": 1}})", kNone, kBoolError},
    {"CompressNumber", R"({"storage": {"compress": 1}})", kNone, kBoolError},
    {"DirNumber", R"({"storage": {"dir": 5}})", kNone,
     "[json.exception.type_error.302] type must be string, but is number"},
    {"IntegerString", R"({"resend": {"stale_threshold": "10"}})", kNone,
     "[json.exception.type_error.302] type must be number, but is string"},
    {"IntegerNull", R"({"loop_timeout_ms": null})", kNone,
     "[json.exception.type_error.302] type must be number, but is null"},

    // Containers of the wrong type.
    {"TopLevelArray", "[]", kNone, "[json.exception.type_error.306] cannot use value() with array"},
    {"TopLevelNull", "null", kNone, "[json.exception.type_error.306] cannot use value() with null"},
    {"StorageNumber", R"({"storage": 5})", kNone,
     "[json.exception.type_error.306] cannot use value() with number"},
    {"ResendArray", R"({"resend": []})", kNone,
     "[json.exception.type_error.306] cannot use value() with array"},

    // The max_dir_kb / max_file_kb pair.
    {"FileLimitAboveDefaultDirLimit",
     R"({"storage": {"max_file_kb": 60000, "rotation_cooldown": 9, "dir": "/x"}})",
     [](AppConfig& c) {
       c.storage.rotation_cooldown = 9;
       c.storage.dir = "/x";
     },
     nullptr, P7::kWarning, "max_dir_kb (51200) must be > max_file_kb (60000). Using defaults."},
    {"EqualLimits", R"({"storage": {"max_file_kb": 100, "max_dir_kb": 100}})", kNone, nullptr,
     P7::kWarning, "max_dir_kb (100) must be > max_file_kb (100). Using defaults."},
    {"DirLimitJustAbove", R"({"storage": {"max_file_kb": 100, "max_dir_kb": 101}})",
     [](AppConfig& c) {
       c.storage.max_file_kb = 100;
       c.storage.max_dir_kb = 101;
     }},
    {"LimitsOutsideStorageIgnored", R"({"max_file_kb": 60000, "max_dir_kb": 1})", kNone},
};

class LoadConfigTest : public ::testing::TestWithParam<Row> {};

TEST_P(LoadConfigTest, Loads) {
  const Row& row = GetParam();
  testsupport::TempDir tmp;
  const std::string path = tmp.file("skelvane.json");
  if (row.text != nullptr) testsupport::WriteFile(path, row.text);

  P7::ScopedCapture capture;
  if (row.error != nullptr) {
    try {
      loadConfig(path);
      FAIL() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), row.error);
    }
  } else {
    AppConfig want = Defaults();
    row.expect(want);
    EXPECT_EQ(loadConfig(path), want);
  }

  std::string log = row.log;
  if (auto at = log.find("{path}"); at != std::string::npos) log.replace(at, 6, path);
  int problems = 0;
  bool loaded = false;
  for (const auto& r : capture.records()) {
    EXPECT_EQ(r.function, "loadConfig") << r.message;
    if (r.message == "Config loaded: " + path) {
      EXPECT_EQ(r.level, P7::kInfo);
      loaded = true;
    } else if (r.level >= P7::kWarning) {
      ++problems;
      EXPECT_EQ(r.level, row.log_level) << r.message;
      if (row.log_is_prefix) {
        EXPECT_EQ(r.message.rfind(log, 0), 0u) << r.message;
      } else {
        EXPECT_EQ(r.message, log);
      }
    }
  }
  EXPECT_EQ(problems, row.log.empty() ? 0 : 1);
  // "Config loaded" marks a file that was read completely; not after a fallback or a type error.
  const bool fell_back = row.log_level == P7::kError || row.text == nullptr;
  EXPECT_EQ(loaded, row.error == nullptr && !fell_back);
}

INSTANTIATE_TEST_SUITE_P(Rows, LoadConfigTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestova
