// profile-file-probe: a test-only Windows helper around the Windows file
// layer, built 64-bit from the program's own sources so that tests can run
// it many times over without the cost of starting the 32-bit program.
//   profile-file-probe write PATH        sets the driver's entry; exit 0 when
//                                        the file holds it, 1 when refused,
//                                        saying why on standard error
//   profile-file-probe write-list LIST   the same for each Windows path in
//                                        LIST, printing "W <index> <0|1>"
//   profile-file-probe hold PATH MS [shared]
//                                        keeps PATH open for MS milliseconds
//                                        (or until killed when MS is 0),
//                                        without sharing, or sharing reading
//                                        and writing; prints "held <pid>"
//                                        first
//   profile-file-probe describe PATH     prints what the system says of the
//                                        file: its attributes, its creation
//                                        time and its DACL
#include <windows.h>
// Needs the types windows.h declares.
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/protocol/outcome.h"
#include "platform/windows/windows_file_system.h"

namespace {

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};

int Hold(const char* path, DWORD milliseconds, DWORD sharing) {
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::printf("held %lu\n", GetCurrentProcessId());
  std::fflush(stdout);
  Sleep(milliseconds == 0 ? INFINITE : milliseconds);
  CloseHandle(file);
  return 0;
}

int Describe(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 1;
  std::string dacl = "none";
  DWORD needed = 0;
  GetFileSecurityA(path, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::string descriptor(needed, '\0');
  LPSTR text = nullptr;
  if (needed != 0 &&
      GetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed) &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    dacl = text;
    LocalFree(text);
  }
  std::printf("attributes=%04lx created=%08lx%08lx dacl=%s\n", data.dwFileAttributes,
              data.ftCreationTime.dwHighDateTime, data.ftCreationTime.dwLowDateTime, dacl.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 3 ? argv[1] : "";
  if (mode == "write") {
    const std::string path = argv[2];
    const profile::Outcome outcome = profile::windows::WriteProfileEntry(path, kDriver);
    if (outcome.registered()) return 0;
    const size_t separator = path.find_last_of("\\/");
    std::fprintf(
        stderr, "%s\n",
        profile::CauseOf(outcome, path.substr(0, separator + 1), path.substr(separator + 1))
            .c_str());
    return 1;
  }
  if (mode == "describe") return Describe(argv[2]);
  if (mode == "hold" && argc >= 4) {
    const DWORD sharing = argc == 5 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    return Hold(argv[2], std::strtoul(argv[3], nullptr, 10), sharing);
  }
  if (mode == "write-list") {
    std::ifstream list(argv[2]);
    std::string file;
    for (int index = 0; std::getline(list, file); ++index) {
      if (!file.empty() && file.back() == '\r') file.pop_back();
      std::printf("W %d %d\n", index,
                  profile::windows::WriteProfileEntry(file, kDriver).registered());
    }
    return 0;
  }
  std::fprintf(stderr, "usage: profile-file-probe write|write-list|hold|describe ...\n");
  return 2;
}
