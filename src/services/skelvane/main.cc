// Process entry point: logging, banner, configuration, then the service routine.
//
// Every failure that reaches main becomes one critical log line and exit status 1; there is no
// other way out of the process short of being killed.
#include <fmt/format.h>
#include <signal.h>

#include <exception>
#include <string>

#include "config.h"
#include "p7.h"
#include "service.h"
#include "version.h"

int main(int argc, char** argv) {
  // A log reader that goes away (a closed pipe on standard output) must not kill the service: the
  // write then fails with EPIPE and the logger falls back to standard error.
  signal(SIGPIPE, SIG_IGN);
  // argv[0] goes into the log directory unchanged (a path stays a path). A process started with an
  // empty argv has none; fall back to the program's name rather than formatting a null pointer.
  const char* program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "skelvane";
  P7::LoggerInit(P7::MainTrace,
                 fmt::format("/P7.Sink=FileTxt /P7.Dir=/var/log/p7/{} /P7.Roll=24hr /P7.Files=3 "
                             "/P7.FSize=10 /P7.Trc.Verb=2",
                             program));
  SKV_LOG(P7::kInfo, "skelvane %s starting", SKELVANE_VERSION);

  // Only the first argument is used; any further ones are ignored.
  const std::string path = argc > 1 ? argv[1] : "/etc/kestova/skelvane.json";

  kestova::AppConfig config;
  try {
    config = kestova::loadConfig(path);
  } catch (const std::exception& e) {
    SKV_LOG(P7::kCritical, "Config error: %s", e.what());
    return 1;
  }
  // Checked before perform so that nothing (outbox directory, connection) is created.
  if (config.topics.empty()) {
    SKV_LOG(P7::kCritical, "No topics configured");
    return 1;
  }

  try {
    kestova::perform(config);
  } catch (const std::exception& e) {
    SKV_LOG(P7::kCritical, "Fatal error: %s", e.what());
    return 1;
  }
  // perform has no exit condition; should it ever return, the service has still stopped serving.
  return 1;
}
