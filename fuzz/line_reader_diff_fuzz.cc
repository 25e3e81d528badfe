// The record reader's fast path against its full JSON reading: validity, key, body and error text
// must agree. An even first byte: the rest is lines; odd: fields cut at 0xff bytes (msg_id,
// payload, topic, ts, trailer) go into the record template, at the fast path's border, and through
// the writer, which must match the JSON library's dump() byte for byte and read back.
#include <tuple>

#include "base64.h"
#include "fuzz_entries.h"
#include "record_format.h"

namespace {

using nlohmann::json;
namespace paths = kestova::record_paths;

auto Tie(const kestova::RecordLine& r) {
  return std::tie(r.ts, r.msg_id, r.topic, r.payload, r.body_error);
}

void CheckLine(std::string_view line) {
  int64_t fast_ts = 0;
  std::string_view fast_id, fast_topic, fast_payload;
  kestova::RecordLine full, got;
  std::string full_error, got_error;
  const bool full_ok = paths::ParseLineFull(line, &full, &full_error);
  if (paths::ParseCanonical(line, &fast_ts, &fast_id, &fast_topic, &fast_payload)) {
    FUZZ_CHECK(full_ok && full.body_error.empty() &&
                   std::tie(fast_ts, fast_id, fast_topic, fast_payload) ==
                       std::tie(full.ts, full.msg_id, full.topic, full.payload),
               "the fast path reads a line otherwise than the full parser");
  }
  const bool got_ok = kestova::ParseRecordLine(line, &got, &got_error);
  FUZZ_CHECK(got_ok == full_ok && (got_ok ? Tie(got) == Tie(full) : got_error == full_error),
             "ParseRecordLine differs from the full reading");
  int64_t key_ts = 0, full_key_ts = 0;
  std::string key_id, full_key_id, key_error, full_key_error;
  const bool key_ok = kestova::ParseRecordKey(line, &key_ts, &key_id, &key_error);
  const bool full_key_ok = paths::ParseKeyFull(line, &full_key_ts, &full_key_id, &full_key_error);
  FUZZ_CHECK(key_ok == full_key_ok && key_ok == full_ok &&
                 (key_ok ? key_ts == full_key_ts && key_id == full_key_id && key_ts == full.ts &&
                               key_id == full.msg_id
                         : key_error == full_key_error),
             "ParseRecordKey differs from the full reading");
}

// The writer, from raw payload bytes and from Base64 text, against dump() of the same object.
void CheckWriter(int64_t ts, const std::string& id, const std::string& topic,
                 const std::string& payload) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
  const std::string b64 = base64_encode(bytes, payload.size());
  std::optional<std::string> want;  // none when a string is not UTF-8
  try {
    want = json{{"msg_id", id}, {"payload", b64}, {"topic", topic}, {"ts", ts}}.dump() + "\n";
  } catch (const json::type_error&) {
  }
  for (const bool from_bytes : {false, true}) {
    std::string line = "prefix";  // appending must keep what the buffer held
    try {
      if (from_bytes) kestova::AppendRecordLine(&line, ts, id, topic, bytes, payload.size());
      if (!from_bytes) kestova::AppendRecordLine(&line, ts, id, topic, b64);
      FUZZ_CHECK(want && line == "prefix" + *want, "writer output differs from dump()");
    } catch (const json::type_error& e) {
      FUZZ_CHECK(e.id == 316 && !want, "writer and dump() disagree on invalid UTF-8");
    }
  }
  if (!want) return;
  const std::string_view line(want->data(), want->size() - 1);
  CheckLine(line);
  kestova::RecordLine back;
  std::string error;
  FUZZ_CHECK(kestova::ParseRecordLine(line, &back, &error) && back.ts == ts && back.msg_id == id &&
                 back.topic == topic && back.payload == b64,
             "a written record does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    for (std::string_view line : fuzzentry::SplitLines(rest)) CheckLine(line);
    return 0;
  }
  std::vector<std::string_view> f = fuzzentry::Split(rest, '\xff');
  f.resize(5);
  const std::string id(f[0]), payload(f[1]), topic(f[2]), ts_text(f[3]), trailer(f[4]);
  // The stored payload text taken verbatim (any bytes), as another writer might have left it.
  CheckLine("{\"msg_id\":\"" + id + "\",\"payload\":\"" + payload + "\",\"topic\":\"" + topic +
            "\",\"ts\":" + ts_text + "}" + trailer);
  uint64_t bits = 0;  // a number from the ts text; unsigned, so that the wrap-around is defined
  for (char c : ts_text) bits = bits * 31 + static_cast<unsigned char>(c);
  if (!ts_text.empty() && ts_text[0] == '-') bits = 0 - bits;
  CheckWriter(static_cast<int64_t>(bits), id, topic, payload);
  return 0;
}
