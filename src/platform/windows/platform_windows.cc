// The platform on Windows (and under Wine): the system's own profile writer,
// message box and current directory.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "shell/form1.h"

namespace {

PlatformError ErrorFromLastError(const std::string& what) {
  return PlatformError(what + ": error " + std::to_string(GetLastError()));
}

using WriteProfileStringFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPCSTR);

class WindowsPlatform final : public Platform {
 public:
  void rtcChangeDir(const std::string& directory) override {
    if (!SetCurrentDirectoryA(directory.c_str())) {
      throw ErrorFromLastError("cannot change to " + directory);
    }
  }

  int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& file) override {
    return BindProfileWriter()(section.c_str(), key.c_str(), value.c_str(), file.c_str());
  }

  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    const int button =
        MessageBoxA(nullptr, prompt.c_str(), title.c_str(), static_cast<UINT>(style));
    if (button == 0) throw ErrorFromLastError("cannot show the message box");
    return button;
  }

  void Unload(Form1& form) override { form.MarkUnloaded(); }

 private:
  // The writer is looked up at its first call, as a declared library
  // function is; a failure to find it is raised like any other.
  WriteProfileStringFunction BindProfileWriter() {
    if (write_profile_string_ == nullptr) {
      const HMODULE kernel32 = GetModuleHandleA("kernel32");
      const FARPROC entry =
          kernel32 != nullptr ? GetProcAddress(kernel32, "WritePrivateProfileStringA") : nullptr;
      if (entry == nullptr) throw ErrorFromLastError("cannot bind WritePrivateProfileStringA");
      // Through the generic function pointer type, which any function
      // pointer may be converted to and from.
      write_profile_string_ =
          reinterpret_cast<WriteProfileStringFunction>(reinterpret_cast<void (*)()>(entry));
    }
    return write_profile_string_;
  }

  WriteProfileStringFunction write_profile_string_ = nullptr;
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<WindowsPlatform>(); }
