// The POSIX Env where no store test reaches it (its other answers decide outbox_store_test's append
// cases): the store reads the last byte of non-empty files only, an empty one is a shrinking race.
#include <gtest/gtest.h>

#include <cerrno>

#include "env.h"
#include "temp_dir.h"

namespace kestova {
namespace {

TEST(EnvTest, AnEmptyFileHasNoLastByte) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("f"), "");
  char byte = 0;
  EXPECT_EQ(Env::Default()->ReadLastByte(dir.file("f"), &byte).code(), ENODATA);
}

}  // namespace
}  // namespace kestova
