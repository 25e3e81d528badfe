// OutboxStore: start-up, index, storing, acknowledging, flush and pending retrieval. Rotation,
// clean-up, archives and statistics live in outbox_rotation.cc.
//
// Failure policy: every file operation goes through env_. A failure never leaves a half-applied
// change behind: a failed append is cut back to the file's previous length, and a flush changes
// the in-memory state only after the rename of its complete temporary file has committed.
#include "outbox_store.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "base64.h"
#include "p7.h"
#include "record_format.h"

namespace kestova {

OutboxStore::OutboxStore(const OutboxStoreConfig& config, Env* env)
    : env_(env),
      dir_(config.dir),
      compress_(config.compress),
      max_file_kb_(config.max_file_kb),
      max_dir_kb_(config.max_dir_kb),
      rotation_cooldown_(config.rotation_cooldown),
      max_index_(config.max_index),
      sync_(config.sync) {
  ensureDir(dir_);  // start-up goes on without the directory; later operations report on their own

  const std::string temp = TempFilePath(activePath());
  if (env_->RemoveFile(temp) == 0) {
    SKV_LOG(P7::kWarning, "Removed stale temp file: %s", temp.c_str());
  }
  removeStaleArchiveTemps();

  rebuildIndex();
  startupRestore();

  SKV_LOG(P7::kInfo, "OutboxStore ready: %s (index: %zu entries)", dir_.c_str(), known_.size());
  SKV_LOG(P7::kInfo, "  max_file_kb=%d max_dir_kb=%d compress=%d cooldown=%ds max_index=%d",
          max_file_kb_, max_dir_kb_, compress_ ? 1 : 0, rotation_cooldown_, max_index_);
  logArchiveCount();
}

// Queued acknowledgements are not persisted: their lines stay in the active file and are pending
// again after the next start.
OutboxStore::~OutboxStore() = default;

// ---------------------------------------------------------------------------------------------
// Directory and index

bool OutboxStore::ensureDir(const std::string& path) {
  FileInfo info;
  if (env_->Stat(path, &info) == 0 && info.exists && info.is_directory) return true;
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
    int rc = env_->Stat(prefix.substr(0, prefix.size() - 1), &info);
    if (rc != 0 || !info.exists) {
      int err = env_->CreateDir(prefix, 0755);
      if (err != 0 && err != EEXIST) {
        SKV_LOG(P7::kError, "mkdir failed: %s (%s)", prefix.c_str(), std::strerror(err));
        return false;
      }
    } else if (!info.is_directory) {
      SKV_LOG(P7::kError, "Path exists but is not directory: %s", prefix.c_str());
      return false;
    }
  }
  return true;
}

std::string OutboxStore::activePath() const { return ActiveFilePath(dir_); }

void OutboxStore::rebuildIndex() {
  known_.clear();
  std::unique_ptr<SequentialFile> file;
  if (env_->NewSequentialFile(activePath(), &file) != 0) return;

  int32_t valid = 0;
  int32_t broken = 0;
  LineReader reader(file.get());
  std::string_view line;
  int64_t ts = 0;
  std::string msg_id;
  std::string error;
  while (reader.Next(&line)) {
    if (ParseRecordKey(line, &ts, &msg_id, &error)) {
      known_.insert(AckKey{ts, std::move(msg_id)});
      ++valid;
    } else {
      ++broken;
    }
  }
  if (reader.status() != 0) {
    // The lines after the failed read are not indexed; they are still in the file and are
    // offered by pending retrieval.
    SKV_LOG(P7::kError, "Index rebuild: read of %s failed: %s", activePath().c_str(),
            std::strerror(reader.status()));
  }
  if (broken != 0) {
    SKV_LOG(P7::kWarning, "Index rebuild: %d valid, %d broken lines", valid, broken);
  } else {
    SKV_LOG(P7::kInfo, "Index rebuild: %d entries", valid);
  }
}

int32_t OutboxStore::pendingCount() const {
  int32_t count = 0;
  for (const AckKey& key : known_) {
    if (ack_queue_.find(key) == ack_queue_.end()) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// Storing and acknowledging

bool OutboxStore::store(const uint8_t* payload, uint64_t len, int64_t timestamp,
                        const std::string& msg_id, const std::string& topic) {
  AckKey key{timestamp, msg_id};
  if (known_.count(key) != 0) {
    SKV_LOG(P7::kDebug, "Duplicate skipped: ts=%lld msg_id=%s", static_cast<long long>(timestamp),
            msg_id.c_str());
    return false;
  }
  if (ack_queue_.count(key) != 0) {
    SKV_LOG(P7::kDebug, "Already acked, skipped: ts=%lld msg_id=%s",
            static_cast<long long>(timestamp), msg_id.c_str());
    return false;
  }

  rotateIfNeeded();

  // Serialised before the file is touched: invalid UTF-8 throws from here and nothing is written.
  std::string line =
      FormatRecordLine(timestamp, msg_id, topic, base64_encode(payload, static_cast<size_t>(len)));

  const std::string path = activePath();
  FileInfo info;
  if (env_->Stat(path, &info) != 0) {
    // Without the current length a failed append could not be cut back.
    SKV_LOG(P7::kError, "Cannot open outbox file for append");
    return false;
  }
  const uint64_t old_size = info.exists ? info.size : 0;
  if (old_size > 0) {
    // A line torn by a crash or a full disk would swallow the new record; end it first, so the
    // fragment stays a broken line of its own. When the last byte cannot be read, the extra line
    // feed is harmless: an empty line is skipped by every reader.
    char last = '\n';
    if (env_->ReadLastByte(path, &last) != 0 || last != '\n') line.insert(line.begin(), '\n');
  }

  std::unique_ptr<WritableFile> file;
  if (env_->NewWritableFile(path, /*truncate=*/false, &file) != 0) {
    SKV_LOG(P7::kError, "Cannot open outbox file for append");
    return false;
  }
  int err = file->Append(line.data(), line.size());
  if (err == 0 && sync_) err = file->Sync();
  int close_err = file->Close();
  if (err == 0) err = close_err;
  if (err != 0) {
    SKV_LOG(P7::kError, "Write to outbox file failed: %s", std::strerror(err));
    // Whatever part of the line reached the file would otherwise stay as a torn line.
    if (int terr = env_->TruncateFile(path, old_size)) {
      SKV_LOG(P7::kError, "Cannot cut %s back to %llu bytes: %s", path.c_str(),
              static_cast<unsigned long long>(old_size), std::strerror(terr));
    }
    return false;
  }
  if (sync_ && !info.exists) env_->SyncDir(dir_);  // the new file's directory entry

  known_.insert(std::move(key));
  // The record of an evicted key stays in the file and is still offered by pending retrieval.
  while (static_cast<int32_t>(known_.size()) > max_index_) known_.erase(known_.begin());

  SKV_LOG(P7::kDebug, "Stored: ts=%lld msg_id=%s topic=%s (%zu bytes)",
          static_cast<long long>(timestamp), msg_id.c_str(), topic.c_str(),
          static_cast<size_t>(len));
  return true;
}

void OutboxStore::ackMessage(int64_t timestamp, const std::string& msg_id) {
  ack_queue_.insert(AckKey{timestamp, msg_id});
}

// ---------------------------------------------------------------------------------------------
// Flush

int32_t OutboxStore::flushAcks() {
  if (ack_queue_.empty()) return 0;

  const std::string path = activePath();
  std::unique_ptr<SequentialFile> in;
  if (env_->NewSequentialFile(path, &in) != 0) {
    ack_queue_.clear();  // nothing to compact: no queued key can have a line here
    return 0;
  }

  // The new file's content, every kept line exactly as read and ended by '\n'.
  std::string kept;
  FileInfo info;
  if (env_->Stat(path, &info) == 0) kept.reserve(static_cast<size_t>(info.size) + 1);
  size_t kept_lines = 0;
  int32_t flushed = 0;
  int32_t broken = 0;
  std::vector<const AckKey*> acked;  // keys of dropped lines; erased from known_ after the commit
  {
    LineReader reader(in.get());
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
      kept.append(line);
      kept += '\n';
      ++kept_lines;
    }
    if (reader.status() != 0) {
      // Rewriting from a partial read would drop every line after the failure.
      SKV_LOG(P7::kError, "flushAcks: read failed: %s, aborting flush",
              std::strerror(reader.status()));
      return 0;  // no temp file was created yet
    }
  }
  in.reset();

  const std::string temp = TempFilePath(path);
  auto abort_flush = [&] {
    env_->RemoveFile(temp);
    return 0;  // ack_queue_, known_ and the active file stay as they were; the next flush retries
  };

  std::unique_ptr<WritableFile> out;
  int err = env_->NewWritableFile(temp, /*truncate=*/true, &out);
  if (err == 0) {
    err = out->Append(kept.data(), kept.size());
    if (err == 0 && sync_) err = out->Sync();
    int close_err = out->Close();
    if (err == 0) err = close_err;  // a delayed write error shows up at close
  }
  if (err != 0) {
    SKV_LOG(P7::kError, "flushAcks: write to temp failed, aborting flush");
    return abort_flush();
  }
  out.reset();

  if ((err = env_->RenameFile(temp, path)) != 0) {
    SKV_LOG(P7::kError, "flushAcks: rename failed: %s", std::strerror(err));
    return abort_flush();
  }
  if (sync_) {
    if ((err = env_->SyncDir(dir_)) != 0) {
      SKV_LOG(P7::kWarning, "flushAcks: directory sync failed: %s", std::strerror(err));
    }
  }

  // Committed: the in-memory state follows the new file.
  for (const AckKey* key : acked) known_.erase(*key);
  discarded_ += broken;
  ack_queue_.clear();  // `acked` points into it; not used past here
  flushProgressStep(flushed);
  if (flushed != 0) {
    SKV_LOG(P7::kInfo, "Flushed %d messages (acked+broken), %zu remain", flushed, kept_lines);
  }
  flushNextArchiveStep(kept_lines);
  return flushed;
}

// ---------------------------------------------------------------------------------------------
// Pending retrieval

std::vector<PendingMessage> OutboxStore::getPending(int32_t n) {
  std::vector<PendingMessage> result;
  if (n < 1) return result;
  std::unique_ptr<SequentialFile> file;
  if (env_->NewSequentialFile(activePath(), &file) != 0) return result;

  LineReader reader(file.get());
  std::string_view line;
  RecordLine record;
  std::string error;
  AckKey probe;
  while (static_cast<int32_t>(result.size()) < n && reader.Next(&line)) {
    if (!ParseRecordLine(line, &record, &error)) {
      SKV_LOG(P7::kDebug, "getPending: skip broken line: %s", error.c_str());
      continue;
    }
    probe.timestamp = record.ts;
    probe.msg_id = std::move(record.msg_id);
    if (ack_queue_.count(probe) != 0) continue;  // acknowledged; waits for the next flush
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
  if (reader.status() != 0) {
    SKV_LOG(P7::kError, "getPending: read of %s failed: %s", activePath().c_str(),
            std::strerror(reader.status()));
  }
  return result;
}

}  // namespace kestova
