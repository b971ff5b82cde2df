// One run of the program, the same on every OS; only the entry point and the
// platform differ.
#ifndef KAVRO_SHELL_PROGRAM_H_
#define KAVRO_SHELL_PROGRAM_H_

#include "platform/platform.h"

// Process exit statuses.
inline constexpr int kExitRegistered = 0;
inline constexpr int kExitWarned = 1;
// The warning box or the window's close failed on the failure path.
inline constexpr int kExitUntrappedError = 2;

// Creates Form1, raises its Load event (the registration procedure) and
// returns once the window is gone. Returns kExitRegistered or kExitWarned;
// a PlatformError raised on the failure path propagates to the caller.
int RunProgram(Platform& platform);

#endif  // KAVRO_SHELL_PROGRAM_H_
