#include "line_reader.h"

#include <algorithm>
#include <cstring>

namespace kestova {

LineReader::LineReader(SequentialFile* file, const LineReaderOptions& options)
    : file_(file),
      chunk_(std::max<size_t>(options.chunk, 1)),
      empty_lines_(options.empty_lines),
      buf_(options.buffer != nullptr ? *options.buffer : own_),
      base_(options.start) {}

bool LineReader::Next(std::string_view* line) {
  for (;;) {
    if (scan_ < end_) {
      const void* p = std::memchr(buf_.data() + scan_, '\n', end_ - scan_);
      if (p != nullptr) {
        const size_t nl = static_cast<size_t>(static_cast<const char*>(p) - buf_.data());
        const size_t start = begin_;
        begin_ = scan_ = nl + 1;
        if (nl == start && !empty_lines_) continue;
        *line = std::string_view(buf_.data() + start, nl - start);
        return true;
      }
      scan_ = end_;
    }
    if (!status_.ok()) return false;
    if (eof_) {
      if (begin_ == end_) return false;
      *line = std::string_view(buf_.data() + begin_, end_ - begin_);  // last, unterminated line
      begin_ = scan_ = end_;
      return true;
    }
    // Refill: keep only the unfinished line, and grow geometrically so that a long line costs
    // amortised linear time.
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      base_ += begin_;
      end_ -= begin_;
      scan_ -= begin_;
      begin_ = 0;
    }
    const size_t want = std::min(next_read_, chunk_);
    next_read_ = std::min(next_read_ * 2, chunk_);
    if (buf_.size() - end_ < want) buf_.resize(std::max(buf_.size() * 2, end_ + want));
    size_t got = 0;
    // At most `want` even into a larger (lent) buffer, so the first reads stay small.
    status_ = file_->Read(std::min(want, buf_.size() - end_), buf_.data() + end_, &got);
    if (!status_.ok()) return false;
    if (got == 0) eof_ = true;
    end_ += got;
  }
}

}  // namespace kestova
