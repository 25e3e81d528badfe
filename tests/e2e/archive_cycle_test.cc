// An outage of the receiving side: while nothing is acknowledged the active file is rotated into
// compressed archives, the oldest of which are deleted to keep the directory within its limit; once
// acknowledgements come back, every archive that is left is restored, oldest first, and each of
// its messages is republished and acknowledged until no archive remains.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Clock;
using testsupport::MqttPeer;
using testsupport::OutboxRecord;
using testsupport::PeerMessage;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;

const std::string kData = "/kv/e2e/data";
constexpr int kMaxFileKb = 1;
constexpr int kMaxDirKb = 8;
constexpr int kOutageMessages = 48;

std::string Id(int seq) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "out-%03d", seq);
  return buf;
}

// Noise that gzip cannot shrink much, so that the archives fill the directory.
std::string Noise(std::mt19937& rng, size_t n) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<size_t> pick(0, sizeof(kChars) - 2);
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(kChars[pick(rng)]);
  return s;
}

// The receiving side: records every data message and acknowledges it at once while acking is on.
class Receiver {
 public:
  explicit Receiver(ServiceFixture& fx) : peer_(fx.NewPeer("receiver")) {
    peer_->SetHandler([this](const PeerMessage& m) { OnMessage(m); });
    EXPECT_TRUE(peer_->Subscribe(kData));
  }
  struct Seen {
    std::string id, payload;
    bool after_resume;
  };
  std::vector<Seen> seen() const {
    std::lock_guard lk(mu_);
    return seen_;
  }
  std::atomic<bool> acking{true};
  std::atomic<bool> resumed{false};

 private:
  void OnMessage(const PeerMessage& m) {
    const auto j = nlohmann::json::parse(m.payload, nullptr, false);
    if (!j.is_object() || !j.contains("msg_id") || !j.contains("timestamp")) return;
    const std::string id = j["msg_id"].get<std::string>();
    if (acking) {
      peer_->PublishAsync(kData + "/ack",
                          testsupport::AckPayload(j["timestamp"].get<int64_t>(), id));
    }
    std::lock_guard lk(mu_);
    seen_.push_back({id, m.payload, resumed.load()});
  }

  mutable std::mutex mu_;
  std::vector<Seen> seen_;
  std::unique_ptr<MqttPeer> peer_;
};

// Name of the archive in a "Cleanup: removed NAME (dir was X KB, limit L KB)" line.
struct Removal {
  std::string name;
  int dir_was_kb = 0;
  int limit_kb = 0;
};

std::vector<Removal> Removals(const std::vector<testsupport::LogLine>& lines) {
  static const std::regex kRemoved(
      R"(^Cleanup: removed (\S+) \(dir was (\d+) KB, limit (\d+) KB\)$)");
  std::vector<Removal> out;
  std::smatch m;
  for (const auto& l : lines) {
    if (std::regex_match(l.message, m, kRemoved)) {
      out.push_back({m[1], std::stoi(m[2]), std::stoi(m[3])});
    }
  }
  return out;
}

TEST(ArchiveCycleTest, OutageFillsArchivesWithinLimitAndRecoveryDeliversEveryOneLeft) {
  ServiceOptions options;
  options.storage = {{"max_file_kb", kMaxFileKb},
                     {"max_dir_kb", kMaxDirKb},
                     {"rotation_cooldown", 1},
                     {"compress", true}};
  options.resend = {{"cooldown", 1},
                    {"stale_threshold", 120},
                    // A fresh message is not republished while its own acknowledgement is on the
                    // way (the copy would come back after the flush and be captured again).
                    {"grace_period", 2},
                    {"live_ack_threshold", 5},
                    {"fast_ack_threshold", 3}};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  auto& pub = fx.control();
  Receiver rx(fx);
  std::mt19937 rng(20240601);

  // Normal operation: live messages are acknowledged and leave the outbox.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(pub.Publish(
        kData, testsupport::DataPayload(testsupport::UnixNow(), "pre-" + std::to_string(i))));
  }
  ASSERT_GE(fx.WaitLog(
                [](const testsupport::LogLine& l) {
                  return l.function == "handleAckMessage" &&
                         l.message.find(" msg_id=pre-2 ") != std::string::npos;
                },
                10s),
            0);
  ASSERT_TRUE(fx.WaitOutbox([](const auto& r) { return r.empty(); }, 10s))
      << fx.Outbox().size() << " records were not acknowledged";
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(fx.Outbox().empty()) << "acknowledged messages came back";
  ASSERT_TRUE(fx.Archives().empty());

  // Outage: nothing is acknowledged. Each message is published once the previous one has been
  // captured, so rotations stay well apart (archive names carry a one-second stamp).
  rx.acking = false;
  std::map<std::string, std::string> payloads;                  // id -> bytes published
  std::map<std::string, std::vector<std::string>> archive_ids;  // archive -> ids inside
  int64_t max_dir_bytes = 0;
  size_t max_archives = 0;
  auto scan = [&] {
    const std::vector<std::string> names = fx.Archives();
    max_archives = std::max(max_archives, names.size());
    max_dir_bytes = std::max(max_dir_bytes, fx.DirBytes());
    for (const std::string& n : names) {
      if (archive_ids.count(n) != 0) continue;
      std::string text;
      if (!testsupport::ReadGzip(fx.outbox_dir() + "/" + n, &text)) continue;  // just removed
      std::vector<std::string> ids;
      std::string tail;
      for (const OutboxRecord& r : testsupport::ParseOutbox(text, &tail)) {
        EXPECT_TRUE(r.valid) << n << ": " << r.line;
        ids.push_back(r.msg_id);
        EXPECT_EQ(r.payload, payloads[r.msg_id]) << n;
      }
      EXPECT_TRUE(tail.empty()) << n << " ends in a partial line";
      archive_ids[n] = ids;
    }
  };
  size_t cursor = fx.ready_index();
  for (int seq = 0; seq < kOutageMessages; ++seq) {
    const std::string id = Id(seq);
    payloads[id] = testsupport::DataPayload(
        testsupport::UnixNow(), id,
        "\"seq\":" + std::to_string(seq) + ",\"noise\":\"" + Noise(rng, 180) + "\"");
    ASSERT_TRUE(pub.Publish(kData, payloads[id]));
    const int at = fx.WaitLog(
        [&](const testsupport::LogLine& l) {
          return l.message.rfind("Captured: ", 0) == 0 &&
                 l.message.find(" msg_id=" + id + " ") != std::string::npos;
        },
        10s, cursor);
    ASSERT_GE(at, 0) << id << " not captured";
    cursor = static_cast<size_t>(at) + 1;
    scan();
    std::this_thread::sleep_for(80ms);
  }
  // Let a maintenance pass run on the final state.
  const int pass = fx.WaitLogStartsWith("Maintenance: ", 5s, cursor);
  ASSERT_GE(pass, 0);
  scan();

  const std::vector<std::string> active_ids = [&] {
    std::vector<std::string> ids;
    for (const auto& r : fx.Outbox()) ids.push_back(r.msg_id);
    return ids;
  }();
  auto lines = fx.Log();

  // Rotation: each archive has a stamped name and was announced once.
  static const std::regex kName(R"(^outbox\.\d{4}-\d{2}-\d{2}_\d{6}(_\d+)?\.jsonl\.gz$)");
  for (const auto& [name, ids] : archive_ids) EXPECT_TRUE(std::regex_match(name, kName)) << name;
  const auto rotated = testsupport::MessagesStartingWith(lines, "Rotated+compressed: ");
  EXPECT_EQ(rotated.size(), archive_ids.size());
  for (const auto& [name, ids] : archive_ids) {
    const std::string prefix = "Rotated+compressed: " + fx.outbox_dir() + "/" + name + " (";
    EXPECT_EQ(std::count_if(rotated.begin(), rotated.end(),
                            [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }),
              1)
        << name;
  }
  // Together, the archives (oldest first) and the active file hold every message once, in order.
  std::vector<std::string> all;
  for (const auto& [name, ids] : archive_ids) all.insert(all.end(), ids.begin(), ids.end());
  all.insert(all.end(), active_ids.begin(), active_ids.end());
  std::vector<std::string> published;
  for (int seq = 0; seq < kOutageMessages; ++seq) published.push_back(Id(seq));
  EXPECT_EQ(all, published);

  // Clean-up: archives piled up past the limit, the oldest went, the directory stayed near it.
  const std::vector<Removal> removals = Removals(lines);
  ASSERT_FALSE(removals.empty()) << "no archive was ever removed; max " << max_archives;
  std::vector<std::string> oldest;
  for (const auto& [name, ids] : archive_ids) oldest.push_back(name);
  oldest.resize(std::min(oldest.size(), removals.size()));
  for (size_t i = 0; i < removals.size(); ++i) {
    EXPECT_EQ(removals[i].name, oldest[i]) << "removals must take the oldest archives first";
    EXPECT_GT(removals[i].dir_was_kb, kMaxDirKb);
    EXPECT_EQ(removals[i].limit_kb, kMaxDirKb);
    EXPECT_FALSE(testsupport::FileExists(fx.outbox_dir() + "/" + removals[i].name));
  }
  EXPECT_GE(max_archives, 5u);
  EXPECT_LE(max_dir_bytes, (kMaxDirKb + 4) * 1024) << "directory grew far past its limit";
  EXPECT_LE(fx.DirBytes() / 1024, kMaxDirKb + kMaxFileKb + 1);
  const std::vector<std::string> surviving = fx.Archives();
  ASSERT_FALSE(surviving.empty());
  for (const auto& name : surviving) ASSERT_EQ(archive_ids.count(name), 1u) << name;

  // What clean-up took is given up. It may still take an archive while the restores are under way
  // (a restored archive needs more room than its compressed form), so this is asked again later.
  std::set<std::string> unknown_removals;
  auto given_up = [&](const std::vector<testsupport::LogLine>& log) {
    std::set<std::string> ids;
    for (const Removal& r : Removals(log)) {
      if (archive_ids.count(r.name) == 0) unknown_removals.insert(r.name);
      for (const auto& id : archive_ids[r.name]) ids.insert(id);
    }
    return ids;
  };
  auto expected_back = [&](const std::set<std::string>& gone) {
    std::set<std::string> ids;
    for (const auto& id : published) {
      if (gone.count(id) == 0) ids.insert(id);
    }
    return ids;
  };

  // Recovery: acknowledgements resume; live traffic keeps (re)starting the resend chain.
  rx.resumed = true;
  rx.acking = true;
  const size_t recovery_from = lines.size();
  auto delivered = [&] {
    std::set<std::string> ids;
    for (const auto& s : rx.seen()) {
      if (s.after_resume) ids.insert(s.id);
    }
    return ids;
  };
  int live = 0;
  const bool drained = testsupport::WaitFor(
      [&] {
        EXPECT_TRUE(pub.PublishAsync(
            kData,
            testsupport::DataPayload(testsupport::UnixNow(), "live-" + std::to_string(++live))));
        std::this_thread::sleep_for(700ms);
        const std::set<std::string> got = delivered();
        const std::set<std::string> expected = expected_back(given_up(fx.Log()));
        const bool all_back =
            std::includes(got.begin(), got.end(), expected.begin(), expected.end());
        bool outage_left = false;
        for (const auto& r : fx.Outbox()) outage_left |= r.msg_id.rfind("out-", 0) == 0;
        return all_back && !outage_left && fx.Archives().empty();
      },
      60s);
  lines = fx.Log();
  const std::set<std::string> removed_ids = given_up(lines);
  const std::set<std::string> expected = expected_back(removed_ids);
  const std::set<std::string> got = delivered();
  std::vector<std::string> missing;
  std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(),
                      std::back_inserter(missing));
  EXPECT_TRUE(drained) << "archives left: " << ::testing::PrintToString(fx.Archives())
                       << "; not redelivered: " << ::testing::PrintToString(missing);
  EXPECT_TRUE(unknown_removals.empty())
      << "removed archives never seen: " << ::testing::PrintToString(unknown_removals);

  // Restores: the surviving archives that clean-up left alone, oldest first, each announced with
  // its message count.
  std::vector<std::string> to_restore;
  std::set<std::string> removed_later;
  for (const Removal& r : Removals(std::vector<testsupport::LogLine>(
           lines.begin() + static_cast<long>(recovery_from), lines.end()))) {
    removed_later.insert(r.name);
  }
  for (const auto& name : surviving) {
    if (removed_later.count(name) == 0) to_restore.push_back(name);
  }
  const auto restoring =
      testsupport::MessagesStartingWith(lines, "Restoring archive: ", recovery_from);
  ASSERT_GE(restoring.size(), to_restore.size());
  for (size_t i = 0; i < to_restore.size(); ++i) {
    EXPECT_EQ(restoring[i], "Restoring archive: " + to_restore[i]);
    const std::string restored = "Restored " + to_restore[i] + ": " +
                                 std::to_string(archive_ids[to_restore[i]].size()) +
                                 " messages, rotation deferred until 10% acked";
    EXPECT_FALSE(testsupport::MessagesStartingWith(lines, restored, recovery_from).empty())
        << restored;
  }

  // Republished: original bytes, archived messages in archive order, nothing that was removed.
  std::vector<int> first_seen_order;
  std::set<std::string> firsts;
  std::set<std::string> archived;
  for (const auto& name : to_restore) {
    for (const auto& id : archive_ids[name]) archived.insert(id);
  }
  for (const auto& s : rx.seen()) {
    if (!s.after_resume || s.id.rfind("out-", 0) != 0) continue;
    EXPECT_EQ(s.payload, payloads[s.id]) << s.id;
    EXPECT_EQ(removed_ids.count(s.id), 0u) << s.id << " came back from a removed archive";
    if (archived.count(s.id) != 0 && firsts.insert(s.id).second) {
      first_seen_order.push_back(std::stoi(s.id.substr(4)));
    }
  }
  EXPECT_TRUE(std::is_sorted(first_seen_order.begin(), first_seen_order.end()))
      << ::testing::PrintToString(first_seen_order);

  // Finally nothing is left to deliver.
  ASSERT_GE(fx.WaitLogStartsWith("Maintenance: ", 5s, lines.size()), 0);
  const auto stats = testsupport::MessagesStartingWith(fx.Log(), "Maintenance: ", lines.size());
  ASSERT_FALSE(stats.empty());
  EXPECT_NE(stats.back().find("rotated=0"), std::string::npos) << stats.back();
  testsupport::ReportFigure("archives_removed", "archives removed by clean-up",
                            std::to_string(Removals(lines).size()));
  testsupport::ReportFigure("archives_restored", "archives restored after the outage",
                            std::to_string(restoring.size()));
}

}  // namespace
