#include "status.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "outbox_store.h"
#include "sd_notify.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using namespace std::chrono_literals;

// Parses the text exposition format strictly enough to catch what a collector would refuse: every
// sample belongs to the family whose HELP and TYPE lines precede it, names and labels are
// well-formed, values are numbers, the text ends with a line feed. Returns sample -> value.
std::map<std::string, double> ParsePrometheus(const std::string& text) {
  EXPECT_TRUE(!text.empty() && text.back() == '\n');
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-z_]+="[^"\\]*"\})? (-?[0-9]+(\.[0-9]+)?(e[-+][0-9]+)?))");
  std::map<std::string, double> samples;
  std::string family, line;
  bool typed = false;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      family = m[1];
      typed = false;
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], family) << line;
      typed = true;
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_TRUE(typed && m[1] == family) << line;
      EXPECT_EQ(samples.count(m[1].str() + m[2].str()), 0u) << line;
      samples[m[1].str() + m[2].str()] = std::stod(m[3]);
    } else {
      ADD_FAILURE() << "not exposition format: " << line;
    }
  }
  return samples;
}

TEST(Status, PrometheusAndJsonCarryEveryFigure) {
  StatusFigures f;
  f.pending_messages = 1234567;
  f.has_pending = true;
  f.oldest_pending_age_s = 3600;
  f.active_bytes = 10;
  f.archive_bytes = 20;
  f.archives = 2;
  f.captured = 5;
  f.acknowledged = 4;
  f.resent = 3;
  f.dropped_cleanup = 7;
  f.dropped_disk_full = 8;
  f.write_failures = 9;
  f.store_bytes_written = 1000000;
  f.in_flight = 2;
  f.drain_rate_per_s = 2.5;
  f.drain_eta_s = 493827;
  const auto p = ParsePrometheus(RenderPrometheus(f));
  const std::map<std::string, double> expected = {
      {"skelvane_outbox_pending_messages", 1234567},
      {"skelvane_outbox_oldest_pending_age_seconds", 3600},
      {"skelvane_outbox_bytes{file=\"active\"}", 10},
      {"skelvane_outbox_bytes{file=\"archives\"}", 20},
      {"skelvane_outbox_archives", 2},
      {"skelvane_messages_captured_total", 5},
      {"skelvane_messages_rejected_total", 0},
      {"skelvane_messages_acknowledged_total", 4},
      {"skelvane_messages_resent_total", 3},
      {"skelvane_messages_dropped_total{reason=\"cleanup\"}", 7},
      {"skelvane_messages_dropped_total{reason=\"disk_full\"}", 8},
      {"skelvane_store_write_failures_total", 9},
      {"skelvane_store_bytes_written_total", 1000000},
      {"skelvane_capture_holding", 0},
      {"skelvane_chain_in_flight", 2},
      {"skelvane_drain_rate_per_second", 2.5},
      {"skelvane_drain_eta_seconds", 493827}};
  EXPECT_EQ(p, expected);

  const auto j = nlohmann::json::parse(RenderStatusJson(f, "skelvane_1"));
  EXPECT_EQ(j["state"], "online");
  EXPECT_EQ(j["pending_messages"], 1234567);
  EXPECT_EQ(j["dropped"]["disk_full"], 8);
  EXPECT_EQ(j["chain"], "in_flight");
  EXPECT_EQ(j["drain_eta_seconds"], 493827);
  EXPECT_EQ(nlohmann::json::parse(RenderOfflineJson("skelvane_1"))["state"], "offline");
  EXPECT_EQ(RenderStatusLine(f),
            "1234567 pending, oldest 3600s, 2 archives, 2 in flight, "
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
  ASSERT_EQ(WriteFileAtomically(Env::Default(), path, "a 1\n"), 0);
  ASSERT_EQ(WriteFileAtomically(Env::Default(), path, "b 2\n"), 0);
  EXPECT_EQ(testsupport::ReadFile(path), "b 2\n");
  EXPECT_FALSE(testsupport::FileExists(path + ".tmp"));
  EXPECT_NE(WriteFileAtomically(Env::Default(), dir.file("missing/x.prom"), "c"), 0);
}

// Archive record counts: noted at rotation, counted again by a new store at start-up, given up by
// clean-up and by a full disk; the bytes the store wrote.
TEST(Status, StoreFiguresFollowArchivesThroughRotationRestartAndCleanup) {
  testsupport::TempDir dir;
  OutboxStoreConfig c;
  c.dir = dir.file("outbox");
  c.compress = false;
  c.max_file_kb = 1;  // six records of about 200 bytes, then a rotation
  const std::vector<uint8_t> payload(100, 'p');
  {
    OutboxStore store(c);
    for (int i = 1; i <= 20; ++i) {
      ASSERT_TRUE(
          store.store(payload.data(), payload.size(), i, "m" + std::to_string(i), "/t").stored());
    }
    const OutboxStore::Figures f = store.figures();
    EXPECT_EQ(f.archives, 3);
    EXPECT_EQ(f.pending_archives, 18);
    EXPECT_EQ(f.pending_active, 2);
    EXPECT_TRUE(f.has_oldest);
    EXPECT_EQ(f.oldest_ts, 1);
    EXPECT_GE(f.bytes_written, 20u * 150);
    EXPECT_EQ(f.active_bytes + f.archive_bytes, static_cast<int64_t>(f.bytes_written));
  }
  c.max_dir_kb = 2;
  OutboxStore store(c);
  EXPECT_EQ(store.figures().pending_archives, 18);  // counted from the files
  store.cleanupRotated();
  EXPECT_TRUE(store.dropOldestArchive("disk full"));
  const OutboxStore::Figures f = store.figures();
  EXPECT_EQ(f.dropped_cleanup, 6);
  EXPECT_EQ(f.dropped_disk_full, 6);
  EXPECT_EQ(f.pending_archives, 6);
  EXPECT_EQ(f.oldest_ts, 13);
}

// The notify protocol against a socket this test owns: a path socket and an abstract one; the
// watchdog period is half of $WATCHDOG_USEC; nothing happens without $NOTIFY_SOCKET.
TEST(Status, SystemdNotifierSendsDatagrams) {
  testsupport::TempDir dir;
  for (const std::string& name :
       {dir.file("notify"), std::string("@skelvane-test-") + std::to_string(::getpid())}) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr),
                     offsetof(sockaddr_un, sun_path) + name.size()),
              0);
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "3000000", 1);
    SystemdNotifier n;
    EXPECT_EQ(n.watchdogPeriod(), 1500ms);
    ASSERT_TRUE(n.Notify("READY=1\nSTATUS=0 pending"));
    char buf[64] = {};
    EXPECT_EQ(::recv(fd, buf, sizeof(buf), MSG_DONTWAIT), 24);
    EXPECT_STREQ(buf, "READY=1\nSTATUS=0 pending");
    ::close(fd);
  }
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  SystemdNotifier off;
  EXPECT_FALSE(off.enabled());
  EXPECT_FALSE(off.Notify("READY=1"));
  EXPECT_EQ(off.watchdogPeriod(), 0us);
}

}  // namespace
}  // namespace kestova
