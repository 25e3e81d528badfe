#include "record_format.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>

#include "base64.h"

namespace kestova {
namespace {

using nlohmann::json;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// The writer's own assembly must give exactly the library's compact dump of the record object.
TEST(RecordFormatTest, WriterMatchesTheLibrarysDumpOfTheRecord) {
  EXPECT_EQ(FormatRecordLine(1000, "a1", "/kv/bridge/data/meter", "YWJj"),
            R"({"msg_id":"a1","payload":"YWJj","topic":"/kv/bridge/data/meter","ts":1000})"
            "\n");
  const std::pair<std::string, std::string> strings[] = {
      {"", ""}, {"\x7f\x1f\b\f", "\xf0\x9f\x98\x80"}, {"a\"b\\c/", "\t\r\n"}};
  for (int64_t ts : {kMin, int64_t{-1}, kMax}) {
    for (const auto& [id, topic] : strings) {
      json record = {{"ts", ts}, {"msg_id", id}, {"topic", topic}, {"payload", "QUJD+/=="}};
      EXPECT_EQ(FormatRecordLine(ts, id, topic, "QUJD+/=="), record.dump() + "\n");
    }
  }
  for (const char* bad : {"\xff", "t\xc3"}) {
    EXPECT_THROW(FormatRecordLine(1, bad, "t", ""), json::type_error);
    EXPECT_THROW(FormatRecordLine(1, "a", bad, ""), json::type_error);
  }
}

// The store writes records from the raw payload, Base64-encoding it in place; that must be the
// very line the codec and the string writer give, for every tail length of the encoding.
TEST(RecordFormatTest, WriterFromRawBytesMatchesTheCodec) {
  std::mt19937 rng(3);
  for (size_t len = 0; len < 70; ++len) {
    std::string payload;
    for (size_t i = 0; i < len; ++i) payload += static_cast<char>(rng());
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    std::string line = "kept|";
    AppendRecordLine(&line, -42, "m\"1", "t/\xc3\xa9", bytes, len);
    EXPECT_EQ(line,
              "kept|" + FormatRecordLine(-42, "m\"1", "t/\xc3\xa9", base64_encode(bytes, len)))
        << len;
  }
}

// The fast path may take a line only when its reading is beyond doubt; for every other line the
// full parser decides. Strings are swept with one awkward byte at every offset, so that each lane
// of the 16-byte scan and the scalar tail meet it.
TEST(RecordFormatTest, FastPathTakesOnlyPlainLinesAndAgreesWithTheFullReading) {
  using namespace std::string_literals;
  const std::pair<std::string, bool> lines[] = {
      {R"({"msg_id":"a1","payload":"YWJj","topic":"/kv/bridge/data/meter","ts":1000})", true},
      {R"({"msg_id":"a b!~","payload":"not base64 at all","topic":"t","ts":-5})", true},
      {R"({"msg_id":"a","payload":"","topic":"t","ts":999999999999999999} )"s + "\r", true},
      {R"({"msg_id":"a","payload":"","topic":"t","ts":-0})", true},
      {R"({"msg_id":"a","payload":"","topic":"t","ts":9223372036854775807})", false},
      {R"({"msg_id":"a","payload":"","topic":"t","ts":1.5})", false},
      {R"({"msg_id":"a","payload":"","topic":"t","ts":01})", false},  // broken
      {R"({"msg_id":"a","payload":"","topic":"t","ts":1}x)", false},  // broken
      {R"({"msg_id":"a","payload":"","topic":"t","ts":1,"x":2})", false},
      {R"({"msg_id":"\u0041","payload":"","topic":"t","ts":1})", false},
      {R"({"msg_id":"a","payload":"","topic":"t","ts":1)", false},  // broken
      {R"({ "msg_id":"a","payload":"","topic":"t","ts":1})", false},
  };
  auto check = [](const std::string& line, bool fast_wanted) {
    int64_t ts = 0;
    std::string_view id, topic, payload;
    EXPECT_EQ(record_paths::ParseCanonical(line, &ts, &id, &topic, &payload), fast_wanted) << line;
    RecordLine got, full;
    std::string got_error, full_error;
    const bool ok = ParseRecordLine(line, &got, &got_error);
    ASSERT_EQ(ok, record_paths::ParseLineFull(line, &full, &full_error)) << line;
    EXPECT_EQ(got_error, full_error) << line;
    if (ok) {
      EXPECT_EQ(std::tie(got.ts, got.msg_id, got.topic, got.payload, got.body_error),
                std::tie(full.ts, full.msg_id, full.topic, full.payload, full.body_error))
          << line;
    }
    if (fast_wanted) {
      EXPECT_EQ(std::tie(ts, id, topic, payload),
                std::tie(full.ts, full.msg_id, full.topic, full.payload));
    }
  };
  for (const auto& [line, fast] : lines) check(line, fast);

  const std::pair<std::string, bool> bytes[] = {
      {" ", true},     {"/", true},     {"\"", false},   {"\\", false},
      {"\x01", false}, {"\x1f", false}, {"\x7f", false}, {"\xc3\xa9", false}};
  for (size_t at = 0; at < 40; ++at) {
    for (const auto& [byte, fast] : bytes) {
      std::string id(40, 'a');
      id.replace(at, 1, byte);
      std::string line = FormatRecordLine(1, id, "t", "QUJD");  // escapes what needs escaping
      line.pop_back();
      check(line, fast);
      RecordLine rec;
      std::string error;
      ASSERT_TRUE(ParseRecordLine(line, &rec, &error)) << line;
      EXPECT_EQ(rec.msg_id, id) << at;
      // The same byte raw in the payload, where the writer never puts it: the full parser judges.
      std::string raw = R"({"msg_id":"a","payload":")" + id + R"(","topic":"t","ts":1})";
      check(raw, fast);
    }
  }
}

struct KeyCase {
  std::string line;
  bool ok;
  int64_t ts;
  std::string msg_id;
};

TEST(RecordFormatTest, ParsesKeysUnderTheReadingRules) {
  using namespace std::string_literals;
  const KeyCase cases[] = {
      {R"({"ts":5,"msg_id":"a"})", true, 5, "a"},
      {R"({"ts":1.9,"msg_id":"x"})", true, 1, "x"},
      {R"({"ts":1e300,"msg_id":"x"})", true, kMax, "x"},
      {R"({"ts":-1e300,"msg_id":"x"})", true, kMin, "x"},
      {R"({"ts":1e400,"msg_id":"x"})", false, 0, ""},  // beyond double: the parser refuses it
      {R"({"ts":18446744073709551615,"msg_id":"x"})", true, kMax, "x"},
      {R"({"ts":-9223372036854775808,"msg_id":"x"})", true, kMin, "x"},
      {R"( {"z":[1,{"ts":"no"}],"msg_id":"b","ts":2} )", true, 2, "b"},  // order, extras, nesting
      {"{\"ts\":3,\"msg_id\":\"c\"}\r", true, 3, "c"},                   // CR before the LF
      {R"({"ts":"x","ts":4,"msg_id":"d"})", true, 4, "d"},               // last member counts
      {R"({"ts":"5","msg_id":"a"})", false, 0, ""},
      {R"({"ts":5,"msg_id":7})", false, 0, ""},
      {R"({"ts":5,"msg_id":"a","ts":null})", false, 0, ""},
      {R"({"x":{"ts":5,"msg_id":"a"}})", false, 0, ""},  // members must be at the top level
      {"   ", false, 0, ""},
      {R"({"ts":5,"msg_id":"a"} x)", false, 0, ""},
      {R"({"ts":5,/*c*/"msg_id":"a"})", false, 0, ""},
      {"{\"ts\":5,\"msg_id\":\"a\"}\0junk"s, false, 0, ""},  // the lexer's end-of-input trap
      {"{\"ts\":5,\"msg_id\":\"a\0b\"}"s, false, 0, ""},
  };
  for (const KeyCase& c : cases) {
    int64_t ts = -7;
    std::string id, error;
    ASSERT_EQ(ParseRecordKey(c.line, &ts, &id, &error), c.ok) << c.line << " " << error;
    if (c.ok) {
      EXPECT_EQ(ts, c.ts) << c.line;
      EXPECT_EQ(id, c.msg_id) << c.line;
    }
  }
}

// Every reader path (the fast one for lines in the writer's own form and the general one) must
// agree with a plain DOM reading of the rules, on written lines and on lines damaged at random.
TEST(RecordFormatTest, ReadersAgreeWithADomReadingOnDamagedLines) {
  std::mt19937 rng(1);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::string noise =
      std::string("{}[]\":,\\ -.eE0159az\t\r\x01\xc3\xa9\xffnul/=+", 32) + std::string(1, '\0');
  const int64_t stamps[] = {0, -1, 7, 999999999999999999, -999999999999999999, kMax, kMin};
  for (int i = 0; i < 8000; ++i) {
    const char* pieces[] = {"a", " ", "\"", "\\", "~", "\x7f", "\xc3\xa9", "\x01"};
    std::string id = "id";
    for (size_t k = pick(4); k > 0; --k) id += pieces[pick(8)];
    std::string line = FormatRecordLine(stamps[pick(7)], id, "t/x", "QUJD");
    line.pop_back();
    for (size_t m = pick(4); m > 0; --m) {
      size_t at = pick(line.size());
      switch (pick(3)) {
        case 0:
          line[at] = noise[pick(noise.size())];
          break;
        case 1:
          line.insert(at, 1, noise[pick(noise.size())]);
          break;
        default:
          line.erase(at, 1);
      }
    }
    json doc;
    std::string error;
    bool want = ParseWholeJson(line, &doc, &error) && doc.is_object() && doc.contains("ts") &&
                doc["ts"].is_number() && doc.contains("msg_id") && doc["msg_id"].is_string();
    RecordLine rec;
    ASSERT_EQ(ParseRecordLine(line, &rec, &error), want) << line;
    int64_t ts = 0;
    std::string msg_id;
    ASSERT_EQ(ParseRecordKey(line, &ts, &msg_id, &error), want) << line;
    if (!want) continue;
    ASSERT_EQ(rec.ts, JsonToInt64Saturating(doc["ts"])) << line;
    ASSERT_EQ(ts, rec.ts);
    ASSERT_EQ(rec.msg_id, doc["msg_id"].get<std::string>()) << line;
    ASSERT_EQ(msg_id, rec.msg_id);
    bool body = doc.contains("topic") && doc["topic"].is_string() && doc.contains("payload") &&
                doc["payload"].is_string();
    ASSERT_EQ(rec.body_error.empty(), body) << line;
    if (body) {
      ASSERT_EQ(rec.topic, doc["topic"].get<std::string>()) << line;
      ASSERT_EQ(rec.payload, doc["payload"].get<std::string>()) << line;
    }
  }
}

TEST(RecordFormatTest, ErrorTextsNameTheFault) {
  int64_t ts;
  std::string id, error;
  ParseRecordKey(R"({"ts":"5","msg_id":"a"})", &ts, &id, &error);
  EXPECT_EQ(error, "[json.exception.type_error.302] type must be number, but is string");
  ParseRecordKey(R"({"ts":5})", &ts, &id, &error);
  EXPECT_EQ(error, "[json.exception.type_error.302] type must be string, but is null");
  ParseRecordKey("{", &ts, &id, &error);
  EXPECT_NE(error.find("parse_error"), std::string::npos) << error;
  // The library quotes the last token; for a long broken line the text stays short anyway.
  ParseRecordKey("\"" + std::string(100000, 'm'), &ts, &id, &error);
  EXPECT_LT(error.size(), 300u);
}

// Hands out the text in reads of at most `step` bytes, then optionally fails.
class StringFile : public SequentialFile {
 public:
  StringFile(std::string text, size_t step, bool fail_at_end = false)
      : text_(std::move(text)), step_(step), fail_(fail_at_end) {}
  int Read(size_t n, char* buf, size_t* got) override {
    *got = std::min({n, step_, text_.size() - pos_});
    if (*got == 0 && fail_) return EIO;
    std::memcpy(buf, text_.data() + pos_, *got);
    pos_ += *got;
    return 0;
  }

 private:
  std::string text_;
  size_t step_, pos_ = 0;
  bool fail_;
};

// `lent`: read through a caller's buffer that already holds stale bytes (line feeds among them).
std::vector<std::string> Split(const std::string& text, size_t step, size_t chunk, int* status,
                               bool lent = false) {
  StringFile file(text, step, status != nullptr);
  std::string buffer(lent ? 9000 : 0, '\n');
  LineReader reader = lent ? LineReader(&file, &buffer, chunk) : LineReader(&file, chunk);
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.Next(&line)) lines.emplace_back(line);
  if (status) *status = reader.status();
  return lines;
}

TEST(RecordFormatTest, SplitsLinesAtEveryChunkBoundary) {
  using V = std::vector<std::string>;
  const std::pair<std::string, V> cases[] = {
      {"", V{}},
      {"\n\n\n", V{}},
      {"abc", V{"abc"}},
      {"a\nbc\n", V{"a", "bc"}},
      {"\na\n\nbc\n\n", V{"a", "bc"}},
      {"a\r\nb\r\n", V{"a\r", "b\r"}},
      {"a\nlast", V{"a", "last"}},
      {"  \n", V{"  "}},
      {std::string("a\0b\nc", 5), V{std::string("a\0b", 3), "c"}},
      {std::string(5000, 'x') + "\ny", V{std::string(5000, 'x'), "y"}},
  };
  for (const auto& [text, want] : cases) {
    for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1} << 20}) {
      for (size_t chunk : {size_t{1}, size_t{4}, LineReader::kDefaultChunk}) {
        EXPECT_EQ(Split(text, step, chunk, nullptr), want) << step << "/" << chunk;
        EXPECT_EQ(Split(text, step, chunk, nullptr, /*lent=*/true), want) << step << "/" << chunk;
      }
    }
  }
}

TEST(RecordFormatTest, ReadErrorDropsTheFragmentAndReportsErrno) {
  int status = 0;
  EXPECT_EQ(Split("one\ntwo\npartial", 3, 4, &status), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(status, EIO);
}

TEST(RecordFormatTest, JsonHelpersTakeExactlyOneValueAndSaturateNumbers) {
  using namespace std::string_literals;
  const std::pair<std::string, bool> cases[] = {
      {R"( {"a":[1,2]} )", true},
      {"{\"ts\":1,\"msg_id\":\"a\"}\0junk"s, false},
      {"\0"s, false},
      {R"({"a":1} x)", false},
      {"", false},
      {"// c\n1", false},
      {"1e400", false},
      {std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']'), true},
      {std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']'), false},
      {"\"" + std::string(5000, '[') + "\"", true},  // brackets inside strings do not nest
  };
  for (const auto& [text, ok] : cases) {
    json doc;
    std::string error;
    EXPECT_EQ(ParseWholeJson(text, &doc, &error), ok) << text.substr(0, 40);
    EXPECT_EQ(error.empty(), ok) << error;
  }
  const std::pair<json, int64_t> numbers[] = {{json(1e300), kMax},
                                              {json(-1e300), kMin},
                                              {json(18446744073709551615ULL), kMax},
                                              {json(-2.7), -2},
                                              {json(std::nan("")), 0}};
  for (const auto& [value, want] : numbers) EXPECT_EQ(JsonToInt64Saturating(value), want) << value;
  EXPECT_THROW(JsonToInt64Saturating(json("5")), json::type_error);
  EXPECT_THROW(JsonToInt64Saturating(json()), json::type_error);
}

}  // namespace
}  // namespace kestova
