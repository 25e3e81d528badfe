// Acknowledgements against the running service: single and batch forms, rejected entries, and the
// compaction of exactly the acknowledged lines at the next maintenance pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::LogLine;
using testsupport::OutboxRecord;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;

const std::string kData = "/kv/e2e/data";
const std::string kAck = kData + "/ack";

std::string Entry(int64_t ts, const std::string& id) { return testsupport::AckPayload(ts, id); }

std::string Acked(int64_t ts, const std::string& id) {
  return "ACK: ts=" + std::to_string(ts) + " msg_id=" + id + " on " + kAck;
}

const std::string kMissing = "ACK: missing timestamp/msg_id on " + kAck;

struct AckCase {
  std::string name;
  std::vector<std::string> messages;  // published in order on the ACK topic
  std::vector<std::string> removed;   // msg_ids whose lines leave the outbox
  std::vector<std::string> log;       // prefixes of the handler's lines, in order
};

std::vector<AckCase> Cases() {
  return {
      {"Single", {Entry(1002, "a2")}, {"a2"}, {Acked(1002, "a2")}},
      {"SingleWithAckTime",
       {R"({"timestamp":1003,"msg_id":"a3","ack_ts":1008})"},
       {"a3"},
       {"ACK: ts=1003 msg_id=a3 latency=5s on " + kAck}},
      {"BatchIgnoresTopLevelKey",
       {R"({"acks":[{"timestamp":1004,"msg_id":"a4"},{"timestamp":1006,"msg_id":"a6"}],)"
        R"("timestamp":1000,"msg_id":"a0"})"},
       {"a4", "a6"},
       {Acked(1004, "a4"), Acked(1006, "a6")}},
      {"BatchSkipsBadEntries",
       {R"({"acks":[{"timestamp":1001,"msg_id":"a1"},5,{"timestamp":"1007","msg_id":"a7"},)"
        R"({"timestamp":1008,"msg_id":8},{"timestamp":1009,"msg_id":"a9"}]})"},
       {"a1", "a9"},
       {Acked(1001, "a1"), kMissing, kMissing, kMissing, Acked(1009, "a9")}},
      {"FractionalTimestamp",
       {R"({"timestamp":1005.7,"msg_id":"a5"})"},
       {"a5"},
       {Acked(1005, "a5")}},
      {"NearMissesRemoveNothing",
       {Entry(1007, "a7x"), Entry(1070, "a7"), Entry(1008, "a")},
       {},
       {Acked(1007, "a7x"), Acked(1070, "a7"), Acked(1008, "a")}},
      {"RejectedMessages",
       {"not json", R"([{"timestamp":1007,"msg_id":"a7"}])", R"({"acks":[]})",
        R"({"acks":{"timestamp":1007,"msg_id":"a7"}})"},
       {},
       {"ACK: invalid JSON on " + kAck + ": ", kMissing, kMissing}},
      {"AcksNotAnArrayIsSingleForm",
       {R"({"acks":{},"timestamp":1007,"msg_id":"a7"})"},
       {"a7"},
       {Acked(1007, "a7")}},
      {"RepeatedEntry",
       {R"({"acks":[{"timestamp":1008,"msg_id":"a8"},{"timestamp":1008,"msg_id":"a8"}]})"},
       {"a8"},
       {Acked(1008, "a8"), Acked(1008, "a8")}},
      {"LastLine", {Entry(1000, "a0")}, {"a0"}, {Acked(1000, "a0")}},
  };
}

TEST(AckTest, NextMaintenancePassRemovesExactlyTheAcknowledgedLines) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};  // no resend chain: only maintenance compacts
  options.maintenance_interval = 1;
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  auto& peer = fx.control();

  // Ten stored messages a0..a9 (time stamps 1000..1009), kept as their original lines.
  for (int i = 0; i < 10; ++i) {
    const std::string id = "a" + std::to_string(i);
    ASSERT_TRUE(
        peer.Publish(kData, testsupport::DataPayload(1000 + i, id, "\"n\":" + std::to_string(i))));
  }
  ASSERT_TRUE(fx.WaitOutbox([](const auto& r) { return r.size() == 10; }, 10s));
  std::vector<OutboxRecord> remaining = fx.Outbox();
  std::map<std::string, std::string> original_line;
  for (const auto& r : remaining) original_line[r.msg_id] = r.line;

  size_t cursor = fx.ready_index();
  int sentinel = 0;
  for (const AckCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    for (const std::string& m : c.messages) ASSERT_TRUE(peer.Publish(kAck, m));
    // An acknowledgement of an identity the outbox never held marks the end of the case.
    const std::string end_id = "end-" + std::to_string(++sentinel);
    ASSERT_TRUE(peer.Publish(kAck, Entry(1, end_id)));
    const int end = fx.WaitLogStartsWith(Acked(1, end_id), 10s, cursor);
    ASSERT_GE(end, 0);
    const int pass = fx.WaitLogStartsWith("Maintenance: ", 10s, static_cast<size_t>(end));
    ASSERT_GE(pass, 0);
    const std::vector<LogLine> lines = fx.Log();

    std::vector<std::string> handled;
    for (size_t k = cursor; k < static_cast<size_t>(end); ++k) {
      if (lines[k].function == "handleAckMessage") handled.push_back(lines[k].message);
    }
    ASSERT_EQ(handled.size(), c.log.size()) << ::testing::PrintToString(handled);
    for (size_t k = 0; k < handled.size(); ++k) {
      EXPECT_EQ(handled[k].rfind(c.log[k], 0), 0u) << handled[k] << "\n  expected: " << c.log[k];
    }

    std::erase_if(remaining, [&](const OutboxRecord& r) {
      return std::find(c.removed.begin(), c.removed.end(), r.msg_id) != c.removed.end();
    });
    // The lines leave with a maintenance pass: the loop's next line after each flush is the pass's
    // statistics.
    int flushed = 0;
    for (size_t k = cursor; k <= static_cast<size_t>(pass); ++k) {
      int n = 0;
      size_t left = 0;
      if (std::sscanf(lines[k].message.c_str(), "Flushed %d messages (acked+broken), %zu remain",
                      &n, &left) != 2) {
        continue;
      }
      flushed += n;
      EXPECT_EQ(left, remaining.size());
      size_t next = k + 1;
      while (next < lines.size() && lines[next].function != "perform") ++next;
      ASSERT_LT(next, lines.size());
      EXPECT_EQ(lines[next].message.rfind("Maintenance: ", 0), 0u) << lines[next].message;
    }
    EXPECT_EQ(flushed, static_cast<int>(c.removed.size()));
    const std::string n = std::to_string(remaining.size());
    EXPECT_EQ(lines[static_cast<size_t>(pass)].message.rfind(
                  "Maintenance: pending=" + n + ", ack_queue=0, known=" + n + ", discarded=0", 0),
              0u)
        << lines[static_cast<size_t>(pass)].message;

    // What is left is the original lines of the others, byte for byte and in their order.
    const std::vector<OutboxRecord> now = fx.Outbox();
    ASSERT_EQ(now.size(), remaining.size());
    for (size_t k = 0; k < now.size(); ++k) {
      EXPECT_EQ(now[k].line, original_line[remaining[k].msg_id]);
    }
    cursor = static_cast<size_t>(pass) + 1;
  }
  EXPECT_TRUE(remaining.empty());
  EXPECT_TRUE(testsupport::TryReadFile(fx.active_path()).value_or("x").empty());
}

}  // namespace
