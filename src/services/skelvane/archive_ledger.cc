#include "archive_ledger.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "gzip_codec.h"
#include "line_reader.h"
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

namespace {

// Counts records in whatever is appended to it: the decompressor's output, split into lines.
class RecordCounter final : public WritableFile {
 public:
  explicit RecordCounter(ArchiveLedger::Entry* entry) : entry_(entry) {}
  Status Append(const char* data, size_t n) override {
    std::string_view rest(data, n);
    for (size_t nl; (nl = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(nl + 1)) {
      partial_.append(rest.substr(0, nl));
      Line(partial_);
      partial_.clear();
    }
    partial_.append(rest);
    return Status();
  }
  Status Sync() override { return Status(); }
  Status Close() override {
    Line(partial_);  // the last line counts without its line feed
    partial_.clear();
    return Status();
  }
  void Line(std::string_view line) {
    int64_t ts = 0;
    if (line.empty() || !ParseRecordKey(line, &ts, &id_, &error_)) return;
    entry_->oldest_ts = entry_->records == 0 ? ts : std::min(entry_->oldest_ts, ts);
    ++entry_->records;
  }

 private:
  ArchiveLedger::Entry* entry_;
  std::string partial_, id_, error_;
};

}  // namespace

ArchiveLedger::Entry CountArchive(Env* env, const std::string& path, bool gz) {
  ArchiveLedger::Entry entry;
  std::unique_ptr<SequentialFile> in;
  if (!env->NewSequentialFile(path, &in).ok()) return entry;
  RecordCounter counter(&entry);
  if (gz) {
    GzipDecompress(in.get(), &counter);
  } else {
    LineReader reader(in.get());
    for (std::string_view line; reader.Next(&line);) counter.Line(line);
  }
  counter.Close();
  return entry;
}

}  // namespace kestova
