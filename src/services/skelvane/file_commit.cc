#include "file_commit.h"

namespace kestova {

CommitResult CommitByRename(Env* env, std::unique_ptr<WritableFile> out, const std::string& temp,
                            const std::string& target, bool sync,
                            std::optional<uint64_t> keep_bytes) {
  CommitResult result;
  Status s;
  if (keep_bytes.has_value()) {
    if (!(s = out->Close()).ok()) {
      result = {CommitStep::kClose, s};
    } else if (!(s = env->TruncateFile(temp, *keep_bytes)).ok()) {
      result = {CommitStep::kTruncate, s};
    } else if (sync && !(s = SyncFile(env, temp)).ok()) {
      result = {CommitStep::kSync, s};
    }
  } else if (sync && !(s = out->Sync()).ok()) {
    result = {CommitStep::kSync, s};
  } else if (!(s = out->Close()).ok()) {
    result = {CommitStep::kClose, s};
  }
  out.reset();
  if (result.ok() && !(s = env->RenameFile(temp, target)).ok()) {
    result = {CommitStep::kRename, s};
  }
  if (!result.ok()) {
    env->RemoveFile(temp);
    return result;
  }
  if (sync && !(s = env->SyncDir(ParentDir(target))).ok()) return {CommitStep::kSyncDir, s};
  return result;
}

Status SyncFile(Env* env, const std::string& path) {
  std::unique_ptr<WritableFile> f;
  if (Status s = env->NewWritableFile(path, /*truncate=*/false, &f); !s.ok()) return s;
  const Status synced = f->Sync();
  const Status closed = f->Close();
  return synced.ok() ? closed : synced;
}

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace kestova
