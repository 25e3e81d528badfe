#include "record_format.h"

namespace kestova {

std::string ActiveFilePath(const std::string& dir) { return dir + "/" + kActiveFileName; }

std::string TempFilePath(const std::string& active_path) { return active_path + kTempFileSuffix; }

}  // namespace kestova
