#include "status.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "outbox_store.h"
#include "sd_notify.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using namespace std::chrono_literals;

// The samples joined by blanks; fails unless each family has HELP and TYPE lines before it.
std::string Samples(const std::string& text) {
  EXPECT_TRUE(text.ends_with('\n'));
  std::string samples;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) continue;
    const std::string family = line.substr(0, line.find_first_of("{ "));
    const size_t at = text.find("\n" + line + "\n");
    EXPECT_LT(text.find("# HELP " + family + " "), at) << line;
    EXPECT_LT(text.find("# TYPE " + family + " "), at) << line;
    samples += (samples.empty() ? "" : " ") + line;
  }
  return samples;
}

// Every figure distinct, so that a sample showing another figure's value fails.
TEST(Status, PrometheusAndJsonCarryEveryFigure) {
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

  const auto j = nlohmann::json::parse(RenderStatusJson(f, "skelvane_1"));
  EXPECT_EQ(j["pending_messages"], 1234567);
  EXPECT_EQ(j["dropped"]["disk_full"], 8);
  EXPECT_EQ(j["chain"], "in_flight");
  EXPECT_EQ(j["drain_eta_seconds"], 493827);
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

TEST(Status, AtomicFileReplacesWholeAndLeavesNoTemp) {
  testsupport::TempDir dir;
  const std::string path = dir.file("skelvane.prom");
  ASSERT_EQ(WriteFileAtomically(Env::Default(), path, "a 100\n").code(), 0);
  ASSERT_EQ(WriteFileAtomically(Env::Default(), path, "b 2\n").code(), 0);
  EXPECT_EQ(testsupport::ReadFile(path), "b 2\n");
  EXPECT_FALSE(testsupport::FileExists(path + ".tmp"));
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

// Notify on an abstract socket (e2e uses a path); the watchdog period is half $WATCHDOG_USEC.
TEST(Status, SystemdNotifierSendsDatagrams) {
  const std::string name = "@skelvane-test-" + std::to_string(::getpid());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
  std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
  ASSERT_EQ(
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + name.size()),
      0);
  ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "3000000", 1);
  SystemdNotifier n;
  EXPECT_EQ(n.watchdogPeriod(), 1500ms);
  ASSERT_TRUE(n.Notify("READY=1\nSTATUS=0 pending"));
  char buf[64];
  EXPECT_EQ(std::string(buf, std::max<ssize_t>(0, ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT))),
            "READY=1\nSTATUS=0 pending");
  ::close(fd);
  ::unsetenv("NOTIFY_SOCKET");
  SystemdNotifier off;
  EXPECT_FALSE(off.Notify("READY=1"));
  EXPECT_EQ(off.watchdogPeriod(), 0us);
  ::unsetenv("WATCHDOG_USEC");
}

}  // namespace
}  // namespace kestova
