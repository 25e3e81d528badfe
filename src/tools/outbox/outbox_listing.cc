#include "outbox_listing.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "archive_name.h"
#include "env.h"
#include "outbox_store.h"
#include "record_format.h"

namespace kestova::outbox_tool {
namespace {

// listRotated over a listing taken once, so that the active file and the archives are seen at
// the same moment: between two listings the service may rotate the active file into an archive or
// restore an archive into it, and its records would be read twice or not at all.
class ListingEnv : public EnvWrapper {
 public:
  explicit ListingEnv(std::vector<std::string> names)
      : EnvWrapper(Default()), names_(std::move(names)) {}
  Status GetChildren(const std::string&, std::vector<std::string>* names) override {
    *names = names_;
    return Status();
  }
  // An archive that is gone by the time listRotated looks at it was renamed or removed after the
  // listing: it is kept (as `vanished`) for the reader to find again or report as moved. A
  // dangling link under an archive name is no such file.
  Status Stat(const std::string& path, FileInfo* info) override {
    Status s = EnvWrapper::Stat(path, info);
    struct stat st {};
    if (s.ok() && !info->exists && (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))) {
      vanished_.push_back(path.substr(path.rfind('/') + 1));
    }
    return s;
  }
  const std::vector<std::string>& vanished() const { return vanished_; }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> vanished_;
};

}  // namespace

bool ListOutbox(const std::string& dir, Listing* listing, std::ostream& err) {
  std::vector<std::string> names;
  if (Status s = Env::Default()->GetChildren(dir, &names); !s.ok()) {
    err << fmt::format("skelvane-outbox: cannot read directory {}: {}\n", dir, s.message());
    return false;
  }
  for (const std::string& n : names) {
    if (n == kActiveFileName) listing->active = true;
    if (n.starts_with("outbox.") && n.ends_with(kTempFileSuffix)) listing->temps.push_back(n);
  }
  std::sort(listing->temps.begin(), listing->temps.end());
  ListingEnv env(std::move(names));
  listing->archives = listRotated(&env, dir);
  listing->archives.insert(listing->archives.end(), env.vanished().begin(), env.vanished().end());
  std::sort(listing->archives.begin(), listing->archives.end(),
            [](const std::string& a, const std::string& b) { return ArchiveNameLess(a, b); });
  return true;
}

std::vector<FileScan> ScanOutbox(const std::string& dir, const Listing& listing, bool archives,
                                 const ScanHooks& hooks) {
  std::vector<FileScan> scans;
  FileScan active;
  active.name = kActiveFileName;
  active.listed = listing.active;
  if (listing.active) active = ScanFile(dir, kActiveFileName, hooks);
  if (active.moved) {
    // Only a rotation without compression takes the name away, and the archive it makes sorts
    // after every archive there was.
    const std::vector<std::string> now = listRotated(Env::Default(), dir);
    if (!now.empty() &&
        (listing.archives.empty() || ArchiveNameLess(listing.archives.back(), now.back()))) {
      active = ScanFile(dir, now.back(), hooks);
      active.moved_from = kActiveFileName;
    }
  }
  scans.push_back(std::move(active));
  if (archives) {
    for (const std::string& name : listing.archives) scans.push_back(ScanFile(dir, name, hooks));
  }
  return scans;
}

void PrintFileNotes(const std::vector<FileScan>& scans, std::ostream& os) {
  for (const FileScan& s : scans) {
    if (!s.moved_from.empty()) {
      os << fmt::format("note: {} was rotated to {} while reading; read from there\n", s.moved_from,
                        s.name);
    }
    if (s.moved) {
      os << fmt::format("note: {}: moved while reading (rotated, restored or cleaned up)\n",
                        s.name);
    }
    if (s.changed) {
      os << fmt::format("note: {}: changed while reading (appended to or emptied by the service)\n",
                        s.name);
    }
    if (s.not_gzip) {
      os << fmt::format("note: {}: not gzip data; the service reads it as plain text\n", s.name);
    }
  }
}

}  // namespace kestova::outbox_tool
