#include "fault_env.h"

#include <fnmatch.h>

#include <algorithm>

namespace testsupport {
namespace {

using kestova::Status;

bool Matches(const std::string& pattern, const std::string& path) {
  return ::fnmatch(pattern.c_str(), path.c_str(), 0) == 0;
}

class FaultSequentialFile final : public kestova::SequentialFile {
 public:
  FaultSequentialFile(FaultEnv* env, std::string path, std::unique_ptr<kestova::SequentialFile> f)
      : env_(env), path_(std::move(path)), file_(std::move(f)) {}
  Status Read(size_t n, char* buf, size_t* got) override {
    *got = 0;
    if (Status s = env_->Check(FaultOp::kRead, path_); !s.ok()) return s;
    int limit_err = 0;
    const size_t allowed = env_->Allowance(FaultOp::kRead, path_, n, &limit_err);
    if (allowed == 0 && limit_err != 0) return Status::FromErrno(limit_err);
    Status s = file_->Read(allowed, buf, got);
    env_->Allowance(FaultOp::kRead, path_, *got, &limit_err, true);
    return s;
  }
  Status Skip(uint64_t n) override { return file_->Skip(n); }

 private:
  FaultEnv* env_;
  std::string path_;
  std::unique_ptr<kestova::SequentialFile> file_;
};

class FaultWritableFile final : public kestova::WritableFile {
 public:
  FaultWritableFile(FaultEnv* env, std::string path, std::unique_ptr<kestova::WritableFile> f)
      : env_(env), path_(std::move(path)), file_(std::move(f)) {}
  Status Append(const char* data, size_t n) override {
    if (Status s = env_->Check(FaultOp::kWrite, path_); !s.ok()) return s;
    int limit_err = 0;
    const size_t allowed = env_->Allowance(FaultOp::kWrite, path_, n, &limit_err);
    if (allowed > 0) {
      if (Status s = file_->Append(data, allowed); !s.ok()) return s;
      env_->Allowance(FaultOp::kWrite, path_, allowed, &limit_err, true);
    }
    return Status::FromErrno(allowed < n ? limit_err : 0);
  }
  Status Sync() override {
    Status s = env_->Check(FaultOp::kSync, path_);
    return s.ok() ? file_->Sync() : s;
  }
  Status Stat(kestova::FileInfo* info) override {
    *info = {};
    Status s = env_->Check(FaultOp::kStat, path_);
    return s.ok() ? file_->Stat(info) : s;
  }
  Status Close() override {  // closes the file even when it reports a fault
    Status s = env_->Check(FaultOp::kClose, path_), closed = file_->Close();
    return s.ok() ? closed : s;
  }

 private:
  FaultEnv* env_;
  std::string path_;
  std::unique_ptr<kestova::WritableFile> file_;
};

}  // namespace

int FaultEnv::Count(std::optional<FaultOp> op, const std::string& pattern) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) {
    return (!op || c.op == *op) && (Matches(pattern, c.path) || Matches(pattern, c.other));
  }));
}

Status FaultEnv::Check(FaultOp op, const std::string& path, const std::string* other_path) {
  const std::string other = other_path ? *other_path : std::string();
  calls_.push_back(Call{op, path, other});
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->op != op || it->bytes >= 0 ||
        !(Matches(it->pattern, path) || Matches(it->pattern, other)))
      continue;
    const int err = it->err;
    if (it->times > 0 && --it->times == 0) faults_.erase(it);
    return Status::FromErrno(err);
  }
  return Status();
}

size_t FaultEnv::Allowance(FaultOp op, const std::string& path, size_t n, int* err, bool passed) {
  for (Fault& f : faults_) {
    if (f.op != op || f.bytes < 0 || !Matches(f.pattern, path)) continue;
    if (passed) {
      f.bytes -= std::min<int64_t>(f.bytes, static_cast<int64_t>(n));
    } else if (static_cast<uint64_t>(f.bytes) < n) {
      n = static_cast<size_t>(f.bytes);
      *err = f.err;
    }
  }
  return n;
}

// Every call fails when told to and is forwarded otherwise; opened files are wrapped.
#define FORWARD(op, path, call)                               \
  if (Status s = Check(FaultOp::op, path); !s.ok()) return s; \
  return target()->call
#define OPEN(op, File, call)                                              \
  out->reset();                                                           \
  if (Status s = Check(FaultOp::op, path); !s.ok()) return s;             \
  Status s = target()->call;                                              \
  if (s.ok()) *out = std::make_unique<File>(this, path, std::move(*out)); \
  return s

Status FaultEnv::NewSequentialFile(const std::string& path,
                                   std::unique_ptr<kestova::SequentialFile>* out) {
  OPEN(kOpenRead, FaultSequentialFile, NewSequentialFile(path, out));
}
Status FaultEnv::NewWritableFile(const std::string& path, bool truncate,
                                 std::unique_ptr<kestova::WritableFile>* out) {
  OPEN(kOpenWrite, FaultWritableFile, NewWritableFile(path, truncate, out));
}

Status FaultEnv::Stat(const std::string& p, kestova::FileInfo* i) {
  *i = {};
  FORWARD(kStat, p, Stat(p, i));
}
Status FaultEnv::ReadLastByte(const std::string& p, char* b) {
  FORWARD(kReadLastByte, p, ReadLastByte(p, b));
}
Status FaultEnv::TruncateFile(const std::string& p, uint64_t n) {
  FORWARD(kTruncate, p, TruncateFile(p, n));
}
Status FaultEnv::RemoveFile(const std::string& p) { FORWARD(kRemove, p, RemoveFile(p)); }
Status FaultEnv::CreateDir(const std::string& p, mode_t m) {
  FORWARD(kCreateDir, p, CreateDir(p, m));
}
Status FaultEnv::SyncDir(const std::string& p) { FORWARD(kSyncDir, p, SyncDir(p)); }
Status FaultEnv::GetChildren(const std::string& p, std::vector<std::string>* names) {
  names->clear();
  FORWARD(kGetChildren, p, GetChildren(p, names));
}
Status FaultEnv::RenameFile(const std::string& from, const std::string& to) {
  if (Status s = Check(FaultOp::kRename, from, &to); !s.ok()) return s;
  return target()->RenameFile(from, to);
}
#undef FORWARD
#undef OPEN

}  // namespace testsupport
