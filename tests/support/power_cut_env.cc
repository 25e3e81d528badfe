#include "power_cut_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace testsupport {
namespace {

using kestova::Env;
using kestova::WritableFile;

// Forwards to the real file; a successful Sync makes the file's present content its durable one.
class TrackedFile final : public WritableFile {
 public:
  TrackedFile(std::unique_ptr<WritableFile> file, Env* env, std::string path,
              std::shared_ptr<PowerCutEnv::Synced> synced)
      : file_(std::move(file)), env_(env), path_(std::move(path)), synced_(std::move(synced)) {}

  int Append(const char* data, size_t n) override { return file_->Append(data, n); }
  int Sync() override {
    const int err = file_->Sync();
    if (err == 0) {
      EXPECT_EQ(kestova::ReadFileToString(env_, path_, &synced_->content), 0) << path_;
    }
    return err;
  }
  int Close() override { return file_->Close(); }
  int Stat(kestova::FileInfo* info) override { return file_->Stat(info); }

 private:
  std::unique_ptr<WritableFile> file_;
  Env* env_;
  std::string path_;
  std::shared_ptr<PowerCutEnv::Synced> synced_;
};

int Overwrite(Env* env, const std::string& path, const std::string& content) {
  std::unique_ptr<WritableFile> file;
  int err = env->NewWritableFile(path, /*truncate=*/true, &file);
  if (err == 0) err = file->Append(content.data(), content.size());
  const int close_err = file != nullptr ? file->Close() : 0;
  return err != 0 ? err : close_err;
}

}  // namespace

PowerCutEnv::PowerCutEnv(Env* target, std::string dir) : EnvWrapper(target), dir_(std::move(dir)) {
  Settle();
}

void PowerCutEnv::Settle() {
  std::vector<std::string> names;
  EXPECT_EQ(target()->GetChildren(dir_, &names), 0) << dir_;
  Names found;
  for (const std::string& name : names) {
    const std::string path = dir_ + "/" + name;
    kestova::FileInfo info;
    if (target()->Stat(path, &info) != 0 || !info.is_regular) continue;
    // Files open for writing hold their name's record: it stays the same object.
    std::shared_ptr<Synced>& synced = found[name] = now_[name];
    if (synced == nullptr) synced = std::make_shared<Synced>();
    EXPECT_EQ(kestova::ReadFileToString(target(), path, &synced->content), 0) << path;
  }
  now_ = durable_ = found;
  gone_.clear();
}

void PowerCutEnv::Cut(CutMode mode) {
  std::map<const Synced*, uint64_t> size_now;  // of the files that have a name now
  for (const auto& [name, file] : now_) {
    kestova::FileInfo info;
    if (target()->Stat(dir_ + "/" + name, &info) == 0) size_now[file.get()] = info.size;
  }
  Names after = mode == CutMode::kMetadataKept ? now_ : durable_;
  if (mode == CutMode::kNamesRevert) {
    for (const std::string& name : gone_) after.erase(name);
  }
  for (const auto& [name, file] : now_) {
    if (after.count(name) == 0) {
      EXPECT_EQ(target()->RemoveFile(dir_ + "/" + name), 0) << name;
    }
  }
  for (const auto& [name, file] : after) {
    std::string content = file->content;
    if (auto it = size_now.find(file.get()); it != size_now.end()) {
      content.resize(std::min<uint64_t>(content.size(), it->second));
    }
    EXPECT_EQ(Overwrite(target(), dir_ + "/" + name, content), 0) << name;
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

int PowerCutEnv::NewWritableFile(const std::string& path, bool truncate,
                                 std::unique_ptr<WritableFile>* out) {
  const int err = target()->NewWritableFile(path, truncate, out);
  if (err == 0) Track(path, out);
  return err;
}

int PowerCutEnv::RenameFile(const std::string& from, const std::string& to) {
  const int err = target()->RenameFile(from, to);
  if (err != 0) return err;
  std::shared_ptr<Synced> file;
  if (auto it = now_.find(Tracked(from)); it != now_.end()) {
    file = std::move(it->second);
    now_.erase(it);
  }
  const std::string name = Tracked(to);
  if (!name.empty()) now_[name] = file != nullptr ? file : std::make_shared<Synced>();
  return 0;
}

int PowerCutEnv::RemoveFile(const std::string& path) {
  const int err = target()->RemoveFile(path);
  const std::string name = Tracked(path);
  if (err == 0 && now_.erase(name) != 0) gone_.insert(name);
  return err;
}

int PowerCutEnv::SyncDir(const std::string& dir) {
  const int err = target()->SyncDir(dir);
  if (err == 0 && dir == dir_) {
    durable_ = now_;
    gone_.clear();
  }
  return err;
}

}  // namespace testsupport
