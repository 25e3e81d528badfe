// Hostile network input: payloads up to the broker's size limit, deeply nested JSON, control
// characters in topics and ids, and one acknowledgement message naming 10000 records.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
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
using torture::Clock;
using torture::OutboxAudit;

const std::string kData = "/kv/e2e/data";
constexpr size_t kBrokerLimit = 17u << 20;

int64_t Ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// A 16 MiB payload is captured byte for byte, a larger one than the broker takes leaves the service
// untouched, and the peak memory for the big one stays within a small multiple of its size.
TEST(HostileNetworkTest, PayloadsUpToTheBrokerLimit) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  options.storage = {{"max_file_kb", 65536}, {"max_dir_kb", 1048576}};
  options.broker.extra_config = {"message_size_limit " + std::to_string(kBrokerLimit)};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  const pid_t pid = fx.service_pid();
  const int64_t hwm_before = torture::ProcStatusKb(pid, "VmHWM");

  const std::string big = torture::SizedPayload(1000, "big-16m", 16u << 20);
  const auto t0 = Clock::now();
  ASSERT_TRUE(fx.control().Publish(kData, big, 60s));
  ASSERT_GE(fx.WaitLogStartsWith("Captured: ts=1000 msg_id=big-16m", 60s, fx.ready_index()), 0);
  const int64_t capture_ms = Ms(Clock::now() - t0);
  const int64_t hwm_after = torture::ProcStatusKb(pid, "VmHWM");

  // Too large for the broker: refused there (the sender's connection is cut), never delivered.
  {
    auto sender = fx.NewPeer("oversize");
    sender->Publish(kData, torture::SizedPayload(1001, "too-big", kBrokerLimit + 1024), 10s);
  }
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(1002, "after-big")));
  ASSERT_GE(fx.WaitLogStartsWith("Captured: ts=1002 msg_id=after-big", 20s, fx.ready_index()), 0);

  const std::vector<testsupport::OutboxRecord> records = fx.Outbox();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].valid);
  EXPECT_EQ(records[0].payload, big);
  EXPECT_EQ(records[1].msg_id, "after-big");

  // Acknowledged, the big record goes with the next flush.
  ASSERT_TRUE(fx.control().Publish(kData + "/ack", testsupport::AckPayload(1000, "big-16m")));
  EXPECT_TRUE(fx.WaitOutbox([](const auto& r) { return r.size() == 1; }, 30s));
  const int64_t hwm_flush = torture::ProcStatusKb(pid, "VmHWM");
  EXPECT_TRUE(fx.service_running());

  ReportFigure("net.big_capture_ms", "16 MiB payload: publish to captured (ms)",
               std::to_string(capture_ms));
  ReportFigure("net.hwm_before_kb", "VmHWM before (kB)", std::to_string(hwm_before));
  ReportFigure("net.hwm_capture_kb", "VmHWM after capturing 16 MiB (kB)",
               std::to_string(hwm_after));
  ReportFigure("net.hwm_flush_kb", "VmHWM after flushing it (kB)", std::to_string(hwm_flush));
  // Payload, its Base64 text and the record line are all needed at once; ten times the payload
  // would mean needless copies.
  if (!torture::kSanitized) {
    EXPECT_LT(hwm_after - hwm_before, 10 * 16 * 1024);
  }
}

std::string Nested(int depth) {
  return "{\"timestamp\":2000,\"msg_id\":\"deep-" + std::to_string(depth) +
         "\",\"x\":" + std::string(static_cast<size_t>(depth - 1), '[') +
         std::string(static_cast<size_t>(depth - 1), ']') + "}";
}

// Nesting within the parser's limit is stored; deeper documents, data or acknowledgement, are
// refused with a warning and the service stays responsive.
TEST(HostileNetworkTest, DeeplyNestedJson) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  struct Case {
    std::string topic, payload, log;
  };
  const std::vector<Case> cases = {
      {kData, Nested(1000), "Captured: ts=2000 msg_id=deep-1000 "},
      {kData, Nested(1001), "Data: invalid JSON"},
      {kData, Nested(200000), "Data: invalid JSON"},
      {kData, std::string(1 << 20, '['), "Data: invalid JSON"},
      {kData, std::string(1 << 20, '{'), "Data: invalid JSON"},
      {kData + "/ack", "{\"acks\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
       "ACK: invalid JSON"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.substr(0, 60));
    const size_t from = fx.Log().size();
    ASSERT_TRUE(fx.control().Publish(c.topic, c.payload));
    EXPECT_GE(fx.WaitLogStartsWith(c.log, 10s, from), 0);
  }
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(2001, "after-deep")));
  EXPECT_GE(fx.WaitLogStartsWith("Captured: ts=2001 msg_id=after-deep", 10s), 0);
  const std::vector<testsupport::OutboxRecord> records = fx.Outbox();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].payload, Nested(1000));
}

// Control characters in ids are escaped in the log, one line per entry, and kept exactly in the
// records; so are unusual (but valid) topic characters. The broker refuses control characters in
// topics outright, see ConfiguredTopicWithControlCharacter below.
TEST(HostileNetworkTest, ControlCharactersStayOnOneLogLine) {
  const std::string ctl_topic = "/kv/e2e/odd topic \xe2\x80\xa8 \xf0\x9f\x8c\xa1";
  ServiceOptions options;
  options.topics = {kData, ctl_topic};
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  const std::vector<std::string> ids = {
      "nl\nfake 2024-01-01 00:00:00.000 CRITICAL x.cc:1 f: forged",
      "cr\r\x1b[2J\x1b]0;title\x07",
      std::string("nul\x00inside", 10),
      "tab\tdel\x7f\xe2\x80\xa8sep",
  };
  int64_t ts = 3000;
  for (const std::string& id : ids) {
    ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(ts++, id)));
  }
  ASSERT_TRUE(fx.control().Publish(ctl_topic, testsupport::DataPayload(ts++, "on-ctl-topic")));
  ASSERT_TRUE(fx.control().Publish(kData + "/ack", testsupport::AckPayload(3000, ids[0])));
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(ts, "last")));
  ASSERT_GE(fx.WaitLogStartsWith("Captured: ts=" + std::to_string(ts) + " msg_id=last", 10s), 0);
  const OutboxAudit audit = AuditOutbox(fx.outbox_dir());

  // Every line of the output is a log line of the console format; no entry was split or forged.
  const std::string out = fx.Output();
  const std::vector<testsupport::LogLine> lines = testsupport::ParseLogLines(out);
  EXPECT_EQ(lines.size(), static_cast<size_t>(std::count(out.begin(), out.end(), '\n')));
  for (const testsupport::LogLine& l : lines) EXPECT_NE(l.level, "CRITICAL") << l.message;
  EXPECT_NE(out.find("msg_id=nl\\nfake 2024"), std::string::npos);
  EXPECT_NE(out.find("ACK: ts=3000 msg_id=nl\\nfake 2024"), std::string::npos);
  EXPECT_NE(out.find("msg_id=cr\\r\\x1b[2J\\x1b]0;title\\x07"), std::string::npos);
  EXPECT_NE(out.find("msg_id=tab\\tdel\\x7f\xe2\x80\xa8sep"), std::string::npos);
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\x7f'), std::string::npos);

  // The records keep every id exactly, on the topic it came from (the acknowledged one may be
  // flushed already).
  for (size_t i = 1; i < ids.size(); ++i) {
    EXPECT_TRUE(audit.has(ids[i])) << testing::PrintToString(ids[i]);
  }
  std::string topic_of_ctl;
  for (const auto& r : fx.Outbox()) {
    if (r.msg_id == "on-ctl-topic") topic_of_ctl = r.topic;
  }
  EXPECT_EQ(topic_of_ctl, ctl_topic);
  EXPECT_EQ(audit.broken, 0);
}

// One configured topic that the broker refuses (a control character) must not keep the service
// from the others. Today the refused subscription takes every topic down with it (they share one
// SUBSCRIBE, and mosquitto closes the connection); see tests/torture/README.md. Run with
// --gtest_also_run_disabled_tests to check a fix.
TEST(HostileNetworkTest, DISABLED_ConfiguredTopicWithControlCharacter) {
  ServiceOptions options;
  options.topics = {kData, "/kv/e2e/bad\ttopic"};
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService(20s));
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(3100, "good-topic")));
  EXPECT_GE(fx.WaitLogStartsWith("Captured: ts=3100 msg_id=good-topic", 10s), 0);
}

// Waits until the active file holds `n` lines; polls slowly, the file is large.
bool WaitLines(ServiceFixture& fx, size_t n, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    const std::string text = testsupport::TryReadFile(fx.active_path()).value_or("");
    if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) == n) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(250ms);
  }
}

// One acknowledgement message with 10000 entries: every named record goes with the next flush,
// the others stay, and the service answers again promptly.
TEST(HostileNetworkTest, TenThousandAcknowledgementsInOneBatch) {
  constexpr int kCount = 10000;
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  options.storage = {{"max_file_kb", 65536}, {"max_dir_kb", 1048576}};
  // mosquitto's default queue of 1000 messages per client would drop most of the burst before it
  // reaches the service.
  options.broker.extra_config = {"max_queued_messages 0"};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  auto pub = fx.NewPeer("bulk");
  const auto t_store = Clock::now();
  for (int i = 0; i <= kCount; ++i) {
    ASSERT_TRUE(
        pub->PublishAsync(kData, testsupport::DataPayload(4000 + i, "k" + std::to_string(i)), i));
    if (i % 500 == 0) pub->WaitSettled(static_cast<size_t>(i) + 1, 30s);
  }
  ASSERT_TRUE(pub->WaitSettled(kCount + 1, 60s));
  ASSERT_TRUE(WaitLines(fx, kCount + 1, 120s));
  const int64_t store_ms = Ms(Clock::now() - t_store);

  nlohmann::json acks = nlohmann::json::array();
  for (int i = 0; i < kCount; ++i)
    acks.push_back({{"timestamp", 4000 + i}, {"msg_id", "k" + std::to_string(i)}});
  const std::string batch = nlohmann::json{{"acks", acks}}.dump();
  const auto t_ack = Clock::now();
  ASSERT_TRUE(fx.control().Publish(kData + "/ack", batch));
  ASSERT_TRUE(WaitLines(fx, 1, 60s));
  const int64_t ack_ms = Ms(Clock::now() - t_ack);
  const auto t_probe = Clock::now();
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(9, "probe-after")));
  ASSERT_GE(fx.WaitLogStartsWith("Captured: ts=9 msg_id=probe-after", 10s), 0);
  const int64_t probe_ms = Ms(Clock::now() - t_probe);

  const std::vector<testsupport::OutboxRecord> records = fx.Outbox();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].msg_id, "k" + std::to_string(kCount));
  const std::vector<testsupport::LogLine> log = fx.Log();
  EXPECT_EQ(testsupport::MessagesStartingWith(log, "ACK: ts=").size(), static_cast<size_t>(kCount));
  EXPECT_EQ(
      testsupport::MessagesStartingWith(log, "Flushed 10000 messages (acked+broken), 1 remain")
          .size(),
      1u);

  ReportFigure("net.store_10k_ms", "10001 messages captured (ms)", std::to_string(store_ms));
  ReportFigure("net.ack_batch_bytes", "ACK batch size (bytes)", std::to_string(batch.size()));
  ReportFigure("net.ack_10k_ms", "10000-entry ACK to flushed outbox (ms)", std::to_string(ack_ms));
  ReportFigure("net.probe_after_ms", "next message captured after it (ms)",
               std::to_string(probe_ms));
}

}  // namespace
