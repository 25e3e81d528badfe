// Whether a running service holds an outbox directory, for the operator tool.
#pragma once

#include <string>

namespace kestova::outbox_tool {

// Whether a running service holds "<dir>/outbox.lock" (an exclusive flock for its whole run), as
// a phrase for the operator ("not in use (no outbox.lock)", "in use by a running service", "not
// in use", or "unknown whether in use (...)"); *in_use is true only for the one that says so.
// Read from /proc/locks, which lists every flock with the device and inode of its file, so the
// probe itself takes no lock: a service starting at that very moment must not find its directory
// "in use" because of us.
std::string LockState(const std::string& dir, bool* in_use);

}  // namespace kestova::outbox_tool
