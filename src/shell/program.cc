// One run of the program: the window made, its Load event raised, the
// exit status from what the procedure did.
#include "shell/program.h"

#include <cassert>

#include "registration/registration.h"
#include "shell/form1.h"

int RunProgram(Platform& platform) {
  registration::Outcome outcome = registration::Outcome::kRegistered;
  Form1 form([&](Form1& loading) { outcome = registration::RegisterDriver(platform, loading); });
  form.Load();
  // The Load event has returned and the window has been unloaded inside it:
  // nothing is left to show, so the program ends here.
  assert(!form.loaded());
  return outcome == registration::Outcome::kRegistered ? kExitRegistered : kExitWarned;
}
