// Entry point of the Windows program: a GUI-subsystem program whose only
// window is never shown. The command line is not read.
#include <windows.h>

#include "platform/platform.h"
#include "shell/program.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  try {
    const std::unique_ptr<Platform> platform = NewRealPlatform();
    return RunProgram(*platform);
  } catch (const PlatformError&) {
    // The warning could not be shown, or the window not closed: there is
    // nothing left to report with.
    return kExitUntrappedError;
  }
}
