// Reading one outbox file as the service reads it, for the operator tool.
//
// Contract:
//   - ".gz" anywhere in the name (the service's own test) means an archive: it goes through
//     GzipDecompress; anything else is read as plain text. Every line goes through ParseRecordLine
//     under the reading rules of record_format.h.
//   - Line numbers and offsets are those of the physical lines, empty ones included (of the
//     decompressed data for an archive), so that `sed -n Np` (after zcat) shows the line reported.
//   - A file renamed away before it is opened is `moved`, not an error; one appended to or emptied
//     while it is read is `changed`, and its unfinished last line is then not damage.
//   - Memory: one line plus fixed read buffers, whatever the size of the file. Nothing is written.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "record_reader.h"

namespace kestova::outbox_tool {

// What one file holds for the service.
struct FileScan {
  std::string name;        // the file read
  std::string moved_from;  // the active file's name when it had been rotated into `name`
  bool listed = true;      // false: no such file in the directory (an absent active file)
  bool moved = false;      // gone between listing and opening (rotated, restored, cleaned up)
  bool changed = false;    // appended to or truncated while it was read
  bool not_gzip = false;   // a ".gz" name over data without the gzip magic (read as plain text)
  std::string error;       // why it could not be read (whole), empty when it could
  uint64_t bytes = 0;      // size when opened
  uint64_t records = 0;    // deliverable records
  uint64_t broken = 0;     // broken lines; a damaged gzip stream counts as one
  int64_t oldest = std::numeric_limits<int64_t>::max();
  int64_t newest = std::numeric_limits<int64_t>::min();
};

// What a command does with the contents while a file is read; empty hooks only count.
struct ScanHooks {
  std::function<void(const RecordLine&)> record;  // each deliverable record, in file order
  // Each damage: line 0 when it is not a line (data after the gzip stream, offset in the file).
  std::function<void(const FileScan&, uint64_t line, uint64_t offset, const std::string& why)>
      damage;
  // Also read an archive's gzip data to its end and report bytes after the last member (which
  // GzipDecompress ignores, so nothing else sees them).
  bool check_gzip_end = false;
};

// Reads `dir`/`name` through once. Never fails as a whole: what went wrong is in the result.
FileScan ScanFile(const std::string& dir, const std::string& name, const ScanHooks& hooks);

}  // namespace kestova::outbox_tool
