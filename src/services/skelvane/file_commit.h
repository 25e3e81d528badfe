// Commit by rename: the one way the store puts a rewritten or copied file in place (the flush's new
// active file, a compressed archive, a decompressed restore). The new content is written under a
// temporary name beside the target (TempFilePath, record_format.h); once it is complete, and with
// sync on also on the device, a rename makes it the target in one step. A crash at any moment
// leaves either the old target or the new one, never a part of the new one under the target's name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "env.h"
#include "io_status.h"

namespace kestova {

// The step of a commit that failed (kNone: committed).
enum class CommitStep { kNone, kSync, kClose, kTruncate, kRename, kSyncDir };

struct CommitResult {
  CommitStep failed = CommitStep::kNone;
  Status status;
  bool ok() const { return failed == CommitStep::kNone; }
};

// Completes the temporary file `temp`, written through `out`, and renames it to `target`:
//   1. with `keep_bytes`: closes it, cuts it to keep_bytes and, with `sync`, syncs its data;
//      without: with `sync`, syncs it, then closes it (close reports delayed write errors);
//   2. renames temp to target;
//   3. with `sync`, syncs the target's directory, so that the rename survives a power cut.
// A failure in step 1 or 2 removes `temp` and leaves `target` untouched. A failure in step 3 leaves
// the committed target in place: whether a rename that may not be durable is enough is the caller's
// decision (one that gives up the source next removes the target).
CommitResult CommitByRename(Env* env, std::unique_ptr<WritableFile> out, const std::string& temp,
                            const std::string& target, bool sync,
                            std::optional<uint64_t> keep_bytes = std::nullopt);

// Forces the data of an existing file to the device.
Status SyncFile(Env* env, const std::string& path);

// The directory part of a path ("." for a bare name).
std::string ParentDir(const std::string& path);

}  // namespace kestova
