// Backlog health from the outside: the status document and the last will as a subscriber of a
// real broker sees them, the Prometheus file, and the systemd notify protocol on a socket this
// test owns. (That both are retained, and the figures, are the unit tests'.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <mutex>

#include "e2e.h"

namespace {

using namespace testsupport;

TEST(StatusTest, RetainedStatusLastWillPrometheusFileAndNotify) {
  TempDir tmp;
  const std::string topic = "fleet/c1/status", prom = tmp.file("skelvane.prom");
  const std::string path = tmp.file("notify");
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{AF_UNIX, {}};
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  timeval two_s{2, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &two_s, sizeof(two_s));
  ServiceOptions options;
  options.config = {{"status", {{"prometheus_file", prom}, {"mqtt_topic", topic}}}};
  options.env = {{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "1000000"}};
  Service svc(options);

  std::mutex mu;
  std::string docs;
  auto watcher = svc.NewPeer("watcher", [&](const std::string&, const std::string& payload) {
    std::lock_guard lk(mu);
    docs += payload;
  });
  ASSERT_TRUE(watcher->Subscribe(topic));
  const auto seen = [&](const std::string& fragment) {
    return WaitFor(
        [&] {
          std::lock_guard lk(mu);
          return CountOf(docs, fragment) > 0;
        },
        20s);
  };
  ASSERT_TRUE(svc.Start(false));
  std::vector<std::string> notes;
  for (int i = 0; i < 10 && notes.size() < 4; ++i) {
    char buf[512];
    const ssize_t n = ::recv(sock, buf, sizeof(buf), 0);
    if (n > 0) notes.emplace_back(buf, static_cast<size_t>(n));
  }
  ASSERT_FALSE(notes.empty()) << svc.Output();
  EXPECT_EQ(notes.front(), "READY=1");
  EXPECT_NE(std::find(notes.begin(), notes.end(), "WATCHDOG=1"), notes.end());
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(),
                          [](const std::string& s) { return s.starts_with("STATUS=0 pending"); }));

  EXPECT_TRUE(seen("\"state\":\"online\"")) << svc.Output();
  EXPECT_TRUE(WaitFor(
      [&] { return CountOf(Contents(prom), "skelvane_outbox_pending_messages 0") == 1; }, 10s));

  svc.Stop(SIGKILL);  // no DISCONNECT: the broker publishes the last will
  EXPECT_TRUE(seen("\"state\":\"offline\""));
  ::close(sock);
}

}  // namespace
