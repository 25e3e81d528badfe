// LineScanner: the store's own line splitter. Splits a file into lines under the reading rules of
// LineReader (line_reader.h; record_format.h, rules 1 and 2) and also tells where in the file each
// line ends, which LineReader does not: the index needs the bytes of every line and pending
// retrieval the place to resume from. Zero-length lines are returned too, so that their bytes are
// accounted for; callers skip them. Reads start small (a step of the resend chain wants one line)
// and grow to LineReader's chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "env.h"

namespace kestova {

// Not copyable; reads through a buffer the caller lends (its capacity stays with the caller).
class LineScanner {
 public:
  // `start`: the file offset at which `file` reads next.
  LineScanner(SequentialFile* file, std::string* buffer, uint64_t start)
      : file_(file), buf_(*buffer), base_(start) {}
  LineScanner(const LineScanner&) = delete;
  LineScanner& operator=(const LineScanner&) = delete;

  // The next line without its '\n'; valid until the next call. False at the end of the file and
  // after a read error (status()).
  bool Next(std::string_view* line);
  // The file offset just past the last line returned, its line feed included.
  uint64_t offset() const { return base_ + begin_; }
  const Status& status() const { return status_; }

 private:
  SequentialFile* file_;
  std::string& buf_;  // bytes [0, end_) hold file bytes from offset base_ on
  uint64_t base_;
  size_t begin_ = 0;  // start of the unconsumed data
  size_t scan_ = 0;   // bytes before this hold no '\n'
  size_t end_ = 0;
  size_t next_read_ = 4096;
  bool eof_ = false;
  Status status_;
};

}  // namespace kestova
