// Entry point of the native program. Arguments and the starting directory
// make no difference to what it does.
#include <csignal>
#include <cstdio>

#include "platform/platform.h"
#include "shell/program.h"

int main() {
  // A standard error whose reader has gone must not kill the program before
  // it can end with the status that says the warning could not be shown.
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) smaller than the file makes the write
  // fail, with the warning and nothing left, instead of killing the run.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    const std::unique_ptr<Platform> platform = NewRealPlatform();
    return RunProgram(*platform);
  } catch (const PlatformError& error) {
    std::fprintf(stderr, "kavro-register: run-time error: %s\n", error.what());
    return kExitUntrappedError;
  }
}
