// profile-file-probe: a test-only Windows helper around the Windows file
// layer, built 64-bit from the program's own sources so that tests can run
// it many times over without the cost of starting the 32-bit program.
//   profile-file-probe write PATH        sets the driver's entry; exit 0 when
//                                        the file holds it, 1 when refused,
//                                        saying why on standard error
//   profile-file-probe write PATH --steps
//                                        the same, counting the calls that
//                                        change the disk: prints their number
//   profile-file-probe write PATH --stop-at N
//                                        the same, ended at once on entry to
//                                        the Nth such call, as by a kill
//                                        (exit 137, no destructor run)
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
//   profile-file-probe causes            the failures of same_failure_cases.h
//                                        as Windows reports them: prints
//                                        each cause that differs from the
//                                        native program's, then the count
#include <windows.h>
// Needs the types windows.h declares.
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/protocol/outcome.h"
#include "platform/protocol/protocol.h"
#include "platform/windows/windows_file_system.h"
#include "same_failure_cases.h"

namespace {

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};

using profile::Failure;
using profile::File;
using profile::Result;
using profile::Status;

// The calls of one run that change the disk, counted; on entry to the one
// to stop at the process ends as a kill ends it: no destructor runs, no
// handle is closed by the program, nothing more is written.
class CrashPoint {
 public:
  explicit CrashPoint(int stop_at) : stop_at_(stop_at) {}
  void Step() {
    if (++steps_ == stop_at_) TerminateProcess(GetCurrentProcess(), 137);
  }
  int steps() const { return steps_; }

 private:
  int stop_at_;
  int steps_ = 0;
};

// An open file of the Windows layer, its changes counted.
class CountedFile final : public File {
 public:
  CountedFile(std::unique_ptr<File> inner, CrashPoint& point)
      : inner_(std::move(inner)), point_(point) {}
  Result<profile::FileFacts> Facts() override { return inner_->Facts(); }
  Status ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) override {
    return inner_->ReadAt(offset, buffer, got);
  }
  Status WriteAt(uint64_t offset, std::string_view data) override {
    point_.Step();
    return inner_->WriteAt(offset, data);
  }
  Status SetSize(uint64_t size) override {
    point_.Step();
    return inner_->SetSize(size);
  }
  Status Reserve(uint64_t size) override {
    point_.Step();
    return inner_->Reserve(size);
  }
  Status Flush() override {
    point_.Step();
    return inner_->Flush();
  }
  Result<bool> TryLock(uint64_t offset) override { return inner_->TryLock(offset); }
  Status Close() override { return inner_->Close(); }

  File& inner() { return *inner_; }

 private:
  std::unique_ptr<File> inner_;
  CrashPoint& point_;
};

// The Windows layer's directory, its changes counted. The layer takes the
// files handed back to it for its own (it casts them): they go back
// unwrapped.
class CountedDirectory final : public profile::Directory {
 public:
  CountedDirectory(std::unique_ptr<profile::Directory> inner, CrashPoint& point)
      : inner_(std::move(inner)), point_(point) {}

  Result<std::unique_ptr<File>> OpenTarget(const std::string& name,
                                           profile::Access access) override {
    return Wrapped(inner_->OpenTarget(name, access));
  }
  Result<std::unique_ptr<File>> OpenLeftover(const std::string& name) override {
    return Wrapped(inner_->OpenLeftover(name));
  }
  // A step only where it makes the lock file: where nothing is there yet.
  Result<std::unique_ptr<File>> OpenLockFile(const std::string& name, bool& created) override {
    const Result<profile::FileFacts> there = inner_->Look(name);
    if (!there.ok() && there.failure().kind == profile::ErrorKind::kMissing) point_.Step();
    return Wrapped(inner_->OpenLockFile(name, created));
  }
  Result<std::unique_ptr<File>> CreateNew(const std::string& name, profile::NewFile kind) override {
    point_.Step();
    return Wrapped(inner_->CreateNew(name, kind));
  }
  Result<profile::FileFacts> Look(const std::string& name) override { return inner_->Look(name); }
  Result<std::vector<std::string>> List() override { return inner_->List(); }
  Status Rename(const std::string& from, const std::string& to, profile::Overwrite how) override {
    point_.Step();
    return inner_->Rename(from, to, how);
  }
  Status Remove(const std::string& name) override {
    point_.Step();
    return inner_->Remove(name);
  }
  Status Sync() override {
    point_.Step();
    return inner_->Sync();
  }
  Status Copy(File& from, uint64_t from_offset, File& to, uint64_t to_offset,
              uint64_t length) override {
    point_.Step();
    return inner_->Copy(Inner(from), from_offset, Inner(to), to_offset, length);
  }
  bool ReplaceKeepsFile(const std::string& name, File& file) override {
    return inner_->ReplaceKeepsFile(name, Inner(file));
  }
  Status CarryOver(File& original, File& replacement) override {
    return inner_->CarryOver(Inner(original), Inner(replacement));
  }
  bool IsOwnLeftover(File& leftover) override { return inner_->IsOwnLeftover(Inner(leftover)); }
  bool MayTrustRecord(File& record, File& target) override {
    return inner_->MayTrustRecord(Inner(record), Inner(target));
  }
  bool RemovingMayFollowLinks() override { return inner_->RemovingMayFollowLinks(); }
  void RemoveIfInterrupted(profile::Watched slot, std::optional<std::string> name) override {
    inner_->RemoveIfInterrupted(slot, std::move(name));
  }
  void HoldInterruptions(bool held) override { inner_->HoldInterruptions(held); }
  uint64_t Milliseconds() override { return inner_->Milliseconds(); }
  void Pause(uint32_t milliseconds) override { inner_->Pause(milliseconds); }
  uint64_t Nonce() override { return inner_->Nonce(); }

 private:
  static File& Inner(File& file) { return static_cast<CountedFile&>(file).inner(); }
  Result<std::unique_ptr<File>> Wrapped(Result<std::unique_ptr<File>> opened) {
    if (!opened.ok()) return opened.status();
    return std::unique_ptr<File>(std::make_unique<CountedFile>(std::move(*opened), point_));
  }

  std::unique_ptr<profile::Directory> inner_;
  CrashPoint& point_;
};

// The protocol run as WriteProfileEntry runs it on `path` (a Windows path
// in the ANSI code page), through the counted directory.
profile::Outcome WriteCounted(const std::string& path, CrashPoint& point) {
  const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(),
                                         static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                      wide.data(), length);
  const size_t separator = wide.find_last_of(L"\\/");
  if (length <= 0 || separator == std::wstring::npos) {
    return profile::Outcome{profile::WriteResult::kNoDirectory};
  }
  CountedDirectory directory(profile::windows::DirectoryAt(wide.substr(0, separator + 1)), point);
  return profile::WriteEntry(directory, profile::windows::Utf8(wide.substr(separator + 1)),
                             kDriver);
}

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

// Each failure of the shared table made from its Windows error code, as the
// file layer makes it, read as a user reads it; the native tests check the
// same table from errno.
int CompareCauses() {
  int differ = 0;
  for (const same_failure::Case& failure : same_failure::kCases) {
    SetLastError(failure.windows_error);
    Failure made = profile::windows::LastFailure("rename", same_failure::kFrom, same_failure::kTo);
    made.reason = "REASON";
    const std::string cause =
        profile::CauseOf(profile::Refusal(made), same_failure::kDirectory, "DASYLab.ini");
    const std::string expected = std::string(same_failure::kWhatFailed) + failure.next_step;
    if (cause != expected) {
      ++differ;
      std::printf("%s: [%s], not [%s]\n", failure.what, cause.c_str(), expected.c_str());
    }
  }
  std::printf("%d of %zu differ\n", differ, std::size(same_failure::kCases));
  return differ == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "causes") return CompareCauses();
  const std::string mode = argc >= 3 ? argv[1] : "";
  if (mode == "write") {
    const std::string path = argv[2];
    const std::string option = argc >= 4 ? argv[3] : "";
    const long stop_at = option == "--stop-at" && argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0;
    if (!option.empty() && option != "--steps" && stop_at < 1) {
      std::fprintf(stderr, "usage: profile-file-probe write PATH [--steps | --stop-at N]\n");
      return 2;
    }
    CrashPoint point(static_cast<int>(stop_at));
    const profile::Outcome outcome = option.empty()
                                         ? profile::windows::WriteProfileEntry(path, kDriver)
                                         : WriteCounted(path, point);
    if (option == "--steps") std::printf("%d\n", point.steps());
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
  std::fprintf(stderr, "usage: profile-file-probe write|write-list|hold|describe|causes ...\n");
  return 2;
}
