// An open file on Windows, and Windows' error codes turned into the
// protocol's errors.
#include <algorithm>

#include "platform/windows/windows_file_system.h"

namespace profile::windows {

ErrorKind KindOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return ErrorKind::kMissing;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
      return ErrorKind::kNoDirectory;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return ErrorKind::kAccessDenied;
    case ERROR_WRITE_PROTECT:
      return ErrorKind::kReadOnlyMedium;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorKind::kDiskFull;
    case ERROR_FILE_TOO_LARGE:
      return ErrorKind::kTooLarge;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return ErrorKind::kInUse;
    case ERROR_DIRECTORY:
    case ERROR_CANT_RESOLVE_FILENAME:
      return ErrorKind::kNotAFile;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return ErrorKind::kExists;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ErrorKind::kUnsupported;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
      return ErrorKind::kIo;
    default:
      return ErrorKind::kOther;
  }
}

Failure LastFailure(std::string call, std::string name, std::string other_name) {
  const DWORD error = GetLastError();
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  return {KindOf(error), std::move(call), std::move(name), std::move(other_name),
          std::move(reason)};
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(std::max(length, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), length,
                      nullptr, nullptr);
  return utf8;
}

namespace {

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

// Reads and writes go in parts no larger than this.
constexpr size_t kLargestCall = size_t{1} << 24;

}  // namespace

// Wine gives the inode number as the file index, so a record of the native
// program names a file the same way.
Result<FileFacts> FactsOf(HANDLE handle, const std::string& name) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return LastFailure("look at", name);
  FileFacts facts;
  facts.type = GetFileType(handle) != FILE_TYPE_DISK                    ? FileType::kOther
               : (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FileType::kLink
               : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)     ? FileType::kDirectory
                                                                        : FileType::kRegular;
  facts.id = {info.dwVolumeSerialNumber,
              (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  facts.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.links = info.nNumberOfLinks;
  facts.read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return facts;
}

Result<FileFacts> WindowsFile::Facts() { return FactsOf(handle(), name_); }

Status WindowsFile::ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) {
  OVERLAPPED at = At(offset);
  DWORD read = 0;
  const auto want = static_cast<DWORD>(std::min(buffer.size(), kLargestCall));
  got = 0;
  if (!ReadFile(handle(), buffer.data(), want, &read, &at) && GetLastError() != ERROR_HANDLE_EOF) {
    return LastFailure("read", name_);
  }
  got = read;
  return {};
}

Status WindowsFile::WriteAt(uint64_t offset, std::string_view data) {
  while (!data.empty()) {
    OVERLAPPED at = At(offset);
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min(data.size(), kLargestCall));
    if (!WriteFile(handle(), data.data(), chunk, &written, &at)) return LastFailure("write", name_);
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return LastFailure("write", name_);
    }
    data.remove_prefix(written);
    offset += written;
  }
  return {};
}

Status WindowsFile::SetSize(uint64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(handle(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle())) {
    return LastFailure("resize", name_);
  }
  return {};
}

// The file system takes the room as the end of the file moves.
Status WindowsFile::Reserve(uint64_t size) { return SetSize(size); }

Status WindowsFile::Flush() {
  if (!FlushFileBuffers(handle())) return LastFailure("flush", name_);
  return {};
}

Result<bool> WindowsFile::TryLock(uint64_t offset) {
  OVERLAPPED at = At(offset);
  if (LockFileEx(handle(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    return true;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
  return LastFailure("lock", name_);
}

Status WindowsFile::Close() {
  if (!handle_.Close()) return LastFailure("close", name_);
  return {};
}

}  // namespace profile::windows
