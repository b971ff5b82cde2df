#include <algorithm>

#include "platform/windows/file_layer.h"

namespace profile::windows {

WriteResult ResultOf(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return WriteResult::kDiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return WriteResult::kAccessDenied;
    case ERROR_WRITE_PROTECT:
      return WriteResult::kReadOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return WriteResult::kHeldOpen;
    case ERROR_PATH_NOT_FOUND:
      return WriteResult::kNoDirectory;
    case ERROR_FILE_NOT_FOUND:  // a link whose target is gone
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_DIRECTORY:
      return WriteResult::kNotAFile;
    default:
      return WriteResult::kFailed;
  }
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

uint64_t FileIdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

namespace {

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

constexpr DWORD kRetryForMilliseconds = 1000;
constexpr DWORD kRetryPauseMilliseconds = 50;

}  // namespace

bool HandleReader::ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) {
  OVERLAPPED at = At(offset);
  DWORD read = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(buffer.size(), 1u << 24));
  const bool ok =
      ReadFile(file_, buffer.data(), want, &read, &at) || GetLastError() == ERROR_HANDLE_EOF;
  got = ok ? read : 0;
  return ok;
}

FileHandle OpenShared(const std::wstring& path, DWORD access) {
  const DWORD started = GetTickCount();
  for (;;) {
    FileHandle file(CreateFileW(path.c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = GetLastError();
    if (file.valid() || (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
        GetTickCount() - started >= kRetryForMilliseconds) {
      SetLastError(error);
      return file;
    }
    Sleep(kRetryPauseMilliseconds);
  }
}

std::optional<Plan> PlanForFile(HANDLE file, const Entry& entry) {
  EntryPlanner planner(entry);
  HandleReader reader(file);
  uint64_t offset = 0;
  for (;;) {
    const std::span<char> room = planner.Room();
    size_t got = 0;
    if (!reader.ReadAt(offset, room, got)) return std::nullopt;
    offset += got;
    if (got == 0 || !planner.Took(got)) break;
  }
  return planner.Finish();
}

bool WriteAllAt(HANDLE file, std::string_view data, uint64_t offset) {
  while (!data.empty()) {
    OVERLAPPED at = At(offset);
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 24));
    if (!WriteFile(file, data.data(), chunk, &written, &at) || written == 0) return false;
    data.remove_prefix(written);
    offset += written;
  }
  return true;
}

bool CopyRange(HANDLE from, uint64_t from_offset, HANDLE to, uint64_t to_offset, uint64_t length) {
  HandleReader reader(from);
  std::vector<char> buffer(1 << 16);
  while (length > 0) {
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
    if (!reader.ReadAt(from_offset, std::span(buffer.data(), want), got)) return false;
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);  // the source ended early
      return false;
    }
    if (!WriteAllAt(to, std::string_view(buffer.data(), got), to_offset)) return false;
    from_offset += got;
    to_offset += got;
    length -= got;
  }
  return true;
}

bool WriteNewContent(HANDLE from, uint64_t old_size, const Plan& plan, uint64_t new_offset,
                     HANDLE to, uint64_t to_offset) {
  uint64_t kept_from = new_offset;
  for (const Splice& splice : plan.splices) {
    const uint64_t kept = splice.begin - kept_from;
    if (!CopyRange(from, kept_from, to, to_offset, kept) ||
        !WriteAllAt(to, splice.text, to_offset + kept)) {
      return false;
    }
    to_offset += kept + splice.text.size();
    kept_from = splice.end;
  }
  return CopyRange(from, kept_from, to, to_offset, old_size - kept_from);
}

bool SetSize(HANDLE file, uint64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

FileHandle CreateTemporary(const std::wstring& directory, const std::wstring& file_name,
                           bool private_, std::wstring& path) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  uint64_t nonce = static_cast<uint64_t>(now.QuadPart) ^ GetCurrentProcessId();
  std::vector<BYTE> security = private_ ? PrivateSecurity() : std::vector<BYTE>();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security.empty() ? nullptr : security.data(),
                                 FALSE};
  for (int attempt = 0; attempt < 100; ++attempt, nonce = nonce * 6364136223846793005ULL + 1) {
    path = directory + TemporaryName<wchar_t>(file_name, nonce % 1000000007ULL);
    // Not shared: no scanner reads it half-written.
    FileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0,
        security.empty() ? nullptr : &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return FileHandle();
}

}  // namespace profile::windows
