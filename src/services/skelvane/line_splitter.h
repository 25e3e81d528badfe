// LineSplitter: the reading rules 1 and 2 of record_format.h (split on '\n' only, the last line
// counts without one, zero-length lines are skipped) over data pushed in pieces, where LineReader
// pulls from a file. It is a WritableFile so that GzipDecompress can write an archive's
// decompressed content straight into it: nothing of the archive is kept but the current line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "env.h"

namespace kestova {

class LineSplitter final : public WritableFile {
 public:
  // Called for every non-empty line: its text (without '\n'), its physical line number (1-based,
  // zero-length lines counted, so that `sed -n Np` shows it), its offset in the data, and whether
  // a '\n' ended it (only the last line may lack one).
  using OnLine =
      std::function<void(std::string_view line, uint64_t number, uint64_t offset, bool terminated)>;
  explicit LineSplitter(OnLine on_line) : on_line_(std::move(on_line)) {}
  LineSplitter(const LineSplitter&) = delete;
  LineSplitter& operator=(const LineSplitter&) = delete;

  void Push(const char* p, size_t n);
  // The end of the data: a last line without '\n' is a line too.
  void Finish();
  uint64_t lines() const { return number_; }   // lines ended by '\n' so far
  uint64_t offset() const { return offset_; }  // the offset after the last of them

  // As a write target: Append pushes, Close finishes; neither fails.
  Status Append(const char* data, size_t n) override {
    Push(data, n);
    return Status();
  }
  Status Sync() override { return Status(); }
  Status Close() override {
    Finish();
    return Status();
  }

 private:
  void Emit(std::string_view line, bool terminated);

  OnLine on_line_;
  std::string partial_;  // a line begun but not ended: never more than one line
  uint64_t number_ = 0;
  uint64_t offset_ = 0;
};

}  // namespace kestova
