// Rotation, compression, clean-up, restore and statistics on real files in a fresh directory; time
// is moved and failures are injected through FaultEnv.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "fault_env.h"
#include "outbox_store.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using testsupport::FaultEnv;
using testsupport::FaultOp;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::WriteFile;
using Inject = std::function<void(FaultEnv&)>;

constexpr char kStamp[] = "outbox.2024-03-05_141502";  // the fake clock's second, in UTC

std::string Rec(int64_t ts, size_t pad = 0) {
  return fmt::format(R"({{"msg_id":"m{}","payload":"{}","topic":"t","ts":{}}})", ts,
                     std::string(pad, 'A'), ts) +
         "\n";
}
std::string Recs(int64_t first, int n) {
  std::string s;
  for (int64_t i = first; i < first + n; ++i) s += Rec(i);
  return s;
}
// Records that add up to exactly `bytes`.
std::string Sized(size_t bytes, int64_t ts = 1) {
  std::string s;
  while (bytes - s.size() >= 2 * Rec(ts, 60).size()) s += Rec(ts++, 60);
  return s + Rec(ts, bytes - s.size() - Rec(ts).size());
}
std::string Noise(size_t n, char base = 0, int span = 256) {
  std::mt19937 rng(7);
  std::string s;
  while (s.size() < n) s += static_cast<char>(base + static_cast<int>(rng() % span));
  return s;
}
// Written by zlib's own gz file API, independent of the code under test.
void WriteGz(const std::string& path, const std::string& content) {
  gzFile f = gzopen(path.c_str(), "wb6");
  ASSERT_EQ(gzwrite(f, content.data(), static_cast<unsigned>(content.size())),
            static_cast<int>(content.size()));
  ASSERT_EQ(gzclose(f), Z_OK);
}
std::string Zcat(const std::string& path) {
  std::string out;
  FILE* p = popen(("/bin/zcat '" + path + "'").c_str(), "r");
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0);
  return out;
}

class RotationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    env_.SetSystemNow(std::chrono::system_clock::from_time_t(1709648102));
    env_.SetSteadyNow(Env::SteadyTime(std::chrono::hours(1000)));
  }
  // Starts over in an empty directory (for table cases).
  void NewDir() {
    store_.reset();
    dir_ = std::make_unique<testsupport::TempDir>();
  }
  OutboxStore& Open(bool compress = true, int32_t max_file_kb = 1, bool sync = false,
                    int32_t max_dir_kb = 1 << 20) {
    OutboxStoreConfig c{dir_->path(), compress, max_file_kb, max_dir_kb, 60, 100000, sync};
    store_.reset();
    store_ = std::make_unique<OutboxStore>(c, &env_);
    return *store_;
  }
  std::string F(const std::string& name) const { return dir_->file(name); }
  std::string Active() const { return F("outbox.jsonl"); }
  std::vector<std::string> Archives() { return listRotated(&env_, dir_->path()); }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    env_.GetChildren(dir_->path(), &names);
    std::sort(names.begin(), names.end());
    return names;
  }
  void AckAll() {
    for (const AckKey& k : std::set<AckKey>(store_->known()))
      store_->ackMessage(k.timestamp, k.msg_id);
  }

  std::unique_ptr<testsupport::TempDir> dir_ = std::make_unique<testsupport::TempDir>();
  FaultEnv env_;
  P7::ScopedCapture log_;
  std::unique_ptr<OutboxStore> store_;
};

TEST_F(RotationTest, CopiesAreStandardGzipAndRoundTrip) {
  OutboxStore& s = Open();
  for (const std::string& content : {std::string(), Sized(8192), Sized(300000), Noise(70000)}) {
    WriteFile(F("src"), content);
    ASSERT_TRUE(s.compressFile(F("src"), F("a.gz")));
    EXPECT_EQ(ReadFile(F("src")), content);
    EXPECT_EQ(Zcat(F("a.gz")), content);
    ASSERT_TRUE(s.decompressFile(F("a.gz"), F("back")));
    EXPECT_EQ(ReadFile(F("back")), content);
  }
  // Concatenated members are read like zcat does; data after the last member is ignored.
  WriteGz(F("1.gz"), Recs(1, 50));
  WriteGz(F("2.gz"), Recs(51, 50));
  WriteFile(F("both.gz"), ReadFile(F("1.gz")) + ReadFile(F("2.gz")) + "trailer");
  ASSERT_TRUE(s.decompressFile(F("both.gz"), F("back")));
  EXPECT_EQ(ReadFile(F("back")), Recs(1, 100));
}

TEST_F(RotationTest, EveryCopyFailureIsReportedAndLeavesNoTarget) {
  struct Case {
    bool compress;
    Inject inject;
    std::string log;
  };
  const std::vector<Case> cases = {
      {true, [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 3000); }, "gzwrite failed for"},
      {true, [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 0); }, "No space left on device"},
      {true, [](FaultEnv& e) { e.Fail(FaultOp::kClose, "*.tmp", EIO); }, "Input/output error"},
      {true, [](FaultEnv& e) { e.FailReadAfter("*/src", 20000); }, "Read error on"},
      {true, [](FaultEnv& e) { e.Fail(FaultOp::kOpenRead, "*/src", EACCES); }, "Cannot read"},
      {true, [](FaultEnv& e) { e.Fail(FaultOp::kRename, "*/out", EACCES); }, "Cannot rename"},
      {false, [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 5000); }, "No space left on device"},
      {false, [](FaultEnv& e) { e.Fail(FaultOp::kClose, "*.tmp", EIO); }, "Input/output error"},
      {false, [](FaultEnv&) {}, "gzread error for"},  // truncated stream
  };
  OutboxStore& s = Open();
  const std::string big = Noise(100000);  // incompressible: written out while still reading
  WriteGz(F("in.gz"), big);
  const std::string gz = ReadFile(F("in.gz"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    WriteFile(F("src"), c.log == "No space left on device" ? Recs(1, 20) : big);
    WriteFile(F("in.gz"), c.log == "gzread error for" ? gz.substr(0, gz.size() / 2) : gz);
    c.inject(env_);
    log_.clear();
    EXPECT_FALSE(c.compress ? s.compressFile(F("src"), F("out"))
                            : s.decompressFile(F("in.gz"), F("out")));
    env_.Clear();
    EXPECT_TRUE(log_.contains(c.log, P7::kError));
    EXPECT_FALSE(FileExists(F("out")));
    EXPECT_FALSE(FileExists(F("out.tmp")));
  }
}

TEST_F(RotationTest, ListingKeepsArchivesOnlySortedBytewise) {
  for (const char* n : {"outbox.b_2.jsonl", "outbox.b_10.jsonl", "outbox.jsonl", "outbox.jsonl.tmp",
                        "outbox.a.jsonl.gz.tmp", "outbox.txt", "xoutbox.a.jsonl", "outbox.jsonl.gz",
                        "outbox.b.jsonl.gz", "outbox.b.jsonl"}) {
    WriteFile(F(n), "x");
  }
  EXPECT_EQ(Archives(),
            (std::vector<std::string>{"outbox.b.jsonl", "outbox.b.jsonl.gz", "outbox.b_10.jsonl",
                                      "outbox.b_2.jsonl", "outbox.jsonl.gz"}));
  EXPECT_TRUE(listRotated(&env_, F("missing")).empty());
}

TEST_F(RotationTest, NewNameSortsAfterEveryArchiveOfTheSameSecond) {
  const std::string S = kStamp;
  const std::vector<std::tuple<bool, std::vector<std::string>, std::string>> cases = {
      {true, {}, S + ".jsonl.gz"},
      {false, {}, S + ".jsonl"},
      {true, {S + ".jsonl.gz", S + "_1.jsonl.gz"}, S + "_2.jsonl.gz"},
      {true, {S + "_2.jsonl.gz"}, S + "_3.jsonl.gz"},  // older ones restored already
      {false, {S + ".jsonl", S + "_4.jsonl"}, S + "_5.jsonl"},
      {true, {S + ".jsonl", "outbox.2024-03-05_141501_7.jsonl.gz"}, S + ".jsonl.gz"},
  };
  for (const auto& [compress, existing, expected] : cases) {
    NewDir();
    WriteFile(Active(), "x\n");  // not empty: no start-up restore
    for (const std::string& n : existing) WriteFile(F(n), "x");
    EXPECT_EQ(Open(compress).makeRotatedName(), F(expected));
  }
  // Two rotations in one second, the first archive restored in between: the third one still
  // comes last.
  NewDir();
  OutboxStore& s = Open(/*compress=*/false);
  for (int i = 0; i < 3; ++i) {
    WriteFile(Active(), Sized(2048, 100 * i));  // 2x: rotates even while a restore is held
    s.rotateIfNeeded();
    if (i == 1) {
      EXPECT_TRUE(s.restoreNextArchive());
    }
    env_.AdvanceSteady(std::chrono::seconds(60));
  }
  EXPECT_EQ(Archives(), (std::vector<std::string>{S + "_1.jsonl", S + "_2.jsonl"}));
  EXPECT_EQ(ReadFile(F(S + "_1.jsonl")), Sized(2048, 100));
}

TEST_F(RotationTest, RotatesAtExactlyTheLimit) {
  for (bool compress : {true, false}) {
    NewDir();
    WriteFile(Active(), Sized(2047));
    OutboxStore& s = Open(compress, 2);
    s.rotateIfNeeded();
    EXPECT_TRUE(Archives().empty());

    WriteFile(Active(), Sized(2048));
    s.rebuildIndex();
    log_.clear();
    env_.ResetCounts();
    s.rotateIfNeeded();
    const std::string archive = F(std::string(kStamp) + (compress ? ".jsonl.gz" : ".jsonl"));
    EXPECT_EQ(env_.Count(FaultOp::kOpenWrite, "*.jsonl.gz"), 0);  // only complete archive names
    EXPECT_EQ(log_.count(fmt::format("{}: {} (2 KB)", compress ? "Rotated+compressed" : "Rotated",
                                     archive),
                         P7::kInfo),
              1);
    EXPECT_EQ(compress ? Zcat(archive) : ReadFile(archive), Sized(2048));
    EXPECT_EQ(Entries().size(), compress ? 2u : 1u);  // compressed: emptied; plain: moved
    EXPECT_EQ(compress ? ReadFile(Active()) : "", "");
    EXPECT_TRUE(s.known().empty());
    EXPECT_TRUE(s.store(reinterpret_cast<const uint8_t*>("p"), 1, 1, "m1", "t"));
  }
}

TEST_F(RotationTest, RestoredArchiveHoldsRotationUntilTwiceTheLimit) {
  WriteFile(F("outbox.a.jsonl"), Recs(1, 5));
  OutboxStore& s = Open(/*compress=*/false);
  ASSERT_TRUE(s.restoredActive());
  WriteFile(Active(), Sized(4096));
  env_.ResetCounts();
  s.rotateIfNeeded();  // within the cooldown after the restore
  EXPECT_EQ(env_.CountAll(), 0);
  env_.AdvanceSteady(std::chrono::seconds(60));
  const std::string deferred =
      "Rotation deferred: restored archive progress 0/5 (file 1 KB, emergency at 2 KB)";
  for (const auto& [size, message] : std::vector<std::pair<size_t, std::string>>{
           {1023, ""},
           {1024, deferred},
           {2047, deferred},
           {2048, "Emergency rotation: file 2 KB >= 2x limit 1 KB, restored progress only 0/5"}}) {
    WriteFile(Active(), Sized(size, 100));
    log_.clear();
    s.rotateIfNeeded();
    EXPECT_TRUE(message.empty() ? log_.records().empty() : log_.count(message) == 1) << size;
    EXPECT_EQ(Archives().size(), size < 2048 ? 0u : 1u);
  }
  EXPECT_FALSE(s.restoredActive());
}

TEST_F(RotationTest, FailedRotationKeepsTheFileAndWaitsForTheCooldown) {
  const std::vector<std::tuple<bool, Inject, std::string>> cases = {
      {false, [](FaultEnv& e) { e.Fail(FaultOp::kRename, "*/outbox.jsonl", EACCES); },
       "Rotate rename failed: Permission denied"},
      {true, [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 0); },
       "Compression failed, rotation aborted"},
      {true, [](FaultEnv& e) { e.Fail(FaultOp::kTruncate, "*/outbox.jsonl", EIO); },
       "Failed to truncate active file after compression"},
      // with sync, an archive that cannot be forced out is not committed
      {true, [](FaultEnv& e) { e.Fail(FaultOp::kSync, "*.tmp", EIO); },
       "Compression failed, rotation aborted"},
  };
  for (const auto& [compress, inject, error] : cases) {
    SCOPED_TRACE(error);
    NewDir();
    WriteFile(Active(), Sized(1500));
    OutboxStore& s = Open(compress, 1, /*sync=*/true);
    const size_t indexed = s.known().size();
    inject(env_);
    log_.clear();
    s.rotateIfNeeded();
    env_.Clear();
    EXPECT_EQ(log_.count(error, P7::kError), 1);
    EXPECT_EQ(log_.count("Rotation failed, cooldown 60s before retry", P7::kWarning), 1);
    EXPECT_EQ(ReadFile(Active()), Sized(1500));
    EXPECT_EQ(s.known().size(), indexed);
    EXPECT_EQ(Entries(), std::vector<std::string>{"outbox.jsonl"});  // no archive, no temp

    env_.ResetCounts();
    env_.AdvanceSteady(std::chrono::seconds(59));
    s.rotateIfNeeded();
    EXPECT_EQ(env_.CountAll(), 0);
    env_.AdvanceSteady(std::chrono::seconds(1));
    s.rotateIfNeeded();
    EXPECT_EQ(Archives().size(), 1u);
    EXPECT_GE(env_.Count(FaultOp::kSyncDir), 1);
  }
}

TEST_F(RotationTest, CleanupDeletesOldestUntilWithinLimit) {
  WriteFile(Active(), std::string(1024, 'x'));
  for (const char* n : {"outbox.3.jsonl", "outbox.1.jsonl.gz", "outbox.2.jsonl"}) {
    WriteFile(F(n), std::string(2048, 'x'));
  }
  OutboxStore& s = Open(true, 1, false, /*max_dir_kb=*/5);
  env_.Fail(FaultOp::kRemove, "*/outbox.1.jsonl.gz", EACCES);
  log_.clear();
  s.cleanupRotated();  // 7 KB: 1 cannot go, 2 goes (5 KB), 3 stays
  EXPECT_EQ(log_.count("Cleanup: failed to remove " + F("outbox.1.jsonl.gz"), P7::kWarning), 1);
  EXPECT_EQ(log_.count("Cleanup: removed outbox.2.jsonl (dir was 7 KB, limit 5 KB)", P7::kInfo), 1);
  EXPECT_EQ(Archives(), (std::vector<std::string>{"outbox.1.jsonl.gz", "outbox.3.jsonl"}));
  log_.clear();
  s.cleanupRotated();
  EXPECT_TRUE(log_.records().empty());
  env_.Clear();
  WriteFile(Active(), std::string(20000, 'x'));
  s.cleanupRotated();  // every archive goes, the active file never does
  EXPECT_EQ(Entries(), std::vector<std::string>{"outbox.jsonl"});
}

TEST_F(RotationTest, RestoresOldestFirstAndChainsAsFlushesEmptyTheFile) {
  WriteGz(F("outbox.2024-01-01_000000.jsonl.gz"), Recs(1, 25));
  WriteFile(F("outbox.2024-01-02_000000.jsonl"), Recs(30, 4));
  WriteGz(F("outbox.2024-01-02_000000_1.jsonl.gz"), Recs(40, 2));
  OutboxStore& s = Open();
  EXPECT_EQ(log_.count("Restoring archive: outbox.2024-01-01_000000.jsonl.gz", P7::kInfo), 1);
  EXPECT_EQ(log_.count("Restored outbox.2024-01-01_000000.jsonl.gz: 25 messages, rotation "
                       "deferred until 10% acked"),
            1);
  EXPECT_EQ(log_.count("OutboxStore ready: " + dir_->path() + " (index: 25 entries)"), 1);
  EXPECT_EQ(log_.count("  2 rotated archives pending delivery", P7::kInfo), 1);
  EXPECT_EQ(s.rotationAllowedAt(), env_.SteadyNow() + std::chrono::seconds(60));
  EXPECT_EQ(ReadFile(Active()), Recs(1, 25));
  // The hold lifts at a tenth (25 / 10 = 2), at least one.
  s.ackMessage(1, "m1");
  s.flushAcks();
  EXPECT_EQ(log_.count("Restored archive progress: 1/25 acked (need 2 to unlock)", P7::kDebug), 1);
  EXPECT_TRUE(s.restoredActive());
  for (const auto& [content, n] : {std::pair{Recs(30, 4), 4}, std::pair{Recs(40, 2), 2}}) {
    AckAll();
    s.flushAcks();
    EXPECT_EQ(log_.count(fmt::format("Next archive restored, {} pending", n), P7::kInfo), 1);
    EXPECT_EQ(ReadFile(Active()), content);
    EXPECT_EQ(s.restoredTotal(), n);
  }
  EXPECT_EQ(log_.count("Restored archive progress: 25/25 acked (>= 2 threshold), rotation unlocked",
                       P7::kInfo),
            1);
  EXPECT_EQ(log_.count("Restored archive progress: 4/4 acked (>= 1 threshold), rotation unlocked"),
            1);
  EXPECT_TRUE(Archives().empty());  // the plain one was moved, the compressed ones deleted
  AckAll();
  s.flushAcks();
  EXPECT_EQ(log_.count("No archives remaining", P7::kDebug), 1);
  EXPECT_EQ(ReadFile(Active()), "");
  EXPECT_FALSE(s.restoredActive());
}

TEST_F(RotationTest, ArchiveIsKeptWhenTheRestoreFailsOnOurSide) {
  const std::vector<std::tuple<std::string, Inject, std::string>> cases = {
      {"outbox.a.jsonl.gz", [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 100); },
       "No space left on device"},
      {"outbox.a.jsonl.gz", [](FaultEnv& e) { e.Fail(FaultOp::kRename, "*.tmp", EIO); },
       "Input/output error"},
      {"outbox.a.jsonl.gz", [](FaultEnv& e) { e.FailReadAfter("*.gz", 100); },
       "Input/output error"},  // an I/O error is no proof that the archive is lost
      {"outbox.a.jsonl", [](FaultEnv& e) { e.Fail(FaultOp::kRename, "*/outbox.a.jsonl", EACCES); },
       "Permission denied"},
  };
  for (const auto& [name, inject, reason] : cases) {
    NewDir();
    name.ends_with(".gz") ? WriteGz(F(name), Recs(1, 50)) : WriteFile(F(name), Recs(1, 50));
    inject(env_);
    log_.clear();
    OutboxStore& s = Open();  // the start-up restore fails
    env_.Clear();
    EXPECT_EQ(log_.count(fmt::format("Failed to restore {}, keeping it for a later attempt: {}",
                                     name, reason),
                         P7::kError),
              1);
    EXPECT_EQ(Entries(), std::vector<std::string>{name});
    EXPECT_FALSE(s.restoredActive());
    ASSERT_TRUE(s.restoreNextArchive());  // the next attempt succeeds
    EXPECT_EQ(Entries(), std::vector<std::string>{"outbox.jsonl"});
    EXPECT_EQ(ReadFile(Active()), Recs(1, 50));
  }
}

TEST_F(RotationTest, DamagedArchiveGivesUpOnlyItsIncompleteTail) {
  WriteGz(F("full.gz"), Recs(1, 2000));
  const std::string gz = ReadFile(F("full.gz"));
  std::string bad_crc = gz;
  bad_crc[gz.size() - 6] ^= 0x01;
  WriteGz(F("long.gz"), Noise(40000, 'A', 26));  // one line, cut in its middle
  const std::string long_gz = ReadFile(F("long.gz"));
  for (const auto& [bytes, saved] :
       std::vector<std::pair<std::string, bool>>{{gz.substr(0, gz.size() / 2), true},
                                                 {bad_crc, true},
                                                 {gz.substr(0, 12), false},
                                                 {long_gz.substr(0, long_gz.size() / 2), false}}) {
    NewDir();
    WriteFile(F("outbox.a.jsonl.gz"), bytes);
    log_.clear();
    OutboxStore& s = Open();
    EXPECT_FALSE(FileExists(F("outbox.a.jsonl.gz")));
    EXPECT_EQ(s.restoredActive(), saved);
    if (!saved) {
      EXPECT_EQ(log_.count("Failed to restore outbox.a.jsonl.gz, removing it", P7::kError), 1);
      EXPECT_FALSE(FileExists(Active()));
      continue;
    }
    const std::string restored = ReadFile(Active());
    const auto n = std::count(restored.begin(), restored.end(), '\n');
    ASSERT_GT(n, 0);
    EXPECT_EQ(restored, Recs(1, static_cast<int>(n)));  // complete lines only
    EXPECT_EQ(s.known().size(), static_cast<size_t>(n));
    EXPECT_TRUE(log_.contains(fmt::format("restored its first {} complete lines", n), P7::kError));
  }
}

TEST_F(RotationTest, StartupRemovesStaleArchiveTempsAndLeavesBrokenActiveFileAlone) {
  WriteFile(F("outbox.2024-01-01_000000.jsonl.gz.tmp"), "half");
  WriteFile(F("unrelated.tmp"), "x");
  WriteFile(Active(), "not json\n");
  WriteGz(F("outbox.a.jsonl.gz"), Recs(1, 2));
  Open();
  EXPECT_EQ(log_.count("Removed stale temp file: " + F("outbox.2024-01-01_000000.jsonl.gz.tmp"),
                       P7::kWarning),
            1);
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{"outbox.a.jsonl.gz", "outbox.jsonl", "unrelated.tmp"}));
  EXPECT_EQ(ReadFile(Active()), "not json\n");
}

TEST_F(RotationTest, StatsReportCountsAndSizes) {
  OutboxStore& s = Open();
  EXPECT_EQ(s.statsString(),
            "pending=0, ack_queue=0, known=0, discarded=0, file_kb=0, dir_kb=0, rotated=0");
  WriteFile(Active(), Sized(1023));
  EXPECT_EQ(s.stats().file_kb, 0);
  WriteFile(Active(), Sized(2048) + "broken\n");
  s.rebuildIndex();
  const auto n = static_cast<int32_t>(s.known().size());
  WriteFile(F("outbox.a.jsonl"), std::string(1000, 'x'));
  WriteFile(F("outbox.b.jsonl.gz"), std::string(1000, 'x'));
  s.ackMessage(1, "m1");
  s.ackMessage(99999, "absent");
  s.flushAcks();  // drops m1 and the broken line
  s.ackMessage(2, "m2");
  const size_t active = ReadFile(Active()).size();
  EXPECT_EQ(s.statsString(), fmt::format("pending={}, ack_queue=1, known={}, discarded=1, "
                                         "file_kb={}, dir_kb={}, rotated=2",
                                         n - 2, n - 1, active / 1024, (active + 2000) / 1024));
}

}  // namespace
}  // namespace kestova
