// An outbox directory's files in delivery order, listed once and read through, for the operator
// tool.
//
// Contract:
//   - The directory is listed once, so that the active file and the archives are seen at the same
//     moment: between two listings the service may rotate the active file into an archive or
//     restore an archive into it, and its records would be read twice or not at all.
//   - The archives are those listRotated finds, in archive order (archive_name.h); one renamed or
//     removed between the listing and the look at it stays in the listing, for the reader to find
//     again or report as moved.
//   - An active file rotated away before it is opened is read from the archive it became (then
//     `moved_from` names it); every other file gone before its open is reported as moved.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "file_scan.h"

namespace kestova::outbox_tool {

struct Listing {
  bool active = false;                // the active file was there
  std::vector<std::string> archives;  // archive order
  std::vector<std::string> temps;     // "outbox.*.tmp", sorted
};

// Lists `dir` into *listing. False, with the reason on `err`, when the directory cannot be read.
bool ListOutbox(const std::string& dir, Listing* listing, std::ostream& err);

// The files in delivery order: the active file first (the service drains it first; a row for it
// even when it is absent, with `listed` false), then, with `archives`, each archive oldest first
// (restored one by one once the active file has drained).
std::vector<FileScan> ScanOutbox(const std::string& dir, const Listing& listing, bool archives,
                                 const ScanHooks& hooks);

// Notes on files that moved or changed under the reader, for every command alike.
void PrintFileNotes(const std::vector<FileScan>& scans, std::ostream& os);

}  // namespace kestova::outbox_tool
