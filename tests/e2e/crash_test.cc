// kill -9 in the middle of a burst of QoS 1 messages, then a restart on the same outbox with a
// persistent MQTT session: every line on disk is a whole record, what was written before the kill
// is still there, and every message the broker accepted ends up in the outbox.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Clock;
using testsupport::OutboxRecord;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;

const std::string kData = "/kv/e2e/data";
constexpr int kBurst = 2000;

std::string Id(int i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "c-%04d", i);
  return buf;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

TEST(CrashTest, KillDuringBurstKeepsWholeRecordsAndEveryAcceptedMessage) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  options.env = {{"KESTOVA_MQTT_CLIENT_ID", "skelvane-e2e-crash"}};
  // The broker keeps everything queued for the session while the service is down.
  options.broker.extra_config = {"max_queued_messages 100000"};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  auto pub = fx.NewPeer("burst");

  std::vector<std::string> payloads;
  const int64_t ts = testsupport::UnixNow();
  for (int i = 0; i < kBurst; ++i) {
    payloads.push_back(testsupport::DataPayload(
        ts, Id(i), "\"seq\":" + std::to_string(i) + ",\"pad\":\"" + std::string(60, 'p') + "\""));
  }
  // One record is about 1.4 times the payload (Base64) plus the other members.
  const int64_t record_bytes = static_cast<int64_t>(payloads[0].size() * 4 / 3 + 60);
  for (int i = 0; i < kBurst; ++i) pub->PublishAsync(kData, payloads[i], i);

  // Kill once roughly a quarter of the burst is on disk, while the rest is still arriving.
  const bool mid_burst = testsupport::WaitFor(
      [&] { return FileSize(fx.active_path()) >= record_bytes * kBurst / 4; }, 30s);
  ASSERT_TRUE(mid_burst) << "the burst never reached the outbox";
  EXPECT_EQ(fx.StopService(SIGKILL), 128 + SIGKILL);
  const std::string before = testsupport::TryReadFile(fx.active_path()).value_or("");

  ASSERT_TRUE(pub->WaitSettled(kBurst, 60s));
  EXPECT_EQ(pub->failed_publishes(), 0u);
  const std::vector<int64_t> accepted = pub->Confirmed();

  // What the kill left behind: whole records only.
  std::string tail;
  const std::vector<OutboxRecord> at_kill = testsupport::ParseOutbox(before, &tail);
  EXPECT_TRUE(tail.empty()) << "torn record at the kill: " << tail;
  for (const auto& r : at_kill) EXPECT_TRUE(r.valid) << r.line;

  ASSERT_TRUE(fx.StartService(60s));
  EXPECT_GE(
      fx.WaitLogStartsWith("Index rebuild: " + std::to_string(at_kill.size()) + " entries", 1s), 0);
  auto ids_on_disk = [&] {
    std::set<std::string> ids;
    for (const auto& r : fx.Outbox()) ids.insert(r.msg_id);
    return ids;
  };
  const bool complete = testsupport::WaitFor(
      [&] {
        const std::set<std::string> ids = ids_on_disk();
        for (int64_t i : accepted) {
          if (ids.count(Id(static_cast<int>(i))) == 0) return false;
        }
        return true;
      },
      60s);

  const std::string after = testsupport::TryReadFile(fx.active_path()).value_or("");
  const std::vector<OutboxRecord> records = testsupport::ParseOutbox(after, &tail);
  EXPECT_TRUE(tail.empty());
  std::set<std::string> distinct;
  int invalid = 0;
  for (const auto& r : records) {
    if (!r.valid) {
      ++invalid;
      ADD_FAILURE() << "not a whole record: " << r.line;
      continue;
    }
    distinct.insert(r.msg_id);
    const int seq = std::stoi(r.msg_id.substr(2));
    EXPECT_EQ(r.payload, payloads[static_cast<size_t>(seq)]) << r.msg_id;
  }
  // Nothing written before the kill was lost or changed.
  EXPECT_EQ(after.compare(0, before.size(), before), 0) << "the outbox no longer starts with the "
                                                           "lines that were there at the kill";
  int missing = 0;
  for (int64_t i : accepted) missing += distinct.count(Id(static_cast<int>(i))) == 0;
  const size_t duplicates = records.size() - static_cast<size_t>(invalid) - distinct.size();

  testsupport::ReportFigure("crash_published", "crash: messages published (QoS 1)",
                            std::to_string(kBurst));
  testsupport::ReportFigure("crash_accepted", "crash: accepted by the broker (PUBACK)",
                            std::to_string(accepted.size()));
  testsupport::ReportFigure("crash_records_at_kill", "crash: records on disk at the kill",
                            std::to_string(at_kill.size()));
  testsupport::ReportFigure("crash_records", "crash: records after restart",
                            std::to_string(records.size()));
  testsupport::ReportFigure("crash_missing", "crash: accepted but missing",
                            std::to_string(missing));
  testsupport::ReportFigure("crash_duplicates", "crash: duplicate records",
                            std::to_string(duplicates));
  EXPECT_TRUE(complete);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(accepted.size(), static_cast<size_t>(kBurst));
  EXPECT_LT(at_kill.size(), static_cast<size_t>(kBurst)) << "the kill came after the burst";
}

}  // namespace
