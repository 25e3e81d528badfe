#include "archive_ledger.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "gzip_codec.h"
#include "line_reader.h"
#include "line_splitter.h"
#include "record_reader.h"

namespace kestova {

void ArchiveLedger::Note(const std::string& name, const Entry& entry) {
  records_ += entry.records - Forget(name).records;
  entries_[name] = entry;
}

ArchiveLedger::Entry ArchiveLedger::Forget(const std::string& name) {
  const auto it = entries_.find(name);
  if (it == entries_.end()) return {};
  const Entry entry = it->second;
  records_ -= entry.records;
  entries_.erase(it);
  return entry;
}

bool ArchiveLedger::OldestTs(int64_t* ts) const {
  bool any = false;
  for (const auto& [name, e] : entries_) {
    if (e.records == 0) continue;
    *ts = any ? std::min(*ts, e.oldest_ts) : e.oldest_ts;
    any = true;
  }
  return any;
}

ArchiveLedger::Entry CountArchive(Env* env, const std::string& path, bool gz) {
  ArchiveLedger::Entry entry;
  std::unique_ptr<SequentialFile> in;
  if (!env->NewSequentialFile(path, &in).ok()) return entry;
  std::string id, error;
  const auto count = [&](std::string_view line) {
    int64_t ts = 0;
    if (!ParseRecordKey(line, &ts, &id, &error)) return;
    entry.oldest_ts = entry.records == 0 ? ts : std::min(entry.oldest_ts, ts);
    ++entry.records;
  };
  if (gz) {
    LineSplitter splitter([&](std::string_view line, uint64_t, uint64_t, bool) { count(line); });
    GzipDecompress(in.get(), &splitter);
    splitter.Finish();
  } else {
    LineReader reader(in.get());
    for (std::string_view line; reader.Next(&line);) count(line);
  }
  return entry;
}

}  // namespace kestova
