// ArchiveLedger: what the service knows of each rotated archive without reading it again: how
// many records it holds and its oldest time stamp. Entries are noted at rotation (from the index,
// which holds exactly the file's identities then), counted once at start-up for archives left by
// an earlier run, and forgotten when an archive is restored (its records are back in the active
// file) or deleted (its records are given up, and the count says how many).
//
// The figures feed the status outputs only; nothing the store does depends on them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "env.h"

namespace kestova {

class ArchiveLedger {
 public:
  struct Entry {
    int64_t records = 0;
    int64_t oldest_ts = 0;  // meaningful when records > 0
  };

  void Note(const std::string& name, const Entry& entry);
  // Removes the entry of `name` and returns it (a zero entry when it was not known).
  Entry Forget(const std::string& name);

  int64_t records() const { return records_; }
  // The oldest time stamp over every archive that holds records; false when none does.
  bool OldestTs(int64_t* ts) const;

 private:
  std::map<std::string, Entry> entries_;
  int64_t records_ = 0;
};

// Streams the archive at `path` (gzip when `gz`) and counts its valid records and their oldest
// time stamp, with the reading rules of every other reader. A file that cannot be read completely
// counts what could be read.
ArchiveLedger::Entry CountArchive(Env* env, const std::string& path, bool gz);

}  // namespace kestova
