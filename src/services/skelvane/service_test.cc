// The message loop against a scripted MQTT client.
#include "service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fault_env.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using Strings = std::vector<std::string>;

// A message (a receive time-out when there is no payload); the steady clock then moves `elapse` s.
struct Turn {
  std::string topic, payload;
  int elapse = 0;
};

// One loop run: its client (recording calls; "?" marks a flag or callback set), config and log.
struct Loop : mosquitto::Client {
  Loop() {
    env.SetSystemNow(Env::SystemTime(std::chrono::seconds(1'700'000'000)));
    config.topics = {"/t/a"};
    config.storage.dir = dir.file("outbox");
    config.resend.cooldown = config.resend.grace_period = 0;
  }
  int Connect(bool flag, mosquitto::SuccessCallback s, mosquitto::FailureCallback f) override {
    calls.push_back(std::string("Connect") + (flag || s || f ? " ?" : ""));
    return 0;
  }
  void SetWill(const std::string& topic, const std::vector<uint8_t>& payload, bool r) override {
    calls.push_back("Will " + topic + " " + std::string(payload.begin(), payload.end()) +
                    (r ? " ?" : ""));
  }
  int Subscribe(const std::string& topic, mosquitto::Qos qos, bool flag,
                mosquitto::SuccessCallback s, mosquitto::FailureCallback f) override {
    calls.push_back(topic + " q" + std::to_string(int(qos)) + (flag || s || f ? " ?" : ""));
    return 0;
  }
  mosquitto::msg_t Receive(const std::string& filter, int timeout_s) override {
    receives.push_back(filter + " " + std::to_string(timeout_s));
    const Turn t = turns.front();
    turns.pop_front();
    env.AdvanceSteady(std::chrono::seconds(t.elapse));
    if (t.payload.empty()) throw std::runtime_error("timeout");
    return {t.topic, std::vector<uint8_t>(t.payload.begin(), t.payload.end())};
  }
  int Send(const std::string& topic, const std::vector<uint8_t>& payload, mosquitto::Qos qos,
           bool flag) override {
    if (failing_sends-- > 0) throw std::runtime_error("not connected");
    sent.push_back(topic + " " + std::string(payload.begin(), payload.end()) + " q" +
                   std::to_string(int(qos)) + (flag ? " ?" : ""));
    return 0;
  }
  // The default loop over Receive(), except that a message's retry pause is recorded and passed on
  // the fake clock instead of slept.
  void Dispatch(const TurnFn& turn, int timeout_s) override {
    while (true) {
      std::optional<mosquitto::msg_t> msg;
      try {
        msg = Receive("/#", timeout_s);
      } catch (const std::runtime_error&) {
      }
      TurnResult r = turn(msg ? &*msg : nullptr);
      for (; msg && r.kind == TurnResult::Kind::kRetry; r = turn(&*msg)) {
        pauses.push_back(static_cast<int>(r.retry_after.count() / 1000));
        env.AdvanceSteady(r.retry_after);
      }
      if (r.kind == TurnResult::Kind::kStop) return;
    }
  }
  // Runs the loop for exactly the scripted turns.
  void Run(std::deque<Turn> script) {
    turns = std::move(script);
    const auto factory = [this](const std::string& id) {
      client_id = id;
      return std::shared_ptr<mosquitto::Client>(this, [](mosquitto::Client*) {});
    };
    perform(config, factory, &env, static_cast<long>(turns.size()));
  }
  // The messages logged by these functions, in order; statistics cut after "known=".
  Strings Logged(const std::set<std::string>& functions) const {
    Strings out;
    for (const auto& r : log.records()) {
      if (functions.count(r.function)) out.push_back(r.message.substr(0, r.message.find(", disc")));
    }
    return out;
  }
  int Starting(const std::string& prefix, int level) const {
    int n = 0;
    for (const auto& r : log.records()) n += r.level == level && r.message.rfind(prefix, 0) == 0;
    return n;
  }
  testsupport::TempDir dir;
  testsupport::FaultEnv env;
  AppConfig config;
  std::deque<Turn> turns;
  int failing_sends = 0;
  Strings calls, receives, sent;
  std::vector<int> pauses;  // seconds
  std::string client_id;
  P7::ScopedCapture log;
};

// Each topic (repeated too) and its ACK topic with QoS 1, start-up lines in order, routing by exact
// topic with the ACK set first, and a maintenance pass (every turn here) compacting the file.
TEST(Service, StartsUpThenRoutesByExactTopicAckSetFirst) {
  Loop l;
  l.config.topics = {"/t/a", "/t/a/ack", "/t/a"};
  l.config.maintenance_interval = 0;
  l.config.loop_timeout_ms = 1999;  // whole seconds, cut
  const std::string m1 = R"({"timestamp":1699999000,"msg_id":"m1"})";
  l.Run({{"/t/a", m1}, {"/t/other", m1}, {"/t/a/#", m1}, {"", m1}, {"/t/a/ack", m1}});
  EXPECT_EQ(l.client_id, "skelvane_" + std::to_string(getpid()));
  EXPECT_EQ(l.calls, (Strings{"Connect", "/t/a q1", "/t/a/ack q1", "/t/a/ack q1", "/t/a/ack/ack q1",
                              "/t/a q1", "/t/a/ack q1"}));
  EXPECT_EQ(l.receives, Strings(5, "/# 1"));
  const std::string pass = "Maintenance: pending=1, ack_queue=0, known=1";
  EXPECT_EQ(
      l.Logged({"perform", "onConnected", "handleDataMessage", "handleAckMessage"}),
      (Strings{
          "Monitoring topic: /t/a (ack: /t/a/ack)",
          "Monitoring topic: /t/a/ack (ack: /t/a/ack/ack)",
          "Monitoring topic: /t/a (ack: /t/a/ack)", "Store stats: pending=0, ack_queue=0, known=0",
          "Connected, 0 pending, waiting for live-ACK to start chain (cooldown 0s)",
          "Entering message loop...", "Captured: ts=1699999000 msg_id=m1 topic=/t/a (38 bytes)",
          pass, pass, pass, pass, "ACK: ts=1699999000 msg_id=m1 on /t/a/ack",
          "Maintenance: pending=0, ack_queue=0, known=0"}));
  EXPECT_EQ(testsupport::ReadFile(l.config.storage.dir + "/outbox.jsonl"), "");
}

// The chain republishes the oldest message's bytes on its topic with QoS 1; a Send that throws is
// logged and reported to the chain, which retries on the next live ACK. The republished message
// coming back on the data topic after its acknowledgement was compacted away is not stored again.
TEST(Service, LiveAckRepublishesOldestPendingThroughTheClient) {
  Loop l;
  l.config.resend.stale_threshold = l.config.resend.live_ack_threshold = 1000;
  l.failing_sends = 1;
  const std::string old = "{ \"timestamp\":1699990000, \"msg_id\":\"old\", \"x\":[1,2] }";
  const std::string live = R"({"timestamp":1700000000,"msg_id":"live"})";
  const std::string data = "/t/a", ack = "/t/a/ack";
  l.Run({{data, old}, {data, live}, {ack, live}, {ack, live}, {ack, old}, {data, old}});
  EXPECT_EQ(l.sent, Strings{"/t/a " + old + " q1"});
  EXPECT_EQ(l.log.count("Echo of resent message skipped: ts=1699990000 msg_id=old"), 1);
  EXPECT_EQ(testsupport::ReadFile(l.config.storage.dir + "/outbox.jsonl"), "");
  EXPECT_EQ(l.Logged({"operator()"}), Strings{"Publish error: not connected"});
  EXPECT_EQ(l.log.count("Resend publish failed: ts=1699990000 msg_id=old", P7::kError), 1);
}

// A message that cannot be written is held, not acknowledged: retried after 1, 2, 4 ... s (at most
// 30), with one error line when holding starts and one line when it resumes. On a full disk the
// oldest archive gives way at once. A message refused for its content is settled, never retried.
TEST(Service, UnwritableMessageIsHeldAndRetriedFullDiskDropsTheOldestArchiveFirst) {
  const std::string m1 = R"({"timestamp":1699999000,"msg_id":"m1"})";
  struct Row {
    int err, failures;  // failing opens; a failed attempt opens twice (append, then create)
    bool archive;
    std::vector<int> pauses;
  } rows[] = {{EROFS, 14, false, {1, 2, 4, 8, 16, 30, 30}},
              {ENOSPC, 2, true, {}},
              {ENOSPC, 4, false, {1, 2}}};
  for (const Row& row : rows) {
    Loop l;
    std::filesystem::create_directories(l.config.storage.dir);
    const std::string line = R"({"msg_id":"a","payload":"","topic":"/t/a","ts":1})"
                             "\n";
    testsupport::WriteFile(l.config.storage.dir + "/outbox.jsonl", line);  // nothing to restore
    if (row.archive) {
      testsupport::WriteFile(l.config.storage.dir + "/outbox.2020-01-01_000000.jsonl", line);
    }
    l.env.Fail(testsupport::FaultOp::kOpenWrite, "*/outbox.jsonl", row.err, row.failures);
    l.Run({{"/t/a", "not json"}, {"/t/a", m1}});
    EXPECT_EQ(l.pauses, row.pauses) << row.err;
    const int held = row.pauses.empty() ? 0 : 1;
    EXPECT_EQ(l.Starting("Outbox write failed: ", P7::kError), held);
    EXPECT_EQ(l.Starting("Capture resumed: ts=1699999000 msg_id=m1 ", P7::kInfo), held);
    EXPECT_EQ(l.Starting("Cleanup: removed outbox.2020-01-01_000000.jsonl (disk full", P7::kInfo),
              row.archive ? 1 : 0);
    EXPECT_NE(testsupport::ReadFile(l.config.storage.dir + "/outbox.jsonl").find("m1"),
              std::string::npos);
  }
}

// The status outputs: the retained "offline" last will is armed before connecting; every pass
// rewrites the Prometheus file and publishes the retained status with the counts so far.
TEST(Service, StatusGoesToThePrometheusFileAndTheRetainedTopic) {
  Loop l;
  l.config.maintenance_interval = 0;
  l.config.status = {l.dir.file("skelvane.prom"), "fleet/c1/status"};
  const std::string m1 = R"({"timestamp":1699999000,"msg_id":"m1"})";
  l.Run({{"/t/a", m1}, {"/t/a", "not json"}, {"/t/a", m1}, {"/t/a/ack", m1}});
  EXPECT_EQ(l.calls.front(),
            "Will fleet/c1/status {\"state\":\"offline\",\"client_id\":\"" + l.client_id + "\"} ?");
  EXPECT_EQ(l.calls[1], "Connect");
  const std::string prom = testsupport::ReadFile(l.config.status.prometheus_file);
  for (const char* line :
       {"skelvane_messages_captured_total 1\n", "skelvane_messages_rejected_total 1\n",
        "skelvane_messages_acknowledged_total 1\n", "skelvane_outbox_pending_messages 0\n"}) {
    EXPECT_NE(prom.find(line), std::string::npos) << line << prom;
  }
  ASSERT_EQ(l.sent.size(), 5u);  // at Ready and after each of the four turns
  EXPECT_EQ(l.sent[1].rfind("fleet/c1/status {\"state\":\"online\"", 0), 0u) << l.sent[1];
  EXPECT_NE(l.sent[1].find("\"pending_messages\":1,\"oldest_pending_age_seconds\":1000,"),
            std::string::npos)
      << l.sent[1];
  EXPECT_EQ(l.sent[1].substr(l.sent[1].size() - 5), " q1 ?");
}

// A pass runs once the whole seconds since the last pass's start reach the interval.
TEST(Service, MaintenanceRunsOncePerIntervalMeasuredFromItsStart) {
  // interval, turns, seconds per turn, passes: due at 12 s and 24 s, not at 28 s (only 4 s after
  // the last pass); every turn when the interval is 0 or less.
  const int rows[][4] = {{10, 7, 4, 2}, {0, 3, 0, 3}, {-3, 3, 0, 3}};
  for (const auto& [interval, turns, elapse, passes] : rows) {
    Loop l;
    l.config.maintenance_interval = interval;
    l.config.loop_timeout_ms = 999;  // at least one second
    l.Run(std::deque<Turn>(turns, Turn{"", "", elapse}));
    EXPECT_EQ(l.receives, Strings(turns, "/# 1"));
    const Strings lines = l.Logged({"perform"});  // 3 start-up lines, then the passes
    EXPECT_EQ(Strings(lines.begin() + 3, lines.end()),
              Strings(passes, "Maintenance: pending=0, ack_queue=0, known=0"));
  }
}

}  // namespace
}  // namespace kestova
