#include "p7.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "p7_internal.h"
#include "temp_dir.h"

namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

// "<LEVEL> <message>" of each line; fails the test on a line not in the line format.
Strings LevelsAndMessages(const std::string& text) {
  static const std::regex kLine(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )"
      R"((TRACE|DEBUG|INFO|WARNING|ERROR|CRITICAL) [^ :]+:\d+ \S+: (.*))");
  Strings out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, kLine)) << line;
    out.push_back(m[1].str() + " " + m[2].str());
  }
  return out;
}

// Our own log files in `dir`, oldest name first, as paths.
Strings OwnLogs(const std::string& dir) {
  static const std::regex kName(R"(.*/skelvane-\d{8}-\d{6}-\d{3,}\.log)");
  Strings out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (std::regex_match(e.path().string(), kName)) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class P7Test : public ::testing::Test {
 protected:
  void TearDown() override {
    P7::internal::SetClockOffsetForTest(0s);
    P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
  }
  static bool InitFiles(const std::string& dir, const std::string& extra = "") {
    return P7::LoggerInit(P7::MainTrace, "/P7.Sink=FileTxt /P7.Dir=" + dir + " " + extra);
  }
  static std::string Msg(int n) { return fmt::format("n={:03d} {:p<60}", n, ""); }
  TempDir tmp;
};

// Line format, mkdir -p, escapes (no forged line), UTF-8, long lines, levels clamped.
TEST_F(P7Test, FileLinesAreFormattedEscapedAndWrittenThrough) {
  const std::string dir = tmp.path() + "//var/log/p7//usr/bin/skelvane";  // as main builds it
  ASSERT_TRUE(InitFiles(dir, "/P7.Trc.Verb=0"));
  const int line = __LINE__ + 1;
  SKV_LOG(P7::kWarning, "hello %s %d", "world", 42);
  SKV_LOG(P7::kInfo, "%s%c",
          "a\n2024-01-01 00:00:00.000 CRITICAL x.cc:1 f: x\r\x1b\t\x7f\\ \xc3\xa9", 0);
  const std::string big(5000, 'x');
  SKV_LOG(-7, "%s", big.c_str());
  SKV_LOG(42, "above");
  const std::string text = ReadFile(OwnLogs(dir).at(0));
  EXPECT_EQ(text.substr(23, text.find('\n') - 23),
            " WARNING p7_test.cc:" + std::to_string(line) + " TestBody: hello world 42");
  EXPECT_EQ(LevelsAndMessages(text),
            (Strings{"WARNING hello world 42",
                     "INFO a\\n2024-01-01 00:00:00.000 CRITICAL x.cc:1 f: x\\r\\x1b\\t\\x7f\\ "
                     "\xc3\xa9\\x00",
                     "TRACE " + big, "CRITICAL above"}));
}

// Roll and FSize start files; the newest Files of ours kept, lines unbroken; others untouched.
TEST_F(P7Test, RollingKeepsTheNewestFilesAndLeavesForeignFilesAlone) {
  const char* foreign[] = {"notes.txt", "skelvane.log", "skelvane-20000101-000000-000.log.gz",
                           "other-20000101-000000-000.log"};
  for (const char* f : foreign) testsupport::WriteFile(tmp.file(f), "keep");
  const std::string stale = tmp.file("skelvane-20000101-000000-000.log");
  testsupport::WriteFile(stale, "old\n");
  std::filesystem::last_write_time(stale, std::filesystem::file_time_type::clock::now() - 9999h);
  ASSERT_TRUE(InitFiles(tmp.path(), "/P7.Roll=1min /P7.Files=3 /P7.FSize=0.001953125"));  // 2 KiB
  for (int offset : {0, 30, 61}) {
    P7::internal::SetClockOffsetForTest(std::chrono::seconds(offset));
    SKV_LOG(P7::kInfo, "at %d", offset);
  }
  Strings logs = OwnLogs(tmp.path());
  ASSERT_EQ(logs.size(), 3u);  // the stale one, then two
  EXPECT_EQ(LevelsAndMessages(ReadFile(logs[1])), (Strings{"INFO at 0", "INFO at 30"}));
  EXPECT_EQ(LevelsAndMessages(ReadFile(logs[2])), Strings{"INFO at 61"});

  for (int i = 0; i < 100; ++i) SKV_LOG(P7::kInfo, "%s", Msg(i).c_str());
  logs = OwnLogs(tmp.path());
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_FALSE(testsupport::FileExists(stale));
  for (const char* f : foreign) EXPECT_EQ(ReadFile(tmp.file(f)), "keep") << f;
  Strings all;
  for (const std::string& path : logs) {
    const std::string text = ReadFile(path);
    EXPECT_LE(text.size(), 2048u) << path;
    for (const std::string& l : LevelsAndMessages(text)) all.push_back(l.substr(5));
  }
  ASSERT_GT(all.size(), 10u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], Msg(100 - all.size() + i));
}

// A failing write (EFBIG here, ENOSPC on a full disk) moves logging to stderr; no line lost or cut.
TEST_F(P7Test, FailedWriteFallsBackToStandardErrorWithoutLosingLines) {
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_TRUE(InitFiles(tmp.path()));
  const std::string log_path = OwnLogs(tmp.path()).at(0);
  ::testing::internal::CaptureStderr();
  const struct rlimit small = {4096, saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 0; i < 60; ++i) SKV_LOG(P7::kInfo, "%s", Msg(i).c_str());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  const Strings on_stderr = LevelsAndMessages(::testing::internal::GetCapturedStderr());
  EXPECT_EQ(on_stderr.at(0), "ERROR logging: cannot write " + log_path +
                                 ": File too large; logging to standard error");
  std::string file_text = ReadFile(log_path);
  file_text.erase(file_text.rfind('\n') + 1);  // drop a write cut short by the limit
  Strings all = LevelsAndMessages(file_text);
  ASSERT_GT(all.size(), 10u);
  all.insert(all.end(), on_stderr.begin() + 1, on_stderr.end());
  ASSERT_EQ(all.size(), 60u);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(all[i], "INFO " + Msg(i));
}

}  // namespace
