// Entry point of the native program. Arguments and the starting directory
// make no difference to what it does.
#include <cstdio>

#include "platform/platform.h"
#include "shell/program.h"

int main() {
  try {
    const std::unique_ptr<Platform> platform = NewRealPlatform();
    return RunProgram(*platform);
  } catch (const PlatformError& error) {
    std::fprintf(stderr, "kavro-register: run-time error: %s\n", error.what());
    return kExitUntrappedError;
  }
}
