// The POSIX Env on real files: what the store's append path relies on (the size and link count of
// an open file, a missing path being no error, the last byte of a file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "env.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

TEST(EnvTest, OpenFileStatAndLastByteTellWhatTheAppendPathChecks) {
  Env* env = Env::Default();
  testsupport::TempDir dir;
  const std::string path = dir.file("f");
  FileInfo info;
  // A missing path and a dangling link are no error: the file does not exist.
  ASSERT_EQ(symlink("gone", dir.file("link").c_str()), 0);
  for (const std::string& p : {path, dir.file("link")}) {
    EXPECT_EQ(env->Stat(p, &info).code(), 0);
    EXPECT_FALSE(info.exists);
  }
  char byte = 0;
  std::unique_ptr<WritableFile> file;
  ASSERT_EQ(env->NewWritableFile(path, /*truncate=*/false, &file).code(), 0);  // created
  EXPECT_EQ(env->ReadLastByte(path, &byte).code(), ENODATA);
  ASSERT_EQ(file->Append("ab\nc", 4).code(), 0);
  ASSERT_EQ(file->Stat(&info).code(), 0);
  EXPECT_EQ(std::tuple(info.size, info.links, info.is_regular), std::tuple(4u, 1u, true));
  ASSERT_EQ(env->ReadLastByte(path, &byte).code(), 0);
  EXPECT_EQ(byte, 'c');
  // Renamed over, the open file has no name left; appends still reach it, not the new file.
  WriteFile(dir.file("new"), "x");
  ASSERT_EQ(env->RenameFile(dir.file("new"), path).code(), 0);
  ASSERT_EQ(file->Stat(&info).code(), 0);
  EXPECT_EQ(info.links, 0u);
  ASSERT_EQ(file->Append("d", 1).code(), 0);
  EXPECT_EQ(file->Close().code(), 0);
  EXPECT_EQ(ReadFile(path), "x");
}

}  // namespace
}  // namespace kestova
