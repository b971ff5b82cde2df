// An open file on Windows, and Windows' error codes turned into the
// protocol's errors.
#include <algorithm>

#include "platform/windows/windows_file_system.h"

namespace profile::windows {

static ErrorKind KindOf(DWORD error) {
  using enum ErrorKind;
  if (IsOneOf(error, ERROR_FILE_NOT_FOUND)) return kMissing;
  if (IsOneOf(error, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH)) return kNoDirectory;
  if (IsOneOf(error, ERROR_ACCESS_DENIED, ERROR_PRIVILEGE_NOT_HELD)) return kAccessDenied;
  if (IsOneOf(error, ERROR_WRITE_PROTECT)) return kReadOnlyMedium;
  if (IsOneOf(error, ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL)) return kDiskFull;
  if (IsOneOf(error, ERROR_FILE_TOO_LARGE)) return kTooLarge;
  if (IsOneOf(error, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_BUSY)) return kInUse;
  if (IsOneOf(error, ERROR_DIRECTORY, ERROR_CANT_RESOLVE_FILENAME)) return kNotAFile;
  if (IsOneOf(error, ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS)) return kExists;
  if (IsOneOf(error, ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION)) return kUnsupported;
  if (IsOneOf(error, ERROR_CRC, ERROR_IO_DEVICE)) return kIo;
  return kOther;
}

Failure LastFailure(std::string call, std::string name, std::string other_name) {
  const DWORD error = GetLastError();
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  reason.erase(reason.find_last_not_of("\r\n .") + 1);
  return {KindOf(error), std::move(call), std::move(name), std::move(other_name),
          std::move(reason)};
}

Status Checked(BOOL ok, const char* call, const std::string& name) {
  return ok ? Status() : LastFailure(call, name);
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::optional<std::wstring> Widen(std::string_view text, UINT code_page, DWORD flags) {
  if (text.empty()) return std::wstring();
  const auto size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(code_page, flags, text.data(), size, wide.data(), length);
  return wide;
}

std::wstring Wide(std::string_view utf8) { return Widen(utf8, CP_UTF8, 0).value_or(L""); }

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
  const bool ok =
      ReadFile(handle(), buffer.data(), want, &read, &at) || GetLastError() == ERROR_HANDLE_EOF;
  got = ok ? read : 0;
  return Checked(ok, "read", name_);
}

Status WindowsFile::WriteAt(uint64_t offset, std::string_view data) {
  while (!data.empty()) {
    OVERLAPPED at = At(offset);
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min(data.size(), kLargestCall));
    const BOOL wrote = WriteFile(handle(), data.data(), chunk, &written, &at);
    if (wrote && written == 0) SetLastError(ERROR_WRITE_FAULT);
    if (!wrote || written == 0) return LastFailure("write", name_);
    data.remove_prefix(written);
    offset += written;
  }
  return {};
}

Status WindowsFile::SetSize(uint64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return Checked(SetFilePointerEx(handle(), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle()),
                 "resize", name_);
}

// The file system takes the room as the end of the file moves.
Status WindowsFile::Reserve(uint64_t size) { return SetSize(size); }

Status WindowsFile::Flush() { return Checked(FlushFileBuffers(handle()), "flush", name_); }

Result<bool> WindowsFile::TryLock(uint64_t offset) {
  OVERLAPPED at = At(offset);
  if (LockFileEx(handle(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    return true;
  }
  const DWORD error = GetLastError();
  if (IsOneOf(error, ERROR_LOCK_VIOLATION, ERROR_IO_PENDING)) return false;
  return LastFailure("lock", name_);
}

Status WindowsFile::Close() { return Checked(handle_.Close(), "close", name_); }

}  // namespace profile::windows
