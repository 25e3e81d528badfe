// Hostile outbox directories: torn lines, binary garbage, a 64 MiB line without a line feed,
// directories and symbolic links where files belong, a read-only file system and a directory the
// service's user cannot read. In every case the service starts, says what it found, keeps every
// intact record, and captures again once the obstacle is gone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "../torture/torture_support.h"
#include "base64.h"
#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testsupport::ReportFigure;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;
using testsupport::WriteFile;
using torture::AuditOutbox;
using torture::OutboxAudit;

const std::string kData = "/kv/e2e/data";

// A record line as the service writes it, without its line feed.
std::string Record(int64_t ts, const std::string& id) {
  const std::string payload = testsupport::DataPayload(ts, id);
  return nlohmann::json{
      {"msg_id", id},
      {"payload", base64_encode(reinterpret_cast<const uint8_t*>(payload.data()), payload.size())},
      {"topic", kData},
      {"ts", ts}}
      .dump();
}
// Built on first use: the codec's tables are globals of another translation unit.
const std::string& V(int n) {
  static const std::vector<std::string> lines = {Record(1001, "v1"), Record(1002, "v2"),
                                                 Record(1003, "v3")};
  return lines.at(static_cast<size_t>(n - 1));
}

void WriteGzip(const std::string& path, const std::string& content) {
  gzFile f = gzopen(path.c_str(), "wb6");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(gzwrite(f, content.data(), static_cast<unsigned>(content.size())),
            static_cast<int>(content.size()));
  ASSERT_EQ(gzclose(f), Z_OK);
}

// A directory that remove() cannot take away.
void MakeBusyDir(const std::string& path) {
  fs::create_directories(path);
  WriteFile(path + "/keep", "x");
}

struct FileCase {
  std::string name;
  // Builds the outbox directory (`dir`; `outside` is a scratch directory next to it).
  std::function<void(const std::string& dir, const std::string& outside)> setup;
  // Fragments the start-up must log.
  std::vector<std::string> start_log;
  // Whether a message is captured right away; when not, the fragment its failure logs.
  bool capture = true;
  std::string capture_error;
  // Acknowledgements published after start, and what the flush they cause must log.
  std::vector<std::pair<int64_t, std::string>> acks;
  std::string flush_log;
  // The operator's repair, after which capture (and a pending flush) must work without a restart.
  std::function<void(const std::string& dir)> heal;
  // Record lines that must be whole in the outbox at the end, and ids that must be gone.
  std::vector<std::string> intact;
  std::vector<std::string> gone;
};

std::vector<FileCase> Cases() {
  std::vector<FileCase> cases;
  cases.push_back({
      "TornLinesAndBinaryGarbage",
      [](const std::string& dir, const std::string&) {
        fs::create_directories(dir);
        WriteFile(dir + "/outbox.jsonl",
                  V(1) + "\n{\"msg_id\":\"t1\",\"pay\n" + V(2) + "\n" +
                      std::string("\x00\xff\xfe\x1b[2J\x7f garbage\x01", 17) + "\n" + V(3) +
                      "\n{\"msg_id\":\"t2\",\"payload\":\"QQ");
      },
      {"Index rebuild: 3 valid, 3 broken lines"},
      true,
      "",
      {{1002, "v2"}},
      "Discarding broken line",
      nullptr,
      {V(1), V(3)},
      {"v2"},
  });
  cases.push_back({
      "ActiveFileIsDirectory",
      [](const std::string& dir, const std::string&) {
        MakeBusyDir(dir + "/outbox.jsonl");
        WriteGzip(dir + "/outbox.2000-01-01_000000.jsonl.gz", V(1) + "\n" + V(2) + "\n");
      },
      {"Index rebuild: read of ", "Is a directory"},
      false,
      "Cannot open outbox file for append",
      {},
      "",
      [](const std::string& dir) { fs::remove_all(dir + "/outbox.jsonl"); },
      {V(1), V(2)},
      {},
  });
  cases.push_back({
      "TempFileIsDirectory",
      [](const std::string& dir, const std::string&) {
        MakeBusyDir(dir + "/outbox.jsonl.tmp");
        WriteFile(dir + "/outbox.jsonl", V(1) + "\n" + V(2) + "\n");
      },
      {"Index rebuild: 2 entries"},
      true,
      "",
      {{1001, "v1"}},
      "flushAcks: write to temp failed, aborting flush",
      [](const std::string& dir) { fs::remove_all(dir + "/outbox.jsonl.tmp"); },
      {V(2)},
      {"v1"},
  });
  cases.push_back({
      "EmptyTempDirectoryIsCleared",
      [](const std::string& dir, const std::string&) {
        fs::create_directories(dir + "/outbox.jsonl.tmp");
        WriteFile(dir + "/outbox.jsonl", V(1) + "\n");
      },
      {"Removed stale temp file: ", "Index rebuild: 1 entries"},
      true,
      "",
      {{1001, "v1"}},
      "Flushed 1 messages",
      nullptr,
      {},
      {"v1"},
  });
  cases.push_back({
      // The directory stays ahead of the real archive; neither it nor the records behind it go.
      "GzipArchiveNameIsDirectory",
      [](const std::string& dir, const std::string&) {
        MakeBusyDir(dir + "/outbox.2000-01-01_000000.jsonl.gz");
        WriteGzip(dir + "/outbox.2000-01-02_000000.jsonl.gz", V(1) + "\n" + V(2) + "\n");
      },
      {"Failed to restore outbox.2000-01-01_000000.jsonl.gz, keeping it for a later attempt"},
      true,
      "",
      {},
      "",
      nullptr,
      {V(1), V(2)},
      {},
  });
  cases.push_back({
      "ActiveFileIsSymlinkLoop",
      [](const std::string& dir, const std::string&) {
        fs::create_directories(dir);
        fs::create_symlink("outbox.jsonl", dir + "/outbox.jsonl");
        WriteGzip(dir + "/outbox.2000-01-01_000000.jsonl.gz", V(1) + "\n");
      },
      {},
      false,
      "Cannot open outbox file for append",
      {},
      "",
      [](const std::string& dir) { fs::remove(dir + "/outbox.jsonl"); },
      {V(1)},
      {},
  });
  cases.push_back({
      // Restored by renaming the link: the records are read through it and stay whole.
      "ArchiveIsSymlinkToOutsideFile",
      [](const std::string& dir, const std::string& outside) {
        fs::create_directories(dir);
        WriteFile(outside + "/elsewhere.jsonl", V(1) + "\n" + V(2) + "\n");
        fs::create_symlink(outside + "/elsewhere.jsonl", dir + "/outbox.2000-01-01_000000.jsonl");
      },
      {"Restored outbox.2000-01-01_000000.jsonl: 2 messages"},
      true,
      "",
      {{1001, "v1"}},
      "Flushed 1 messages",
      nullptr,
      {V(2)},
      {"v1"},
  });
  cases.push_back({
      "OutboxPathIsRegularFile",
      [](const std::string& dir, const std::string&) { WriteFile(dir, "not a directory\n"); },
      {"Path exists but is not directory", "Failed to create directory: "},
      false,
      "Cannot open outbox file for append",
      {},
      "",
      nullptr,
      {},
      {},
  });
  return cases;
}

class HostileFilesTest : public ::testing::TestWithParam<FileCase> {};

// Publishes one message and waits until it is captured or its failure is logged. Returns whether
// it was captured.
bool CaptureOne(ServiceFixture& fx, int64_t ts, const std::string& id, const std::string& error,
                size_t from) {
  EXPECT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(ts, id)));
  const std::string captured = "Captured: ts=" + std::to_string(ts) + " msg_id=" + id + " ";
  const int at = fx.WaitLog(
      [&](const testsupport::LogLine& l) {
        return l.message.rfind(captured, 0) == 0 ||
               (!error.empty() && l.message.find(error) != std::string::npos);
      },
      10s, from);
  EXPECT_GE(at, 0) << "neither captured nor refused: " << id;
  return at >= 0 && fx.Log()[static_cast<size_t>(at)].message.rfind(captured, 0) == 0;
}

TEST_P(HostileFilesTest, StartsReportsKeepsIntactRecordsAndRecovers) {
  const FileCase& c = GetParam();
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  testsupport::TempDir outside;
  c.setup(fx.outbox_dir(), outside.path());
  ASSERT_TRUE(fx.StartService());

  const std::string out = fx.Output();
  for (const std::string& f : c.start_log) {
    EXPECT_NE(out.find(f), std::string::npos) << "start-up did not log: " << f;
  }
  EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;

  EXPECT_EQ(CaptureOne(fx, 5001, "new-1", c.capture_error, fx.ready_index()), c.capture);
  for (const auto& [ts, id] : c.acks) {
    ASSERT_TRUE(fx.control().Publish(kData + "/ack", testsupport::AckPayload(ts, id)));
  }
  if (!c.flush_log.empty()) {
    const int at = fx.WaitLog(
        [&](const testsupport::LogLine& l) {
          return l.message.find(c.flush_log) != std::string::npos;
        },
        10s, fx.ready_index());
    EXPECT_GE(at, 0) << "no flush reported: " << c.flush_log;
  }

  if (c.heal) {
    c.heal(fx.outbox_dir());
    const size_t from = fx.Log().size();
    EXPECT_TRUE(CaptureOne(fx, 5002, "new-2", c.capture_error, from))
        << "capture did not resume after the repair";
    if (!c.acks.empty()) {
      EXPECT_GE(fx.WaitLogStartsWith("Flushed ", 10s, from), 0) << "queued acks never applied";
    }
  }
  EXPECT_TRUE(fx.service_running());
  fx.StopService(SIGKILL);

  const OutboxAudit audit = AuditOutbox(fx.outbox_dir());
  for (const std::string& line : c.intact) {
    const testsupport::OutboxRecord r = testsupport::ParseOutboxLine(line);
    ASSERT_TRUE(r.valid);
    auto it = audit.lines.find(r.msg_id);
    EXPECT_TRUE(it != audit.lines.end() && it->second == line) << "lost or changed: " << line;
  }
  for (const std::string& id : c.gone) EXPECT_FALSE(audit.has(id)) << id << " acknowledged, kept";
  if (c.capture) {
    EXPECT_TRUE(audit.has("new-1"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileFilesTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// A 64 MiB line without a line feed at the end of the active file: start-up indexes the record
// before it, the next capture starts a line of its own, and the peak memory stays bounded.
TEST(HostileFilesLargeTest, GiantUnterminatedLine) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  fs::create_directories(fx.outbox_dir());
  const size_t giant = 64u << 20;
  {
    std::string text = V(1) + "\n{\"msg_id\":\"";
    text.append(giant, 'a');
    WriteFile(fx.active_path(), text);
  }
  const auto t0 = torture::Clock::now();
  ASSERT_TRUE(fx.StartService(60s));
  const auto startup_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(torture::Clock::now() - t0).count();
  EXPECT_GE(fx.WaitLogStartsWith("Index rebuild: 1 valid, 1 broken lines", 1s), 0);
  EXPECT_TRUE(CaptureOne(fx, 5001, "after-giant", "", fx.ready_index()));
  const int64_t hwm_kb = torture::ProcStatusKb(fx.service_pid(), "VmHWM");
  fx.StopService(SIGKILL);

  // The new record is whole, wherever rotation put the old content.
  const OutboxAudit audit = AuditOutbox(fx.outbox_dir());
  EXPECT_TRUE(audit.has("after-giant"));
  ASSERT_TRUE(audit.lines.count("v1"));
  EXPECT_EQ(audit.lines.at("v1"), V(1));
  EXPECT_EQ(audit.broken, 1);
  ReportFigure("files.giant_startup_ms", "start-up over a 64 MiB line (ms, to ready)",
               std::to_string(startup_ms));
  ReportFigure("files.giant_hwm_kb", "peak RSS with a 64 MiB line (VmHWM kB)",
               std::to_string(hwm_kb));
  // Today about nine times the line (the JSON library's token buffers and its error text hold
  // copies of it, see tests/torture/README.md); the bound catches anything worse than that.
  if (!torture::kSanitized) {
    EXPECT_LT(hwm_kb, 12 * 64 * 1024);
  }
}

// The file system turns read-only under the service and writable again.
TEST(HostileFilesMountTest, ReadOnlyFileSystem) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  torture::TmpfsMount disk(fx.outbox_dir(), "4m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  WriteFile(fx.active_path(), V(1) + "\n" + V(2) + "\n");
  WriteGzip(fx.outbox_dir() + "/outbox.2000-01-01_000000.jsonl.gz", V(3) + "\n");
  ASSERT_TRUE(disk.SetReadOnly(true));
  ASSERT_TRUE(fx.StartService());
  EXPECT_GE(fx.WaitLogStartsWith("Index rebuild: 2 entries", 1s), 0);

  EXPECT_FALSE(
      CaptureOne(fx, 5001, "ro-1", "Cannot open outbox file for append", fx.ready_index()));
  ASSERT_TRUE(fx.control().Publish(kData + "/ack", testsupport::AckPayload(1001, "v1")));
  EXPECT_GE(fx.WaitLogStartsWith("flushAcks: write to temp failed", 10s, fx.ready_index()), 0);

  ASSERT_TRUE(disk.SetReadOnly(false));
  const size_t from = fx.Log().size();
  EXPECT_TRUE(CaptureOne(fx, 5002, "rw-1", "Cannot open outbox file for append", from));
  EXPECT_GE(fx.WaitLogStartsWith("Flushed 1 messages", 10s, from), 0);
  fx.StopService(SIGKILL);

  const OutboxAudit audit = AuditOutbox(fx.outbox_dir());
  EXPECT_FALSE(audit.has("v1"));
  EXPECT_EQ(audit.lines.count("v2") ? audit.lines.at("v2") : "", V(2));
  EXPECT_EQ(audit.lines.count("v3") ? audit.lines.at("v3") : "", V(3));
  EXPECT_TRUE(audit.has("rw-1"));
  EXPECT_EQ(audit.broken, 0);
}

// The outbox directory is unreadable for the service's user (root ignores modes, so the service
// runs as nobody here): capture failures are logged, the records stay, and capture works once the
// modes are fixed.
TEST(HostileFilesUserTest, UnreadableOutboxDirectory) {
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv to run the service as another user";
  }
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  const std::string tmp = fs::path(fx.config_path()).parent_path();
  ::chmod(tmp.c_str(), 0755);  // the configuration must stay readable for nobody
  fs::create_directories(fx.outbox_dir());
  WriteFile(fx.active_path(), V(1) + "\n");
  ::chmod(fx.active_path().c_str(), 0666);
  ::chmod(fx.outbox_dir().c_str(), 0);

  testsupport::TempDir logs;
  torture::ServiceRun run(fx, logs.file("nobody.log"), {},
                          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  ASSERT_TRUE(run.WaitReady(fx, 30s)) << run.Output();
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(5001, "denied-1")));
  EXPECT_TRUE(run.WaitLogged("Cannot open outbox file for append", 10s)) << run.Output();

  ::chmod(fx.outbox_dir().c_str(), 0777);
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(5002, "allowed-1")));
  EXPECT_TRUE(run.WaitLogged("Captured: ts=5002 msg_id=allowed-1", 10s)) << run.Output();
  EXPECT_TRUE(run.running());
  run.Kill(SIGKILL);

  const OutboxAudit audit = AuditOutbox(fx.outbox_dir());
  EXPECT_EQ(audit.lines.count("v1") ? audit.lines.at("v1") : "", V(1));
  EXPECT_TRUE(audit.has("allowed-1"));
  EXPECT_FALSE(audit.has("denied-1"));
}

// Entries of the archive list that are not regular files must neither block the archives behind
// them nor take the active file's place. Both hold today only partly (see the robustness README);
// run with --gtest_also_run_disabled_tests to check a fix.
TEST(HostileFilesArchiveDirTest, DISABLED_ArchiveNamedDirectoryIsSkipped) {
  for (const std::string ext : {".jsonl", ".jsonl.gz"}) {
    SCOPED_TRACE(ext);
    ServiceOptions options;
    options.resend = {{"cooldown", 3600}};
    ServiceFixture fx(options);
    MakeBusyDir(fx.outbox_dir() + "/outbox.2000-01-01_000000" + ext);
    WriteGzip(fx.outbox_dir() + "/outbox.2000-01-02_000000.jsonl.gz", V(1) + "\n");
    ASSERT_TRUE(fx.StartService());
    EXPECT_TRUE(
        CaptureOne(fx, 5001, "new-1", "Cannot open outbox file for append", fx.ready_index()));
    // The real archive behind the directory is the one restored.
    EXPECT_GE(fx.WaitLogStartsWith("Restored outbox.2000-01-02_000000.jsonl.gz", 1s), 0);
    fx.StopService(SIGKILL);
    EXPECT_FALSE(fs::is_directory(fx.active_path()));
  }
}

}  // namespace
