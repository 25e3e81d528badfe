// Hostile input. Outbox directories: a 64 MiB torn line, a directory where the active file belongs,
// an archive linked from elsewhere (torn lines and garbage: outbox_store_test.cc); in every case
// the service starts, says what it found, keeps every intact record and captures again once the
// obstacle is gone, without a restart (a full disk: conservation_test.cc). Network: a payload near
// the broker's size limit, deeply nested JSON, control characters in ids, one acknowledgement
// message naming 10000 records.
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
  return "{\"msg_id\":\"v" + std::to_string(n) + "\",\"payload\":\"" + b64[n - 1] +
         "\",\"topic\":\"" + kData + "\",\"ts\":" + std::to_string(1000 + n) + "}";
}

// Start-up reports an active file that is a directory, and each message is held unacknowledged
// (the archive's records stay whole) until the operator removes it; then capture resumes.
TEST(HostileFilesTest, ActiveFileIsDirectory) {
  Service svc;
  fs::create_directories(svc.active() + "/busy");  // remove() cannot take it away
  gzFile f = gzopen((svc.dir() + "/outbox.2000-01-01_000000.jsonl.gz").c_str(), "wb");
  const std::string text = V(1) + "\n" + V(2) + "\n";
  gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
  gzclose(f);
  ASSERT_TRUE(svc.Start());
  EXPECT_GE(CountOf(svc.Output(), "Is a directory"), 1);
  EXPECT_FALSE(svc.Capture(5001, "new-1", "Cannot open outbox file for append"));
  fs::remove_all(svc.active());
  EXPECT_TRUE(svc.Capture(5002, "new-2")) << "capture did not resume after the repair";
  svc.Stop(SIGKILL);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_EQ(audit.line("v1") + audit.line("v2"), V(1) + V(2));
  EXPECT_TRUE(audit.has("new-1"));
}

// An archive linked to a file elsewhere is restored by renaming the link: its records are read
// through it and stay whole.
TEST(HostileFilesTest, ArchiveIsSymlinkToOutsideFile) {
  Service svc;
  TempDir outside;
  fs::create_directories(svc.dir());
  WriteFile(outside.file("elsewhere"), V(1) + "\n" + V(2) + "\n");
  fs::create_symlink(outside.file("elsewhere"), svc.dir() + "/outbox.2000-01-01_000000.jsonl");
  ASSERT_TRUE(svc.Start());
  EXPECT_GE(CountOf(svc.Output(), "Restored outbox.2000-01-01_000000.jsonl: 2 messages"), 1);
  ASSERT_TRUE(svc.control().Publish(kData + "/ack", AckPayload(1001, "v1")));
  EXPECT_GE(svc.WaitLog("Flushed 1 messages", 10s, svc.ready()), 0);
  svc.Stop(SIGKILL);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_FALSE(audit.has("v1"));
  EXPECT_EQ(audit.line("v2"), V(2));
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
  options.storage = {{"max_file_kb", 65536}, {"max_dir_kb", 1 << 20}};
  options.broker_config = {"message_size_limit " + std::to_string(17 << 20)};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  const int64_t hwm_before = ProcStatusKb(svc.pid(), "VmHWM");
  const std::string big = DataPayload(1000, "big", Fill(16 << 20));
  ASSERT_TRUE(svc.control().Publish(kData, big, 60s));
  ASSERT_GE(svc.WaitLog("Captured: ts=1000 msg_id=big ", 60s), 0);
  const int64_t hwm_after = ProcStatusKb(svc.pid(), "VmHWM");
  ASSERT_TRUE(svc.Capture(1002, "after-big"));
  ASSERT_TRUE(svc.control().Publish(kData + "/ack", AckPayload(1000, "big")));
  EXPECT_TRUE(WaitFor([&] { return Contents(svc.active()).size() < 1000; }, 30s));
  const std::vector<Record> records = svc.Outbox();
  EXPECT_EQ(records.size() == 1 ? records[0].msg_id : "", "after-big");
  if (!kSanitized) {
    EXPECT_LT(hwm_after - hwm_before, 10 * 16 * 1024);
  }
}

// Nesting within the parser's limit is stored, deeper documents are refused with a warning. Control
// characters in ids are escaped in the log (one line per entry, no forged line) and kept exactly
// in the records.
TEST(HostileNetworkTest, NestingAndControlCharacters) {
  Service svc;
  ASSERT_TRUE(svc.Start());
  const auto nested = [](int depth) {
    return "{\"timestamp\":2000,\"msg_id\":\"d" + std::to_string(depth) +
           "\",\"x\":" + std::string(static_cast<size_t>(depth - 1), '[') +
           std::string(static_cast<size_t>(depth - 1), ']') + "}";
  };
  const std::vector<std::string> ids = {
      "nl\nfake 2024-01-01 00:00:00.000 CRITICAL x.cc:1 f: forged",
      "esc\x1b[2J\x1b]0;t\x07\r\x7f\xe2\x80\xa8\t"};
  for (const auto& [topic, payload] : std::vector<std::pair<std::string, std::string>>{
           {kData, nested(1000)},
           {kData, nested(1001)},
           {kData, std::string(1 << 20, '[')},
           {kData + "/ack",
            "{\"acks\":" + std::string(100000, '[') + std::string(100000, ']') + "}"},
           {kData, DataPayload(3000, ids[0])},
           {kData, DataPayload(3001, ids[1])},
           {kData + "/ack", AckPayload(3000, ids[0])}}) {
    ASSERT_TRUE(svc.control().Publish(topic, payload));
  }
  ASSERT_TRUE(svc.Capture(3003, "last"));
  const std::vector<LogLine> lines = ParseLog(svc.Output());
  EXPECT_EQ(Messages(lines, "Data: invalid JSON", svc.ready()).size(), 2u);
  EXPECT_EQ(Messages(lines, "ACK: invalid JSON", svc.ready()).size(), 1u);
  const std::string out = svc.Output();
  EXPECT_EQ(lines.size(), static_cast<size_t>(CountOf(out, "\n")));
  EXPECT_EQ(CountOf(out, "ACK: ts=3000 msg_id=nl\\nfake 2024"), 1);
  EXPECT_GE(CountOf(out, "msg_id=esc\\x1b[2J\\x1b]0;t\\x07\\r\\x7f\xe2\x80\xa8\\t"), 1);
  EXPECT_EQ(out.find_first_of("\x1b\x7f\r"), std::string::npos);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_EQ(ParseRecord(audit.line("d1000")).payload, nested(1000));
  EXPECT_TRUE(audit.has(ids[1]));
  EXPECT_TRUE(audit.broken.empty());
}

// Every named record goes with the next flush, the one left out stays, and the service answers.
TEST(HostileNetworkTest, TenThousandAcknowledgementsInOneBatch) {
  ServiceOptions options;
  options.storage = {{"max_file_kb", 65536}, {"max_dir_kb", 1 << 20}};
  options.broker_config = {"max_queued_messages 0"};  // the default 1000 drops most of a burst
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  auto pub = svc.NewPeer("bulk");
  nlohmann::json acks = nlohmann::json::array();
  for (int i = 0; i <= 10000; ++i) {
    ASSERT_TRUE(pub->PublishAsync(kData, DataPayload(i, "k" + std::to_string(i)), i));
    if (i % 500 == 0) pub->WaitSettled(static_cast<size_t>(i) + 1, 30s);
    if (i < 10000) acks.push_back({{"timestamp", i}, {"msg_id", "k" + std::to_string(i)}});
  }
  const auto lines = [&] { return CountOf(Contents(svc.active()), "\n"); };  // cheap on a big file
  ASSERT_TRUE(WaitFor([&] { return lines() == 10001; }, 120s));
  ASSERT_TRUE(svc.control().Publish(kData + "/ack", nlohmann::json{{"acks", acks}}.dump()));
  ASSERT_TRUE(WaitFor([&] { return lines() == 1; }, 60s));
  ASSERT_TRUE(svc.Capture(20000, "probe-after"));
  const std::vector<Record> records = svc.Outbox();
  EXPECT_EQ(records.size() == 2 ? records[0].msg_id : "", "k10000");
  EXPECT_EQ(Messages(svc.Log(), "ACK: ts=").size(), 10000u);
  EXPECT_EQ(Messages(svc.Log(), "Flushed 10000 messages (acked+broken), 1 remain").size(), 1u);
}

}  // namespace
