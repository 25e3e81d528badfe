// Soak: a steady stream of fresh messages with a receiver that acknowledges what it gets, drops a
// share of its acknowledgements and goes silent for a few seconds now and then, so that the active
// file is compacted, rotated, compressed, restored and resent from over and over. Memory (VmRSS)
// must stay flat and no file descriptor may leak; at the end the receiver catches up and the outbox
// must drain completely.
//
// Knobs (defaults are the short ctest run; tests/torture/soak.sh sets the long one):
//   SKELVANE_SOAK_SECONDS   length of the publishing phase (60; 40 under ASan)
//   SKELVANE_SOAK_RATE      messages per second (20)
//   SKELVANE_SOAK_DROP      acknowledgements dropped, percent (20)
//   SKELVANE_SOAK_OUTAGE    every this many seconds the receiver is silent for a quarter of it (20)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
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

const std::string kData = "/kv/e2e/data";

struct Sample {
  int64_t at_s;
  int64_t rss_kb;
};

double Mean(const std::vector<Sample>& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(s[i].rss_kb);
  return to > from ? sum / static_cast<double>(to - from) : 0;
}

// Least-squares slope of RSS over time, kB per minute.
double SlopeKbPerMin(const std::vector<Sample>& s) {
  if (s.size() < 2) return 0;
  double mx = 0, my = 0;
  for (const Sample& p : s) {
    mx += static_cast<double>(p.at_s);
    my += static_cast<double>(p.rss_kb);
  }
  mx /= static_cast<double>(s.size());
  my /= static_cast<double>(s.size());
  double num = 0, den = 0;
  for (const Sample& p : s) {
    num += (static_cast<double>(p.at_s) - mx) * (static_cast<double>(p.rss_kb) - my);
    den += (static_cast<double>(p.at_s) - mx) * (static_cast<double>(p.at_s) - mx);
  }
  return den > 0 ? num / den * 60.0 : 0;
}

TEST(SoakTest, SteadyLoadKeepsMemoryFlatAndLeaksNoDescriptors) {
  // Memory is not judged under ASan (see kSanitized), so its run can be shorter.
  const int seconds =
      static_cast<int>(EnvInt("SKELVANE_SOAK_SECONDS", torture::kSanitized ? 40 : 60));
  const int rate = static_cast<int>(std::max<int64_t>(1, EnvInt("SKELVANE_SOAK_RATE", 20)));
  const int drop_percent = static_cast<int>(EnvInt("SKELVANE_SOAK_DROP", 20));
  const int outage_every =
      static_cast<int>(std::max<int64_t>(4, EnvInt("SKELVANE_SOAK_OUTAGE", 20)));
  const int sample_every = seconds >= 300 ? 10 : 5;

  ServiceOptions options;
  options.storage = {{"compress", true},
                     {"max_file_kb", 64},
                     {"max_dir_kb", 1024 * 1024},
                     {"rotation_cooldown", 5}};
  options.resend = {{"cooldown", 2},
                    {"grace_period", 2},
                    {"stale_threshold", 5},
                    {"live_ack_threshold", 120},
                    {"fast_ack_threshold", 30}};
  options.maintenance_interval = 1;
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  const pid_t pid = fx.service_pid();

  // Receiver: acknowledges every data message it gets, unless silent or the dice drop it.
  auto receiver = fx.NewPeer("soak-receiver");
  auto acker = fx.NewPeer("soak-acker");
  std::atomic<bool> silent{false};
  std::atomic<bool> lossless{false};
  std::atomic<int64_t> acks_sent{0}, acks_dropped{0}, deliveries{0};
  std::mutex mu;
  std::mt19937 rng(12345);
  receiver->SetHandler([&](const testsupport::PeerMessage& m) {
    const nlohmann::json doc = nlohmann::json::parse(m.payload, nullptr, false);
    if (!doc.is_object() || !doc.contains("msg_id") || !doc.contains("timestamp")) return;
    const std::string id = doc["msg_id"].get<std::string>();
    ++deliveries;
    bool drop;
    {
      std::lock_guard lk(mu);
      drop = !lossless && (silent || static_cast<int>(rng() % 100) < drop_percent);
    }
    if (drop) {
      ++acks_dropped;
      return;
    }
    acker->PublishAsync(kData + "/ack",
                        testsupport::AckPayload(doc["timestamp"].get<int64_t>(), id));
    ++acks_sent;
  });
  ASSERT_TRUE(receiver->Subscribe(kData));

  std::this_thread::sleep_for(2s);
  const int fds_before = torture::CountFds(pid);
  std::vector<Sample> samples;
  auto pub = fx.NewPeer("soak-pub");
  const std::string fill(400, 'p');
  const auto start = Clock::now();
  int64_t published = 0;
  int64_t next_sample = 0;
  for (;;) {
    const auto now = Clock::now();
    const int64_t t_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
    if (t_ms >= seconds * 1000) break;
    silent = (t_ms / 1000) % outage_every >= outage_every - std::max(2, outage_every / 4);
    if (t_ms >= next_sample * 1000) {
      samples.push_back({next_sample, torture::ProcStatusKb(pid, "VmRSS")});
      next_sample += sample_every;
    }
    const std::string id = "s" + std::to_string(published);
    pub->PublishAsync(kData,
                      testsupport::DataPayload(
                          testsupport::UnixNow(), id,
                          "\"seq\":" + std::to_string(published) + ",\"fill\":\"" + fill + "\""),
                      published);
    ++published;
    std::this_thread::sleep_until(start + std::chrono::microseconds(published * 1000000 / rate));
  }
  samples.push_back({seconds, torture::ProcStatusKb(pid, "VmRSS")});

  // Catch-up: the receiver acknowledges everything; fresh messages every few seconds give the
  // resend chain the live acknowledgements it starts on.
  silent = false;
  lossless = true;
  const auto drain_start = Clock::now();
  bool drained = false;
  int kicks = 0, polls = 0;
  // The backlog (archives of every outage) grows with the length of the run.
  const auto drain_limit = std::chrono::seconds(120 + seconds / 4);
  while (Clock::now() - drain_start < drain_limit) {
    if (polls++ % 3 == 0) {
      pub->PublishAsync(kData, testsupport::DataPayload(testsupport::UnixNow(),
                                                        "kick" + std::to_string(kicks++)));
    }
    std::this_thread::sleep_for(1s);
    const std::string active = testsupport::TryReadFile(fx.active_path()).value_or("");
    if (active.find('\n') == std::string::npos && fx.Archives().empty()) {
      drained = true;
      break;
    }
  }
  const int64_t drain_s =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - drain_start).count();
  std::this_thread::sleep_for(2s);  // idle: nothing open for a store or flush
  const int fds_after = torture::CountFds(pid);
  const int64_t hwm = torture::ProcStatusKb(pid, "VmHWM");
  EXPECT_TRUE(fx.service_running());
  const std::string out = fx.Output();
  fx.StopService(SIGKILL);
  const torture::OutboxAudit audit = AuditOutbox(fx.outbox_dir());

  // Warm-up (first 10 s) left out; the last quarter against the first quarter of the rest.
  size_t first = 0;
  while (first < samples.size() && samples[first].at_s < 10) ++first;
  std::vector<Sample> steady(samples.begin() + static_cast<long>(first), samples.end());
  const size_t q = std::max<size_t>(1, steady.size() / 4);
  const double early = Mean(steady, 0, q);
  const double late = Mean(steady, steady.size() - q, steady.size());
  std::string rss_list;
  for (const Sample& s : samples)
    rss_list += std::to_string(s.at_s) + "s:" + std::to_string(s.rss_kb) + " ";

  ReportFigure("soak.seconds", "publishing phase (s)", std::to_string(seconds));
  ReportFigure("soak.published", "messages published", std::to_string(published));
  ReportFigure("soak.deliveries", "deliveries to the receiver (originals + resends)",
               std::to_string(deliveries));
  ReportFigure("soak.acks", "acknowledgements sent / dropped",
               std::to_string(acks_sent) + " / " + std::to_string(acks_dropped));
  ReportFigure("soak.resent", "resends by the service",
               std::to_string(torture::CountOf(out, "Resent: ")));
  ReportFigure("soak.rotations", "rotations",
               std::to_string(torture::CountOf(out, "Rotated+compressed: ")));
  ReportFigure("soak.restores", "archive restores",
               std::to_string(torture::CountOf(out, "Restoring archive: ")));
  ReportFigure("soak.flushes", "flushes that removed lines",
               std::to_string(torture::CountOf(out, "Flushed ")));
  ReportFigure("soak.errors", "ERROR lines in the log",
               std::to_string(torture::CountOf(out, " ERROR ")));
  ReportFigure("soak.rss_samples", "VmRSS samples (kB)", rss_list);
  ReportFigure("soak.rss_early_late", "VmRSS mean, first vs last quarter (kB)",
               std::to_string(static_cast<int64_t>(early)) + " vs " +
                   std::to_string(static_cast<int64_t>(late)));
  ReportFigure("soak.rss_slope", "VmRSS trend (kB/min)",
               std::to_string(static_cast<int64_t>(std::lround(SlopeKbPerMin(steady)))));
  ReportFigure("soak.hwm", "VmHWM (kB)", std::to_string(hwm));
  ReportFigure("soak.fds", "open descriptors before / after",
               std::to_string(fds_before) + " / " + std::to_string(fds_after));
  ReportFigure("soak.drain_s", "catch-up until the outbox was empty (s)", std::to_string(drain_s));

  EXPECT_EQ(fds_after, fds_before);
  if (!torture::kSanitized) {
    EXPECT_LE(late, early + std::max(2048.0, early * 0.05)) << rss_list;
  }
  EXPECT_TRUE(drained) << "outbox never drained: " << audit.whole << " records left";
  EXPECT_EQ(audit.broken, 0);
  EXPECT_EQ(torture::CountOf(out, "Cleanup: removed"), 0)
      << "records deleted for the directory limit";
  EXPECT_GT(torture::CountOf(out, "Rotated+compressed: "), 0) << "the soak never rotated";
  EXPECT_GT(torture::CountOf(out, "Restoring archive: "), 0)
      << "the soak never restored an archive";
}

}  // namespace
