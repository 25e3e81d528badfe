// The resend chain seen from the receiving side: old unacknowledged messages come back one at a
// time, oldest first, with their original bytes on their original topic, for as long as each one is
// acknowledged quickly; a live acknowledgement starts the chain, a slow one stops it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Clock;
using testsupport::LogLine;
using testsupport::MqttPeer;
using testsupport::PeerMessage;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;

const std::string kData = "/kv/e2e/data";
const std::string kData2 = "/kv/e2e/data2";

struct Backlog {
  std::string id, topic, payload;
  int64_t ts;
};

// Old messages (ten minutes back, one second apart) in formats a re-serialisation would change.
std::vector<Backlog> MakeBacklog(int n) {
  std::vector<Backlog> b;
  const int64_t base = testsupport::UnixNow() - 600;
  for (int i = 0; i < n; ++i) {
    const std::string id = "old-" + std::to_string(i);
    const int64_t ts = base + i;
    const std::string payload =
        "{ \"msg_id\" : \"" + id + "\",\n  \"timestamp\": " + std::to_string(ts) +
        ", \"v\": [1, 2.50, \"\xc3\xbc\"], \"i\":" + std::to_string(i) + " }";
    b.push_back({id, i % 2 == 0 ? kData : kData2, payload, ts});
  }
  return b;
}

std::string MsgId(const std::string& payload) {
  const auto j = nlohmann::json::parse(payload, nullptr, false);
  if (!j.is_object() || !j.contains("msg_id") || !j["msg_id"].is_string()) return "";
  return j["msg_id"].get<std::string>();
}

int64_t Timestamp(const std::string& payload) {
  const auto j = nlohmann::json::parse(payload, nullptr, false);
  return j.is_object() && j.contains("timestamp") ? j["timestamp"].get<int64_t>() : 0;
}

// The receiving side: sees every data message, acknowledges republished backlog messages at once
// while auto_ack is set.
class Receiver {
 public:
  Receiver(ServiceFixture& fx, const std::vector<std::string>& topics)
      : peer_(fx.NewPeer("receiver")) {
    peer_->SetHandler([this](const PeerMessage& m) { OnMessage(m); });
    for (const auto& t : topics) EXPECT_TRUE(peer_->Subscribe(t));
  }

  struct Resend {
    std::string id, topic, payload;
    Clock::time_point arrived;
    Clock::time_point acked;  // default when not acknowledged
  };

  std::vector<Resend> resends() const {
    std::lock_guard lk(mu_);
    return resends_;
  }
  bool WaitResends(size_t n, std::chrono::milliseconds limit) const {
    return testsupport::WaitFor([&] { return resends().size() >= n; }, limit);
  }
  void Ack(const Resend& r) {
    ASSERT_TRUE(
        peer_->Publish(r.topic + "/ack", testsupport::AckPayload(Timestamp(r.payload), r.id)));
  }

  std::atomic<bool> auto_ack{true};

 private:
  void OnMessage(const PeerMessage& m) {
    const std::string id = MsgId(m.payload);
    if (id.rfind("old-", 0) != 0) return;  // live traffic of the test itself
    Resend r{id, m.topic, m.payload, m.at, {}};
    if (auto_ack) {
      r.acked = Clock::now();
      peer_->PublishAsync(m.topic + "/ack", testsupport::AckPayload(Timestamp(m.payload), id));
    }
    std::lock_guard lk(mu_);
    resends_.push_back(r);
  }

  mutable std::mutex mu_;
  std::vector<Resend> resends_;
  std::unique_ptr<MqttPeer> peer_;  // last: its callbacks stop before the rest goes
};

ServiceOptions ChainOptions(int fast_ack_threshold, int cooldown) {
  ServiceOptions o;
  o.topics = {kData, kData2};
  o.resend = {{"cooldown", cooldown},
              {"stale_threshold", 30},
              {"grace_period", 0},
              {"live_ack_threshold", 10},
              {"fast_ack_threshold", fast_ack_threshold}};
  return o;
}

void PublishBacklog(ServiceFixture& fx, const std::vector<Backlog>& backlog) {
  for (const auto& b : backlog) ASSERT_TRUE(fx.control().Publish(b.topic, b.payload));
  ASSERT_TRUE(fx.WaitOutbox([&](const auto& r) { return r.size() == backlog.size(); }, 10s));
}

// A fresh message and its acknowledgement: a live ACK.
void LiveAck(ServiceFixture& fx, const std::string& id) {
  const int64_t now = testsupport::UnixNow();
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(now, id)));
  ASSERT_TRUE(fx.control().Publish(kData + "/ack", testsupport::AckPayload(now, id)));
}

size_t CountStartingWith(const std::vector<LogLine>& lines, const std::string& prefix) {
  return testsupport::MessagesStartingWith(lines, prefix).size();
}

void ExpectResentAsCaptured(const Receiver::Resend& got, const Backlog& want) {
  EXPECT_EQ(got.id, want.id);
  EXPECT_EQ(got.topic, want.topic) << got.id;
  EXPECT_EQ(got.payload, want.payload) << got.id;
}

TEST(ResendChainTest, FastAcksWalkTheBacklogOldestFirstOneAtATime) {
  ServiceFixture fx(ChainOptions(2, 1));
  ASSERT_TRUE(fx.StartService());
  const std::vector<Backlog> backlog = MakeBacklog(6);
  PublishBacklog(fx, backlog);
  Receiver rx(fx, {kData, kData2});
  std::this_thread::sleep_for(1200ms);  // past the start-up cooldown of one second

  LiveAck(fx, "fresh-1");
  ASSERT_TRUE(rx.WaitResends(backlog.size(), 15s));
  ASSERT_GE(fx.WaitLogStartsWith("No pending to send, chain idle", 5s), 0);
  std::this_thread::sleep_for(300ms);

  const auto resends = rx.resends();
  ASSERT_EQ(resends.size(), backlog.size());
  for (size_t i = 0; i < resends.size(); ++i) {
    ExpectResentAsCaptured(resends[i], backlog[i]);
    // The next one goes out only after the previous one was acknowledged.
    if (i > 0) {
      EXPECT_GE(resends[i].arrived, resends[i - 1].acked) << resends[i].id;
    }
  }

  const auto lines = fx.Log();
  EXPECT_EQ(CountStartingWith(lines, "Live ACK (age="), 1u);
  std::vector<std::string> resent = testsupport::MessagesStartingWith(lines, "Resent: ");
  ASSERT_EQ(resent.size(), backlog.size());
  for (size_t i = 0; i < backlog.size(); ++i) {
    EXPECT_EQ(resent[i].rfind("Resent: ts=" + std::to_string(backlog[i].ts) + " msg_id=" +
                                  backlog[i].id + " topic=" + backlog[i].topic + " (age=",
                              0),
              0u)
        << resent[i];
  }
  EXPECT_EQ(CountStartingWith(lines, "Fast ACK (latency="), backlog.size());
  EXPECT_EQ(CountStartingWith(lines, "Slow ACK"), 0u);
  // The service hears its own republished messages on the data topics and does not store them
  // again.
  EXPECT_EQ(CountStartingWith(lines, "Duplicate skipped: ts="), backlog.size());
  EXPECT_TRUE(fx.WaitOutbox([](const auto& r) { return r.empty(); }, 3s))
      << fx.Outbox().size() << " records left";
}

TEST(ResendChainTest, SlowAckStopsTheChainUntilTheNextLiveAck) {
  ServiceFixture fx(ChainOptions(1, 2));
  ASSERT_TRUE(fx.StartService());
  const std::vector<Backlog> backlog = MakeBacklog(4);
  PublishBacklog(fx, backlog);
  Receiver rx(fx, {kData, kData2});
  rx.auto_ack = false;
  std::this_thread::sleep_for(2200ms);  // past the start-up cooldown of two seconds

  LiveAck(fx, "fresh-1");
  ASSERT_TRUE(rx.WaitResends(1, 10s));
  // Hold the acknowledgement past the threshold (latency counts in whole seconds: 2 > 1).
  std::this_thread::sleep_for(2600ms);
  EXPECT_EQ(rx.resends().size(), 1u) << "the chain went on without an acknowledgement";
  rx.Ack(rx.resends()[0]);
  const int slow = fx.WaitLogStartsWith("Slow ACK (latency=", 5s);
  ASSERT_GE(slow, 0);
  EXPECT_THAT(fx.Log()[static_cast<size_t>(slow)].message,
              ::testing::MatchesRegex(
                  R"(Slow ACK \(latency=[2-9]s > 1s\): chain stopped, waiting for next live-ACK)"));
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(rx.resends().size(), 1u) << "the chain went on after a slow acknowledgement";

  // An acknowledgement of an old message that is not in flight pushes the cooldown out again: a
  // live ACK right behind it is ignored.
  rx.auto_ack = true;
  const size_t mark = fx.Log().size();
  const int64_t old = testsupport::UnixNow() - 600;
  ASSERT_TRUE(fx.control().Publish(kData + "/ack", testsupport::AckPayload(old, "gone")));
  LiveAck(fx, "fresh-2");
  const int live = fx.WaitLogStartsWith("Live ACK (age=", 5s, mark);
  ASSERT_GE(live, 0);
  auto lines = fx.Log();
  EXPECT_THAT(testsupport::MessagesStartingWith(lines, "Stale ACK (age=", mark),
              ::testing::ElementsAre(
                  ::testing::MatchesRegex(R"(Stale ACK \(age=60[01]s\): cooldown extended 2s)")));
  EXPECT_THAT(lines[static_cast<size_t>(live)].message,
              ::testing::MatchesRegex(R"(Live ACK \(age=[01]s\) but in cooldown, ignoring)"));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rx.resends().size(), 1u);

  std::this_thread::sleep_for(2000ms);
  LiveAck(fx, "fresh-3");
  ASSERT_TRUE(rx.WaitResends(backlog.size(), 10s));
  ASSERT_GE(fx.WaitLogStartsWith("No pending to send, chain idle", 5s), 0);
  const auto resends = rx.resends();
  ASSERT_EQ(resends.size(), backlog.size());
  for (size_t i = 0; i < backlog.size(); ++i) ExpectResentAsCaptured(resends[i], backlog[i]);
  lines = fx.Log();
  EXPECT_EQ(CountStartingWith(lines, "Live ACK (age=0s): starting resend chain") +
                CountStartingWith(lines, "Live ACK (age=1s): starting resend chain"),
            2u);
  EXPECT_EQ(CountStartingWith(lines, "Fast ACK (latency="), backlog.size() - 1);
  EXPECT_TRUE(fx.WaitOutbox([](const auto& r) { return r.empty(); }, 3s));
}

}  // namespace
