#include "file_commit.h"

namespace kestova {
namespace {

CommitResult Failed(CommitStep step, int err) { return CommitResult{step, Status::FromErrno(err)}; }

}  // namespace

CommitResult CommitByRename(Env* env, std::unique_ptr<WritableFile> out, const std::string& temp,
                            const std::string& target, bool sync,
                            std::optional<uint64_t> keep_bytes) {
  CommitResult result;
  int err = 0;
  if (keep_bytes.has_value()) {
    if ((err = out->Close()) != 0) {
      result = Failed(CommitStep::kClose, err);
    } else if ((err = env->TruncateFile(temp, *keep_bytes)) != 0) {
      result = Failed(CommitStep::kTruncate, err);
    } else if (sync) {
      if (Status s = SyncFile(env, temp); !s.ok()) result = CommitResult{CommitStep::kSync, s};
    }
  } else if (sync && (err = out->Sync()) != 0) {
    result = Failed(CommitStep::kSync, err);
  } else if ((err = out->Close()) != 0) {
    result = Failed(CommitStep::kClose, err);
  }
  out.reset();
  if (result.ok() && (err = env->RenameFile(temp, target)) != 0) {
    result = Failed(CommitStep::kRename, err);
  }
  if (!result.ok()) {
    env->RemoveFile(temp);
    return result;
  }
  if (sync && (err = env->SyncDir(ParentDir(target))) != 0) {
    return Failed(CommitStep::kSyncDir, err);
  }
  return result;
}

Status SyncFile(Env* env, const std::string& path) {
  std::unique_ptr<WritableFile> f;
  if (int err = env->NewWritableFile(path, /*truncate=*/false, &f)) return Status::FromErrno(err);
  const int err = f->Sync();
  const int close_err = f->Close();
  return Status::FromErrno(err != 0 ? err : close_err);
}

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace kestova
