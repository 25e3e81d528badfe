// The operator tool's `check-config` command: the configuration as the service would run with it,
// and what would stop or trouble the service at start-up.
#pragma once

#include <ostream>
#include <string>

namespace kestova::outbox_tool {

// Loads `path` with loadConfig and prints every value under its key, then each problem (the
// loader's warnings, a value of the wrong type, no topics, an outbox directory that is not one,
// cannot be created or is not writable) and notes (a directory still to be created, or held by a
// running service). Returns 0 with "OK: no problems", else 1 with the count. Reads only: the
// directory is neither created nor locked.
int CheckConfig(const std::string& path, std::ostream& out);

}  // namespace kestova::outbox_tool
