// SIGKILL under a stream of QoS 1 messages with distinct ids, then restarts over the same outbox
// (small files, so that rotations and compressions are cut short too). At the end everything the
// broker accepted is looked up in the active file and the archives: no line may be broken, no
// record seen on disk after a kill may be lost or changed, and with a persistent session no
// accepted message may be missing; duplicates are counted. "burst" publishes 2000 messages at once
// and is killed once while they arrive; the torture variants stream at a steady rate and are
// killed at random moments, start-up included. Knobs (tests/torture/crash_torture.sh sets long
// ones): SKELVANE_TORTURE_CYCLES (5), _RATE (150/s), _UP_MS (2500), _SEED (printed).
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <random>
#include <set>

#include "e2e.h"

namespace {

using namespace testsupport;

std::string Id(int64_t seq) { return "m" + std::to_string(seq); }

struct Variant {
  std::string name;
  bool compress, persistent, burst;
};

class CrashTest : public ::testing::TestWithParam<Variant> {};

TEST_P(CrashTest, SigkillLosesNoRecordItHadWritten) {
  const Variant& v = GetParam();
  const int64_t cycles = v.burst ? 1 : EnvInt("SKELVANE_TORTURE_CYCLES", 5), burst = 2000;
  const int64_t rate = std::max<int64_t>(1, EnvInt("SKELVANE_TORTURE_RATE", 150));
  const int64_t max_up_ms = EnvInt("SKELVANE_TORTURE_UP_MS", 2500);
  const int64_t seed = EnvInt("SKELVANE_TORTURE_SEED", UnixNow() % 1000000);
  std::printf("[ seed     ] SKELVANE_TORTURE_SEED=%lld\n", static_cast<long long>(seed));
  std::mt19937_64 rng(static_cast<uint64_t>(seed));
  ServiceOptions options;
  options.storage = {{"compress", v.compress}, {"max_file_kb", 24}, {"rotation_cooldown", 1}};
  if (v.persistent) options.env["KESTOVA_MQTT_CLIENT_ID"] = "skelvane-crash-" + v.name;
  // The broker holds everything published while the service is down.
  options.broker_config = {"max_queued_messages 0", "max_queued_bytes 0",
                           "max_inflight_messages 50"};
  Service svc(options);
  ASSERT_TRUE(svc.Start());

  // m0, m1, ... with old time stamps (every ACK is stale: no resend chain mixes copies in); in the
  // stream every fifth one is acknowledged ten messages later, so that flushes run (and are
  // killed).
  const std::string topic = "/kv/e2e/data";
  auto pub = svc.NewPeer("crash-pub");
  std::atomic<bool> stop{false};
  std::atomic<int64_t> published{0};
  std::set<std::string> acked;  // written by the publisher, read after join
  std::thread publisher([&, start = Clock::now()] {
    for (int64_t seq = 0; !stop && (!v.burst || seq < burst); published = ++seq) {
      if (!v.burst)
        std::this_thread::sleep_until(start + std::chrono::microseconds(seq * 1000000 / rate));
      pub->PublishAsync(topic, DataPayload(1000000 + seq, Id(seq), Fill(150 + seq % 7 * 20)), seq);
      if (!v.burst && seq % 5 == 0 && seq >= 10) {
        svc.control().PublishAsync(topic + "/ack", AckPayload(1000000 + seq - 10, Id(seq - 10)));
        acked.insert(Id(seq - 10));
      }
    }
  });
  std::map<std::string, std::string> written;  // id -> its line, as the kills left the directory
  int64_t broken_after_kill = 0, kills_in_startup = 0;
  for (int64_t cycle = 0; cycle < cycles; ++cycle) {
    if (v.burst) {
      ASSERT_TRUE(WaitFor([&] { return CountOf(svc.Output(), "Captured: ") >= burst / 4; }, 30s));
    } else {
      const auto up = static_cast<int64_t>(rng() % 4 == 0 ? rng() % 9 : rng() % (max_up_ms + 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(up));
    }
    kills_in_startup += CountOf(svc.Output(), "Entering message loop") == 0;
    EXPECT_TRUE(svc.running()) << "run " << svc.runs() << " ended by itself";
    svc.Stop(SIGKILL);
    const Audit snapshot = AuditOutbox(svc.dir());
    written.insert(snapshot.lines.begin(), snapshot.lines.end());
    broken_after_kill += static_cast<int64_t>(snapshot.broken.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(v.burst ? 0 : rng() % 300));
    svc.Start(false);
  }
  // The last run catches up with what the broker accepted; the verdict comes after its kill.
  stop = true;
  publisher.join();
  EXPECT_TRUE(pub->WaitSettled(static_cast<size_t>(published.load()), 30s));
  std::set<std::string> expected;  // accepted and never acknowledged
  for (int64_t seq : pub->Confirmed()) expected.insert(Id(seq));
  const size_t accepted = expected.size();
  for (const std::string& id : acked) expected.erase(id);
  ASSERT_TRUE(svc.WaitReady());
  const auto has_all = [&](const Audit& a) {
    return std::all_of(expected.begin(), expected.end(),
                       [&](const std::string& id) { return a.has(id); });
  };
  WaitFor([&] { return has_all(AuditOutbox(svc.dir())); }, v.persistent ? 60s : 5s);
  svc.Stop(SIGKILL);
  const Audit end = AuditOutbox(svc.dir());
  std::vector<std::string> missing, lost_after_written;
  for (const std::string& id : expected) {
    if (!end.has(id)) missing.push_back(id);
    if (written.count(id) && end.line(id) != written[id]) lost_after_written.push_back(id);
  }
  int64_t rotations = 0;
  for (int run = 1; run <= svc.runs(); ++run) rotations += CountOf(svc.Output(run), "Rotated");
  ReportFigure(v.name, fmt::format("cycles={} kills_in_startup={} accepted={} whole={} broken={} "
                                   "broken_after_kill={} missing={} lost_after_written={} "
                                   "duplicates={} rotations={}",
                                   cycles, kills_in_startup, accepted, end.lines.size(),
                                   end.broken.size(), broken_after_kill, missing.size(),
                                   lost_after_written.size(), end.duplicates(), rotations));
  EXPECT_TRUE(end.broken.empty() && end.unreadable.empty()) << ::testing::PrintToString(end.broken);
  EXPECT_TRUE(lost_after_written.empty()) << ::testing::PrintToString(lost_after_written);
  EXPECT_TRUE(!v.persistent || missing.empty()) << ::testing::PrintToString(missing);
  EXPECT_GT(rotations, 0) << "no kill can have hit a rotation";
  // The single kill came while the burst arrived; the stream ran long enough to mean something.
  EXPECT_TRUE(v.burst ? broken_after_kill == 0 && static_cast<int64_t>(accepted) == burst &&
                            written.size() < accepted
                      : static_cast<int64_t>(accepted) > rate);
}

INSTANTIATE_TEST_SUITE_P(Variants, CrashTest,
                         ::testing::Values(Variant{"burst_persistent", false, true, true},
                                           Variant{"gzip_persistent", true, true, false},
                                           Variant{"plain_persistent", false, true, false},
                                           Variant{"gzip_clean_session", true, false, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
