// The operator tool's `cat` command: the records the service would deliver, as JSON lines.
#pragma once

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

namespace kestova::outbox_tool {

struct CatOptions {
  int64_t since = std::numeric_limits<int64_t>::min();  // records with since <= ts <= until
  int64_t until = std::numeric_limits<int64_t>::max();
  bool archives = false;  // the archives too, after the active file; else the active file only
};

// Writes each deliverable record of `dir` in delivery order to `out` as
// {"ts":..,"msg_id":..,"topic":..,"payload":<UTF-8 text>} ("payload_base64" when the payload is
// not valid UTF-8). Broken lines are skipped; their count, unreadable files and notes on files
// that moved or changed go to `err`, after the records. Returns 0, or 1 when the directory
// cannot be listed or a file cannot be read.
int Cat(const std::string& dir, const CatOptions& opt, std::ostream& out, std::ostream& err);

}  // namespace kestova::outbox_tool
