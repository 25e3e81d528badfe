// Differential fuzz target: the record reader's fast path against the full JSON reading of the
// same line, and the writer against the JSON library's own serialisation.
//
// The fast path answers for lines in the writer's exact form and hands everything else to the
// full parser, so the two must agree on every line: validity, key, topic, payload, body error and
// error text. The first input byte picks how the rest becomes lines:
//   even: the bytes as they are, split on '\n' (arbitrary lines, mostly broken);
//   odd:  fields cut at 0xff bytes (msg_id, payload, topic, ts, trailer) dropped into the record
//         template, so that lines sit right at the fast path's border (escapes, control bytes,
//         UTF-8, long or signed numbers, white space after the object), and the fields are also
//         written as a record, which must match the library's dump() byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "base64.h"
#include "record_format.h"

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const char* what, std::string_view line) {
  std::fprintf(stderr, "line reader paths disagree: %s\nline (%zu bytes): ", what, line.size());
  for (unsigned char c : line.substr(0, 300)) {
    if (c >= 0x20 && c < 0x7f) {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", c);
    }
  }
  std::fputc('\n', stderr);
  std::abort();
}

void CheckLine(std::string_view line) {
  int64_t fast_ts = 0;
  std::string_view fast_id, fast_topic, fast_payload;
  const bool canonical =
      kestova::record_paths::ParseCanonical(line, &fast_ts, &fast_id, &fast_topic, &fast_payload);

  kestova::RecordLine full;
  std::string full_error;
  const bool full_ok = kestova::record_paths::ParseLineFull(line, &full, &full_error);
  if (canonical) {
    if (!full_ok) Fail("fast path takes a line the full parser rejects", line);
    if (fast_ts != full.ts || fast_id != full.msg_id || fast_topic != full.topic ||
        fast_payload != full.payload || !full.body_error.empty()) {
      Fail("fast path reads other values than the full parser", line);
    }
  }

  // What callers get (fast path first) against the full reading alone.
  kestova::RecordLine got;
  std::string got_error;
  const bool got_ok = kestova::ParseRecordLine(line, &got, &got_error);
  if (got_ok != full_ok) Fail("ParseRecordLine validity", line);
  if (got_ok) {
    if (got.ts != full.ts || got.msg_id != full.msg_id || got.topic != full.topic ||
        got.payload != full.payload || got.body_error != full.body_error) {
      Fail("ParseRecordLine values", line);
    }
  } else if (got_error != full_error) {
    Fail("ParseRecordLine error text", line);
  }

  int64_t key_ts = 0, full_key_ts = 0;
  std::string key_id, full_key_id, key_error, full_key_error;
  const bool key_ok = kestova::ParseRecordKey(line, &key_ts, &key_id, &key_error);
  const bool full_key_ok =
      kestova::record_paths::ParseKeyFull(line, &full_key_ts, &full_key_id, &full_key_error);
  if (key_ok != full_key_ok || key_ok != full_ok) Fail("ParseRecordKey validity", line);
  if (key_ok && (key_ts != full_key_ts || key_id != full_key_id || key_ts != full.ts ||
                 key_id != full.msg_id)) {
    Fail("ParseRecordKey values", line);
  }
  if (!key_ok && key_error != full_key_error) Fail("ParseRecordKey error text", line);
}

// The writer, from raw payload bytes and from Base64 text, against dump() of the same object.
void CheckWriter(int64_t ts, const std::string& id, const std::string& topic,
                 const std::string& payload) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
  const std::string b64 = base64_encode(bytes, payload.size());
  std::string want;
  bool want_throws = false;
  try {
    want = json{{"msg_id", id}, {"payload", b64}, {"topic", topic}, {"ts", ts}}.dump() + "\n";
  } catch (const json::type_error&) {
    want_throws = true;
  }
  for (int from_bytes = 0; from_bytes < 2; ++from_bytes) {
    std::string line = "prefix";  // appending must keep what the buffer held
    bool threw = false;
    try {
      if (from_bytes != 0) {
        kestova::AppendRecordLine(&line, ts, id, topic, bytes, payload.size());
      } else {
        kestova::AppendRecordLine(&line, ts, id, topic, b64);
      }
    } catch (const json::type_error& e) {
      if (e.id != 316) Fail("writer throws another error than invalid UTF-8", id + topic);
      threw = true;
    }
    if (threw != want_throws) Fail("writer and dump() disagree on invalid UTF-8", id + topic);
    if (!threw && line.substr(6) != want) Fail("writer output differs from dump()", line);
  }
  if (!want_throws) {
    const std::string_view line(want.data(), want.size() - 1);
    CheckLine(line);
    kestova::RecordLine back;
    std::string error;
    if (!kestova::ParseRecordLine(line, &back, &error) || back.ts != ts || back.msg_id != id ||
        back.topic != topic || back.payload != b64) {
      Fail("a written record does not read back", line);
    }
  }
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    for (std::string_view line : Split(rest, '\n')) {
      if (!line.empty()) CheckLine(line);
    }
    return 0;
  }
  std::vector<std::string_view> f = Split(rest, '\xff');
  f.resize(5);
  const std::string id(f[0]), payload(f[1]), topic(f[2]), ts_text(f[3]), trailer(f[4]);
  // The stored payload text taken verbatim (any bytes), as another writer might have left it.
  const std::string line = "{\"msg_id\":\"" + id + "\",\"payload\":\"" + payload +
                           "\",\"topic\":\"" + topic + "\",\"ts\":" + ts_text + "}" + trailer;
  CheckLine(line);
  // And the same fields through the writer, with a number read from the ts text.
  uint64_t bits = 0;  // unsigned, so that the wrap-around is defined
  for (char c : ts_text) bits = bits * 31 + static_cast<unsigned char>(c);
  if (!ts_text.empty() && ts_text[0] == '-') bits = 0 - bits;
  CheckWriter(static_cast<int64_t>(bits), id, topic, payload);
  return 0;
}
