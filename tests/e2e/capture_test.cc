// Capture of data messages by the running service: what reaches the outbox (exact bytes, one record
// per identity) and what is turned away, with the log line that says why.
#include <gtest/gtest.h>
#include <signal.h>

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
const std::string kData2 = "/kv/e2e/data2";
const std::string kWild = "/kv/e2e/+/wild";

struct CaptureCase {
  std::string name;
  std::string topic;
  std::string payload;
  // Set for a message that must become a record.
  bool stored = false;
  int64_t ts = 0;
  std::string msg_id;
  // What capture and the store log for it, in order (each a prefix of the message).
  std::vector<std::string> log;
};

CaptureCase Stored(std::string name, std::string topic, std::string payload, int64_t ts,
                   std::string msg_id) {
  CaptureCase c{
      std::move(name), std::move(topic), std::move(payload), true, ts, std::move(msg_id), {}};
  const std::string what = "ts=" + std::to_string(c.ts) + " msg_id=" + c.msg_id +
                           " topic=" + c.topic + " (" + std::to_string(c.payload.size()) +
                           " bytes)";
  c.log = {"Stored: " + what, "Captured: " + what};
  return c;
}

CaptureCase Rejected(std::string name, std::string topic, std::string payload,
                     std::vector<std::string> log) {
  return CaptureCase{std::move(name), std::move(topic), std::move(payload), false, 0, "",
                     std::move(log)};
}

std::string InvalidJson(const std::string& payload) {
  return "Data: invalid JSON (" + std::to_string(payload.size()) + " bytes): ";
}

std::vector<CaptureCase> Cases() {
  const std::string pretty =
      "{\n  \"timestamp\": 1700000001,\n\t\"msg_id\" : \"fmt-1\",\n  \"value\":1.50e1 ,"
      "\"list\":[ 1,2 , 3]\n}\r\n";
  const std::string unicode =
      "{\"msg_id\":\"\xc3\xbcn\xc3\xaf-2\",\"timestamp\":1700000002,\"text\":\"Gr\xc3\xbc\xc3\x9f"
      "e, \xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x8c\xa1\",\"esc\":\"\\u00e9\\u2603\\ud83d\\ude00\"}";
  const std::string nested =
      R"({"timestamp":1700000003,"msg_id":"x-3","meta":{"timestamp":"inner","msg_id":5},)"
      R"("arr":[{"a":null}],"ok":true})";
  const std::string large =
      testsupport::DataPayload(1700000008, "big-8", "\"blob\":\"" + std::string(20000, 'z') + "\"");
  const std::string with_nul = std::string(R"({"timestamp":1,"msg_id":"nul"})") + '\0';
  const std::string neither = R"({"value":1})";
  const std::string missing_ts = "Data: missing timestamp on topic " + kData;
  const std::string missing_id = "Data: missing msg_id on topic " + kData;

  return {
      Stored("FormattingKept", kData, pretty, 1700000001, "fmt-1"),
      Stored("UnicodeKept", kData, unicode, 1700000002, "\xc3\xbcn\xc3\xaf-2"),
      Stored("OtherMembersKept", kData, nested, 1700000003, "x-3"),
      Stored("FractionalTimestampCut", kData, R"({"timestamp":1700000004.9,"msg_id":"f-4"})",
             1700000004, "f-4"),
      Stored("NegativeTimestamp", kData, R"({"timestamp":-5,"msg_id":"neg-5"})", -5, "neg-5"),
      Stored("EmptyMsgId", kData, R"({"timestamp":1700000006,"msg_id":""})", 1700000006, ""),
      Stored("SecondTopic", kData2, R"({"timestamp":1700000007,"msg_id":"t2-7"})", 1700000007,
             "t2-7"),
      Stored("LargePayload", kData, large, 1700000008, "big-8"),
      Rejected("SameMessageAgain", kData, nested, {"Duplicate skipped: ts=1700000003 msg_id=x-3"}),
      Rejected("SameKeyOtherBytes", kData, R"({"timestamp":1700000003,"msg_id":"x-3","v":2})",
               {"Duplicate skipped: ts=1700000003 msg_id=x-3"}),
      Rejected("SameKeyOnOtherTopic", kData2, R"({"msg_id":"x-3","timestamp":1700000003})",
               {"Duplicate skipped: ts=1700000003 msg_id=x-3"}),
      Stored("SameIdOtherTimestamp", kData, R"({"timestamp":1700000013,"msg_id":"x-3"})",
             1700000013, "x-3"),
      Rejected("NotJson", kData, "not json at all", {InvalidJson("not json at all")}),
      Rejected("EmptyPayload", kData, "", {InvalidJson("")}),
      Rejected("TrailingText", kData, R"({"timestamp":1,"msg_id":"tt"} x)",
               {InvalidJson(R"({"timestamp":1,"msg_id":"tt"} x)")}),
      Rejected("Comment", kData, R"(/*c*/{"timestamp":1,"msg_id":"cm"})",
               {InvalidJson(R"(/*c*/{"timestamp":1,"msg_id":"cm"})")}),
      Rejected("Truncated", kData, R"({"timestamp":1,"msg_id":"tr")",
               {InvalidJson(R"({"timestamp":1,"msg_id":"tr")")}),
      Rejected("TrailingNulByte", kData, with_nul, {InvalidJson(with_nul)}),
      Rejected("TimestampAsString", kData, R"({"timestamp":"1700000000","msg_id":"s"})",
               {missing_ts}),
      Rejected("TimestampNull", kData, R"({"timestamp":null,"msg_id":"n"})", {missing_ts}),
      Rejected("TopLevelArray", kData, R"([{"timestamp":1,"msg_id":"arr"}])", {missing_ts}),
      Rejected("MsgIdMissing", kData, R"({"timestamp":1700000000})", {missing_id}),
      Rejected("MsgIdNumber", kData, R"({"timestamp":1700000000,"msg_id":42})", {missing_id}),
      Rejected("NeitherKey", kData, neither, {missing_ts}),
      Rejected("MissingOnSecondTopic", kData2, neither,
               {"Data: missing timestamp on topic " + kData2}),
      // Subscribed through the wildcard, but delivered under a concrete name that is not a
      // configured topic: dropped without a word.
      Rejected("WildcardMatchIgnored", "/kv/e2e/x/wild", R"({"timestamp":1,"msg_id":"wild"})", {}),
  };
}

bool IsCaptureLine(const LogLine& l) {
  return l.function == "handleDataMessage" || l.function == "store";
}

TEST(CaptureTest, StoresExactBytesOncePerIdentityAndRejectsWithWarnings) {
  ServiceOptions options;
  options.topics = {kData, kData2, kWild};
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  auto& pub = fx.control();

  // Every case is followed by a marker message on the first topic; messages of one publisher
  // reach the service in order, so everything logged before the marker belongs to the case.
  std::vector<CaptureCase> cases = Cases();
  std::vector<std::pair<std::string, std::string>> expected_records;  // (payload, topic)
  size_t cursor = fx.ready_index();
  for (size_t i = 0; i < cases.size(); ++i) {
    const CaptureCase& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string marker_id = "mark-" + std::to_string(i);
    const std::string marker = testsupport::DataPayload(testsupport::UnixNow(), marker_id);
    ASSERT_TRUE(pub.Publish(c.topic, c.payload));
    ASSERT_TRUE(pub.Publish(kData, marker));
    const int at = fx.WaitLog(
        [&](const LogLine& l) {
          return l.function == "handleDataMessage" && l.message.rfind("Captured: ", 0) == 0 &&
                 l.message.find(" msg_id=" + marker_id + " ") != std::string::npos;
        },
        10s, cursor);
    ASSERT_GE(at, 0) << "marker " << marker_id << " never captured";

    const std::vector<LogLine> lines = fx.Log();
    std::vector<std::string> seen;
    for (size_t k = cursor; k < static_cast<size_t>(at); ++k) {
      if (IsCaptureLine(lines[k])) seen.push_back(lines[k].message);
    }
    ASSERT_FALSE(seen.empty());
    seen.pop_back();  // the marker's own "Stored:" line
    ASSERT_EQ(seen.size(), c.log.size()) << ::testing::PrintToString(seen);
    for (size_t k = 0; k < seen.size(); ++k) {
      EXPECT_EQ(seen[k].rfind(c.log[k], 0), 0u) << seen[k] << "\n  expected: " << c.log[k];
    }
    if (c.stored) expected_records.push_back({c.payload, c.topic});
    expected_records.push_back({marker, kData});
    cursor = static_cast<size_t>(at) + 1;
  }

  // The outbox holds exactly the accepted messages, in arrival order, byte for byte.
  const std::vector<OutboxRecord> records = fx.Outbox();
  ASSERT_EQ(records.size(), expected_records.size());
  size_t r = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    if (cases[i].stored) {
      const OutboxRecord& rec = records[r++];
      ASSERT_TRUE(rec.valid) << rec.line;
      EXPECT_EQ(rec.payload, cases[i].payload);
      EXPECT_EQ(rec.topic, cases[i].topic);
      EXPECT_EQ(rec.ts, cases[i].ts);
      EXPECT_EQ(rec.msg_id, cases[i].msg_id);
    }
    const OutboxRecord& mark = records[r++];
    ASSERT_TRUE(mark.valid) << mark.line;
    EXPECT_EQ(mark.msg_id, "mark-" + std::to_string(i));
  }

  // After a restart the identities come back from the file: the same message is still a duplicate,
  // and a new one is appended behind the old records.
  const std::string before = testsupport::TryReadFile(fx.active_path()).value_or("");
  fx.StopService(SIGTERM);
  ASSERT_TRUE(fx.StartService());
  const size_t known = records.size();
  EXPECT_GE(fx.WaitLogStartsWith("Index rebuild: " + std::to_string(known) + " entries", 1s), 0);
  EXPECT_GE(fx.WaitLogStartsWith("OutboxStore ready: " + fx.outbox_dir() +
                                     " (index: " + std::to_string(known) + " entries)",
                                 1s),
            0);
  ASSERT_TRUE(pub.Publish(kData, cases[0].payload));
  ASSERT_TRUE(pub.Publish(kData, R"({"timestamp":1700000099,"msg_id":"after-restart"})"));
  ASSERT_GE(
      fx.WaitLogStartsWith("Captured: ts=1700000099 msg_id=after-restart", 10s, fx.ready_index()),
      0);
  EXPECT_EQ(testsupport::MessagesStartingWith(fx.Log(), "Duplicate skipped: ", fx.ready_index()),
            std::vector<std::string>{"Duplicate skipped: ts=1700000001 msg_id=fmt-1"});
  const std::string after = testsupport::TryReadFile(fx.active_path()).value_or("");
  EXPECT_EQ(after.substr(0, before.size()), before);
  EXPECT_EQ(after.substr(before.size()), testsupport::ParseOutbox(after).back().line + "\n");
  EXPECT_EQ(testsupport::ParseOutbox(after).back().msg_id, "after-restart");
}

}  // namespace
