// Rotation, compression, clean-up and archive restore of the outbox.
//
// Archive life cycle: the active file is moved aside (renamed, or gzip-compressed and emptied) once
// it reaches max_file_kb; the oldest archives are deleted while the directory exceeds max_dir_kb;
// whenever the active file has drained, the oldest archive becomes the active file again.
//
// Invariants kept here:
//   - An archive name exists only for a complete archive: compressed data is written under the
//     archive's name plus ".tmp" (which listRotated ignores) and renamed when complete.
//   - The source of a copy is given up (active file emptied, archive deleted) only after the copy
//     has been committed, so every record is in at least one file at every moment.
//   - Archive names sort in rotation order (archive_name.h): a new name sorts after every existing
//     archive, however often the file rotates in a second and wherever the wall clock steps.
//   - With sync on, a committed copy is on the device (file and directory entry) before its source
//     is given up.
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "archive_name.h"
#include "gzip_codec.h"
#include "outbox_store.h"
#include "p7.h"

namespace kestova {
namespace {

constexpr int kGzipLevel = 6;
// Temporary name of a copy in progress: target path + this. listRotated ignores it.
constexpr char kCopyTempSuffix[] = ".tmp";

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

bool IsArchiveName(const std::string& name) {
  return name.starts_with("outbox.") && name != "outbox.jsonl" && Contains(name, ".jsonl") &&
         !Contains(name, ".tmp");
}

// Size in bytes; 0 when it cannot be read.
int64_t FileSize(Env* env, const std::string& path) {
  FileInfo info;
  if (env->Stat(path, &info) != 0 || !info.exists) return 0;
  return static_cast<int64_t>(info.size);
}

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Forces the data of an existing file to the device.
int SyncFile(Env* env, const std::string& path) {
  std::unique_ptr<WritableFile> f;
  if (int err = env->NewWritableFile(path, /*truncate=*/false, &f)) return err;
  int err = f->Sync();
  int close_err = f->Close();
  return err != 0 ? err : close_err;
}

}  // namespace

// Anything but a regular file under an archive's name (a directory, a FIFO, a dangling link) holds
// no records: taken for an archive, it would be renamed over the active file, block an open, or be
// kept "for a later attempt" ahead of every real archive. Stat follows links, so a link to a
// regular file still counts.
std::vector<std::string> listRotated(Env* env, const std::string& dir) {
  std::vector<std::string> names;
  if (env->GetChildren(dir, &names) != 0) return {};
  std::erase_if(names, [&](const std::string& n) {
    if (!IsArchiveName(n)) return true;
    FileInfo info;
    return env->Stat(dir + "/" + n, &info) != 0 || !info.is_regular;
  });
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ArchiveNameLess(a, b); });
  return names;
}

void OutboxStore::resetRestoreState() {
  restored_active_ = false;
  restored_total_ = 0;
  restored_acked_ = 0;
}

void OutboxStore::rotateIfNeeded() {
  if (env_->SteadyNow() < rotation_allowed_at_) return;
  const std::string active = activePath();
  const int64_t limit = int64_t{max_file_kb_} * 1024;
  int64_t size = 0;
  // True when the file is below its limit or held as a restored archive still being delivered.
  auto stays = [&] {
    size = FileSize(env_, active);
    if (size < limit) return true;
    if (!restored_active_ || size >= 2 * limit) return false;
    SKV_LOG(P7::kDebug,
            "Rotation deferred: restored archive progress %d/%d (file %ld KB, emergency at %ld KB)",
            restored_acked_, restored_total_, static_cast<long>(size / 1024),
            static_cast<long>(2 * int64_t{max_file_kb_}));
    return true;
  };
  if (stays()) return;
  if (!ack_queue_.empty()) {
    // Queued acknowledgements belong to lines of this file; once these are in an archive, no
    // flush finds them and they would be sent again after its restore. A flush that fails
    // changes nothing and the rotation goes ahead as it would have.
    applyAckQueue(/*restore_when_drained=*/false);
    if (stays()) return;
  }
  const long size_kb = static_cast<long>(size / 1024);
  forgetActiveFile();  // the file is renamed or truncated below

  if (restored_active_) {
    SKV_LOG(P7::kWarning,
            "Emergency rotation: file %ld KB >= 2x limit %d KB, restored progress only %d/%d",
            size_kb, max_file_kb_, restored_acked_, restored_total_);
    resetRestoreState();
  }

  const std::string archive = makeRotatedName();
  bool ok = false;
  if (!compress_) {
    // The rename is the commit; with sync the records must be on the device before it.
    int err = sync_ ? SyncFile(env_, active) : 0;
    if (err != 0) {
      SKV_LOG(P7::kError, "Cannot sync %s: %s", active.c_str(), std::strerror(err));
    } else if ((err = env_->RenameFile(active, archive)) != 0) {
      SKV_LOG(P7::kError, "Rotate rename failed: %s", std::strerror(err));
    } else {
      ok = true;
      if (sync_ && (err = env_->SyncDir(dir_)) != 0) {
        // Both names hold the same records, so a lost rename loses nothing.
        SKV_LOG(P7::kWarning, "Cannot sync directory %s: %s", dir_.c_str(), std::strerror(err));
      }
      SKV_LOG(P7::kInfo, "Rotated: %s (%ld KB)", archive.c_str(), size_kb);
    }
  } else if (!compressFile(active, archive)) {
    SKV_LOG(P7::kError, "Compression failed, rotation aborted");
  } else if (env_->TruncateFile(active, 0) != 0) {
    // The records stay in the active file only; the archive would hold them a second time.
    SKV_LOG(P7::kError, "Failed to truncate active file after compression");
    env_->RemoveFile(archive);
  } else {
    ok = true;
    SKV_LOG(P7::kInfo, "Rotated+compressed: %s (%ld KB)", archive.c_str(), size_kb);
  }

  if (!ok) {
    rotation_allowed_at_ = env_->SteadyNow() + std::chrono::seconds(rotation_cooldown_);
    SKV_LOG(P7::kWarning, "Rotation failed, cooldown %ds before retry", rotation_cooldown_);
    return;
  }
  ArchiveLedger::Entry entry;
  entry.records = static_cast<int64_t>(index_.size());
  if (!index_.empty()) entry.oldest_ts = index_.begin()->first.timestamp;
  archive_ledger_.Note(archive.substr(dir_.size() + 1), entry);
  index_.clear();
  acked_bytes_ = 0;
  broken_bytes_ = 0;
  file_bytes_ = 0;  // renamed away, or emptied
  resetRestoreState();
  cleanupRotated();
}

bool OutboxStore::dropOldestArchive(const char* reason) {
  const std::vector<std::string> names = listRotated(env_, dir_);
  if (names.empty()) return false;
  const int64_t dir_kb = dirSizeKb();
  const std::string path = dir_ + "/" + names.front();
  if (env_->RemoveFile(path) != 0) {
    SKV_LOG(P7::kWarning, "Cleanup: failed to remove %s", path.c_str());
    return false;
  }
  SKV_LOG(P7::kInfo, "Cleanup: removed %s (%s; dir was %ld KB, limit %d KB)", names.front().c_str(),
          reason, static_cast<long>(dir_kb), max_dir_kb_);
  dropped_disk_full_ += archive_ledger_.Forget(names.front()).records;
  return true;
}

void OutboxStore::cleanupRotated() {
  const int64_t first_kb = dirSizeKb();
  if (first_kb <= max_dir_kb_) return;
  for (const std::string& name : listRotated(env_, dir_)) {
    if (dirSizeKb() <= max_dir_kb_) return;
    const std::string path = dir_ + "/" + name;
    if (env_->RemoveFile(path) == 0) {
      SKV_LOG(P7::kInfo, "Cleanup: removed %s (dir was %ld KB, limit %d KB)", name.c_str(),
              static_cast<long>(first_kb), max_dir_kb_);
      dropped_cleanup_ += archive_ledger_.Forget(name).records;
    } else {
      SKV_LOG(P7::kWarning, "Cleanup: failed to remove %s", path.c_str());
    }
  }
}

std::string OutboxStore::makeRotatedName() const {
  // The newest stamp in use and the collision number after the highest one it carries (either
  // extension; restores delete the oldest archives, so a free number below one in use would sort
  // before a newer archive).
  std::string newest;
  uint64_t next_k = 0;
  std::vector<std::string> names;
  if (env_->GetChildren(dir_, &names) == 0) {
    for (const std::string& name : names) {
      ArchiveName a;
      if (!ParseArchiveName(name, &a) || a.stamp < newest) continue;
      if (a.stamp > newest) {
        newest = a.stamp;
        next_k = 0;
      }
      next_k = std::max(next_k, a.k + 1);
    }
  }
  // A clock that has not passed the newest stamp (several rotations in one second, or a wall clock
  // stepped back) would give a name sorting before archives that hold newer records.
  std::string stamp = ArchiveStamp(env_->SystemNow());
  uint64_t k = 0;
  if (!newest.empty() && stamp <= newest) {
    stamp = newest;
    k = next_k;
  }
  std::string path = dir_ + "/" + ArchiveFileName(stamp, k, compress_);
  FileInfo info;
  while (env_->Stat(path, &info) == 0 && info.exists) {
    path = dir_ + "/" + ArchiveFileName(stamp, ++k, compress_);
  }
  return path;
}

bool OutboxStore::compressFile(const std::string& source, const std::string& target) {
  std::unique_ptr<SequentialFile> in;
  if (env_->NewSequentialFile(source, &in) != 0) {
    SKV_LOG(P7::kError, "Cannot read %s for compression", source.c_str());
    return false;
  }
  const std::string temp = target + kCopyTempSuffix;
  std::unique_ptr<WritableFile> out;
  if (env_->NewWritableFile(temp, /*truncate=*/true, &out) != 0) {
    SKV_LOG(P7::kError, "Cannot create gz file %s", target.c_str());
    return false;
  }

  const GzipResult r = GzipCompress(in.get(), out.get(), kGzipLevel);
  in.reset();
  bool ok = r.ok();
  switch (r.error) {
    case GzipError::kNone:
      break;
    case GzipError::kRead:
      SKV_LOG(P7::kError, "Read error on %s during compression: %s", source.c_str(),
              r.message.c_str());
      break;
    case GzipError::kWrite:
      if (r.failed_chunk > 0) {
        SKV_LOG(P7::kError, "gzwrite failed for %s (wrote %d/%d)", target.c_str(), 0,
                static_cast<int>(r.failed_chunk));
      }
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), r.message.c_str());
      break;
    default:
      SKV_LOG(P7::kError, "deflate error for %s: %s", target.c_str(), r.message.c_str());
      break;
  }
  int err = 0;
  if (ok && sync_ && (err = out->Sync()) != 0) {
    SKV_LOG(P7::kError, "Cannot sync %s: %s", temp.c_str(), std::strerror(err));
    ok = false;
  }
  // Close reports delayed write errors (NFS, quota); the last compressed bytes may be among them.
  if (ok && (err = out->Close()) != 0) {
    SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), std::strerror(err));
    ok = false;
  }
  out.reset();
  if (ok && (err = env_->RenameFile(temp, target)) != 0) {
    SKV_LOG(P7::kError, "Cannot rename %s to %s: %s", temp.c_str(), target.c_str(),
            std::strerror(err));
    ok = false;
  }
  if (!ok) {
    env_->RemoveFile(temp);
    return false;
  }
  // The caller empties the source next; with sync the archive's name must be durable first.
  if (sync_ && (err = env_->SyncDir(ParentDir(target))) != 0) {
    SKV_LOG(P7::kError, "Cannot sync directory %s: %s", ParentDir(target).c_str(),
            std::strerror(err));
    env_->RemoveFile(target);
    return false;
  }
  SKV_LOG(P7::kInfo, "Compressed %s -> %s (%zu -> %ld bytes)", source.c_str(), target.c_str(),
          static_cast<size_t>(r.bytes_in), static_cast<long>(FileSize(env_, target)));
  return true;
}

bool OutboxStore::decompressFile(const std::string& source, const std::string& target) {
  std::string reason;
  uint64_t saved_lines = 0;
  return decompressArchive(source, target, /*salvage=*/false, &reason, &saved_lines) ==
         ArchiveCopy::kComplete;
}

OutboxStore::ArchiveCopy OutboxStore::decompressArchive(const std::string& source,
                                                        const std::string& target, bool salvage,
                                                        std::string* reason,
                                                        uint64_t* saved_lines) {
  *saved_lines = 0;
  std::unique_ptr<SequentialFile> in;
  if (int err = env_->NewSequentialFile(source, &in)) {
    SKV_LOG(P7::kError, "Cannot open gz file %s", source.c_str());
    *reason = std::strerror(err);
    // A vanished archive has nothing to give; any other error may pass.
    return err == ENOENT ? ArchiveCopy::kUnusable : ArchiveCopy::kRetryLater;
  }
  // The target is replaced by rename, so a failed copy never leaves a partial target behind.
  const std::string temp = target + kCopyTempSuffix;
  std::unique_ptr<WritableFile> out;
  if (int err = env_->NewWritableFile(temp, /*truncate=*/true, &out)) {
    SKV_LOG(P7::kError, "Cannot create %s for decompression", target.c_str());
    *reason = std::strerror(err);
    return ArchiveCopy::kRetryLater;
  }

  const GzipResult r = GzipDecompress(in.get(), out.get());
  in.reset();
  ArchiveCopy outcome = ArchiveCopy::kComplete;
  switch (r.error) {
    case GzipError::kNone:
      break;
    case GzipError::kRead:
      SKV_LOG(P7::kError, "Read error on %s: %s", source.c_str(), r.message.c_str());
      outcome = ArchiveCopy::kRetryLater;
      break;
    case GzipError::kWrite:
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), r.message.c_str());
      outcome = ArchiveCopy::kRetryLater;
      break;
    case GzipError::kZlib:
      SKV_LOG(P7::kError, "gzread error for %s: %s", source.c_str(), r.message.c_str());
      outcome = ArchiveCopy::kRetryLater;
      break;
    case GzipError::kCorrupt:
    case GzipError::kTruncated:
      SKV_LOG(P7::kError, "gzread error for %s: %s", source.c_str(), r.message.c_str());
      outcome = salvage && r.complete_bytes > 0 ? ArchiveCopy::kSalvaged : ArchiveCopy::kUnusable;
      break;
  }
  if (outcome != ArchiveCopy::kComplete) *reason = r.message;

  int err = 0;
  if (outcome == ArchiveCopy::kSalvaged) {
    // Keep the complete lines only: the tail after the last line feed is a cut-off record.
    if ((err = out->Close()) != 0 || (err = env_->TruncateFile(temp, r.complete_bytes)) != 0 ||
        (sync_ && (err = SyncFile(env_, temp)) != 0)) {
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), std::strerror(err));
      outcome = ArchiveCopy::kRetryLater;
    }
  } else if (outcome == ArchiveCopy::kComplete) {
    if ((sync_ && (err = out->Sync()) != 0) || (err = out->Close()) != 0) {
      SKV_LOG(P7::kError, "Write error on %s: %s", target.c_str(), std::strerror(err));
      outcome = ArchiveCopy::kRetryLater;
    }
  }
  out.reset();
  if ((outcome == ArchiveCopy::kComplete || outcome == ArchiveCopy::kSalvaged) &&
      (err = env_->RenameFile(temp, target)) != 0) {
    SKV_LOG(P7::kError, "Cannot rename %s to %s: %s", temp.c_str(), target.c_str(),
            std::strerror(err));
    outcome = ArchiveCopy::kRetryLater;
  }
  if (outcome == ArchiveCopy::kRetryLater || outcome == ArchiveCopy::kUnusable) {
    if (err != 0) *reason = std::strerror(err);
    env_->RemoveFile(temp);
    return outcome;
  }
  // The caller deletes the source next; with sync the target's name must be durable first.
  if (sync_ && (err = env_->SyncDir(ParentDir(target))) != 0) {
    SKV_LOG(P7::kError, "Cannot sync directory %s: %s", ParentDir(target).c_str(),
            std::strerror(err));
    *reason = std::strerror(err);
    env_->RemoveFile(target);
    return ArchiveCopy::kRetryLater;
  }
  *saved_lines = r.complete_lines;
  if (outcome == ArchiveCopy::kComplete) {
    SKV_LOG(P7::kInfo, "Decompressed %s -> %s (%ld -> %ld bytes)", source.c_str(), target.c_str(),
            static_cast<long>(FileSize(env_, source)), static_cast<long>(FileSize(env_, target)));
  }
  return outcome;
}

int64_t OutboxStore::dirSizeKb() const {
  std::vector<std::string> names;
  if (env_->GetChildren(dir_, &names) != 0) return 0;
  int64_t bytes = 0;
  for (const std::string& name : names) bytes += FileSize(env_, dir_ + "/" + name);
  return bytes / 1024;
}

bool OutboxStore::restoreNextArchive() {
  const std::vector<std::string> names = listRotated(env_, dir_);
  if (names.empty()) {
    resetRestoreState();
    return false;
  }
  const std::string& name = names.front();
  const std::string path = dir_ + "/" + name;
  const std::string active = activePath();

  // A restore replaces the active file; its callers run it only once that file has drained, and
  // records that are still there must not be overwritten should that ever not hold.
  FileInfo info;
  if (int err = env_->Stat(active, &info)) {
    SKV_LOG(P7::kError, "Cannot stat %s: %s; %s stays for a later restore", active.c_str(),
            std::strerror(err), name.c_str());
    resetRestoreState();
    return false;
  }
  if (info.exists && info.size > 0) {
    SKV_LOG(P7::kError, "Active file %s is not empty; %s stays for a later restore", active.c_str(),
            name.c_str());
    resetRestoreState();
    return false;
  }

  SKV_LOG(P7::kInfo, "Restoring archive: %s", name.c_str());
  if (Contains(name, ".gz")) {
    std::string reason;
    uint64_t saved_lines = 0;
    switch (decompressArchive(path, active, /*salvage=*/true, &reason, &saved_lines)) {
      case ArchiveCopy::kComplete:
        break;
      case ArchiveCopy::kSalvaged:
        SKV_LOG(P7::kError, "Archive %s is damaged (%s): restored its first %llu complete lines",
                name.c_str(), reason.c_str(), static_cast<unsigned long long>(saved_lines));
        break;
      case ArchiveCopy::kUnusable:
        SKV_LOG(P7::kError, "Failed to restore %s, removing it", name.c_str());
        env_->RemoveFile(path);
        archive_ledger_.Forget(name);
        resetRestoreState();
        return false;
      case ArchiveCopy::kRetryLater:
        SKV_LOG(P7::kError, "Failed to restore %s, keeping it for a later attempt: %s",
                name.c_str(), reason.c_str());
        resetRestoreState();
        return false;
    }
    // Its content is committed in the active file now.
    if (int err = env_->RemoveFile(path)) {
      SKV_LOG(P7::kWarning, "Cannot remove restored archive %s: %s", path.c_str(),
              std::strerror(err));
    }
  } else {
    if (int err = env_->RenameFile(path, active)) {
      SKV_LOG(P7::kError, "Failed to restore %s, keeping it for a later attempt: %s", name.c_str(),
              std::strerror(err));
      resetRestoreState();
      return false;
    }
    int err = sync_ ? env_->SyncDir(dir_) : 0;
    if (err != 0) {
      // Both names hold the same records, so a lost rename loses nothing.
      SKV_LOG(P7::kWarning, "Cannot sync directory %s: %s", dir_.c_str(), std::strerror(err));
    }
  }

  archive_ledger_.Forget(name);  // its records are the active file's now
  rebuildIndex();
  applyLateAcks(name);
  rotation_allowed_at_ = env_->SteadyNow() + std::chrono::seconds(rotation_cooldown_);
  restored_active_ = true;
  restored_total_ = static_cast<int32_t>(index_.size());
  restored_acked_ = 0;
  SKV_LOG(P7::kInfo, "Restored %s: %d messages, rotation deferred until 10%% acked", name.c_str(),
          restored_total_);
  return true;
}

OutboxStore::Stats OutboxStore::stats() {
  Stats s;
  s.pending = pendingCount();
  s.ack_queue = static_cast<int32_t>(ack_queue_.size());
  s.known = static_cast<int32_t>(index_.size());
  s.discarded = discarded_;
  s.file_kb = FileSize(env_, activePath()) / 1024;
  s.dir_kb = dirSizeKb();
  s.rotated = static_cast<int32_t>(listRotated(env_, dir_).size());
  return s;
}

std::string OutboxStore::statsString() {
  const Stats s = stats();
  return fmt::format(
      "pending={}, ack_queue={}, known={}, discarded={}, file_kb={}, dir_kb={}, rotated={}",
      s.pending, s.ack_queue, s.known, s.discarded, s.file_kb, s.dir_kb, s.rotated);
}

// --- steps run by the constructor and by flushAcks ---

void OutboxStore::removeStaleArchiveTemps() {
  std::vector<std::string> names;
  if (env_->GetChildren(dir_, &names) != 0) return;
  for (const std::string& name : names) {
    // The flush's own temporary file is cleared by the constructor itself.
    if (!name.starts_with("outbox.") || !name.ends_with(kCopyTempSuffix) ||
        !Contains(name, ".jsonl") || name == "outbox.jsonl.tmp") {
      continue;
    }
    const std::string path = dir_ + "/" + name;
    if (int err = env_->RemoveFile(path)) {
      SKV_LOG(P7::kWarning, "Cannot remove stale temp file %s: %s", path.c_str(),
              std::strerror(err));
    } else {
      SKV_LOG(P7::kWarning, "Removed stale temp file: %s", path.c_str());
    }
  }
}

void OutboxStore::startupRestore() {
  if (!index_.empty()) return;
  FileInfo info;
  // When the active file cannot even be looked at, nothing may replace it.
  if (env_->Stat(activePath(), &info) != 0) return;
  if (info.exists && info.size > 0) return;
  restoreNextArchive();
}

void OutboxStore::logArchiveCount() {
  const std::vector<std::string> names = listRotated(env_, dir_);
  if (names.empty()) return;
  SKV_LOG(P7::kInfo, "  %zu rotated archives pending delivery", names.size());
  // Archives of an earlier run are counted once, so the status figures know what waits in them.
  for (const std::string& name : names) {
    archive_ledger_.Note(name, CountArchive(env_, dir_ + "/" + name, Contains(name, ".gz")));
  }
}

OutboxStore::Figures OutboxStore::figures() {
  Figures f;
  f.pending_active = pendingCount();
  f.pending_archives = archive_ledger_.records();
  for (const auto& [key, bytes] : index_) {  // the oldest pending key of the active file
    if (ack_queue_.count(key) != 0) continue;
    f.has_oldest = true;
    f.oldest_ts = key.timestamp;
    break;
  }
  int64_t archive_oldest = 0;
  if (archive_ledger_.OldestTs(&archive_oldest)) {
    f.oldest_ts = f.has_oldest ? std::min(f.oldest_ts, archive_oldest) : archive_oldest;
    f.has_oldest = true;
  }
  f.active_bytes = FileSize(env_, activePath());
  for (const std::string& name : listRotated(env_, dir_)) {
    f.archive_bytes += FileSize(env_, dir_ + "/" + name);
    ++f.archives;
  }
  f.dropped_cleanup = dropped_cleanup_;
  f.dropped_disk_full = dropped_disk_full_;
  f.bytes_written = counting_env_.bytes_written();
  return f;
}

void OutboxStore::flushProgressStep(int32_t flushed) {
  if (!restored_active_ || flushed == 0) return;
  restored_acked_ += flushed;
  const int32_t threshold = std::max<int32_t>(restored_total_ / 10, 1);
  if (restored_acked_ >= threshold) {
    SKV_LOG(P7::kInfo,
            "Restored archive progress: %d/%d acked (>= %d threshold), rotation unlocked",
            restored_acked_, restored_total_, threshold);
    restored_active_ = false;
  } else {
    SKV_LOG(P7::kDebug, "Restored archive progress: %d/%d acked (need %d to unlock)",
            restored_acked_, restored_total_, threshold);
  }
}

void OutboxStore::applyLateAcks(const std::string& archive_name) {
  int32_t applied = 0;
  for (auto it = late_acks_.begin(); it != late_acks_.end();) {
    const auto line = index_.find(*it);
    if (line == index_.end()) {
      ++it;
      continue;
    }
    // Acknowledged again meanwhile: its bytes are counted already.
    if (ack_queue_.insert(late_acks_.extract(it++)).inserted) acked_bytes_ += line->second;
    ++applied;
  }
  if (applied > 0) {
    SKV_LOG(P7::kInfo, "Late acknowledgements applied to %s: %d", archive_name.c_str(), applied);
  }
}

void OutboxStore::flushNextArchiveStep(size_t kept_lines) {
  if (kept_lines != 0) return;
  resetRestoreState();
  if (restoreNextArchive()) {
    SKV_LOG(P7::kInfo, "Next archive restored, %d pending", pendingCount());
  } else {
    SKV_LOG(P7::kDebug, "No archives remaining");
  }
}

}  // namespace kestova
