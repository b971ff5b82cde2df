// Registers the KAVRO driver with DASYLab 8.0: one entry in DASYLab.ini.
#ifndef KAVRO_REGISTRATION_REGISTRATION_H_
#define KAVRO_REGISTRATION_REGISTRATION_H_

#include <string_view>

#include "platform/platform.h"

namespace registration {

// Every path and text is fixed; nothing is read from the command line, the
// environment or the registry. The configuration file's path is written out
// in full rather than built from the install directory.
inline constexpr std::string_view kInstallDirectory = "C:\\Program Files\\DASYLab 8.0\\";
inline constexpr std::string_view kConfigurationFile =
    "C:\\Program Files\\DASYLab 8.0\\DASYLab.ini";
inline constexpr std::string_view kSection = "Hardware";
inline constexpr std::string_view kKey = "MKAVRO.DLL";
inline constexpr std::string_view kValue = "KAVRO DAQ Cards Driver";
// Shown as users have always seen it, spelling included.
inline constexpr std::string_view kWarningText =
    "Driver cannt find C:\\Programs Files\\DASYLab 8.0\\  "
    "Please modify the DASYLab.ini in correct directory by manual";
inline constexpr std::string_view kWarningTitle = "Alarm";
// OK button only (0) plus the exclamation icon (48); no modality bits.
inline constexpr int kWarningStyle = 48;

enum class Outcome {
  kRegistered,  // the entry is in the file and the window was closed
  kWarned,      // the warning box was shown, then the window was closed
};

// The Load event handler of `form`. Enters the install directory, writes the
// driver entry and closes the window. When any step raises, or the profile
// writer reports a refused write, shows the warning box instead and then
// closes the window. Errors raised while warning or closing on that path are
// not trapped.
Outcome RegisterDriver(Platform& platform, Form1& form);

}  // namespace registration

#endif  // KAVRO_REGISTRATION_REGISTRATION_H_
