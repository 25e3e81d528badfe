#include "handlers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "p7.h"
#include "temp_dir.h"

namespace kestova {
namespace {

const std::string kAckTopic = "site/data/ack";

// A real store and resend chain on the real clocks (timestamps near 1000 are decades old).
struct Intake {
  explicit Intake(ResendConfig rc = {}) {
    store = std::make_unique<OutboxStore>(OutboxStoreConfig{.dir = tmp.file("outbox")});
    auto publish = [this](const std::string& topic, const std::vector<uint8_t>& payload) {
      published.push_back(topic + " " + std::string(payload.begin(), payload.end()));
      return true;
    };
    resender = std::make_unique<Resender>(*store, rc, publish);
  }
  void Data(const std::string& payload) {
    handleDataMessage(*store, {"site/data", {payload.begin(), payload.end()}});
  }
  void Ack(const std::string& payload) {
    handleAckMessage(*store, *resender, {kAckTopic, {payload.begin(), payload.end()}});
  }
  // The handlers' lines as "<level> <message>"; a wanted line ending in ": " stands for that
  // prefix and an error text. Chain lines ("Mid-age ACK") are counted.
  void ExpectLines(const std::vector<std::string>& want, size_t chain, const std::string& row) {
    std::vector<std::string> got;
    size_t chained = 0;
    for (const P7::Record& r : capture.records()) {
      chained += r.message.starts_with("Mid-age ACK");
      for (const char* handler_line : {"Captured: ", "Data: ", "ACK: "}) {
        if (!r.message.starts_with(handler_line)) continue;
        got.push_back(std::to_string(r.level) + " " + r.message);
        const std::string& w = want.size() >= got.size() ? want[got.size() - 1] : "";
        if (w.ends_with(": ") && got.back().starts_with(w)) got.back() = w;
      }
    }
    EXPECT_EQ(got, want) << row;
    EXPECT_EQ(chained, chain) << row;
  }
  testsupport::TempDir tmp;
  std::unique_ptr<OutboxStore> store;
  std::unique_ptr<Resender> resender;
  std::vector<std::string> published;
  P7::ScopedCapture capture;
};

// Valid payloads stored as received under their (cut, saturated) key; one warning for the rest.
TEST(HandleDataMessage, StoresValidPayloadsAsReceivedAndWarnsAboutTheRest) {
  const std::string no_ts = "3 Data: missing timestamp on topic site/data";
  const std::string no_id = "3 Data: missing msg_id on topic site/data";
  const std::string bad = "invalid";       // "Data: invalid JSON (<size> bytes): <error>"
  const auto nested = [](size_t levels) {  // the object and levels - 1 arrays
    return R"({"timestamp":1,"msg_id":"d","x":)" + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  const std::pair<std::string, std::string> rows[] = {
      // payload, then "ts=.. msg_id=..": stored under that key, else the one warning line
      {"{ \"timestamp\": 1000, \"msg_id\": \"a1\",\n \"x\": [{\"b\": null}] }\n",
       "ts=1000 msg_id=a1"},
      {R"({"timestamp":-5.9,"msg_id":"f"})", "ts=-5 msg_id=f"},
      {R"({"timestamp":7,"msg_id":""})", "ts=7 msg_id="},
      {R"({"timestamp":18446744073709551615,"msg_id":"u"})", "ts=9223372036854775807 msg_id=u"},
      {R"({"timestamp":-1e300,"msg_id":"e"})", "ts=-9223372036854775808 msg_id=e"},
      {R"({"timestamp":"1000","msg_id":"a"})", no_ts},
      {R"({"timestamp":1,"msg_id":42})", no_id},
      {R"({"timestamp":1})", no_id},
      {R"({"timestamp":1,"msg_id":"c"} x)", bad},
      {std::string("{\"timestamp\":1,\"msg_id\":\"z\"}\0", 29), bad},
      {R"({"timestamp":1e400,"msg_id":"o"})", bad},  // out_of_range, not a parse_error
      {nested(1000), "ts=1 msg_id=d"},
      {nested(1001), bad},
  };
  for (const auto& [payload, want] : rows) {
    Intake in;
    EXPECT_NO_THROW(in.Data(payload)) << want;
    const std::string size = " (" + std::to_string(payload.size()) + " bytes)";
    const bool stored = want.starts_with("ts=");
    std::string line = want;
    if (stored) line = "1 Captured: " + want + " topic=site/data" + size;
    if (want == bad) line = "3 Data: invalid JSON" + size + ": ";
    in.ExpectLines({line}, 0, want);
    const std::vector<PendingMessage> pending = in.store->getPending(10);
    ASSERT_EQ(pending.size(), stored ? 1u : 0u) << want;
    if (!stored) continue;
    EXPECT_EQ("ts=" + std::to_string(pending[0].timestamp) + " msg_id=" + pending[0].msg_id, want);
    EXPECT_EQ(pending[0].payload, std::vector<uint8_t>(payload.begin(), payload.end()));
  }
}

// Single and batch forms, latency, bad entries warned; accepted ones (only) reach store and chain.
TEST(HandleAckMessage, SingleAndBatchFormsReachStoreThenChain) {
  const std::string missing = "3 ACK: missing timestamp/msg_id on " + kAckTopic;
  const std::string invalid = "3 ACK: invalid JSON on " + kAckTopic + ": ";
  const auto ok = [](const std::string& key) { return "2 ACK: " + key + " on " + kAckTopic; };
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {R"({"timestamp":1000,"msg_id":"a1"})", {ok("ts=1000 msg_id=a1")}},
      {R"({"timestamp":1000.7,"msg_id":"a1","ack_ts":1003})", {ok("ts=1000 msg_id=a1 latency=3s")}},
      {R"({"timestamp":1000,"msg_id":"a1","ack_ts":0})", {ok("ts=1000 msg_id=a1")}},
      {R"({"timestamp":-1,"msg_id":"a1","ack_ts":1e300})",
       {ok("ts=-1 msg_id=a1 latency=9223372036854775807s")}},
      {R"({"acks":[{"timestamp":1000,"msg_id":"a"},5,{"timestamp":"1","msg_id":"s"},)"
       R"({"timestamp":2,"msg_id":3},{"msg_id":"m"},{"timestamp":1001,"msg_id":"b"}]})",
       {ok("ts=1000 msg_id=a"), missing, missing, missing, missing, ok("ts=1001 msg_id=b")}},
      {R"({"acks":[],"timestamp":1000,"msg_id":"a1"})", {}},
      // "acks" that is not an array: the object itself is the one entry.
      {R"({"acks":{"timestamp":1001,"msg_id":"b"},"timestamp":1000,"msg_id":"a"})",
       {ok("ts=1000 msg_id=a")}},
      {R"([{"timestamp":1000,"msg_id":"a"}])", {missing}},
      {"ack!", {invalid}},
  };
  ResendConfig rc;  // every entry is mid-aged: the chain logs it, sends nothing, the queue stays
  rc.stale_threshold = std::numeric_limits<int32_t>::max();
  for (const auto& [payload, lines] : rows) {
    Intake in(rc);
    EXPECT_NO_THROW(in.Ack(payload)) << payload.substr(0, 80);
    const size_t accepted =
        std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("2 "); });
    in.ExpectLines(lines, accepted, payload.substr(0, 80));
    EXPECT_EQ(in.store->ackQueue().size(), accepted);
    EXPECT_TRUE(in.published.empty());
  }
}

}  // namespace
}  // namespace kestova
