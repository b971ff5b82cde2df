// The platform on Windows (and under Wine): the profile writer is our own,
// the current directory and the message box are the system's.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/profile_file.h"
#include "shell/form1.h"

namespace {

PlatformError ErrorFromLastError(const std::string& what) {
  return PlatformError(what + ": error " + std::to_string(GetLastError()));
}

class WindowsPlatform final : public Platform {
 public:
  void rtcChangeDir(const std::string& directory) override {
    if (!SetCurrentDirectoryA(directory.c_str())) {
      throw ErrorFromLastError("cannot change to " + directory);
    }
  }

  int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& file) override {
    return profile::WriteProfileEntry(file, {section, key, value}) ? 1 : 0;
  }

  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    const int button =
        MessageBoxA(nullptr, prompt.c_str(), title.c_str(), static_cast<UINT>(style));
    if (button == 0) throw ErrorFromLastError("cannot show the message box");
    return button;
  }

  void Unload(Form1& form) override { form.MarkUnloaded(); }
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<WindowsPlatform>(); }
