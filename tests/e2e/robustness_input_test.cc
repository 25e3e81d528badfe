// Hostile input. Outbox directories: a 64 MiB torn line, a directory where the active file belongs
// (torn lines, garbage, archives linked from elsewhere: outbox_store_test.cc); in every case
// the service starts, says what it found, keeps every intact record and captures again once the
// obstacle is gone, without a restart (a full disk: conservation_test.cc). Network: a payload near
// the broker's size limit, one acknowledgement message naming 10000 records (deep nesting:
// handlers_test.cc; control characters in the log: p7_test.cc).
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <zlib.h>

#include <filesystem>

#include "e2e.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

const std::string kData = "/kv/e2e/data";

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

// The record before the line is indexed, the next capture starts a line of its own, and the peak
// memory stays bounded (tests/torture/README.md, finding 3).
TEST(HostileFilesTest, GiantLineWithoutLineFeed) {
  Service svc;
  fs::create_directories(svc.dir());
  WriteFile(svc.active(), V(1) + "\n{\"msg_id\":\"" + std::string(64u << 20, 'a'));
  ASSERT_TRUE(svc.Start(false) && svc.WaitReady(60s));
  EXPECT_GE(svc.WaitLog("Index rebuild: 1 valid, 1 broken lines", 1s), 0);
  EXPECT_TRUE(svc.Capture(5001, "after-giant"));
  if (!kSanitized) {
    EXPECT_LT(ProcStatusKb(svc.pid(), "VmHWM"), 12 * 64 * 1024);
  }
  svc.Stop(SIGKILL);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_TRUE(audit.has("after-giant"));
  EXPECT_EQ(audit.line("v1"), V(1));
  EXPECT_EQ(audit.broken.size(), 1u);
}

// Captured byte for byte with a peak memory of a small multiple of the payload (the payload, its
// Base64 text and the record line are needed at once), and flushed when acknowledged.
TEST(HostileNetworkTest, SixteenMebibytePayload) {
  ServiceOptions options;
  options.config = {{"storage", {{"max_file_kb", 65536}, {"max_dir_kb", 1 << 20}}}};
  options.broker_config = {"message_size_limit " + std::to_string(17 << 20)};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  const int64_t hwm_before = ProcStatusKb(svc.pid(), "VmHWM");
  const std::string big = DataPayload(1000, "big", Fill(16 << 20));
  ASSERT_TRUE(svc.control().Publish(kData, big, 60s));
  ASSERT_GE(svc.WaitLog("Captured: ts=1000 msg_id=big ", 60s), 0);
  const int64_t hwm_after = ProcStatusKb(svc.pid(), "VmHWM");
  ASSERT_TRUE(svc.Capture(1002, "after-big"));
  const std::vector<Record> records = svc.Outbox();
  EXPECT_EQ(records.size() == 2 ? records[0].payload : "", big);
  ASSERT_TRUE(svc.control().Publish(kData + "/ack", DataPayload(1000, "big")));
  EXPECT_TRUE(WaitFor([&] { return Contents(svc.active()).size() < 1000; }, 30s));
  if (!kSanitized) {
    EXPECT_LT(hwm_after - hwm_before, 10 * 16 * 1024);
  }
}

// Every named record goes with the next flush, the one left out stays, and the service answers.
TEST(HostileNetworkTest, TenThousandAcknowledgementsInOneBatch) {
  ServiceOptions options;
  options.config = {{"storage", {{"max_file_kb", 65536}, {"max_dir_kb", 1 << 20}}}};
  options.broker_config = {"max_queued_messages 0"};  // the default 1000 drops most of a burst
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  auto pub = svc.NewPeer("bulk");
  nlohmann::json acks = nlohmann::json::array();
  for (int i = 0; i <= 10000; ++i) {
    ASSERT_TRUE(pub->PublishAsync(kData, DataPayload(i, fmt::format("k{}", i)), i));
    if (i % 500 == 0) pub->WaitSettled(static_cast<size_t>(i) + 1, 30s);
    if (i < 10000) acks.push_back({{"timestamp", i}, {"msg_id", fmt::format("k{}", i)}});
  }
  const auto lines = [&] { return CountOf(Contents(svc.active()), "\n"); };  // cheap on a big file
  ASSERT_TRUE(WaitFor([&] { return lines() == 10001; }, 120s));
  ASSERT_TRUE(svc.control().Publish(kData + "/ack", nlohmann::json{{"acks", acks}}.dump()));
  ASSERT_TRUE(WaitFor([&] { return lines() == 1; }, 60s));
  ASSERT_TRUE(svc.Capture(20000, "probe-after"));
  EXPECT_EQ(svc.Outbox().at(0).msg_id, "k10000");
  EXPECT_EQ(CountOf(svc.Output(), "Flushed 10000 messages (acked+broken), 1 remain"), 1);
}

}  // namespace
