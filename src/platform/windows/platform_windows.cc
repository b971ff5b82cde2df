// The platform on Windows (and under Wine): the profile writer is our own,
// the current directory and the message box are the system's.
#include <windows.h>

#include <string>

#include "platform/profile_platform.h"
#include "platform/protocol/outcome.h"
#include "platform/windows/windows_file_system.h"

namespace {

PlatformError ErrorFromLastError(const std::string& what) {
  return PlatformError(what + ": error " + std::to_string(GetLastError()));
}

// Deployment tools (startup scripts, scheduled tasks, software distribution,
// remote shells) run programs as a service or in a window station of their
// own, where a message box waits for a click that never comes: a window
// station that is not the visible one, or since Vista session 0, which
// holds only services (on XP the first user logs on to session 0).
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

// Writes `text` to the standard error the process was given, where there
// is one (a command prompt, a script's log); whether all of it went.
bool WriteToStandardError(const std::string& text) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  return error != nullptr && error != INVALID_HANDLE_VALUE &&
         WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

class WindowsPlatform final : public ProfilePlatform {
 public:
  void rtcChangeDir(const std::string& directory) override {
    if (!SetCurrentDirectoryA(directory.c_str())) {
      const PlatformError error = ErrorFromLastError("cannot change to " + directory);
      const DWORD attributes = GetFileAttributesA(kX86InstallDirectory);
      const bool in_x86 =
          attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
      cause_ = profile::CauseOfMissingDirectory(directory, in_x86 ? kX86InstallDirectory : "");
      throw error;
    }
  }

  // Where nobody could dismiss the box, or it cannot be shown (no display),
  // the warning and why go to standard error instead, in one write, where a
  // deployment tool collects them; nowhere to write them fails the call, so
  // that the failure never ends unreported.
  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    if (SomeoneCanSeeWindows()) {
      const int button =
          MessageBoxA(nullptr, prompt.c_str(), title.c_str(), static_cast<UINT>(style));
      if (button > 0) {
        if (!cause_.empty()) Warn(cause_);
        return button;
      }
    }
    std::string lines = prompt + "\r\n";
    if (!cause_.empty()) lines += "kavro-register: " + cause_ + "\r\n";
    if (!WriteToStandardError(lines)) throw ErrorFromLastError("cannot write the warning");
    return kMsgBoxOk;
  }

 private:
  std::optional<Written> Write(const std::string& file, const profile::Entry& entry) override {
    const size_t separator = file.find_last_of("\\/");
    return Written{profile::windows::WriteProfileEntry(file, entry), file.substr(0, separator + 1),
                   file.substr(separator + 1)};
  }

  void Warn(const std::string& line) override {
    WriteToStandardError("kavro-register: " + line + "\r\n");
  }
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<WindowsPlatform>(); }
