// The process-wide logger end to end: each test configures it with LoggerInit and checks what lands
// in real files, on standard output or standard error, or in a ScopedCapture.
#include "p7.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "p7_internal.h"
#include "temp_dir.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

// Groups: 1 time, 2 level, 3 file, 4 line, 5 function, 6 message.
const std::regex kLine(
    R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\.\d{3} (TRACE|DEBUG|INFO|WARNING|ERROR|CRITICAL) )"
    R"(([^ :]+):(\d+) ([^ ]+): (.*))");

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    out.push_back(text.substr(start, nl - start));
  }
  if (start < text.size()) out.push_back(text.substr(start));  // unterminated tail
  return out;
}

// "<level> <message>" of each line; fails the test on a line not in the line format.
std::vector<std::string> LevelsAndMessages(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : Lines(text)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(l, m, kLine)) << l;
    out.push_back(m[2].str() + " " + m[6].str());
  }
  return out;
}

// Our own log files in `dir`, oldest name first.
std::vector<std::string> OwnLogs(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename();
    if (std::regex_match(name, std::regex(R"(skelvane-\d{8}-\d{6}-\d{3,}\.log)"))) {
      out.push_back(name);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string OnlyLog(const std::string& dir) {
  const auto logs = OwnLogs(dir);
  EXPECT_EQ(logs.size(), 1u);
  return logs.empty() ? std::string() : ReadFile(dir + "/" + logs[0]);
}

// Points fd 1 or 2 at a file until Restore() or destruction.
class Redirect {
 public:
  Redirect(int fd, std::string path) : fd_(fd), path_(std::move(path)), saved_(::dup(fd)) {
    std::fflush(nullptr);
    const int f = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(f, fd_);
    ::close(f);
  }
  ~Redirect() { Restore(); }
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
  }
  std::string Text() const { return ReadFile(path_); }

 private:
  int fd_;
  std::string path_;
  int saved_;
};

class P7Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("KESTOVA_LOG");
    ::setenv("TZ", "XYZ-05:30", 1);  // far from UTC, so a line stamped in UTC shows
    ::tzset();
    P7::internal::SetClockOffsetForTest(std::chrono::seconds(0));
  }
  void TearDown() override {
    ::unsetenv("KESTOVA_LOG");
    P7::internal::SetClockOffsetForTest(std::chrono::seconds(0));
    P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
  }
  static bool InitFiles(const std::string& dir, const std::string& extra = "") {
    return P7::LoggerInit(P7::MainTrace, "/P7.Sink=FileTxt /P7.Dir=" + dir + " " + extra);
  }
};

std::string LocalStamp(std::time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

TEST_F(P7Test, FileLinesAreFormattedEscapedAndWrittenThroughIntoANestedDirectory) {
  TempDir tmp;
  const std::string dir = tmp.path() + "//var/log/p7//usr/bin/skelvane";  // as main builds it
  ASSERT_TRUE(InitFiles(dir));
  const std::time_t before = std::time(nullptr);
  const int line = __LINE__ + 1;
  SKV_LOG(P7::kWarning, "hello %s %d", "world", 42);
  const std::time_t after = std::time(nullptr);

  // Read back while the logger still holds the file open.
  std::smatch m;
  const std::string first = OnlyLog(dir);
  ASSERT_TRUE(std::regex_match(first, m, std::regex(R"((\S+ \S+)\.\d{3} (.*)\n)"))) << first;
  EXPECT_EQ(m[2].str(), "WARNING p7_test.cc:" + std::to_string(line) + " TestBody: hello world 42");
  EXPECT_LE(LocalStamp(before), m[1].str());
  EXPECT_GE(LocalStamp(after), m[1].str());

  SKV_LOG(P7::kInfo, "topic %s", "a\n2024-01-01 00:00:00.000 CRITICAL x.cc:1 f: forged\r\x1b[2J");
  const std::string big(5000, 'x');  // well past the first formatting buffer
  SKV_LOG(P7::kInfo, "%s|%d", big.c_str(), 7);
  const auto lines = LevelsAndMessages(OnlyLog(dir));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1],
            "INFO topic a\\n2024-01-01 00:00:00.000 CRITICAL x.cc:1 f: forged\\r\\x1b[2J");
  EXPECT_EQ(lines[2], "INFO " + big + "|7");
}

TEST_F(P7Test, VerbosityDropsLowerLevelsAndOutOfRangeLevelsAreClamped) {
  const char* names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"};
  for (int verb = 0; verb <= 5; ++verb) {
    SCOPED_TRACE(verb);
    TempDir tmp;
    ASSERT_TRUE(InitFiles(tmp.path(), "/P7.Trc.Verb=" + std::to_string(verb)));
    for (int level = 0; level <= 5; ++level) SKV_LOG(level, "at %d", level);
    SKV_LOG(-7, "below");
    SKV_LOG(42, "above");

    std::vector<std::string> want;
    for (int level = verb; level <= 5; ++level) {
      want.push_back(std::string(names[level]) + " at " + std::to_string(level));
    }
    if (verb == 0) want.push_back("TRACE below");
    want.push_back("CRITICAL above");
    EXPECT_EQ(LevelsAndMessages(OnlyLog(tmp.path())), want);
  }
}

TEST_F(P7Test, SizeRollingKeepsTheNewestFilesAndLeavesForeignFilesAlone) {
  TempDir tmp;
  const char* foreign[] = {"notes.txt", "skelvane.log", "skelvane-20000101-000000-000.log.gz",
                           "other-20000101-000000-000.log"};
  for (const char* f : foreign) testsupport::WriteFile(tmp.file(f), "keep");
  // A file of ours from an earlier run, older than anything written now: it goes first.
  const std::string stale = tmp.file("skelvane-20000101-000000-000.log");
  testsupport::WriteFile(stale, "old\n");
  const struct timespec old_times[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, stale.c_str(), old_times, 0), 0);

  const uint64_t limit = 2048;  // FSize is in MiB
  ASSERT_TRUE(InitFiles(tmp.path(), "/P7.Files=3 /P7.FSize=" + std::to_string(limit / 1048576.0)));
  for (int i = 0; i < 100; ++i) SKV_LOG(P7::kInfo, "n=%03d %s", i, std::string(60, 'p').c_str());

  const auto logs = OwnLogs(tmp.path());
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_FALSE(testsupport::FileExists(stale));
  for (const char* f : foreign) EXPECT_EQ(ReadFile(tmp.file(f)), "keep") << f;
  // What is left is an unbroken run of the newest lines, ending with the last one.
  std::vector<int> numbers;
  for (const std::string& name : logs) {
    const std::string text = ReadFile(tmp.file(name));
    EXPECT_LE(text.size(), limit) << name;
    for (const std::string& l : LevelsAndMessages(text)) numbers.push_back(std::stoi(l.substr(7)));
  }
  ASSERT_FALSE(numbers.empty());
  EXPECT_GT(numbers.front(), 0) << "oldest files must have been deleted";
  EXPECT_EQ(numbers.back(), 99);
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
}

TEST_F(P7Test, TimeRollingStartsANewFileOnceTheIntervalHasPassed) {
  TempDir tmp;
  ASSERT_TRUE(InitFiles(tmp.path(), "/P7.Roll=1min"));
  SKV_LOG(P7::kInfo, "first");
  P7::internal::SetClockOffsetForTest(std::chrono::seconds(30));
  SKV_LOG(P7::kInfo, "second");
  EXPECT_EQ(OwnLogs(tmp.path()).size(), 1u);
  P7::internal::SetClockOffsetForTest(std::chrono::seconds(61));
  SKV_LOG(P7::kInfo, "third");
  const auto logs = OwnLogs(tmp.path());
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(LevelsAndMessages(ReadFile(tmp.file(logs[0]))).size(), 2u);
  EXPECT_EQ(LevelsAndMessages(ReadFile(tmp.file(logs[1]))), std::vector<std::string>{"INFO third"});
}

TEST_F(P7Test, UncreatableDirectoryFallsBackToStandardErrorOnce) {
  TempDir tmp;
  testsupport::WriteFile(tmp.file("blocker"), "not a directory");
  Redirect err(STDERR_FILENO, tmp.file("stderr"));
  EXPECT_FALSE(InitFiles(tmp.file("blocker/logs")));
  for (int i = 0; i < 2; ++i) SKV_LOG(P7::kInfo, "still logging %d", i);
  err.Restore();

  const std::vector<std::string> want = {"ERROR logging: cannot create directory " +
                                             tmp.file("blocker/logs") +
                                             ": Not a directory; logging to standard error",
                                         "INFO still logging 0", "INFO still logging 1"};
  EXPECT_EQ(LevelsAndMessages(err.Text()), want);
  EXPECT_NE(err.Text().find(" p7.cc:"), std::string::npos);
}

TEST_F(P7Test, FailingWriteFallsBackToStandardErrorWithoutLosingLines) {
  TempDir tmp;
  // RLIMIT_FSIZE makes writes past 4 KiB fail with EFBIG, as a full disk fails with ENOSPC.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_TRUE(InitFiles(tmp.path()));
  const std::string log_path = tmp.file(OwnLogs(tmp.path()).at(0));
  Redirect err(STDERR_FILENO, tmp.file("stderr"));
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 0; i < 60; ++i) SKV_LOG(P7::kInfo, "n=%02d %s", i, std::string(60, 'p').c_str());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  err.Restore();

  auto on_stderr = LevelsAndMessages(err.Text());
  ASSERT_FALSE(on_stderr.empty());
  EXPECT_EQ(on_stderr[0], "ERROR logging: cannot write " + log_path +
                              ": File too large; logging to standard error");
  // Every line is somewhere, whole, exactly once: complete lines in the file, the rest on stderr.
  std::string file_text = ReadFile(log_path);
  file_text.erase(file_text.rfind('\n') + 1);  // drop a write cut short by the limit
  auto all = LevelsAndMessages(file_text);
  ASSERT_GT(all.size(), 10u);
  all.insert(all.end(), on_stderr.begin() + 1, on_stderr.end());
  ASSERT_EQ(all.size(), 60u);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(all[i].substr(0, 10), fmt::format("INFO n={:02d} ", i));
}

TEST_F(P7Test, EnvironmentOverrideSelectsConsoleOnStandardOutput) {
  TempDir tmp;
  ::setenv("KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0", 1);
  Redirect out(STDOUT_FILENO, tmp.file("stdout"));
  ASSERT_TRUE(InitFiles(tmp.file("unused"), "/P7.Trc.Verb=3"));
  SKV_LOG(P7::kTrace, "to stdout %d", 5);
  const std::string text = out.Text();  // written through: visible before anything is restored
  out.Restore();
  EXPECT_EQ(LevelsAndMessages(text), std::vector<std::string>{"TRACE to stdout 5"});
  EXPECT_FALSE(testsupport::FileExists(tmp.file("unused")));
}

void LogFromHelper(int n) { SKV_LOG(P7::kDebug, "from helper %d", n); }

TEST_F(P7Test, ScopedCaptureSeesEveryLevelWithItsOrigin) {
  ASSERT_TRUE(P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null /P7.Trc.Verb=5"));
  {
    P7::ScopedCapture capture;
    LogFromHelper(1);
    SKV_LOG(P7::kTrace, "tab\there");
    SKV_LOG(P7::kCritical, "from helper 1");
    const auto r = capture.records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].level, P7::kDebug);
    EXPECT_EQ(r[0].function, "LogFromHelper");
    EXPECT_EQ(r[0].file, "p7_test.cc");
    EXPECT_EQ(r[1].message, "tab\\there");
    EXPECT_EQ(capture.count("from helper 1"), 2);
    EXPECT_EQ(capture.count("from helper 1", P7::kDebug), 1);
    EXPECT_EQ(capture.count("from helper", P7::kDebug), 0);
    EXPECT_TRUE(capture.contains("helper", P7::kCritical));
    EXPECT_FALSE(capture.contains("helper", P7::kWarning));
    capture.clear();
    EXPECT_TRUE(capture.records().empty());
  }
  SKV_LOG(P7::kInfo, "after capture");
  P7::ScopedCapture fresh;
  EXPECT_TRUE(fresh.records().empty());
}

TEST_F(P7Test, ConcurrentWritersProduceWholeLines) {
  TempDir tmp;
  ASSERT_TRUE(InitFiles(tmp.path()));
  P7::ScopedCapture capture;
  constexpr int kThreads = 4, kPerThread = 500;
  const std::string pad(200, 'z');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &pad] {
      for (int i = 0; i < kPerThread; ++i) SKV_LOG(P7::kInfo, "t%d i%d %s", t, i, pad.c_str());
    });
  }
  for (auto& th : threads) th.join();

  std::map<std::string, int> seen;
  for (const std::string& l : LevelsAndMessages(OnlyLog(tmp.path()))) {
    const size_t end = l.find(' ', l.find(" i") + 1);
    ASSERT_EQ(l.substr(end + 1), pad) << l;
    ++seen[l.substr(0, end)];
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
  for (const auto& [key, times] : seen) EXPECT_EQ(times, 1) << key;
  EXPECT_EQ(capture.records().size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
