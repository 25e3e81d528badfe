// FaultEnv: an EnvWrapper for tests over a real Env (Env::Default() unless told otherwise) that
// injects failures and fake time on request.
//
// Path patterns are shell globs (fnmatch without FNM_PATHNAME, so "*" also matches "/") tested
// against the full path as the code under test passes it: "*/outbox.jsonl" is the active file only,
// "*.tmp" every temporary file, "*" everything. A rename matches when either path matches.
//
// Faults:
//   Fail(op, pattern, err, times)   the next `times` calls of `op` on matching paths fail with
//                                   `err` and have no effect (times < 0: until Clear()).
//   FailWriteAfter(pattern, n, err) appends to matching files accept n more bytes in total (counted
//                                   over all matching files); the append that crosses the limit
//                                   writes the part that fits, then fails; every later one fails.
//   FailReadAfter(pattern, n, err)  the same for reads: n bytes are delivered, then reads fail.
// Clocks: real until set; SetSteadyNow/SetSystemNow freeze them, Advance* moves them forward.
//
// Files opened through a FaultEnv must not outlive it. Single-threaded like the store.
#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "env.h"

namespace testsupport {

enum class FaultOp {
  kOpenRead,      // NewSequentialFile
  kRead,          // SequentialFile::Read
  kOpenWrite,     // NewWritableFile (either mode)
  kWrite,         // WritableFile::Append
  kSync,          // WritableFile::Sync
  kClose,         // WritableFile::Close (the file is closed anyway)
  kStat,          // Env::Stat, WritableFile::Stat
  kReadLastByte,  // Env::ReadLastByte
  kTruncate,      // Env::TruncateFile
  kRename,        // Env::RenameFile
  kRemove,        // Env::RemoveFile
  kCreateDir,     // Env::CreateDir
  kGetChildren,   // Env::GetChildren
  kSyncDir,       // Env::SyncDir
};

class FaultEnv : public kestova::EnvWrapper {
 public:
  explicit FaultEnv(kestova::Env* base = kestova::Env::Default()) : EnvWrapper(base) {}

  void Fail(FaultOp op, const std::string& pattern, int err, int times = -1) {
    faults_.push_back({op, pattern, err, times});
  }
  void FailWriteAfter(const std::string& pattern, uint64_t bytes, int err = ENOSPC) {
    faults_.push_back({FaultOp::kWrite, pattern, err, -1, static_cast<int64_t>(bytes)});
  }
  void FailReadAfter(const std::string& pattern, uint64_t bytes, int err = EIO) {
    faults_.push_back({FaultOp::kRead, pattern, err, -1, static_cast<int64_t>(bytes)});
  }
  void Clear() { faults_.clear(); }  // counters and clocks stay

  // Calls (failed or not) of `op` (none: of any operation) on matching paths since the start or
  // ResetCounts().
  int Count(std::optional<FaultOp> op = {}, const std::string& pattern = "*") const;
  void ResetCounts() { calls_.clear(); }

  void SetSteadyNow(SteadyTime t) { steady_ = t; }
  void SetSystemNow(SystemTime t) { system_ = t; }
  // From the frozen time, or from the real one (then frozen).
  void AdvanceSteady(std::chrono::nanoseconds d) { steady_ = SteadyNow() + Ticks<SteadyTime>(d); }
  void AdvanceSystem(std::chrono::nanoseconds d) { system_ = SystemNow() + Ticks<SystemTime>(d); }

  kestova::Status NewSequentialFile(const std::string& path,
                                    std::unique_ptr<kestova::SequentialFile>* out) override;
  kestova::Status NewWritableFile(const std::string& path, bool truncate,
                                  std::unique_ptr<kestova::WritableFile>* out) override;
  kestova::Status Stat(const std::string& path, kestova::FileInfo* info) override;
  kestova::Status ReadLastByte(const std::string& path, char* byte) override;
  kestova::Status TruncateFile(const std::string& path, uint64_t size) override;
  kestova::Status RenameFile(const std::string& from, const std::string& to) override;
  kestova::Status RemoveFile(const std::string& path) override;
  kestova::Status CreateDir(const std::string& path, mode_t mode) override;
  kestova::Status GetChildren(const std::string& dir, std::vector<std::string>* names) override;
  kestova::Status SyncDir(const std::string& dir) override;
  SteadyTime SteadyNow() override { return steady_ ? *steady_ : target()->SteadyNow(); }
  SystemTime SystemNow() override { return system_ ? *system_ : target()->SystemNow(); }

  // For the wrapped files: records the call and returns the failure to report (ok: go ahead); how
  // many of `n` bytes may pass (*err set when fewer), or (`passed`) charges `n` bytes that did.
  kestova::Status Check(FaultOp op, const std::string& path,
                        const std::string* other_path = nullptr);
  size_t Allowance(FaultOp op, const std::string& path, size_t n, int* err, bool passed = false);

 private:
  template <class Time>
  static typename Time::duration Ticks(std::chrono::nanoseconds d) {
    return std::chrono::duration_cast<typename Time::duration>(d);
  }
  struct Fault {
    FaultOp op;
    std::string pattern;
    int err, times;      // times < 0: unlimited
    int64_t bytes = -1;  // >= 0: a byte limit (kRead, kWrite) instead of failing calls
  };
  struct Call {
    FaultOp op;
    std::string path, other;
  };
  std::vector<Fault> faults_;
  std::vector<Call> calls_;
  std::optional<SteadyTime> steady_;
  std::optional<SystemTime> system_;
};

}  // namespace testsupport
