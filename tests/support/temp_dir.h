// A fresh directory under $TMPDIR (or /tmp) for one test, removed with everything in it when the
// object goes away (SKELVANE_KEEP_TMP=1 keeps it for a post-mortem).
#pragma once

#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// File helpers for assertions; ReadFile and WriteFile fail the test (ADD_FAILURE) on I/O errors.
std::string ReadFile(const std::string& path);
std::string Contents(const std::string& path);  // "" when unreadable
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

}  // namespace testsupport
