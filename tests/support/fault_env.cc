#include "fault_env.h"

#include <fnmatch.h>

#include <algorithm>

namespace testsupport {
namespace {

bool Matches(const std::string& pattern, const std::string& path) {
  return ::fnmatch(pattern.c_str(), path.c_str(), 0) == 0;
}

class FaultSequentialFile final : public kestova::SequentialFile {
 public:
  FaultSequentialFile(FaultEnv* env, std::string path, std::unique_ptr<kestova::SequentialFile> f)
      : env_(env), path_(std::move(path)), file_(std::move(f)) {}

  int Read(size_t n, char* buf, size_t* got) override {
    *got = 0;
    if (int err = env_->Check(FaultOp::kRead, path_)) return err;
    int limit_err = 0;
    size_t allowed = env_->Allowance(FaultOp::kRead, path_, n, &limit_err);
    if (allowed == 0 && limit_err != 0) return limit_err;
    int rc = file_->Read(allowed, buf, got);
    env_->Charge(FaultOp::kRead, path_, *got);
    return rc;
  }

 private:
  FaultEnv* env_;
  std::string path_;
  std::unique_ptr<kestova::SequentialFile> file_;
};

class FaultWritableFile final : public kestova::WritableFile {
 public:
  FaultWritableFile(FaultEnv* env, std::string path, std::unique_ptr<kestova::WritableFile> f)
      : env_(env), path_(std::move(path)), file_(std::move(f)) {}

  int Append(const char* data, size_t n) override {
    if (int err = env_->Check(FaultOp::kWrite, path_)) return err;
    int limit_err = 0;
    size_t allowed = env_->Allowance(FaultOp::kWrite, path_, n, &limit_err);
    if (allowed > 0) {
      if (int rc = file_->Append(data, allowed)) return rc;
      env_->Charge(FaultOp::kWrite, path_, allowed);
    }
    return allowed < n ? limit_err : 0;
  }

  int Sync() override {
    if (int err = env_->Check(FaultOp::kSync, path_)) return err;
    return file_->Sync();
  }

  int Close() override {
    int err = env_->Check(FaultOp::kClose, path_);
    int rc = file_->Close();
    return err != 0 ? err : rc;
  }

 private:
  FaultEnv* env_;
  std::string path_;
  std::unique_ptr<kestova::WritableFile> file_;
};

}  // namespace

FaultEnv::FaultEnv(kestova::Env* base) : base_(base) {}
FaultEnv::~FaultEnv() = default;

void FaultEnv::Fail(FaultOp op, const std::string& pattern, int err, int times) {
  faults_.push_back(Fault{op, pattern, err, times});
}

void FaultEnv::FailWriteAfter(const std::string& pattern, uint64_t bytes, int err) {
  limits_.push_back(ByteLimit{FaultOp::kWrite, pattern, bytes, err});
}

void FaultEnv::FailReadAfter(const std::string& pattern, uint64_t bytes, int err) {
  limits_.push_back(ByteLimit{FaultOp::kRead, pattern, bytes, err});
}

void FaultEnv::Clear() {
  faults_.clear();
  limits_.clear();
}

int FaultEnv::Count(FaultOp op, const std::string& pattern) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) {
    return c.op == op &&
           (Matches(pattern, c.path) || (!c.other.empty() && Matches(pattern, c.other)));
  }));
}

int FaultEnv::CountAll(const std::string& pattern) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) {
    return Matches(pattern, c.path) || (!c.other.empty() && Matches(pattern, c.other));
  }));
}

void FaultEnv::ResetCounts() { calls_.clear(); }

void FaultEnv::SetSteadyNow(SteadyTime t) { steady_ = t; }
void FaultEnv::AdvanceSteady(std::chrono::nanoseconds d) {
  if (!steady_) steady_ = base_->SteadyNow();
  *steady_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(d);
}
void FaultEnv::SetSystemNow(SystemTime t) { system_ = t; }
void FaultEnv::AdvanceSystem(std::chrono::nanoseconds d) {
  if (!system_) system_ = base_->SystemNow();
  *system_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(d);
}
void FaultEnv::UseRealClocks() {
  steady_.reset();
  system_.reset();
}

int FaultEnv::Check(FaultOp op, const std::string& path, const std::string* other_path) {
  calls_.push_back(Call{op, path, other_path ? *other_path : std::string()});
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->op != op) continue;
    if (!Matches(it->pattern, path) && !(other_path && Matches(it->pattern, *other_path))) continue;
    int err = it->err;
    if (it->times > 0 && --it->times == 0) faults_.erase(it);
    return err;
  }
  return 0;
}

size_t FaultEnv::Allowance(FaultOp op, const std::string& path, size_t n, int* err) const {
  size_t allowed = n;
  for (const ByteLimit& l : limits_) {
    if (l.op != op || !Matches(l.pattern, path)) continue;
    if (l.remaining < allowed) {
      allowed = static_cast<size_t>(l.remaining);
      *err = l.err;
    }
  }
  return allowed;
}

void FaultEnv::Charge(FaultOp op, const std::string& path, size_t n) {
  for (ByteLimit& l : limits_) {
    if (l.op == op && Matches(l.pattern, path)) l.remaining -= std::min<uint64_t>(l.remaining, n);
  }
}

int FaultEnv::NewSequentialFile(const std::string& path,
                                std::unique_ptr<kestova::SequentialFile>* out) {
  out->reset();
  if (int err = Check(FaultOp::kOpenRead, path)) return err;
  std::unique_ptr<kestova::SequentialFile> f;
  if (int rc = base_->NewSequentialFile(path, &f)) return rc;
  *out = std::make_unique<FaultSequentialFile>(this, path, std::move(f));
  return 0;
}

int FaultEnv::NewWritableFile(const std::string& path, bool truncate,
                              std::unique_ptr<kestova::WritableFile>* out) {
  out->reset();
  if (int err = Check(FaultOp::kOpenWrite, path)) return err;
  std::unique_ptr<kestova::WritableFile> f;
  if (int rc = base_->NewWritableFile(path, truncate, &f)) return rc;
  *out = std::make_unique<FaultWritableFile>(this, path, std::move(f));
  return 0;
}

int FaultEnv::Stat(const std::string& path, kestova::FileInfo* info) {
  *info = kestova::FileInfo{};
  if (int err = Check(FaultOp::kStat, path)) return err;
  return base_->Stat(path, info);
}

int FaultEnv::ReadLastByte(const std::string& path, char* byte) {
  if (int err = Check(FaultOp::kReadLastByte, path)) return err;
  return base_->ReadLastByte(path, byte);
}

// One open that stands for three calls: a fault injected on opening for writing, on Stat or on
// ReadLastByte of the path applies here as it would to the separate call (the last byte only
// when it is read, not when `known` vouches for it).
int FaultEnv::NewAppendableFile(const std::string& path, const kestova::FileTail* known,
                                std::unique_ptr<kestova::WritableFile>* out,
                                kestova::FileTail* tail) {
  out->reset();
  *tail = kestova::FileTail{};
  if (int err = Check(FaultOp::kOpenWrite, path)) return err;
  if (int err = Check(FaultOp::kStat, path)) return err;
  std::unique_ptr<kestova::WritableFile> f;
  kestova::FileTail t;
  if (int rc = base_->NewAppendableFile(path, known, &f, &t)) return rc;
  const bool vouched = known != nullptr && known->VouchesFor(t.size);
  if (t.size > 0 && !vouched && Check(FaultOp::kReadLastByte, path) != 0) {
    t.last_byte_known = false;
  }
  *tail = t;
  *out = std::make_unique<FaultWritableFile>(this, path, std::move(f));
  return 0;
}

int FaultEnv::TruncateFile(const std::string& path, uint64_t size) {
  if (int err = Check(FaultOp::kTruncate, path)) return err;
  return base_->TruncateFile(path, size);
}

int FaultEnv::RenameFile(const std::string& from, const std::string& to) {
  if (int err = Check(FaultOp::kRename, from, &to)) return err;
  return base_->RenameFile(from, to);
}

int FaultEnv::RemoveFile(const std::string& path) {
  if (int err = Check(FaultOp::kRemove, path)) return err;
  return base_->RemoveFile(path);
}

int FaultEnv::CreateDir(const std::string& path, mode_t mode) {
  if (int err = Check(FaultOp::kCreateDir, path)) return err;
  return base_->CreateDir(path, mode);
}

int FaultEnv::GetChildren(const std::string& dir, std::vector<std::string>* names) {
  names->clear();
  if (int err = Check(FaultOp::kGetChildren, dir)) return err;
  return base_->GetChildren(dir, names);
}

int FaultEnv::SyncDir(const std::string& dir) {
  if (int err = Check(FaultOp::kSyncDir, dir)) return err;
  return base_->SyncDir(dir);
}

FaultEnv::SteadyTime FaultEnv::SteadyNow() { return steady_ ? *steady_ : base_->SteadyNow(); }
FaultEnv::SystemTime FaultEnv::SystemNow() { return system_ ? *system_ : base_->SystemNow(); }

}  // namespace testsupport
