// The service as a whole, through the real binary and a private broker: start-up refusals, capture
// (exact bytes) and what acknowledgements remove, recovery from a broker restart, the systemd
// notify protocol, a directory as the active file. Loss under kills, broker restarts, full disks
// and clock steps, and draining through restores, are the conservation test's; the resend chain's
// rules are resender_test's and handlers_test's (late acknowledgements of archived records, other
// hostile files, torn lines: outbox_store_test's; a torn line is judged broken without parsing it:
// record_format_test's).
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <zlib.h>

#include <filesystem>

#include "e2e.h"
#include "version.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

const std::string kData = "/kv/e2e/data";

// Exit status 1 with one critical line, the last after the banner: a configuration it
// cannot use (nothing is created) or an outbox another instance holds. A second argument (a file
// that would be a config error if it were read) is ignored.
TEST(StartupTest, UnusableConfigurationOrBusyOutboxExitsWithOneCriticalLine) {
  TempDir tmp;
  WriteFile(tmp.file("other.json"), "[]");
  int n = 0;
  const auto start = [&](const std::string& json) {
    const std::string config = tmp.file(fmt::format("c{}.json", ++n));
    WriteFile(config, json);
    return std::make_unique<Subprocess>(
        std::vector<std::string>{BinDir() + "/skelvane", config, tmp.file("other.json")},
        std::map<std::string, std::string>{{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"},
                                           {"KESTOVA_MQTT_URI", "tcp://127.0.0.1:9"}},
        tmp.file(fmt::format("out{}", n)));
  };
  const std::string busy = R"({"topics": ["/t"], "storage": {"dir": ")" + tmp.file("busy") + "\"}}";
  auto first = start(busy);
  ASSERT_TRUE(WaitFor([&] { return CountOf(first->Output(), "Entering message loop") > 0; }, 20s));
  const std::string none = tmp.file("none");
  const std::pair<std::string, std::string> rows[] = {
      {R"({"topics": [], "storage": {"dir": ")" + none + "\"}}", "No topics configured"},
      {R"({"topics": ["/t"], "storage": {"compress": 1, "dir": ")" + none + "\"}}",
       "Config error: [json.exception.type_error.302] type must be boolean, but is number"},
      {busy,
       "Fatal error: outbox directory " + tmp.file("busy") + " is in use by another process"}};
  for (const auto& [json, critical] : rows) {
    auto child = start(json);
    EXPECT_EQ(child->Wait(30s), 1) << child->Output();
    const std::vector<std::string> lines = ParseLog(child->Output());
    ASSERT_FALSE(lines.empty()) << child->Output();
    EXPECT_EQ(lines.front(), std::string("skelvane ") + SKELVANE_VERSION + " starting");
    EXPECT_EQ(CountOf(child->Output(), " CRITICAL "), 1);
    EXPECT_EQ(lines.back(), critical);
  }
  EXPECT_FALSE(FileExists(none));
  EXPECT_TRUE(first->running());
}

// Through a real broker: the received bytes under the payload's key, on the topic they came on (a
// wildcard filter's included) while a topic the broker would refuse (mosquitto closes the
// connection of a client that subscribes to a control character) or an invalid filter leaves the
// others served. After a broker restart, capture resumes without a restart of the service, and
// the ACK topic of a matched topic, subscribed again too, acknowledges what came on it.
TEST(CaptureTest, ReceivedBytesOnEveryServedTopicUntilAcknowledgedAlsoAfterABrokerRestart) {
  Service svc({.topics = {kData, "/kv/e2e/+/wild", "/kv/a+b", "/kv/e2e/bad\ttopic"}});
  ASSERT_TRUE(svc.Start());
  const pid_t pid = svc.pid();
  const std::string pretty =
      "{\n \"timestamp\": 1700000001,\t\"msg_id\" : \"f\\u00fc\", \"v\":1.50e1 }\r\n";
  ASSERT_TRUE(svc.control().Publish(kData, pretty));
  ASSERT_TRUE(svc.control().Publish("/kv/e2e/x/wild", DataPayload(1, "wild")));
  ASSERT_TRUE(svc.Capture(1700000099, "last"));
  const std::vector<Record> records = svc.Outbox();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].payload, pretty);
  EXPECT_EQ(records[0].msg_id + " " + records[1].topic, "f\xc3\xbc /kv/e2e/x/wild");

  svc.broker().Stop();
  ASSERT_GE(svc.WaitLog("MQTT connection lost", 10s, svc.ready()), 0);
  ASSERT_TRUE(svc.broker().Start());
  // What is sent before the service has subscribed again is not delivered to it: keep sending.
  auto pub = svc.NewPeer("after-restart");
  int sent = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        pub->PublishAsync(kData, DataPayload(2000, fmt::format("after-{}", ++sent)));
        return svc.WaitLog("Captured: ts=2000 msg_id=after-", 100ms, svc.ready()) >= 0;
      },
      40s));
  EXPECT_EQ(svc.pid(), pid);
  EXPECT_EQ(ParseLog(svc.Output(), "MQTT connected to " + svc.broker().uri()).size(), 2u);
  ASSERT_TRUE(pub->Publish("/kv/e2e/x/wild/ack", DataPayload(1, "wild")));
  EXPECT_TRUE(WaitFor([&] { return CountOf(Contents(svc.active()), "\"wild\"") == 0; }, 10s));
  EXPECT_EQ(ParseLog(svc.Output(), "MQTT connection lost").size(), 1u);
}

// The systemd notify protocol on a socket of the test: READY=1 first, then watchdog pings (half
// of WATCHDOG_USEC) and status lines; the Prometheus file is written. (What the status document,
// the last will and the figures hold: service_test and status_test.)
TEST(StatusTest, NotifyReadyWatchdogStatusAndPrometheusFile) {
  TempDir tmp;
  const std::string path = tmp.file("notify"), prom = tmp.file("skelvane.prom");
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{AF_UNIX, {}};
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  timeval two_s{2, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &two_s, sizeof(two_s));
  Service svc({.config = {{"status", {{"prometheus_file", prom}}}},
               .env = {{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "1000000"}}});
  ASSERT_TRUE(svc.Start(false));
  std::string notes;  // datagrams, one a line
  for (int i = 0; i < 10 && CountOf(notes, "\n") < 4; ++i) {
    char buf[512];
    const ssize_t n = ::recv(sock, buf, sizeof(buf), 0);
    if (n > 0) notes += std::string(buf, static_cast<size_t>(n)) + "\n";
  }
  EXPECT_TRUE(notes.starts_with("READY=1\n")) << notes << svc.Output();
  EXPECT_GE(CountOf(notes, "\nWATCHDOG=1\n"), 1) << notes;
  EXPECT_GE(CountOf(notes, "\nSTATUS=0 pending"), 1) << notes;
  EXPECT_EQ(CountOf(Contents(prom), "skelvane_outbox_pending_messages 0\n"), 1);
  ::close(sock);
}

// Record lines as the service writes them: V(n) holds {"timestamp":100n,"msg_id":"vn"}.
std::string V(int n) {
  const char* b64[] = {"eyJ0aW1lc3RhbXAiOjEwMDEsIm1zZ19pZCI6InYxIn0=",
                       "eyJ0aW1lc3RhbXAiOjEwMDIsIm1zZ19pZCI6InYyIn0="};
  return fmt::format(R"({{"msg_id":"v{}","payload":"{}","topic":"{}","ts":{}}})", n, b64[n - 1],
                     kData, 1000 + n);
}

// Start-up reports an active file that is a directory, and each message is held unacknowledged
// (the archive's records stay whole) until the operator removes it; then capture resumes.
TEST(HostileFilesTest, ActiveFileIsDirectory) {
  Service svc;
  fs::create_directories(svc.active() + "/busy");  // remove() cannot take it away
  gzFile f = gzopen((svc.dir() + "/outbox.2000-01-01_000000.jsonl.gz").c_str(), "wb");
  gzputs(f, (V(1) + "\n" + V(2) + "\n").c_str());
  gzclose(f);
  ASSERT_TRUE(svc.Start());
  EXPECT_GE(CountOf(svc.Output(), "Is a directory"), 1);
  ASSERT_TRUE(svc.control().Publish(kData, DataPayload(5001, "new-1")));
  EXPECT_GE(svc.WaitLog("Cannot open outbox file for append", 10s, svc.ready()), 0);
  fs::remove_all(svc.active());
  EXPECT_TRUE(svc.Capture(5002, "new-2")) << "capture did not resume after the repair";
  svc.Stop(SIGKILL);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_EQ(audit.line("v1") + audit.line("v2"), V(1) + V(2));
  EXPECT_TRUE(audit.has("new-1"));
}

}  // namespace
