// The operator tool's `stat` and `verify` commands: an outbox directory at a glance, and every byte
// of it checked. Both list the directory once and read every file in delivery order (see
// outbox_listing.h); both write their report to `out`, and only a directory that cannot be listed
// to `err`.
#pragma once

#include <ostream>
#include <string>

namespace kestova::outbox_tool {

// One row per file (records, broken lines, oldest and newest ts, bytes), a totals row, whether a
// running service holds the directory, and notes on files that moved or changed while read.
// Returns 0, or 1 when the directory cannot be listed or a file cannot be read.
int Stat(const std::string& dir, std::ostream& out, std::ostream& err);

// One "damage:" line per broken line or damaged gzip stream (at most 20 per file, the rest
// counted), data after a gzip stream, and unreadable files; notes on temporary files; then "OK"
// (returns 0) or "DAMAGED" (returns 1) with the totals. 1 too when the directory cannot be listed.
int Verify(const std::string& dir, std::ostream& out, std::ostream& err);

}  // namespace kestova::outbox_tool
