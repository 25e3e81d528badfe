#include "outbox_tool.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "env.h"
#include "record_writer.h"
#include "subprocess.h"
#include "temp_dir.h"

namespace kestova::outbox_tool {
namespace {

using namespace testsupport;

struct Result {
  int rc;
  std::string out, err;
};

// Runs a command line split on blanks (test paths hold none).
Result Tool(const std::string& command_line) {
  std::vector<std::string> args;
  std::istringstream words(command_line);
  for (std::string w; words >> w;) args.push_back(w);
  std::ostringstream out, err;
  const int rc = Run(args, out, err);
  return {rc, out.str(), err.str()};
}

// The output behind a line feed, every run of blanks one space (none at line ends): rows compare
// by field.
std::string Squeezed(const std::string& text) {
  std::string out = "\n";
  for (const char ch : text) {
    if (ch == '\n' && out.back() == ' ') out.pop_back();
    if (ch != ' ' || (out.back() != ' ' && out.back() != '\n')) out += ch;
  }
  return out;
}

bool Has(const std::string& text, const std::string& fragment) {
  return Squeezed(text).find(fragment) != std::string::npos;
}

void WriteGzip(const std::string& path, const std::string& text) {
  gzFile f = gzopen(path.c_str(), "wb");
  gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
  gzclose(f);
}

std::string Line(int64_t ts, const std::string& id, const std::string& payload_base64) {
  return FormatRecordLine(ts, id, "t", payload_base64);
}

// Active file, archives "_9" (plain) and "_10" (gzip; archive order puts _9 first), a temp file.
class OutboxTool : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.file("outbox.jsonl"), Line(1000, "a1", "aGVsbG8=") + Line(1002, "a2", "/wA="));
    WriteFile(dir_.file(kPlain), Line(900, "p1", "eA=="));
    WriteGzip(dir_.file(kGz), Line(1100, "g1", "") + Line(950, "g2", "eQ=="));
    WriteFile(dir_.file("outbox.2024-01-01_000000_11.jsonl.gz.tmp"), "x");
  }
  std::string Size(const std::string& name) { return std::to_string(Bytes(name)); }
  uint64_t Bytes(const std::string& name) { return std::filesystem::file_size(dir_.file(name)); }
  static constexpr char kPlain[] = "outbox.2024-01-01_000000_9.jsonl";
  static constexpr char kGz[] = "outbox.2024-01-01_000000_10.jsonl.gz";
  const std::vector<std::string> kAll = {
      R"({"ts":1000,"msg_id":"a1","topic":"t","payload":"hello"})",
      R"({"ts":1002,"msg_id":"a2","topic":"t","payload_base64":"/wA="})",
      R"({"ts":900,"msg_id":"p1","topic":"t","payload":"x"})",
      R"({"ts":1100,"msg_id":"g1","topic":"t","payload":""})",
      R"({"ts":950,"msg_id":"g2","topic":"t","payload":"y"})"};
  TempDir dir_;
};

TEST_F(OutboxTool, StatShowsFilesInDeliveryOrderWithTotalsAndTheLock) {
  std::unique_ptr<FileLock> lock;  // as the running service holds it
  ASSERT_EQ(Env::Default()->LockFile(dir_.file("outbox.lock"), &lock).code(), 0);
  const Result r = Tool("stat " + dir_.path());
  EXPECT_EQ(r.rc, 0) << r.err;
  const auto total = std::to_string(Bytes("outbox.jsonl") + Bytes(kPlain) + Bytes(kGz));
  EXPECT_EQ(Squeezed(r.out),
            "\noutbox " + dir_.path() + ": in use by a running service\n" +
                "FILE RECORDS BROKEN OLDEST NEWEST BYTES\n" +
                "outbox.jsonl 2 0 1000 1970-01-01T00:16:40Z 1002 1970-01-01T00:16:42Z " +
                Size("outbox.jsonl") + "\n" + kPlain +
                " 1 0 900 1970-01-01T00:15:00Z 900 1970-01-01T00:15:00Z " + Size(kPlain) + "\n" +
                kGz + " 2 0 950 1970-01-01T00:15:50Z 1100 1970-01-01T00:18:20Z " + Size(kGz) +
                "\ntotal 5 0 900 1970-01-01T00:15:00Z 1100 1970-01-01T00:18:20Z " + total + "\n");
}

TEST_F(OutboxTool, CatPrintsDeliveryOrderFilteredByTs) {
  const struct {
    const char* options;
    std::vector<size_t> expected;  // indexes into kAll
  } cases[] = {
      {"", {0, 1}},
      {" --archives", {0, 1, 2, 3, 4}},
      {" --since 950 --archives --until 1000", {0, 4}},
      {" --until -1", {}},
  };
  for (const auto& c : cases) {
    std::string expected;
    for (size_t i : c.expected) expected += kAll[i] + "\n";
    const Result r = Tool("cat " + dir_.path() + c.options);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, expected) << c.options;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(OutboxTool, VerifyAcceptsAWholeOutboxAndNamesEveryDamage) {
  Result r = Tool("verify " + dir_.path());
  EXPECT_TRUE(Has(r.out, "\nnote: outbox.2024-01-01_000000_11.jsonl.gz.tmp: temporary file"));

  // Garbage and a torn last line; a gzip archive cut short, another with bytes after its stream.
  const std::string good = Line(1000, "a1", ""), n = std::to_string(good.size());
  WriteFile(dir_.file("outbox.jsonl"), good + "\x01\xfe\n\n" + good.substr(0, 20));
  const std::string gz = testsupport::ReadFile(dir_.file(kGz));
  WriteFile(dir_.file(kGz), gz.substr(0, gz.size() - 4));
  WriteFile(dir_.file(kPlain), "");
  const std::string trailing = "outbox.2024-01-01_000000_12.jsonl.gz";
  WriteGzip(dir_.file(trailing), good);
  const std::string tail_at = Size(trailing);
  WriteFile(dir_.file(trailing), testsupport::ReadFile(dir_.file(trailing)) + "junk");
  r = Tool("verify " + dir_.path());
  EXPECT_EQ(r.rc, 1);
  const size_t unzipped = Line(1100, "g1", "").size() + Line(950, "g2", "eQ==").size();
  for (const std::string& expected : {
           "\ndamage: outbox.jsonl:2 (byte " + n + "): not a record",
           "\ndamage: outbox.jsonl:4 (byte " + std::to_string(good.size() + 4) + "): torn line",
           "\ndamage: " + std::string(kGz) + ":3 (decompressed byte " + std::to_string(unzipped) +
               "): gzip stream truncated",
           "\ndamage: " + trailing + " (byte " + tail_at +
               "): 4 bytes of data after the end of the gzip stream\n",
           std::string("\nDAMAGED: 4 damaged lines or streams in 3 of 4 files, 4 records intact\n"),
       }) {
    EXPECT_TRUE(Has(r.out, expected)) << expected << "\n" << r.out;
  }
  // cat delivers what the service would and counts the rest.
  r = Tool("cat " + dir_.path() + " --archives");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
  EXPECT_EQ(r.err, "skelvane-outbox: skipped 3 broken lines\n");
}

TEST_F(OutboxTool, FilesRenamedWhileReadingNeverFailTheRun) {
  std::atomic<bool> stop{false};
  std::thread rotator([&] {  // an uncompressed rotation and a restore, over and over
    const std::string active = dir_.file("outbox.jsonl"), archive = dir_.file("outbox.2025.jsonl");
    while (!stop) {
      std::rename(active.c_str(), archive.c_str());
      std::rename(archive.c_str(), active.c_str());
    }
  });
  for (int i = 0; i < 100; ++i) {
    const Result s = Tool("stat " + dir_.path()), v = Tool("verify " + dir_.path()),
                 c = Tool("cat " + dir_.path() + " --archives");
    EXPECT_EQ(s.rc + v.rc + c.rc, 0) << s.out << v.out << c.err;
    EXPECT_TRUE(Has(s.out, "\ntotal 5 0 ") || Has(s.out, "moved")) << s.out;
    EXPECT_TRUE(Has(v.out, "\nOK: 3 files, 5 records\n") || Has(v.out, "moved")) << v.out;
    EXPECT_TRUE(std::count(c.out.begin(), c.out.end(), '\n') == 5 || Has(c.err, "moved")) << c.err;
  }
  stop = true;
  rotator.join();
}

TEST(OutboxToolUsage, WrongUsageIsStatusTwoWithOneLine) {
  for (const char* args :
       {"", "list /tmp", "stat", "stat /a /b", "verify --archives /a", "cat /a --since",
        "cat /a --since 12x", "cat /a --until 1.5", "check-config a b"}) {
    const Result r = Tool(args);
    EXPECT_EQ(r.rc, 2) << args;
    EXPECT_TRUE(r.err.starts_with("usage: skelvane-outbox stat DIR") &&
                std::count(r.err.begin(), r.err.end(), '\n') == 1)
        << r.err;
  }
}

TEST(OutboxToolCheckConfig, PrintsValuesInForceAndEveryProblem) {
  TempDir tmp;
  WriteFile(tmp.file("file"), "");
  std::unique_ptr<FileLock> lock;
  ASSERT_EQ(Env::Default()->LockFile(tmp.file("outbox.lock"), &lock).code(), 0);
  const std::string dir = "\"storage\": {\"dir\": \"" + tmp.path(), p = "problem: ";
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {R"({"topics": ["a/+"], )" + dir + R"(", "max_file_kb": 5, "max_dir_kb": 50, "sync": true},
          "resend": {"grace_period": 7}, "loop_timeout_ms": 250})",
       {R"(topics ["a/+"])", "storage.dir \"" + tmp.path() + "\"", "storage.sync true",
        "storage.max_file_kb 5", "storage.max_dir_kb 50", "resend.grace_period 7",
        "resend.window 1", "loop_timeout_ms 250",
        "note: outbox directory " + tmp.path() + " is in use by a running service",
        "OK: no problems"}},
      {R"({"resend": {"cooldown": "30"}})",
       {p + "Config error: [json.exception.type_error.302] type must be number, but is string "
            "(the service exits with status 1)",
        "1 problem"}},
      {R"({"topics": [], )" + dir + R"(", "max_dir_kb": 1}})",
       {"storage.max_dir_kb 51200",
        p + "max_dir_kb (1) must be > max_file_kb (10240). Using defaults.",
        p + "No topics configured (the service exits with status 1)"}},
      {"{" + dir + "/file\"}}",
       {p + "outbox directory " + tmp.path() + "/file exists but is not a directory"}},
      {"{" + dir + "/file/x\"}}",
       {p + "outbox directory " + tmp.path() + "/file/x cannot be " + "created: " + tmp.path() +
        "/file: not a directory"}},
  };
  for (const auto& c : cases) {
    WriteFile(tmp.file("c.json"), c.text);
    const Result r = Tool("check-config " + tmp.file("c.json"));
    EXPECT_EQ(r.rc, c.lines.back() == "OK: no problems" ? 0 : 1) << c.text << "\n" << r.out;
    for (const std::string& line : c.lines) {
      EXPECT_TRUE(Has(r.out, "\n" + line + "\n")) << line << "\n" << r.out;
    }
  }
}

}  // namespace
}  // namespace kestova::outbox_tool
