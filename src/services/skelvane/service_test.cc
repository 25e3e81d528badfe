// The message loop against a scripted MQTT client.
#include "service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "fault_env.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using Strings = std::vector<std::string>;
using namespace std::string_literals;

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
  mosquitto::msg_t Receive(const std::string&, int) override { return {}; }  // Dispatch is ours
  int Send(const std::string& topic, const std::vector<uint8_t>& payload, mosquitto::Qos qos,
           bool flag) override {
    if (failing_sends-- > 0) throw std::runtime_error("not connected");
    sent.push_back(topic + " " + std::string(payload.begin(), payload.end()) + " q" +
                   std::to_string(int(qos)) + (flag ? " ?" : ""));
    return 0;
  }
  // One scripted turn per pass; a retry pause is recorded and passed on the fake clock.
  void Dispatch(const TurnFn& turn, int timeout_s) override {
    for (TurnResult r; r.kind != TurnResult::Kind::kStop;) {
      timeouts.push_back(timeout_s);
      const Turn t = turns.front();
      turns.pop_front();
      env.AdvanceSteady(std::chrono::seconds(t.elapse));
      const mosquitto::msg_t m{t.topic, {t.payload.begin(), t.payload.end()}};
      const mosquitto::msg_t* msg = t.payload.empty() ? nullptr : &m;
      for (r = turn(msg); msg && r.kind == TurnResult::Kind::kRetry; r = turn(msg)) {
        pauses.push_back(static_cast<int>(r.retry_after.count() / 1000));
        if (static_cast<int>(pauses.size()) == heal_after) env.Clear();
        env.AdvanceSteady(r.retry_after);
      }
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
  // Lines whose message starts with `prefix` (at `level`, when given).
  int Starting(const std::string& prefix, int level = -1) const {
    int n = 0;
    for (const auto& r : log.records())
      n += (level < 0 || r.level == level) && r.message.starts_with(prefix);
    return n;
  }
  testsupport::TempDir dir;
  testsupport::FaultEnv env;
  AppConfig config;
  std::deque<Turn> turns;
  int failing_sends = 0, heal_after = -1;  // faults cleared after that many pauses
  Strings calls, sent;
  std::vector<int> timeouts, pauses;  // seconds
  std::string client_id;
  P7::ScopedCapture log;
};

// Will, then QoS 1 subscriptions; exact routing, the ACK set first; each pass reports the figures
// (the Prometheus file: the e2e status test).
TEST(Service, SubscribesRoutesAndReportsStatus) {
  Loop l;
  l.config.topics = {"/t/a", "/t/a/ack", "/t/a"};
  l.config.maintenance_interval = 0;
  l.config.status.mqtt_topic = "fleet/c1/status";
  const std::string m1 = R"({"timestamp":1699999000,"msg_id":"m1"})", a = "/t/a";
  l.Run(
      {{a, m1}, {"/t/b", m1}, {a + "/#", m1}, {"", m1}, {a, "no json"}, {a, m1}, {a + "/ack", m1}});
  EXPECT_EQ(l.client_id, "skelvane_" + std::to_string(getpid()));
  EXPECT_EQ(l.calls, (Strings{"Will fleet/c1/status {\"state\":\"offline\",\"client_id\":\"" +
                                  l.client_id + "\"} ?",
                              "Connect", "/t/a q1", "/t/a/ack q1", "/t/a/ack q1", "/t/a/ack/ack q1",
                              "/t/a q1", "/t/a/ack q1"}));
  EXPECT_EQ(l.Starting("Captured: "), 1);
  EXPECT_EQ(l.log.count("ACK: ts=1699999000 msg_id=m1 on /t/a/ack"), 1);
  EXPECT_EQ(testsupport::ReadFile(l.config.storage.dir + "/outbox.jsonl"), "");
  ASSERT_EQ(l.sent.size(), 8u);  // at Ready and after each turn
  EXPECT_TRUE(l.sent[1].starts_with("fleet/c1/status {\"state\":\"online\"") &&
              l.sent[1].ends_with(" q1 ?") &&
              l.sent[1].find("\"pending_messages\":1,\"oldest_pending_age_seconds\":1000,") !=
                  std::string::npos)
      << l.sent[1];
}

// The chain resends the oldest bytes with QoS 1, retries a throwing Send, never stores its echo.
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
  EXPECT_EQ(l.log.count("Publish error: not connected", P7::kError), 1);
  EXPECT_EQ(l.log.count("Resend publish failed: ts=1699990000 msg_id=old", P7::kError), 1);
}

// An unwritable message is held with back-off (1 s doubling to 30 s); a full disk drops the oldest
// archive first; a message refused for its content is never retried.
TEST(Service, UnwritableMessageIsHeldAndRetriedFullDiskDropsTheOldestArchiveFirst) {
  const std::string m1 = R"({"timestamp":1699999000,"msg_id":"m1"})";
  const std::tuple<int, int, bool, std::vector<int>> rows[] = {
      {EROFS, 7, false, {1, 2, 4, 8, 16, 30, 30}},
      {ENOSPC, 1, true, {1}},
      {ENOSPC, 2, false, {1, 2}}};
  for (const auto& [err, heal_after, archive, pauses] : rows) {
    Loop l;
    const std::string& d = l.config.storage.dir;
    std::filesystem::create_directories(d);
    const std::string line = R"({"msg_id":"a","payload":"","topic":"/t/a","ts":1})" + "\n"s;
    testsupport::WriteFile(d + "/outbox.jsonl", line);  // nothing to restore
    if (archive) testsupport::WriteFile(d + "/outbox.2020-01-01_000000.jsonl", line);
    l.env.Fail(testsupport::FaultOp::kOpenWrite, "*/outbox.jsonl", err);
    l.heal_after = heal_after;
    l.Run({{"/t/a", "not json"}, {"/t/a", m1}});
    EXPECT_EQ(l.pauses, pauses) << err;
    EXPECT_EQ(l.Starting("Outbox write failed: ", P7::kError), 1);
    EXPECT_EQ(l.Starting("Capture resumed: ts=1699999000 msg_id=m1 ", P7::kInfo), 1);
    EXPECT_EQ(l.Starting("Cleanup: removed outbox.2020-01-01_000000.jsonl (disk full", P7::kInfo),
              archive ? 1 : 0);
    EXPECT_NE(testsupport::ReadFile(d + "/outbox.jsonl").find("m1"), std::string::npos);
  }
}

// Passes are due at 12 s and 24 s, not at 28 s: the interval counts from the last pass's start.
TEST(Service, MaintenanceRunsOncePerIntervalMeasuredFromItsStart) {
  Loop l;
  l.config.maintenance_interval = 10;
  l.config.loop_timeout_ms = 999;  // at least one second
  l.Run(std::deque<Turn>(7, Turn{"", "", 4}));
  EXPECT_EQ(l.timeouts, std::vector<int>(7, 1));
  EXPECT_EQ(l.Starting("Maintenance: "), 2);
}

}  // namespace
}  // namespace kestova
