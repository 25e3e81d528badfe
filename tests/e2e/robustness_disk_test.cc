// Full disk: the outbox lives on a 512 KiB tmpfs that the test fills up while messages keep coming
// and acknowledgements ask for flushes, then frees again. Nothing written before may be lost, no
// record may be half-written, every failed capture is logged, and capture resumes on its own.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../torture/torture_support.h"
#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ReportFigure;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;
using torture::AuditOutbox;
using torture::CountOf;
using torture::OutboxAudit;

const std::string kData = "/kv/e2e/data";
constexpr int64_t kTs = 1000000;

// Fills the file system holding `path` until a write fails; returns the bytes written.
int64_t FillUp(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return -1;
  std::setvbuf(f, nullptr, _IONBF, 0);
  const std::string block(1024, 'F');
  int64_t total = 0;
  while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) total += 1024;
  std::fclose(f);
  return total;
}

int64_t FreeBytes(const std::string& dir) {
  struct statvfs s {};
  if (::statvfs(dir.c_str(), &s) != 0) return -1;
  return static_cast<int64_t>(s.f_bavail) * static_cast<int64_t>(s.f_frsize);
}

std::string Id(const std::string& phase, int i) { return phase + std::to_string(i); }

TEST(DiskFullTest, FullTmpfsLosesNothingWrittenAndCaptureResumes) {
  ServiceOptions options;
  options.storage = {
      {"compress", true}, {"max_file_kb", 64}, {"max_dir_kb", 100000}, {"rotation_cooldown", 1}};
  options.resend = {{"cooldown", 3600}};
  options.maintenance_interval = 1;
  ServiceFixture fx(options);
  torture::TmpfsMount disk(fx.outbox_dir(), "512k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << errno;
  ASSERT_TRUE(fx.StartService());
  auto& pub = fx.control();
  const std::string filler = fx.outbox_dir() + "/filler.bin";

  // A: 46 records of about 1.4 KiB each: the active file just reaches the rotation size, so the
  // next capture tries to rotate (on the full disk).
  constexpr int kA = 46;
  for (int i = 0; i < kA; ++i)
    ASSERT_TRUE(pub.Publish(kData, torture::SizedPayload(kTs + i, Id("a", i), 1024)));
  ASSERT_TRUE(fx.WaitOutbox([](const auto& r) { return r.size() == kA; }, 10s));
  const std::string before_full = testsupport::TryReadFile(fx.active_path()).value_or("");

  // Full: the filler takes every free block. Then B: 60 more messages while nothing fits, and
  // acknowledgements of a0..a19, whose flush needs room for a whole new active file.
  const size_t full_from = fx.Log().size();
  ASSERT_GT(FillUp(filler), 0);
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(pub.Publish(kData + "/ack", testsupport::AckPayload(kTs + i, Id("a", i))));
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(pub.Publish(kData, torture::SizedPayload(kTs + 100 + i, Id("b", i), 1024)));
  }
  // Every B message is accounted for: captured, or its failed write logged.
  const auto b_settled = [&] {
    const auto lines = fx.Log();
    const size_t captured =
        testsupport::MessagesStartingWith(lines, "Captured: ts=", full_from).size();
    const size_t failed =
        testsupport::MessagesStartingWith(lines, "Write to outbox file failed", full_from).size();
    return captured + failed >= 60;
  };
  ASSERT_TRUE(testsupport::WaitFor(b_settled, 20s));
  ASSERT_GE(fx.WaitLogStartsWith("flushAcks: write to temp failed", 5s, full_from), 0);
  std::this_thread::sleep_for(1500ms);  // a further maintenance pass on the full disk

  const std::vector<testsupport::LogLine> full_log = fx.Log();
  const size_t b_captured =
      testsupport::MessagesStartingWith(full_log, "Captured: ts=", full_from).size();
  const size_t b_failed =
      testsupport::MessagesStartingWith(
          full_log, "Write to outbox file failed: No space left on device", full_from)
          .size();
  const std::string during = testsupport::TryReadFile(fx.active_path()).value_or("");
  OutboxAudit full_audit = AuditOutbox(fx.outbox_dir());
  EXPECT_EQ(during.substr(0, before_full.size()), before_full)
      << "records written before the disk filled changed";
  EXPECT_TRUE(during.empty() || during.back() == '\n')
      << "half-written record at the end of the active file";
  EXPECT_EQ(full_audit.broken, 0) << ::testing::PrintToString(full_audit.broken_lines);
  EXPECT_EQ(b_captured + b_failed, 60u);
  EXPECT_GT(b_failed, 0u) << "the disk never filled up";
  EXPECT_GE(fx.WaitLogStartsWith("Compression failed, rotation aborted", 1s, full_from), 0)
      << "no rotation was tried (or its failure not logged) on the full disk";
  size_t b_on_disk = 0;
  for (int i = 0; i < 60; ++i) b_on_disk += full_audit.has(Id("b", i)) ? 1 : 0;
  EXPECT_EQ(b_on_disk, b_captured) << "a failed capture left a record, or a logged one is missing";
  for (int i = 0; i < kA; ++i)
    EXPECT_TRUE(full_audit.has(Id("a", i))) << Id("a", i) << " lost while the disk was full";
  EXPECT_EQ(full_audit.temp_files, 0) << "a failed flush or compression left its temporary file";

  // Space comes back: the next maintenance pass applies the acknowledgements queued on the full
  // disk, C is captured without a restart, and nothing else goes.
  const size_t free_from = fx.Log().size();
  std::remove(filler.c_str());
  EXPECT_GE(fx.WaitLogStartsWith("Flushed 20 messages", 10s, free_from), 0)
      << "the acknowledgements queued on the full disk were never applied";
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(pub.Publish(kData, torture::SizedPayload(kTs + 200 + i, Id("c", i), 1024)));
  const auto all_c = [&] {
    const OutboxAudit a = AuditOutbox(fx.outbox_dir());
    for (int i = 0; i < 30; ++i) {
      if (!a.has(Id("c", i))) return false;
    }
    return true;
  };
  EXPECT_TRUE(testsupport::WaitFor(all_c, 15s));
  fx.StopService(SIGKILL);

  const OutboxAudit end = AuditOutbox(fx.outbox_dir());
  EXPECT_EQ(end.broken, 0) << ::testing::PrintToString(end.broken_lines);
  EXPECT_TRUE(end.unreadable.empty());
  for (int i = 0; i < 20; ++i)
    EXPECT_FALSE(end.has(Id("a", i))) << Id("a", i) << " acknowledged but kept";
  for (int i = 20; i < kA; ++i) EXPECT_TRUE(end.has(Id("a", i))) << Id("a", i) << " lost";
  for (int i = 0; i < 60; ++i) {
    if (full_audit.has(Id("b", i))) {
      EXPECT_TRUE(end.has(Id("b", i))) << Id("b", i) << " lost";
    }
  }
  EXPECT_EQ(end.duplicates(), 0);
  const std::string out = fx.Output();

  ReportFigure("disk.b_captured", "messages captured while full", std::to_string(b_captured));
  ReportFigure("disk.b_failed", "captures refused and logged while full", std::to_string(b_failed));
  ReportFigure("disk.flush_failures", "flushes aborted while full",
               std::to_string(CountOf(out, "flushAcks: write to temp failed")));
  ReportFigure("disk.rotation_failures", "rotations aborted while full",
               std::to_string(CountOf(out, "Compression failed, rotation aborted")));
  ReportFigure("disk.records_end", "records at the end (a20.., b kept, c)",
               std::to_string(end.whole));
  ReportFigure("disk.free_end", "free bytes on the tmpfs at the end",
               std::to_string(FreeBytes(fx.outbox_dir())));
}

}  // namespace
