// skelvane-outbox: the operator's read-only view of an outbox directory and of the configuration.
//
// Commands (the usage text lists them; wrong usage is exit status 2 with that one line on stderr):
//   stat DIR          one line per file (active file first, then the archives in archive order):
//                     records, broken lines, oldest and newest ts, bytes; a totals line; and
//                     whether a running service holds the directory.
//   verify DIR        every line of every file read as the service reads it and every gzip stream
//                     to its end; exit 0 when all is whole, 1 with each damage (file:line, byte
//                     offset, reason). Leftover "*.tmp" files are notes, not damage.
//   cat DIR [--since TS] [--until TS] [--archives]
//                     the deliverable records in delivery order as JSON lines
//                     {"ts":..,"msg_id":..,"topic":..,"payload":<UTF-8 text>} (or "payload_base64"
//                     when the payload is not valid UTF-8); broken lines are skipped and counted on
//                     stderr.
//   check-config [CONFIG]  the configuration as loadConfig gives it to the service, then every
//                     problem; exit 1 when there is one.
//
// Contract:
//   - Read-only: never creates, writes, renames, locks or removes anything, so it is safe to run
//     beside the service. Whether the service holds "outbox.lock" is read from /proc/locks.
//   - Files are read as the service reads them: GzipDecompress for ".gz" archives, the line rules
//     of record_format.h, ParseRecordLine for each line. A line whose key is good but whose topic
//     or payload is not a string is counted as broken here: the service never delivers it.
//   - The directory is listed once. A file the service renames away before it is opened is looked
//     up again (the archive the active file was rotated into) or reported as "moved while
//     reading"; a file read while the service appended to it or emptied it is reported as changed,
//     and its unfinished last line is not damage.
//   - Memory: one line plus fixed read buffers, whatever the size of the files.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kestova::outbox_tool {

inline constexpr char kDefaultConfigPath[] = "/etc/kestova/skelvane.json";

// Runs one command line (`args` without the program name) and returns its exit status: 0, 1 (a
// problem or damage found, or a file-system error), or 2 (wrong usage).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kestova::outbox_tool
