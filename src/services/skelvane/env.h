// The store's window on the operating system: file-system calls and clocks.
//
// Every file and clock access of the outbox store and the resend chain goes through an Env, so
// tests can inject failures (ENOSPC after N bytes, failing renames, unreadable files) and move time
// instead of sleeping. Production code uses Env::Default(), a thin layer over POSIX calls and
// std::chrono.
//
// Conventions: operations return a Status (io_status.h): ok, or the errno of the failed call; they
// never throw for file-system conditions and never log. Paths are used exactly as given. A system
// call interrupted by a signal (EINTR) is repeated, never reported; the one exception is
// WritableFile::Close (see there).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io_status.h"

namespace kestova {

struct FileInfo {
  bool exists = false;
  bool is_directory = false;
  bool is_regular = false;  // a regular file (neither directory, FIFO, socket nor device)
  uint64_t size = 0;
  uint64_t links = 0;  // hard links; 0 for an open file that no name leads to any more
};

// A file open for sequential reading. Not copyable; closed by the destructor.
class SequentialFile {
 public:
  virtual ~SequentialFile() = default;
  // Reads up to n bytes into buf; *got receives the count (0 at end of file). Returns ok or the
  // errno.
  virtual Status Read(size_t n, char* buf, size_t* got) = 0;
  // Moves the read position n bytes on (past the end is no error: reads then find the end). The
  // default reads and discards; the POSIX file seeks.
  virtual Status Skip(uint64_t n);
};

// A file open for writing (truncated or appended to). Not copyable; the destructor closes it
// without reporting errors: call Close() to learn whether everything reached the file.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all n bytes or fails (ENOSPC on a full disk).
  virtual Status Append(const char* data, size_t n) = 0;
  // Forces written data to the device (fsync). Returns ok or the errno.
  virtual Status Sync() = 0;
  // Closes the file; fails with the errno of the close (which may report a delayed write error).
  // Never repeated: the descriptor is gone even when close reports EINTR, which counts as success.
  virtual Status Close() = 0;
  // What fstat() says of the open file: its size and its link count (0 once the file was removed
  // or renamed over while open). The default fails with ENOTSUP.
  virtual Status Stat(FileInfo* info);
};

// An exclusive lock taken by Env::LockFile; released when destroyed (its descriptor is closed).
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class Env {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using SystemTime = std::chrono::system_clock::time_point;

  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // The process-wide POSIX environment. Never null, never destroyed.
  static Env* Default();

  virtual Status NewSequentialFile(const std::string& path,
                                   std::unique_ptr<SequentialFile>* out) = 0;
  // Opens for writing, creating the file (mode 0644) when missing. truncate=true empties it,
  // truncate=false appends at its end.
  virtual Status NewWritableFile(const std::string& path, bool truncate,
                                 std::unique_ptr<WritableFile>* out) = 0;
  // stat() (follows symbolic links, so a link reports what it points to). A missing path, a
  // dangling link included, is not an error: info->exists = false, ok.
  virtual Status Stat(const std::string& path, FileInfo* info) = 0;
  // Reads the last byte of a file (for the torn-line check). Fails with ENODATA for an empty file.
  virtual Status ReadLastByte(const std::string& path, char* byte) = 0;
  virtual Status TruncateFile(const std::string& path, uint64_t size) = 0;
  virtual Status RenameFile(const std::string& from, const std::string& to) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;
  virtual Status CreateDir(const std::string& path, mode_t mode) = 0;
  // Names of the entries of a directory, without "." and "..", in no particular order.
  virtual Status GetChildren(const std::string& dir, std::vector<std::string>* names) = 0;
  // fsync() of a directory, so that renames inside it survive a power cut.
  virtual Status SyncDir(const std::string& dir) = 0;
  // Opens `path` (created empty, mode 0644, when missing) and takes an exclusive, non-blocking
  // flock() on it, held while *out lives. Fails with EWOULDBLOCK when another open of the file
  // holds the lock (another process, or another open in this one), or with the errno of the open.
  virtual Status LockFile(const std::string& path, std::unique_ptr<FileLock>* out) = 0;

  virtual SteadyTime SteadyNow() = 0;
  virtual SystemTime SystemNow() = 0;
};

// An Env that forwards every call to another one; wrappers override what they change (fault
// injection in tests, byte counting in the store). `target` must outlive the wrapper.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  Status NewSequentialFile(const std::string& path, std::unique_ptr<SequentialFile>* out) override {
    return target_->NewSequentialFile(path, out);
  }
  Status NewWritableFile(const std::string& path, bool truncate,
                         std::unique_ptr<WritableFile>* out) override {
    return target_->NewWritableFile(path, truncate, out);
  }
  Status Stat(const std::string& path, FileInfo* info) override {
    return target_->Stat(path, info);
  }
  Status ReadLastByte(const std::string& path, char* byte) override {
    return target_->ReadLastByte(path, byte);
  }
  Status TruncateFile(const std::string& path, uint64_t size) override {
    return target_->TruncateFile(path, size);
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }
  Status RemoveFile(const std::string& path) override { return target_->RemoveFile(path); }
  Status CreateDir(const std::string& path, mode_t mode) override {
    return target_->CreateDir(path, mode);
  }
  Status GetChildren(const std::string& dir, std::vector<std::string>* names) override {
    return target_->GetChildren(dir, names);
  }
  Status SyncDir(const std::string& dir) override { return target_->SyncDir(dir); }
  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* out) override {
    return target_->LockFile(path, out);
  }
  SteadyTime SteadyNow() override { return target_->SteadyNow(); }
  SystemTime SystemNow() override { return target_->SystemNow(); }

 private:
  Env* target_;
};

// Counts the bytes appended to every file opened for writing through it (what the store wrote,
// for its status figures). Not synchronised: one caller at a time, like its user.
class ByteCountingEnv final : public EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  uint64_t bytes_written() const { return bytes_written_; }

  Status NewWritableFile(const std::string& path, bool truncate,
                         std::unique_ptr<WritableFile>* out) override;

 private:
  uint64_t bytes_written_ = 0;
};

// Reads a whole file into *out. Returns ok or the errno.
Status ReadFileToString(Env* env, const std::string& path, std::string* out);

// A file's size in bytes; 0 when it is missing or cannot be looked at (for figures and log lines).
int64_t FileSize(Env* env, const std::string& path);

}  // namespace kestova
