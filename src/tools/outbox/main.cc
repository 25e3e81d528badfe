// skelvane-outbox entry point: a logger that writes nowhere (the configuration loader logs, and an
// operator's tool must not add to the service's log directory), then one command.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "outbox_tool.h"
#include "p7.h"

int main(int argc, char** argv) {
  // $KESTOVA_LOG is appended after the built-in options and would win over the null sink.
  ::unsetenv("KESTOVA_LOG");
  P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = kestova::outbox_tool::Run(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
