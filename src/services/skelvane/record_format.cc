#include "record_format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestova {

using nlohmann::json;

std::string ActiveFilePath(const std::string& dir) { return dir + "/" + kActiveFileName; }

std::string TempFilePath(const std::string& active_path) { return active_path + kTempFileSuffix; }

namespace {

// Bytes that stand for themselves inside a JSON string: printable ASCII except '"' and '\\'.
constexpr bool IsPlainByte(unsigned char c) {
  return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
}

// The first byte in [p, end) that is not plain, or end. This is the inner loop of both the writer
// and the fast reader, so it looks at 16 bytes at a time where the compiler offers portable vector
// types (SSE2 on x86-64, NEON on Arm64).
const char* SkipPlain(const char* p, const char* end) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  using Bytes16 = signed char __attribute__((vector_size(16)));
  while (end - p >= 16) {
    Bytes16 v;
    __builtin_memcpy(&v, p, sizeof v);
    // As signed bytes, everything from 0x80 up is negative and so falls below 0x20 as well.
    const Bytes16 bad = (v < 0x20) | (v == 0x7f) | (v == '"') | (v == '\\');
    uint64_t half[2];
    __builtin_memcpy(half, &bad, sizeof half);
    if ((half[0] | half[1]) != 0) {
      const int bit = half[0] != 0 ? __builtin_ctzll(half[0]) : 64 + __builtin_ctzll(half[1]);
      return p + bit / 8;
    }
    p += 16;
  }
#endif
  while (p < end && IsPlainByte(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool AllPlain(std::string_view s) {
  return SkipPlain(s.data(), s.data() + s.size()) == s.data() + s.size();
}

// A string as dump() writes it. Plain strings are copied straight through, which is what the
// library's escaper gives for them; everything else goes through the library, which also throws
// type_error 316 for invalid UTF-8.
void AppendJsonString(std::string* out, const std::string& s) {
  if (AllPlain(s)) {
    out->push_back('"');
    out->append(s);
    out->push_back('"');
  } else {
    out->append(json(s).dump());
  }
}

// Standard Base64 with padding, the encoding of base64_encode (base64.cc), written in place.
void AppendBase64(std::string* out, const uint8_t* data, size_t len) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t start = out->size();
  out->resize(start + (len + 2) / 3 * 4);
  char* p = out->data() + start;
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    p[0] = kAlphabet[v >> 18];
    p[1] = kAlphabet[(v >> 12) & 63];
    p[2] = kAlphabet[(v >> 6) & 63];
    p[3] = kAlphabet[v & 63];
    p += 4;
  }
  if (len - i == 1) {
    const uint32_t v = uint32_t{data[i]} << 16;
    p[0] = kAlphabet[v >> 18];
    p[1] = kAlphabet[(v >> 12) & 63];
    p[2] = '=';
    p[3] = '=';
  } else if (len - i == 2) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    p[0] = kAlphabet[v >> 18];
    p[1] = kAlphabet[(v >> 12) & 63];
    p[2] = kAlphabet[(v >> 6) & 63];
    p[3] = '=';
  }
}

// Byte for byte what dump() of the object {"msg_id","payload","topic","ts"} gives, assembled by
// hand: the Base64 text never needs escaping, and running the JSON escaper over it was the largest
// CPU cost of a store. `put_payload` appends the payload's Base64 text.
template <typename PutPayload>
void AppendRecordLineWith(std::string* out, int64_t ts, const std::string& msg_id,
                          const std::string& topic, size_t payload_chars, PutPayload put_payload) {
  out->reserve(out->size() + msg_id.size() + topic.size() + payload_chars + 64);
  out->append("{\"msg_id\":");
  AppendJsonString(out, msg_id);
  out->append(",\"payload\":\"");
  put_payload();
  out->append("\",\"topic\":");
  AppendJsonString(out, topic);
  out->append(",\"ts\":");
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, ts);
  out->append(digits, static_cast<size_t>(end - digits));
  out->append("}\n");
}

}  // namespace

void AppendRecordLine(std::string* out, int64_t ts, const std::string& msg_id,
                      const std::string& topic, std::string_view payload_base64) {
  AppendRecordLineWith(out, ts, msg_id, topic, payload_base64.size(),
                       [&] { out->append(payload_base64); });
}

void AppendRecordLine(std::string* out, int64_t ts, const std::string& msg_id,
                      const std::string& topic, const uint8_t* payload, size_t len) {
  AppendRecordLineWith(out, ts, msg_id, topic, (len + 2) / 3 * 4,
                       [&] { AppendBase64(out, payload, len); });
}

std::string FormatRecordLine(int64_t ts, const std::string& msg_id, const std::string& topic,
                             const std::string& payload_base64) {
  std::string line;
  AppendRecordLine(&line, ts, msg_id, topic, payload_base64);
  return line;
}

// --- splitter ---

LineReader::LineReader(SequentialFile* file, size_t chunk)
    : file_(file), chunk_(chunk ? chunk : 1), buf_(own_) {}

LineReader::LineReader(SequentialFile* file, std::string* buffer, size_t chunk)
    : file_(file), chunk_(chunk ? chunk : 1), buf_(*buffer) {}

bool LineReader::Next(std::string_view* line) {
  for (;;) {
    if (scan_ < end_) {
      const void* p = std::memchr(buf_.data() + scan_, '\n', end_ - scan_);
      if (p != nullptr) {
        size_t nl = static_cast<size_t>(static_cast<const char*>(p) - buf_.data());
        size_t start = begin_;
        begin_ = scan_ = nl + 1;
        if (nl == start) continue;  // zero-length line
        *line = std::string_view(buf_.data() + start, nl - start);
        return true;
      }
      scan_ = end_;
    }
    if (status_ != 0) return false;
    if (eof_) {
      if (begin_ == end_) return false;
      *line = std::string_view(buf_.data() + begin_, end_ - begin_);  // last, unterminated line
      begin_ = scan_ = end_;
      return true;
    }
    // Refill: keep only the unfinished line, and grow geometrically so that a long line costs
    // amortised linear time.
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      scan_ -= begin_;
      begin_ = 0;
    }
    // Reads start small, so that a reader that wants only the first lines (pending retrieval
    // right after a flush) does not copy a large block, and grow to the full chunk.
    const size_t want = std::min(next_read_, chunk_);
    next_read_ = std::min(next_read_ * 2, chunk_);
    if (buf_.size() - end_ < want) buf_.resize(std::max(buf_.size() * 2, end_ + want));
    size_t got = 0;
    // At most `want` even into a larger (lent) buffer, so the first reads stay small.
    int rc = file_->Read(std::min(want, buf_.size() - end_), buf_.data() + end_, &got);
    if (rc != 0) {
      status_ = rc;
      return false;
    }
    if (got == 0) eof_ = true;
    end_ += got;
  }
}

// --- numbers ---

int64_t UnsignedToInt64Saturating(uint64_t u) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return u > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(u);
}

int64_t DoubleToInt64Saturating(double d) {
  // 2^63 is exactly representable; every double below it and at or above -2^63 converts without
  // overflow, cut toward zero.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(d)) return 0;
  if (d >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (d < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

int64_t JsonToInt64Saturating(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_unsigned:
      return UnsignedToInt64Saturating(value.get<uint64_t>());
    case json::value_t::number_float:
      return DoubleToInt64Saturating(value.get<double>());
    default:
      return value.get<int64_t>();  // throws the library's type_error 302
  }
}

// --- line reader ---

namespace {

// The JSON library's name of a value type, as its own error messages print it.
const char* TypeName(json::value_t t) {
  switch (t) {
    case json::value_t::null:
      return "null";
    case json::value_t::object:
      return "object";
    case json::value_t::array:
      return "array";
    case json::value_t::string:
      return "string";
    case json::value_t::boolean:
      return "boolean";
    case json::value_t::binary:
      return "binary";
    case json::value_t::discarded:
      return "discarded";
    default:
      return "number";
  }
}

bool IsNumber(json::value_t t) {
  return t == json::value_t::number_integer || t == json::value_t::number_unsigned ||
         t == json::value_t::number_float;
}

// Error texts worded as the JSON library words the same fault when a document is read with
// operator[] and get<>(), so every reader reports a broken line alike.
std::string MustBe(const char* expected, json::value_t actual) {
  return std::string("[json.exception.type_error.302] type must be ") + expected + ", but is " +
         TypeName(actual);
}

// The library quotes the whole last token in a parse error, which for a long broken line would be
// a log line of megabytes.
constexpr size_t kMaxErrorText = 256;
std::string CapError(std::string text) {
  if (text.size() > kMaxErrorText) {
    text.resize(kMaxErrorText);
    text += "...";
  }
  return text;
}

constexpr char kZeroByteError[] =
    "[json.exception.parse_error.101] parse error: syntax error - zero byte inside the text";
constexpr char kNoClosingBraceError[] =
    "[json.exception.parse_error.101] parse error: syntax error - the line does not end with '}'";

// White space as the JSON lexer skips it; nothing else (no '\f', no '\v') may follow a value.
constexpr bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A record is an object, so the last byte of a valid line other than white space is its '}'.
// Every torn line fails this, and it is decided without the JSON library, whose token buffer and
// error text for a long cut-off string (a 64 MiB payload without its end) cost several times the
// line's size.
bool EndsWithBrace(std::string_view line) {
  size_t n = line.size();
  while (n > 0 && IsJsonSpace(line[n - 1])) --n;
  return n > 0 && line[n - 1] == '}';
}

// The checks that come before any JSON parsing, shared by both full readers so that every reader
// gives the same verdict and error text. False with *error for a broken line.
bool PassesPrechecks(std::string_view line, std::string* error) {
  if (line.find('\0') != std::string_view::npos) {
    *error = kZeroByteError;
    return false;
  }
  if (!EndsWithBrace(line)) {
    *error = kNoClosingBraceError;
    return false;
  }
  return true;
}

// SAX consumer that keeps only the four record members at the top level of an object and ignores
// everything else, so that reading a record allocates nothing for members it does not use and a
// deeply nested value costs one bit per level inside the parser.
class RecordSax {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  explicit RecordSax(bool want_body) : want_body_(want_body) {}

  bool null() { return Scalar(json::value_t::null); }
  bool boolean(bool) { return Scalar(json::value_t::boolean); }
  bool number_integer(number_integer_t v) {
    if (Member() == kTs) ts_ = v;
    return Scalar(json::value_t::number_integer);
  }
  bool number_unsigned(number_unsigned_t v) {
    if (Member() == kTs) ts_ = UnsignedToInt64Saturating(v);
    return Scalar(json::value_t::number_unsigned);
  }
  bool number_float(number_float_t v, const string_t&) {
    if (Member() == kTs) ts_ = DoubleToInt64Saturating(v);
    return Scalar(json::value_t::number_float);
  }
  bool string(string_t& v) {
    switch (Member()) {
      case kMsgId:
        msg_id_ = std::move(v);
        break;
      case kTopic:
        if (want_body_) topic_ = std::move(v);
        break;
      case kPayload:
        if (want_body_) payload_ = std::move(v);
        break;
      default:
        break;
    }
    return Scalar(json::value_t::string);
  }
  bool binary(binary_t&) { return Scalar(json::value_t::binary); }
  bool start_object(std::size_t) { return Open(json::value_t::object); }
  bool start_array(std::size_t) { return Open(json::value_t::array); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(string_t& k) {
    if (depth_ == 1) {
      if (k == "ts") {
        pending_ = kTs;
      } else if (k == "msg_id") {
        pending_ = kMsgId;
      } else if (k == "topic") {
        pending_ = kTopic;
      } else if (k == "payload") {
        pending_ = kPayload;
      } else {
        pending_ = kOther;
      }
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    error_ = CapError(ex.what());
    return false;
  }

  // After a complete parse: the key (rules 3 and 4), then the body members.
  bool Finish(int64_t* ts, std::string* msg_id, std::string* error) {
    if (!error_.empty()) {
      *error = error_;
      return false;
    }
    // A top-level null reads like an empty object under operator[]; any other non-object cannot
    // be indexed by name at all.
    if (top_ != json::value_t::object && top_ != json::value_t::null) {
      *error = std::string(
                   "[json.exception.type_error.305] cannot use operator[] with a string "
                   "argument with ") +
               TypeName(top_);
      return false;
    }
    if (!IsNumber(type_[kTs])) {
      *error = MustBe("number", type_[kTs]);
      return false;
    }
    if (type_[kMsgId] != json::value_t::string) {
      *error = MustBe("string", type_[kMsgId]);
      return false;
    }
    *ts = ts_;
    *msg_id = std::move(msg_id_);
    return true;
  }

  std::string BodyError() const {
    if (type_[kTopic] != json::value_t::string) return MustBe("string", type_[kTopic]);
    if (type_[kPayload] != json::value_t::string) return MustBe("string", type_[kPayload]);
    return {};
  }
  std::string& topic() { return topic_; }
  std::string& payload() { return payload_; }

 private:
  enum Slot { kTs = 0, kMsgId, kTopic, kPayload, kOther, kNone };

  // The record member the next value belongs to, or kNone/kOther. Only values directly inside
  // the top-level object count.
  Slot Member() const { return depth_ == 1 && in_top_object_ ? pending_ : kNone; }

  void Assign(json::value_t t) {
    Slot s = Member();
    if (s < kOther) type_[s] = t;
    if (depth_ == 1) pending_ = kNone;
  }
  bool Scalar(json::value_t t) {
    if (depth_ == 0) top_ = t;
    Assign(t);
    return true;
  }
  bool Open(json::value_t t) {
    if (depth_ == 0) {
      top_ = t;
      in_top_object_ = t == json::value_t::object;
    }
    Assign(t);
    ++depth_;
    return true;
  }
  bool Close() {
    --depth_;
    return true;
  }

  bool want_body_;
  int64_t depth_ = 0;
  bool in_top_object_ = false;
  Slot pending_ = kNone;
  json::value_t top_ = json::value_t::discarded;
  json::value_t type_[4] = {json::value_t::null, json::value_t::null, json::value_t::null,
                            json::value_t::null};
  int64_t ts_ = 0;
  std::string msg_id_;
  std::string topic_;
  std::string payload_;
  std::string error_;
};

// Fast path for the lines this writer produces. The JSON library reads about a hundred MB/s, so
// a flush or index rebuild of a full active file would block the service loop for long; nearly all
// lines are in the exact form FormatRecordLine writes, and for those the answer is found here in a
// single pass. Only a shape whose meaning is beyond doubt is taken: member order as written, no
// white space except after the closing brace, strings of printable ASCII without escapes (which
// the JSON reading leaves exactly as they are) and a "ts" of at most 18 digits. Everything else
// returns false and goes to the full parser, which decides. Both paths give the same result for
// every line; fuzz/line_reader_diff_fuzz.cc holds them against each other.
struct Canonical {
  int64_t ts = 0;
  std::string_view msg_id, payload, topic;
};

class CanonicalScanner {
 public:
  explicit CanonicalScanner(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

  bool Scan(Canonical* out) {
    return Literal("{\"msg_id\":\"") && PlainString(&out->msg_id) && Literal("\",\"payload\":\"") &&
           PlainString(&out->payload) && Literal("\",\"topic\":\"") && PlainString(&out->topic) &&
           Literal("\",\"ts\":") && Integer(&out->ts) && Literal("}") && TrailingSpace();
  }

 private:
  template <size_t N>
  bool Literal(const char (&lit)[N]) {
    constexpr size_t n = N - 1;
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, lit, n) != 0) return false;
    p_ += n;
    return true;
  }
  // Up to the closing quote, which the next literal takes.
  bool PlainString(std::string_view* out) {
    const char* start = p_;
    p_ = SkipPlain(p_, end_);
    if (p_ == end_ || *p_ != '"') return false;
    *out = std::string_view(start, static_cast<size_t>(p_ - start));
    return true;
  }
  bool Integer(int64_t* out) {
    bool negative = p_ < end_ && *p_ == '-';
    if (negative) ++p_;
    const char* start = p_;
    // At most 18 digits always fit; longer numbers are left to the full parser.
    int64_t value = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      if (p_ - start == 18) return false;
      value = value * 10 + (*p_++ - '0');
    }
    const size_t digits = static_cast<size_t>(p_ - start);
    if (digits == 0 || (digits > 1 && *start == '0')) return false;
    *out = negative ? -value : value;
    return true;
  }
  bool TrailingSpace() {
    for (; p_ < end_; ++p_) {
      if (!IsJsonSpace(*p_)) return false;
    }
    return true;
  }

  const char* p_;
  const char* end_;
};

bool RunRecordSax(std::string_view line, RecordSax* sax) {
  return json::sax_parse(line.begin(), line.end(), sax, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false);
}

// Depth check ahead of a DOM parse: counts brackets outside strings. Malformed text is left for the
// parser to reject; only a depth beyond the limit is reported here.
bool WithinDepth(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

namespace record_paths {

bool ParseCanonical(std::string_view line, int64_t* ts, std::string_view* msg_id,
                    std::string_view* topic, std::string_view* payload) {
  Canonical rec;
  if (!CanonicalScanner(line).Scan(&rec)) return false;
  *ts = rec.ts;
  *msg_id = rec.msg_id;
  *topic = rec.topic;
  *payload = rec.payload;
  return true;
}

bool ParseKeyFull(std::string_view line, int64_t* ts, std::string* msg_id, std::string* error) {
  if (!PassesPrechecks(line, error)) return false;
  RecordSax sax(/*want_body=*/false);
  RunRecordSax(line, &sax);
  return sax.Finish(ts, msg_id, error);
}

bool ParseLineFull(std::string_view line, RecordLine* out, std::string* error) {
  if (!PassesPrechecks(line, error)) return false;
  RecordSax sax(/*want_body=*/true);
  RunRecordSax(line, &sax);
  if (!sax.Finish(&out->ts, &out->msg_id, error)) return false;
  out->body_error = sax.BodyError();
  out->topic = std::move(sax.topic());
  out->payload = std::move(sax.payload());
  return true;
}

}  // namespace record_paths

bool ParseRecordKey(std::string_view line, int64_t* ts, std::string* msg_id, std::string* error) {
  Canonical rec;
  if (CanonicalScanner(line).Scan(&rec)) {
    *ts = rec.ts;
    msg_id->assign(rec.msg_id);
    return true;
  }
  return record_paths::ParseKeyFull(line, ts, msg_id, error);
}

bool ParseRecordLine(std::string_view line, RecordLine* out, std::string* error) {
  Canonical rec;
  if (CanonicalScanner(line).Scan(&rec)) {
    out->ts = rec.ts;
    out->msg_id.assign(rec.msg_id);
    out->topic.assign(rec.topic);
    out->payload.assign(rec.payload);
    out->body_error.clear();
    return true;
  }
  return record_paths::ParseLineFull(line, out, error);
}

bool ParseWholeJson(std::string_view text, json* out, std::string* error) {
  if (text.find('\0') != std::string_view::npos) {
    *error = kZeroByteError;
    return false;
  }
  if (!WithinDepth(text, kMaxJsonDepth)) {
    *error = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return false;
  }
  try {
    *out = json::parse(text.begin(), text.end(), /*cb=*/nullptr, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
    return true;
  } catch (const json::exception& e) {  // parse_error, or out_of_range 406 for 1e400
    *error = CapError(e.what());
    return false;
  }
}

}  // namespace kestova
