// Env::Default(): the production environment, a thin layer over POSIX file calls and std::chrono.
//
// Every call but close() repeats an interrupted system call (RetryOnEintr) and reports a failure as
// a Status holding its errno; nothing here throws or logs.
// File descriptors are opened with O_CLOEXEC so that no child process inherits them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "env.h"

namespace kestova {
namespace {

// Repeats a system call that a signal interrupted (EINTR); returns its last result, with errno set
// as the call left it. Every call of this file that may be interrupted goes through here, except
// close(), which must not be repeated (the descriptor is released either way).
template <typename Call>
auto RetryOnEintr(Call call) -> decltype(call()) {
  decltype(call()) r;
  do {
    r = call();
  } while (r < 0 && errno == EINTR);
  return r;
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  return RetryOnEintr([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

// Ok when `rc` (a call's result) reports success, else errno.
Status ErrnoOf(int rc) { return Status::FromErrno(rc == 0 ? 0 : errno); }

Status LastError() { return Status::FromErrno(errno); }

void FillInfo(const struct stat& st, FileInfo* info) {
  info->exists = true;
  info->is_directory = S_ISDIR(st.st_mode);
  info->is_regular = S_ISREG(st.st_mode);
  info->size = static_cast<uint64_t>(st.st_size);
  info->links = static_cast<uint64_t>(st.st_nlink);
}

class PosixSequentialFile final : public SequentialFile {
 public:
  explicit PosixSequentialFile(int fd) : fd_(fd) {}
  ~PosixSequentialFile() override { ::close(fd_); }
  PosixSequentialFile(const PosixSequentialFile&) = delete;
  PosixSequentialFile& operator=(const PosixSequentialFile&) = delete;

  Status Read(size_t n, char* buf, size_t* got) override {
    *got = 0;
    const ssize_t r = RetryOnEintr([&] { return ::read(fd_, buf, n); });
    if (r < 0) return LastError();
    *got = static_cast<size_t>(r);
    return Status();
  }

  Status Skip(uint64_t n) override {
    return ErrnoOf(
        RetryOnEintr([&] { return ::lseek(fd_, static_cast<off_t>(n), SEEK_CUR); }) < 0 ? -1 : 0);
  }

 private:
  int fd_;
};

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PosixWritableFile(const PosixWritableFile&) = delete;
  PosixWritableFile& operator=(const PosixWritableFile&) = delete;

  Status Append(const char* data, size_t n) override {
    if (fd_ < 0) return Status::FromErrno(EBADF);
    while (n > 0) {
      const ssize_t w = RetryOnEintr([&] { return ::write(fd_, data, n); });
      if (w < 0) return LastError();
      if (w == 0)
        return Status::FromErrno(EIO);  // a regular file never accepts 0 bytes of a non-empty write
      data += w;
      n -= static_cast<size_t>(w);
    }
    return Status();
  }

  Status Sync() override {
    if (fd_ < 0) return Status::FromErrno(EBADF);
    return ErrnoOf(RetryOnEintr([&] { return ::fsync(fd_); }));
  }

  Status Stat(FileInfo* info) override {
    *info = FileInfo{};
    if (fd_ < 0) return Status::FromErrno(EBADF);
    struct stat st;
    if (RetryOnEintr([&] { return ::fstat(fd_, &st); }) != 0) return LastError();
    FillInfo(st, info);
    return Status();
  }

  Status Close() override {
    if (fd_ < 0) return Status::FromErrno(EBADF);
    // The descriptor is released even when close reports an error; retrying would be unsafe.
    int rc = ::close(fd_);
    fd_ = -1;
    return Status::FromErrno(rc == 0 || errno == EINTR ? 0 : errno);
  }

 private:
  int fd_;
};

class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { ::close(fd_); }  // the last descriptor of the open: unlocks
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  int fd_;
};

class PosixEnv final : public Env {
 public:
  Status NewSequentialFile(const std::string& path, std::unique_ptr<SequentialFile>* out) override {
    out->reset();
    int fd = OpenRetry(path.c_str(), O_RDONLY);
    if (fd < 0) return LastError();
    *out = std::make_unique<PosixSequentialFile>(fd);
    return Status();
  }

  Status NewWritableFile(const std::string& path, bool truncate,
                         std::unique_ptr<WritableFile>* out) override {
    out->reset();
    int flags = O_WRONLY | O_CREAT | (truncate ? O_TRUNC : O_APPEND);
    int fd = OpenRetry(path.c_str(), flags, 0644);
    if (fd < 0) return LastError();
    *out = std::make_unique<PosixWritableFile>(fd);
    return Status();
  }

  Status Stat(const std::string& path, FileInfo* info) override {
    *info = FileInfo{};
    struct stat st;
    if (RetryOnEintr([&] { return ::stat(path.c_str(), &st); }) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return Status();
      return LastError();
    }
    FillInfo(st, info);
    return Status();
  }

  Status ReadLastByte(const std::string& path, char* byte) override {
    int fd = OpenRetry(path.c_str(), O_RDONLY);
    if (fd < 0) return LastError();
    int rc = 0;
    struct stat st;
    if (RetryOnEintr([&] { return ::fstat(fd, &st); }) != 0) {
      rc = errno;
    } else if (st.st_size <= 0) {
      rc = ENODATA;
    } else {
      const ssize_t r = RetryOnEintr([&] { return ::pread(fd, byte, 1, st.st_size - 1); });
      if (r < 0) {
        rc = errno;
      } else if (r == 0) {
        rc = ENODATA;  // shrank between fstat and pread
      }
    }
    ::close(fd);
    return Status::FromErrno(rc);
  }

  Status TruncateFile(const std::string& path, uint64_t size) override {
    return ErrnoOf(
        RetryOnEintr([&] { return ::truncate(path.c_str(), static_cast<off_t>(size)); }));
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    return ErrnoOf(RetryOnEintr([&] { return ::rename(from.c_str(), to.c_str()); }));
  }

  Status RemoveFile(const std::string& path) override {
    return ErrnoOf(RetryOnEintr([&] { return ::remove(path.c_str()); }));
  }

  Status CreateDir(const std::string& path, mode_t mode) override {
    return ErrnoOf(RetryOnEintr([&] { return ::mkdir(path.c_str(), mode); }));
  }

  Status GetChildren(const std::string& dir, std::vector<std::string>* names) override {
    names->clear();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return LastError();
    errno = 0;
    while (struct dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names->push_back(std::move(name));
      errno = 0;
    }
    const Status s = LastError();
    ::closedir(d);
    return s;
  }

  Status SyncDir(const std::string& dir) override {
    int fd = OpenRetry(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return LastError();
    const Status s = ErrnoOf(RetryOnEintr([&] { return ::fsync(fd); }));
    ::close(fd);
    return s;
  }

  // flock() rather than fcntl() locks: those belong to the process, so a second open in the same
  // process would get the lock as well, and closing any descriptor of the file would drop it.
  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* out) override {
    out->reset();
    int fd = OpenRetry(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return LastError();
    if (RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
      const Status s = LastError();
      ::close(fd);
      return s;
    }
    *out = std::make_unique<PosixFileLock>(fd);
    return Status();
  }

  SteadyTime SteadyNow() override { return std::chrono::steady_clock::now(); }
  SystemTime SystemNow() override { return std::chrono::system_clock::now(); }
};

}  // namespace

Status SequentialFile::Skip(uint64_t n) {
  char buf[4096];
  while (n > 0) {
    size_t got = 0;
    Status s = Read(static_cast<size_t>(std::min<uint64_t>(n, sizeof buf)), buf, &got);
    if (!s.ok()) return s;
    if (got == 0) return Status();
    n -= got;
  }
  return Status();
}

Status WritableFile::Stat(FileInfo* info) {
  *info = FileInfo{};
  return Status::FromErrno(ENOTSUP);
}

Env* Env::Default() {
  // Deliberately leaked: usable from static destructors and never torn down under a running store.
  static Env* const env = new PosixEnv;
  return env;
}

namespace {

class CountingFile final : public WritableFile {
 public:
  CountingFile(std::unique_ptr<WritableFile> file, uint64_t* count)
      : file_(std::move(file)), count_(count) {}
  Status Append(const char* data, size_t n) override {
    Status s = file_->Append(data, n);
    if (s.ok()) *count_ += n;
    return s;
  }
  Status Sync() override { return file_->Sync(); }
  Status Close() override { return file_->Close(); }
  Status Stat(FileInfo* info) override { return file_->Stat(info); }

 private:
  std::unique_ptr<WritableFile> file_;
  uint64_t* count_;
};

}  // namespace

Status ByteCountingEnv::NewWritableFile(const std::string& path, bool truncate,
                                        std::unique_ptr<WritableFile>* out) {
  Status s = EnvWrapper::NewWritableFile(path, truncate, out);
  if (s.ok()) *out = std::make_unique<CountingFile>(std::move(*out), &bytes_written_);
  return s;
}

int64_t FileSize(Env* env, const std::string& path) {
  FileInfo info;
  if (!env->Stat(path, &info).ok() || !info.exists) return 0;
  return static_cast<int64_t>(info.size);
}

Status ReadFileToString(Env* env, const std::string& path, std::string* out) {
  out->clear();
  std::unique_ptr<SequentialFile> file;
  Status s = env->NewSequentialFile(path, &file);
  if (!s.ok()) return s;
  constexpr size_t kChunk = 64 * 1024;
  for (;;) {
    size_t old = out->size();
    out->resize(old + kChunk);
    size_t got = 0;
    s = file->Read(kChunk, out->data() + old, &got);
    out->resize(old + got);
    if (!s.ok()) {
      out->clear();
      return s;
    }
    if (got == 0) return Status();
  }
}

}  // namespace kestova
