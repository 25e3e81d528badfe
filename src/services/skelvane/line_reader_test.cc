#include "line_reader.h"

#include <gtest/gtest.h>

#include "fault_env.h"
#include "temp_dir.h"

namespace kestova {
namespace {

// Lines split on '\n' alone, empty ones skipped, any length, in a lent buffer (full of stale '\n';
// the own buffer: the store's tests and the reader's fuzz target); after a failed read only the
// lines that ended before it, and the errno.
TEST(LineReaderTest, SplitsAcrossReadsAndStopsAtAReadError) {
  testsupport::TempDir dir;
  const std::string big(20000, 'x'), text = "a\r\n\n\n" + big + "\nb c\nlast";
  const std::vector<std::string> all = {"a\r", big, "b c", "last"};
  testsupport::WriteFile(dir.file("f"), text);
  std::string lent(1 << 16, '\n');
  for (size_t chunk : {size_t{1}, size_t{7}, LineReader::kDefaultChunk}) {
    for (const bool fails : {false, true}) {
      testsupport::FaultEnv env;
      if (fails) env.FailReadAfter("*", text.find("b c") + 1);
      std::unique_ptr<SequentialFile> file;
      ASSERT_EQ(env.NewSequentialFile(dir.file("f"), &file).code(), 0);
      LineReader reader(file.get(), {.buffer = &lent, .chunk = chunk});
      std::vector<std::string> lines;
      for (std::string_view line; reader.Next(&line);) lines.emplace_back(line);
      EXPECT_EQ(lines, std::vector<std::string>(all.begin(), all.end() - (fails ? 2 : 0)));
      EXPECT_EQ(reader.status().code(), fails ? EIO : 0);
    }
  }
}

}  // namespace
}  // namespace kestova
