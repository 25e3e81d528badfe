#include "resender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fault_env.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using SteadyTime = Env::SteadyTime;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kNow = 1'000'000;  // wall clock, Unix seconds
const SteadyTime kT0{seconds(1000)};

// Counts clock reads on top of the fake clocks.
class ClockCountingEnv : public testsupport::FaultEnv {
 public:
  SteadyTime SteadyNow() override {
    ++steady_reads;
    return FaultEnv::SteadyNow();
  }
  SystemTime SystemNow() override {
    ++system_reads;
    return FaultEnv::SystemNow();
  }
  int steady_reads = 0;
  int system_reads = 0;
};

// A resender over a real store, frozen clocks (steady kT0, wall kNow) and a recording publish.
struct Rig {
  explicit Rig(ResendConfig rc = {}) {
    env.SetSteadyNow(kT0);
    env.SetSystemNow(Env::SystemTime(seconds(kNow)));
    OutboxStoreConfig sc;
    sc.dir = tmp.file("outbox");
    store = std::make_unique<OutboxStore>(sc, &env);
    resender = std::make_unique<Resender>(
        *store, rc,
        [this](const std::string& topic, const std::vector<uint8_t>& payload) {
          sent.push_back(topic + "|" + std::string(payload.begin(), payload.end()));
          return publish_ok;
        },
        &env);
  }
  void Store(int64_t ts, const std::string& id, const std::string& payload = "") {
    const std::string p = payload.empty() ? "p-" + id : payload;
    ASSERT_TRUE(store->store(reinterpret_cast<const uint8_t*>(p.data()), p.size(), ts, id, "t/d"));
  }
  // What the ACK handler does for one entry.
  void Ack(int64_t ts, const std::string& id) {
    store->ackMessage(ts, id);
    resender->onAckReceived(ts, id);
  }
  // The resender's log lines since the last call, as "<level> <function>: <message>".
  std::vector<std::string> Lines() {
    static const std::set<std::string> kOwn = {"onConnected", "tick", "sendOne", "onAckReceived"};
    std::vector<std::string> out;
    for (const P7::Record& r : capture.records()) {
      if (kOwn.count(r.function)) {
        out.push_back(std::to_string(r.level) + " " + r.function + ": " + r.message);
      }
    }
    capture.clear();
    return out;
  }
  std::set<Resender::FlightKey> Flight(int64_t ts, const std::string& id) { return {{ts, id}}; }

  testsupport::TempDir tmp;
  ClockCountingEnv env;
  std::unique_ptr<OutboxStore> store;
  std::unique_ptr<Resender> resender;
  bool publish_ok = true;
  std::vector<std::string> sent;
  P7::ScopedCapture capture;
};

using Lines = std::vector<std::string>;

TEST(Resender, ScriptedChainStartCooldownAndContinuation) {
  Rig r;
  r.Store(kNow - 200, "a");
  r.Store(kNow - 150, "b");
  r.Store(kNow - 140, "c");
  r.resender->onConnected();
  EXPECT_EQ(r.Lines(), Lines{"2 onConnected: Connected, 3 pending, waiting for live-ACK to start "
                             "chain (cooldown 30s)"});
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(30));

  r.env.AdvanceSteady(seconds(30) - nanoseconds(1));
  r.Ack(kNow - 5, "x");
  EXPECT_EQ(r.Lines(), Lines{"1 onAckReceived: Live ACK (age=5s) but in cooldown, ignoring"});

  r.env.AdvanceSteady(nanoseconds(1));  // the cooldown's end is outside it
  r.Ack(kNow - 5, "y");
  EXPECT_EQ(r.Lines(), (Lines{"1 onAckReceived: Live ACK (age=5s): starting resend chain",
                              "2 sendOne: Resent: ts=999800 msg_id=a topic=t/d (age=200s)"}));
  EXPECT_EQ(r.sent, Lines{"t/d|p-a"});
  EXPECT_EQ(r.resender->inflight(), r.Flight(kNow - 200, "a"));
  EXPECT_EQ(r.resender->lastSendAt(), kT0 + seconds(30));
  EXPECT_EQ(r.resender->inflightDeadline(), kT0 + seconds(150));

  r.Ack(kNow - 5, "z");
  // Same timestamp as the message in flight, other id: no match, so a stale ACK.
  r.Ack(kNow - 200, "a2");
  r.Ack(kNow - 5, "w");
  EXPECT_EQ(r.Lines(), (Lines{"1 onAckReceived: Live ACK (age=5s) but chain already in flight, "
                              "ignoring",
                              "2 onAckReceived: Stale ACK (age=200s): cooldown extended 30s",
                              "1 onAckReceived: Live ACK (age=5s) but in cooldown, ignoring"}));
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(60));
  EXPECT_EQ(r.resender->inflight(), r.Flight(kNow - 200, "a"));

  // A fast ACK of the message in flight continues the chain although a cooldown runs.
  r.env.AdvanceSteady(seconds(29));
  r.Ack(kNow - 200, "a");
  EXPECT_EQ(r.Lines(), (Lines{"1 onAckReceived: Fast ACK (latency=29s): continuing chain",
                              "2 sendOne: Resent: ts=999850 msg_id=b topic=t/d (age=150s)"}));

  // A slow ACK stops it; the next live ACK outside the cooldown resumes with the oldest left.
  r.env.AdvanceSteady(seconds(31));
  r.Ack(kNow - 150, "b");
  r.Ack(kNow, "live");
  EXPECT_EQ(r.Lines(),
            (Lines{"2 onAckReceived: Slow ACK (latency=31s > 30s): chain stopped, waiting for next "
                   "live-ACK",
                   "1 onAckReceived: Live ACK (age=0s): starting resend chain",
                   "2 sendOne: Resent: ts=999860 msg_id=c topic=t/d (age=140s)"}));
  EXPECT_EQ(r.sent, (Lines{"t/d|p-a", "t/d|p-b", "t/d|p-c"}));
}

TEST(Resender, LatencyIsWholeSecondsAgainstFastThreshold) {
  const struct {
    nanoseconds latency;
    Lines lines;
  } rows[] = {
      {milliseconds(1900),
       {"1 onAckReceived: Fast ACK (latency=1s): continuing chain",
        "1 sendOne: No pending to send, chain idle"}},
      {seconds(30),
       {"1 onAckReceived: Fast ACK (latency=30s): continuing chain",
        "1 sendOne: No pending to send, chain idle"}},
      {seconds(31) - nanoseconds(1),
       {"1 onAckReceived: Fast ACK (latency=30s): continuing chain",
        "1 sendOne: No pending to send, chain idle"}},
      {seconds(31),
       {"2 onAckReceived: Slow ACK (latency=31s > 30s): chain stopped, waiting for next live-ACK"}},
  };
  for (const auto& row : rows) {
    Rig r;
    r.Store(kNow - 500, "a");
    r.Ack(kNow, "start");
    ASSERT_EQ(r.sent.size(), 1u);
    r.Lines();
    r.env.AdvanceSteady(row.latency);
    r.Ack(kNow - 500, "a");  // matched however old the message is
    EXPECT_EQ(r.Lines(), row.lines) << row.latency.count();
    EXPECT_TRUE(r.resender->inflight().empty());
  }
}

TEST(Resender, AgeClassificationBoundaries) {
  ResendConfig mid_band;  // stale above 120, live up to 60
  mid_band.live_ack_threshold = 60;
  ResendConfig inverted;  // stale below live: no mid band
  inverted.stale_threshold = 60;
  const std::string live_start = "1 onAckReceived: Live ACK (age=";
  const auto live = [&](const std::string& age) {
    return Lines{live_start + age + "s): starting resend chain",
                 "1 sendOne: No pending to send, chain idle"};
  };
  const auto mid = [](const std::string& age) {
    return Lines{"1 onAckReceived: Mid-age ACK (age=" + age + "s), no chain trigger"};
  };
  const auto stale = [](const std::string& age) {
    return Lines{"2 onAckReceived: Stale ACK (age=" + age + "s): cooldown extended 30s"};
  };
  const struct {
    ResendConfig rc;
    nanoseconds wall_fraction;
    int64_t age;
    Lines lines;
  } rows[] = {
      {{}, {}, 120, live("120")},
      {{}, {}, 121, stale("121")},
      {{}, {}, -5, live("-5")},
      {mid_band, {}, 60, live("60")},
      {mid_band, milliseconds(999), 60, live("60")},  // wall 1000000.999 s counts as 1000000
      {mid_band, {}, 61, mid("61")},
      {mid_band, {}, 120, mid("120")},
      {mid_band, {}, 121, stale("121")},
      {inverted, {}, 61, stale("61")},
      {inverted, {}, 60, live("60")},
  };
  for (const auto& row : rows) {
    Rig r(row.rc);
    r.env.AdvanceSystem(row.wall_fraction);
    r.Ack(kNow - row.age, "k");
    EXPECT_EQ(r.Lines(), row.lines) << row.age;
    const bool is_stale = row.lines[0].find("Stale") != std::string::npos;
    EXPECT_EQ(r.resender->cooldownUntil(), is_stale ? kT0 + seconds(30) : SteadyTime::min());
  }
}

TEST(Resender, StaleAckMovesCooldownOnlyLater) {
  Rig r;
  r.resender->onConnected();
  r.Lines();
  r.Ack(kNow - 500, "s");  // same end as the running cooldown: nothing
  EXPECT_TRUE(r.Lines().empty());
  r.env.AdvanceSteady(seconds(10));
  r.Ack(kNow - 500, "s");
  EXPECT_EQ(r.Lines(), Lines{"2 onAckReceived: Stale ACK (age=500s): cooldown extended 30s"});
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(40));
  r.env.SetSteadyNow(kT0);  // an earlier end never replaces a later one
  r.Ack(kNow - 500, "s");
  EXPECT_TRUE(r.Lines().empty());
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(40));
  r.env.SetSteadyNow(kT0 + seconds(100));  // expired: a new cooldown from now
  r.Ack(kNow - 500, "s");
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(130));
  EXPECT_TRUE(r.sent.empty());
}

TEST(Resender, GracePeriodBoundary) {
  Rig r;
  r.Store(kNow - 119, "young");
  r.Ack(kNow, "go");
  EXPECT_EQ(r.Lines(),
            (Lines{"1 onAckReceived: Live ACK (age=0s): starting resend chain",
                   "1 sendOne: Oldest pending within grace period (age=119s < 120s), skipping"}));
  EXPECT_TRUE(r.sent.empty());
  EXPECT_TRUE(r.resender->inflight().empty());
  r.env.AdvanceSystem(seconds(1));
  r.Ack(kNow, "go");
  EXPECT_EQ(r.sent, Lines{"t/d|p-young"});
  EXPECT_TRUE(r.capture.contains("(age=120s)"));
}

TEST(Resender, PublishFailureChangesNothingAndIsRetried) {
  Rig r;
  r.Store(kNow - 300, "a");
  r.Store(kNow - 300, "b");
  r.Ack(kNow, "go");  // sends a at kT0
  r.env.AdvanceSteady(seconds(40));
  r.Ack(kNow - 300, "a");    // slow: idle
  r.Ack(kNow - 999, "old");  // stale: cooldown until kT0 + 70 s
  r.env.AdvanceSteady(seconds(30));
  r.Lines();
  r.publish_ok = false;
  r.Ack(kNow, "go");
  EXPECT_EQ(r.Lines(), (Lines{"1 onAckReceived: Live ACK (age=0s): starting resend chain",
                              "4 sendOne: Resend publish failed: ts=999700 msg_id=b"}));
  EXPECT_TRUE(r.resender->inflight().empty());
  EXPECT_EQ(r.resender->lastSendAt(), kT0);
  EXPECT_EQ(r.resender->inflightDeadline(), kT0 + seconds(120));
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(70));
  r.publish_ok = true;
  r.Ack(kNow, "go");
  EXPECT_EQ(r.sent, (Lines{"t/d|p-a", "t/d|p-b", "t/d|p-b"}));
  EXPECT_EQ(r.resender->inflight(), r.Flight(kNow - 300, "b"));
}

TEST(Resender, InflightTimeoutAtDeadline) {
  Rig r;
  r.Store(kNow - 300, "a");
  r.Ack(kNow, "go");
  r.resender->onConnected();  // resets the chain, keeps last_send_at
  EXPECT_TRUE(r.resender->inflight().empty());
  EXPECT_EQ(r.resender->inflightDeadline(), SteadyTime::min());
  EXPECT_EQ(r.resender->lastSendAt(), kT0);

  r.env.AdvanceSteady(seconds(30));
  r.Ack(kNow, "go");  // sends a again at kT0 + 30 s
  r.Lines();
  r.env.SetSteadyNow(kT0 + seconds(150) - nanoseconds(1));
  r.resender->tick();
  EXPECT_TRUE(r.Lines().empty());
  EXPECT_EQ(r.resender->inflight().size(), 1u);
  r.env.AdvanceSteady(nanoseconds(1));
  r.resender->tick();
  r.resender->tick();
  EXPECT_EQ(r.Lines(), Lines{"3 tick: Inflight timeout: 1 unacked message(s), clearing chain"});
  EXPECT_TRUE(r.resender->inflight().empty());
  EXPECT_EQ(r.resender->inflightDeadline(), kT0 + seconds(150));
  EXPECT_EQ(r.resender->cooldownUntil(), kT0 + seconds(30));
  // Its late acknowledgement is no longer matched: classified by age.
  r.Ack(kNow - 300, "a");
  EXPECT_EQ(r.Lines(), Lines{"2 onAckReceived: Stale ACK (age=300s): cooldown extended 30s"});
  EXPECT_EQ(r.sent.size(), 2u);
}

TEST(Resender, ConstructionAndIdleTickTouchNothing) {
  Rig r;
  EXPECT_EQ(r.resender->cooldownUntil(), SteadyTime::min());
  EXPECT_EQ(r.resender->lastSendAt(), SteadyTime::min());
  EXPECT_EQ(r.resender->inflightDeadline(), SteadyTime::min());
  r.env.steady_reads = r.env.system_reads = 0;
  r.env.ResetCounts();
  r.resender->tick();
  EXPECT_EQ(r.env.steady_reads + r.env.system_reads, 0);
  EXPECT_EQ(r.env.CountAll(), 0);
  EXPECT_TRUE(r.Lines().empty());
}

TEST(Resender, WalksStoreOldestCaptureFirstUntilEmpty) {
  Rig r;
  const std::string binary("\x00\xff{\n", 4);
  r.Store(kNow - 300, "c1", binary);
  r.Store(kNow - 500, "c2");  // file order, not timestamp order
  r.Store(kNow - 400, "c3");
  r.Ack(kNow, "go");
  const std::pair<int64_t, std::string> chain[] = {
      {kNow - 300, "c1"}, {kNow - 500, "c2"}, {kNow - 400, "c3"}};
  for (const auto& [ts, id] : chain) {
    r.env.AdvanceSteady(seconds(1));
    EXPECT_EQ(r.resender->inflight(), r.Flight(ts, id));
    r.Ack(ts, id);
  }
  EXPECT_EQ(r.sent, (Lines{"t/d|" + binary, "t/d|p-c2", "t/d|p-c3"}));
  EXPECT_EQ(r.capture.count("No pending to send, chain idle"), 1);
  EXPECT_TRUE(r.resender->inflight().empty());
  EXPECT_EQ(r.store->pendingCount(), 0);
  EXPECT_EQ(testsupport::ReadFile(r.store->activePath()), "");
}

TEST(Resender, Int64ExtremesSaturate) {
  {
    Rig r;
    r.Ack(kMin, "m");  // age overflows: saturated, stale
    r.Ack(kMax, "M");  // far future: live, but now in cooldown
    r.env.SetSystemNow(Env::SystemTime(seconds(-5)));
    r.Ack(kMax, "M");  // -5 - INT64_MAX saturates
    EXPECT_EQ(r.Lines(),
              (Lines{"2 onAckReceived: Stale ACK (age=9223372036854775807s): cooldown extended 30s",
                     "1 onAckReceived: Live ACK (age=-9223372036853775807s) but in cooldown, "
                     "ignoring",
                     "1 onAckReceived: Live ACK (age=-9223372036854775808s) but in cooldown, "
                     "ignoring"}));
  }
  {
    Rig r;  // a message stamped at the beginning of time, sent near the end of the steady clock
    r.Store(kMin, "m");
    r.env.SetSteadyNow(SteadyTime::max() - seconds(1));
    r.Ack(kNow, "go");
    EXPECT_TRUE(
        r.capture.contains("Resent: ts=-9223372036854775808 msg_id=m topic=t/d "
                           "(age=9223372036854775807s)"));
    EXPECT_EQ(r.resender->inflightDeadline(), SteadyTime::max());
    r.resender->tick();  // the saturated deadline is never reached
    EXPECT_EQ(r.resender->inflight().size(), 1u);
    r.env.SetSteadyNow(SteadyTime::min());  // a clock far behind the send time
    r.Lines();
    r.Ack(kMin, "m");
    EXPECT_EQ(r.Lines()[0], "1 onAckReceived: Fast ACK (latency=-9223372036s): continuing chain");
    r.env.SetSteadyNow(SteadyTime::max() - seconds(1));
    r.resender->onConnected();
    EXPECT_EQ(r.resender->cooldownUntil(), SteadyTime::max());
  }
  {
    ResendConfig rc;
    rc.stale_threshold = std::numeric_limits<int32_t>::max();
    rc.cooldown = std::numeric_limits<int32_t>::min();
    Rig r(rc);
    r.Store(kNow - 300, "a");
    r.Ack(kNow, "go");
    EXPECT_EQ(r.resender->inflightDeadline(), kT0 + seconds(2147483647));
    r.env.SetSteadyNow(SteadyTime::min() + seconds(1));
    r.resender->onConnected();
    EXPECT_EQ(r.resender->cooldownUntil(), SteadyTime::min());
    EXPECT_TRUE(r.capture.contains("(cooldown -2147483648s)"));
  }
}

}  // namespace
}  // namespace kestova
