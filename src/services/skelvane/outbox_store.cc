// OutboxStore: start-up, index, storing, acknowledging, flush and pending retrieval. Rotation,
// clean-up, archives and statistics live in outbox_rotation.cc.
//
// Failure policy: every file operation goes through env_. A failure never leaves a half-applied
// change behind: a failed append is cut back to the file's previous length, and a flush changes
// the in-memory state only after the rename of its complete temporary file has committed.
#include "outbox_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "base64.h"
#include "p7.h"
#include "record_format.h"

namespace kestova {
namespace {

// Output buffer of a flush: large enough that the rewrite costs few write calls, small enough to
// leave no mark on the resident size.
constexpr size_t kFlushChunk = 128 * 1024;
// Larger buffers than this are not kept between calls.
constexpr size_t kKeptBuffer = 1 << 20;

constexpr char kLockFileName[] = "outbox.lock";
constexpr char kProbeFileName[] = "outbox.probe";
constexpr char kOpenFailed[] = "Cannot open outbox file for append";
constexpr char kWriteFailed[] = "Write to outbox file failed";

StoreResult Outcome(StoreResult::Kind kind) {
  StoreResult result;
  result.kind = kind;
  return result;
}

StoreResult IoError(const char* what, int err) {
  StoreResult result = Outcome(StoreResult::Kind::kIoError);
  result.error_number = err;
  result.error = std::string(what) + ": " + std::strerror(err);
  return result;
}

std::runtime_error NotWritable(const std::string& dir, int err) {
  return std::runtime_error("outbox directory " + dir + " is not writable: " + std::strerror(err));
}

// Splits a file into lines under the reading rules of LineReader (record_format.h, rules 1 and 2)
// and also tells where in the file each line ends, which LineReader does not: the index needs the
// bytes of every line and pending retrieval the place to resume from. Zero-length lines are
// returned too, so that their bytes are accounted for; callers skip them. Reads start small (a
// step of the resend chain wants one line) and grow to LineReader's chunk.
class LineScanner {
 public:
  // `start`: the file offset at which `file` reads next.
  LineScanner(SequentialFile* file, std::string* buffer, uint64_t start)
      : file_(file), buf_(*buffer), base_(start) {}

  // The next line without its '\n'; valid until the next call. False at the end of the file and
  // after a read error (status()).
  bool Next(std::string_view* line) {
    for (;;) {
      if (const void* p = std::memchr(buf_.data() + scan_, '\n', end_ - scan_)) {
        const size_t nl = static_cast<size_t>(static_cast<const char*>(p) - buf_.data());
        *line = std::string_view(buf_.data() + begin_, nl - begin_);
        begin_ = scan_ = nl + 1;
        return true;
      }
      scan_ = end_;
      if (status_ != 0) return false;
      if (eof_) {
        if (begin_ == end_) return false;
        *line = std::string_view(buf_.data() + begin_, end_ - begin_);  // last, unterminated line
        begin_ = scan_ = end_;
        return true;
      }
      // Keep only the unfinished line; the buffer grows geometrically for a long one.
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      base_ += begin_;
      end_ -= begin_;
      scan_ -= begin_;
      begin_ = 0;
      const size_t want = next_read_;
      next_read_ = std::min(next_read_ * 2, LineReader::kDefaultChunk);
      if (buf_.size() - end_ < want) buf_.resize(std::max(buf_.size() * 2, end_ + want));
      size_t got = 0;
      // At most `want` even into a larger buffer, so that the first reads stay small.
      if ((status_ = file_->Read(want, buf_.data() + end_, &got)) != 0) return false;
      eof_ = got == 0;
      end_ += got;
    }
  }
  // The file offset just past the last line returned, its line feed included.
  uint64_t offset() const { return base_ + begin_; }
  int status() const { return status_; }

 private:
  SequentialFile* file_;
  std::string& buf_;  // bytes [0, end_) hold file bytes from offset base_ on
  uint64_t base_;
  size_t begin_ = 0;  // start of the unconsumed data
  size_t scan_ = 0;   // bytes before this hold no '\n'
  size_t end_ = 0;
  size_t next_read_ = 4096;
  bool eof_ = false;
  int status_ = 0;
};

uint32_t AddBytes(uint32_t a, uint64_t b) {
  return static_cast<uint32_t>(std::min<uint64_t>(a + b, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

std::set<AckKey> OutboxStore::known() const {
  std::set<AckKey> keys;
  for (const auto& entry : index_) keys.insert(keys.end(), entry.first);
  return keys;
}

OutboxStore::OutboxStore(const OutboxStoreConfig& config, Env* env)
    : counting_env_(env),
      env_(&counting_env_),
      dir_(config.dir),
      compress_(config.compress),
      max_file_kb_(config.max_file_kb),
      max_dir_kb_(config.max_dir_kb),
      rotation_cooldown_(config.rotation_cooldown),
      max_index_(config.max_index),
      sync_(config.sync),
      active_path_(ActiveFilePath(config.dir)) {
  ensureDir(dir_);  // when it failed, so does the lock below
  // Before anything else touches the directory: another store in it would interleave appends
  // with ours and rename files under us.
  if (int err = env_->LockFile(dir_ + "/" + kLockFileName, &lock_)) {
    if (err == EWOULDBLOCK) {
      throw std::runtime_error("outbox directory " + dir_ + " is in use by another process");
    }
    throw NotWritable(dir_, err);
  }
  const std::string probe = dir_ + "/" + kProbeFileName;
  env_->RemoveFile(probe);  // left by a crash during the check at the end; nothing to report

  const std::string temp = TempFilePath(activePath());
  if (env_->RemoveFile(temp) == 0) {
    SKV_LOG(P7::kWarning, "Removed stale temp file: %s", temp.c_str());
  }
  removeStaleArchiveTemps();

  rebuildIndex();
  startupRestore();

  SKV_LOG(P7::kInfo, "OutboxStore ready: %s (index: %zu entries)", dir_.c_str(), index_.size());
  SKV_LOG(P7::kInfo, "  max_file_kb=%d max_dir_kb=%d compress=%d cooldown=%ds max_index=%d",
          max_file_kb_, max_dir_kb_, compress_ ? 1 : 0, rotation_cooldown_, max_index_);
  logArchiveCount();

  // The lock file may have existed already; whether files can be created here is proved only by
  // creating one. Without that every capture would fail, one message at a time.
  std::unique_ptr<WritableFile> file;
  int err = env_->NewWritableFile(probe, /*truncate=*/true, &file);
  if (err == 0) {
    err = file->Close();
    const int remove_err = env_->RemoveFile(probe);
    if (err == 0) err = remove_err;
  }
  // A full disk is no reason to refuse service: captures are then held until space is freed.
  if (err == ENOSPC || err == EDQUOT) {
    SKV_LOG(P7::kWarning, "Outbox directory %s is full: %s", dir_.c_str(), std::strerror(err));
  } else if (err != 0) {
    throw NotWritable(dir_, err);
  }
}

// Queued acknowledgements are not persisted: their lines stay in the active file and are pending
// again after the next start. Destroying lock_ releases the directory to the next store.
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
  forgetActiveFile();  // a restore has just replaced the file
  index_.clear();
  acked_bytes_ = 0;
  broken_bytes_ = 0;
  file_bytes_ = 0;
  std::unique_ptr<SequentialFile> file;
  if (int err = env_->NewSequentialFile(active_path_, &file)) {
    // A missing file is an empty outbox. Any other failure hides records that are still there:
    // they stay untouched (no restore replaces a non-empty active file, and a flush does not
    // rewrite one it cannot read) until the operator repairs the file.
    if (err != ENOENT) {
      SKV_LOG(P7::kError, "Index rebuild: cannot open %s: %s", active_path_.c_str(),
              std::strerror(err));
      file_bytes_ = -1;
    }
    return;
  }

  int32_t valid = 0;
  int32_t broken = 0;
  LineScanner reader(file.get(), &read_buf_, 0);
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
  if (reader.status() != 0) {
    // The lines after the failed read are not indexed; they are still in the file and are
    // offered by pending retrieval.
    SKV_LOG(P7::kError, "Index rebuild: read of %s failed: %s", activePath().c_str(),
            std::strerror(reader.status()));
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

void OutboxStore::trimBuffers() {
  if (read_buf_.capacity() > kKeptBuffer) std::string().swap(read_buf_);
  if (write_buf_.capacity() > kKeptBuffer) std::string().swap(write_buf_);
}

int32_t OutboxStore::pendingCount() const {
  int32_t count = 0;
  for (const auto& [key, bytes] : index_) {
    if (ack_queue_.find(key) == ack_queue_.end()) ++count;
  }
  return count;
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

  const size_t size = static_cast<size_t>(len);
  int err = 0;
  switch (appendThroughOneOpen(timestamp, msg_id, topic, payload, size, &err)) {
    case Append::kDone:
      // Nothing touched index_ since the lookup. The line's bytes: line_buf_ but its first byte.
      index_.emplace_hint(hint, std::move(key), AddBytes(0, line_buf_.size() - 1));
      break;
    case Append::kFailed:
      return IoError(kWriteFailed, err);
    case Append::kNotTaken: {
      // The rotation these steps may run clears index_, so the hint may no longer be valid.
      StoreResult result = appendThroughSteps(timestamp, msg_id, topic, payload, size);
      if (!result.stored()) return result;
      index_.emplace(std::move(key), AddBytes(0, line_buf_.size() - 1));
      break;
    }
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

// The common case: the active file exists and is below its rotation limit. The descriptor kept
// from the last append (one fstat vouches for it) or one open gives the descriptor to append
// through, the size (so rotateIfNeeded, which would find nothing to do, is skipped) and the last
// byte (for the torn-line check).
OutboxStore::Append OutboxStore::appendThroughOneOpen(int64_t timestamp, const std::string& msg_id,
                                                      const std::string& topic,
                                                      const uint8_t* payload, size_t len,
                                                      int* err) {
  uint64_t size = 0;
  bool torn = false;
  FileInfo info;
  // Still the file our last append left: not removed or renamed over, and of the size it left,
  // so its last byte is that append's line feed. Anything else is found out by a new open.
  if (append_file_ != nullptr && append_file_->Stat(&info) == 0 && info.links > 0 &&
      static_cast<int64_t>(info.size) == file_bytes_) {
    size = info.size;
  } else {
    // What a new open finds may not be the file pending retrieval read (removed, replaced or
    // grown from outside).
    forgetActiveFile();
    FileTail tail;
    if (env_->NewAppendableFile(active_path_, nullptr, &append_file_, &tail) != 0) {
      return Append::kNotTaken;
    }
    size = tail.size;
    torn = tail.size > 0 && (!tail.last_byte_known || tail.last_byte != '\n');
  }
  const uint64_t limit =
      max_file_kb_ > 0 ? uint64_t{static_cast<uint32_t>(max_file_kb_)} * 1024 : 0;
  if (size >= limit) {
    append_file_.reset();  // closed before a rotation moves the file
    return Append::kNotTaken;
  }

  // Serialised before anything is written: invalid UTF-8 throws from here and the file stays
  // unchanged.
  line_buf_.assign(1, '\n');
  AppendRecordLine(&line_buf_, timestamp, msg_id, topic, payload, len);
  *err = writeRecord(size, torn);
  return *err == 0 ? Append::kDone : Append::kFailed;
}

StoreResult OutboxStore::appendThroughSteps(int64_t timestamp, const std::string& msg_id,
                                            const std::string& topic, const uint8_t* payload,
                                            size_t len) {
  rotateIfNeeded();

  // Serialised before the file is touched: invalid UTF-8 throws from here and nothing is written.
  line_buf_.assign(1, '\n');
  AppendRecordLine(&line_buf_, timestamp, msg_id, topic, payload, len);

  FileInfo info;
  // Without the current length a failed append could not be cut back.
  if (int err = env_->Stat(active_path_, &info)) return IoError(kOpenFailed, err);
  const uint64_t old_size = info.exists ? info.size : 0;
  bool torn = false;
  if (old_size > 0) {
    // When the last byte cannot be read, the extra line feed is harmless: an empty line is
    // skipped by every reader.
    char last = '\n';
    torn = env_->ReadLastByte(active_path_, &last) != 0 || last != '\n';
  }

  std::unique_ptr<WritableFile>& file = append_file_;
  int err = env_->NewWritableFile(active_path_, /*truncate=*/false, &file);
  FileInfo dir_info;
  if (err == ENOENT && env_->Stat(dir_, &dir_info) == 0 && !dir_info.exists) {
    // The directory went away under the running service; without it every later append would
    // fail the same way. One attempt per append.
    SKV_LOG(P7::kWarning, "Outbox directory %s is missing, creating it again", dir_.c_str());
    if (ensureDir(dir_)) err = env_->NewWritableFile(active_path_, /*truncate=*/false, &file);
  }
  if (err != 0) return IoError(kOpenFailed, err);
  if ((err = writeRecord(old_size, torn)) != 0) return IoError(kWriteFailed, err);
  if (sync_ && !info.exists) env_->SyncDir(dir_);  // the new file's directory entry
  return StoreResult{};
}

int OutboxStore::writeRecord(uint64_t old_size, bool torn) {
  // A line torn by a crash or a full disk would swallow the new record; it is ended first, so the
  // fragment stays a broken line of its own.
  const size_t skip = torn ? 0 : 1;
  // The descriptor stays open, so a delayed write error that only a close would report goes
  // unseen, as one the page cache meets after a close does; with sync on, the fsync of every
  // append reports it.
  int err = append_file_->Append(line_buf_.data() + skip, line_buf_.size() - skip);
  if (err == 0 && sync_) err = append_file_->Sync();
  if (err == 0) {
    file_bytes_ = static_cast<int64_t>(old_size + line_buf_.size() - skip);
    return 0;
  }
  forgetActiveFile();
  file_bytes_ = static_cast<int64_t>(old_size);
  // Whatever part of the line reached the file would otherwise stay as a torn line.
  if (int terr = env_->TruncateFile(active_path_, old_size)) {
    SKV_LOG(P7::kError, "Cannot cut %s back to %llu bytes: %s", active_path_.c_str(),
            static_cast<unsigned long long>(old_size), std::strerror(terr));
    file_bytes_ = -1;
  }
  return err;
}

void OutboxStore::ackMessage(int64_t timestamp, const std::string& msg_id) {
  const auto [key, added] = ack_queue_.insert(AckKey{timestamp, msg_id});
  if (!added) return;
  if (auto it = index_.find(*key); it != index_.end()) acked_bytes_ += it->second;
}

void OutboxStore::forgetActiveFile() {
  // Closing reports nothing worth knowing: every append was written (and with sync on, synced).
  append_file_.reset();
  pending_from_ = 0;
}

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

bool OutboxStore::isIndexed(int64_t timestamp, const std::string& msg_id) const {
  return index_.count(AckKey{timestamp, msg_id}) != 0;
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
  if (int err = env_->NewSequentialFile(path, &in)) {
    if (err == ENOENT) {
      // Nothing to compact: no queued key can have a line here.
      std::vector<const AckKey*> none;
      keepLateAcks(&none);
      file_bytes_ = 0;
    } else {
      // The queued keys may well have lines in the file that cannot be read now.
      SKV_LOG(P7::kError, "flushAcks: cannot open %s: %s, aborting flush", path.c_str(),
              std::strerror(err));
    }
    return 0;
  }

  // The new file is written while the old one is read, through a buffer of bounded size, so a
  // flush holds a chunk of the file in memory rather than all of it. A failed write is only
  // noted here: the reading goes on, so every broken line is reported as it would be otherwise,
  // and a read failure, which aborts as well, is what gets reported when both happen.
  const std::string temp = TempFilePath(path);
  std::unique_ptr<WritableFile> out;
  int write_err = env_->NewWritableFile(temp, /*truncate=*/true, &out);
  std::string& chunk = write_buf_;
  chunk.clear();
  chunk.reserve(kFlushChunk);
  auto write_chunk = [&] {
    if (write_err == 0 && !chunk.empty()) write_err = out->Append(chunk.data(), chunk.size());
    chunk.clear();
  };

  size_t kept_lines = 0;
  uint64_t kept_bytes = 0;
  int32_t flushed = 0;
  int32_t broken = 0;
  std::vector<const AckKey*> acked;  // keys of dropped lines; erased from index_ after the commit
  {
    LineReader reader(in.get(), &read_buf_);
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
    if (reader.status() != 0) {
      // Rewriting from a partial read would drop every line after the failure.
      SKV_LOG(P7::kError, "flushAcks: read failed: %s, aborting flush",
              std::strerror(reader.status()));
      out.reset();
      env_->RemoveFile(temp);
      trimBuffers();
      return 0;  // ack_queue_, index_ and the active file stay as they were
    }
  }
  in.reset();
  write_chunk();
  trimBuffers();

  auto abort_flush = [&] {
    env_->RemoveFile(temp);
    return 0;  // ack_queue_, index_ and the active file stay as they were; the next flush retries
  };

  if (out != nullptr) {
    if (write_err == 0 && sync_) write_err = out->Sync();
    int close_err = out->Close();
    if (write_err == 0) write_err = close_err;  // a delayed write error shows up at close
  }
  if (write_err != 0) {
    SKV_LOG(P7::kError, "flushAcks: write to temp failed, aborting flush");
    return abort_flush();
  }
  out.reset();

  int err = 0;
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
// Pending retrieval

std::vector<PendingMessage> OutboxStore::getPending(int32_t n) {
  std::vector<PendingMessage> result;
  if (n < 1) return result;
  std::unique_ptr<SequentialFile> file;
  if (env_->NewSequentialFile(active_path_, &file) != 0) return result;
  if (pending_from_ != 0 && file->Skip(pending_from_) != 0) {
    pending_from_ = 0;  // from the start then, on a new descriptor
    if (env_->NewSequentialFile(active_path_, &file) != 0) return result;
  }

  LineScanner reader(file.get(), &read_buf_, pending_from_);
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
  if (reader.status() != 0) {
    SKV_LOG(P7::kError, "getPending: read of %s failed: %s", activePath().c_str(),
            std::strerror(reader.status()));
  }
  trimBuffers();
  return result;
}

}  // namespace kestova
