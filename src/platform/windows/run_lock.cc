#include "platform/windows/file_layer.h"

namespace profile::windows {
namespace {

constexpr DWORD kDeletePendingMilliseconds = 2000;

// Whether the name still leads to the file `locked` is. A lock file that
// was removed while others still had it open is "delete pending" on
// Windows and cannot be opened: not the same either.
bool NameLeadsTo(const std::wstring& path, HANDLE locked) {
  const FileHandle named(CreateFileW(path.c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION a, b;
  return named.valid() && GetFileInformationByHandle(locked, &a) &&
         GetFileInformationByHandle(named.get(), &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && FileIdOf(a) == FileIdOf(b);
}

}  // namespace

RunLock::~RunLock() {
  if (file_.valid()) DeleteFileW(path_.c_str());
}

// One byte at the start of a file nobody reads, so that no reader of
// DASYLab.ini is ever stopped by Windows' mandatory locks. Wine keeps the
// lock as a POSIX lock on the file as well, which the native program's
// lock on the same file sees.
WriteResult TakeRunLock(const std::wstring& directory, const std::wstring& file_name,
                        RunLock& lock) {
  const std::wstring path = directory + LockName<wchar_t>(file_name);
  const DWORD started = GetTickCount();
  const auto waited_too_long = [started] {
    return GetTickCount() - started >= static_cast<DWORD>(kLockWaitMilliseconds);
  };
  for (;;) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!file.valid()) {
      // A lock file the run before removed while others still had it open
      // stays "delete pending" for a moment, refusing access; a refusal
      // that lasts is this user's lack of rights.
      const DWORD error = GetLastError();
      if (error != ERROR_ACCESS_DENIED || GetTickCount() - started >= kDeletePendingMilliseconds) {
        return ResultOf(error);
      }
      Sleep(kLockPollMilliseconds);
      continue;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return WriteResult::kFailed;
    OVERLAPPED first_byte{};
    while (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &first_byte)) {
      const DWORD error = GetLastError();
      if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return ResultOf(error);
      if (waited_too_long()) return WriteResult::kLockTimedOut;
      Sleep(kLockPollMilliseconds);
    }
    if (NameLeadsTo(path, file.get())) {
      lock.file_ = std::move(file);
      lock.path_ = path;
      return WriteResult::kWritten;
    }
    if (waited_too_long()) return WriteResult::kLockTimedOut;
  }
}

}  // namespace profile::windows
