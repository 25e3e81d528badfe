// OutboxStore on real files in a fresh directory, failures and time injected through FaultEnv.
#include "outbox_store.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <functional>

#include "archive_name.h"
#include "fault_env.h"
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
using Names = std::vector<std::string>;

Inject Fails(FaultOp op, const char* pattern, int err = EIO) {
  return [=](FaultEnv& e) { e.Fail(op, pattern, err); };
}
Inject WritesFail(const char* pattern, uint64_t after) {
  return [=](FaultEnv& e) { e.FailWriteAfter(pattern, after); };
}
Inject ReadsFail(const char* pattern, uint64_t after) {
  return [=](FaultEnv& e) { e.FailReadAfter(pattern, after); };
}

// A record line as the store writes it; Put(ts) stores Rec(ts).
std::string Rec(int64_t ts, const std::string& payload_b64 = "AAAA") {
  return fmt::format("{{\"msg_id\":\"m{}\",\"payload\":\"{}\",\"topic\":\"t\",\"ts\":{}}}\n", ts,
                     payload_b64, ts);
}
std::string Recs(int64_t first, int n) {
  std::string s;
  for (int64_t i = first; i < first + n; ++i) s += Rec(i);
  return s;
}
// Two records that add up to exactly `bytes`; the first (m1) is 108 bytes long.
std::string Sized(size_t bytes) {
  const std::string first = Rec(1, std::string(60, 'A'));
  return first + Rec(2, std::string(bytes - first.size() - Rec(2, "").size(), 'A'));
}
// Written by zlib's gz file API, independent of the code under test.
void WriteGz(const std::string& path, const std::string& content) {
  gzFile f = gzopen(path.c_str(), "wb6");
  gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
  ASSERT_EQ(gzclose(f), Z_OK);
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() {
    setenv("TZ", "UTC", 1);
    tzset();
    env_.SetSystemNow(std::chrono::system_clock::from_time_t(1709648102));  // 2024-03-05 14:15:02
    env_.SetSteadyNow(Env::SteadyTime(std::chrono::hours(1000)));
    NewDir();
  }
  // Starts over in an empty outbox directory (for table cases).
  void NewDir() {
    store_.reset();
    tmp_ = std::make_unique<testsupport::TempDir>();
    cfg_.dir = tmp_->file("outbox");
    std::filesystem::create_directory(cfg_.dir);
  }
  // A new store over the directory: a restart (index rebuild, start-up restore).
  OutboxStore& Open() {
    store_.reset();
    store_ = std::make_unique<OutboxStore>(cfg_, &env_);
    return *store_;
  }
  std::string F(const std::string& name) const { return cfg_.dir + "/" + name; }
  std::string Active() const { return F("outbox.jsonl"); }
  std::string Content() const { return ReadFile(Active()); }
  Names Archives() { return listRotated(&env_, cfg_.dir); }
  OutboxStore::Snapshot Snap() const { return store_->snapshot(); }
  std::string Next() {  // msg_id of the first pending message
    const std::vector<PendingMessage> p = store_->getPending(1);
    return p.empty() ? "" : p[0].msg_id;
  }
  bool Put(int64_t ts) {
    const uint8_t zeros[3] = {};  // "AAAA" in Base64
    last_ = store_->store(zeros, 3, ts, fmt::format("m{}", ts), "t");
    return last_.stored();
  }
  void AckAll() {
    for (const AckKey& k : Snap().known) store_->ackMessage(k.timestamp, k.msg_id);
  }

  std::unique_ptr<testsupport::TempDir> tmp_;
  OutboxStoreConfig cfg_{"", false, /*max_file_kb=*/1, 1 << 20, /*cooldown=*/60, 100000, false};
  FaultEnv env_;
  P7::ScopedCapture log_;
  std::unique_ptr<OutboxStore> store_;
  StoreResult last_;  // of the last Put
};

// A key is stored once (again after its ACK is flushed), the index keeps the max_index largest.
TEST_F(StoreTest, StoreSkipsKnownAndAckedKeysAndEvictsTheSmallest) {
  cfg_.max_index = 2;
  OutboxStore& s = Open();
  last_ = s.store(nullptr, 0, 1, "bad\xff", "t");
  EXPECT_EQ(last_.kind, StoreResult::Kind::kRejected);
  s.ackMessage(7, "m7");
  using K = StoreResult::Kind;
  std::vector<K> kinds;
  for (int64_t ts : {20, 20, 7, 30, 10}) kinds.push_back((Put(ts), last_.kind));
  EXPECT_EQ(kinds,
            (std::vector{K::kStored, K::kDuplicate, K::kAlreadyAcked, K::kStored, K::kStored}));
  EXPECT_EQ(Snap().known, (std::set<AckKey>{{20, "m20"}, {30, "m30"}}));  // 10: evicted at once
  s.ackMessage(20, "m20");
  EXPECT_EQ(s.pendingCount(), 1);
  EXPECT_EQ(s.flushAcks(), 1);
  EXPECT_TRUE(Put(20) && Put(7));
  EXPECT_EQ(Content(), Rec(30) + Rec(10) + Rec(20) + Rec(7));
}

// Readers skip what they cannot use; a flush drops acknowledged and broken lines, byte for byte.
TEST_F(StoreTest, ReadersSkipBrokenLinesAndFlushKeepsTheRestExactly) {
  const std::string keep1 = "{ \"ts\":1, \"msg_id\":\"m1\" ,\"topic\":\"t\",\"payload\":\"\"}\r\n";
  const std::string no_topic = "{\"ts\":6,\"msg_id\":\"m6\",\"payload\":\"\"}\n";
  WriteFile(Active(), keep1 + "\n" + Rec(2) + std::string(200, 'z') + "\n" + no_topic + Rec(2) +
                          "{\"ts\":4,\"msg_id\":\"m4\"}" + std::string(1, '\0') + "x\n" +
                          Rec(3).substr(0, Rec(3).size() - 1));  // unterminated
  WriteFile(Active() + ".tmp", "half");                          // a flush cut short by a crash
  OutboxStore& s = Open();
  EXPECT_FALSE(FileExists(Active() + ".tmp"));
  EXPECT_EQ(log_.count("Index rebuild: 5 valid, 2 broken lines", P7::kWarning), 1);
  s.ackMessage(2, "m2");
  EXPECT_EQ(s.flushAcks(), 4);  // both lines of m2, the 'z' line and the zero-byte line
  EXPECT_EQ(Content(), keep1 + no_topic + Rec(3));
  EXPECT_EQ(Snap().discarded, 2);
  EXPECT_EQ(log_.count("Discarding broken line: " + std::string(80, 'z'), P7::kWarning), 1);
  env_.ResetCounts();
  EXPECT_EQ(s.flushAcks(), 0);  // nothing queued: the file is not even opened
  EXPECT_EQ(env_.Count(), 0);
  std::filesystem::remove(Active());
  s.ackMessage(1, "m1");
  EXPECT_EQ(s.flushAcks(), 0);
  EXPECT_TRUE(Snap().ack_queue.empty());  // without a file no queued key can have a line
}

// A failed flush or append changes no file or state and is retried; a failed append through the
// kept descriptor ('k'; 'a': a store's first append) gives it up.
TEST_F(StoreTest, FailedFlushOrAppendChangesNothingAndIsRetried) {
  std::string big, compacted;
  for (int i = 0; i < 2000; ++i) {
    big += Rec(i, std::string(100, 'A'));
    compacted += i % 7 == 0 ? "" : Rec(i, std::string(100, 'A'));
  }
  const std::string flush_write = "flushAcks: write to temp failed, aborting flush";
  const std::string open = "Cannot open outbox file for append: ";
  const std::string full = "Write to outbox file failed: No space left on device";
  const std::tuple<char, Inject, std::string> cases[] = {
      {'f', Fails(FaultOp::kOpenWrite, "*.tmp"), flush_write},
      {'f', WritesFail("*.tmp", 200 << 10), flush_write},
      {'f', Fails(FaultOp::kClose, "*.tmp"), flush_write},
      {'f', Fails(FaultOp::kSync, "*.tmp"), flush_write},
      {'f', Fails(FaultOp::kRename, "*", EXDEV), "flushAcks: rename failed: Invalid cross"},
      {'f', ReadsFail("*/outbox.jsonl", 100 << 10), "flushAcks: read failed: Input/output"},
      {'f', Fails(FaultOp::kOpenRead, "*/outbox.jsonl", EACCES), "Permission denied, aborting"},
      {'k', WritesFail("*/outbox.jsonl", 10), full},
      {'k', Fails(FaultOp::kSync, "*/outbox.jsonl"),
       "Write to outbox file failed: Input/output error"},
      {'a', Fails(FaultOp::kOpenWrite, "*/outbox.jsonl", ENOSPC), open + "No space left on device"},
      // without the file's length a failed append could not be cut back
      {'k', Fails(FaultOp::kStat, "*/outbox.jsonl"), open + "Input/output error"}};
  for (const auto& [mode, inject, log] : cases) {
    SCOPED_TRACE(log);
    NewDir();
    cfg_.sync = true;
    const bool flush = mode == 'f';
    const std::string text = flush ? big : Rec(1);
    if (mode != 'k') WriteFile(Active(), text);
    OutboxStore& s = Open();
    ASSERT_TRUE(mode != 'k' || Put(1));
    for (int i = 0; flush && i < 2000; i += 7) s.ackMessage(i, fmt::format("m{}", i));
    const OutboxStore::Snapshot before = Snap();
    inject(env_);
    log_.clear();
    EXPECT_EQ(flush ? s.flushAcks() : Put(2), 0);
    env_.Clear();
    EXPECT_EQ(log_.contains(flush ? log : "", P7::kError), flush);
    EXPECT_EQ(flush ? log : last_.status.message(), log);  // an append reports, does not log
    EXPECT_EQ(Content(), text);
    EXPECT_FALSE(FileExists(Active() + ".tmp"));
    EXPECT_TRUE(Snap() == before);
    env_.ResetCounts();
    EXPECT_EQ(flush ? s.flushAcks() : Put(2), flush ? std::ssize(before.ack_queue) : 1);
    EXPECT_EQ(Content(), flush ? compacted : text + Rec(2));
    EXPECT_EQ(env_.Count(FaultOp::kOpenWrite, "*/outbox.jsonl"), flush ? 0 : 1);
  }
}

// Appends follow the active file: a torn or foreign end is ended first, a replaced or renamed-away
// file is never written through the kept descriptor, a removed directory is created again once.
TEST_F(StoreTest, AppendsFollowWhatHappenedToTheActiveFile) {
  const auto tear = [this] {  // the last byte changed, the length the store wrote kept
    std::string file = Content();
    file.back() = 'x';
    WriteFile(Active(), file);
    return file + "\n";
  };
  const std::pair<const char*, std::function<std::string()>> cases[] = {
      {"torn, restarted", [&] { return Open(), tear(); }},
      {"torn after a flush",
       [&] { return store_->ackMessage(9, "x"), store_->flushAcks(), tear(); }},
      {"grown behind the store",
       [&] { return WriteFile(Active(), Content() + "y"), Content() + "\n"; }},
      {"end unreadable",
       [&] { return env_.Fail(FaultOp::kReadLastByte, "*", EIO), Open(), Content() + "\n"; }},
      {"replaced",
       [&] {
         return WriteFile(F("n"), Rec(7)), std::filesystem::rename(F("n"), Active()), Rec(7);
       }},
      {"renamed away",
       [&] {
         std::filesystem::rename(Active(), F("old")), WriteFile(Active(), Rec(7));
         return store_->flushAcks(), Rec(7);
       }},
      {"directory removed", [&] { return std::filesystem::remove_all(cfg_.dir), std::string(); }}};
  for (const auto& [name, event] : cases) {
    SCOPED_TRACE(name);
    NewDir();
    Open();
    ASSERT_TRUE(Put(1) && Put(2));
    const std::string before = event();
    ASSERT_TRUE(Put(3));
    env_.Clear();
    EXPECT_EQ(Content(), before + Rec(3));
    const std::vector<PendingMessage> pending = store_->getPending(9);
    EXPECT_EQ(pending.empty() ? "" : pending.back().msg_id, "m3");
  }
  EXPECT_EQ(log_.count("Outbox directory " + cfg_.dir + " is missing, creating it again"), 1);
  std::filesystem::remove_all(cfg_.dir);
  env_.Fail(FaultOp::kCreateDir, "*", EACCES);
  env_.ResetCounts();
  EXPECT_FALSE(Put(4));
  EXPECT_EQ(env_.Count(FaultOp::kCreateDir), 1);
  EXPECT_EQ(last_.status.message(),
            "Cannot open outbox file for append: No such file or directory");
}

// The chain compacts once dead lines are a quarter of the file's bytes; below, it touches no file.
TEST_F(StoreTest, ChainCompactsOnceAQuarterOfTheFileIsDead) {
  // broken line, filler bytes beyond three times the dead ones, filler acknowledged too
  const std::tuple<bool, size_t, bool> cases[] = {
      {false, 0, false}, {false, 1, false}, {true, 0, false}, {true, 1, false}, {true, 1, true}};
  for (const auto& [broken, over, all] : cases) {
    SCOPED_TRACE(::testing::Message() << broken << over << all);
    NewDir();
    WriteFile(F("outbox.a.jsonl"), Rec(7));
    const std::string head = Rec(1) + (broken ? "torn\n" : "");
    const size_t dead = head.size() + Rec(3).size();
    const std::string filler = Rec(2, std::string(3 * dead + over - Rec(2, "").size(), 'A'));
    WriteFile(Active(), head + filler);
    OutboxStore& s = Open();
    ASSERT_TRUE(Put(3));
    for (int64_t ts : {1, 3, all ? 2 : 1}) s.ackMessage(ts, fmt::format("m{}", ts));
    env_.ResetCounts();
    const bool compacts = over == 0 || all;
    EXPECT_EQ(s.compactIfWorthwhile(), compacts ? 2 + broken + all : 0);
    EXPECT_EQ(Content(), !compacts ? head + filler + Rec(3) : all ? Rec(7) : filler);
    EXPECT_EQ(env_.Count() == 0, !compacts);
  }
}

// Pending retrieval resumes after the acknowledged head in one read; a rewrite forgets the place.
TEST_F(StoreTest, PendingRetrievalResumesAfterTheAcknowledgedHead) {
  WriteFile(Active(), Recs(1, 3000));
  std::string wrong;
  for (int64_t ts = 1; ts < 3000; ++ts) {
    (ts == 1 ? Open() : *store_).ackMessage(ts, fmt::format("m{}", ts));
    env_.ResetCounts();
    if (Next() != fmt::format("m{}", ts + 1) || env_.Count(FaultOp::kRead) != 1) wrong += " ";
  }
  EXPECT_TRUE(wrong.empty() && Content() == Recs(1, 3000)) << wrong.size();
  const std::function<std::string()> events[] = {
      [this] { return store_->ackMessage(9, "absent"), store_->flushAcks(), "m1"; },
      [this] {  // rotation by a capture into the full file
        int64_t ts = 100;
        while (Archives().size() < 2) Put(ts++);
        return fmt::format("m{}", ts - 1);
      },
      [this] { return AckAll(), store_->flushAcks(), "m50"; },  // drained: the archive comes back
      [this] {  // the queue emptied without a rewrite
        std::filesystem::remove(Active()), store_->ackMessage(1, "m1"), store_->flushAcks();
        return Put(5), "m5";
      }};
  for (const auto& event : events) {  // each after a broken first line
    NewDir();
    WriteFile(F("outbox.a.jsonl"), Recs(50, 3));
    WriteFile(Active(), "broken\n" + Recs(1, 3));
    Open();
    ASSERT_TRUE(Put(4));  // appends from now on go through the kept descriptor
    ASSERT_EQ(Next(), "m1");
    const std::string first = event();
    EXPECT_EQ(Next(), first);
  }
}

// Only regular files (or links to one) are archives, in rotation order (a directory once was).
TEST_F(StoreTest, ArchivesAreRegularFilesInRotationOrder) {
  const std::string D = "outbox.2024-01-01_000000", E = "outbox.2023-12-31_235959_99.jsonl";
  for (const std::string& n :
       Names{"outbox.b_2.jsonl", "outbox.b_10.jsonl", "outbox.jsonl", "outbox.a.jsonl.tmp",
             "xoutbox.a.jsonl", "outbox.b.jsonl.gz", "outbox.b.jsonl", "elsewhere", D + "_10.jsonl",
             D + "_2.jsonl.gz", D + "_2.jsonl", D + ".jsonl.gz", E}) {
    WriteFile(F(n), "x");
  }
  ASSERT_EQ(mkdir(F("outbox.c.jsonl").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(F("outbox.f.jsonl").c_str(), 0600), 0);  // opening it would block
  ASSERT_EQ(symlink(F("elsewhere").c_str(), F("outbox.l.jsonl").c_str()), 0);
  ASSERT_EQ(symlink("gone", F("outbox.d.jsonl.gz").c_str()), 0);
  // Ours by stamp, k as a number, then extension; foreign names by their bytes.
  EXPECT_EQ(Archives(), (Names{E, D + ".jsonl.gz", D + "_2.jsonl", D + "_2.jsonl.gz",
                               D + "_10.jsonl", "outbox.b.jsonl", "outbox.b.jsonl.gz",
                               "outbox.b_10.jsonl", "outbox.b_2.jsonl", "outbox.l.jsonl"}));
  // A new name sorts after every archive: the clock's stamp, or the newest with the next number.
  const std::string S = "outbox.2024-03-05_141502", N = "outbox.2024-03-09_000000";
  const std::vector<std::tuple<bool, Names, std::string>> cases = {
      {true, {S + ".jsonl.gz", S + "_1.jsonl.gz"}, S + "_2.jsonl.gz"},
      {true, {S + "_2.jsonl.gz"}, S + "_3.jsonl.gz"},  // older ones restored already
      {false, {S + ".jsonl", S + "_9.jsonl"}, S + "_10.jsonl"},
      {true, {S + ".jsonl", "outbox.2024-03-05_141501_7.jsonl.gz"}, S + "_1.jsonl.gz"},
      {true, {"outbox.2024-03-05_141501_12.jsonl.gz", "outbox.zzz.jsonl"}, S + ".jsonl.gz"},
      {false,
       {N + "_3.jsonl", N + "_12.jsonl.gz", "outbox.2024-03-08_000000_90.jsonl"},
       N + "_13.jsonl"}};
  for (const auto& [compress, existing, expected] : cases) {
    NewDir();
    cfg_.compress = compress;
    for (const std::string& n : existing) WriteFile(F(n), "x");
    EXPECT_EQ(ArchiveShelf(&env_, cfg_).makeRotatedName(), F(expected));
  }
}

// A capture into a full file (a restored one: twice the limit) rotates it, queued ACKs applied;
// a failed rotation keeps the file whole, leaves no archive or temp file, waits out the cooldown.
TEST_F(StoreTest, CaptureIntoAFullFileRotatesItFirst) {
  // name (a failure's: the error it logs), size, compress, restored, ack queued, fault, rotates
  const std::tuple<const char*, size_t, bool, bool, bool, Inject, bool> cases[] = {
      {"below the limit", 1023, false, false, false, nullptr, false},
      {"at the limit", 1024, false, false, false, nullptr, true},
      {"compressed", 1024, true, false, false, nullptr, true},
      {"acks applied before archiving", 1200, false, false, true, nullptr, true},
      {"acks make room", 1100, false, false, true, nullptr, false},
      {"flush fails", 1200, false, false, true, Fails(FaultOp::kOpenWrite, "*.jsonl.tmp"), true},
      {"restored archive", 2047, false, true, false, nullptr, false},
      {"restored archive at twice the limit", 2048, false, true, false, nullptr, true},
      {"Rotate rename failed", 1024, false, false, false, Fails(FaultOp::kRename, "*"), false},
      {"Cannot read", 1024, true, false, false, Fails(FaultOp::kOpenRead, "*/outbox.jsonl"), false},
      {"Read error on", 1024, true, false, false, ReadsFail("*/outbox.jsonl", 100), false},
      {"Write error on", 1024, true, false, false, WritesFail("*.tmp", 0), false},
      {"Cannot rename", 1024, true, false, false, Fails(FaultOp::kRename, "*.tmp"), false},
      {"Cannot sync directory", 1024, true, false, false, Fails(FaultOp::kSyncDir, "*"), false},
      {"Failed to truncate", 1024, true, false, false, Fails(FaultOp::kTruncate, "*"), false}};
  for (const auto& [name, size, compress, restored, ack_first, inject, rotates] : cases) {
    SCOPED_TRACE(name);
    NewDir();
    cfg_.compress = compress;
    cfg_.sync = true;
    const std::string text = Sized(size);
    WriteFile(restored ? F("outbox.a.jsonl") : Active(), text);
    Open();
    if (restored) env_.AdvanceSteady(std::chrono::seconds(60));  // past the restore's cooldown
    if (ack_first) store_->ackMessage(1, "m1");
    if (inject) inject(env_);
    log_.clear();
    env_.ResetCounts();
    ASSERT_TRUE(Put(500));
    env_.Clear();
    const bool failed = inject && !ack_first;
    EXPECT_EQ(log_.contains(name, P7::kError), failed);
    const std::string kept = ack_first && !inject ? text.substr(text.find('\n') + 1) : text;
    const Names archives = Archives();
    ASSERT_EQ(archives.size(), rotates ? 1u : 0u);
    EXPECT_EQ(rotates && !compress ? ReadFile(F(archives[0])) : kept, kept);
    EXPECT_EQ(env_.Count(FaultOp::kOpenWrite, "*.jsonl.gz"), 0);  // only complete archive names
    EXPECT_EQ(Content(), (rotates ? "" : kept) + Rec(500));
    EXPECT_EQ(Snap().ack_queue.size(), ack_first && inject ? 1u : 0u);
    EXPECT_FALSE(FileExists(Active() + ".tmp"));
    if (!failed) continue;
    env_.AdvanceSteady(std::chrono::seconds(59));
    ASSERT_TRUE(Put(501));
    EXPECT_TRUE(Archives().empty());
    env_.AdvanceSteady(std::chrono::seconds(1));
    ASSERT_TRUE(Put(502));
    EXPECT_EQ(Archives().size(), 1u);
  }
}

// Clean-up and a full disk drop the oldest archives that can be removed, skipping the others.
TEST_F(StoreTest, CleanupDeletesOldestArchivesUntilWithinLimit) {
  const std::string D = "outbox.2024-01-01_000000";
  WriteFile(Active(), std::string(1024, 'x'));
  for (const std::string& n : Names{D + "_10.jsonl", D + ".jsonl.gz", D + "_2.jsonl"})
    WriteFile(F(n), std::string(2048, 'x'));
  cfg_.max_dir_kb = 5;
  Open();
  env_.Fail(FaultOp::kRemove, "*/" + D + ".jsonl.gz", EACCES);
  store_->cleanupRotated();  // 7 KB: the oldest cannot go, _2 goes (5 KB), _10 stays
  EXPECT_EQ(Archives(), (Names{D + ".jsonl.gz", D + "_10.jsonl"}));
  EXPECT_FALSE(store_->dropOldestArchive("disk full"));
  env_.Clear();
  EXPECT_TRUE(store_->dropOldestArchive("disk full"));
  EXPECT_EQ(log_.count("Cleanup: removed " + D + ".jsonl.gz (disk full; dir was 5 KB, limit 5 KB)"),
            1);
  EXPECT_EQ(Archives(), Names{D + "_10.jsonl"});
}

// An unusable directory is refused (one in use by another process: the end-to-end start-up test).
TEST_F(StoreTest, ConstructorRefusesAnUnwritableDirectory) {
  const std::string file = tmp_->file("file");
  WriteFile(file, "");
  env_.Fail(FaultOp::kOpenWrite, "*/outbox.probe", EROFS);  // reached by the last case only
  for (const auto& [dir, why] :
       {std::pair{file, "Not a directory"}, {cfg_.dir, "Read-only file system"}}) {
    cfg_.dir = dir;
    try {
      OutboxStore other(cfg_, &env_);
      ADD_FAILURE() << dir;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "outbox directory " + dir + " is not writable: " + why);
    }
  }
}

// Archives come back oldest first as the file drains; an unreadable active file is not replaced.
TEST_F(StoreTest, RestoresOldestFirstAndChainsAsFlushesEmptyTheFile) {
  WriteGz(F("outbox.2024-01-01_000000.jsonl.gz"), Recs(1, 25));
  WriteFile(F("outbox.2024-01-02_000000.jsonl"), Recs(30, 4));
  WriteGz(F("outbox.2024-01-02_000000_1.jsonl.gz"), Recs(40, 2));
  WriteFile(F("outbox.2024-01-03_000000.jsonl.gz.tmp"), "half");  // left by a crash
  OutboxStore& s = Open();
  EXPECT_FALSE(FileExists(F("outbox.2024-01-03_000000.jsonl.gz.tmp")));
  EXPECT_EQ(Content(), Recs(1, 25));
  EXPECT_EQ(Snap().rotation_allowed_at, env_.SteadyNow() + std::chrono::seconds(60));
  for (const auto& [content, n] :
       {std::pair{Recs(30, 4), 4}, std::pair{Recs(40, 2), 2}, std::pair{std::string(), 0}}) {
    AckAll();
    s.flushAcks();
    EXPECT_EQ(Content(), content);
    EXPECT_EQ(std::pair(Snap().restored_total, Snap().restored_active), std::pair(n, n != 0));
  }
  EXPECT_TRUE(Archives().empty());  // the plain one was moved, the others deleted
  WriteFile(Active(), Recs(1, 3));
  WriteGz(F("outbox.a.jsonl.gz"), Recs(10, 2));
  env_.Fail(FaultOp::kOpenRead, "*/outbox.jsonl", EACCES);
  Open();
  env_.Clear();
  EXPECT_EQ(log_.count("Index rebuild: cannot open " + Active() + ": Permission denied"), 1);
  EXPECT_EQ(Content(), Recs(1, 3));
  EXPECT_EQ(Archives(), Names{"outbox.a.jsonl.gz"});
}

// A restore failing on our side keeps the archive; a damaged one gives up its incomplete tail only.
TEST_F(StoreTest, RestoreKeepsWhatItCannotCopyAndSalvagesDamagedArchives) {
  WriteGz(F("full.gz"), Recs(1, 2000));
  const std::string gz = ReadFile(F("full.gz"));
  std::string bad_crc = gz;
  bad_crc[gz.size() - 6] ^= 0x01;
  WriteGz(F("long.gz"), Rec(1, std::string(40000, 'A')));  // one long line, cut in its middle below
  const std::string long_gz = ReadFile(F("long.gz"));
  enum Outcome { kKept, kSalvaged, kRemoved };
  const std::string A = "outbox.a.jsonl.gz";
  const std::vector<std::tuple<std::string, std::string, Inject, Outcome, std::string>> cases = {
      {A, gz, WritesFail("*.tmp", 100), kKept, "No space left"},
      {A, gz, Fails(FaultOp::kRename, "*.tmp"), kKept, "Input/output"},
      {A, gz, ReadsFail("*.gz", 100), kKept, "Input/output"},  // no proof that the archive is lost
      {"outbox.a.jsonl", Recs(1, 2000), Fails(FaultOp::kRename, "*/outbox.a.jsonl"), kKept,
       "Input/output"},
      {A, gz.substr(0, gz.size() / 2), nullptr, kSalvaged, "complete lines"},
      {A, bad_crc, nullptr, kSalvaged, "complete lines"},
      {A, gz.substr(0, 12), nullptr, kRemoved, "removing it"},
      {A, long_gz.substr(0, long_gz.size() / 2), nullptr, kRemoved, "removing it"}};
  for (const auto& [name, bytes, inject, outcome, log] : cases) {
    SCOPED_TRACE(log);
    NewDir();
    WriteFile(F(name), bytes);
    if (inject) inject(env_);
    Open();  // the start-up restore
    env_.Clear();
    EXPECT_TRUE(log_.contains(log, P7::kError));
    EXPECT_EQ(FileExists(F(name)), outcome == kKept);
    EXPECT_EQ(Snap().restored_active, outcome == kSalvaged);
    if (outcome == kKept) {
      EXPECT_FALSE(FileExists(Active()));
      Open();  // the next attempt succeeds
      EXPECT_TRUE(Snap().restored_active);
    }
    const int n = static_cast<int>(Snap().known.size());  // complete lines only, all indexed
    EXPECT_EQ(FileExists(Active()) ? Content() : "", Recs(1, n));
    EXPECT_TRUE(outcome == kKept ? n == 2000 : outcome == kRemoved ? n == 0 : n > 0) << n;
    EXPECT_TRUE(Archives().empty());
  }
}

// An ACK whose record was archived first is kept (the max_index largest) and applied at restore.
TEST_F(StoreTest, LateAcknowledgementsApplyWhenTheirArchiveIsRestored) {
  cfg_.max_index = 2;
  WriteFile(Active(), Recs(1, 25));  // at its limit: the next capture rotates it
  OutboxStore& s = Open();
  ASSERT_TRUE(Put(90));
  for (int64_t ts : {1, 2, 3, 90}) s.ackMessage(ts, fmt::format("m{}", ts));
  EXPECT_EQ(s.flushAcks(), 1);  // m90; the emptied file takes the archive back
  EXPECT_EQ(
      log_.count("Late acknowledgements applied to outbox.2024-03-05_141502.jsonl: 2", P7::kInfo),
      1);  // m2 and m3: the bound drops m1
  EXPECT_EQ(s.pendingCount(), 23);
  EXPECT_EQ(Next(), "m1");
  EXPECT_EQ(s.flushAcks(), 2);
  EXPECT_EQ(Snap().restored_acked, 2);
}

}  // namespace
}  // namespace kestova
