#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "base64.h"
#include "record_reader.h"
#include "record_writer.h"

namespace kestova {
namespace {

using nlohmann::json;
using namespace std::string_literals;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// The writer's line, from Base64 text or from raw bytes, equals the library's dump of the record.
TEST(RecordFormatTest, WriterMatchesTheLibrarysDumpOfTheRecord) {
  const uint8_t bytes[] = {0xff, 0x00, 0xfb, 0x10, 0x80};
  const std::pair<std::string, std::string> strings[] = {
      {"a1", "/kv/bridge/data/meter"},
      {"\x7f\x1f\b\f", "\xf0\x9f\x98\x80"},
      {"a\"b\\c/", "\t\r\n"},
      {"0123456789abcdef\x01", "0123456789abcdef\""}};
  for (int64_t ts : {kMin, int64_t{-1}, kMax}) {
    for (const auto& [id, topic] : strings) {
      for (size_t len = 0; len <= sizeof bytes; ++len) {  // every tail length of the encoding
        const std::string b64 = base64_encode(bytes, len);
        const std::string want =
            json{{"ts", ts}, {"msg_id", id}, {"topic", topic}, {"payload", b64}}.dump() + "\n";
        EXPECT_EQ(FormatRecordLine(ts, id, topic, b64), want);
        std::string line = "kept|";
        AppendRecordLine(&line, ts, id, topic, bytes, len);
        EXPECT_EQ(line, "kept|" + want);
      }
    }
  }
  EXPECT_THROW(FormatRecordLine(1, "a", "t\xc3", ""), json::type_error);  // not UTF-8
}

// The callers' functions (fast path first) agree on verdict, key and error (with the full reading:
// the line reader's fuzz target).
TEST(RecordFormatTest, ReadsKeysUnderTheReadingRules) {
  // line, valid, ts, msg_id or a part of the error text
  const std::tuple<std::string, bool, int64_t, std::string> cases[] = {
      {"{\"msg_id\":\"a\",\"payload\":\"\",\"topic\":\"t\",\"ts\":-0} \r\t", true, 0, "a"},
      {R"( {"z":[1,{"ts":"no"}],"msg_id":"b","ts":2} )", true, 2, "b"},  // order, extras, nesting
      {R"({"ts":"x","ts":4,"msg_id":"d"})", true, 4, "d"},               // the last member counts
      {R"({"ts":-1e300,"msg_id":"x"})", true, kMin, "x"},
      {R"({"ts":18446744073709551615,"msg_id":"x"})", true, kMax, "x"},
      {R"({"ts":1e400,"msg_id":"x"})", false, 0, "1e400"},  // beyond double: refused
      {R"({"ts":"5","msg_id":"a"})", false, 0, "\"ts\" must be a number, but is string"},
      {R"({"ts":5})", false, 0, "\"msg_id\" must be a string, but is missing or null"},
      {R"({"x":{"ts":5,"msg_id":"a"}})", false, 0, "\"ts\" must be a number"},  // not at the top
      {R"({"ts":5,/*c*/"msg_id":"a"})", false, 0, "parse_error"},
      {R"({"ts":5,"msg_id":"a"}})", false, 0, "parse_error"},
      {"{\"ts\":5,\"msg_id\":\"a\"}\0junk}"s, false, 0, "zero byte"},  // the lexer would stop there
      {"[\"" + std::string(100000, 'm') + "}", false, 0, "parse_error"},  // error text cut short
      // Without a closing brace at the end a line is broken without being parsed.
      {R"({"ts":5,"msg_id":"a"} x)", false, 0, "not end with '}'"},
      {"{\"ts\":5,\"msg_id\":\"a\"}\f", false, 0, "not end with '}'"},
      {"   ", false, 0, "not end with '}'"},
      {"{\"z\":" + std::string(1 << 18, '[') + std::string(1 << 18, ']') + "}", false, 0,
       "number"}};
  for (const auto& [line, ok, want_ts, want] : cases) {
    SCOPED_TRACE(line.substr(0, 80));
    int64_t ts = 7;
    std::string id, error, line_error;
    RecordLine rec;
    ASSERT_EQ(ParseRecordKey(line, &ts, &id, &error), ok) << error;
    EXPECT_EQ(ParseRecordLine(line, &rec, &line_error), ok);
    if (ok) {
      EXPECT_EQ(std::tie(ts, id), std::tie(want_ts, want));
      EXPECT_EQ(std::tie(rec.ts, rec.msg_id), std::tie(ts, id));
    } else {
      EXPECT_NE(error.find(want), std::string::npos) << error;
      EXPECT_LT(error.size(), 300u);  // the library would quote the whole last token
      EXPECT_EQ(line_error, error);
    }
  }
}

}  // namespace
}  // namespace kestova
