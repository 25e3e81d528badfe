// NewAppendableFile, the one open behind every append of the store, on real files: through the
// POSIX Env's single descriptor and through the default composition of the other calls, which
// must agree.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "env.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Forwards everything to the POSIX Env except NewAppendableFile, so the base class's default
// composition of Stat, ReadLastByte and NewWritableFile runs.
class ComposedEnv final : public Env {
 public:
  int NewSequentialFile(const std::string& p, std::unique_ptr<SequentialFile>* o) override {
    return base_->NewSequentialFile(p, o);
  }
  int NewWritableFile(const std::string& p, bool t, std::unique_ptr<WritableFile>* o) override {
    return base_->NewWritableFile(p, t, o);
  }
  int Stat(const std::string& p, FileInfo* i) override { return base_->Stat(p, i); }
  int ReadLastByte(const std::string& p, char* b) override { return base_->ReadLastByte(p, b); }
  int TruncateFile(const std::string& p, uint64_t s) override { return base_->TruncateFile(p, s); }
  int RenameFile(const std::string& f, const std::string& t) override {
    return base_->RenameFile(f, t);
  }
  int RemoveFile(const std::string& p) override { return base_->RemoveFile(p); }
  int CreateDir(const std::string& p, mode_t m) override { return base_->CreateDir(p, m); }
  int GetChildren(const std::string& d, std::vector<std::string>* n) override {
    return base_->GetChildren(d, n);
  }
  int SyncDir(const std::string& d) override { return base_->SyncDir(d); }
  SteadyTime SteadyNow() override { return base_->SteadyNow(); }
  SystemTime SystemNow() override { return base_->SystemNow(); }

 private:
  Env* base_ = Env::Default();
};

TEST(EnvTest, AppendableFileReportsTheEndItOpened) {
  ComposedEnv composed;
  for (Env* env : {Env::Default(), static_cast<Env*>(&composed)}) {
    SCOPED_TRACE(env == Env::Default() ? "posix" : "composed");
    testsupport::TempDir dir;
    const std::string path = dir.file("f");
    std::unique_ptr<WritableFile> file;
    FileTail tail;

    // Never creates the file: a missing one is the caller's business.
    EXPECT_EQ(env->NewAppendableFile(path, nullptr, &file, &tail), ENOENT);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(env->NewAppendableFile(dir.path(), nullptr, &file, &tail), EISDIR);

    WriteFile(path, "");
    ASSERT_EQ(env->NewAppendableFile(path, nullptr, &file, &tail), 0);
    EXPECT_EQ(tail.size, 0u);
    EXPECT_FALSE(tail.last_byte_known);

    WriteFile(path, "ab\nc");
    ASSERT_EQ(env->NewAppendableFile(path, nullptr, &file, &tail), 0);
    EXPECT_EQ(tail.size, 4u);
    EXPECT_TRUE(tail.last_byte_known);
    EXPECT_EQ(tail.last_byte, 'c');
    ASSERT_EQ(file->Append("de", 2), 0);
    ASSERT_EQ(file->Close(), 0);
    EXPECT_EQ(ReadFile(path), "ab\ncde");

    // A known end of the same size stands in for the byte (the file is not read: 'e' is on disk);
    // one of another size does not.
    FileTail known{6, true, '\n'};
    ASSERT_EQ(env->NewAppendableFile(path, &known, &file, &tail), 0);
    EXPECT_EQ(tail.last_byte, '\n');
    known.size = 5;
    ASSERT_EQ(env->NewAppendableFile(path, &known, &file, &tail), 0);
    EXPECT_EQ(tail.last_byte, 'e');
    known = FileTail{6, false, '\n'};  // an unknown byte vouches for nothing
    ASSERT_EQ(env->NewAppendableFile(path, &known, &file, &tail), 0);
    EXPECT_EQ(tail.last_byte, 'e');
  }
}

}  // namespace
}  // namespace kestova
