// Names of rotated archives and the order they are delivered in.
//
// Format: "outbox.<stamp>[_<k>].jsonl[.gz]"
//   <stamp>  local wall-clock time of the rotation, strftime "%Y-%m-%d_%H%M%S": exactly 17
//            characters, digits wherever the pattern "0000-00-00_000000" has a 0.
//   _<k>     collision number, decimal, 1 or more; no suffix means 0. Several archives share a
//            stamp when more than one rotation falls into a second, and when the wall clock has
//            stepped back behind the newest archive: the new archive then takes the newest stamp
//            with the next k, so that it still sorts last.
//   .gz      gzip-compressed (zcat reads it); without it the archive is a plain copy of the file.
//
// Archive order (rotation order, oldest first): stamp byte by byte, then k as a number, then
// ".jsonl" before ".jsonl.gz". Clean-up deletes and restore delivers in this order. A name that
// does not parse (a foreign "outbox.*.jsonl" file) is still an archive: its text after "outbox."
// takes the place of the stamp in the byte-wise comparison, with k = 0.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestova {

struct ArchiveName {
  std::string_view stamp;  // points into the parsed name
  uint64_t k = 0;
  bool gz = false;
};

// Splits a bare file name of the format above. A name that does not parse returns false, with
// *out holding the key it sorts by (the text after "outbox.", k = 0, not gz).
bool ParseArchiveName(std::string_view name, ArchiveName* out);

// Archive order; names with equal keys (a foreign name, "_01" beside "_1") fall back to byte order,
// so this is a strict total order over distinct names.
bool ArchiveNameLess(std::string_view a, std::string_view b);

// The stamp of an archive rotated at `now`, in the local time zone.
std::string ArchiveStamp(std::chrono::system_clock::time_point now);

// The bare name "outbox.<stamp>[_<k>].jsonl[.gz]" (no suffix for k = 0).
std::string ArchiveFileName(std::string_view stamp, uint64_t k, bool gz);

}  // namespace kestova
