// The registration procedure: enter the install directory, write the
// entry, close the window; or warn and close it.
#include "registration/registration.h"

#include <string>

namespace registration {
namespace {

// The normal path. Returns false when the profile writer refused the write:
// it reports that by its result alone, and a refused write must not pass
// for a registered driver.
bool EnterDirectoryAndWriteEntry(Platform& platform) {
  platform.rtcChangeDir(std::string(kInstallDirectory));
  const int32_t written =
      platform.WritePrivateProfileStringA(std::string(kSection), std::string(kKey),
                                          std::string(kValue), std::string(kConfigurationFile));
  return written != 0;
}

}  // namespace

Outcome RegisterDriver(Platform& platform, Form1& form) {
  try {
    if (EnterDirectoryAndWriteEntry(platform)) {
      platform.Unload(form);
      return Outcome::kRegistered;
    }
  } catch (const PlatformError&) {
    // Every step fails the same way: whichever it was, the user is asked to
    // edit the file by hand.
  }
  platform.rtcMsgBox(std::string(kWarningText), kWarningStyle, std::string(kWarningTitle));
  platform.Unload(form);
  return Outcome::kWarned;
}

}  // namespace registration
