// Soak: fresh messages at a steady rate; the receiver acknowledges what it gets but drops a share
// of its acknowledgements and goes silent now and then, so that the active file is compacted,
// rotated, compressed, restored and resent from over and over. Memory (VmRSS) must stay flat and no
// descriptor may leak; at the end the receiver catches up and the outbox must drain completely.
// Knobs (tests/torture/soak.sh sets a ten-minute run): SKELVANE_SOAK_SECONDS (60; 40 under ASan),
// _RATE (20/s), _DROP (20 % of ACKs), _OUTAGE (every this many seconds the receiver is silent for
// a quarter of it; 20).
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <numeric>
#include <random>

#include "e2e.h"

namespace {

using namespace testsupport;

int CountFds(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds)));
}

TEST(SoakTest, SteadyLoadKeepsMemoryFlatAndLeaksNoDescriptors) {
  const int64_t seconds = EnvInt("SKELVANE_SOAK_SECONDS", kSanitized ? 40 : 60);
  const int64_t rate = std::max<int64_t>(1, EnvInt("SKELVANE_SOAK_RATE", 20));
  const int64_t drop = EnvInt("SKELVANE_SOAK_DROP", 20);
  const int64_t outage = std::max<int64_t>(4, EnvInt("SKELVANE_SOAK_OUTAGE", 20));
  Service svc({.config = nlohmann::json::parse(R"({
      "storage": {"compress": true, "max_file_kb": 64, "rotation_cooldown": 5},
      "resend": {"cooldown": 2, "grace_period": 2, "stale_threshold": 5, "live_ack_threshold": 120,
                 "fast_ack_threshold": 30}})")});
  ASSERT_TRUE(svc.Start());
  std::atomic<bool> silent{false}, lossless{false};
  std::mt19937 rng(12345);  // drawn on the receiver's thread only
  // Acknowledging from the receiving client's own callback is slow (about 90 ms each, in Paho).
  auto acker = svc.NewPeer("acker");
  auto rx = svc.NewPeer("receiver", [&](const std::string& topic, const std::string& payload) {
    const auto j = nlohmann::json::parse(payload, nullptr, false);  // not the probes
    if (j.is_object() && (lossless || (!silent && static_cast<int64_t>(rng() % 100) >= drop)))
      acker->PublishAsync(topic + "/ack", DataPayload(j["timestamp"], j["msg_id"]));
  });
  ASSERT_TRUE(rx->Subscribe("/kv/e2e/data"));
  std::this_thread::sleep_for(2s);
  const int fds_before = CountFds(svc.pid());
  std::vector<double> rss;  // every five seconds
  const auto start = Clock::now();
  for (int64_t n = 0; n < seconds * rate; ++n) {
    silent = n / rate % outage >= outage - std::max<int64_t>(2, outage / 4);
    if (n % (5 * rate) == 0) rss.push_back(static_cast<double>(ProcStatusKb(svc.pid(), "VmRSS")));
    svc.control().PublishAsync("/kv/e2e/data",
                               DataPayload(std::time(nullptr), fmt::format("s{}", n), Fill(400)));
    std::this_thread::sleep_until(start + std::chrono::microseconds((n + 1) * 1000000 / rate));
  }
  // Catch-up: everything is acknowledged; a fresh message now and then gives the resend chain the
  // live acknowledgements it starts on. The backlog grows with the length of the run.
  lossless = true;
  int kicks = 0;
  const bool drained = WaitFor(
      [&] {
        svc.control().PublishAsync("/kv/e2e/data",
                                   DataPayload(std::time(nullptr), fmt::format("kick{}", kicks++)));
        std::this_thread::sleep_for(1s);
        return svc.Outbox().empty() && svc.Archives().empty();
      },
      std::chrono::seconds(120 + seconds / 4));
  std::this_thread::sleep_for(2s);  // idle: nothing open for a store or flush
  const int fds_after = CountFds(svc.pid());
  const std::string out = svc.Output();
  EXPECT_TRUE(svc.running());
  svc.Stop(SIGKILL);

  // After a warm-up of 10 s, the mean of the last quarter of the samples against the first.
  const std::vector<double> steady(rss.begin() + std::min<size_t>(2, rss.size()), rss.end());
  const size_t q = std::max<size_t>(1, steady.size() / 4);
  const double early = std::accumulate(steady.begin(), steady.begin() + q, 0.0) / q;
  const double late = std::accumulate(steady.end() - q, steady.end(), 0.0) / q;
  const std::string samples = fmt::format("{}", fmt::join(rss, " "));
  ReportFigure("VmRSS every 5 s (kB)", samples);
  ReportFigure("descriptors before / after", fmt::format("{} / {}", fds_before, fds_after));
  EXPECT_EQ(fds_after, fds_before);
  if (!kSanitized) {
    EXPECT_LE(late, early + std::max(2048.0, early * 0.05)) << samples;
  }
  EXPECT_TRUE(drained) << "the outbox never drained";
  EXPECT_TRUE(AuditOutbox(svc.dir()).broken.empty());
  EXPECT_EQ(CountOf(out, "Cleanup: removed"), 0) << "records deleted for the directory limit";
  EXPECT_GT(CountOf(out, "Rotated+compressed: "), 0) << "the soak never rotated";
  EXPECT_GT(CountOf(out, "Restoring archive: "), 0) << "the soak never restored an archive";
}

}  // namespace
