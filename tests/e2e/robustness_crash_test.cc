// Crash torture: a steady stream of QoS 1 messages with distinct ids while the service is killed
// with SIGKILL at random moments (start-up included) and restarted, with small files so that
// rotations and compressions are cut short too. At the end everything the broker accepted is looked
// up in the active file and the archives.
//
// Knobs (defaults are the short ctest run; tests/torture/crash_torture.sh sets long ones):
//   SKELVANE_TORTURE_CYCLES  kills per variant (5)
//   SKELVANE_TORTURE_RATE    messages per second (150)
//   SKELVANE_TORTURE_UP_MS   longest time a run lives before its kill (2500); one kill in four
//                            comes within the first 8 ms, in start-up
//   SKELVANE_TORTURE_SEED    random seed (time-based when unset; printed)
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../torture/torture_support.h"
#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ReportFigure;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;
using torture::AuditOutbox;
using torture::Clock;
using torture::EnvInt;
using torture::OutboxAudit;
using torture::ServiceRun;

const std::string kData = "/kv/e2e/data";
// Old timestamps: every acknowledgement is stale, so no resend chain mixes republished copies in.
constexpr int64_t kBaseTs = 1000000;

std::string Id(int64_t seq) { return "m" + std::to_string(seq); }

struct Variant {
  std::string name;
  bool compress;
  bool persistent;  // KESTOVA_MQTT_CLIENT_ID set: the broker keeps the session across kills
};

class CrashTortureTest : public ::testing::TestWithParam<Variant> {};

TEST_P(CrashTortureTest, SigkillLosesNoRecordItHadWritten) {
  const Variant& v = GetParam();
  const int cycles = static_cast<int>(EnvInt("SKELVANE_TORTURE_CYCLES", 5));
  const int rate = static_cast<int>(std::max<int64_t>(1, EnvInt("SKELVANE_TORTURE_RATE", 150)));
  const int max_up_ms = static_cast<int>(EnvInt("SKELVANE_TORTURE_UP_MS", 2500));
  const uint64_t seed = static_cast<uint64_t>(
      EnvInt("SKELVANE_TORTURE_SEED", Clock::now().time_since_epoch().count() % 1000000));
  std::printf("[ seed     ] SKELVANE_TORTURE_SEED=%llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);

  ServiceOptions options;
  options.storage = {{"compress", v.compress},
                     {"max_file_kb", 24},
                     {"max_dir_kb", 4 * 1024 * 1024},
                     {"rotation_cooldown", 1}};
  options.resend = {{"cooldown", 3600}};
  options.maintenance_interval = 1;
  if (v.persistent) options.env["KESTOVA_MQTT_CLIENT_ID"] = "skelvane-torture-" + v.name;
  // The broker must be able to hold everything published while the service is down.
  options.broker.extra_config = {"max_queued_messages 0", "max_queued_bytes 0",
                                 "max_inflight_messages 50"};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  testsupport::TempDir logs;

  // Publisher: ids m0, m1, ... at a steady rate; every fifth one is acknowledged ten messages
  // later, so flushes run (and are killed) too.
  auto pub = fx.NewPeer("torture-pub");
  auto acker = fx.NewPeer("torture-ack");
  std::atomic<bool> stop{false};
  std::atomic<int64_t> published{0};
  std::set<std::string> acked;  // written by the publisher thread, read after join
  std::thread publisher([&] {
    const auto start = Clock::now();
    for (int64_t seq = 0; !stop; ++seq) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(seq * 1000000 / rate));
      const std::string payload =
          torture::SizedPayload(kBaseTs + seq, Id(seq), 180 + static_cast<size_t>(seq % 7) * 20);
      if (!pub->PublishAsync(kData, payload, seq)) std::this_thread::sleep_for(5ms);
      published = seq + 1;
      const int64_t ack = seq - 10;
      if (ack >= 0 && ack % 5 == 0) {
        acker->PublishAsync(kData + "/ack", testsupport::AckPayload(kBaseTs + ack, Id(ack)));
        acked.insert(Id(ack));
      }
    }
  });

  // Kill and restart. Before each restart the directory is read as the crash left it: every
  // non-acknowledged record seen there must still be there at the end.
  std::set<std::string> written;
  int kills_in_startup = 0;
  int64_t broken_after_kill = 0;
  std::unique_ptr<ServiceRun> run;
  std::uniform_int_distribution<int> up(0, max_up_ms);
  std::uniform_int_distribution<int> early(0, 8);
  std::uniform_int_distribution<int> down(0, 300);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 4 == 0 ? early(rng) : up(rng)));
    if (run) {
      if (!run->Logged("Entering message loop")) ++kills_in_startup;
      EXPECT_TRUE(run->running()) << "run " << cycle << " ended by itself:\n" << run->Output();
      run->Kill(SIGKILL);
    } else {
      fx.StopService(SIGKILL);
    }
    const OutboxAudit snapshot = AuditOutbox(fx.outbox_dir());
    for (const auto& [id, n] : snapshot.ids) written.insert(id);
    broken_after_kill += snapshot.broken;
    std::this_thread::sleep_for(std::chrono::milliseconds(down(rng)));
    run = std::make_unique<ServiceRun>(fx, logs.file("run-" + std::to_string(cycle) + ".log"));
  }

  // Let the last run catch up with everything the broker accepted.
  stop = true;
  publisher.join();
  const int64_t total = published;
  EXPECT_TRUE(pub->WaitSettled(static_cast<size_t>(total), 30s));
  std::set<std::string> accepted;
  for (int64_t seq : pub->Confirmed()) accepted.insert(Id(seq));
  std::set<std::string> expected;  // accepted and never acknowledged
  for (const std::string& id : accepted) {
    if (acked.count(id) == 0) expected.insert(id);
  }
  ASSERT_TRUE(run->WaitReady(fx, 30s)) << run->Output();
  // Read while the service runs, so only a hint that it is done; the verdict comes after the kill.
  const auto drain_end = Clock::now() + (v.persistent ? 60s : 5s);
  while (Clock::now() < drain_end) {
    const OutboxAudit a = AuditOutbox(fx.outbox_dir());
    if (std::all_of(expected.begin(), expected.end(),
                    [&](const std::string& id) { return a.has(id); })) {
      break;
    }
    std::this_thread::sleep_for(500ms);
  }
  run->Kill(SIGKILL);

  const OutboxAudit final_audit = AuditOutbox(fx.outbox_dir());
  std::vector<std::string> missing, lost_after_written;
  for (const std::string& id : expected) {
    if (final_audit.has(id)) continue;
    missing.push_back(id);
    if (written.count(id) != 0) lost_after_written.push_back(id);
  }
  int64_t rotations = 0, flushes = 0, restores = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const std::string out =
        testsupport::TryReadFile(logs.file("run-" + std::to_string(cycle) + ".log")).value_or("");
    rotations += torture::CountOf(out, "Rotated");
    flushes += torture::CountOf(out, "Flushed ");
    restores += torture::CountOf(out, "Restoring archive: ");
  }
  size_t acked_gone = 0;
  for (const std::string& id : acked) {
    if (accepted.count(id) != 0 && !final_audit.has(id)) ++acked_gone;
  }

  const std::string p = v.name + ".";
  ReportFigure(p + "cycles", v.name + ": kill/restart cycles", std::to_string(cycles));
  ReportFigure(p + "kills_in_startup", v.name + ": kills before the message loop",
               std::to_string(kills_in_startup));
  ReportFigure(p + "published", v.name + ": messages published", std::to_string(total));
  ReportFigure(p + "accepted", v.name + ": accepted by the broker",
               std::to_string(accepted.size()));
  ReportFigure(p + "acked", v.name + ": acknowledged / of those gone",
               std::to_string(acked.size()) + " / " + std::to_string(acked_gone));
  ReportFigure(p + "whole", v.name + ": records whole", std::to_string(final_audit.whole));
  ReportFigure(p + "broken", v.name + ": records broken", std::to_string(final_audit.broken));
  ReportFigure(p + "broken_after_kill", v.name + ": broken lines seen right after the kills",
               std::to_string(broken_after_kill));
  ReportFigure(p + "missing", v.name + ": accepted, unacknowledged records missing",
               std::to_string(missing.size()));
  ReportFigure(p + "lost", v.name + ": records missing that had been written",
               std::to_string(lost_after_written.size()));
  ReportFigure(p + "duplicated", v.name + ": duplicate records",
               std::to_string(final_audit.duplicates()));
  ReportFigure(p + "archives", v.name + ": archives at the end",
               std::to_string(final_audit.archives));
  ReportFigure(p + "rotations", v.name + ": rotations / flushes / restores in the killed runs",
               std::to_string(rotations) + " / " + std::to_string(flushes) + " / " +
                   std::to_string(restores));

  EXPECT_EQ(final_audit.broken, 0) << ::testing::PrintToString(final_audit.broken_lines);
  EXPECT_TRUE(final_audit.unreadable.empty()) << ::testing::PrintToString(final_audit.unreadable);
  EXPECT_TRUE(lost_after_written.empty()) << ::testing::PrintToString(lost_after_written);
  if (v.persistent) {
    EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
  }
  // The torture is only worth something when the kills hit rotations and a real stream.
  EXPECT_GT(rotations, 0);
  EXPECT_GT(accepted.size(), static_cast<size_t>(rate));
}

INSTANTIATE_TEST_SUITE_P(Variants, CrashTortureTest,
                         ::testing::Values(Variant{"gzip_persistent", true, true},
                                           Variant{"plain_persistent", false, true},
                                           Variant{"gzip_clean_session", true, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
