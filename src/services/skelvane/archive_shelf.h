// ArchiveShelf: the rotated archives of one outbox directory: listing, naming, compression, the
// restore copy, clean-up, and what is known of their records (the ledger).
//
// Invariants:
//   - An archive name exists only for a complete archive: a copy is written under a temporary name
//     (archive_name.h) and committed by rename (file_commit.h).
//   - The source of a copy is given up (active file emptied, archive deleted) only after the copy
//     has been committed, so every record is in at least one file at every moment; with sync on,
//     a committed copy is on the device (data and directory entry) before its source is given up.
//   - Archive names sort in rotation order (archive_name.h): a new name sorts after every existing
//     archive, however often the file rotates in a second and wherever the wall clock steps.
// Failures are logged here and leave the files as they were; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive_ledger.h"
#include "config.h"
#include "env.h"
#include "io_status.h"

namespace kestova {

// Bare names of the rotated archives in `dir`, in archive order (archive_name.h), oldest first.
// Only regular files (or links to one) count: a directory or other non-file under an archive's name
// holds no records.
std::vector<std::string> listRotated(Env* env, const std::string& dir);

class ArchiveShelf {
 public:
  // `env` must outlive the shelf. Uses config.dir, compress, sync and max_dir_kb.
  ArchiveShelf(Env* env, const OutboxStoreConfig& config);
  ArchiveShelf(const ArchiveShelf&) = delete;
  ArchiveShelf& operator=(const ArchiveShelf&) = delete;

  std::vector<std::string> list() const { return listRotated(env_, dir_); }
  // The path of the next archive: sorts after every archive and names no existing file.
  std::string makeRotatedName() const;
  // Gzip copy of `source` committed as `target`. A failure is logged here and returned; it leaves
  // no target and no temporary file.
  Status compressFile(const std::string& source, const std::string& target);
  // Plain copy of the gzip archive `source` committed as `target`; ok only for a complete copy.
  Status decompressFile(const std::string& source, const std::string& target);
  // Size of every file in the directory, active and lock files included, in KiB.
  int64_t dirSizeKb() const;

  // Deletes the oldest archives while the directory exceeds max_dir_kb.
  void cleanupRotated();
  // Deletes the oldest archive whatever the directory's size (for a full disk), logging `reason`.
  // False when there is none or it cannot be deleted.
  bool dropOldestArchive(const char* reason);
  // The restore copy: makes the oldest archive the content of the (missing or empty) active file
  // `active`: a plain archive by rename, a gzip one by decompression (a damaged stream gives its
  // complete lines; one that yields none is deleted). True with its bare name in *name when the
  // active file holds the archive's records and the archive is gone; false leaves the active file
  // as it was (logged, unless there is no archive).
  bool restoreNextArchive(const std::string& active, std::string* name);

  // Start-up: removes copies cut short by a crash (IsStaleCopyName), with a warning.
  void removeStaleArchiveTemps();
  // Start-up, last: logs how many archives wait for delivery and counts the records in each.
  void logArchiveCount();

  // Rotation: the archive `name` (bare) was committed holding `entry`.
  void noteRotation(const std::string& name, const ArchiveLedger::Entry& entry) {
    ledger_.Note(name, entry);
  }
  const ArchiveLedger& ledger() const { return ledger_; }
  // Records in archives deleted at the directory limit, and because the disk was full.
  int64_t dropped_cleanup() const { return dropped_cleanup_; }
  int64_t dropped_disk_full() const { return dropped_disk_full_; }

 private:
  int64_t dirBytes() const;

  // How decompressing an archive ended, as far as the restore has to tell the cases apart.
  enum class Copy {
    kComplete,    // target holds the whole content
    kSalvaged,    // the stream is damaged; target holds the complete lines before the damage
    kUnusable,    // nothing can be recovered from the source; no target written
    kRetryLater,  // a failure on our side (target not writable, rename, read error); no target
  };
  struct CopyResult {
    Copy outcome = Copy::kComplete;
    Status status;             // the cause, unless complete
    uint64_t saved_lines = 0;  // kComplete, kSalvaged: lines in the target
  };
  // decompressFile's body. With `salvage`, a damaged stream that still yielded complete lines
  // commits them (kSalvaged).
  CopyResult decompressArchive(const std::string& source, const std::string& target, bool salvage);

  Env* env_;
  std::string dir_;
  bool compress_;
  bool sync_;
  int32_t max_dir_kb_;
  ArchiveLedger ledger_;
  int64_t dropped_cleanup_ = 0;
  int64_t dropped_disk_full_ = 0;
};

}  // namespace kestova
