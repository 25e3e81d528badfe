// The line reader: splits a file into the lines of the record format (record_format.h, reading
// rules 1 and 2), whatever they hold; what a line means is record_reader.h's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "env.h"

namespace kestova {

struct LineReaderOptions {
  static constexpr size_t kDefaultChunk = 128 * 1024;
  // Read through this string instead of a buffer of the reader's own, so that a caller that reads
  // often keeps one allocation: the string's capacity stays with the caller, its content is
  // scratch.
  std::string* buffer = nullptr;
  // The largest read. Reads start at 4 KiB and double up to it, so that a reader that wants only
  // the first lines (pending retrieval right after a flush) does not copy a large block.
  size_t chunk = kDefaultChunk;
  // The file offset at which the file reads next (for offset()).
  uint64_t start = 0;
  // Return zero-length lines too, for a caller that accounts for every byte of the file.
  bool empty_lines = false;
};

// Lines are split on '\n' only ('\r' stays part of the line), zero-length lines are skipped unless
// asked for, and the last line counts without a final '\n'. A line may be of any length; memory
// use is proportional to the longest line. Not copyable.
class LineReader {
 public:
  static constexpr size_t kDefaultChunk = LineReaderOptions::kDefaultChunk;

  explicit LineReader(SequentialFile* file, const LineReaderOptions& options = {});
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line, without its '\n'; valid until the next call. False at the end of the file and
  // after a read error; status() tells them apart. After a read error the fragment read so far (a
  // torn tail among them) is not returned as a line.
  bool Next(std::string_view* line);
  // The file offset just past the last line returned (its line feed included) or skipped.
  uint64_t offset() const { return base_ + begin_; }
  // Ok, or the error of the read that failed.
  const Status& status() const { return status_; }

 private:
  SequentialFile* file_;
  size_t chunk_;
  bool empty_lines_;
  std::string own_;   // the buffer unless the caller lent one
  std::string& buf_;  // bytes [0, end_) hold file bytes from offset base_ on
  uint64_t base_;
  size_t begin_ = 0;  // start of the unconsumed data in buf_
  size_t scan_ = 0;   // bytes before this offset are known to hold no '\n'
  size_t end_ = 0;    // end of the data read so far
  size_t next_read_ = 4096;
  bool eof_ = false;
  Status status_;
};

}  // namespace kestova
