// The message loop against a scripted MQTT client: start-up order, routing by exact topic,
// the publish callable, the receive time-out and the maintenance cadence.
#include "service.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "fault_env.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using std::chrono::seconds;

// One scripted turn: either a message or a time-out, and how far the steady clock moves while
// Receive "waits".
struct Turn {
  bool timeout = true;
  mosquitto::msg_t msg;
  seconds elapse{0};
};

class ScriptedClient : public mosquitto::Client {
 public:
  ScriptedClient(testsupport::FaultEnv* env, std::deque<Turn> turns)
      : env_(env), turns_(std::move(turns)) {}

  int Connect(bool flag, mosquitto::SuccessCallback s, mosquitto::FailureCallback f) override {
    calls.push_back(std::string("Connect ") + (flag ? "true" : "false") +
                    (s || f ? " callbacks" : ""));
    return 0;
  }
  int Subscribe(const std::string& topic, mosquitto::Qos qos, bool, mosquitto::SuccessCallback,
                mosquitto::FailureCallback) override {
    calls.push_back("Subscribe " + topic + " " + std::to_string(static_cast<int>(qos)));
    return 0;
  }
  mosquitto::msg_t Receive(const std::string& filter, int timeout_s) override {
    filters.push_back(filter);
    timeouts.push_back(timeout_s);
    if (turns_.empty()) throw std::runtime_error("timeout");
    Turn t = std::move(turns_.front());
    turns_.pop_front();
    env_->AdvanceSteady(t.elapse);
    if (t.timeout) throw std::runtime_error("timeout");
    return t.msg;
  }
  int Send(const std::string& topic, const std::vector<uint8_t>& payload, mosquitto::Qos qos,
           bool) override {
    if (fail_send) throw std::runtime_error("not connected");
    sent.push_back(topic + " " + std::string(payload.begin(), payload.end()) + " q" +
                   std::to_string(static_cast<int>(qos)));
    return 0;
  }

  std::vector<std::string> calls;
  std::vector<std::string> filters;
  std::vector<int> timeouts;
  std::vector<std::string> sent;
  bool fail_send = false;

 private:
  testsupport::FaultEnv* env_;
  std::deque<Turn> turns_;
};

Turn Msg(const std::string& topic, const std::string& payload, seconds elapse = seconds(0)) {
  Turn t;
  t.timeout = false;
  t.msg.topic = topic;
  t.msg.payload.assign(payload.begin(), payload.end());
  t.elapse = elapse;
  return t;
}

Turn Quiet(seconds elapse) {
  Turn t;
  t.elapse = elapse;
  return t;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.SetSteadyNow(Env::SteadyTime(seconds(1000)));
    env_.SetSystemNow(Env::SystemTime(seconds(1'700'000'000)));
    config_.topics = {"/t/a"};
    config_.storage.dir = dir_.file("outbox");
    config_.storage.compress = false;
    config_.resend.cooldown = 0;
    config_.resend.grace_period = 0;
    config_.maintenance_interval = 60;
  }

  // Runs the loop for exactly the scripted turns.
  void Run(std::deque<Turn> turns) {
    const long n = static_cast<long>(turns.size());
    client_ = std::make_shared<ScriptedClient>(&env_, std::move(turns));
    perform(
        config_, [this](const std::string& id) { client_id_ = id; return client_; }, &env_, n);
  }

  std::string ActiveFile() { return testsupport::ReadFile(config_.storage.dir + "/outbox.jsonl"); }

  testsupport::TempDir dir_;
  testsupport::FaultEnv env_;
  AppConfig config_;
  std::shared_ptr<ScriptedClient> client_;
  std::string client_id_;
  P7::ScopedCapture log_;
};

TEST_F(ServiceTest, StartUpSubscribesEveryTopicAndItsAckTopicInOrder) {
  config_.topics = {"/t/a", "/t/b", "/t/a"};
  Run({Quiet(seconds(1))});

  EXPECT_EQ(client_id_, "skelvane_" + std::to_string(getpid()));
  const std::vector<std::string> expected = {
      "Connect false",   "Subscribe /t/a 1", "Subscribe /t/a/ack 1", "Subscribe /t/b 1",
      "Subscribe /t/b/ack 1", "Subscribe /t/a 1", "Subscribe /t/a/ack 1"};
  EXPECT_EQ(client_->calls, expected);
  EXPECT_EQ(log_.count("Monitoring topic: /t/a (ack: /t/a/ack)", P7::kInfo), 2);

  // Order of the start-up lines: monitoring, statistics, chain armed, loop entered.
  std::vector<std::string> order;
  for (const auto& r : log_.records()) {
    if (r.message.rfind("Store stats: ", 0) == 0 || r.message.rfind("Connected, ", 0) == 0 ||
        r.message == "Entering message loop..." || r.message.rfind("Monitoring", 0) == 0) {
      order.push_back(r.message.substr(0, 10));
    }
  }
  ASSERT_EQ(order.size(), 6u);
  EXPECT_EQ(order[3], "Store stat");
  EXPECT_EQ(order[4], "Connected,");
  EXPECT_EQ(order[5], "Entering m");
  EXPECT_TRUE(log_.contains("Store stats: pending=0, ack_queue=0, known=0, discarded=0"));
}

TEST_F(ServiceTest, ReceiveTimeoutIsWholeSecondsAtLeastOne) {
  const std::vector<std::pair<int32_t, int>> cases = {
      {1000, 1}, {999, 1}, {0, 1}, {-5000, 1}, {2500, 2}, {60000, 60}};
  for (const auto& [ms, want] : cases) {
    config_.loop_timeout_ms = ms;
    Run({Quiet(seconds(0))});
    ASSERT_EQ(client_->timeouts.size(), 1u);
    EXPECT_EQ(client_->timeouts[0], want) << ms;
    EXPECT_EQ(client_->filters[0], "/#");
  }
}

TEST_F(ServiceTest, RoutesByExactTopicAckSetFirst) {
  // "/t/a/ack" is configured as a data topic too: its messages must take the ACK path.
  config_.topics = {"/t/a", "/t/a/ack"};
  const std::string data = R"({"timestamp":1699999000,"msg_id":"m1","v":1})";
  Run({
      Msg("/t/a", data),
      Msg("/t/other", R"({"timestamp":1699999000,"msg_id":"x"})"),
      Msg("/t/a/#", R"({"timestamp":1699999000,"msg_id":"y"})"),
      Msg("", R"({"timestamp":1699999000,"msg_id":"z"})"),
      Msg("/t/a/ack", R"({"timestamp":1699999000,"msg_id":"m1"})"),
  });

  const std::string file = ActiveFile();
  EXPECT_NE(file.find("\"msg_id\":\"m1\""), std::string::npos);
  EXPECT_EQ(file.find("\"msg_id\":\"x\""), std::string::npos);
  EXPECT_EQ(file.find("\"msg_id\":\"y\""), std::string::npos);
  EXPECT_EQ(file.find("\"msg_id\":\"z\""), std::string::npos);
  EXPECT_EQ(log_.count("ACK: ts=1699999000 msg_id=m1 on /t/a/ack", P7::kInfo), 1);
  // The ACK message was not stored as data.
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1);
}

TEST_F(ServiceTest, PublishFailureIsLoggedAndReportedToTheChain) {
  config_.resend.stale_threshold = 1000;
  config_.resend.live_ack_threshold = 1000;
  const std::string old = R"({"timestamp":1699990000,"msg_id":"old"})";
  const std::string live = R"({"timestamp":1700000000,"msg_id":"live"})";
  client_ = nullptr;
  std::deque<Turn> turns = {Msg("/t/a", old), Msg("/t/a", live),
                            Msg("/t/a/ack", R"({"timestamp":1700000000,"msg_id":"live"})")};
  const long n = static_cast<long>(turns.size());
  auto client = std::make_shared<ScriptedClient>(&env_, std::move(turns));
  client->fail_send = true;
  perform(config_, [&](const std::string&) { return client; }, &env_, n);

  bool found = false;
  for (const auto& r : log_.records()) {
    if (r.message == "Publish error: not connected") {
      found = true;
      EXPECT_EQ(r.level, P7::kError);
      EXPECT_EQ(r.function, "operator()");
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(log_.count("Resend publish failed: ts=1699990000 msg_id=old", P7::kError), 1);
}

TEST_F(ServiceTest, LiveAckRepublishesOldestPendingWithOriginalBytes) {
  config_.resend.stale_threshold = 1000;
  config_.resend.live_ack_threshold = 1000;
  const std::string old = "{ \"timestamp\":1699990000, \"msg_id\":\"old\", \"x\":[1,2] }";
  Run({Msg("/t/a", old), Msg("/t/a", R"({"timestamp":1700000000,"msg_id":"live"})"),
       Msg("/t/a/ack", R"({"timestamp":1700000000,"msg_id":"live"})")});
  ASSERT_EQ(client_->sent.size(), 1u);
  EXPECT_EQ(client_->sent[0], "/t/a " + old + " q1");
}

TEST_F(ServiceTest, MaintenanceRunsOncePerIntervalMeasuredFromItsStart) {
  config_.maintenance_interval = 10;
  // 4 s per turn: passes are due at 12 s (first turn at or past 10) and at 24 s (12 + 12).
  std::deque<Turn> turns;
  for (int i = 0; i < 7; ++i) turns.push_back(Quiet(seconds(4)));
  Run(std::move(turns));
  int passes = 0;
  for (const auto& r : log_.records()) {
    if (r.message.rfind("Maintenance: pending=", 0) == 0) ++passes;
  }
  EXPECT_EQ(passes, 2);  // at 12 s and 24 s; 28 s is only 4 s after the last pass
}

TEST_F(ServiceTest, NonPositiveIntervalRunsMaintenanceEveryTurn) {
  for (int32_t interval : {0, -3}) {
    config_.maintenance_interval = interval;
    log_.clear();
    Run({Quiet(seconds(0)), Quiet(seconds(0)), Quiet(seconds(0))});
    int passes = 0;
    for (const auto& r : log_.records()) {
      if (r.message.rfind("Maintenance: ", 0) == 0) ++passes;
    }
    EXPECT_EQ(passes, 3) << interval;
  }
}

TEST_F(ServiceTest, MaintenanceFlushesAcknowledgedLines) {
  config_.maintenance_interval = 5;
  Run({Msg("/t/a", R"({"timestamp":1699999990,"msg_id":"a"})"),
       Msg("/t/a", R"({"timestamp":1699999991,"msg_id":"b"})"),
       Msg("/t/a/ack", R"({"acks":[{"timestamp":1699999990,"msg_id":"a"}]})", seconds(6))});
  const std::string file = ActiveFile();
  EXPECT_EQ(file.find("\"msg_id\":\"a\""), std::string::npos);
  EXPECT_NE(file.find("\"msg_id\":\"b\""), std::string::npos);
  EXPECT_TRUE(log_.contains("Maintenance: pending=1, ack_queue=0, known=1"));
}

}  // namespace
}  // namespace kestova
