// The platform on Windows (and under Wine): the profile writer is our own,
// the current directory and the message box are the system's.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/protocol/outcome.h"
#include "platform/windows/windows_file_system.h"
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

// Writes `text` to the standard error the process was given, where there
// is one (a command prompt, a script's log); whether all of it went.
bool WriteToStandardError(const std::string& text) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  return error != nullptr && error != INVALID_HANDLE_VALUE &&
         WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

// The warning as one line on the standard error the process was given,
// where a deployment tool collects it, and a second line saying why, in
// plain words. Raises where there is no standard error to write to, so
// that the failure never ends unreported.
void WarnOnStandardError(const std::string& prompt, const std::string& cause) {
  std::string lines = prompt + "\r\n";
  if (!cause.empty()) lines += "kavro-register: " + cause + "\r\n";
  if (!WriteToStandardError(lines)) throw ErrorFromLastError("cannot write the warning");
}

class WindowsPlatform final : public Platform {
 public:
  void rtcChangeDir(const std::string& directory) override {
    if (!SetCurrentDirectoryA(directory.c_str())) {
      const PlatformError error = ErrorFromLastError("cannot change to " + directory);
      // DASYLab 8.0 installed by its 32-bit installer on 64-bit Windows.
      const char* const x86 = "C:\\Program Files (x86)\\DASYLab 8.0";
      const DWORD attributes = GetFileAttributesA(x86);
      const bool in_x86 =
          attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
      cause_ = profile::CauseOfMissingDirectory(directory, in_x86 ? x86 : "");
      throw error;
    }
  }

  int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& file) override {
    const profile::Entry entry{section, key, value};
    if (!profile::IsWritable(entry)) {
      cause_ = "the entry cannot be written as it is";
      return 0;
    }
    const profile::Outcome outcome = profile::windows::WriteProfileEntry(file, entry);
    const size_t separator = file.find_last_of("\\/");
    if (!outcome.left_behind.empty()) {
      WriteToStandardError("kavro-register: could not remove " + file.substr(0, separator + 1) +
                           outcome.left_behind + "\r\n");
    }
    cause_ = outcome.registered() ? ""
                                  : profile::CauseOf(outcome, file.substr(0, separator + 1),
                                                     file.substr(separator + 1));
    return outcome.registered() ? 1 : 0;
  }

  // Where nobody could dismiss the box, or it cannot be shown (no display),
  // the warning goes to standard error instead and counts as dismissed. Once
  // a box is dismissed, why goes to the standard error the process was
  // given, where there is one (a command prompt, a script's log).
  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    if (SomeoneCanSeeWindows()) {
      const int button =
          MessageBoxA(nullptr, prompt.c_str(), title.c_str(), static_cast<UINT>(style));
      if (button > 0) {
        if (!cause_.empty()) WriteToStandardError("kavro-register: " + cause_ + "\r\n");
        return button;
      }
    }
    WarnOnStandardError(prompt, cause_);
    return kMsgBoxOk;
  }

  void Unload(Form1& form) override { form.MarkUnloaded(); }

 private:
  // Why the last step failed, in plain words.
  std::string cause_;
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<WindowsPlatform>(); }
