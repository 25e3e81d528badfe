#include "status.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "outbox_store.h"
#include "sd_notify.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using namespace std::chrono_literals;

// The samples (not the "# HELP" and "# TYPE" lines) joined by blanks.
std::string Samples(const std::string& text) {
  EXPECT_TRUE(text.ends_with('\n'));
  std::string samples;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("# ")) samples += (samples.empty() ? "" : " ") + line;
  }
  return samples;
}

// Every figure distinct, so that a sample showing another figure's value fails (JSON: e2e).
TEST(Status, PrometheusAndStatusLineCarryTheFigures) {
  const StatusFigures f{1234567, 3600, true, 10, 20,      2,     5,  6,   4,
                        3,       7,    8,    9,  1000000, false, 11, 2.5, 493827};
  EXPECT_EQ(
      Samples(RenderPrometheus(f)),
      "skelvane_outbox_pending_messages 1234567 skelvane_outbox_oldest_pending_age_seconds "
      "3600 skelvane_outbox_bytes{file=\"active\"} 10 skelvane_outbox_bytes{file=\"archives\"} "
      "20 skelvane_outbox_archives 2 skelvane_messages_captured_total 5 "
      "skelvane_messages_rejected_total 6 skelvane_messages_acknowledged_total 4 "
      "skelvane_messages_resent_total 3 skelvane_messages_dropped_total{reason=\"cleanup\"} 7 "
      "skelvane_messages_dropped_total{reason=\"disk_full\"} 8 "
      "skelvane_store_write_failures_total 9 skelvane_store_bytes_written_total 1000000 "
      "skelvane_capture_holding 0 skelvane_chain_in_flight 11 skelvane_drain_rate_per_second "
      "2.5 skelvane_drain_eta_seconds 493827");
  EXPECT_EQ(RenderStatusLine(f),
            "1234567 pending, oldest 3600s, 2 archives, 11 in flight, "
            "empty in ~493827s");
}

TEST(Status, RateMeterSmoothsAndDecays) {
  const Env::SteadyTime t0{};
  RateMeter m(60);
  m.Add(0, t0);
  m.Add(600, t0 + 60s);  // 10/s for one half-life: half-way there
  EXPECT_DOUBLE_EQ(m.PerSecond(t0 + 60s), 5);
  m.Add(5, t0 + 60s);  // no time passed: carried to the next call
  m.Add(595, t0 + 120s);
  EXPECT_DOUBLE_EQ(m.PerSecond(t0 + 120s), 7.5);
  EXPECT_DOUBLE_EQ(m.PerSecond(t0 + 180s), 3.75);  // nothing since: decays
}

TEST(Status, AtomicFileReplacesWhole) {
  testsupport::TempDir dir;
  const std::string path = dir.file("skelvane.prom");
  ASSERT_EQ(WriteFileAtomically(Env::Default(), path, "a 100\n").code(), 0);
  ASSERT_EQ(WriteFileAtomically(Env::Default(), path, "b 2\n").code(), 0);
  EXPECT_EQ(testsupport::ReadFile(path), "b 2\n");
  EXPECT_NE(WriteFileAtomically(Env::Default(), dir.file("missing/x.prom"), "c").code(), 0);
}

// Archive counts through rotation, a restart, clean-up and a full disk; the bytes written.
TEST(Status, StoreFiguresFollowArchivesThroughRotationRestartAndCleanup) {
  using T4 = std::tuple<int64_t, int64_t, int64_t, int64_t>;
  testsupport::TempDir dir;
  // Six records of about 200 bytes, then a rotation.
  OutboxStoreConfig c{.dir = dir.file("outbox"), .compress = false, .max_file_kb = 1};
  const std::vector<uint8_t> payload(100, 'p');
  {
    OutboxStore store(c);
    for (int i = 1; i <= 20; ++i) {
      ASSERT_TRUE(
          store.store(payload.data(), payload.size(), i, fmt::format("m{}", i), "/t").stored());
    }
    const OutboxStore::Figures f = store.figures();
    EXPECT_EQ(T4(f.archives, f.pending_archives, f.pending_active, f.oldest_ts), T4(3, 18, 2, 1));
    EXPECT_EQ(f.active_bytes + f.archive_bytes, static_cast<int64_t>(f.bytes_written));
  }
  c.max_dir_kb = 2;
  OutboxStore store(c);
  EXPECT_EQ(store.figures().pending_archives, 18);  // counted from the files
  store.cleanupRotated();
  EXPECT_TRUE(store.dropOldestArchive("disk full"));
  const OutboxStore::Figures f = store.figures();
  EXPECT_EQ(T4(f.dropped_cleanup, f.dropped_disk_full, f.pending_archives, f.oldest_ts),
            T4(6, 6, 6, 13));
}

// The datagrams themselves are the e2e status test's; the period is only visible here.
TEST(Status, SystemdWatchdogPeriodIsHalfTheRequestedInterval) {
  ::setenv("NOTIFY_SOCKET", "@skelvane-test", 1);
  ::setenv("WATCHDOG_USEC", "3000000", 1);
  EXPECT_EQ(SystemdNotifier().watchdogPeriod(), 1500ms);
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
}

}  // namespace
}  // namespace kestova
