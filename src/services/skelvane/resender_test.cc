#include "resender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fault_env.h"
#include "handlers.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using namespace std::chrono_literals;
using SteadyTime = Env::SteadyTime;
using Lines = std::vector<std::string>;
using Keys = std::set<AckKey>;

constexpr int64_t kNow = 1'000'000;  // wall clock, Unix seconds
const SteadyTime kT0{1000s};

// A resender over a real store, frozen clocks (steady kT0, wall kNow) and a recording publish.
struct Rig {
  explicit Rig(ResendConfig rc = {}) {
    env.SetSteadyNow(kT0);
    env.SetSystemNow(Env::SystemTime(std::chrono::seconds(kNow)));
    store = std::make_unique<OutboxStore>(OutboxStoreConfig{.dir = tmp.file("outbox")}, &env);
    auto publish = [this](const std::string& topic, const std::vector<uint8_t>& payload) {
      sent.push_back(topic + "|" + std::string(payload.begin(), payload.end()));
      return published;
    };
    resender = std::make_unique<Resender>(*store, rc, publish, &env);
  }
  void Store(int64_t ts, const std::string& id, const std::string& payload = "") {
    const std::string p = payload.empty() ? "p-" + id : payload;
    ASSERT_TRUE(
        store->store(reinterpret_cast<const uint8_t*>(p.data()), p.size(), ts, id, "t/d").stored());
  }
  // What the ACK handler does for one entry.
  void Ack(int64_t ts, const std::string& id) {
    store->ackMessage(ts, id);
    resender->onAckReceived(ts, id);
  }
  testsupport::TempDir tmp;
  testsupport::FaultEnv env;
  std::unique_ptr<OutboxStore> store;
  std::unique_ptr<Resender> resender;
  Resender::Published published = true;
  Lines sent;
  P7::ScopedCapture capture;
};

// Cooldowns (start-up, stale ACK), one live start at a time, fast ACKs (threshold inclusive)
// continuing the chain, a slow one stopping it.
TEST(Resender, ChainStartsOnLiveAckAfterCooldownAndContinuesOnFastAcks) {
  Rig r;
  const std::string binary("\x00\xff{\n", 4);
  r.Store(kNow - 200, "a", binary);
  r.Store(kNow - 150, "b");
  r.Store(kNow - 250, "c");
  r.resender->onConnected();
  r.env.AdvanceSteady(30s - 1ns);
  r.Ack(kNow - 5, "x");
  EXPECT_TRUE(r.sent.empty()) << "started within the start-up cooldown";
  r.env.AdvanceSteady(1ns);
  r.Ack(kNow - 5, "y");
  EXPECT_EQ(r.resender->inflight(), (Keys{{kNow - 200, "a"}}));
  r.env.AdvanceSteady(10s);
  r.Ack(kNow - 200, "a2");  // a's timestamp, another id: no match; stale
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + 70s);
  r.Ack(kNow - 5, "w");
  EXPECT_EQ(r.sent.size(), 1u) << "a live ACK started a second chain";
  r.env.AdvanceSteady(21s - 1ns);
  r.Ack(kNow - 200, "a");  // latency 30.999 s: fast
  r.env.AdvanceSteady(31s);
  r.Ack(kNow - 150, "b");
  EXPECT_EQ(r.sent.size(), 2u) << "a slow ACK continued the chain";
  EXPECT_EQ(
      r.capture.count("Slow ACK (latency=31s > 30s): chain stopped, waiting for next live-ACK"), 1);
  r.Ack(kNow, "live");
  EXPECT_EQ(r.sent, (Lines{"t/d|" + binary, "t/d|p-b", "t/d|p-c"}));
}

// Age classes at their inclusive boundaries; clock skew warned below 0 and above a year of age. The
// head is stamped in the future: only 0 <= age < grace holds a message back.
TEST(Resender, AgeClassificationBoundaries) {
  const ResendConfig d, mid_band{30, 120, 120, 60, 30}, inverted{30, 60, 120, 120, 30};
  const int kYear = 365 * 86400;
  const struct {
    ResendConfig rc;
    int age;
    char kind;  // Live, Mid-age or Stale
    bool skew = false;
  } rows[] = {{d, 120, 'L'},       {d, 121, 'S'},   {d, -5, 'L', true},       {mid_band, 61, 'M'},
              {inverted, 61, 'S'}, {d, kYear, 'S'}, {d, kYear + 1, 'S', true}};
  for (const auto& row : rows) {
    Rig r(row.rc);
    r.Store(kNow + 86400, "f");
    r.env.AdvanceSystem(999ms);  // 1000000.999 s counts as 1000000
    r.Ack(kNow - row.age, "k");
    EXPECT_EQ(r.sent.size(), row.kind == 'L' ? 1u : 0u) << row.age;
    EXPECT_EQ(r.resender->cooldownUntil(), row.kind == 'S' ? kT0 + 30s : SteadyTime::min());
    EXPECT_EQ(r.capture.contains("Clock skew?"), row.skew) << row.age;
  }
  // Skew warnings at most once per steady hour; an absurd age saturates instead of wrapping.
  Rig r;
  r.env.SetSystemNow(Env::SystemTime(std::chrono::seconds(kNow) - 72h));
  r.Ack(kNow, "a");
  r.env.AdvanceSteady(1h - 1ns);
  r.Ack(kNow, "b");
  r.env.AdvanceSteady(1ns);
  r.Ack(std::numeric_limits<int64_t>::min(), "m");
  EXPECT_EQ(r.capture.count("Clock skew? ACK of ts=1000000 is -259200s old"), 1);
  EXPECT_TRUE(r.capture.contains("ACK of ts=-9223372036854775808 is 9223372036854775807s old"));
}

// Grace period, queued (a debug line, no error) and refused publishes leave nothing in flight; a
// reconnect drops the flight; the deadline times it out once.
TEST(Resender, FlightLifecycle) {
  Rig r;
  r.Store(kNow - 119, "m");
  r.Ack(kNow, "go");
  EXPECT_TRUE(r.sent.empty()) << "sent within the grace period";
  r.env.AdvanceSystem(1s);
  r.published = Resender::Published::kQueued;
  r.Ack(kNow, "go");
  EXPECT_FALSE(r.capture.contains("Resend publish failed"));
  r.published = false;
  r.Ack(kNow, "go");
  EXPECT_TRUE(r.resender->inflight().empty());
  EXPECT_EQ(r.resender->cooldownUntil(), SteadyTime::min());
  EXPECT_EQ(r.capture.count("Resend publish queued, not sent: ts=999881 msg_id=m", P7::kDebug), 1);
  r.published = true;
  r.Ack(kNow, "go");  // sent at kT0
  r.resender->onConnected();
  EXPECT_TRUE(r.resender->inflight().empty());
  r.env.AdvanceSteady(30s);
  r.Ack(kNow, "go");  // sent again after the start-up cooldown
  r.env.AdvanceSteady(120s);
  r.resender->tick();
  r.resender->tick();
  EXPECT_TRUE(r.resender->inflight().empty());
  EXPECT_EQ(r.capture.count("Inflight timeout: 1 unacked message(s), clearing chain"), 1);
  EXPECT_EQ(r.sent, (Lines(4, "t/d|p-m")));
}

// Window of 3: file order, a deadline each; a time-out stops new sends (a slow ACK: the chain
// test).
TEST(Resender, WindowKeepsSeveralInFlightEachWithItsOwnDeadline) {
  Rig r({.fast_ack_threshold = 110, .window = 3});
  for (const char* id : {"a", "b", "c", "d", "e"}) r.Store(kNow - 300, id);
  r.Store(kNow - 10, "y");
  r.Ack(kNow, "go");
  r.env.AdvanceSteady(10s);
  r.Ack(kNow - 300, "b");
  r.env.AdvanceSteady(15s);
  r.Ack(kNow - 300, "c");
  r.Ack(kNow, "x");  // in flight: no second start
  EXPECT_EQ(r.resender->inflight(),
            (Keys{{kNow - 300, "a"}, {kNow - 300, "d"}, {kNow - 300, "e"}}));
  r.env.SetSteadyNow(kT0 + 130s);  // a and d time out (sent at kT0 and kT0 + 10 s), e does not
  r.resender->tick();
  EXPECT_EQ(r.resender->inflight(), (Keys{{kNow - 300, "e"}}));
  EXPECT_EQ(r.resender->inflightDeadline(), kT0 + 145s);
  r.Ack(kNow - 300, "e");
  EXPECT_EQ(r.sent, (Lines{"t/d|p-a", "t/d|p-b", "t/d|p-c", "t/d|p-d", "t/d|p-e"}))
      << "a fast ACK after the stop sent";
}

// The echo of a resend is not stored again (the service test sees it skipped), until
// stale_threshold after the send: a genuine later republication must not be lost.
TEST(Resender, EchoOfResentMessageIsSkippedUntilStaleThresholdAfterTheSend) {
  Rig r;
  r.Store(kNow - 200, "a");
  r.Ack(kNow, "go");
  r.Ack(kNow - 200, "a");
  const auto echo = [&r] {
    const std::string p = R"({"timestamp":999800,"msg_id":"a"})";
    handleDataMessage(*r.store, {"t/d", {p.begin(), p.end()}}, r.resender.get());
    return r.store->pendingCount();
  };
  r.env.AdvanceSteady(120s - 1ns);
  EXPECT_EQ(echo(), 0);
  r.env.AdvanceSteady(1ns);
  EXPECT_EQ(echo(), 1);
}

}  // namespace
}  // namespace kestova
