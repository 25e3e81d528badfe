#include "line_scanner.h"

#include <algorithm>
#include <cstring>

#include "line_reader.h"

namespace kestova {

bool LineScanner::Next(std::string_view* line) {
  for (;;) {
    if (const void* p = std::memchr(buf_.data() + scan_, '\n', end_ - scan_)) {
      const size_t nl = static_cast<size_t>(static_cast<const char*>(p) - buf_.data());
      *line = std::string_view(buf_.data() + begin_, nl - begin_);
      begin_ = scan_ = nl + 1;
      return true;
    }
    scan_ = end_;
    if (!status_.ok()) return false;
    if (eof_) {
      if (begin_ == end_) return false;
      *line = std::string_view(buf_.data() + begin_, end_ - begin_);  // last, unterminated line
      begin_ = scan_ = end_;
      return true;
    }
    // Keep only the unfinished line; the buffer grows geometrically for a long one.
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    base_ += begin_;
    end_ -= begin_;
    scan_ -= begin_;
    begin_ = 0;
    const size_t want = next_read_;
    next_read_ = std::min(next_read_ * 2, LineReader::kDefaultChunk);
    if (buf_.size() - end_ < want) buf_.resize(std::max(buf_.size() * 2, end_ + want));
    size_t got = 0;
    // At most `want` even into a larger buffer, so that the first reads stay small.
    if (!(status_ = file_->Read(want, buf_.data() + end_, &got)).ok()) return false;
    eof_ = got == 0;
    end_ += got;
  }
}

}  // namespace kestova
