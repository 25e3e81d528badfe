// OutboxStore: start-up, index, storing, acknowledging and pending retrieval. Flush, rotation,
// restore and figures live in outbox_rotation.cc.
//
// Failure policy: every file operation goes through env_. A failure never leaves a half-applied
// change behind: a failed append is cut back to the file's previous length, and a flush changes
// the in-memory state only after the rename of its complete temporary file has committed.
#include "outbox_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "archive_name.h"
#include "base64.h"
#include "line_reader.h"
#include "p7.h"
#include "record_format.h"
#include "record_reader.h"
#include "record_writer.h"

namespace kestova {
namespace {

uint32_t AddBytes(uint32_t a, uint64_t b) {
  return static_cast<uint32_t>(std::min<uint64_t>(a + b, std::numeric_limits<uint32_t>::max()));
}

// Larger buffers than this are not kept between calls.
constexpr size_t kKeptBuffer = 1 << 20;

constexpr char kOpenFailed[] = "Cannot open outbox file for append";
constexpr char kWriteFailed[] = "Write to outbox file failed";

StoreResult Outcome(StoreResult::Kind kind, Status status = {}) {
  return StoreResult{kind, std::move(status)};
}

StoreResult IoError(const char* what, const Status& cause) {
  return Outcome(StoreResult::Kind::kIoError,
                 Status::FromErrno(cause.code(), std::string(what) + ": " + cause.message()));
}

std::runtime_error NotWritable(const std::string& dir, int err) {
  return std::runtime_error("outbox directory " + dir + " is not writable: " + std::strerror(err));
}

}  // namespace

OutboxStore::OutboxStore(const OutboxStoreConfig& config, Env* env)
    : counting_env_(env),
      env_(&counting_env_),
      dir_(config.dir),
      max_file_kb_(config.max_file_kb),
      max_dir_kb_(config.max_dir_kb),
      compress_(config.compress),
      rotation_cooldown_(config.rotation_cooldown),
      max_index_(config.max_index),
      sync_(config.sync),
      shelf_(env_, config),
      active_path_(ActiveFilePath(config.dir)) {
  ensureDir(dir_);  // when it failed, so does the lock below
  // Before anything else touches the directory: another store in it would interleave appends
  // with ours and rename files under us.
  if (Status st = env_->LockFile(dir_ + "/" + kLockFileName, &lock_); !st.ok()) {
    if (st.code() == EWOULDBLOCK) {
      throw std::runtime_error("outbox directory " + dir_ + " is in use by another process");
    }
    throw NotWritable(dir_, st.code());
  }
  const std::string probe = dir_ + "/" + kProbeFileName;
  env_->RemoveFile(probe);  // left by a crash during the check at the end; nothing to report

  const std::string temp = TempFilePath(active_path_);
  if (env_->RemoveFile(temp).ok()) {
    SKV_LOG(P7::kWarning, "Removed stale temp file: %s", temp.c_str());
  }
  shelf_.removeStaleArchiveTemps();

  rebuildIndex();
  startupRestore();

  SKV_LOG(P7::kInfo, "OutboxStore ready: %s (index: %zu entries)", dir_.c_str(), index_.size());
  SKV_LOG(P7::kInfo, "  max_file_kb=%d max_dir_kb=%d compress=%d cooldown=%ds max_index=%d",
          max_file_kb_, max_dir_kb_, compress_ ? 1 : 0, rotation_cooldown_, max_index_);
  shelf_.logArchiveCount();

  // The lock file may have existed already; whether files can be created here is proved only by
  // creating one. Without that every capture would fail, one message at a time.
  std::unique_ptr<WritableFile> file;
  Status st = env_->NewWritableFile(probe, /*truncate=*/true, &file);
  if (st.ok()) {
    st = file->Close();
    const Status removed = env_->RemoveFile(probe);
    if (st.ok()) st = removed;
  }
  // A full disk is no reason to refuse service: captures are then held until space is freed.
  if (st.code() == ENOSPC || st.code() == EDQUOT) {
    SKV_LOG(P7::kWarning, "Outbox directory %s is full: %s", dir_.c_str(), st.message().c_str());
  } else if (!st.ok()) {
    throw NotWritable(dir_, st.code());
  }
}

// Queued acknowledgements are not persisted: their lines stay in the active file and are pending
// again after the next start. Destroying lock_ releases the directory to the next store.
OutboxStore::~OutboxStore() = default;

// ---------------------------------------------------------------------------------------------
// Directory and index

bool OutboxStore::ensureDir(const std::string& path) {
  FileInfo info;
  if (env_->Stat(path, &info).ok() && info.exists && info.is_directory) return true;
  if (mkdirRecursive(path)) {
    SKV_LOG(P7::kInfo, "Created directory: %s", path.c_str());
    return true;
  }
  SKV_LOG(P7::kError, "Failed to create directory: %s", path.c_str());
  return false;
}

bool OutboxStore::mkdirRecursive(const std::string& path) {
  if (path.empty()) return false;
  std::string prefix = path[0] == '/' ? "/" : "";
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string_view component(path.data() + pos, slash - pos);
    pos = slash + 1;
    if (component.empty()) continue;
    prefix.append(component);
    prefix += '/';
    // Looked up without the trailing '/': stat("file/") fails with ENOTDIR, which would hide a
    // regular file standing in the way.
    FileInfo info;
    if (!env_->Stat(prefix.substr(0, prefix.size() - 1), &info).ok() || !info.exists) {
      const Status st = env_->CreateDir(prefix, 0755);
      if (!st.ok() && st.code() != EEXIST) {
        SKV_LOG(P7::kError, "mkdir failed: %s (%s)", prefix.c_str(), st.message().c_str());
        return false;
      }
    } else if (!info.is_directory) {
      SKV_LOG(P7::kError, "Path exists but is not directory: %s", prefix.c_str());
      return false;
    }
  }
  return true;
}

void OutboxStore::rebuildIndex() {
  forgetActiveFile();  // a restore has just replaced the file
  index_.clear();
  acked_bytes_ = 0;
  broken_bytes_ = 0;
  file_bytes_ = 0;
  std::unique_ptr<SequentialFile> file;
  if (Status st = env_->NewSequentialFile(active_path_, &file); !st.ok()) {
    // A missing file is an empty outbox. Any other failure hides records that are still there:
    // they stay untouched (no restore replaces a non-empty active file, and a flush does not
    // rewrite one it cannot read) until the operator repairs the file.
    if (st.code() != ENOENT) {
      SKV_LOG(P7::kError, "Index rebuild: cannot open %s: %s", active_path_.c_str(),
              st.message().c_str());
      file_bytes_ = -1;
    }
    return;
  }

  int32_t valid = 0;
  int32_t broken = 0;
  LineReader reader(file.get(), {.buffer = &read_buf_, .empty_lines = true});
  std::string_view line;
  uint64_t line_start = 0;
  int64_t ts = 0;
  std::string msg_id;
  std::string error;
  while (reader.Next(&line)) {
    const uint64_t bytes = reader.offset() - line_start;
    line_start = reader.offset();
    if (line.empty()) {
      broken_bytes_ += bytes;  // neither valid nor broken, but gone after a compaction as well
    } else if (ParseRecordKey(line, &ts, &msg_id, &error)) {
      // Lines are in capture order, so a new key mostly sorts last: the end is the hint that
      // makes those inserts constant-time (a wrong hint costs a normal insert). A key on several
      // lines gets the bytes of all of them.
      auto it = index_.emplace_hint(index_.end(), AckKey{ts, std::move(msg_id)}, 0);
      it->second = AddBytes(it->second, bytes);
      ++valid;
    } else {
      broken_bytes_ += bytes;
      ++broken;
    }
  }
  file_bytes_ = static_cast<int64_t>(reader.offset());
  if (!reader.status().ok()) {
    // The lines after the failed read are not indexed; they are still in the file and are
    // offered by pending retrieval.
    SKV_LOG(P7::kError, "Index rebuild: read of %s failed: %s", active_path_.c_str(),
            reader.status().message().c_str());
    file_bytes_ = -1;
  }
  for (const AckKey& key : ack_queue_) {
    if (auto it = index_.find(key); it != index_.end()) acked_bytes_ += it->second;
  }
  if (broken != 0) {
    SKV_LOG(P7::kWarning, "Index rebuild: %d valid, %d broken lines", valid, broken);
  } else {
    SKV_LOG(P7::kInfo, "Index rebuild: %d entries", valid);
  }
  trimBuffers();
}

// ---------------------------------------------------------------------------------------------
// Storing and acknowledging

StoreResult OutboxStore::store(const uint8_t* payload, uint64_t len, int64_t timestamp,
                               const std::string& msg_id, const std::string& topic) {
  AckKey key{timestamp, msg_id};
  // One descent answers the duplicate test and finds where the key goes.
  const auto hint = index_.lower_bound(key);
  if (hint != index_.end() && hint->first == key) {
    SKV_LOG(P7::kDebug, "Duplicate skipped: ts=%lld msg_id=%s", static_cast<long long>(timestamp),
            msg_id.c_str());
    return Outcome(StoreResult::Kind::kDuplicate);
  }
  if (ack_queue_.count(key) != 0) {
    SKV_LOG(P7::kDebug, "Already acked, skipped: ts=%lld msg_id=%s",
            static_cast<long long>(timestamp), msg_id.c_str());
    return Outcome(StoreResult::Kind::kAlreadyAcked);
  }
  // Serialised before the file is touched: text that no record line can hold (invalid UTF-8) is
  // refused with nothing written. The writer's exception ends here; callers see an outcome.
  line_buf_.assign(1, '\n');
  try {
    AppendRecordLine(&line_buf_, timestamp, msg_id, topic, payload, static_cast<size_t>(len));
  } catch (const nlohmann::json::exception& e) {
    return Outcome(StoreResult::Kind::kRejected, Status::FromErrno(EILSEQ, e.what()));
  }

  bool index_changed = false;
  StoreResult result = appendThroughSteps(&index_changed);
  if (!result.stored()) return result;
  // The line's bytes: line_buf_ but its first byte. A rotation clears index_, so the hint is good
  // only when none ran.
  const uint32_t bytes = AddBytes(0, line_buf_.size() - 1);
  if (index_changed) {
    index_.emplace(std::move(key), bytes);
  } else {
    index_.emplace_hint(hint, std::move(key), bytes);
  }
  // The record of an evicted key stays in the file and is still offered by pending retrieval.
  while (static_cast<int32_t>(index_.size()) > max_index_) {
    if (ack_queue_.count(index_.begin()->first) != 0) acked_bytes_ -= index_.begin()->second;
    index_.erase(index_.begin());
  }

  SKV_LOG(P7::kDebug, "Stored: ts=%lld msg_id=%s topic=%s (%zu bytes)",
          static_cast<long long>(timestamp), msg_id.c_str(), topic.c_str(),
          static_cast<size_t>(len));
  return StoreResult{};
}

StoreResult OutboxStore::appendThroughSteps(bool* index_changed) {
  const uint64_t limit =
      max_file_kb_ > 0 ? uint64_t{static_cast<uint32_t>(max_file_kb_)} * 1024 : 0;
  FileInfo info;
  // The common case: still the file our last append left, not removed or renamed over and of the
  // size it left, so its last byte is that append's line feed; one fstat tells.
  uint64_t size = 0;
  bool existed = true;
  if (append_file_ != nullptr && append_file_->Stat(&info).ok() && info.links > 0 &&
      static_cast<int64_t>(info.size) == file_bytes_) {
    size = info.size;
  } else {
    // What a new open finds may not be the file pending retrieval read (removed, replaced or
    // grown from outside). Without its current length a failed append could not be cut back.
    forgetActiveFile();
    if (Status st = env_->Stat(active_path_, &info); !st.ok()) return IoError(kOpenFailed, st);
    existed = info.exists;
    size = existed ? info.size : 0;
  }
  if (size >= limit) {
    append_file_.reset();  // closed before a rotation moves the file
    *index_changed = true;
    rotateIfNeeded();
    if (Status st = env_->Stat(active_path_, &info); !st.ok()) return IoError(kOpenFailed, st);
    existed = info.exists;
    size = existed ? info.size : 0;
  }

  bool torn = false;
  if (append_file_ == nullptr) {
    if (size > 0) {
      // When the last byte cannot be read, the extra line feed is harmless: an empty line is
      // skipped by every reader.
      char last = '\n';
      torn = !env_->ReadLastByte(active_path_, &last).ok() || last != '\n';
    }
    Status st = env_->NewWritableFile(active_path_, /*truncate=*/false, &append_file_);
    FileInfo dir_info;
    if (st.code() == ENOENT && env_->Stat(dir_, &dir_info).ok() && !dir_info.exists) {
      // The directory went away under the running service; without it every later append would
      // fail the same way. One attempt per append.
      SKV_LOG(P7::kWarning, "Outbox directory %s is missing, creating it again", dir_.c_str());
      if (ensureDir(dir_)) {
        st = env_->NewWritableFile(active_path_, /*truncate=*/false, &append_file_);
      }
    }
    if (!st.ok()) return IoError(kOpenFailed, st);
  }
  if (Status st = writeRecord(size, torn); !st.ok()) return IoError(kWriteFailed, st);
  if (sync_ && !existed) env_->SyncDir(dir_);  // the new file's directory entry
  return StoreResult{};
}

Status OutboxStore::writeRecord(uint64_t old_size, bool torn) {
  // A line torn by a crash or a full disk would swallow the new record; it is ended first, so the
  // fragment stays a broken line of its own.
  const size_t skip = torn ? 0 : 1;
  // The descriptor stays open, so a delayed write error that only a close would report goes
  // unseen, as one the page cache meets after a close does; with sync on, the fsync of every
  // append reports it.
  Status st = append_file_->Append(line_buf_.data() + skip, line_buf_.size() - skip);
  if (st.ok() && sync_) st = append_file_->Sync();
  if (st.ok()) {
    file_bytes_ = static_cast<int64_t>(old_size + line_buf_.size() - skip);
    return st;
  }
  forgetActiveFile();
  file_bytes_ = static_cast<int64_t>(old_size);
  // Whatever part of the line reached the file would otherwise stay as a torn line.
  if (Status cut = env_->TruncateFile(active_path_, old_size); !cut.ok()) {
    SKV_LOG(P7::kError, "Cannot cut %s back to %llu bytes: %s", active_path_.c_str(),
            static_cast<unsigned long long>(old_size), cut.message().c_str());
    file_bytes_ = -1;
  }
  return st;
}

void OutboxStore::ackMessage(int64_t timestamp, const std::string& msg_id) {
  const auto [key, added] = ack_queue_.insert(AckKey{timestamp, msg_id});
  if (!added) return;
  if (auto it = index_.find(*key); it != index_.end()) acked_bytes_ += it->second;
}

bool OutboxStore::isIndexed(int64_t timestamp, const std::string& msg_id) const {
  return index_.count(AckKey{timestamp, msg_id}) != 0;
}

int32_t OutboxStore::pendingCount() const {
  int32_t count = 0;
  for (const auto& [key, bytes] : index_) {
    if (ack_queue_.find(key) == ack_queue_.end()) ++count;
  }
  return count;
}

void OutboxStore::forgetActiveFile() {
  // Closing reports nothing worth knowing: every append was written (and with sync on, synced).
  append_file_.reset();
  pending_from_ = 0;
}

void OutboxStore::trimBuffers() {
  if (read_buf_.capacity() > kKeptBuffer) std::string().swap(read_buf_);
  if (write_buf_.capacity() > kKeptBuffer) std::string().swap(write_buf_);
}

std::set<AckKey> OutboxStore::known() const {
  std::set<AckKey> keys;
  for (const auto& entry : index_) keys.insert(keys.end(), entry.first);
  return keys;
}

OutboxStore::Snapshot OutboxStore::snapshot() const {
  return Snapshot{known(),          ack_queue_,      late_acks_,      discarded_,
                  restored_active_, restored_total_, restored_acked_, rotation_allowed_at_};
}

// ---------------------------------------------------------------------------------------------
// Pending retrieval

std::vector<PendingMessage> OutboxStore::getPending(int32_t n) {
  std::vector<PendingMessage> result;
  if (n < 1) return result;
  std::unique_ptr<SequentialFile> file;
  if (!env_->NewSequentialFile(active_path_, &file).ok()) return result;
  if (pending_from_ != 0 && !file->Skip(pending_from_).ok()) {
    pending_from_ = 0;  // from the start then, on a new descriptor
    if (!env_->NewSequentialFile(active_path_, &file).ok()) return result;
  }

  LineReader reader(file.get(),
                    {.buffer = &read_buf_, .start = pending_from_, .empty_lines = true});
  bool head = true;  // every line so far is acknowledged or broken
  const auto skip = [&] {
    if (head) pending_from_ = reader.offset();
  };
  std::string_view line;
  RecordLine record;
  std::string error;
  AckKey probe;
  while (static_cast<int32_t>(result.size()) < n && reader.Next(&line)) {
    if (line.empty()) {
      skip();
      continue;
    }
    if (!ParseRecordLine(line, &record, &error)) {
      SKV_LOG(P7::kDebug, "getPending: skip broken line: %s", error.c_str());
      skip();
      continue;
    }
    probe.timestamp = record.ts;
    probe.msg_id = std::move(record.msg_id);
    if (ack_queue_.count(probe) != 0) {  // acknowledged; waits for the next compaction
      skip();
      continue;
    }
    head = false;
    if (!record.body_error.empty()) {
      SKV_LOG(P7::kDebug, "getPending: skip broken line: %s", record.body_error.c_str());
      continue;
    }
    PendingMessage msg;
    msg.timestamp = probe.timestamp;
    msg.msg_id = std::move(probe.msg_id);
    msg.topic = std::move(record.topic);
    msg.payload = base64_decode(record.payload);
    result.push_back(std::move(msg));
  }
  if (!reader.status().ok()) {
    SKV_LOG(P7::kError, "getPending: read of %s failed: %s", active_path_.c_str(),
            reader.status().message().c_str());
  }
  trimBuffers();
  return result;
}

}  // namespace kestova
