// Start-up of the real binary up to the point where the service routine would take over: every case
// here must end the process with status 1 before any outbox directory or connection exists.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "subprocess.h"
#include "temp_dir.h"
#include "version.h"

namespace {

using testsupport::Subprocess;
using testsupport::TempDir;

struct LogLine {
  std::string level, file, function, message;
};

// Console line: "YYYY-MM-DD HH:MM:SS.mmm LEVEL file:line function: message".
std::vector<LogLine> ParseLog(const std::string& output) {
  static const std::regex kLine(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ([A-Z]+) ([^: ]+):\d+ ([^ ]+): (.*)$)");
  std::vector<LogLine> lines;
  std::istringstream in(output);
  std::string text;
  std::smatch m;
  while (std::getline(in, text)) {
    if (std::regex_match(text, m, kLine)) lines.push_back({m[1], m[2], m[3], m[4]});
  }
  return lines;
}

struct RunResult {
  int status;
  std::string output;
  std::vector<LogLine> lines;
};

RunResult Start(const TempDir& tmp, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {testsupport::BinDir() + "/skelvane"};
  argv.insert(argv.end(), args.begin(), args.end());
  Subprocess child(argv, {{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"}},
                   tmp.file("output.txt"));
  RunResult run;
  run.status = child.Wait(std::chrono::seconds(30));
  run.output = child.Output();
  run.lines = ParseLog(run.output);
  return run;
}

// The banner comes first, and the run ends with exactly one critical line from main.
void ExpectBannerAndCritical(const RunResult& run, const std::string& critical) {
  ASSERT_FALSE(run.lines.empty()) << run.output;
  EXPECT_EQ(run.lines.front().level, "INFO");
  EXPECT_EQ(run.lines.front().function, "main");
  EXPECT_EQ(run.lines.front().message, std::string("skelvane ") + SKELVANE_VERSION + " starting");
  int criticals = 0;
  for (const auto& l : run.lines) {
    if (l.level != "CRITICAL") continue;
    ++criticals;
    EXPECT_EQ(l.file, "main.cc");
    EXPECT_EQ(l.function, "main");
    EXPECT_EQ(l.message, critical);
  }
  EXPECT_EQ(criticals, 1) << run.output;
  EXPECT_EQ(run.lines.back().level, "CRITICAL") << run.output;
}

TEST(StartupTest, EmptyTopicListStopsBeforeTheOutboxExists) {
  TempDir tmp;
  const std::string config = tmp.file("skelvane.json");
  const std::string outbox = tmp.file("outbox");
  testsupport::WriteFile(config, R"({"topics": [], "storage": {"dir": ")" + outbox + R"("}})");

  const RunResult run = Start(tmp, {config});
  EXPECT_EQ(run.status, 1) << run.output;
  ExpectBannerAndCritical(run, "No topics configured");
  EXPECT_FALSE(testsupport::FileExists(outbox));
}

TEST(StartupTest, SecondArgumentIsIgnored) {
  TempDir tmp;
  const std::string config = tmp.file("skelvane.json");
  const std::string other = tmp.file("other.json");
  testsupport::WriteFile(config, R"({"topics": [7]})");
  testsupport::WriteFile(other, "[]");  // would give "Config error" if it were read

  const RunResult run = Start(tmp, {config, other});
  EXPECT_EQ(run.status, 1) << run.output;
  ExpectBannerAndCritical(run, "No topics configured");
  bool loaded = false;
  for (const auto& l : run.lines) loaded = loaded || l.message == "Config loaded: " + config;
  EXPECT_TRUE(loaded) << run.output;
}

struct WrongType {
  const char* name;
  const char* config;   // "{outbox}" stands for a directory inside the test's TempDir
  const char* message;  // after "Config error: "
};

class StartupConfigErrorTest : public ::testing::TestWithParam<WrongType> {};

TEST_P(StartupConfigErrorTest, ExitsWithTheLibraryMessage) {
  TempDir tmp;
  const std::string config = tmp.file("skelvane.json");
  const std::string outbox = tmp.file("outbox");
  std::string text = GetParam().config;
  if (auto at = text.find("{outbox}"); at != std::string::npos) text.replace(at, 8, outbox);
  testsupport::WriteFile(config, text);

  const RunResult run = Start(tmp, {config});
  EXPECT_EQ(run.status, 1) << run.output;
  ExpectBannerAndCritical(run, std::string("Config error: ") + GetParam().message);
  EXPECT_FALSE(testsupport::FileExists(outbox));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupConfigErrorTest,
    ::testing::Values(
        WrongType{"CompressNumber",
                  R"({"topics": ["/t"], "storage": {"dir": "{outbox}", "compress": 1}})",
                  "[json.exception.type_error.302] type must be boolean, but is number"},
        WrongType{"DirNumber", R"({"topics": ["/t"], "storage": {"dir": 5}})",
                  "[json.exception.type_error.302] type must be string, but is number"},
        WrongType{"TopLevelArray", "[]",
                  "[json.exception.type_error.306] cannot use value() with array"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A configured topic that ends in "#" is a valid filter, but its acknowledgement topic ("/a/#/ack")
// is not. The refusal must be logged and the service must go on capturing its other topics.
TEST(StartupTest, InvalidDerivedAckFilterDoesNotStopTheService) {
  TempDir tmp;
  const std::string config = tmp.file("skelvane.json");
  testsupport::WriteFile(config, R"({"topics": ["/kv/wild/#", "/kv/plain"], "storage": {"dir": ")" +
                                     tmp.file("outbox") + R"("}})");
  Subprocess child({testsupport::BinDir() + "/skelvane", config},
                   {{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"},
                    {"KESTOVA_MQTT_URI", "tcp://127.0.0.1:9"}},
                   tmp.file("output.txt"));
  const bool entered = testsupport::WaitFor(
      [&] { return child.Output().find("Entering message loop...") != std::string::npos; },
      std::chrono::seconds(20));
  EXPECT_TRUE(entered) << child.Output();
  EXPECT_TRUE(child.running()) << child.Output();
  const std::string out = child.Output();
  EXPECT_NE(out.find("MQTT subscribe to /kv/wild/#/ack refused"), std::string::npos) << out;
  EXPECT_NE(out.find("Monitoring topic: /kv/plain (ack: /kv/plain/ack)"), std::string::npos);
  EXPECT_EQ(out.find("Fatal error"), std::string::npos) << out;
}

}  // namespace
