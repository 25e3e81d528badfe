#include "handlers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fault_env.h"
#include "p7.h"
#include "record_format.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using std::chrono::seconds;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
const char kDataTopic[] = "site/data";
const char kAckTopic[] = "site/data/ack";

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A real store and resend chain on fake clocks: the wall clock reads 1010 s, so an ACK of
// timestamp 1000 is live (age 10 s). The publish function records what the chain sends.
class Intake {
 public:
  explicit Intake(ResendConfig rc = {}) {
    env_.SetSteadyNow(Env::SteadyTime(seconds(5000)));
    env_.SetSystemNow(Env::SystemTime(seconds(1010)));
    OutboxStoreConfig sc;
    sc.dir = tmp_.file("outbox");
    sc.compress = false;
    store_ = std::make_unique<OutboxStore>(sc, &env_);
    resender_ = std::make_unique<Resender>(
        *store_, rc,
        [this](const std::string& topic, const std::vector<uint8_t>& payload) {
          published_.emplace_back(topic, std::string(payload.begin(), payload.end()));
          return true;
        },
        &env_);
  }

  void Data(const std::string& payload, const std::string& topic = kDataTopic) {
    handleDataMessage(*store_, mosquitto::msg_t{topic, Bytes(payload)});
  }
  void Ack(const std::string& payload) {
    handleAckMessage(*store_, *resender_, mosquitto::msg_t{kAckTopic, Bytes(payload)});
  }
  // Lines of the intake path and the resend chain, "<level> <function>: <message>", store lines
  // left out.
  std::vector<std::string> Lines() const {
    static const std::set<std::string> kOwn = {"handleDataMessage", "handleAckMessage",
                                               "onAckReceived", "sendOne"};
    std::vector<std::string> out;
    for (const P7::Record& r : capture_.records()) {
      if (kOwn.count(r.function))
        out.push_back(std::to_string(r.level) + " " + r.function + ": " + r.message);
    }
    return out;
  }

  testsupport::TempDir tmp_;
  testsupport::FaultEnv env_;
  std::unique_ptr<OutboxStore> store_;
  std::unique_ptr<Resender> resender_;
  std::vector<std::pair<std::string, std::string>> published_;
  P7::ScopedCapture capture_;
};

// Compares log lines; an expected line ending in '*' matches any line with that prefix.
void ExpectLines(const std::vector<std::string>& got, const std::vector<std::string>& want,
                 const std::string& row) {
  ASSERT_EQ(got.size(), want.size()) << row << "\n first line: " << (got.empty() ? "" : got[0]);
  for (size_t i = 0; i < want.size(); ++i) {
    if (!want[i].empty() && want[i].back() == '*') {
      EXPECT_EQ(got[i].substr(0, want[i].size() - 1), want[i].substr(0, want[i].size() - 1)) << row;
      EXPECT_GE(got[i].size(), want[i].size()) << row << ": no error text";
    } else {
      EXPECT_EQ(got[i], want[i]) << row;
    }
  }
}

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(HandleDataMessage, AcceptsAndRejectsPayloadShapes) {
  struct Row {
    std::string name;
    std::string payload;
    std::string topic;
    bool stored;  // then: key and the exact bytes read back from the store
    int64_t ts;
    std::string msg_id;
    std::vector<std::string> lines;
  };
  const std::string t = kDataTopic;
  const std::string full =
      "{ \"timestamp\": 1000, \"msg_id\": \"a1\",\n \"extra\": [1, {\"b\": null}] }\n";
  const std::string deep_ok =
      "{\"timestamp\":1,\"msg_id\":\"d\",\"x\":" + Nested(kMaxJsonDepth - 1) + "}";
  const std::string deep_bad =
      "{\"timestamp\":1,\"msg_id\":\"d\",\"x\":" + Nested(kMaxJsonDepth) + "}";
  // Brackets inside strings, behind an escaped quote, are not nesting.
  const std::string brackets_in_string =
      "{\"timestamp\":2,\"msg_id\":\"q\\\"" + std::string(1000, '[') + "\"}";
  const std::string zero = std::string("{\"timestamp\":1,\"msg_id\":\"z\"}\0junk", 33);
  const std::string bad_utf8_topic = "site/\xff\xfe";
  // "%n" in an expected line stands for the row's payload size.
  const auto captured = [&](const std::string& ts, const std::string& id) {
    return "1 handleDataMessage: Captured: ts=" + ts + " msg_id=" + id + " topic=" + t +
           " (%n bytes)";
  };
  const std::string no_ts = "3 handleDataMessage: Data: missing timestamp on topic " + t;
  const std::string no_id = "3 handleDataMessage: Data: missing msg_id on topic " + t;
  const std::string invalid = "3 handleDataMessage: Data: invalid JSON (%n bytes): *";

  const std::vector<Row> rows = {
      {"full", full, t, true, 1000, "a1", {captured("1000", "a1")}},
      {"fraction cut",
       R"({"timestamp":1000.9,"msg_id":"f"})",
       t,
       true,
       1000,
       "f",
       {captured("1000", "f")}},
      {"negative", R"({"timestamp":-5,"msg_id":"n"})", t, true, -5, "n", {captured("-5", "n")}},
      {"empty id", R"({"timestamp":7,"msg_id":""})", t, true, 7, "", {captured("7", "")}},
      {"int64 max",
       R"({"timestamp":9223372036854775807,"msg_id":"m"})",
       t,
       true,
       kMax,
       "m",
       {captured("9223372036854775807", "m")}},
      {"int64 min",
       R"({"timestamp":-9223372036854775808,"msg_id":"m"})",
       t,
       true,
       kMin,
       "m",
       {captured("-9223372036854775808", "m")}},
      {"uint64 saturates",
       R"({"timestamp":18446744073709551615,"msg_id":"u"})",
       t,
       true,
       kMax,
       "u",
       {captured("9223372036854775807", "u")}},
      {"1e300 saturates",
       R"({"timestamp":1e300,"msg_id":"e"})",
       t,
       true,
       kMax,
       "e",
       {captured("9223372036854775807", "e")}},
      {"-1e300 saturates",
       R"({"timestamp":-1e300,"msg_id":"e"})",
       t,
       true,
       kMin,
       "e",
       {captured("-9223372036854775808", "e")}},
      {"escaped NUL in id",
       R"({"timestamp":3,"msg_id":"a\u0000b"})",
       t,
       true,
       3,
       std::string("a\0b", 3),
       {captured("3", "a")}},
      {"depth at limit", deep_ok, t, true, 1, "d", {captured("1", "d")}},
      {"brackets in string",
       brackets_in_string,
       t,
       true,
       2,
       "q\"" + std::string(1000, '['),
       {captured("2", "q\"" + std::string(1000, '['))}},
      {"ts string", R"({"timestamp":"1000","msg_id":"a"})", t, false, 0, "", {no_ts}},
      {"ts true", R"({"timestamp":true,"msg_id":"a"})", t, false, 0, "", {no_ts}},
      {"ts null", R"({"timestamp":null,"msg_id":"a"})", t, false, 0, "", {no_ts}},
      {"ts array", R"({"timestamp":[1],"msg_id":"a"})", t, false, 0, "", {no_ts}},
      {"ts object", R"({"timestamp":{},"msg_id":"a"})", t, false, 0, "", {no_ts}},
      {"whole array", "[1,2]", t, false, 0, "", {no_ts}},
      {"whole number", "5", t, false, 0, "", {no_ts}},
      {"both missing", "{}", t, false, 0, "", {no_ts}},
      {"id number", R"({"timestamp":1,"msg_id":42})", t, false, 0, "", {no_id}},
      {"id missing", R"({"timestamp":1})", t, false, 0, "", {no_id}},
      {"empty", "", t, false, 0, "", {invalid}},
      {"truncated", R"({"timestamp":1,"msg)", t, false, 0, "", {invalid}},
      {"comment", "{\"timestamp\":1,\"msg_id\":\"c\"} /* x */", t, false, 0, "", {invalid}},
      {"trailing text", R"({"timestamp":1,"msg_id":"c"} x)", t, false, 0, "", {invalid}},
      {"zero byte after value", zero, t, false, 0, "", {invalid}},
      {"number overflow", R"({"timestamp":1e400,"msg_id":"o"})", t, false, 0, "", {invalid}},
      {"lone surrogate", R"({"timestamp":1,"msg_id":"\ud800"})", t, false, 0, "", {invalid}},
      {"raw bad utf8", "{\"timestamp\":1,\"msg_id\":\"\xc0\x80\"}", t, false, 0, "", {invalid}},
      {"depth over limit", deep_bad, t, false, 0, "", {invalid}},
      {"100000 '['", std::string(100000, '['), t, false, 0, "", {invalid}},
      {"bad utf8 topic",
       R"({"timestamp":1,"msg_id":"x"})",
       bad_utf8_topic,
       false,
       0,
       "",
       {"3 handleDataMessage: Data: cannot store message on topic " + bad_utf8_topic + ": *"}},
  };
  for (const Row& row : rows) {
    Intake in;
    EXPECT_NO_THROW(in.Data(row.payload, row.topic)) << row.name;
    std::vector<std::string> want = row.lines;
    for (std::string& line : want) {
      if (const size_t at = line.find("%n"); at != std::string::npos) {
        line.replace(at, 2, std::to_string(row.payload.size()));
      }
    }
    ExpectLines(in.Lines(), want, row.name);
    const std::vector<PendingMessage> pending = in.store_->getPending(10);
    if (!row.stored) {
      EXPECT_TRUE(pending.empty()) << row.name;
      EXPECT_TRUE(in.store_->known().empty()) << row.name;
      continue;
    }
    ASSERT_EQ(pending.size(), 1u) << row.name;
    EXPECT_EQ(pending[0].timestamp, row.ts) << row.name;
    EXPECT_EQ(pending[0].msg_id, row.msg_id) << row.name;
    EXPECT_EQ(pending[0].topic, row.topic) << row.name;
    EXPECT_EQ(pending[0].payload, Bytes(row.payload)) << row.name;
  }
}

TEST(HandleDataMessage, StoresReceivedBytesNotReserialisedJson) {
  Intake in;
  in.Data("{\"timestamp\": 1000, \"msg_id\": \"a1\", \"site\": \"n\"}\n");
  EXPECT_EQ(testsupport::ReadFile(in.store_->activePath()),
            "{\"msg_id\":\"a1\",\"payload\":"
            "\"eyJ0aW1lc3RhbXAiOiAxMDAwLCAibXNnX2lkIjogImExIiwgInNpdGUiOiAibiJ9Cg==\","
            "\"topic\":\"site/data\",\"ts\":1000}\n");
}

TEST(HandleDataMessage, DeclinedDuplicateLogsNoCapturedLine) {
  Intake in;
  in.Data(R"({"timestamp":1,"msg_id":"a"})");
  in.capture_.clear();
  in.Data(R"({"timestamp":1,"msg_id":"a","resent":true})");
  EXPECT_TRUE(in.Lines().empty());
  EXPECT_EQ(in.store_->getPending(10).size(), 1u);
}

TEST(HandleAckMessage, EntriesReachStoreThenChainInOrder) {
  struct Row {
    std::string name;
    std::string payload;
    std::set<AckKey> acked;
    std::vector<std::string> lines;
  };
  const std::string on = std::string(" on ") + kAckTopic;
  const auto ack = [&](const std::string& ts, const std::string& id, const std::string& age) {
    return std::vector<std::string>{
        "2 handleAckMessage: ACK: ts=" + ts + " msg_id=" + id + on,
        "1 onAckReceived: Live ACK (age=" + age + "s) but in cooldown, ignoring"};
  };
  const auto latency = [&](const std::string& ts, const std::string& l, const std::string& age) {
    return std::vector<std::string>{
        "2 handleAckMessage: ACK: ts=" + ts + " msg_id=a1 latency=" + l + "s" + on,
        "1 onAckReceived: Live ACK (age=" + age + "s) but in cooldown, ignoring"};
  };
  const std::string missing = "3 handleAckMessage: ACK: missing timestamp/msg_id" + on;
  const std::string invalid = "3 handleAckMessage: ACK: invalid JSON" + on + ": *";
  const auto join = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };

  const std::vector<Row> rows = {
      {"single", R"({"timestamp":1000,"msg_id":"a1"})", {{1000, "a1"}}, ack("1000", "a1", "10")},
      {"ack_ts latency",
       R"({"timestamp":1000,"msg_id":"a1","ack_ts":1003})",
       {{1000, "a1"}},
       latency("1000", "3", "10")},
      {"ack_ts earlier",
       R"({"timestamp":1000,"msg_id":"a1","ack_ts":990})",
       {{1000, "a1"}},
       latency("1000", "-10", "10")},
      {"ack_ts 0",
       R"({"timestamp":1000,"msg_id":"a1","ack_ts":0})",
       {{1000, "a1"}},
       ack("1000", "a1", "10")},
      {"ack_ts -1",
       R"({"timestamp":1000,"msg_id":"a1","ack_ts":-1})",
       {{1000, "a1"}},
       ack("1000", "a1", "10")},
      {"ack_ts string",
       R"({"timestamp":1000,"msg_id":"a1","ack_ts":"1003"})",
       {{1000, "a1"}},
       ack("1000", "a1", "10")},
      {"ack_ts object",
       R"({"timestamp":1000,"msg_id":"a1","ack_ts":{}})",
       {{1000, "a1"}},
       ack("1000", "a1", "10")},
      // Stale for the chain (saturated age), whose cooldown already reaches as far: no line.
      {"latency saturates",
       R"({"timestamp":-1e300,"msg_id":"a1","ack_ts":1e300})",
       {{kMin, "a1"}},
       {"2 handleAckMessage: ACK: ts=-9223372036854775808 msg_id=a1 latency=9223372036854775807s" +
        on}},
      {"fraction",
       R"({"timestamp":1000.7,"msg_id":"a1"})",
       {{1000, "a1"}},
       ack("1000", "a1", "10")},
      {"batch with junk",
       R"({"acks":[{"timestamp":1000,"msg_id":"a"},5,{"timestamp":1001,"msg_id":"b"}]})",
       {{1000, "a"}, {1001, "b"}},
       join({ack("1000", "a", "10"), {missing}, ack("1001", "b", "9")})},
      {"batch wrong types",
       R"({"acks":[{"timestamp":1000,"msg_id":"a"},{"timestamp":"1","msg_id":"s"},)"
       R"({"timestamp":2,"msg_id":3},{"msg_id":"m"},{"timestamp":1001,"msg_id":"b"}]})",
       {{1000, "a"}, {1001, "b"}},
       join({ack("1000", "a", "10"), {missing, missing, missing}, ack("1001", "b", "9")})},
      {"empty batch", R"({"acks":[],"timestamp":1000,"msg_id":"a1"})", {}, {}},
      {"batch beats top level",
       R"({"acks":[{"timestamp":1001,"msg_id":"b"}],"timestamp":1000,"msg_id":"a"})",
       {{1001, "b"}},
       ack("1001", "b", "9")},
      {"acks object, top keys",
       R"({"acks":{"timestamp":1001,"msg_id":"b"},"timestamp":1000,"msg_id":"a"})",
       {{1000, "a"}},
       ack("1000", "a", "10")},
      {"acks object only", R"({"acks":{"timestamp":1001,"msg_id":"b"}})", {}, {missing}},
      {"top-level array", R"([{"timestamp":1000,"msg_id":"a"}])", {}, {missing}},
      {"not json", "ack!", {}, {invalid}},
      {"zero byte", std::string("{\"timestamp\":1000,\"msg_id\":\"a\"}\0", 32), {}, {invalid}},
      {"number overflow", R"({"timestamp":1e999,"msg_id":"a"})", {}, {invalid}},
      {"deep", "{\"acks\":" + Nested(kMaxJsonDepth) + "}", {}, {invalid}},
      {"deep unclosed", std::string(1 << 20, '['), {}, {invalid}},
  };
  ResendConfig rc;
  rc.cooldown = 600;
  for (const Row& row : rows) {
    Intake in(rc);
    in.resender_->onConnected();  // in cooldown: the chain only classifies, the queue stays
    in.capture_.clear();
    EXPECT_NO_THROW(in.Ack(row.payload)) << row.name;
    ExpectLines(in.Lines(), row.lines, row.name);
    EXPECT_EQ(in.store_->ackQueue(), row.acked) << row.name;
    EXPECT_TRUE(in.published_.empty()) << row.name;
  }
}

// The store hears of each acknowledgement before the chain does, and each entry's chain step runs
// before the next entry is read: every step sends the oldest message not yet acknowledged.
TEST(HandleAckMessage, ChainStepSeesAcknowledgementAlreadyApplied) {
  ResendConfig rc;
  rc.grace_period = 0;
  Intake in(rc);
  for (const char* id : {"a", "b", "c"}) {
    in.Data(std::string(R"({"timestamp":1000,"msg_id":")") + id + "\"}");
  }
  in.Ack(R"({"timestamp":1000,"msg_id":"a"})");  // live: starts the chain with b, not a
  in.Ack(R"({"acks":[{"timestamp":1000,"msg_id":"b"},{"timestamp":1000,"msg_id":"c"}]})");
  const std::vector<std::pair<std::string, std::string>> want = {
      {kDataTopic, R"({"timestamp":1000,"msg_id":"b"})"},
      {kDataTopic, R"({"timestamp":1000,"msg_id":"c"})"}};
  EXPECT_EQ(in.published_, want);
  EXPECT_TRUE(in.store_->getPending(10).empty());
  EXPECT_TRUE(in.resender_->inflight().empty());
  EXPECT_EQ(in.capture_.count("No pending to send, chain idle"), 1);
}

}  // namespace
}  // namespace kestova
