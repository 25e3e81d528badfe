#include "record_reader.h"

#include <nlohmann/json.hpp>

#include "json_util.h"
#include "record_canonical.h"
#include "saturating.h"

namespace kestova {
namespace {

using nlohmann::json;

bool IsNumber(json::value_t t) {
  return t == json::value_t::number_integer || t == json::value_t::number_unsigned ||
         t == json::value_t::number_float;
}

// The reasons a line is broken, in words of our own: operators read them in logs and in the
// outbox tool's report, and they stay the same whichever way (fast path or full reading) and
// whatever JSON library version decided. Syntax errors alone keep the library's text, which says
// where the text went wrong.
std::string MustBe(const char* member, const char* expected, json::value_t actual) {
  return std::string("\"") + member + "\" must be " + expected + ", but is " +
         (actual == json::value_t::null ? "missing or null" : JsonTypeName(actual));
}

constexpr char kNoClosingBraceError[] = "not a record: the line does not end with '}'";

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
    *error = kJsonZeroByteError;
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
    error_ = CapJsonError(ex.what());
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
      *error = std::string("not a record: the line holds a JSON ") + JsonTypeName(top_) +
               ", not an object";
      return false;
    }
    if (!IsNumber(type_[kTs])) {
      *error = MustBe("ts", "a number", type_[kTs]);
      return false;
    }
    if (type_[kMsgId] != json::value_t::string) {
      *error = MustBe("msg_id", "a string", type_[kMsgId]);
      return false;
    }
    *ts = ts_;
    *msg_id = std::move(msg_id_);
    return true;
  }

  std::string BodyError() const {
    if (type_[kTopic] != json::value_t::string) return MustBe("topic", "a string", type_[kTopic]);
    if (type_[kPayload] != json::value_t::string) {
      return MustBe("payload", "a string", type_[kPayload]);
    }
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

bool RunRecordSax(std::string_view line, RecordSax* sax) {
  return json::sax_parse(line.begin(), line.end(), sax, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false);
}

}  // namespace

namespace record_paths {

bool ParseCanonical(std::string_view line, int64_t* ts, std::string_view* msg_id,
                    std::string_view* topic, std::string_view* payload) {
  CanonicalRecord rec;
  if (!ScanCanonical(line, &rec)) return false;
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
  CanonicalRecord rec;
  if (ScanCanonical(line, &rec)) {
    *ts = rec.ts;
    msg_id->assign(rec.msg_id);
    return true;
  }
  return record_paths::ParseKeyFull(line, ts, msg_id, error);
}

bool ParseRecordLine(std::string_view line, RecordLine* out, std::string* error) {
  CanonicalRecord rec;
  if (ScanCanonical(line, &rec)) {
    out->ts = rec.ts;
    out->msg_id.assign(rec.msg_id);
    out->topic.assign(rec.topic);
    out->payload.assign(rec.payload);
    out->body_error.clear();
    return true;
  }
  return record_paths::ParseLineFull(line, out, error);
}

}  // namespace kestova
