// The line reader: splits a file into the lines of the record format (record_format.h, reading
// rules 1 and 2), whatever they hold; what a line means is record_reader.h's business.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "env.h"

namespace kestova {

// Lines are split on '\n' only ('\r' stays part of the line), zero-length lines are skipped and the
// last line counts without a final '\n'. The file is read in large chunks; a line may be of any
// length, and memory use is proportional to the longest line.
class LineReader {
 public:
  static constexpr size_t kDefaultChunk = 128 * 1024;

  explicit LineReader(SequentialFile* file, size_t chunk = kDefaultChunk);
  // Reads through `buffer` instead of a buffer of its own, so that a caller that reads often keeps
  // one allocation: the string's capacity stays with the caller, its content is scratch.
  LineReader(SequentialFile* file, std::string* buffer, size_t chunk = kDefaultChunk);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next non-empty line, without its '\n'; valid until the next call. False at the end of the
  // file and after a read error; status() tells them apart. After a read error the fragment read
  // so far (a torn tail among them) is not returned as a line.
  bool Next(std::string_view* line);
  // 0, or the errno of the read that failed.
  const Status& status() const { return status_; }

 private:
  SequentialFile* file_;
  size_t chunk_;
  std::string own_;   // the buffer unless the caller lent one
  std::string& buf_;  // bytes [0, end_) are data read, the rest room for the next read
  size_t begin_ = 0;  // start of the unconsumed data in buf_
  size_t scan_ = 0;   // bytes before this offset are known to hold no '\n'
  size_t end_ = 0;    // end of the data read so far
  size_t next_read_ = 4096;
  bool eof_ = false;
  Status status_;
};

}  // namespace kestova
