#include "config.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

// "name=value ..." of the members that differ from the defaults (spelled out: they are contract).
std::string Diff(const AppConfig& c) {
  const AppConfig d{{"/kv/bridge/data/meter"},
                    {"/var/lib/skelvane", true, 10240, 51200, 120, 100000, false},
                    {30, 120, 120, 120, 30, 1},
                    {"", ""},
                    60,
                    1000};
  std::string out;
  const auto field = [&out](bool same, std::string_view name, const std::string& value) {
    if (!same)
      fmt::format_to(std::back_inserter(out), "{}{}={}", out.empty() ? "" : " ",
                     name.substr(name.find('.') + 1), value);
  };
#define D(m) field(c.m == d.m, #m, ::testing::PrintToString(c.m))
  D(topics), D(storage.dir), D(storage.compress), D(storage.max_file_kb), D(storage.max_dir_kb),
      D(storage.rotation_cooldown), D(storage.max_index), D(storage.sync), D(resend.cooldown),
      D(resend.stale_threshold), D(resend.grace_period), D(resend.live_ack_threshold),
      D(resend.fast_ack_threshold), D(resend.window), D(status.prometheus_file),
      D(status.mqtt_topic), D(maintenance_interval), D(loop_timeout_ms);
#undef D
  return out;
}

// Fallbacks and their log lines, type rules, 32-bit narrowing and the one bounded pair.
TEST(LoadConfig, Rows) {
  const std::string kType = "throws [json.exception.type_error.";
  const struct {
    const char* text;      // file content; nullptr: no file at the path
    std::string want;      // Diff() of the result, or "throws <what()>"
    std::string log = "";  // "<level> <message>" with "{path}"; a trailing '*': a prefix
  } rows[] = {
      {nullptr, "", "3 Config not found: {path}, using defaults"},
      {"", "", "4 Config parse error: [json.exception.parse_error.*"},
      // The stream reader stops after the first value; "topics" that is no array is ignored.
      {R"({"topics": "/a", "maintenance_interval": 5} trailing {"x" garbage)",
       "maintenance_interval=5"},
      {R"({"topics": ["/b", 7, null, "/a", ["/c"]]})", R"(topics={ "/b", "/a" })"},
      // Keys with no row of their own; unknown keys, max_index and top-level storage keys ignored.
      {R"({"storage": {"dir": "/d", "compress": false, "sync": true, "max_dir_kb": 10241,
                       "max_index": 5, "other": 1}, "max_file_kb": 60000, "unknown": 1})",
       R"(dir="/d" compress=false max_dir_kb=10241 sync=true)"},
      // Integer settings take any number, fractions cut toward zero, or a boolean.
      {R"({"storage": {"max_file_kb": 10.9, "rotation_cooldown": -7.9},
           "resend": {"cooldown": true, "grace_period": false, "window": 2.7}})",
       "max_file_kb=10 rotation_cooldown=-7 cooldown=1 grace_period=0 window=2"},
      // A window below 1 becomes 1; the rest of "resend" stays.
      {R"({"resend": {"window": 0, "cooldown": 9}})", "cooldown=9",
       "3 resend.window (0) must be at least 1. Using 1."},
      // Floating-point values (integers beyond 64 bits among them) saturate at the int32 limits.
      {R"({"maintenance_interval": 1e20, "loop_timeout_ms": -1e300,
           "resend": {"cooldown": 2147483647.9, "stale_threshold": -2147483648.9,
                      "grace_period": 2147483648.0, "live_ack_threshold": -99999999999999999999}})",
       "cooldown=2147483647 stale_threshold=-2147483648 grace_period=2147483647 "
       "live_ack_threshold=-2147483648 maintenance_interval=2147483647 "
       "loop_timeout_ms=-2147483648"},
      // Integers keep their low 32 bits.
      {R"({"resend": {"cooldown": 4294967297, "stale_threshold": -1, "grace_period": 2147483648,
           "live_ack_threshold": 18446744073709551615, "fast_ack_threshold": -4294967297}})",
       "cooldown=1 stale_threshold=-1 grace_period=-2147483648 live_ack_threshold=-1 "
       "fast_ack_threshold=-1"},
      // Beyond the double range the parser raises out_of_range: start-up stops, no fallback.
      {R"({"resend": {"cooldown": 1e400}})",
       "throws [json.exception.out_of_range.406] number overflow parsing '1e400'"},
      {R"({"storage": {"compress": 1}})", kType + "302] type must be boolean, but is number"},
      {R"({"storage": {"dir": 5}})", kType + "302] type must be string, but is number"},
      {R"({"status": {"prometheus_file": "/p.prom", "mqtt_topic": "s/t"}})",
       R"(prometheus_file="/p.prom" mqtt_topic="s/t")"},
      {"[]", kType + "306] cannot use value() with array"},
      {R"({"storage": 5})", kType + "306] cannot use value() with number"},
      // max_dir_kb must exceed max_file_kb, else both fall back; the rest of "storage" stays.
      {R"({"storage": {"max_file_kb": 60000, "rotation_cooldown": 9}})", "rotation_cooldown=9",
       "3 max_dir_kb (51200) must be > max_file_kb (60000). Using defaults."},
      {R"({"storage": {"max_file_kb": 100, "max_dir_kb": 100}})", "",
       "3 max_dir_kb (100) must be > max_file_kb (100). Using defaults."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text == nullptr ? "no file" : row.text);
    testsupport::TempDir tmp;
    const std::string path = tmp.file("skelvane.json");
    if (row.text != nullptr) testsupport::WriteFile(path, row.text);
    P7::ScopedCapture capture;
    try {
      EXPECT_EQ(Diff(loadConfig(path)), row.want);
    } catch (const std::exception& e) {
      EXPECT_EQ("throws " + std::string(e.what()), row.want);
    }
    std::string got, want = row.log.empty() ? "" : row.log + "\n";
    if (const size_t at = want.find("{path}"); at != std::string::npos) want.replace(at, 6, path);
    for (const auto& r : capture.records()) got += std::to_string(r.level) + " " + r.message + "\n";
    // "Config loaded" marks a file read completely: not after a fallback or an exception.
    if (row.text != nullptr && !row.want.starts_with("throws") && !want.starts_with("4 ")) {
      want += "2 Config loaded: " + path + "\n";
    }
    if (want.ends_with("*\n")) {  // a prefix: the rest is the parser's own text
      EXPECT_TRUE(got.starts_with(want.substr(0, want.size() - 2))) << got;
    } else {
      EXPECT_EQ(got, want);
    }
  }
}

}  // namespace
}  // namespace kestova
