// PowerCutEnv: an Env for tests that forwards to a real Env and simulates a power cut in one
// directory by undoing, on the real files, whatever had not been forced to the device.
//
// What is durable (the worst case POSIX leaves open; a real file system may keep more):
//   - a file's data as of its last WritableFile::Sync through this Env, but no more than the file
//     holds now: sizes are journaled, so a truncation survives; data written since does not;
//   - a directory entry (create, rename, remove) once SyncDir of the directory has run; a
//     removal may reach the disk before that;
//   - everything that was in the directory when tracking started: at construction, Settle() and
//     after Cut().
// Cut() applies one of two outcomes for the directory:
//   kNamesRevert   the names as of its last SyncDir, less the files removed since: creations and
//                  renames are undone (a file renamed over comes back with its old content),
//                  removals are not.
//   kMetadataKept  every directory change persists, so a file renamed into place before its data
//                  was synced comes back short or empty (a journal of metadata only, as with
//                  ext4's delayed allocation).
//
// Only regular files directly in the directory are tracked, and only what goes through this Env:
// a file created behind its back (LockFile's) is left as it is. Sync snapshots the file under the
// name it was opened with, so a file must not be renamed while open for writing. Files opened
// through it stay tracked across Settle() and Cut() and must not outlive it. Single-threaded.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "env.h"

namespace testsupport {

class PowerCutEnv final : public kestova::EnvWrapper {
 public:
  enum class CutMode { kNamesRevert, kMetadataKept };

  PowerCutEnv(kestova::Env* target, std::string dir);

  // The kernel's write-back: every file in the directory is durable as it is now.
  void Settle();
  // The power cut, then a fresh start of the tracking (as Settle()). Fails the test
  // (ADD_FAILURE) when the real files cannot be put back.
  void Cut(CutMode mode);

  kestova::Status NewWritableFile(const std::string& path, bool truncate,
                                  std::unique_ptr<kestova::WritableFile>* out) override;
  kestova::Status RenameFile(const std::string& from, const std::string& to) override;
  kestova::Status RemoveFile(const std::string& path) override;
  kestova::Status SyncDir(const std::string& dir) override;

 private:
  // The bare name of `path` when it is a tracked file of the directory, else "".
  std::string Tracked(const std::string& path) const;

  std::string dir_;
  // Bare name -> the file's content as of its last Sync (shared by every name that leads to the
  // file): the directory as it is, as of its last SyncDir, and the names removed since.
  using Names = std::map<std::string, std::shared_ptr<std::string>>;
  Names now_;
  Names durable_;
  std::set<std::string> gone_;
};

}  // namespace testsupport
