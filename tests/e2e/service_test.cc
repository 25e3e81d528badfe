// The service as a whole, through the real binary and a private broker: start-up refusals, capture
// (exact bytes, one record per identity) and what acknowledgements remove, and recovery from a
// broker restart. Redelivery after an outage is the soak's (robustness_soak_test.cc), loss under
// kills, broker restarts, full disks and clock steps the conservation test's.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e.h"
#include "version.h"

namespace {

using namespace testsupport;

const std::string kData = "/kv/e2e/data", kData2 = "/kv/e2e/data2";

// Exit status 1 with one critical line from main, the last after the banner: a configuration it
// cannot use (nothing is created) or an outbox another instance holds. A second argument (a file
// that would be a config error if it were read) is ignored.
TEST(StartupTest, UnusableConfigurationOrBusyOutboxExitsWithOneCriticalLine) {
  TempDir tmp;
  WriteFile(tmp.file("other.json"), "[]");
  int n = 0;
  const auto start = [&](const std::string& json) {
    const std::string config = tmp.file("c" + std::to_string(++n) + ".json");
    WriteFile(config, json);
    return std::make_unique<Subprocess>(
        std::vector<std::string>{BinDir() + "/skelvane", config, tmp.file("other.json")},
        std::map<std::string, std::string>{{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"},
                                           {"KESTOVA_MQTT_URI", "tcp://127.0.0.1:9"}},
        tmp.file("out" + std::to_string(n)));
  };
  const std::string busy = R"({"topics": ["/t"], "storage": {"dir": ")" + tmp.file("busy") + "\"}}";
  auto first = start(busy);
  ASSERT_TRUE(WaitFor([&] { return CountOf(first->Output(), "Entering message loop") > 0; }, 20s));
  const std::string none = tmp.file("none");
  const std::pair<std::string, std::string> rows[] = {
      {R"({"topics": [], "storage": {"dir": ")" + none + "\"}}", "No topics configured"},
      {R"({"topics": ["/t"], "storage": {"compress": 1, "dir": ")" + none + "\"}}",
       "Config error: [json.exception.type_error.302] type must be boolean, but is number"},
      {busy,
       "Fatal error: outbox directory " + tmp.file("busy") + " is in use by another process"}};
  for (const auto& [json, critical] : rows) {
    auto child = start(json);
    EXPECT_EQ(child->Wait(30s), 1) << child->Output();
    const std::vector<LogLine> lines = ParseLog(child->Output());
    ASSERT_FALSE(lines.empty()) << child->Output();
    EXPECT_EQ(lines.front().message, std::string("skelvane ") + SKELVANE_VERSION + " starting");
    EXPECT_EQ(CountOf(child->Output(), " CRITICAL "), 1);
    const LogLine& l = lines.back();
    EXPECT_EQ(l.level + " " + l.file + " " + l.function + ": " + l.message,
              "CRITICAL main.cc main: " + critical);
  }
  EXPECT_FALSE(FileExists(none));
  EXPECT_TRUE(first->running());
}

std::string Describe(const Record& r) {
  return r.valid ? r.topic + " " + r.msg_id + " " + std::to_string(r.ts) + " " + r.payload : r.line;
}

// Also serves its other topics when one is an invalid filter or one the broker would refuse
// (mosquitto closes the connection of a client that subscribes to a control character).
TEST(CaptureTest, OneRecordPerIdentityWithTheReceivedBytesUntilAcknowledged) {
  ServiceOptions options;
  options.topics = {kData, kData2, "/kv/e2e/+/wild", "/kv/a+b", "/kv/e2e/bad\ttopic"};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  const std::string pretty =
      "{\n \"timestamp\": 1700000001,\t\"msg_id\" : \"f\\u00fc\", \"v\":1.50e1 }\r\n";
  const std::string big = DataPayload(1700000003, "big", Fill(20000));
  const std::pair<std::string, std::string> published[] = {
      {kData, pretty},
      {kData2, big},
      {kData, R"({"timestamp":1700000003.9,"msg_id":"big","v":2})"},  // the same key elsewhere
      {kData2, R"({"timestamp":1700000013,"msg_id":"f\u00fc"})"},     // the same id, another time
      {kData, "not json"},
      {kData, R"({"timestamp":1700000000})"},
      // Matches a configured filter: stored under its own topic.
      {"/kv/e2e/x/wild", R"({"timestamp":1,"msg_id":"wild"})"},
  };
  for (const auto& [topic, payload] : published) ASSERT_TRUE(svc.control().Publish(topic, payload));
  ASSERT_TRUE(svc.Capture(1700000099, "last"));
  std::vector<std::string> got;
  for (const Record& r : svc.Outbox()) got.push_back(Describe(r));
  EXPECT_EQ(got, (std::vector<std::string>{
                     kData + " f\xc3\xbc 1700000001 " + pretty, kData2 + " big 1700000003 " + big,
                     kData2 + " f\xc3\xbc 1700000013 " + published[3].second,
                     "/kv/e2e/x/wild wild 1 " + published[6].second,
                     kData + " last 1700000099 " + DataPayload(1700000099, "last")}));
  EXPECT_EQ(Messages(svc.Log(), "Duplicate skipped: ts=1700000003 msg_id=big", svc.ready()).size(),
            1u);
  EXPECT_EQ(Messages(svc.Log(), "Data: ", svc.ready()).size(), 2u);  // bad JSON, no msg_id

  const std::vector<Record> records = svc.Outbox();

  // The maintenance pass after an ACK batch removes exactly the lines it names; bad entries, near
  // misses (another id, another time) and the batch's own top-level key name none. The ACK topic
  // of a topic matched by a filter acknowledges what came on that topic.
  const size_t from = svc.Log().size();
  ASSERT_TRUE(svc.control().Publish("/kv/e2e/x/wild/ack", AckPayload(1, "wild")));
  ASSERT_TRUE(svc.control().Publish(
      kData + "/ack",
      R"({"acks":[{"timestamp":1700000001,"msg_id":"f\u00fc"},5,{"timestamp":"1"},)"
      R"({"timestamp":1700000003,"msg_id":"bi"},{"timestamp":1700000004,"msg_id":"big"},)"
      R"({"timestamp":1700000100.5,"msg_id":"after"}],"timestamp":1700000099,"msg_id":"last"})"));
  ASSERT_GE(svc.WaitLog("Maintenance: ", 10s,
                        static_cast<size_t>(std::max(svc.WaitLog("ACK: ", 10s, from), 0))),
            0);
  EXPECT_EQ(ReadFile(svc.active()),
            records[1].line + "\n" + records[2].line + "\n" + records[4].line + "\n");
}

TEST(BrokerRestartTest, CaptureAndAcknowledgementsResumeWithoutARestart) {
  Service svc;
  ASSERT_TRUE(svc.Start());
  const pid_t pid = svc.pid();
  svc.broker().Stop();
  ASSERT_GE(svc.WaitLog("MQTT connection lost", 10s, svc.ready()), 0);
  ASSERT_TRUE(svc.broker().Start());
  // What is sent before the service has subscribed again is not delivered to it: keep sending.
  auto pub = svc.NewPeer("after-restart");
  int sent = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        pub->PublishAsync(kData, DataPayload(2000, "after-" + std::to_string(++sent)));
        return svc.WaitLog("Captured: ts=2000 msg_id=after-", 100ms, svc.ready()) >= 0;
      },
      40s));
  EXPECT_EQ(svc.pid(), pid);
  EXPECT_EQ(Messages(svc.Log(), "MQTT connected to " + svc.broker().uri()).size(), 2u);
  // The ACK topic is subscribed again too: the first record captured goes.
  const Record first = svc.Outbox().front();
  ASSERT_TRUE(pub->Publish(kData + "/ack", AckPayload(first.ts, first.msg_id)));
  EXPECT_TRUE(
      WaitFor([&] { return svc.Outbox().empty() || svc.Outbox()[0].line != first.line; }, 10s));
  EXPECT_EQ(Messages(svc.Log(), "MQTT connection lost").size(), 1u);
}

}  // namespace
