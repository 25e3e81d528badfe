#include "power_cut_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace testsupport {
namespace {

using kestova::Env;
using kestova::Status;
using kestova::WritableFile;

// Forwards to the real file; a successful Sync makes the file's present content its durable one.
class TrackedFile final : public WritableFile {
 public:
  TrackedFile(std::unique_ptr<WritableFile> file, Env* env, std::string path,
              std::shared_ptr<PowerCutEnv::Synced> synced)
      : file_(std::move(file)), env_(env), path_(std::move(path)), synced_(std::move(synced)) {}

  Status Append(const char* data, size_t n) override { return file_->Append(data, n); }
  Status Sync() override {
    Status s = file_->Sync();
    if (s.ok()) {
      EXPECT_TRUE(kestova::ReadFileToString(env_, path_, &synced_->content).ok()) << path_;
    }
    return s;
  }
  Status Close() override { return file_->Close(); }
  Status Stat(kestova::FileInfo* info) override { return file_->Stat(info); }

 private:
  std::unique_ptr<WritableFile> file_;
  Env* env_;
  std::string path_;
  std::shared_ptr<PowerCutEnv::Synced> synced_;
};

Status Overwrite(Env* env, const std::string& path, const std::string& content) {
  std::unique_ptr<WritableFile> file;
  Status s = env->NewWritableFile(path, /*truncate=*/true, &file);
  if (s.ok()) s = file->Append(content.data(), content.size());
  const Status closed = file != nullptr ? file->Close() : Status();
  return s.ok() ? closed : s;
}

}  // namespace

PowerCutEnv::PowerCutEnv(Env* target, std::string dir) : EnvWrapper(target), dir_(std::move(dir)) {
  Settle();
}

void PowerCutEnv::Settle() {
  std::vector<std::string> names;
  EXPECT_TRUE(target()->GetChildren(dir_, &names).ok()) << dir_;
  Names found;
  for (const std::string& name : names) {
    const std::string path = dir_ + "/" + name;
    kestova::FileInfo info;
    if (!target()->Stat(path, &info).ok() || !info.is_regular) continue;
    // Files open for writing hold their name's record: it stays the same object.
    std::shared_ptr<Synced>& synced = found[name] = now_[name];
    if (synced == nullptr) synced = std::make_shared<Synced>();
    EXPECT_TRUE(kestova::ReadFileToString(target(), path, &synced->content).ok()) << path;
  }
  now_ = durable_ = found;
  gone_.clear();
}

void PowerCutEnv::Cut(CutMode mode) {
  std::map<const Synced*, uint64_t> size_now;  // of the files that have a name now
  for (const auto& [name, file] : now_) {
    kestova::FileInfo info;
    if (target()->Stat(dir_ + "/" + name, &info).ok()) size_now[file.get()] = info.size;
  }
  Names after = mode == CutMode::kMetadataKept ? now_ : durable_;
  if (mode == CutMode::kNamesRevert) {
    for (const std::string& name : gone_) after.erase(name);
  }
  for (const auto& [name, file] : now_) {
    if (after.count(name) == 0) {
      EXPECT_TRUE(target()->RemoveFile(dir_ + "/" + name).ok()) << name;
    }
  }
  for (const auto& [name, file] : after) {
    std::string content = file->content;
    if (auto it = size_now.find(file.get()); it != size_now.end()) {
      content.resize(std::min<uint64_t>(content.size(), it->second));
    }
    EXPECT_TRUE(Overwrite(target(), dir_ + "/" + name, content).ok()) << name;
  }
  Settle();
}

std::string PowerCutEnv::Tracked(const std::string& path) const {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || path.compare(0, slash, dir_) != 0 || slash != dir_.size()) {
    return "";
  }
  return path.substr(slash + 1);
}

void PowerCutEnv::Track(const std::string& path, std::unique_ptr<WritableFile>* out) {
  const std::string name = Tracked(path);
  if (name.empty()) return;
  std::shared_ptr<Synced>& synced = now_[name];
  if (synced == nullptr) synced = std::make_shared<Synced>();  // created: nothing durable yet
  *out = std::make_unique<TrackedFile>(std::move(*out), target(), path, synced);
}

Status PowerCutEnv::NewWritableFile(const std::string& path, bool truncate,
                                    std::unique_ptr<WritableFile>* out) {
  Status s = target()->NewWritableFile(path, truncate, out);
  if (s.ok()) Track(path, out);
  return s;
}

Status PowerCutEnv::RenameFile(const std::string& from, const std::string& to) {
  if (Status s = target()->RenameFile(from, to); !s.ok()) return s;
  std::shared_ptr<Synced> file;
  if (auto it = now_.find(Tracked(from)); it != now_.end()) {
    file = std::move(it->second);
    now_.erase(it);
  }
  const std::string name = Tracked(to);
  if (!name.empty()) now_[name] = file != nullptr ? file : std::make_shared<Synced>();
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
