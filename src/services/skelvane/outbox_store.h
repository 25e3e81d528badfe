// OutboxStore: the on-disk outbox of captured messages and its in-memory index.
//
// The store owns one directory: the active file "outbox.jsonl" that every new record is appended
// to, the temporary file "outbox.jsonl.tmp" of a running flush, and rotated archives
// ("outbox.<stamp>[_k].jsonl[.gz]", kept by its ArchiveShelf). The line format is documented in
// record_format.h, the names in archive_name.h.
//
// The store itself keeps the index of the active file, the queue of acknowledgements, the active
// file (its append descriptor and what it knows of its end) and the hold on rotation after a
// restore. Code: outbox_store.cc (start-up, index, appends, pending retrieval) and
// outbox_rotation.cc (flush, rotation, restore, figures).
//
// Contract:
//   - One caller at a time: operations come from the service loop's turns, which run one at a
//     time and in order (on the MQTT library's thread or on main's), never overlapping; the
//     store takes no lock of its own.
//   - No file stays open between calls but the active file's append descriptor (see
//     append_file_). Every change of the active file other than an append is a rename of a
//     complete file, so a crash at any moment leaves either the old or the new version.
//   - File-system conditions, bad file content and text that cannot be stored never throw: they
//     are logged and reported through the result (a failed or refused append through
//     StoreResult, for its caller to log). The one exception is the constructor, which refuses an
//     outbox it cannot own or write (see there).
//   - One store per directory: the constructor takes an exclusive lock on "<dir>/outbox.lock" (an
//     empty file that is never deleted and never counts as an archive) and holds it until the
//     store is destroyed. Without it two stores would interleave appends and rename files under
//     each other.
//   - Nothing that was stored is lost by a failure of our own (full disk, failed rename): such
//     failures leave the files and the in-memory state as they were and are retried later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive_shelf.h"
#include "config.h"
#include "env.h"

namespace kestova {

// Identity of a message: ordered by timestamp (signed), then msg_id byte-wise (unsigned bytes,
// proper prefix first), which is std::string's own ordering.
struct AckKey {
  int64_t timestamp = 0;
  std::string msg_id;

  friend bool operator==(const AckKey&, const AckKey&) = default;
  friend bool operator<(const AckKey& a, const AckKey& b) {
    if (a.timestamp != b.timestamp) return a.timestamp < b.timestamp;
    return a.msg_id < b.msg_id;
  }
};

// A stored, unacknowledged message as read back from the active file.
struct PendingMessage {
  int64_t timestamp = 0;
  std::string msg_id;
  std::string topic;
  std::vector<uint8_t> payload;  // decoded bytes
};

// What became of a message given to OutboxStore::store.
struct StoreResult {
  enum class Kind { kStored, kDuplicate, kAlreadyAcked, kIoError, kRejected };
  Kind kind = Kind::kStored;
  // kIoError: the errno of the failed file operation, its message saying what failed, e.g. "Write
  // to outbox file failed: No space left on device" or "Cannot open outbox file for append:
  // Read-only file system". kRejected (msg_id or topic not valid UTF-8, so no record line can hold
  // it): EILSEQ with the JSON library's text, e.g. "[json.exception.type_error.316] invalid UTF-8
  // byte at index 3: 0xFF". Ok otherwise.
  Status status;
  bool stored() const { return kind == Kind::kStored; }
};

// The index of the active file: the identity of each record in it and the bytes of its line(s),
// line feeds included (what a compaction removes once the key is acknowledged).
using IndexMap = std::map<AckKey, uint32_t>;

class OutboxStore {
 public:
  // Creates the directory, locks it, removes stale temporary files, rebuilds the index and, when
  // the active file is missing or empty, restores the oldest archive; last, creates and removes
  // "<dir>/outbox.probe" to prove that files can be created there. Logs file conditions and goes
  // on, except for two that make the outbox unusable, which throw std::runtime_error:
  //   "outbox directory <dir> is in use by another process" (another store holds the lock, in
  //   this process or another), and
  //   "outbox directory <dir> is not writable: <strerror>" (the lock file or the probe cannot be
  //   created: not a directory, read-only file system, ...).
  explicit OutboxStore(const OutboxStoreConfig& config, Env* env = Env::Default());
  ~OutboxStore();
  OutboxStore(const OutboxStore&) = delete;
  OutboxStore& operator=(const OutboxStore&) = delete;

  // --- storing and acknowledging ---
  // Appends one record; stored() only when the whole record line is in the active file. A key that
  // is indexed or acknowledged is declined (debug line). An I/O failure leaves the file and the
  // index as they were and is not logged here: the caller decides what becomes of the message.
  // A msg_id or topic that is not valid UTF-8 is refused (kRejected) before anything is written.
  // A full active file is rotated first (rotateIfNeeded).
  StoreResult store(const uint8_t* payload, uint64_t len, int64_t timestamp,
                    const std::string& msg_id, const std::string& topic);
  void ackMessage(int64_t timestamp, const std::string& msg_id);
  // Whether `key` is in the index (the identities of the records in the active file).
  bool isIndexed(int64_t timestamp, const std::string& msg_id) const;
  // Indexed keys not acknowledged.
  int32_t pendingCount() const;

  // --- flush and retrieval ---
  // Rewrites the active file without acknowledged and broken lines, then, when nothing is left in
  // it, restores the next archive. Returns the lines removed. Queued keys that matched no line
  // (their records went into an archive first) are kept as late acknowledgements and applied when
  // that archive is restored. Also lets go of the append descriptor (see append_file_).
  int32_t flushAcks();
  // Chain step: compacts the active file only when acknowledged and broken lines make up at least
  // a quarter of its bytes (this includes a fully acknowledged file, which then empties and lets
  // the next archive be restored at once); otherwise touches no file. Returns the lines removed (0
  // when it did not compact).
  int32_t compactIfWorthwhile();
  // Up to n unacknowledged messages in file order. Reads from the first line not known to be
  // acknowledged (pending_from_), so a step of the resend chain costs the same at any depth of
  // the file.
  std::vector<PendingMessage> getPending(int32_t n);

  // --- rotation and clean-up ---
  // Archives the active file once it has reached max_file_kb, applying queued acknowledgements to
  // it first (they could not find their lines once these are in an archive).
  void rotateIfNeeded();
  // Deletes the oldest archives while the directory exceeds max_dir_kb.
  void cleanupRotated() { shelf_.cleanupRotated(); }
  // Deletes the oldest archive whatever the directory's size (for a full disk), logging `reason`.
  // False when there is none or it cannot be deleted. Never touches the active, lock or temporary
  // files.
  bool dropOldestArchive(const char* reason) { return shelf_.dropOldestArchive(reason); }

  // --- figures ---
  // What the status outputs report of the outbox; one pass over the directory.
  struct Figures {
    int64_t pending_active = 0;    // pendingCount()
    int64_t pending_archives = 0;  // records in the archives (noted at rotation, counted at start)
    bool has_oldest = false;       // whether oldest_ts means anything
    int64_t oldest_ts = 0;         // oldest pending time stamp, active file and archives
    int64_t active_bytes = 0;
    int64_t archive_bytes = 0;
    int64_t archives = 0;
    int64_t dropped_cleanup = 0;    // records in archives deleted at the directory limit
    int64_t dropped_disk_full = 0;  // records in archives deleted because the disk was full
    uint64_t bytes_written = 0;     // by the store since it was constructed
  };
  Figures figures();
  // One line for the maintenance log: "pending=.., ack_queue=.., known=.., discarded=..,
  // file_kb=.., dir_kb=.., rotated=..".
  std::string statsString();

  // --- state for tests and diagnostics (copies; each costs a copy of the sets) ---
  struct Snapshot {
    std::set<AckKey> known;      // the index's keys
    std::set<AckKey> ack_queue;  // acknowledged, not yet flushed
    std::set<AckKey> late_acks;  // acknowledged, their records in an archive
    int32_t discarded = 0;       // broken lines removed by flushes
    bool restored_active = false;
    int32_t restored_total = 0;
    int32_t restored_acked = 0;
    Env::SteadyTime rotation_allowed_at;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
  };
  Snapshot snapshot() const;
  // The index's keys and the ack queue alone, for callers that want nothing else.
  std::set<AckKey> known() const;
  const std::set<AckKey>& ackQueue() const { return ack_queue_; }

 private:
  bool ensureDir(const std::string& path);
  bool mkdirRecursive(const std::string& path);
  // Reads the active file into index_ (start-up and after a restore).
  void rebuildIndex();
  // Constructor: when the index is empty and the active file missing or empty, restore the oldest
  // archive.
  void startupRestore();
  // The shelf's restore copy, then the index of the restored file and the hold on rotation.
  bool restoreNextArchive();
  // flushAcks, right after its rename committed and ack_queue was emptied: restored-archive
  // progress.
  void flushProgressStep(int32_t flushed);
  // flushAcks, last step after a committed rewrite: when no line was kept, restore the next
  // archive.
  void flushNextArchiveStep(size_t kept_lines);
  // Clears restored_active_, restored_total_ and restored_acked_.
  void resetRestoreState();
  // Restore, right after the restored file was indexed: its keys among the late
  // acknowledgements join the ack queue, so they are neither pending nor resent.
  void applyLateAcks(const std::string& archive_name);
  // Lets go of what the store knows of the active file's current version: the append descriptor
  // and the pending position. Run by everything that rewrites, truncates or replaces the file.
  void forgetActiveFile();
  // flushAcks' body; rotateIfNeeded runs it without the restore that follows a drained file.
  int32_t applyAckQueue(bool restore_when_drained);
  // Applying the ack queue: empties it, keeping the keys that matched no line (all but those
  // `matched` points to) as late acknowledgements, at most max_index_ of them (the smallest go
  // first). Sorts *matched.
  void keepLateAcks(std::vector<const AckKey*>* matched);
  struct Stats {
    int32_t pending = 0;
    int32_t ack_queue = 0;
    int32_t known = 0;
    int32_t discarded = 0;
    int64_t file_kb = 0;
    int64_t dir_kb = 0;
    int32_t rotated = 0;
  };
  Stats stats();

  // store's way to the file, the one append path: line_buf_ (serialised already) goes through the
  // kept descriptor when one fstat vouches for it, otherwise through a new open that learns the
  // file's length and last byte first; a file at its size limit is rotated before that, a missing
  // directory created again. *index_changed: whether a rotation may have changed index_.
  StoreResult appendThroughSteps(bool* index_changed);
  // Writes line_buf_ (minus its first byte unless the file's last line is torn) through
  // append_file_ to the active file, found `old_size` bytes long, and keeps the descriptor. On
  // failure closes it and cuts the file back. Returns the Status of the failed write or sync.
  Status writeRecord(uint64_t old_size, bool torn);
  void trimBuffers();

  // Every file access goes through this wrapper of the given Env, which counts what is written.
  ByteCountingEnv counting_env_;
  Env* env_;
  std::string dir_;
  // The lock on "<dir>/outbox.lock", held for the store's life; released by the destructor.
  std::unique_ptr<FileLock> lock_;
  int32_t max_file_kb_;
  int32_t max_dir_kb_;
  bool compress_;
  int32_t rotation_cooldown_;
  int32_t max_index_;
  bool sync_;
  ArchiveShelf shelf_;
  IndexMap index_;
  std::set<AckKey> ack_queue_;
  // Acknowledged keys that matched no line of the active file when the queue was applied: their
  // records are in an archive (or nowhere). At most max_index_, the largest.
  std::set<AckKey> late_acks_;
  // The bytes a compaction would remove, as far as the store knows them: lines of indexed keys
  // that are in ack_queue_ (a key evicted from the index is not counted), and broken or empty
  // lines seen by the index rebuild.
  uint64_t acked_bytes_ = 0;
  uint64_t broken_bytes_ = 0;
  // The active file's size as the store's own operations left it (0: missing); -1 when unknown
  // (it could not be read), which keeps the resend chain from compacting.
  int64_t file_bytes_ = 0;
  // Where pending retrieval starts: the first line not known to be acknowledged; every line
  // before it is acknowledged (its key in ack_queue_), broken or empty. Kept by appends through
  // the kept descriptor; forgotten (0) by every rewrite, truncation or replacement of the file, by
  // a new open for appending (the file may have changed from outside) and whenever ack_queue_ is
  // emptied without a rewrite, since lines skipped as acknowledged would then be pending again.
  uint64_t pending_from_ = 0;
  int32_t discarded_ = 0;
  Env::SteadyTime rotation_allowed_at_ = Env::SteadyTime::min();
  bool restored_active_ = false;
  int32_t restored_total_ = 0;
  int32_t restored_acked_ = 0;
  // Derived from dir_ once; every operation opens it.
  std::string active_path_;
  // The record line being appended, kept between calls for its capacity only. Byte 0 is a line
  // feed, written only to end a torn last line of the file.
  std::string line_buf_;
  // The active file, open for appending since the last successful append, so that a capture
  // costs one fstat and one write instead of an open, a stat, a read of the last byte and a close.
  // While it is open, file_bytes_ is the end that append left, ending in its line feed: the tail
  // the store remembers, and the only one it trusts (a new open reads the last byte again). This
  // is safe because no other process writes the outbox (the lock on outbox.lock) and every
  // operation of ours that renames, truncates, rewrites or replaces the active file (flush,
  // rotation, restore, index rebuild) or fails an append closes it first (forgetActiveFile). What
  // others may still do is checked: each append fstats the descriptor and reopens the path when
  // the file lost its last name (deleted, or replaced by a rename) or its size is not the one we
  // left; and flushAcks, which the maintenance pass runs on its cadence, closes it, so a file
  // renamed away from outside (it keeps its link count) takes appends until that pass at most.
  std::unique_ptr<WritableFile> append_file_;
  // Buffers of the file readers and of the flush's output, kept between calls so that the
  // frequent flushes and reads of the resend chain do not map and fault in fresh pages each
  // time; given back after a call that made them unusually large (a huge line).
  std::string read_buf_;
  std::string write_buf_;
};

}  // namespace kestova
