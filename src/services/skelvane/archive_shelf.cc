#include "archive_shelf.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "archive_name.h"
#include "file_commit.h"
#include "gzip_codec.h"
#include "p7.h"
#include "record_format.h"

namespace kestova {
namespace {

constexpr int kGzipLevel = 6;

}  // namespace

// Anything but a regular file under an archive's name (a directory, a FIFO, a dangling link) holds
// no records: taken for an archive, it would be renamed over the active file, block an open, or be
// kept "for a later attempt" ahead of every real archive. Stat follows links, so a link to a
// regular file still counts.
std::vector<std::string> listRotated(Env* env, const std::string& dir) {
  std::vector<std::string> names;
  if (!env->GetChildren(dir, &names).ok()) return {};
  std::erase_if(names, [&](const std::string& n) {
    if (!IsArchiveName(n)) return true;
    FileInfo info;
    return !env->Stat(dir + "/" + n, &info).ok() || !info.is_regular;
  });
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ArchiveNameLess(a, b); });
  return names;
}

ArchiveShelf::ArchiveShelf(Env* env, const OutboxStoreConfig& config)
    : env_(env),
      dir_(config.dir),
      compress_(config.compress),
      sync_(config.sync),
      max_dir_kb_(config.max_dir_kb) {}

std::string ArchiveShelf::makeRotatedName() const {
  std::vector<std::string> names;
  if (!env_->GetChildren(dir_, &names).ok()) names.clear();
  uint64_t k = 0;
  const std::string stamp = NewArchiveStamp(names, ArchiveStamp(env_->SystemNow()), &k);
  std::string path = dir_ + "/" + ArchiveFileName(stamp, k, compress_);
  FileInfo info;
  while (env_->Stat(path, &info).ok() && info.exists) {
    path = dir_ + "/" + ArchiveFileName(stamp, ++k, compress_);
  }
  return path;
}

Status ArchiveShelf::compressFile(const std::string& source, const std::string& target) {
  std::unique_ptr<SequentialFile> in;
  if (Status st = env_->NewSequentialFile(source, &in); !st.ok()) {
    SKV_LOG(P7::kError, "Cannot read %s for compression", source.c_str());
    return st;
  }
  const std::string temp = TempFilePath(target);
  std::unique_ptr<WritableFile> out;
  if (Status st = env_->NewWritableFile(temp, /*truncate=*/true, &out); !st.ok()) {
    SKV_LOG(P7::kError, "Cannot create gz file %s", target.c_str());
    return st;
  }

  const GzipResult r = GzipCompress(in.get(), out.get(), kGzipLevel);
  in.reset();
  switch (r.error) {
    case GzipError::kNone:
      break;
    case GzipError::kRead:
      SKV_LOG(P7::kError, "Read error on %s during compression: %s", source.c_str(),
              r.status.message().c_str());
      break;
    case GzipError::kWrite:
      if (r.failed_chunk > 0) {
        SKV_LOG(P7::kError, "gzwrite failed for %s (wrote %d/%d)", target.c_str(), 0,
                static_cast<int>(r.failed_chunk));
      }
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), r.status.message().c_str());
      break;
    default:
      SKV_LOG(P7::kError, "deflate error for %s: %s", target.c_str(), r.status.message().c_str());
      break;
  }
  if (!r.ok()) {
    out.reset();
    env_->RemoveFile(temp);
    return r.status;
  }
  // Close reports delayed write errors (NFS, quota); the last compressed bytes may be among them.
  // The caller empties the source next; with sync the archive's name must be durable first.
  const CommitResult c = CommitByRename(env_, std::move(out), temp, target, sync_);
  const std::string why = c.status.message();
  switch (c.failed) {
    case CommitStep::kNone:
      break;
    case CommitStep::kSync:
      SKV_LOG(P7::kError, "Cannot sync %s: %s", temp.c_str(), why.c_str());
      return c.status;
    case CommitStep::kClose:
    case CommitStep::kTruncate:
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), why.c_str());
      return c.status;
    case CommitStep::kRename:
      SKV_LOG(P7::kError, "Cannot rename %s to %s: %s", temp.c_str(), target.c_str(), why.c_str());
      return c.status;
    case CommitStep::kSyncDir:
      SKV_LOG(P7::kError, "Cannot sync directory %s: %s", ParentDir(target).c_str(), why.c_str());
      env_->RemoveFile(target);
      return c.status;
  }
  SKV_LOG(P7::kInfo, "Compressed %s -> %s (%zu -> %ld bytes)", source.c_str(), target.c_str(),
          static_cast<size_t>(r.bytes_in), static_cast<long>(FileSize(env_, target)));
  return Status();
}

Status ArchiveShelf::decompressFile(const std::string& source, const std::string& target) {
  return decompressArchive(source, target, /*salvage=*/false).status;
}

ArchiveShelf::CopyResult ArchiveShelf::decompressArchive(const std::string& source,
                                                         const std::string& target, bool salvage) {
  CopyResult result;
  std::unique_ptr<SequentialFile> in;
  if (Status st = env_->NewSequentialFile(source, &in); !st.ok()) {
    SKV_LOG(P7::kError, "Cannot open gz file %s", source.c_str());
    // A vanished archive has nothing to give; any other error may pass.
    return {st.code() == ENOENT ? Copy::kUnusable : Copy::kRetryLater, st};
  }
  // The target is replaced by rename, so a failed copy never leaves a partial target behind.
  const std::string temp = TempFilePath(target);
  std::unique_ptr<WritableFile> out;
  if (Status st = env_->NewWritableFile(temp, /*truncate=*/true, &out); !st.ok()) {
    SKV_LOG(P7::kError, "Cannot create %s for decompression", target.c_str());
    return {Copy::kRetryLater, st};
  }

  const GzipResult r = GzipDecompress(in.get(), out.get());
  in.reset();
  switch (r.error) {
    case GzipError::kNone:
      break;
    case GzipError::kRead:
      SKV_LOG(P7::kError, "Read error on %s: %s", source.c_str(), r.status.message().c_str());
      result.outcome = Copy::kRetryLater;
      break;
    case GzipError::kWrite:
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), r.status.message().c_str());
      result.outcome = Copy::kRetryLater;
      break;
    case GzipError::kZlib:
      SKV_LOG(P7::kError, "gzread error for %s: %s", source.c_str(), r.status.message().c_str());
      result.outcome = Copy::kRetryLater;
      break;
    case GzipError::kCorrupt:
    case GzipError::kTruncated:
      SKV_LOG(P7::kError, "gzread error for %s: %s", source.c_str(), r.status.message().c_str());
      result.outcome = salvage && r.complete_bytes > 0 ? Copy::kSalvaged : Copy::kUnusable;
      break;
  }
  result.status = r.status;
  if (result.outcome == Copy::kRetryLater || result.outcome == Copy::kUnusable) {
    out.reset();
    env_->RemoveFile(temp);
    return result;
  }

  // Salvaged: the complete lines only, the tail after the last line feed is a cut-off record. The
  // caller deletes the source next; with sync the target's name must be durable first.
  const CommitResult c = CommitByRename(
      env_, std::move(out), temp, target, sync_,
      result.outcome == Copy::kSalvaged ? std::optional(r.complete_bytes) : std::nullopt);
  switch (c.failed) {
    case CommitStep::kNone:
      break;
    case CommitStep::kSync:
    case CommitStep::kClose:
    case CommitStep::kTruncate:
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), c.status.message().c_str());
      return {Copy::kRetryLater, c.status};
    case CommitStep::kRename:
      SKV_LOG(P7::kError, "Cannot rename %s to %s: %s", temp.c_str(), target.c_str(),
              c.status.message().c_str());
      return {Copy::kRetryLater, c.status};
    case CommitStep::kSyncDir:
      SKV_LOG(P7::kError, "Cannot sync directory %s: %s", ParentDir(target).c_str(),
              c.status.message().c_str());
      env_->RemoveFile(target);
      return {Copy::kRetryLater, c.status};
  }
  result.saved_lines = r.complete_lines;
  if (result.outcome == Copy::kComplete) {
    SKV_LOG(P7::kInfo, "Decompressed %s -> %s (%ld -> %ld bytes)", source.c_str(), target.c_str(),
            static_cast<long>(FileSize(env_, source)), static_cast<long>(FileSize(env_, target)));
  }
  return result;
}

int64_t ArchiveShelf::dirSizeKb() const { return dirBytes() / 1024; }

int64_t ArchiveShelf::dirBytes() const {
  std::vector<std::string> names;
  if (!env_->GetChildren(dir_, &names).ok()) return 0;
  int64_t bytes = 0;
  for (const std::string& name : names) bytes += FileSize(env_, dir_ + "/" + name);
  return bytes;
}

bool ArchiveShelf::dropOldestArchive(const char* reason) {
  const std::vector<std::string> names = list();
  if (names.empty()) return false;
  const int64_t dir_kb = dirSizeKb();
  const std::string path = dir_ + "/" + names.front();
  if (!env_->RemoveFile(path).ok()) {
    SKV_LOG(P7::kWarning, "Cleanup: failed to remove %s", path.c_str());
    return false;
  }
  SKV_LOG(P7::kInfo, "Cleanup: removed %s (%s; dir was %ld KB, limit %d KB)", names.front().c_str(),
          reason, static_cast<long>(dir_kb), max_dir_kb_);
  dropped_disk_full_ += ledger_.Forget(names.front()).records;
  return true;
}

void ArchiveShelf::cleanupRotated() {
  // One look at the directory; each removal then takes its archive's size off the total.
  int64_t bytes = dirBytes();
  const int64_t first_kb = bytes / 1024;
  if (first_kb <= max_dir_kb_) return;
  for (const std::string& name : list()) {
    if (bytes / 1024 <= max_dir_kb_) return;
    const std::string path = dir_ + "/" + name;
    const int64_t size = FileSize(env_, path);
    if (env_->RemoveFile(path).ok()) {
      bytes -= size;
      SKV_LOG(P7::kInfo, "Cleanup: removed %s (dir was %ld KB, limit %d KB)", name.c_str(),
              static_cast<long>(first_kb), max_dir_kb_);
      dropped_cleanup_ += ledger_.Forget(name).records;
    } else {
      SKV_LOG(P7::kWarning, "Cleanup: failed to remove %s", path.c_str());
    }
  }
}

bool ArchiveShelf::restoreNextArchive(const std::string& active, std::string* restored) {
  const std::vector<std::string> names = list();
  if (names.empty()) return false;
  const std::string& name = names.front();
  const std::string path = dir_ + "/" + name;

  // A restore replaces the active file; its callers run it only once that file has drained, and
  // records that are still there must not be overwritten should that ever not hold.
  FileInfo info;
  if (Status st = env_->Stat(active, &info); !st.ok()) {
    SKV_LOG(P7::kError, "Cannot stat %s: %s; %s stays for a later restore", active.c_str(),
            st.message().c_str(), name.c_str());
    return false;
  }
  if (info.exists && info.size > 0) {
    SKV_LOG(P7::kError, "Active file %s is not empty; %s stays for a later restore", active.c_str(),
            name.c_str());
    return false;
  }

  SKV_LOG(P7::kInfo, "Restoring archive: %s", name.c_str());
  if (IsGzipArchiveName(name)) {
    const CopyResult c = decompressArchive(path, active, /*salvage=*/true);
    switch (c.outcome) {
      case Copy::kComplete:
        break;
      case Copy::kSalvaged:
        SKV_LOG(P7::kError, "Archive %s is damaged (%s): restored its first %llu complete lines",
                name.c_str(), c.status.message().c_str(),
                static_cast<unsigned long long>(c.saved_lines));
        break;
      case Copy::kUnusable:
        SKV_LOG(P7::kError, "Failed to restore %s, removing it", name.c_str());
        env_->RemoveFile(path);
        ledger_.Forget(name);
        return false;
      case Copy::kRetryLater:
        SKV_LOG(P7::kError, "Failed to restore %s, keeping it for a later attempt: %s",
                name.c_str(), c.status.message().c_str());
        return false;
    }
    // Its content is committed in the active file now.
    if (Status st = env_->RemoveFile(path); !st.ok()) {
      SKV_LOG(P7::kWarning, "Cannot remove restored archive %s: %s", path.c_str(),
              st.message().c_str());
    }
  } else {
    if (Status st = env_->RenameFile(path, active); !st.ok()) {
      SKV_LOG(P7::kError, "Failed to restore %s, keeping it for a later attempt: %s", name.c_str(),
              st.message().c_str());
      return false;
    }
    if (Status st = sync_ ? env_->SyncDir(dir_) : Status(); !st.ok()) {
      // Both names hold the same records, so a lost rename loses nothing.
      SKV_LOG(P7::kWarning, "Cannot sync directory %s: %s", dir_.c_str(), st.message().c_str());
    }
  }
  ledger_.Forget(name);  // its records are the active file's now
  *restored = name;
  return true;
}

void ArchiveShelf::removeStaleArchiveTemps() {
  std::vector<std::string> names;
  if (!env_->GetChildren(dir_, &names).ok()) return;
  for (const std::string& name : names) {
    if (!IsStaleCopyName(name)) continue;  // the flush's own temporary file is the store's
    const std::string path = dir_ + "/" + name;
    if (Status st = env_->RemoveFile(path); !st.ok()) {
      SKV_LOG(P7::kWarning, "Cannot remove stale temp file %s: %s", path.c_str(),
              st.message().c_str());
    } else {
      SKV_LOG(P7::kWarning, "Removed stale temp file: %s", path.c_str());
    }
  }
}

void ArchiveShelf::logArchiveCount() {
  const std::vector<std::string> names = list();
  if (names.empty()) return;
  SKV_LOG(P7::kInfo, "  %zu rotated archives pending delivery", names.size());
  // Archives of an earlier run are counted once, so the status figures know what waits in them.
  for (const std::string& name : names) {
    ledger_.Note(name, CountArchive(env_, dir_ + "/" + name, IsGzipArchiveName(name)));
  }
}

}  // namespace kestova
