#include "cat_command.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "base64.h"
#include "outbox_listing.h"
#include "record_reader.h"

namespace kestova::outbox_tool {
namespace {

// Whether `s` is well-formed UTF-8 (RFC 3629: shortest forms only, no surrogates, nothing above
// U+10FFFF), which the JSON library requires of every string it writes.
bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t more = 0;                     // continuation bytes
    unsigned char lo = 0x80, hi = 0xbf;  // range of the first of them
    if (c >= 0xc2 && c <= 0xdf) {
      more = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      more = 2;
      lo = c == 0xe0 ? 0xa0 : 0x80;
      hi = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
      more = 3;
      lo = c == 0xf0 ? 0x90 : 0x80;
      hi = c == 0xf4 ? 0x8f : 0xbf;
    } else {
      return false;
    }
    if (s.size() - i <= more) return false;
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char t = s[i + k];
      if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xbf)) return false;
    }
    i += more + 1;
  }
  return true;
}

// One record as a JSON line, written straight to the stream: a large payload is not copied once
// more into the text of the line.
void PrintRecord(const RecordLine& rec, std::ostream& out) {
  nlohmann::ordered_json j;
  j["ts"] = rec.ts;
  j["msg_id"] = rec.msg_id;
  j["topic"] = rec.topic;
  const std::vector<uint8_t> bytes = base64_decode(rec.payload);
  std::string text(bytes.begin(), bytes.end());
  if (IsUtf8(text)) {
    j["payload"] = std::move(text);
  } else {
    j["payload_base64"] = base64_encode(bytes.data(), bytes.size());
  }
  out << j << '\n';
}

}  // namespace

int Cat(const std::string& dir, const CatOptions& opt, std::ostream& out, std::ostream& err) {
  Listing listing;
  if (!ListOutbox(dir, &listing, err)) return 1;
  ScanHooks hooks;
  hooks.record = [&](const RecordLine& rec) {
    if (rec.ts >= opt.since && rec.ts <= opt.until) PrintRecord(rec, out);
  };
  const std::vector<FileScan> scans = ScanOutbox(dir, listing, opt.archives, hooks);
  out.flush();
  uint64_t broken = 0;
  int status = 0;
  for (const FileScan& s : scans) {
    broken += s.broken;
    if (!s.error.empty()) {
      err << fmt::format("skelvane-outbox: cannot read {}: {}\n", s.name, s.error);
      status = 1;
    }
  }
  PrintFileNotes(scans, err);
  if (broken > 0) err << fmt::format("skelvane-outbox: skipped {} broken lines\n", broken);
  return status;
}

}  // namespace kestova::outbox_tool
