#include "outbox_store.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

#include "base64.h"
#include "fault_env.h"
#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using testsupport::FaultEnv;
using testsupport::FaultOp;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

std::string Rec(int64_t ts, const std::string& id,
                const std::string& payload_b64 = "cA==", const std::string& topic = "t") {
  return "{\"msg_id\":\"" + id + "\",\"payload\":\"" + payload_b64 + "\",\"topic\":\"" + topic +
         "\",\"ts\":" + std::to_string(ts) + "}";
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() {
    cfg_.dir = tmp_.path() + "/a/b";
    cfg_.compress = false;
    cfg_.max_file_kb = 1 << 20;  // no rotation here
    cfg_.max_dir_kb = 1 << 22;
  }
  std::unique_ptr<OutboxStore> Open() { return std::make_unique<OutboxStore>(cfg_, &env_); }
  std::string Path() const { return cfg_.dir + "/outbox.jsonl"; }
  std::string Content() const { return ReadFile(Path()); }
  void SetContent(const std::string& text) {
    if (!testsupport::FileExists(cfg_.dir)) Open();
    WriteFile(Path(), text);
  }
  static bool Put(OutboxStore& s, int64_t ts, const std::string& id, const std::string& p = "p",
                  const std::string& topic = "t") {
    return s.store(reinterpret_cast<const uint8_t*>(p.data()), p.size(), ts, id, topic);
  }
  static std::vector<std::string> Ids(const std::vector<PendingMessage>& v) {
    std::vector<std::string> ids;
    for (const auto& m : v) ids.push_back(m.msg_id);
    return ids;
  }
  static std::set<AckKey> Keys(std::initializer_list<AckKey> keys) { return keys; }

  testsupport::TempDir tmp_;
  FaultEnv env_;
  OutboxStoreConfig cfg_;
};

TEST_F(StoreTest, StartUpCreatesDirectoryRemovesStaleTempAndRebuildsIndex) {
  cfg_.dir = tmp_.path() + "//x/y";
  P7::ScopedCapture cap;
  auto s = Open();
  EXPECT_EQ(cap.count("Created directory: " + cfg_.dir, P7::kInfo), 1);
  EXPECT_EQ(cap.count("OutboxStore ready: " + cfg_.dir + " (index: 0 entries)", P7::kInfo), 1);
  EXPECT_EQ(cap.count("  max_file_kb=1048576 max_dir_kb=4194304 compress=0 cooldown=120s "
                      "max_index=100000",
                      P7::kInfo),
            1);
  EXPECT_FALSE(cap.contains("Index rebuild"));  // no active file, no rebuild message

  SetContent(Rec(1, "a") + "\n" + Rec(2, "b") + "\nplain text\n\n" + Rec(3, "c") + "\n" +
             Rec(3, "c") + "\n");
  WriteFile(Path() + ".tmp", "half");
  cap.clear();
  s = Open();
  EXPECT_FALSE(testsupport::FileExists(Path() + ".tmp"));
  EXPECT_EQ(cap.count("Removed stale temp file: " + Path() + ".tmp", P7::kWarning), 1);
  EXPECT_EQ(cap.count("Index rebuild: 4 valid, 1 broken lines", P7::kWarning), 1);
  EXPECT_EQ(s->known(), Keys({{1, "a"}, {2, "b"}, {3, "c"}}));
  EXPECT_EQ(cap.count("OutboxStore ready: " + cfg_.dir + " (index: 3 entries)"), 1);
  WriteFile(Path(), "");
  s->rebuildIndex();
  EXPECT_EQ(cap.count("Index rebuild: 0 entries", P7::kInfo), 1);
}

TEST_F(StoreTest, DirectoryCreationFailures) {
  auto s = Open();
  WriteFile(tmp_.path() + "/file", "x");
  P7::ScopedCapture cap;
  EXPECT_FALSE(s->ensureDir(tmp_.path() + "/file/sub"));
  EXPECT_EQ(cap.count("Path exists but is not directory: " + tmp_.path() + "/file/", P7::kError),
            1);
  EXPECT_EQ(cap.count("Failed to create directory: " + tmp_.path() + "/file/sub", P7::kError), 1);
  EXPECT_FALSE(s->mkdirRecursive(""));
  env_.Fail(FaultOp::kCreateDir, "*/denied/", EACCES);
  EXPECT_FALSE(s->mkdirRecursive(tmp_.path() + "/denied"));
  EXPECT_EQ(cap.count("mkdir failed: " + tmp_.path() + "/denied/ (Permission denied)", P7::kError),
            1);
}

TEST_F(StoreTest, StoreWritesTheRecordAndSkipsKnownOrAckedKeys) {
  auto s = Open();
  P7::ScopedCapture cap;
  // Invalid UTF-8 cannot be serialised: the exception leaves store and nothing is written.
  EXPECT_THROW(Put(*s, 1, "bad\xff"), nlohmann::json::type_error);
  EXPECT_THROW(Put(*s, 1, "ok", "p", "t\xc3"), nlohmann::json::type_error);
  EXPECT_FALSE(testsupport::FileExists(Path()));
  EXPECT_TRUE(s->known().empty());

  EXPECT_TRUE(Put(*s, 1000, "a1", "abc", "/kv/bridge/data/meter"));
  EXPECT_EQ(
      cap.count("Stored: ts=1000 msg_id=a1 topic=/kv/bridge/data/meter (3 bytes)", P7::kDebug), 1);
  EXPECT_TRUE(Put(*s, -5, "e", "", "t"));
  EXPECT_EQ(cap.count("Stored: ts=-5 msg_id=e topic=t (0 bytes)"), 1);
  const std::string two =
      Rec(1000, "a1", "YWJj", "/kv/bridge/data/meter") + "\n" + Rec(-5, "e", "") + "\n";
  EXPECT_EQ(Content(), two);

  EXPECT_FALSE(Put(*s, 1000, "a1", "other"));
  EXPECT_EQ(cap.count("Duplicate skipped: ts=1000 msg_id=a1", P7::kDebug), 1);
  s->ackMessage(7, "x");
  EXPECT_FALSE(Put(*s, 7, "x"));
  EXPECT_EQ(cap.count("Already acked, skipped: ts=7 msg_id=x", P7::kDebug), 1);
  s->ackMessage(1000, "a1");
  EXPECT_FALSE(Put(*s, 1000, "a1"));  // in both sets: the duplicate test answers
  EXPECT_EQ(cap.count("Duplicate skipped: ts=1000 msg_id=a1"), 2);
  EXPECT_EQ(Content(), two);

  s->flushAcks();  // after the flush the identity may be stored again
  EXPECT_TRUE(Put(*s, 1000, "a1"));
  EXPECT_TRUE(Put(*s, 7, "x"));
}

TEST_F(StoreTest, IndexEvictsTheSmallestKeysBeyondMaxIndex) {
  struct Case {
    int32_t max_index;
    std::vector<int64_t> stores;
    std::set<AckKey> known;
  };
  const Case cases[] = {
      {3, {10, 20, 30, 5}, {{10, "10"}, {20, "20"}, {30, "30"}}},
      {3, {10, 20, 30, 40}, {{20, "20"}, {30, "30"}, {40, "40"}}},
      {0, {10, 20}, {}},
  };
  for (const Case& c : cases) {
    testsupport::TempDir dir;
    cfg_.dir = dir.path();
    cfg_.max_index = c.max_index;
    auto s = Open();
    for (int64_t ts : c.stores) EXPECT_TRUE(Put(*s, ts, std::to_string(ts)));
    EXPECT_EQ(s->known(), c.known);
    EXPECT_EQ(s->getPending(10).size(), c.stores.size());  // eviction never touches the file
  }
}

TEST_F(StoreTest, AcksAndPendingCount) {
  auto s = Open();
  for (int i = 1; i <= 3; ++i) Put(*s, i, "m");
  s->ackMessage(2, "m");
  s->ackMessage(99, "never");
  s->ackMessage(99, "never");
  EXPECT_EQ(s->ackQueue().size(), 2u);
  EXPECT_EQ(s->pendingCount(), 2);
}

TEST_F(StoreTest, FlushRemovesAckedAndBrokenLinesKeepingOthersByteExact) {
  const std::string keep1 = "{ \"ts\":1, \"msg_id\":\"a\" ,\"topic\":\"t\",\"payload\":\"\"}\r";
  const std::string keep3 = Rec(3, "c");  // unterminated last line
  SetContent(keep1 + "\n\n" + Rec(2, "b") + "\n" + std::string(200, 'z') + "\n" + Rec(2, "b") +
             "\n" + "{\"ts\":4,\"msg_id\":\"d\"}" + std::string(1, '\0') + "x\n" + keep3);
  auto s = Open();
  s->ackMessage(2, "b");
  s->ackMessage(50, "absent");
  P7::ScopedCapture cap;
  EXPECT_EQ(s->flushAcks(), 4);  // two lines of (2,b), the 'z' line and the zero-byte line
  EXPECT_EQ(Content(), keep1 + "\n" + keep3 + "\n");
  EXPECT_EQ(s->known(), Keys({{1, "a"}, {3, "c"}}));
  EXPECT_TRUE(s->ackQueue().empty());
  EXPECT_EQ(s->discarded(), 2);
  EXPECT_EQ(cap.count("Discarding broken line: " + std::string(80, 'z'), P7::kWarning), 1);
  EXPECT_EQ(cap.count("Flushed 4 messages (acked+broken), 2 remain", P7::kInfo), 1);

  s->ackMessage(50, "absent");  // nothing of it in the file: rewritten unchanged, no message
  cap.clear();
  EXPECT_EQ(s->flushAcks(), 0);
  EXPECT_EQ(Content(), keep1 + "\n" + keep3 + "\n");
  EXPECT_FALSE(cap.contains("Flushed"));
  EXPECT_TRUE(s->ackQueue().empty());
}

TEST_F(StoreTest, FlushWithEmptyQueueOrMissingFileTouchesNothing) {
  SetContent("broken\n");
  auto s = Open();
  env_.ResetCounts();
  EXPECT_EQ(s->flushAcks(), 0);
  EXPECT_EQ(env_.CountAll(), 0);
  EXPECT_EQ(Content(), "broken\n");

  std::remove(Path().c_str());
  s->ackMessage(1, "a");
  EXPECT_EQ(s->flushAcks(), 0);
  EXPECT_TRUE(s->ackQueue().empty());
  EXPECT_FALSE(testsupport::FileExists(Path()));
}

struct FaultCase {
  const char* name;
  std::function<void(FaultEnv&)> inject;
  std::string log;  // the error line it must produce
};

// Every way a flush can fail before its commit leaves file, index and queue exactly as they were,
// and the next flush does the work.
TEST_F(StoreTest, AbortedFlushChangesNothingAndIsRetried) {
  const std::string write_log = "flushAcks: write to temp failed, aborting flush";
  const FaultCase cases[] = {
      {"open", [](FaultEnv& e) { e.Fail(FaultOp::kOpenWrite, "*.tmp", EACCES); }, write_log},
      {"write", [](FaultEnv& e) { e.Fail(FaultOp::kWrite, "*.tmp", EIO); }, write_log},
      {"enospc", [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 30); }, write_log},
      {"close", [](FaultEnv& e) { e.Fail(FaultOp::kClose, "*.tmp", EIO); }, write_log},
      {"sync", [](FaultEnv& e) { e.Fail(FaultOp::kSync, "*.tmp", EIO); }, write_log},
      {"rename", [](FaultEnv& e) { e.Fail(FaultOp::kRename, "*", EXDEV); },
       "flushAcks: rename failed: Invalid cross-device link"},
      {"read", [](FaultEnv& e) { e.FailReadAfter("*/outbox.jsonl", 100); },
       "flushAcks: read failed: Input/output error, aborting flush"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    cfg_.dir = dir.path();
    cfg_.sync = true;
    auto s = Open();
    for (int i = 1; i <= 4; ++i) Put(*s, i, "m", std::string(60, 'p'));
    const std::string before = Content();
    s->ackMessage(2, "m");
    s->ackMessage(4, "m");
    const auto known = s->known();
    const auto queue = s->ackQueue();
    c.inject(env_);
    P7::ScopedCapture cap;
    EXPECT_EQ(s->flushAcks(), 0);
    env_.Clear();
    EXPECT_EQ(cap.count(c.log, P7::kError), 1);
    EXPECT_EQ(Content(), before);
    EXPECT_FALSE(testsupport::FileExists(Path() + ".tmp"));
    EXPECT_EQ(s->known(), known);
    EXPECT_EQ(s->ackQueue(), queue);
    EXPECT_EQ(s->pendingCount(), 2);
    EXPECT_EQ(Ids(s->getPending(10)).size(), 2u);  // acked lines stay hidden while queued
    env_.ResetCounts();
    EXPECT_EQ(s->flushAcks(), 2);
    EXPECT_EQ(s->known(), Keys({{1, "m"}, {3, "m"}}));
    EXPECT_EQ(env_.Count(FaultOp::kSyncDir, cfg_.dir), 1);  // the committed rename made durable
  }
}

TEST_F(StoreTest, TornLastLineIsEndedBeforeTheNextRecord) {
  const std::string fragment = "{\"ts\":5,\"msg_id\":\"to";
  SetContent(Rec(1, "a") + "\n" + fragment);
  auto s = Open();
  EXPECT_TRUE(Put(*s, 2, "b"));
  EXPECT_EQ(Content(), Rec(1, "a") + "\n" + fragment + "\n" + Rec(2, "b", "cA==") + "\n");
  EXPECT_TRUE(Put(*s, 3, "c"));  // ended by a line feed already: nothing added
  EXPECT_EQ(Content().size(), (Rec(1, "a") + fragment + Rec(2, "b") + Rec(3, "c")).size() + 4);
  EXPECT_EQ(Ids(s->getPending(10)), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(StoreTest, FailedAppendIsCutBackAndReportsFalse) {
  const FaultCase cases[] = {
      {"enospc", [](FaultEnv& e) { e.FailWriteAfter("*/outbox.jsonl", 10); },
       "Write to outbox file failed: No space left on device"},
      {"close", [](FaultEnv& e) { e.Fail(FaultOp::kClose, "*/outbox.jsonl", EIO); },
       "Write to outbox file failed: Input/output error"},
      {"open", [](FaultEnv& e) { e.Fail(FaultOp::kOpenWrite, "*/outbox.jsonl", ENOSPC); },
       "Cannot open outbox file for append"},
      // without the file's length a failed append could not be cut back
      {"stat", [](FaultEnv& e) { e.Fail(FaultOp::kStat, "*/outbox.jsonl", EIO); },
       "Cannot open outbox file for append"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    cfg_.dir = dir.path();
    auto s = Open();
    Put(*s, 1, "a");
    const std::string before = Content();
    c.inject(env_);
    P7::ScopedCapture cap;
    EXPECT_FALSE(Put(*s, 2, "b"));
    EXPECT_EQ(cap.count(c.log, P7::kError), 1);
    EXPECT_EQ(Content(), before);
    EXPECT_EQ(s->known(), Keys({{1, "a"}}));
    env_.Clear();
    EXPECT_TRUE(Put(*s, 2, "b"));
    EXPECT_EQ(Content(), before + Rec(2, "b") + "\n");
  }
}

// In the steady state an append is one open of the file; the last byte is read back only when the
// store did not write the file's end itself. Every operation that may replace the file makes the
// next append look again, so a torn end put there is still ended before the new record.
TEST_F(StoreTest, AppendTrustsOnlyTheEndItWroteItself) {
  const std::pair<const char*, std::function<void(OutboxStore&)>> events[] = {
      {"rebuild (as after a restore)", [](OutboxStore& s) { s.rebuildIndex(); }},
      {"flush",
       [](OutboxStore& s) {
         s.ackMessage(99, "absent");
         s.flushAcks();
       }},
      {"nothing", nullptr},  // the file's size then differs from what the store wrote
  };
  for (const auto& [name, event] : events) {
    SCOPED_TRACE(name);
    testsupport::TempDir dir;
    cfg_.dir = dir.path();
    auto s = Open();
    ASSERT_TRUE(Put(*s, 1, "a"));  // creates the file
    env_.ResetCounts();
    ASSERT_TRUE(Put(*s, 2, "b"));
    EXPECT_EQ(env_.Count(FaultOp::kOpenWrite), 1);
    EXPECT_EQ(env_.Count(FaultOp::kReadLastByte), 0);
    EXPECT_EQ(env_.Count(FaultOp::kOpenRead), 0);

    // A torn end of the same length as the file the store wrote (or, with no event, longer).
    std::string torn = Content();
    torn.back() = 'x';
    if (event) event(*s);
    if (!event) torn += "y";
    WriteFile(Path(), torn);
    ASSERT_TRUE(Put(*s, 3, "c"));
    EXPECT_EQ(Content(), torn + "\n" + Rec(3, "c", "cA==") + "\n");
  }
}

TEST_F(StoreTest, UnreadableLastByteGetsALineFeedOfItsOwn) {
  SetContent(Rec(1, "a") + "\n");
  auto s = Open();
  env_.Fail(FaultOp::kReadLastByte, "*", EIO);
  EXPECT_TRUE(Put(*s, 2, "b"));
  env_.Clear();
  EXPECT_EQ(Content(), Rec(1, "a") + "\n\n" + Rec(2, "b", "cA==") + "\n");
  EXPECT_EQ(Ids(s->getPending(5)),
            (std::vector<std::string>{"a", "b"}));  // the empty line is skipped
}

// The append path must leave a full file to the rotation check: at the limit the record goes into
// a fresh active file, below it into the current one.
TEST_F(StoreTest, StoreRotatesAFullFileBeforeAppending) {
  for (size_t size : {size_t{1023}, size_t{1024}}) {
    SCOPED_TRACE(size);
    testsupport::TempDir dir;
    cfg_.dir = dir.path();
    cfg_.max_file_kb = 1;
    std::string text;
    for (int i = 0; text.size() + Rec(i, "m").size() + 1 < size; ++i) text += Rec(i, "m") + "\n";
    text += std::string(size - text.size() - 1, 'x') + "\n";  // a broken line pads to the size
    SetContent(text);
    auto s = Open();
    ASSERT_TRUE(Put(*s, 500, "new"));
    const std::vector<std::string> archives = listRotated(&env_, cfg_.dir);
    if (size < 1024) {
      EXPECT_TRUE(archives.empty());
      EXPECT_EQ(Content(), text + Rec(500, "new", "cA==") + "\n");
    } else {
      ASSERT_EQ(archives.size(), 1u);
      EXPECT_EQ(ReadFile(cfg_.dir + "/" + archives[0]), text);
      EXPECT_EQ(Content(), Rec(500, "new", "cA==") + "\n");
      EXPECT_EQ(s->known(), Keys({{500, "new"}}));
    }
  }
}

std::string Id(int i) { return fmt::format("m{}", i); }

// A flush streams the new file out in chunks; the outcome, the messages and the failure handling
// are those of one rewrite of the whole file.
TEST_F(StoreTest, FlushOfAFileLargerThanItsBufferMatchesAWholeRewrite) {
  std::string text, want;
  int broken = 0, acked = 0, kept = 0;
  for (int i = 0; text.size() < 600 * 1024; ++i) {
    const std::string line = i % 97 == 5 ? "broken " + Id(i) : Rec(i, Id(i), std::string(300, 'A'));
    text += line + "\n";
    if (i % 97 == 5) {
      ++broken;
    } else if (i % 7 == 0) {
      ++acked;
    } else {
      want += line + "\n";
      ++kept;
    }
  }
  struct Case {
    const char* name;
    std::function<void(FaultEnv&)> inject;
    int32_t result;
    const char* error;  // the one error line, or null
  };
  const Case cases[] = {
      {"written", nullptr, acked + broken, nullptr},
      {"first chunk refused", [](FaultEnv& e) { e.FailWriteAfter("*.tmp", 1000); }, 0,
       "flushAcks: write to temp failed, aborting flush"},
      {"read fails after a refused write",
       [](FaultEnv& e) {
         e.FailWriteAfter("*.tmp", 1000);
         e.FailReadAfter("*/outbox.jsonl", 500 * 1024);
       },
       0, "flushAcks: read failed: Input/output error, aborting flush"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    cfg_.dir = dir.path();
    SetContent(text);
    auto s = Open();
    for (int i = 0; i < 5000; i += 7) s->ackMessage(i, Id(i));
    if (c.inject) c.inject(env_);
    P7::ScopedCapture cap;
    EXPECT_EQ(s->flushAcks(), c.result);
    env_.Clear();
    EXPECT_FALSE(testsupport::FileExists(Path() + ".tmp"));
    int warnings = 0;
    for (const P7::Record& r : cap.records()) {
      warnings += r.message.starts_with("Discarding broken line: ") ? 1 : 0;
    }
    // Every broken line is reported (up to a failed read), whatever happened to the writes.
    const bool read_fails =
        c.error != nullptr && std::string(c.error).find("read") != std::string::npos;
    if (read_fails) {
      EXPECT_GT(warnings, 0);
      EXPECT_LT(warnings, broken);
    } else {
      EXPECT_EQ(warnings, broken);
    }
    if (c.error == nullptr) {
      EXPECT_EQ(Content(), want);
      EXPECT_EQ(cap.count("Flushed " + std::to_string(acked + broken) +
                          " messages (acked+broken), " + std::to_string(kept) + " remain"),
                1);
      EXPECT_EQ(s->discarded(), broken);
    } else {
      EXPECT_EQ(Content(), text);
      EXPECT_EQ(cap.records().size(), static_cast<size_t>(warnings) + 1);
      EXPECT_EQ(cap.count(c.error, P7::kError), 1);
      EXPECT_EQ(s->discarded(), 0);
      EXPECT_FALSE(s->ackQueue().empty());  // kept for the next flush
    }
  }
}

TEST_F(StoreTest, GetPendingSkipsAckedAndBrokenLinesInFileOrder) {
  SetContent(Rec(30, "first") + "\n\n{}\nplain\n   \n" + Rec(10, "acked") + "\n" +
             "{\"ts\":20,\"msg_id\":\"acked2\"}\n" + Rec(20, "second") + "\n" +
             "{\"ts\":1,\"msg_id\":\"notopic\",\"payload\":\"\"}\n" + Rec(40, "third"));
  auto s = Open();
  s->ackMessage(10, "acked");
  s->ackMessage(20, "acked2");
  P7::ScopedCapture cap;
  EXPECT_EQ(Ids(s->getPending(2)), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(Ids(s->getPending(100)), (std::vector<std::string>{"first", "second", "third"}));
  // {}, plain and blanks, then in the full scan also the line without topic; the acked line
  // without a body is skipped silently.
  EXPECT_EQ(cap.records().size(), 3u + 4u);
  EXPECT_EQ(cap.count("getPending: skip broken line: [json.exception.type_error.302] type must be "
                      "string, but is null",
                      P7::kDebug),
            1);
  EXPECT_TRUE(s->getPending(0).empty());
  EXPECT_TRUE(s->getPending(-1).empty());
  std::remove(Path().c_str());
  EXPECT_TRUE(s->getPending(5).empty());
}

// What the writer writes, every reader reads back identically: index, flush and pending.
TEST_F(StoreTest, WriterAndReadersAgreeOnAwkwardValues) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  const struct {
    int64_t ts;
    std::string id, topic, payload;
  } msgs[] = {
      {kMin, "min", "t", every_byte},
      {kMax, "id\x01\x1f\"\\/\t\n\r", "t/\xc3\xa9\xe2\x82\xac", ""},
      {-1, "\xf0\x9f\x98\x80", "\x7f", "\n"},
      {0, "", "", std::string(3000, '\0')},
  };
  auto s = Open();
  for (const auto& m : msgs) ASSERT_TRUE(Put(*s, m.ts, m.id, m.payload, m.topic));
  s = Open();  // rebuilds the index from the file
  ASSERT_EQ(s->known().size(), 4u);
  for (int round = 0; round < 2; ++round) {
    auto pending = s->getPending(10);
    ASSERT_EQ(pending.size(), 4u - round);
    for (size_t i = 0; i < pending.size(); ++i) {
      const auto& m = msgs[i + round];
      EXPECT_TRUE(s->known().count({m.ts, m.id}));
      EXPECT_EQ(pending[i].timestamp, m.ts);
      EXPECT_EQ(pending[i].msg_id, m.id);
      EXPECT_EQ(pending[i].topic, m.topic);
      EXPECT_EQ(std::string(pending[i].payload.begin(), pending[i].payload.end()), m.payload);
    }
    s->ackMessage(msgs[round].ts, msgs[round].id);
    EXPECT_EQ(s->flushAcks(), 1);
  }
}

TEST_F(StoreTest, OutOfRangeTimestampsSaturateOnEveryPath) {
  SetContent(
      "{\"ts\":1e300,\"msg_id\":\"hi\",\"topic\":\"t\",\"payload\":\"\"}\n"
      "{\"ts\":18446744073709551615,\"msg_id\":\"u\",\"topic\":\"t\",\"payload\":\"\"}\n"
      "{\"ts\":-1e300,\"msg_id\":\"lo\",\"topic\":\"t\",\"payload\":\"\"}\n");
  auto s = Open();
  EXPECT_EQ(s->known(), Keys({{kMax, "hi"}, {kMax, "u"}, {kMin, "lo"}}));
  auto pending = s->getPending(3);
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending[1].timestamp, kMax);
  EXPECT_EQ(pending[2].timestamp, kMin);
  s->ackMessage(kMax, "u");
  s->ackMessage(kMin, "lo");
  EXPECT_EQ(s->flushAcks(), 2);
  EXPECT_EQ(Ids(s->getPending(3)), std::vector<std::string>{"hi"});
}

// A 64 MiB line without a line feed, and a deeply nested one: readers survive and go on.
TEST_F(StoreTest, HugeLinesAreBrokenLinesNotCrashes) {
  const std::string good = Rec(1, "a");
  for (const std::string& huge :
       {std::string(64 << 20, 'x'), "{\"ts\":2,\"msg_id\":\"" + std::string(256 << 10, 'm'),
        std::string(256 << 10, '[')}) {
    SetContent(good + "\n" + huge);
    P7::ScopedCapture cap;
    auto s = Open();
    EXPECT_EQ(cap.count("Index rebuild: 1 valid, 1 broken lines"), 1);
    EXPECT_EQ(Ids(s->getPending(5)), std::vector<std::string>{"a"});
    s->ackMessage(9, "z");
    EXPECT_EQ(s->flushAcks(), 1);
    EXPECT_EQ(Content(), good + "\n");
  }
}

// Random operations against a model of the file: after every step the file, the index, the queue
// and what is pending agree with it.
TEST_F(StoreTest, RandomOperationsMatchAModel) {
  cfg_.max_index = 6;
  auto s = Open();
  struct Line {
    AckKey key;
    std::string text;
  };
  std::vector<Line> lines;
  std::set<AckKey> known, queue;
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int step = 0; step < 1500; ++step) {
    AckKey key{pick(8) - 2, std::string(1, static_cast<char>('a' + pick(3)))};
    const int op = pick(10);
    if (op < 4) {
      std::string payload(static_cast<size_t>(pick(40)), static_cast<char>(pick(256)));
      bool fail = pick(8) == 0;
      // Every record line is longer than 40 bytes, so this append fails part-way.
      if (fail) env_.FailWriteAfter("*/outbox.jsonl", static_cast<uint64_t>(pick(40)));
      bool want = !known.count(key) && !queue.count(key) && !fail;
      ASSERT_EQ(Put(*s, key.timestamp, key.msg_id, payload), want) << step;
      env_.Clear();
      if (want) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
        lines.push_back(
            {key, Rec(key.timestamp, key.msg_id, base64_encode(bytes, payload.size()))});
        known.insert(key);
        while (known.size() > 6) known.erase(known.begin());
      }
    }
    switch (op) {
      case 4:
      case 5:
        s->ackMessage(key.timestamp, key.msg_id);
        queue.insert(key);
        break;
      case 6:
      case 7: {
        bool fail = pick(4) == 0;
        if (fail) env_.Fail(FaultOp::kRename, "*", EIO);
        const bool no_file = !testsupport::FileExists(Path());
        int32_t flushed = s->flushAcks();
        env_.Clear();
        if (no_file) queue.clear();  // nothing to compact: the queue is dropped
        if (fail || queue.empty()) {
          ASSERT_EQ(flushed, 0);
          break;
        }
        int32_t removed = 0;
        std::erase_if(lines, [&](const Line& l) {
          if (!queue.count(l.key)) return false;
          known.erase(l.key);
          ++removed;
          return true;
        });
        ASSERT_EQ(flushed, removed);
        queue.clear();
        break;
      }
      case 8: {
        int n = pick(5);
        std::vector<std::string> want;
        for (const Line& l : lines) {
          if (static_cast<int>(want.size()) < n && !queue.count(l.key))
            want.push_back(l.key.msg_id);
        }
        ASSERT_EQ(Ids(s->getPending(n)), want);
        break;
      }
      case 9:  // restart: queued acks are lost, the index comes from the file
        s = Open();
        queue.clear();
        known.clear();
        for (const Line& l : lines) known.insert(l.key);
        break;
    }
    std::string text;
    for (const Line& l : lines) text += l.text + "\n";
    ASSERT_EQ(testsupport::FileExists(Path()) ? Content() : "", text) << step;
    ASSERT_EQ(s->known(), known) << step;
    ASSERT_EQ(s->ackQueue(), queue) << step;
  }
}

}  // namespace
}  // namespace kestova
