#include "power_cut_env.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "temp_dir.h"

namespace testsupport {
namespace {

using kestova::Status;
using kestova::WritableFile;

// Forwards to the real file; a successful Sync makes the file's present content its durable one.
class TrackedFile final : public WritableFile {
 public:
  TrackedFile(std::unique_ptr<WritableFile> file, std::string path,
              std::shared_ptr<std::string> synced)
      : file_(std::move(file)), path_(std::move(path)), synced_(std::move(synced)) {}

  Status Append(const char* data, size_t n) override { return file_->Append(data, n); }
  Status Sync() override {
    Status s = file_->Sync();
    if (s.ok()) *synced_ = ReadFile(path_);
    return s;
  }
  Status Close() override { return file_->Close(); }
  Status Stat(kestova::FileInfo* info) override { return file_->Stat(info); }

 private:
  std::unique_ptr<WritableFile> file_;
  std::string path_;
  std::shared_ptr<std::string> synced_;
};

}  // namespace

PowerCutEnv::PowerCutEnv(kestova::Env* target, std::string dir)
    : EnvWrapper(target), dir_(std::move(dir)) {
  Settle();
}

void PowerCutEnv::Settle() {
  std::vector<std::string> names;
  EXPECT_TRUE(target()->GetChildren(dir_, &names).ok()) << dir_;
  Names found;
  for (const std::string& name : names) {
    kestova::FileInfo info;
    if (!target()->Stat(dir_ + "/" + name, &info).ok() || !info.is_regular) continue;
    // Files open for writing hold their name's record: it stays the same object.
    std::shared_ptr<std::string>& synced = found[name] = now_[name];
    if (synced == nullptr) synced = std::make_shared<std::string>();
    *synced = ReadFile(dir_ + "/" + name);
  }
  now_ = durable_ = found;
  gone_.clear();
}

void PowerCutEnv::Cut(CutMode mode) {
  std::map<const std::string*, uint64_t> size_now;  // of the files that have a name now
  for (const auto& [name, file] : now_) {
    kestova::FileInfo info;
    if (target()->Stat(dir_ + "/" + name, &info).ok()) size_now[file.get()] = info.size;
  }
  Names after = mode == CutMode::kMetadataKept ? now_ : durable_;
  if (mode == CutMode::kNamesRevert) {
    for (const std::string& name : gone_) after.erase(name);
  }
  for (const auto& [name, file] : now_) {
    EXPECT_TRUE(after.count(name) != 0 || target()->RemoveFile(dir_ + "/" + name).ok()) << name;
  }
  for (const auto& [name, file] : after) {
    const auto it = size_now.find(file.get());
    WriteFile(dir_ + "/" + name, file->substr(0, it != size_now.end() ? it->second : file->npos));
  }
  Settle();
}

std::string PowerCutEnv::Tracked(const std::string& path) const {
  const size_t slash = path.rfind('/');
  return slash == dir_.size() && path.starts_with(dir_) ? path.substr(slash + 1) : "";
}

Status PowerCutEnv::NewWritableFile(const std::string& path, bool truncate,
                                    std::unique_ptr<WritableFile>* out) {
  Status s = target()->NewWritableFile(path, truncate, out);
  const std::string name = Tracked(path);
  if (!s.ok() || name.empty()) return s;
  std::shared_ptr<std::string>& synced = now_[name];
  if (synced == nullptr) synced = std::make_shared<std::string>();  // created: nothing durable yet
  *out = std::make_unique<TrackedFile>(std::move(*out), path, synced);
  return s;
}

Status PowerCutEnv::RenameFile(const std::string& from, const std::string& to) {
  if (Status s = target()->RenameFile(from, to); !s.ok()) return s;
  auto moved = now_.extract(Tracked(from));
  const std::string name = Tracked(to);
  if (!name.empty()) now_[name] = moved ? moved.mapped() : std::make_shared<std::string>();
  return Status();
}

Status PowerCutEnv::RemoveFile(const std::string& path) {
  Status s = target()->RemoveFile(path);
  const std::string name = Tracked(path);
  if (s.ok() && now_.erase(name) != 0) gone_.insert(name);
  return s;
}

Status PowerCutEnv::SyncDir(const std::string& dir) {
  Status s = target()->SyncDir(dir);
  if (s.ok() && dir == dir_) {
    durable_ = now_;
    gone_.clear();
  }
  return s;
}

}  // namespace testsupport
