// A power cut right after each commit point: with storage.sync on nothing stored is lost and no
// applied ACK comes back (either PowerCutEnv outcome); with sync off the table pins what is lost.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "outbox_store.h"
#include "power_cut_env.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using testsupport::PowerCutEnv;
using Step = std::function<void(OutboxStore&)>;

// Messages are named by one letter; records are 318 bytes, the fourth passes max_file_kb = 1.
void Put(OutboxStore& s, const std::string& ids) {
  const std::vector<uint8_t> payload(200, 'x');
  for (char id : ids)
    ASSERT_TRUE(s.store(payload.data(), payload.size(), 1000 + id, {id}, "t").stored()) << id;
}
void Ack(OutboxStore& s, const std::string& ids) {
  for (char id : ids) s.ackMessage(1000 + id, {id});
}

// What a fresh store delivers as the service drains it, restored archives included; sorted.
std::string Delivered(const OutboxStoreConfig& cfg) {
  OutboxStore store(cfg);
  std::set<char> ids;
  for (int round = 0; round < 10; ++round) {
    for (const PendingMessage& m : store.getPending(100)) {
      ids.insert(m.msg_id.at(0));
      store.ackMessage(m.timestamp, m.msg_id);
    }
    store.flushAcks();
  }
  return std::string(ids.begin(), ids.end());
}

struct Case {
  const char* commit_point;
  bool compress;
  Step setup;   // on the device (Settle) before the commit point
  Step commit;  // the commit point; the power fails as it returns
  // Delivered after the cut: sync on (either outcome); sync off, kNamesRevert and kMetadataKept.
  const char* delivered[3];
};

const Step kRotate = [](OutboxStore& s) { s.rotateIfNeeded(); };
const Step kFlush = [](OutboxStore& s) { s.flushAcks(); };
const Step kCompact = [](OutboxStore& s) { s.compactIfWorthwhile(); };
Step Puts(const char* ids) {
  return [=](OutboxStore& s) { Put(s, ids); };
}
// abc stored, a and b acknowledged: a compaction is worth it.
const Step kTwoAcked = [](OutboxStore& s) { Put(s, "abc"), Ack(s, "ab"); };
// abcd archived, e stored and acknowledged: a flush drains the file and restores the archive.
const Step kArchived = [](OutboxStore& s) {
  Put(s, "abcd"), s.rotateIfNeeded(), Put(s, "e"), Ack(s, "e");
};

const Case kCases[] = {
    {"store (new file)", false, [](OutboxStore&) {}, Puts("ab"), {"ab", "", ""}},
    {"store (append)", false, Puts("ab"), Puts("c"), {"abc", "ab", "ab"}},
    {"flush of ACKs", false, kTwoAcked, kFlush, {"c", "abc", ""}},
    {"compaction", false, kTwoAcked, kCompact, {"c", "abc", ""}},
    {"rotation", false, Puts("abcd"), kRotate, {"abcd", "abcd", "abcd"}},
    {"rotation, gzip", true, Puts("abcd"), kRotate, {"abcd", "", ""}},
    {"restore", false, kArchived, kFlush, {"abcd", "abcde", "abcd"}},
    {"restore, gzip", true, kArchived, kFlush, {"abcd", "e", ""}},
};

TEST(PowerCutTest, CutRightAfterEachCommitPoint) {
  using Mode = PowerCutEnv::CutMode;
  for (const Case& c : kCases) {
    for (const bool sync : {true, false}) {
      for (const Mode mode : {Mode::kNamesRevert, Mode::kMetadataKept}) {
        SCOPED_TRACE(testing::Message()
                     << c.commit_point << ", sync " << sync << ", mode " << static_cast<int>(mode));
        testsupport::TempDir tmp;
        const OutboxStoreConfig cfg{tmp.path(), c.compress, 1, 1 << 20, 0, 100000, sync};
        PowerCutEnv env(Env::Default(), tmp.path());
        {
          OutboxStore store(cfg, &env);
          c.setup(store);
          env.Settle();
          c.commit(store);
          env.Cut(mode);
        }
        EXPECT_EQ(Delivered(cfg), c.delivered[sync ? 0 : 1 + static_cast<int>(mode)]);
      }
    }
  }
}

}  // namespace
}  // namespace kestova
