// NewAppendableFile, the one open behind every append of the store, on real files.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "env.h"
#include "temp_dir.h"

namespace kestova {
namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

TEST(EnvTest, AppendableFileReportsTheEndItOpened) {
  Env* env = Env::Default();
  testsupport::TempDir dir;
  const std::string path = dir.file("f");
  std::unique_ptr<WritableFile> file;
  FileTail tail;
  // Never creates the file: a missing one is the caller's business.
  EXPECT_EQ(env->NewAppendableFile(path, nullptr, &file, &tail), ENOENT);
  EXPECT_FALSE(testsupport::FileExists(path));
  EXPECT_EQ(env->NewAppendableFile(dir.path(), nullptr, &file, &tail), EISDIR);
  WriteFile(path, "");
  ASSERT_EQ(env->NewAppendableFile(path, nullptr, &file, &tail), 0);
  EXPECT_EQ(std::pair(tail.size, tail.last_byte_known), std::pair(uint64_t{0}, false));
  WriteFile(path, "ab\nc");
  ASSERT_EQ(env->NewAppendableFile(path, nullptr, &file, &tail), 0);
  EXPECT_EQ(std::tie(tail.size, tail.last_byte_known, tail.last_byte),
            std::make_tuple(uint64_t{4}, true, 'c'));
  ASSERT_EQ(file->Append("de", 2), 0);
  ASSERT_EQ(file->Close(), 0);
  EXPECT_EQ(ReadFile(path), "ab\ncde");
  // A known end of the same size stands in for the byte (the file is not read: 'e' is on disk);
  // one of another size, or with an unknown byte, does not.
  for (const auto& [known, byte] : {std::pair{FileTail{6, true, '\n'}, '\n'},
                                    {FileTail{5, true, '\n'}, 'e'},
                                    {FileTail{6, false, '\n'}, 'e'}}) {
    ASSERT_EQ(env->NewAppendableFile(path, &known, &file, &tail), 0);
    EXPECT_EQ(tail.last_byte, byte);
  }
}

}  // namespace
}  // namespace kestova
