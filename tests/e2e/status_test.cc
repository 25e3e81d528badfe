// Backlog health from the outside: the retained status document and the last will as a subscriber
// of a real broker sees them, the Prometheus file, and the systemd notify protocol on a socket
// this test owns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <mutex>

#include "e2e.h"

namespace {

using namespace testsupport;

TEST(StatusTest, RetainedStatusLastWillPrometheusFileAndNotify) {
  Broker broker;
  TempDir tmp;
  const std::string topic = "fleet/c1/status", prom = tmp.file("skelvane.prom");
  WriteFile(tmp.file("c.json"),
            nlohmann::json{{"topics", {"/kv/st/data"}},
                           {"storage", {{"dir", tmp.file("outbox")}}},
                           {"maintenance_interval", 1},
                           {"status", {{"prometheus_file", prom}, {"mqtt_topic", topic}}}}
                .dump());
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = tmp.file("notify");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  timeval two_s{2, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &two_s, sizeof(two_s));

  std::mutex mu;
  std::vector<std::string> docs;
  Peer watcher(broker.uri(), "watcher", [&](const std::string&, const std::string& payload) {
    std::lock_guard lk(mu);
    docs.push_back(payload);
  });
  ASSERT_TRUE(watcher.Subscribe(topic));
  const auto seen = [&](const std::string& fragment) {
    return WaitFor(
        [&] {
          std::lock_guard lk(mu);
          for (const auto& d : docs) {
            if (d.find(fragment) != std::string::npos) return true;
          }
          return false;
        },
        20s);
  };

  Subprocess svc({BinDir() + "/skelvane", tmp.file("c.json")},
                 {{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=2"},
                  {"KESTOVA_MQTT_URI", broker.uri()},
                  {"NOTIFY_SOCKET", path},
                  {"WATCHDOG_USEC", "1000000"}},
                 tmp.file("out"));
  std::vector<std::string> notes;
  for (int i = 0; i < 10 && notes.size() < 4; ++i) {
    char buf[512];
    const ssize_t n = ::recv(sock, buf, sizeof(buf), 0);
    if (n > 0) notes.emplace_back(buf, static_cast<size_t>(n));
  }
  ASSERT_FALSE(notes.empty()) << svc.Output();
  EXPECT_EQ(notes.front(), "READY=1");
  EXPECT_NE(std::find(notes.begin(), notes.end(), "WATCHDOG=1"), notes.end());
  EXPECT_NE(std::find_if(notes.begin(), notes.end(),
                         [](const std::string& s) { return s.rfind("STATUS=0 pending", 0) == 0; }),
            notes.end());

  EXPECT_TRUE(seen("\"state\":\"online\"")) << svc.Output();
  EXPECT_TRUE(WaitFor(
      [&] { return CountOf(Contents(prom), "skelvane_outbox_pending_messages 0") == 1; }, 10s));

  svc.Kill(SIGKILL);  // no DISCONNECT: the broker publishes the last will
  EXPECT_TRUE(seen("\"state\":\"offline\""));
  std::vector<std::string> retained;
  Peer late(broker.uri(), "late", [&](const std::string&, const std::string& payload) {
    std::lock_guard lk(mu);
    retained.push_back(payload);
  });
  ASSERT_TRUE(late.Subscribe(topic));
  EXPECT_TRUE(WaitFor(
      [&] {
        std::lock_guard lk(mu);
        return !retained.empty() && retained.back().find("\"offline\"") != std::string::npos;
      },
      10s));
  ::close(sock);
}

}  // namespace
