// unattended-launcher: a test-only Windows helper that starts a program the
// way a deployment agent does: in a new window station and desktop that
// nobody can see, with standard error sent to a file.
//   unattended-launcher PROGRAM STDERR_FILE SECONDS
// Prints "exit <status>" once the program has ended, or "timeout" (and ends
// it) when it has not ended within SECONDS.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "unattended-launcher: %s failed: error %lu\n", what, GetLastError());
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: unattended-launcher PROGRAM STDERR_FILE SECONDS\n");
    return 2;
  }
  // A window station made by a program is never the visible one.
  const HWINSTA station = CreateWindowStationW(L"kavro-unattended", 0, WINSTA_ALL_ACCESS, nullptr);
  if (station == nullptr) return Fail("CreateWindowStation");
  const HWINSTA own_station = GetProcessWindowStation();
  if (!SetProcessWindowStation(station)) return Fail("SetProcessWindowStation");
  const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own_station);
  if (desktop == nullptr) return Fail("CreateDesktop");

  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const HANDLE error_file = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (error_file == INVALID_HANDLE_VALUE) return Fail("CreateFile");
  std::wstring desktop_name = L"kavro-unattended\\Default";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop_name.data();
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = error_file;
  PROCESS_INFORMATION process;
  std::wstring command_line = L"\"" + std::wstring(argv[1]) + L"\"";
  if (!CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return Fail("CreateProcess");
  }
  if (WaitForSingleObject(process.hProcess, 1000 * std::wcstoul(argv[3], nullptr, 10)) ==
      WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 255);
    std::printf("timeout\n");
    return 1;
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  std::printf("exit %lu\n", status);
  return 0;
}
