// The service as a whole, through the real binary and a private broker: start-up on configurations
// it cannot use, capture (exact bytes, one record per identity, also across a restart) and what
// acknowledgements remove, recovery from a broker restart, and redelivery across an outage of the
// receiving side: rotation into compressed archives, clean-up within the directory limit, restores
// oldest first, and the resend chain delivering every record left, one at a time.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <set>

#include "e2e.h"
#include "version.h"

namespace {

using namespace testsupport;

const std::string kData = "/kv/e2e/data", kData2 = "/kv/e2e/data2";

TEST(StartupTest, UnusableConfigurationExitsWithOneCriticalLineAndCreatesNothing) {
  // "{dir}" stands for the outbox directory; a second argument (a file that would be a config error
  // if it were read) is ignored.
  const std::pair<std::string, std::string> cases[] = {
      {R"({"topics": [], "storage": {"dir": "{dir}"}})", "No topics configured"},
      {R"({"topics": [7], "storage": {"dir": "{dir}"}})", "No topics configured"},
      {R"({"topics": ["/t"], "storage": {"dir": "{dir}", "compress": 1}})",
       "Config error: [json.exception.type_error.302] type must be boolean, but is number"},
      {"[]", "Config error: [json.exception.type_error.306] cannot use value() with array"},
  };
  for (const auto& [config, critical] : cases) {
    TempDir tmp;
    std::string text = config;
    if (const size_t at = text.find("{dir}"); at != std::string::npos)
      text.replace(at, 5, tmp.file("outbox"));
    WriteFile(tmp.file("skelvane.json"), text);
    WriteFile(tmp.file("other.json"), "[]");
    Subprocess child({BinDir() + "/skelvane", tmp.file("skelvane.json"), tmp.file("other.json")},
                     {{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"}}, tmp.file("out"));
    EXPECT_EQ(child.Wait(30s), 1) << child.Output();
    const std::vector<LogLine> lines = ParseLog(child.Output());
    ASSERT_FALSE(lines.empty()) << child.Output();
    EXPECT_EQ(lines.front().message, std::string("skelvane ") + SKELVANE_VERSION + " starting");
    std::vector<std::string> criticals;
    for (const LogLine& l : lines) {
      if (l.level == "CRITICAL") criticals.push_back(l.file + " " + l.function + ": " + l.message);
    }
    EXPECT_EQ(criticals, std::vector<std::string>{"main.cc main: " + critical}) << config;
    EXPECT_EQ(lines.back().level, "CRITICAL");
    EXPECT_FALSE(FileExists(tmp.file("outbox")));
  }
}

// An outbox the service cannot own is refused at start-up with exit status 1 and one critical
// line: one a running instance holds, a regular file, one under /proc, one it may not write.
TEST(StartupTest, BusyOrUnwritableOutboxIsRefused) {
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0755);  // the configurations stay readable for nobody
  int n = 0;
  const auto start = [&](const std::string& dir, std::vector<std::string> argv) {
    const std::string config = tmp.file("c" + std::to_string(++n) + ".json");
    WriteFile(config, R"({"topics": ["/kv/t"], "storage": {"dir": ")" + dir + "\"}}");
    argv.insert(argv.end(), {BinDir() + "/skelvane", config});
    return std::make_unique<Subprocess>(
        argv,
        std::map<std::string, std::string>{{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=2"},
                                           {"KESTOVA_MQTT_URI", "tcp://127.0.0.1:9"}},
        tmp.file("out" + std::to_string(n)));
  };
  auto first = start(tmp.file("busy"), {});
  ASSERT_TRUE(WaitFor([&] { return CountOf(first->Output(), "Entering message loop") > 0; }, 20s));
  WriteFile(tmp.file("plain"), "x");
  std::filesystem::create_directories(tmp.file("ro"));
  ::chmod(tmp.file("ro").c_str(), 0555);
  const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};
  const bool can_drop = ::geteuid() == 0 && ::access(nobody[0].c_str(), X_OK) == 0;
  const struct {
    std::string dir;
    bool as_nobody;
    std::string why;
  } rows[] = {{tmp.file("busy"), false, "is in use by another process"},
              {tmp.file("plain"), false, "is not writable: Not a directory"},
              {"/proc/skelvane-outbox", false, "is not writable: No such file or directory"},
              {tmp.file("ro"), true, "is not writable: Permission denied"}};
  for (const auto& row : rows) {
    if (row.as_nobody && !can_drop) continue;
    auto child = start(row.dir, row.as_nobody ? nobody : std::vector<std::string>{});
    EXPECT_EQ(child->Wait(30s), 1) << child->Output();
    EXPECT_EQ(CountOf(child->Output(), " CRITICAL "), 1);
    EXPECT_EQ(CountOf(child->Output(), "Fatal error: outbox directory " + row.dir + " " + row.why),
              1)
        << child->Output();
  }
  EXPECT_TRUE(first->running());
}

// An invalid filter and its ACK filter are refused alone; the other topics are served (it used to
// end the service).
TEST(StartupTest, InvalidFilterIsRefusedAlone) {
  TempDir tmp;
  WriteFile(
      tmp.file("skelvane.json"),
      R"({"topics": ["/kv/a+b", "/kv/plain"], "storage": {"dir": ")" + tmp.file("outbox") + "\"}}");
  Subprocess child({BinDir() + "/skelvane", tmp.file("skelvane.json")},
                   {{"KESTOVA_LOG", "/P7.Sink=Console /P7.Trc.Verb=0"},
                    {"KESTOVA_MQTT_URI", "tcp://127.0.0.1:9"}},
                   tmp.file("out"));
  EXPECT_TRUE(WaitFor([&] { return CountOf(child.Output(), "Entering message loop") > 0; }, 20s));
  EXPECT_TRUE(child.running());
  EXPECT_EQ(CountOf(child.Output(), "MQTT subscribe to /kv/a+b refused"), 1) << child.Output();
  EXPECT_EQ(CountOf(child.Output(), "MQTT subscribe to /kv/a+b/ack refused"), 1);
  EXPECT_EQ(CountOf(child.Output(), "Monitoring topic: /kv/plain (ack: /kv/plain/ack)"), 1);
}

std::string Describe(const Record& r) {
  return r.valid ? r.topic + " " + r.msg_id + " " + std::to_string(r.ts) + " " + r.payload : r.line;
}

TEST(CaptureTest, OneRecordPerIdentityWithTheReceivedBytesUntilAcknowledged) {
  ServiceOptions options;
  options.topics = {kData, kData2, "/kv/e2e/+/wild"};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  const std::string pretty =
      "{\n \"timestamp\": 1700000001,\t\"msg_id\" : \"f\\u00fc\", \"v\":1.50e1 }\r\n";
  const std::string big = DataPayload(1700000003, "big", Fill(20000));
  const std::pair<std::string, std::string> published[] = {
      {kData, pretty},
      {kData2, big},
      {kData, R"({"timestamp":1700000003.9,"msg_id":"big","v":2})"},  // the same key elsewhere
      {kData2, R"({"timestamp":1700000013,"msg_id":"f\u00fc"})"},     // the same id, another time
      {kData, "not json"},
      {kData, R"({"timestamp":1700000000})"},
      // Matches a configured filter: stored under its own topic.
      {"/kv/e2e/x/wild", R"({"timestamp":1,"msg_id":"wild"})"},
  };
  for (const auto& [topic, payload] : published) ASSERT_TRUE(svc.control().Publish(topic, payload));
  ASSERT_TRUE(svc.Capture(1700000099, "last"));
  std::vector<std::string> got;
  for (const Record& r : svc.Outbox()) got.push_back(Describe(r));
  EXPECT_EQ(got, (std::vector<std::string>{
                     kData + " f\xc3\xbc 1700000001 " + pretty, kData2 + " big 1700000003 " + big,
                     kData2 + " f\xc3\xbc 1700000013 " + published[3].second,
                     "/kv/e2e/x/wild wild 1 " + published[6].second,
                     kData + " last 1700000099 " + DataPayload(1700000099, "last")}));
  EXPECT_EQ(Messages(svc.Log(), "Duplicate skipped: ts=1700000003 msg_id=big", svc.ready()).size(),
            1u);
  EXPECT_EQ(Messages(svc.Log(), "Data: ", svc.ready()).size(), 2u);  // bad JSON, no msg_id

  // After a restart the identities come back from the file; new records go behind the old ones.
  const std::string before = ReadFile(svc.active());
  svc.Stop(SIGTERM);
  ASSERT_TRUE(svc.Start());
  EXPECT_GE(svc.WaitLog("Index rebuild: 5 entries", 1s), 0);
  ASSERT_TRUE(svc.control().Publish(kData, pretty));
  ASSERT_TRUE(svc.Capture(1700000100, "after"));
  EXPECT_EQ(Messages(svc.Log(), "Duplicate skipped: ", svc.ready()).size(), 1u);
  const std::vector<Record> records = svc.Outbox();
  ASSERT_EQ(ReadFile(svc.active()), before + records.back().line + "\n");

  // The maintenance pass after an ACK batch removes exactly the lines it names; bad entries, near
  // misses (another id, another time) and the batch's own top-level key name none. The ACK topic
  // of a topic matched by a filter acknowledges what came on that topic.
  const size_t from = svc.Log().size();
  ASSERT_TRUE(svc.control().Publish("/kv/e2e/x/wild/ack", AckPayload(1, "wild")));
  ASSERT_TRUE(svc.control().Publish(
      kData + "/ack",
      R"({"acks":[{"timestamp":1700000001,"msg_id":"f\u00fc"},5,{"timestamp":"1"},)"
      R"({"timestamp":1700000003,"msg_id":"bi"},{"timestamp":1700000004,"msg_id":"big"},)"
      R"({"timestamp":1700000100.5,"msg_id":"after"}],"timestamp":1700000099,"msg_id":"last"})"));
  ASSERT_GE(svc.WaitLog("Maintenance: ", 10s,
                        static_cast<size_t>(std::max(svc.WaitLog("ACK: ", 10s, from), 0))),
            0);
  EXPECT_EQ(ReadFile(svc.active()),
            records[1].line + "\n" + records[2].line + "\n" + records[4].line + "\n");
}

TEST(BrokerRestartTest, CaptureAndAcknowledgementsResumeWithoutARestart) {
  Service svc;
  ASSERT_TRUE(svc.Start());
  const pid_t pid = svc.pid();
  svc.broker().Stop();
  ASSERT_GE(svc.WaitLog("MQTT connection lost", 10s, svc.ready()), 0);
  ASSERT_TRUE(svc.broker().Start());
  // What is sent before the service has subscribed again is not delivered to it: keep sending.
  auto pub = svc.NewPeer("after-restart");
  int sent = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        pub->PublishAsync(kData, DataPayload(2000, "after-" + std::to_string(++sent)));
        return svc.WaitLog("Captured: ts=2000 msg_id=after-", 100ms, svc.ready()) >= 0;
      },
      40s));
  EXPECT_EQ(svc.pid(), pid);
  EXPECT_EQ(Messages(svc.Log(), "MQTT connected to " + svc.broker().uri()).size(), 2u);
  // The ACK topic is subscribed again too: the first record captured goes.
  const Record first = svc.Outbox().front();
  ASSERT_TRUE(pub->Publish(kData + "/ack", AckPayload(first.ts, first.msg_id)));
  EXPECT_TRUE(
      WaitFor([&] { return svc.Outbox().empty() || svc.Outbox()[0].line != first.line; }, 10s));
}

TEST(ResendTest, ArchivesAnOutageAndRedeliversEveryRecordLeftOneAtATime) {
  ServiceOptions options;
  options.storage = {
      {"max_file_kb", 1}, {"max_dir_kb", 8}, {"rotation_cooldown", 1}, {"compress", true}};
  // A fresh message is not republished while its own acknowledgement is on the way.
  options.resend = {{"cooldown", 1},
                    {"stale_threshold", 120},
                    {"grace_period", 2},
                    {"live_ack_threshold", 5},
                    {"fast_ack_threshold", 3}};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  std::atomic<bool> acking{false};
  Receiver rx(svc, {kData}, [&](const Receiver::Msg&) { return acking.load(); });

  // Outage. Each message waits for the capture of the one before, so that rotations stay apart
  // (archive names carry a one-second stamp); random noise keeps gzip from shrinking them much.
  std::mt19937 rng(20240601);
  std::map<std::string, std::string> payloads;                  // id -> bytes published
  std::map<std::string, std::vector<std::string>> archive_ids;  // every archive seen -> its ids
  size_t max_archives = 0;
  const auto scan = [&] {
    for (const auto& [name, records] : AuditOutbox(svc.dir()).files) {
      if (name == "outbox.jsonl" || archive_ids.count(name)) continue;
      for (const Record& r : records) {
        archive_ids[name].push_back(r.msg_id);
        EXPECT_EQ(r.payload, payloads[r.msg_id]);
      }
    }
    max_archives = std::max(max_archives, svc.Archives().size());
  };
  for (int seq = 100; seq < 148; ++seq) {
    const std::string id = "out-" + std::to_string(seq);
    std::string noise(180, ' ');
    for (char& c : noise) c = static_cast<char>('a' + rng() % 26);
    const int64_t ts = UnixNow();
    payloads[id] = DataPayload(ts, id, "\"noise\":\"" + noise + "\"");
    const size_t from = svc.Log().size();
    ASSERT_TRUE(svc.control().Publish(kData, payloads[id]));
    ASSERT_GE(svc.WaitLog("Captured: ts=" + std::to_string(ts) + " msg_id=" + id, 10s, from), 0);
    scan();
    std::this_thread::sleep_for(80ms);
  }
  ASSERT_GE(svc.WaitLog("Maintenance: ", 5s, svc.Log().size()), 0);
  scan();

  // The archives (oldest first) and the active file hold every message once, in order; clean-up
  // took the oldest archives first and kept the directory near its limit.
  std::vector<std::string> all, names, published;
  for (const auto& [name, ids] : archive_ids) {
    names.push_back(name);
    all.insert(all.end(), ids.begin(), ids.end());
  }
  for (const Record& r : svc.Outbox()) all.push_back(r.msg_id);
  for (const auto& [id, payload] : payloads) published.push_back(id);
  EXPECT_EQ(all, published);
  const auto removed = [&](size_t from) {
    std::vector<std::string> out;
    for (const std::string& m : Messages(svc.Log(), "Cleanup: removed ", from)) {
      out.push_back(m.substr(17, m.find(' ', 17) - 17));
    }
    return out;
  };
  std::vector<std::string> oldest = names;
  oldest.resize(std::min(names.size(), removed(0).size()));
  EXPECT_EQ(removed(0), oldest);
  EXPECT_FALSE(oldest.empty()) << "no archive removed; at most " << max_archives;
  EXPECT_GE(max_archives, 5u);
  uintmax_t bytes = 0;
  for (const auto& e : std::filesystem::directory_iterator(svc.dir())) bytes += e.file_size();
  EXPECT_LE(bytes, 12 * 1024u);

  // Recovery: acknowledgements resume, live traffic (re)starts the resend chain, until everything
  // clean-up did not take has come back and no archive is left. Clean-up may still take an archive
  // during the restores (a restored archive needs more room than its compressed form).
  acking = true;
  const size_t resume = rx.seen().size(), recovery = svc.Log().size();
  const std::vector<std::string> surviving = svc.Archives();
  std::set<std::string> gone;  // ids of the removed archives
  int live = 0;
  const bool drained = WaitFor(
      [&] {
        svc.control().PublishAsync(kData, DataPayload(UnixNow(), "live-" + std::to_string(++live)));
        std::this_thread::sleep_for(700ms);
        std::set<std::string> missing(published.begin(), published.end());
        for (const std::string& name : removed(0)) {
          for (const std::string& id : archive_ids[name]) gone.insert(id), missing.erase(id);
        }
        const std::vector<Receiver::Msg> seen = rx.seen();
        for (size_t i = resume; i < seen.size(); ++i) missing.erase(seen[i].id);
        for (const Record& r : svc.Outbox())
          missing.insert(r.msg_id.substr(0, 4) == "out-" ? r.msg_id : "");
        missing.erase("");
        return missing.empty() && svc.Archives().empty();
      },
      60s);
  EXPECT_TRUE(drained) << "archives left: " << ::testing::PrintToString(svc.Archives());
  EXPECT_EQ(archive_ids.size(), names.size()) << "an archive never seen was removed";
  // Restored oldest first, all that clean-up left alone (rotations during the recovery may add
  // more); republished with the original bytes, none that was given up.
  const std::vector<std::string> later = removed(recovery);
  std::vector<std::string> want, restoring = Messages(svc.Log(), "Restoring archive: ", recovery);
  for (const std::string& name : surviving) {
    if (std::find(later.begin(), later.end(), name) == later.end())
      want.push_back("Restoring archive: " + name);
  }
  restoring.resize(want.size());
  EXPECT_EQ(restoring, want);
  const std::vector<Receiver::Msg> seen = rx.seen();
  for (size_t i = resume; i < seen.size(); ++i) {
    if (payloads.count(seen[i].id)) {
      EXPECT_EQ(seen[i].payload, payloads[seen[i].id]);
    }
    EXPECT_EQ(gone.count(seen[i].id), 0u) << seen[i].id << " came back from a removed archive";
  }
  // One in flight: a resend only after the acknowledgement of the one before (or a new chain).
  std::string order;
  for (const std::string& m : Messages(svc.Log(), "", recovery)) {
    order += m.starts_with("Resent: ") ? "R"
             : m.starts_with("Fast ACK") || m.starts_with("Slow ACK") ||
                     m.starts_with("No pending to send")
                 ? "A"
                 : "";
  }
  EXPECT_EQ(order.find("RR"), std::string::npos) << order;
  EXPECT_GE(CountOf(order, "R"), static_cast<int64_t>(published.size() - gone.size()));
}

}  // namespace
