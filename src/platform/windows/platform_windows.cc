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

// Deployment tools (startup scripts, scheduled tasks, software distribution,
// remote shells) run programs as a service or in a window station of their
// own, where a message box waits for a click that never comes. Nobody sees
// this process's windows when its window station is not the visible one,
// or, since Windows Vista, when it runs in session 0, which holds only
// services (on Windows XP the first user logs on to session 0).
bool SomeoneCanSeeWindows() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  const HWINSTA station = GetProcessWindowStation();
  if (station != nullptr &&
      GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
      !(flags.dwFlags & WSF_VISIBLE)) {
    return false;
  }
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  DWORD session = 0;
  return !(GetVersionExW(&version) && version.dwMajorVersion >= 6 &&
           ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0);
}

// The warning as one line on the standard error the process was given, if
// any: where a deployment tool collects it.
void WarnOnStandardError(const std::string& prompt) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  const std::string line = prompt + "\r\n";
  DWORD written = 0;
  if (!WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    throw ErrorFromLastError("cannot write the warning");
  }
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

  // Where nobody could dismiss the box, the warning goes to standard error
  // instead and counts as dismissed.
  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    if (!SomeoneCanSeeWindows()) {
      WarnOnStandardError(prompt);
      return kMsgBoxOk;
    }
    const int button =
        MessageBoxA(nullptr, prompt.c_str(), title.c_str(), static_cast<UINT>(style));
    if (button == 0) throw ErrorFromLastError("cannot show the message box");
    return button;
  }

  void Unload(Form1& form) override { form.MarkUnloaded(); }
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<WindowsPlatform>(); }
