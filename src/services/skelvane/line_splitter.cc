#include "line_splitter.h"

#include <cstring>

namespace kestova {

void LineSplitter::Push(const char* p, size_t n) {
  const char* const end = p + n;
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (nl == nullptr) {
      partial_.append(p, end);
      return;
    }
    if (partial_.empty()) {
      Emit(std::string_view(p, nl - p), true);
    } else {
      partial_.append(p, nl);
      Emit(partial_, true);
      partial_.clear();
    }
    p = nl + 1;
  }
}

void LineSplitter::Finish() {
  if (!partial_.empty()) Emit(partial_, false);
  partial_.clear();
}

void LineSplitter::Emit(std::string_view line, bool terminated) {
  ++number_;
  if (!line.empty()) on_line_(line, number_, offset_, terminated);
  offset_ += line.size() + 1;
}

}  // namespace kestova
