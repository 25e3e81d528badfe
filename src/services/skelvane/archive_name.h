// Names of the outbox directory's files: rotated archives and the order they are delivered in,
// the temporary names of copies in progress, the lock and the probe. (The active file and the
// flush's temporary file are named in record_format.h.)
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
#include <vector>

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

// The stamp and collision number of a new archive, given the bare names in the directory and the
// stamp of the clock: the clock's stamp with k = 0, unless an archive (either extension) carries
// the same or a later stamp; then the newest stamp with the number after the highest one it
// carries. Either way the new name sorts after every archive there is.
std::string NewArchiveStamp(const std::vector<std::string>& names, std::string clock_stamp,
                            uint64_t* k);

// Whether an archive is read as gzip: its name holds ".gz" anywhere (a foreign name too; a file
// that then turns out not to start with the gzip magic is read as it is).
inline bool IsGzipArchiveName(std::string_view name) {
  return name.find(".gz") != std::string_view::npos;
}

// Whether a bare name is an archive's by its name alone: "outbox.*" holding ".jsonl", neither the
// active file nor a temporary name. (listRotated also wants a regular file behind it.)
bool IsArchiveName(std::string_view name);

// Every copy in progress (a flush, a compression, a restore) is written under TempFilePath(target)
// (record_format.h: the target's path plus kTempFileSuffix, the one temporary suffix) and renamed
// when complete; a name holding that suffix is never an archive.
// Whether a bare name is a copy to an archive or to the active file cut short by a crash
// ("outbox.*.jsonl*.tmp"); the flush's own "outbox.jsonl.tmp" is not one.
bool IsStaleCopyName(std::string_view name);

// The lock that keeps a second store out of the directory (never deleted, never an archive) and the
// file created once at start-up to prove the directory writable.
inline constexpr char kLockFileName[] = "outbox.lock";
inline constexpr char kProbeFileName[] = "outbox.probe";

}  // namespace kestova
