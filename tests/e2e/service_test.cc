// The service as a whole, through the real binary and a private broker: start-up refusals, capture
// (exact bytes) and what acknowledgements remove, recovery from a broker restart. Loss under kills,
// broker restarts, full disks and clock steps is the conservation test's; the resend chain's
// rules are resender_test's and handlers_test's, draining through restores the soak test's.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <deque>
#include <set>
#include <thread>

#include "e2e.h"
#include "version.h"

namespace {

using namespace testsupport;

const std::string kData = "/kv/e2e/data";

// Exit status 1 with one critical line, the last after the banner: a configuration it
// cannot use (nothing is created) or an outbox another instance holds. A second argument (a file
// that would be a config error if it were read) is ignored.
TEST(StartupTest, UnusableConfigurationOrBusyOutboxExitsWithOneCriticalLine) {
  TempDir tmp;
  WriteFile(tmp.file("other.json"), "[]");
  int n = 0;
  const auto start = [&](const std::string& json) {
    const std::string config = tmp.file(fmt::format("c{}.json", ++n));
    WriteFile(config, json);
    return std::make_unique<Subprocess>(
        std::vector<std::string>{BinDir() + "/skelvane", config, tmp.file("other.json")},
        std::map<std::string, std::string>{{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"},
                                           {"KESTOVA_MQTT_URI", "tcp://127.0.0.1:9"}},
        tmp.file(fmt::format("out{}", n)));
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
    const std::vector<std::string> lines = ParseLog(child->Output());
    ASSERT_FALSE(lines.empty()) << child->Output();
    EXPECT_EQ(lines.front(), std::string("skelvane ") + SKELVANE_VERSION + " starting");
    EXPECT_EQ(CountOf(child->Output(), " CRITICAL "), 1);
    EXPECT_EQ(lines.back(), critical);
  }
  EXPECT_FALSE(FileExists(none));
  EXPECT_TRUE(first->running());
}

// Through a real broker: the received bytes under the payload's key, on the topic they came on (a
// wildcard filter's included) while a topic the broker would refuse (mosquitto closes the
// connection of a client that subscribes to a control character) or an invalid filter leaves the
// others served; the ACK topic of a matched topic acknowledges what came on it.
TEST(CaptureTest, ReceivedBytesOnEveryServedTopicUntilAcknowledged) {
  ServiceOptions options;
  options.topics = {kData, "/kv/e2e/+/wild", "/kv/a+b", "/kv/e2e/bad\ttopic"};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  const std::string pretty =
      "{\n \"timestamp\": 1700000001,\t\"msg_id\" : \"f\\u00fc\", \"v\":1.50e1 }\r\n";
  ASSERT_TRUE(svc.control().Publish(kData, pretty));
  ASSERT_TRUE(svc.control().Publish("/kv/e2e/x/wild", DataPayload(1, "wild")));
  ASSERT_TRUE(svc.Capture(1700000099, "last"));
  const std::vector<Record> records = svc.Outbox();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].payload, pretty);
  EXPECT_EQ(records[0].msg_id + " " + records[1].topic, "f\xc3\xbc /kv/e2e/x/wild");
  ASSERT_TRUE(svc.control().Publish("/kv/e2e/x/wild/ack", DataPayload(1, "wild")));
  EXPECT_TRUE(WaitFor([&] { return svc.Outbox().size() == 2; }, 10s));
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
        pub->PublishAsync(kData, DataPayload(2000, fmt::format("after-{}", ++sent)));
        return svc.WaitLog("Captured: ts=2000 msg_id=after-", 100ms, svc.ready()) >= 0;
      },
      40s));
  EXPECT_EQ(svc.pid(), pid);
  EXPECT_EQ(ParseLog(svc.Output(), "MQTT connected to " + svc.broker().uri()).size(), 2u);
  // The ACK topic is subscribed again too: the first record captured goes.
  const Record first = svc.Outbox().front();
  ASSERT_TRUE(pub->Publish(kData + "/ack", DataPayload(first.ts, first.msg_id)));
  EXPECT_TRUE(
      WaitFor([&] { return svc.Outbox().empty() || svc.Outbox()[0].line != first.line; }, 10s));
  EXPECT_EQ(ParseLog(svc.Output(), "MQTT connection lost").size(), 1u);
}

// Bursts with a receiver that acknowledges each message 1.5 s after it saw it, while the active
// file rotates every second: many acknowledgements arrive when their record already sits in an
// archive. No message is resent after its acknowledgement reached the service (such an
// acknowledgement is kept and applied when the archive is restored), and the drain goes through
// every archive.
TEST(ResendTest, NothingIsResentAfterItsAcknowledgement) {
  ServiceOptions options;
  options.config = nlohmann::json::parse(R"({"storage": {"max_file_kb": 6, "rotation_cooldown": 1},
      "resend": {"cooldown": 1, "grace_period": 1, "stale_threshold": 10,
                 "live_ack_threshold": 10, "fast_ack_threshold": 3}})");
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  std::mutex mu;
  std::deque<std::pair<Clock::time_point, std::string>> due;  // when, ACK payload
  auto acker = svc.NewPeer("acker");
  auto rx = svc.NewPeer("rx", [&](const std::string&, const std::string& payload) {
    const auto j = nlohmann::json::parse(payload);
    std::lock_guard lock(mu);
    due.emplace_back(Clock::now() + 1500ms, DataPayload(j["timestamp"], j["msg_id"]));
  });
  ASSERT_TRUE(rx->Subscribe(kData));
  std::atomic<bool> done{false};
  std::thread acking([&] {
    for (; !done; std::this_thread::sleep_for(50ms)) {
      std::lock_guard lock(mu);
      for (; !due.empty() && due.front().first <= Clock::now(); due.pop_front())
        acker->PublishAsync(kData + "/ack", due.front().second);
    }
  });
  for (int i = 0; i < 160; ++i) {
    svc.control().PublishAsync(kData, DataPayload(UnixNow(), fmt::format("m{}", i), Fill(200)));
    if (i % 20 == 19) std::this_thread::sleep_for(700ms);
  }
  const auto drained = [&] {
    const std::string out = svc.Output();
    return svc.Archives().empty() && CountOf(Contents(svc.active()), "\n") == 0 &&
           CountOf(out, "Captured: ") >= 160;
  };
  EXPECT_TRUE(WaitFor(drained, 90s));
  done = true;
  acking.join();
  std::set<std::string> acked;
  int late = 0;
  for (const std::string& line : ParseLog(svc.Output())) {
    const size_t at = line.find("msg_id=");
    if (at == std::string::npos) continue;
    const std::string id = line.substr(at + 7, line.find(' ', at) - at - 7);
    if (line.starts_with("ACK: ")) acked.insert(id);
    if (line.starts_with("Resent: ")) late += static_cast<int>(acked.count(id));
  }
  EXPECT_EQ(late, 0) << "messages resent after their acknowledgement";
  EXPECT_GE(ParseLog(svc.Output(), "Restored").size(), 2u);
}

}  // namespace
