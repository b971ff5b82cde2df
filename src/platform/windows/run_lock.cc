#include "platform/windows/file_layer.h"

namespace profile::windows {
namespace {

// How often in a row opening the lock file may be refused while a run
// before lets go of it: about two seconds.
constexpr int kMostRefusals = 2000 / kLockPollMilliseconds;

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

// Removed only while the name still leads to it. Under Wine a Windows
// program cannot see a Unix link, and removing a link's name removes its
// target: there only a lock file this run made is removed, and one a
// killed run left stays (empty) until a native run or a run that makes it
// anew removes it.
RunLock::~RunLock() {
  if (file_.valid() && (created_ || !RunningUnderWine()) && NameLeadsTo(path_, file_.get())) {
    DeleteFileW(path_.c_str());
  }
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
  int refusals = 0;  // in a row, of a lock file that is there
  for (;;) {
    // Made new where there is none (never through a link whose target is
    // gone), else opened.
    bool created = true;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!file.valid() && GetLastError() == ERROR_FILE_EXISTS) {
      created = false;
      file = FileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      // Gone between the two calls, as the run before let go, or there but
      // never to be opened: a link whose target is gone.
      if (!file.valid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
        if (++refusals > kMostRefusals) return WriteResult::kLockUnusable;
        Sleep(kLockPollMilliseconds);
        continue;
      }
    }
    if (!file.valid()) {
      // A lock file the run before removed while others still had it open
      // stays "delete pending" for a moment, refusing access; a refusal
      // that lasts is this user's lack of rights.
      const DWORD error = GetLastError();
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return WriteResult::kLockUnusable;
      }
      if (error != ERROR_ACCESS_DENIED || ++refusals > kMostRefusals) return ResultOf(error);
      Sleep(kLockPollMilliseconds);
      continue;
    }
    refusals = 0;
    // A device, a directory, a link Windows shows, a file with content or
    // another name in its place is no lock file of ours. (Under Wine a Unix
    // link looks like its target, and a link to an empty file is locked, but
    // never removed.)
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        SizeOf(info) != 0 || info.nNumberOfLinks > 1) {
      return WriteResult::kLockUnusable;
    }
    // Removed by the run before, as it let go, since it was opened here.
    if (info.nNumberOfLinks == 0) continue;
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
      lock.created_ = created;
      return WriteResult::kWritten;
    }
    if (waited_too_long()) return WriteResult::kLockTimedOut;
  }
}

// A byte far beyond the end of any real file, which no reader reads, on the
// file itself; the native program locks the same byte.
WriteResult TakeFileLock(HANDLE file) {
  const DWORD started = GetTickCount();
  OVERLAPPED far_byte{};
  far_byte.Offset = static_cast<DWORD>(kFileLockOffset);
  far_byte.OffsetHigh = static_cast<DWORD>(kFileLockOffset >> 32);
  while (
      !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &far_byte)) {
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return ResultOf(error);
    if (GetTickCount() - started >= static_cast<DWORD>(kLockWaitMilliseconds)) {
      return WriteResult::kLockTimedOut;
    }
    Sleep(kLockPollMilliseconds);
  }
  return WriteResult::kWritten;
}

}  // namespace profile::windows
