// The operations the registration procedure needs from its platform, named
// by the platform's own names. One implementation per OS is picked by the
// build; tests use a recording fake.
#ifndef KAVRO_PLATFORM_PLATFORM_H_
#define KAVRO_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class Form1;

// A failure that a platform operation raises instead of returning. Callers
// do not look at which failure it was; the message is for diagnostics only.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Button values returned by rtcMsgBox.
inline constexpr int kMsgBoxOk = 1;

class Platform {
 public:
  virtual ~Platform() = default;

  // Makes `directory` (a Windows path such as "C:\Dir\") the process's
  // current directory. Raises PlatformError when it is missing, is not a
  // directory or cannot be entered.
  virtual void rtcChangeDir(const std::string& directory) = 0;

  // Sets `key` in `section` of the profile file `file` (a Windows path) to
  // `value`: replaces an existing value, adds a missing key or section, and
  // creates a missing file when its directory exists; every other line stays
  // as it was. Returns nonzero on success and 0 on failure; never raises.
  virtual int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                             const std::string& value, const std::string& file) = 0;

  // Shows a modal message box and returns only when it is dismissed; the
  // result is the button pressed. Where nobody could see and dismiss it (an
  // unattended run), the prompt goes to standard error instead and the box
  // counts as dismissed with OK. Raises PlatformError if it can be neither
  // shown nor written.
  virtual int rtcMsgBox(const std::string& prompt, int style, const std::string& title) = 0;

  // Unloads `form`: afterwards it is gone and will never be shown. Raises
  // PlatformError on failure.
  virtual void Unload(Form1& form) = 0;
};

// The platform of the OS this program was built for.
std::unique_ptr<Platform> NewRealPlatform();

#endif  // KAVRO_PLATFORM_PLATFORM_H_
