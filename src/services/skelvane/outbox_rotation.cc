// OutboxStore: flush, rotation, archive restore and figures. The archives themselves (names,
// copies, clean-up) are the ArchiveShelf's (archive_shelf.h).
//
// Archive life cycle: the active file is moved aside (renamed, or gzip-compressed and emptied) once
// it reaches max_file_kb; the oldest archives are deleted while the directory exceeds max_dir_kb;
// whenever the active file has drained, the oldest archive becomes the active file again, and
// rotation waits until a tenth of it is acknowledged (or it reaches twice the limit).
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

#include "file_commit.h"
#include "line_reader.h"
#include "outbox_store.h"
#include "p7.h"
#include "record_format.h"
#include "record_reader.h"

namespace kestova {
namespace {

// Output buffer of a flush: large enough that the rewrite costs few write calls, small enough to
// leave no mark on the resident size.
constexpr size_t kFlushChunk = 128 * 1024;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Flush

int32_t OutboxStore::flushAcks() {
  append_file_.reset();  // the maintenance pass's look at the kept descriptor (see append_file_)
  return applyAckQueue(/*restore_when_drained=*/true);
}

// A compaction rewrites every live byte of the file. Done only once a quarter of it is dead, it
// writes at most three live bytes per byte it removes, so draining a backlog costs writes in
// proportion to its size rather than to its square.
int32_t OutboxStore::compactIfWorthwhile() {
  if (ack_queue_.empty() || file_bytes_ < 0) return 0;
  if ((acked_bytes_ + broken_bytes_) * 4 < static_cast<uint64_t>(file_bytes_)) return 0;
  return flushAcks();
}

void OutboxStore::keepLateAcks(std::vector<const AckKey*>* matched) {
  std::sort(matched->begin(), matched->end(), std::less<>());
  for (auto it = ack_queue_.begin(); it != ack_queue_.end();) {
    const auto next = std::next(it);
    if (!std::binary_search(matched->begin(), matched->end(), &*it, std::less<>())) {
      late_acks_.insert(ack_queue_.extract(it));
    }
    it = next;
  }
  ack_queue_.clear();
  acked_bytes_ = 0;
  while (static_cast<int64_t>(late_acks_.size()) > max_index_) late_acks_.erase(late_acks_.begin());
}

int32_t OutboxStore::applyAckQueue(bool restore_when_drained) {
  if (ack_queue_.empty()) return 0;

  forgetActiveFile();  // the file is rewritten, or a restore may replace it
  const std::string& path = active_path_;
  std::unique_ptr<SequentialFile> in;
  if (Status st = env_->NewSequentialFile(path, &in); !st.ok()) {
    if (st.code() == ENOENT) {
      // Nothing to compact: no queued key can have a line here.
      std::vector<const AckKey*> none;
      keepLateAcks(&none);
      file_bytes_ = 0;
    } else {
      // The queued keys may well have lines in the file that cannot be read now.
      SKV_LOG(P7::kError, "flushAcks: cannot open %s: %s, aborting flush", path.c_str(),
              st.message().c_str());
    }
    return 0;
  }

  // The new file is written while the old one is read, through a buffer of bounded size, so a
  // flush holds a chunk of the file in memory rather than all of it. A failed write is only
  // noted here: the reading goes on, so every broken line is reported as it would be otherwise,
  // and a read failure, which aborts as well, is what gets reported when both happen.
  const std::string temp = TempFilePath(path);
  std::unique_ptr<WritableFile> out;
  Status write_status = env_->NewWritableFile(temp, /*truncate=*/true, &out);
  std::string& chunk = write_buf_;
  chunk.clear();
  chunk.reserve(kFlushChunk);
  auto write_chunk = [&] {
    if (write_status.ok() && !chunk.empty()) write_status = out->Append(chunk.data(), chunk.size());
    chunk.clear();
  };

  size_t kept_lines = 0;
  uint64_t kept_bytes = 0;
  int32_t flushed = 0;
  int32_t broken = 0;
  std::vector<const AckKey*> acked;  // keys of dropped lines; erased from index_ after the commit
  {
    LineReader reader(in.get(), {.buffer = &read_buf_});
    std::string_view line;
    int64_t ts = 0;
    std::string msg_id;
    std::string error;
    AckKey probe;
    while (reader.Next(&line)) {
      if (!ParseRecordKey(line, &ts, &msg_id, &error)) {
        std::string head(line.substr(0, 80));
        SKV_LOG(P7::kWarning, "Discarding broken line: %.80s", head.c_str());
        ++flushed;
        ++broken;
        continue;
      }
      probe.timestamp = ts;
      probe.msg_id = std::move(msg_id);
      auto it = ack_queue_.find(probe);
      if (it != ack_queue_.end()) {
        acked.push_back(&*it);
        ++flushed;
        continue;
      }
      // Every kept line exactly as read, ended by '\n'.
      chunk.append(line);
      chunk += '\n';
      ++kept_lines;
      kept_bytes += line.size() + 1;
      if (chunk.size() >= kFlushChunk) write_chunk();
    }
    if (!reader.status().ok()) {
      // Rewriting from a partial read would drop every line after the failure.
      SKV_LOG(P7::kError, "flushAcks: read failed: %s, aborting flush",
              reader.status().message().c_str());
      out.reset();
      env_->RemoveFile(temp);
      trimBuffers();
      return 0;  // ack_queue_, index_ and the active file stay as they were
    }
  }
  in.reset();
  write_chunk();
  trimBuffers();

  if (!write_status.ok()) {
    SKV_LOG(P7::kError, "flushAcks: write to temp failed, aborting flush");
    out.reset();
    env_->RemoveFile(temp);
    return 0;  // ack_queue_, index_ and the active file stay as they were; the next flush retries
  }
  // A delayed write error shows up at the close; a failed commit removes the temporary file.
  const CommitResult commit = CommitByRename(env_, std::move(out), temp, path, sync_);
  switch (commit.failed) {
    case CommitStep::kNone:
      break;
    case CommitStep::kSyncDir:
      SKV_LOG(P7::kWarning, "flushAcks: directory sync failed: %s",
              commit.status.message().c_str());
      break;
    case CommitStep::kRename:
      SKV_LOG(P7::kError, "flushAcks: rename failed: %s", commit.status.message().c_str());
      return 0;  // as above
    default:
      SKV_LOG(P7::kError, "flushAcks: write to temp failed, aborting flush");
      return 0;  // as above
  }

  // Committed: the in-memory state follows the new file.
  for (const AckKey* key : acked) index_.erase(*key);
  discarded_ += broken;
  keepLateAcks(&acked);  // empties ack_queue_, which `acked` points into; not used past here
  broken_bytes_ = 0;
  file_bytes_ = static_cast<int64_t>(kept_bytes);
  flushProgressStep(flushed);
  if (flushed != 0) {
    SKV_LOG(P7::kInfo, "Flushed %d messages (acked+broken), %zu remain", flushed, kept_lines);
  }
  if (restore_when_drained) flushNextArchiveStep(kept_lines);
  return flushed;
}

// ---------------------------------------------------------------------------------------------
// Rotation and restore

void OutboxStore::rotateIfNeeded() {
  if (env_->SteadyNow() < rotation_allowed_at_) return;
  const std::string& active = active_path_;
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

  const std::string archive = shelf_.makeRotatedName();
  bool ok = false;
  if (!compress_) {
    // The rename is the commit; with sync the records must be on the device before it.
    Status s = sync_ ? SyncFile(env_, active) : Status();
    if (!s.ok()) {
      SKV_LOG(P7::kError, "Cannot sync %s: %s", active.c_str(), s.message().c_str());
    } else if (!(s = env_->RenameFile(active, archive)).ok()) {
      SKV_LOG(P7::kError, "Rotate rename failed: %s", s.message().c_str());
    } else {
      ok = true;
      if (sync_ && !(s = env_->SyncDir(dir_)).ok()) {
        // Both names hold the same records, so a lost rename loses nothing.
        SKV_LOG(P7::kWarning, "Cannot sync directory %s: %s", dir_.c_str(), s.message().c_str());
      }
      SKV_LOG(P7::kInfo, "Rotated: %s (%ld KB)", archive.c_str(), size_kb);
    }
  } else if (!shelf_.compressFile(active, archive).ok()) {
    SKV_LOG(P7::kError, "Compression failed, rotation aborted");
  } else if (!env_->TruncateFile(active, 0).ok()) {
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
  shelf_.noteRotation(archive.substr(dir_.size() + 1), entry);
  index_.clear();
  acked_bytes_ = 0;
  broken_bytes_ = 0;
  file_bytes_ = 0;  // renamed away, or emptied
  resetRestoreState();
  shelf_.cleanupRotated();
}

bool OutboxStore::restoreNextArchive() {
  std::string name;
  if (!shelf_.restoreNextArchive(active_path_, &name)) {
    resetRestoreState();
    return false;
  }
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

void OutboxStore::resetRestoreState() {
  restored_active_ = false;
  restored_total_ = 0;
  restored_acked_ = 0;
}

void OutboxStore::startupRestore() {
  if (!index_.empty()) return;
  FileInfo info;
  // When the active file cannot even be looked at, nothing may replace it.
  if (!env_->Stat(active_path_, &info).ok()) return;
  if (info.exists && info.size > 0) return;
  restoreNextArchive();
}

// ---------------------------------------------------------------------------------------------
// Figures

OutboxStore::Stats OutboxStore::stats() {
  Stats s;
  s.pending = pendingCount();
  s.ack_queue = static_cast<int32_t>(ack_queue_.size());
  s.known = static_cast<int32_t>(index_.size());
  s.discarded = discarded_;
  s.file_kb = FileSize(env_, active_path_) / 1024;
  s.dir_kb = shelf_.dirSizeKb();
  s.rotated = static_cast<int32_t>(shelf_.list().size());
  return s;
}

std::string OutboxStore::statsString() {
  const Stats s = stats();
  return fmt::format(
      "pending={}, ack_queue={}, known={}, discarded={}, file_kb={}, dir_kb={}, rotated={}",
      s.pending, s.ack_queue, s.known, s.discarded, s.file_kb, s.dir_kb, s.rotated);
}

OutboxStore::Figures OutboxStore::figures() {
  Figures f;
  f.pending_active = pendingCount();
  const ArchiveLedger& ledger = shelf_.ledger();
  f.pending_archives = ledger.records();
  for (const auto& [key, bytes] : index_) {  // the oldest pending key of the active file
    if (ack_queue_.count(key) != 0) continue;
    f.has_oldest = true;
    f.oldest_ts = key.timestamp;
    break;
  }
  int64_t archive_oldest = 0;
  if (ledger.OldestTs(&archive_oldest)) {
    f.oldest_ts = f.has_oldest ? std::min(f.oldest_ts, archive_oldest) : archive_oldest;
    f.has_oldest = true;
  }
  f.active_bytes = FileSize(env_, active_path_);
  for (const std::string& name : shelf_.list()) {
    f.archive_bytes += FileSize(env_, dir_ + "/" + name);
    ++f.archives;
  }
  f.dropped_cleanup = shelf_.dropped_cleanup();
  f.dropped_disk_full = shelf_.dropped_disk_full();
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
