#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/skelvane-test-XXXXXX";
  EXPECT_NE(::mkdtemp(path_.data()), nullptr) << path_;
}

TempDir::~TempDir() {
  if (const char* keep = std::getenv("SKELVANE_KEEP_TMP"); keep && *keep == '1') return;
  // Tests leave unreadable directories behind: open them up so that removal succeeds.
  std::error_code ec;
  ::chmod(path_.c_str(), 0755);
  for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  EXPECT_TRUE(std::ifstream(path).good()) << "cannot read " << path;
  return Contents(path);
}

std::string Contents(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  EXPECT_TRUE(out.write(content.data(), static_cast<std::streamsize>(content.size())).good())
      << "cannot write " << path;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace testsupport
