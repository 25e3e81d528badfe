// Hostile input. Outbox directories: torn lines, garbage, a 64 MiB line, directories and links
// where files belong, a directory the service cannot read, a full disk; in every case the service
// starts, says what it found, keeps every intact record and captures again once the obstacle is
// gone, without a restart. Network: a payload near the broker's size limit, deeply nested JSON,
// control characters in ids and topics, one acknowledgement message naming 10000 records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "e2e.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

const std::string kData = "/kv/e2e/data", kNoAppend = "Cannot open outbox file for append";

// Record lines as the service writes them: V(n) holds {"timestamp":100n,"msg_id":"vn"}.
std::string V(int n) {
  const char* b64[] = {"eyJ0aW1lc3RhbXAiOjEwMDEsIm1zZ19pZCI6InYxIn0=",
                       "eyJ0aW1lc3RhbXAiOjEwMDIsIm1zZ19pZCI6InYyIn0="};
  return "{\"msg_id\":\"v" + std::to_string(n) + "\",\"payload\":\"" + b64[n - 1] +
         "\",\"topic\":\"" + kData + "\",\"ts\":" + std::to_string(1000 + n) + "}";
}

void WriteGzip(const std::string& path, const std::string& content) {
  gzFile f = gzopen(path.c_str(), "wb");
  gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
  ASSERT_EQ(gzclose(f), Z_OK);
}

void BusyDir(const std::string& path) {  // a directory that remove() cannot take away
  fs::create_directories(path);
  WriteFile(path + "/keep", "x");
}

using Heal = std::function<void(const std::string& dir)>;  // the operator's repair
using Setup = std::function<void(const std::string& dir, const std::string& outside)>;
struct FileCase {
  std::string name;
  std::string start_log;    // what start-up must log (empty: nothing in particular)
  std::string refusal;      // empty: a new message is captured; else what its failure logs
  std::string flush_log;    // after acknowledging V(1): what its flush logs (empty: no ack)
  std::vector<int> intact;  // V(n) whole at the end
  Heal heal;
  Setup setup;
};
std::vector<FileCase> Cases() {
  const auto rm = [](std::string name) {
    return [name](const std::string& dir) { fs::remove_all(dir + "/" + name); };
  };
  return {
      FileCase("TornLinesAndBinaryGarbage", "Index rebuild: 2 valid, 3 broken lines", "",
               "Discarding broken line", {2}, nullptr,
               [](const std::string& dir, const std::string&) {
                 fs::create_directories(dir);
                 WriteFile(dir + "/outbox.jsonl",
                           "{\"msg_id\":\"t1\",\"pay\n" + V(1) + "\n" +
                               std::string("\x00\xff\x1b[2J\x7f junk\x01", 13) + "\n" + V(2) +
                               "\n{\"msg_id\":\"t2\",\"pa");
               }),
      FileCase("ActiveFileIsDirectory", "Is a directory", kNoAppend, "", {1, 2}, rm("outbox.jsonl"),
               [](const std::string& dir, const std::string&) {
                 BusyDir(dir + "/outbox.jsonl");
                 WriteGzip(dir + "/outbox.2000-01-01_000000.jsonl.gz", V(1) + "\n" + V(2) + "\n");
               }),
      FileCase("TempFileIsDirectory", "Index rebuild: 2 entries", "",
               "flushAcks: write to temp failed", {2}, rm("outbox.jsonl.tmp"),
               [](const std::string& dir, const std::string&) {
                 BusyDir(dir + "/outbox.jsonl.tmp");
                 WriteFile(dir + "/outbox.jsonl", V(1) + "\n" + V(2) + "\n");
               }),
      FileCase("ActiveFileIsSymlinkLoop", "", kNoAppend, "", {1}, rm("outbox.jsonl"),
               [](const std::string& dir, const std::string&) {
                 fs::create_directories(dir);
                 fs::create_symlink("outbox.jsonl", dir + "/outbox.jsonl");
                 WriteGzip(dir + "/outbox.2000-01-01_000000.jsonl.gz", V(1) + "\n");
               }),
      // Restored by renaming the link: the records are read through it and stay whole.
      FileCase(
          "ArchiveIsSymlinkToOutsideFile", "Restored outbox.2000-01-01_000000.jsonl: 2 messages",
          "", "Flushed 1 messages", {2}, nullptr,
          [](const std::string& dir, const std::string& outside) {
            fs::create_directories(dir);
            WriteFile(outside + "/elsewhere", V(1) + "\n" + V(2) + "\n");
            fs::create_symlink(outside + "/elsewhere", dir + "/outbox.2000-01-01_000000.jsonl");
          }),
  };
}

class HostileFilesTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(HostileFilesTest, StartsReportsKeepsIntactRecordsAndRecovers) {
  const FileCase& c = GetParam();
  Service svc;
  TempDir outside;
  c.setup(svc.dir(), outside.path());
  ASSERT_TRUE(svc.Start(true));
  EXPECT_GE(CountOf(svc.Output(), c.start_log), 1) << c.start_log;
  EXPECT_EQ(CountOf(svc.Output(), " CRITICAL "), 0);
  EXPECT_EQ(svc.Capture(5001, "new-1", c.refusal), c.refusal.empty());
  if (!c.flush_log.empty()) {
    ASSERT_TRUE(svc.control().Publish(kData + "/ack", AckPayload(1001, "v1")));
    EXPECT_GE(svc.WaitLog(c.flush_log, 10s, svc.ready()), 0) << c.flush_log;
  }
  if (c.heal) {
    c.heal(svc.dir());
    const size_t from = svc.Log().size();
    EXPECT_TRUE(svc.Capture(5002, "new-2", c.refusal)) << "capture did not resume after the repair";
    if (!c.flush_log.empty()) {
      EXPECT_GE(svc.WaitLog("Flushed 1 messages", 10s, from), 0);
    }
  }
  EXPECT_TRUE(svc.running());
  svc.Stop(SIGKILL);
  const Audit audit = AuditOutbox(svc.dir());
  for (int n : c.intact) EXPECT_EQ(audit.line("v" + std::to_string(n)), V(n));
  EXPECT_EQ(audit.has("v1"), c.flush_log.empty());
  // Refused for a file-system reason, a message is held unacknowledged until the repair stores it.
  EXPECT_EQ(audit.has("new-1"), c.refusal.empty() || c.heal != nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileFilesTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// The record before the line is indexed, the next capture starts a line of its own, and the peak
// memory stays bounded: today about nine times the line (tests/torture/README.md, finding 3).
TEST(HostileFilesTest, GiantLineWithoutLineFeed) {
  Service svc;
  fs::create_directories(svc.dir());
  WriteFile(svc.active(), V(1) + "\n{\"msg_id\":\"" + std::string(64u << 20, 'a'));
  ASSERT_TRUE(svc.Start(false) && svc.WaitReady(60s));
  EXPECT_GE(svc.WaitLog("Index rebuild: 1 valid, 1 broken lines", 1s), 0);
  EXPECT_TRUE(svc.Capture(5001, "after-giant"));
  const int64_t hwm_kb = ProcStatusKb(svc.pid(), "VmHWM");
  ReportFigure("peak RSS with a 64 MiB line (VmHWM kB)", std::to_string(hwm_kb));
  if (!kSanitized) {
    EXPECT_LT(hwm_kb, 12 * 64 * 1024);
  }
  svc.Stop(SIGKILL);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_TRUE(audit.has("after-giant"));
  EXPECT_EQ(audit.line("v1"), V(1));
  EXPECT_EQ(audit.broken.size(), 1u);
}

// The outbox lives on a 512 KiB tmpfs that fills up while messages keep coming and
// acknowledgements ask for flushes, then frees again. Nothing is half-written, and nothing is lost:
// the message that found the disk full is held unacknowledged (the broker keeps it and the rest)
// and every one of them is stored once space returns.
TEST(DiskFullTest, NothingIsLostOrHalfWrittenAndCaptureResumes) {
  ServiceOptions options;
  options.storage = {{"compress", true}, {"max_file_kb", 1024}, {"rotation_cooldown", 1}};
  Service svc(options);
  fs::create_directories(svc.dir());
  if (::mount("tmpfs", svc.dir().c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  std::unique_ptr<const char, void (*)(const char*)> unmount(  // lazily, at the end
      svc.dir().c_str(), [](const char* d) { ::umount2(d, MNT_DETACH); });
  ASSERT_TRUE(svc.Start());
  const auto publish = [&](char phase, int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(
          svc.control().Publish(kData, DataPayload(i, phase + std::to_string(i), Fill(990))));
    }
  };
  publish('a', 46);  // about 1.4 KiB each
  ASSERT_TRUE(WaitFor([&] { return svc.Outbox().size() == 46; }, 10s));
  const std::vector<Record> a = svc.Outbox();

  // Full: a filler takes every free block; then acknowledgements of a0..a19 (their flush needs
  // room for a new active file) and 60 more messages.
  const size_t from = svc.Log().size();
  std::ofstream filler(svc.dir() + "/filler", std::ios::binary);
  for (const std::string block(4096, 'F'); filler.write(block.data(), 4096);) filler.flush();
  filler.close();
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(svc.control().Publish(kData + "/ack", AckPayload(i, a[i].msg_id)));
  publish('b', 60);
  EXPECT_GE(svc.WaitLog("Outbox write failed: ", 20s, from), 0);
  std::this_thread::sleep_for(2500ms);  // retries and a maintenance pass on the full disk
  const Audit full = AuditOutbox(svc.dir());
  const size_t captured = full.lines.size() - 46;
  EXPECT_TRUE(full.broken.empty()) << ::testing::PrintToString(full.broken);
  EXPECT_LT(captured, 60u) << "the disk never filled up";
  EXPECT_EQ(full.temp_files, 0) << "a failed flush or compression left its temporary file";
  EXPECT_EQ(Messages(svc.Log(), "Outbox write failed: ", from).size(), 1u);
  EXPECT_EQ(Messages(svc.Log(), "Captured: ", from).size(), captured);

  // Space returns: the held message and everything behind it are stored, the queued
  // acknowledgements applied.
  const size_t freed = svc.Log().size();
  fs::remove(svc.dir() + "/filler");
  EXPECT_GE(svc.WaitLog("Capture resumed: ", 40s, freed), 0);
  publish('c', 30);
  EXPECT_TRUE(WaitFor([&] { return AuditOutbox(svc.dir()).has("c29"); }, 15s));
  EXPECT_GE(svc.WaitLog("Flushed 20 messages", 70s, freed), 0);
  svc.Stop(SIGKILL);
  const Audit end = AuditOutbox(svc.dir());
  EXPECT_TRUE(end.broken.empty());
  EXPECT_EQ(end.lines.size(), 26u + 60 + 30) << "a message was lost or stored twice";
  for (size_t i = 20; i < a.size(); ++i) EXPECT_EQ(end.line(a[i].msg_id), a[i].line);
  for (int i = 0; i < 60; ++i) EXPECT_TRUE(end.has("b" + std::to_string(i))) << i;
  EXPECT_EQ(end.duplicates(), 0u);
  ReportFigure("captured while full, then held", std::to_string(captured) + " of 60");
}

// Entries of the archive list that are not regular files must neither block the archives behind
// them nor take the active file's place (a directory under a plain archive's name was once renamed
// over the active file; one under a .gz name blocked every archive behind it).
TEST(HostileFilesArchiveDirTest, ArchiveNamedDirectoryIsSkipped) {
  for (const std::string ext : {".jsonl", ".jsonl.gz"}) {
    Service svc;
    BusyDir(svc.dir() + "/outbox.2000-01-01_000000" + ext);
    WriteGzip(svc.dir() + "/outbox.2000-01-02_000000.jsonl.gz", V(1) + "\n");
    ASSERT_TRUE(svc.Start());
    EXPECT_TRUE(svc.Capture(5001, "new-1", kNoAppend)) << ext;
    EXPECT_GE(svc.WaitLog("Restored outbox.2000-01-02_000000.jsonl.gz", 1s), 0) << ext;
    svc.Stop(SIGKILL);
    EXPECT_FALSE(fs::is_directory(svc.active())) << ext;
  }
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
  ReportFigure("VmHWM before / after capturing 16 MiB (kB)",
               std::to_string(hwm_before) + " / " + std::to_string(hwm_after));
  if (!kSanitized) {
    EXPECT_LT(hwm_after - hwm_before, 10 * 16 * 1024);
  }
}

// Nesting within the parser's limit is stored, deeper documents are refused with a warning. Control
// characters in ids are escaped in the log (one line per entry, no forged line) and kept exactly
// in the records, and so are unusual topic characters.
TEST(HostileNetworkTest, NestingAndControlCharacters) {
  const std::string odd_topic = "/kv/e2e/odd topic \xe2\x80\xa8 \xf0\x9f\x8c\xa1";
  ServiceOptions options;
  options.topics = {kData, odd_topic};
  Service svc(options);
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
           {odd_topic, DataPayload(3002, "odd")},
           {kData + "/ack", AckPayload(3000, ids[0])}}) {
    ASSERT_TRUE(svc.control().Publish(topic, payload));
  }
  ASSERT_TRUE(svc.Capture(3003, "last"));
  const std::vector<LogLine> lines = ParseLog(svc.Output());
  EXPECT_EQ(Messages(lines, "Data: invalid JSON", svc.ready()).size(), 2u);
  EXPECT_EQ(Messages(lines, "ACK: invalid JSON", svc.ready()).size(), 1u);
  const std::string out = svc.Output();
  EXPECT_EQ(lines.size(), static_cast<size_t>(CountOf(out, "\n")));
  for (const LogLine& l : lines) EXPECT_NE(l.level, "CRITICAL") << l.message;
  EXPECT_EQ(CountOf(out, "ACK: ts=3000 msg_id=nl\\nfake 2024"), 1);
  EXPECT_GE(CountOf(out, "msg_id=esc\\x1b[2J\\x1b]0;t\\x07\\r\\x7f\xe2\x80\xa8\\t"), 1);
  EXPECT_EQ(out.find_first_of("\x1b\x7f\r"), std::string::npos);
  const Audit audit = AuditOutbox(svc.dir());
  EXPECT_EQ(ParseRecord(audit.line("d1000")).payload, nested(1000));
  EXPECT_TRUE(audit.has(ids[1]));
  EXPECT_EQ(ParseRecord(audit.line("odd")).topic, odd_topic);
  EXPECT_TRUE(audit.broken.empty());
}

// A configured topic that the broker would refuse (a control character) must not keep the service
// from the others: mosquitto closes the connection of a client that subscribes to it, which once
// took every subscription down with it.
TEST(HostileNetworkTest, ConfiguredTopicWithControlCharacter) {
  ServiceOptions options;
  options.topics = {kData, "/kv/e2e/bad\ttopic"};
  Service svc(options);
  ASSERT_TRUE(svc.Start());
  EXPECT_TRUE(svc.Capture(3100, "good-topic"));
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
