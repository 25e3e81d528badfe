// Conservation: nothing the broker accepted is lost, whatever happens around the service. Two
// publishers stream QoS 1 messages with unique msg_ids while, in a seeded order, the service is
// SIGKILLed and restarted (persistent session), the broker restarts, the outbox's tmpfs fills up,
// the service's wall clock steps (libfaketime) and the receiver goes offline; online, it
// acknowledges late, in batches, out of order and with duplicates. Then every accepted message
// must be seen by the receiver, be in the outbox, or be in an archive whose removal the service
// logged ("Cleanup: removed NAME"), read from a copy taken while the service ran; anything else is
// lost. A SIGKILL with disk space to spare leaves no broken line behind, and the last run, drained
// and idle, holds no more descriptors than after its start-up. Knobs
// (tests/torture/conservation.sh): CONSERVATION_SEED (1), _MESSAGES (600), _SECONDS (25 of faults).
#include <fmt/format.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "e2e.h"

namespace {

using namespace testsupport;
using nlohmann::json;

const std::vector<std::string> kTopics = {"/kv/e2e/cons/a", "/kv/e2e/cons/b"};

int64_t NowMs() { return Clock::now().time_since_epoch() / 1ms; }
int64_t CountFds(pid_t pid) {  // the fewest in five looks 100 ms apart: an append's file is brief
  int64_t n = INT64_MAX;
  for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(100ms)) {
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    n = std::min<int64_t>(n, std::distance(begin(fds), end(fds)));
  }
  return n;
}

TEST(ConservationTest, EveryAcceptedMessageIsAcknowledgedKeptOrLoggedAsGivenUp) {
  const int64_t seed = EnvInt("CONSERVATION_SEED", 1);
  const int64_t messages = std::max<int64_t>(10, EnvInt("CONSERVATION_MESSAGES", 600));
  const int64_t seconds = std::max<int64_t>(10, EnvInt("CONSERVATION_SECONDS", 25));
  std::printf("[ seed     ] CONSERVATION_SEED=%lld\n", static_cast<long long>(seed));
  std::mt19937_64 rng(static_cast<uint64_t>(seed));
  glob_t found{};
  if (::glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &found) != 0)
    GTEST_SKIP() << "libfaketime is not installed (scripts/install-deps.sh)";
  const std::string libfaketime = found.gl_pathv[0];
  ::globfree(&found);

  TempDir work;  // the clock file and, at the end, the copies of removed archives
  const std::string clock_file = work.file("clock");
  WriteFile(clock_file, "+0\n");
  json config = json::parse(R"({"storage":{"max_file_kb":6,"max_dir_kb":64,"rotation_cooldown":1},
    "resend":{"cooldown":2,"grace_period":2,"stale_threshold":10,"live_ack_threshold":10,
              "fast_ack_threshold":3}})");
  config["storage"]["compress"] = seed % 2 == 1;
  const char* asan = std::getenv("ASAN_OPTIONS");  // ASan wants to come first in the preload list
  Service svc(
      {.topics = kTopics,
       .config = config,
       .env = {{"KESTOVA_MQTT_CLIENT_ID", "skelvane-conservation"},
               {"LD_PRELOAD", libfaketime},
               {"FAKETIME_TIMESTAMP_FILE", clock_file},
               {"FAKETIME_NO_CACHE", "1"},
               {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
               {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}},
       .broker_config = {"persistence true", "max_queued_messages 0", "max_queued_bytes 0"}});
  std::filesystem::create_directories(svc.dir());
  if (::mount("tmpfs", svc.dir().c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs on the outbox directory (needs root)";
  std::unique_ptr<const char, void (*)(const char*)> unmount(  // lazily, at the end
      svc.dir().c_str(), [](const char* d) { ::umount2(d, MNT_DETACH); });
  ASSERT_TRUE(svc.Start());

  // The receiver: offline it sees nothing; online it acknowledges each message after a delay
  // (one in five beyond fast_ack_threshold), from a thread of its own; draining, at once.
  std::mutex mu;
  std::set<std::string> seen;
  std::multimap<int64_t, std::pair<std::string, json>> due;  // when -> ACK topic, entry
  bool online = true, draining = false;
  std::mt19937_64 rx_rng(static_cast<uint64_t>(seed) + 1);  // on the receiver's thread only
  auto acker = svc.NewPeer("conservation-acker");
  auto rx = svc.NewPeer("conservation-rx", [&](const std::string& topic, const std::string& p) {
    const json j = json::parse(p, nullptr, false);
    if (!j.is_object() || !j.contains("msg_id") || !j.contains("timestamp")) return;
    const json entry = {{"timestamp", j["timestamp"]}, {"msg_id", j["msg_id"]}};
    std::lock_guard lk(mu);
    if (!online) return;
    seen.insert(j["msg_id"].get<std::string>());
    const int64_t delay = rx_rng() % 5 == 0 ? 3000 + rx_rng() % 3000 : rx_rng() % 800;
    draining ? void(acker->PublishAsync(topic + "/ack", entry.dump()))
             : void(due.emplace(NowMs() + delay, std::make_pair(topic + "/ack", entry)));
  });
  const auto subscribe = [&] {
    return WaitFor([&] { return rx->Subscribe(kTopics[0]) && rx->Subscribe(kTopics[1]); }, 20s);
  };
  ASSERT_TRUE(subscribe());
  int64_t fds_at_start = CountFds(svc.pid());  // of the current run (it inherits the test's)
  std::atomic<bool> done{false};
  std::thread acking([&, ack_rng = std::mt19937_64(static_cast<uint64_t>(seed) + 2)]() mutable {
    for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(50 + ack_rng() % 200))) {
      std::map<std::string, std::vector<json>> out;  // ACK topic -> entries
      std::unique_lock lk(mu);
      if (!online) continue;
      for (auto it = due.begin(); it != due.end() && it->first <= NowMs(); it = due.erase(it)) {
        out[it->second.first].push_back(it->second.second);
        // One in five again later: a duplicate, out of order, now and then a stale one.
        if (!draining && ack_rng() % 5 == 0) due.emplace(NowMs() + ack_rng() % 8000, it->second);
      }
      lk.unlock();
      for (auto& [topic, entries] : out) {
        std::shuffle(entries.begin(), entries.end(), ack_rng);
        for (size_t i = 0, n; i < entries.size(); i += n) {
          n = std::min<size_t>(entries.size() - i, 1 + ack_rng() % 8);
          const json batch(std::vector<json>(entries.begin() + static_cast<ptrdiff_t>(i),
                                             entries.begin() + static_cast<ptrdiff_t>(i + n)));
          acker->PublishAsync(topic, n == 1 ? batch[0].dump() : json{{"acks", batch}}.dump());
        }
      }
    }
  });

  // Copies of every archive, taken every 10 ms, and the ids ever seen in the active file. Each poll
  // reads the new log lines first, so a logged clean-up is matched to the copy taken before it even
  // where a later archive takes the same name; that copy goes to removed/, under a name of its own.
  // A gap: an archive removed before the test could copy it.
  std::filesystem::create_directories(work.file("removed"));
  int cleanups = 0;
  std::set<std::string> on_disk, gaps;
  std::map<std::string, std::string> copies;  // archive name -> bytes
  int shadow_run = 1;
  size_t shadow_at = 0;
  const auto shadow_poll = [&] {
    for (bool over = true; over;) {
      over = FileExists(svc.OutputPath(shadow_run + 1));  // then the run's log is whole
      std::ifstream in(svc.OutputPath(shadow_run), std::ios::binary);
      in.seekg(static_cast<std::streamoff>(shadow_at));
      std::string text((std::istreambuf_iterator<char>(in)), {});
      text.resize(text.rfind('\n') + 1);  // whole lines only
      shadow_at = over ? 0 : shadow_at + text.size();
      shadow_run += over;
      for (const std::string& m : ParseLog(text, "Cleanup: removed ")) {
        const std::string name = m.substr(17, m.find(' ', 17) - 17);
        const std::string to =
            work.file(fmt::format("removed/outbox.{}{}", ++cleanups, name.substr(6)));
        copies[name].empty() ? void(gaps.insert(name)) : WriteFile(to, copies[name]);
        copies.erase(name);
      }
    }
    for (const std::string& name : svc.Archives()) {  // archives appear whole, by a rename
      if (std::string bytes = Contents(svc.dir() + "/" + name); !bytes.empty())
        copies[name] = bytes;
    }
    for (const Record& r : ParseRecords(Contents(svc.active()))) on_disk.insert(r.msg_id);
  };
  std::thread shadowing([&] {
    for (; !done; std::this_thread::sleep_for(10ms)) shadow_poll();
  });

  // The publishers: m0 .. m<messages-1>, spread over the fault phase, with payloads of random
  // hexadecimal digits (they compress about as telemetry does).
  std::vector<std::unique_ptr<Peer>> pubs;
  for (int i = 0; i < 2; ++i) pubs.push_back(svc.NewPeer(fmt::format("conservation-pub{}", i)));
  const auto start = Clock::now();
  std::thread publishing([&, pub_rng = std::mt19937_64(static_cast<uint64_t>(seed) + 3)]() mutable {
    for (int64_t n = 0; n < messages; ++n) {
      std::this_thread::sleep_until(start +
                                    std::chrono::milliseconds(n * seconds * 1000 / messages));
      std::string noise(static_cast<size_t>(100 + n % 5 * 40), '0');
      for (char& c : noise) c = "0123456789abcdef"[pub_rng() % 16];
      pubs[n % 2]->PublishAsync(
          kTopics[n % 2],
          DataPayload(std::time(nullptr), fmt::format("m{}", n), "\"noise\":\"" + noise + "\""), n);
    }
  });

  // A clock step reached the service when a line it logs within 1.5 s after the step carries the
  // shifted time (a service held for a full disk may log nothing: then the step is not judged).
  int64_t clock_steps = 0, steps_seen = 0, steps_wrong = 0;
  const auto set_clock = [&](const std::pair<std::string, int64_t>& step) {
    const size_t before = svc.Output().size();
    WriteFile(clock_file + ".new", step.first + "\n");  // renamed: read whole or not at all
    std::filesystem::rename(clock_file + ".new", clock_file);
    const int64_t when = std::time(nullptr);
    bool logged = false, right = false;
    WaitFor(
        [&] {  // the last whole line, when it began after the step (behind a new line feed)
          const std::string out = svc.Output();
          const size_t end = out.rfind('\n'), at = end > 0 ? out.rfind('\n', end - 1) : end;
          std::tm tm{};
          tm.tm_isdst = -1;
          if (at == std::string::npos || at < before ||
              !::strptime(&out[at + 1], "%Y-%m-%d %H:%M:%S.", &tm))
            return false;
          logged = true;
          return right = std::abs(std::mktime(&tm) - step.second - when) <= 2;
        },
        1500ms);
    ++clock_steps;
    steps_seen += right && step.second != 0;
    steps_wrong += logged && !right;
  };

  // The faults: a seeded order of one a second at most, every kind at least once; a full disk and
  // an offline receiver last a few seconds each.
  enum Fault { kNone, kKill, kBroker, kDisk, kClock, kReceiver };
  const std::vector<Fault> kinds = {kKill,  kKill,  kBroker, kDisk,     kDisk,    kClock,
                                    kClock, kClock, kClock,  kReceiver, kReceiver};
  std::vector<Fault> deck = kinds;
  while (static_cast<int64_t>(deck.size()) * 2 < seconds)
    deck.insert(deck.end(), kinds.begin(), kinds.end());
  deck.resize(std::max<size_t>(deck.size(), static_cast<size_t>(seconds)), kNone);
  std::shuffle(deck.begin(), deck.end(), rng);
  std::vector<std::pair<std::string, int64_t>> steps = {
      {"-3h", -3 * 3600}, {"-2d", -2 * 86400}, {"+5h", 5 * 3600}, {"+0", 0}};
  std::shuffle(steps.begin(), steps.end(), rng);
  const std::string blob = svc.dir() + "/.fill/blob";  // not counted in the outbox's own size
  size_t disk_free_at = 0, online_at = 0;
  std::vector<std::string> broken;  // lines found broken right after a kill
  std::map<Fault, int> count;
  for (size_t slot = 0; slot < deck.size(); ++slot) {
    std::this_thread::sleep_until(start + std::chrono::seconds(slot));
    if (slot == disk_free_at) std::filesystem::remove(blob);
    std::unique_lock lk(mu);
    online = online || slot == online_at;
    lk.unlock();
    const Fault f = deck[slot];
    ++count[f];
    if (f == kKill) {  // a service holding a message for the full disk answers no probe
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 900));  // not between messages
      svc.Stop(SIGKILL);
      const Audit after = AuditOutbox(svc.dir());  // a write the full disk cut short may be torn
      if (slot >= disk_free_at)
        broken.insert(broken.end(), after.broken.begin(), after.broken.end());
      EXPECT_TRUE(slot < disk_free_at
                      ? svc.Start(false) && svc.WaitLog("Entering message loop") >= 0
                      : svc.Start())
          << "restart after SIGKILL in slot " << slot;
      fds_at_start = CountFds(svc.pid());
    } else if (f == kBroker) {
      EXPECT_TRUE((svc.broker().Stop(), svc.broker().Start()) && subscribe())
          << "broker restart in slot " << slot;
    } else if (f == kDisk) {
      std::filesystem::create_directories(svc.dir() + "/.fill");
      std::ofstream filler(blob, std::ios::binary);
      for (const std::string block(4096, 'F'); filler.write(block.data(), 4096);) filler.flush();
      disk_free_at = std::max(disk_free_at, slot + 2 + rng() % 4);
    } else if (f == kClock) {
      set_clock(steps[static_cast<size_t>(count[kClock] - 1) % steps.size()]);
    } else if (f == kReceiver) {
      lk.lock();
      online = false;
      online_at = slot + 1 + rng() % 6;
    }
  }
  publishing.join();

  // Faults off; the receiver acknowledges at once, and fresh messages give the resend chain the
  // live acknowledgements it starts on. Drained: each accepted message is seen, or was captured
  // and is no longer in the outbox (nothing more can come of it).
  std::filesystem::remove(blob);
  set_clock({"+0", 0});
  {
    std::lock_guard lk(mu);
    online = draining = true;
  }
  std::set<std::string> accepted;
  for (int i = 0; i < 2; ++i)
    for (int64_t n : pubs[i]->WaitSettled(static_cast<size_t>(messages + 1 - i) / 2, 5s))
      accepted.insert(fmt::format("m{}", n));
  const auto all_text = [&] {
    std::string text;
    for (int run = 1; run <= svc.runs(); ++run) text += svc.Output(run);
    return text;
  };
  // A held message is retried after up to 30 s; the deadline leaves room for that.
  const auto drain_start = Clock::now();
  bool drained = false;
  for (int kick = 0;
       !drained && Clock::now() < drain_start + std::chrono::seconds(40 + seconds / 2); ++kick) {
    svc.control().PublishAsync(kTopics[0],
                               DataPayload(std::time(nullptr), fmt::format("kick{}", kick)));
    std::this_thread::sleep_for(1s);
    std::set<std::string> captured;  // "Captured: ts=.. msg_id=ID ..."
    for (const std::string& m : ParseLog(all_text(), "Captured: ")) {
      const size_t at = m.find("msg_id=") + 7;
      captured.insert(m.substr(at, m.find(' ', at) - at));
    }
    const Audit live = AuditOutbox(svc.dir());
    std::lock_guard lk(mu);
    drained = std::all_of(accepted.begin(), accepted.end(), [&](const std::string& id) {
      return seen.count(id) || (captured.count(id) && !live.has(id));
    });
  }
  const int64_t drain_s = (Clock::now() - drain_start) / 1s;
  std::this_thread::sleep_for(1s);  // idle: nothing open for a store or flush
  EXPECT_LE(CountFds(svc.pid()), fds_at_start) << "descriptors after the drain / after start-up";
  EXPECT_TRUE(svc.running());
  svc.Stop(SIGKILL);
  done = true;
  acking.join();
  shadowing.join();
  shadow_poll();
  const Audit end = AuditOutbox(svc.dir()), removed = AuditOutbox(work.file("removed"));
  const std::string text = all_text();
  // Acknowledged, in the outbox, in a removed archive, gap suspect (an archive removed before it
  // could be copied may have held what had been in the active file), lost.
  int64_t where[5] = {};
  std::vector<std::string> lost;
  for (const std::string& id : accepted) {
    ++where[seen.count(id)                       ? 0
            : end.has(id)                        ? 1
            : removed.has(id)                    ? 2
            : !gaps.empty() && on_disk.count(id) ? 3
                                                 : 4];
    if (where[4] > static_cast<int64_t>(lost.size())) lost.push_back(id);
  }
  for (size_t i = 0; i < lost.size() && i < 20; ++i)
    std::printf("[ lost     ] %s: %s on disk\n", lost[i].c_str(),
                on_disk.count(lost[i]) ? "was" : "never");
  std::printf(
      "[ figure ] conservation: %s\n",
      fmt::format("seed={} accepted={} acked={} in_outbox={} in_cleaned_archives={} lost={} "
                  "uncopied_cleaned_archives={} gap_suspects={} kills={} broker_restarts={} "
                  "disk_full={} clock_steps={} clock_steps_seen={} clock_steps_wrong={} "
                  "receiver_outages={} rotations={} cleanups={} resends={} enospc={} "
                  "drain_s={} drained={}",
                  seed, accepted.size(), where[0], where[1], where[2], lost.size(), gaps.size(),
                  where[3], count[kKill], count[kBroker], count[kDisk], clock_steps, steps_seen,
                  steps_wrong, count[kReceiver], ParseLog(text, "Rotated").size(), cleanups,
                  ParseLog(text, "Resent: ").size(), CountOf(text, "No space left on device"),
                  drain_s, drained)
          .c_str());
  EXPECT_TRUE(lost.empty()) << lost.size() << " accepted messages lost";
  EXPECT_TRUE(broken.empty()) << "after a SIGKILL: " << ::testing::PrintToString(broken);
  EXPECT_EQ(steps_wrong, 0) << "a clock step did not reach the service";
  EXPECT_GT(steps_seen, 0) << "no clock step showed in the service's log";
  EXPECT_GT(static_cast<int64_t>(accepted.size()), messages / 2) << "the stream hardly ran";
}

}  // namespace
