#include "platform/profile_file.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// On Windows, `path` is a Windows path in the ANSI code page; every file
// call takes it as UTF-16. Only calls that Windows XP's kernel32 and advapi32
// export are used.
//
// The replace is MoveFileExW, a rename within the directory, which NTFS and
// Wine both make in one step. ReplaceFileW would carry the original's
// attributes and security over by itself on Windows, but Wine's moves the
// original aside and deletes it before it moves the new file in, so a kill
// in between loses the file, and a second copy running at the same moment
// finds no file at all. What ReplaceFileW would carry over is therefore set
// on the temporary file before the rename: attributes, creation time and
// security descriptor.
namespace profile {
namespace {

class FileHandle final {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(FileHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  FileHandle& operator=(FileHandle&&) = delete;
  ~FileHandle() { Close(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now, reporting whether the close succeeded.
  bool Close() {
    const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
    return handle == INVALID_HANDLE_VALUE || CloseHandle(handle);
  }

 private:
  HANDLE handle_;
};

std::optional<std::wstring> Widen(const std::string& ansi) {
  if (ansi.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(),
                                         static_cast<int>(ansi.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), static_cast<int>(ansi.size()),
                      wide.data(), length);
  return wide;
}

// Virus scanners and the search indexer open a file for a moment, without
// sharing it, right after it changes. Such a refusal is retried for about a
// second; anything longer is another program's lock and the write is refused.
constexpr DWORD kRetryForMilliseconds = 1000;
constexpr DWORD kRetryPauseMilliseconds = 50;

bool IsMomentaryRefusal(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;  // what a rename over a file held open reports
}

// Calls `attempt` until it succeeds, fails for good, or the second is over.
// The last error is that of the last attempt.
template <typename Attempt>
bool RetryMomentaryRefusals(Attempt attempt) {
  const DWORD started = GetTickCount();
  for (;;) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (!IsMomentaryRefusal(error) || GetTickCount() - started >= kRetryForMilliseconds) {
      return false;
    }
    Sleep(kRetryPauseMilliseconds);
  }
}

// Writes the new file piece by piece, so that it is never held in memory a
// second time.
bool WriteAll(HANDLE file, const std::vector<std::string_view>& pieces) {
  for (std::string_view data : pieces) {
    while (!data.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 24));
      DWORD written = 0;
      if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) return false;
      data.remove_prefix(written);
    }
  }
  return true;
}

// Reads `length` bytes at most into `buffer`; `got` is 0 at the end.
bool ReadSome(HANDLE file, char* buffer, size_t length, size_t& got) {
  DWORD chunk = 0;
  const bool read = ReadFile(file, buffer, static_cast<DWORD>(std::min<size_t>(length, 1u << 24)),
                             &chunk, nullptr);
  got = chunk;
  return read;
}

// Reads straight into the string, sized to what the file system said, so
// the file is held once; a file that grew meanwhile is still read to its end.
bool ReadAll(HANDLE file, std::string& content) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) ||
      static_cast<unsigned long long>(size.QuadPart) >= SIZE_MAX / 2) {
    return false;
  }
  content.resize(static_cast<size_t>(size.QuadPart));
  size_t length = 0;
  size_t got = 0;
  while (length < content.size()) {
    if (!ReadSome(file, content.data() + length, content.size() - length, got)) return false;
    if (got == 0) {
      content.resize(length);
      return true;
    }
    length += got;
  }
  char more[1 << 16];
  do {
    if (!ReadSome(file, more, sizeof more, got)) return false;
    content.append(more, got);
  } while (got != 0);
  return true;
}

// A security descriptor as the system hands it out (self-relative), or
// nothing where the file system keeps none.
std::vector<BYTE> SecurityOf(HANDLE file, SECURITY_INFORMATION what) {
  DWORD needed = 0;
  GetKernelObjectSecurity(file, what, nullptr, 0, &needed);
  std::vector<BYTE> descriptor(needed);
  if (needed == 0 || !GetKernelObjectSecurity(file, what, descriptor.data(), needed, &needed)) {
    return {};
  }
  return descriptor;
}

// What the new file takes over from the one it replaces; nothing for a file
// that is created.
struct Original {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  std::optional<FILETIME> creation_time;
  std::vector<BYTE> access_control;  // the DACL
  std::vector<BYTE> ownership;       // owner and group
};

// The attributes a file keeps across the replace. The archive bit is set as
// by any write: the content has changed and wants backing up.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Sets `wanted` on `file` where the file does not have it already, so that a
// file system that keeps no security of its own gets none added.
bool CarrySecurity(HANDLE file, SECURITY_INFORMATION what, const std::vector<BYTE>& wanted) {
  if (wanted.empty() || SecurityOf(file, what) == wanted) return true;
  return SetKernelObjectSecurity(file, what, const_cast<BYTE*>(wanted.data()));
}

// Temporary files are named ".<file>.<pid>.<nonce>.kavro-tmp", so that a
// later run can tell which of them belong to a process that is gone.
constexpr std::wstring_view kTemporarySuffix = L".kavro-tmp";

std::wstring TemporaryPrefix(const std::wstring& file_name) { return L"." + file_name + L"."; }

std::optional<DWORD> OwnerOfTemporary(const std::wstring& name, const std::wstring& prefix) {
  if (name.size() <= prefix.size() + kTemporarySuffix.size() ||
      _wcsnicmp(name.c_str(), prefix.c_str(), prefix.size()) != 0) {
    return std::nullopt;
  }
  const wchar_t* digits = name.c_str() + prefix.size();
  wchar_t* end = nullptr;
  const unsigned long pid = std::wcstoul(digits, &end, 10);
  if (end == digits || *end != L'.' || pid == 0) return std::nullopt;
  return static_cast<DWORD>(pid);
}

bool Earlier(const FILETIME& a, const FILETIME& b) { return CompareFileTime(&a, &b) < 0; }

// Whether the process that wrote a temporary file last at `written` still
// runs. A process id that now names a process started after that write has
// been reused.
bool WriterIsAlive(DWORD pid, const FILETIME& written) {
  const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
  FILETIME created, exited, kernel, user;
  const bool alive =
      WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
      !(GetProcessTimes(process, &created, &exited, &kernel, &user) && Earlier(written, created));
  CloseHandle(process);
  return alive;
}

void RemoveStaleTemporaries(const std::wstring& directory, const std::wstring& file_name) {
  const std::wstring prefix = TemporaryPrefix(file_name);
  const std::wstring pattern = directory + prefix + L"*" + std::wstring(kTemporarySuffix);
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    const std::optional<DWORD> owner = OwnerOfTemporary(name, prefix);
    if (owner && *owner != GetCurrentProcessId() && !WriterIsAlive(*owner, found.ftLastWriteTime)) {
      DeleteFileW((directory + name).c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

FileHandle CreateTemporary(const std::wstring& directory, const std::wstring& file_name,
                           std::wstring& path) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  unsigned long long nonce = static_cast<unsigned long long>(now.QuadPart);
  for (int attempt = 0; attempt < 100; ++attempt, nonce = nonce * 6364136223846793005ULL + 1) {
    path = directory + TemporaryPrefix(file_name) + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(nonce % 1000000007ULL) + std::wstring(kTemporarySuffix);
    // Not shared: no scanner reads it half-written, and no other run
    // mistakes it for its own.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return FileHandle(INVALID_HANDLE_VALUE);
}

// Puts the new file, `pieces` in order, at `target` through a flushed
// temporary file and a rename, so that the file is at every moment either
// the old one or the new one.
bool ReplaceFile(const std::wstring& directory, const std::wstring& file_name,
                 const std::wstring& target, const std::vector<std::string_view>& pieces,
                 const Original& original) {
  std::wstring temporary;
  FileHandle file = CreateTemporary(directory, file_name, temporary);
  if (!file.valid()) return false;
  constexpr SECURITY_INFORMATION kOwnership =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  const bool written =
      WriteAll(file.get(), pieces) &&
      (!original.creation_time ||
       SetFileTime(file.get(), &*original.creation_time, nullptr, nullptr)) &&
      CarrySecurity(file.get(), DACL_SECURITY_INFORMATION, original.access_control) &&
      FlushFileBuffers(file.get());
  const bool ownership_differs = written && !original.ownership.empty() &&
                                 SecurityOf(file.get(), kOwnership) != original.ownership;
  const bool closed =
      written && file.Close() &&
      SetFileAttributesW(temporary.c_str(),
                         (original.attributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE);
  // Owner and group are carried where this account may set them: Windows
  // lets an account give a file only to itself, unless it may restore
  // backups. The DACL, which decides who may use the file, is carried always.
  if (closed && ownership_differs) {
    SetFileSecurityW(temporary.c_str(), kOwnership, const_cast<BYTE*>(original.ownership.data()));
  }
  const bool replaced = closed && RetryMomentaryRefusals([&] {
                          return MoveFileExW(temporary.c_str(), target.c_str(),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
                        });
  if (!replaced) {
    file.Close();
    DeleteFileW(temporary.c_str());
  }
  return replaced;
}

// Opens the file to read it, sharing it only with other readers, so that it
// cannot change while it is read. A missing file gives an invalid handle
// and ERROR_FILE_NOT_FOUND.
FileHandle OpenToRead(const std::wstring& path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  RetryMomentaryRefusals([&] {
    file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return file != INVALID_HANDLE_VALUE;
  });
  return FileHandle(file);
}

bool SetEntryInFile(const std::wstring& target, const Entry& entry) {
  const size_t separator = target.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return false;
  const std::wstring directory = target.substr(0, separator + 1);
  const std::wstring file_name = target.substr(separator + 1);
  RemoveStaleTemporaries(directory, file_name);

  // Only a plain file is opened at all: a directory or a device in its place
  // is refused without being touched.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    const Plan created = PlanEntry({}, entry);
    return ReplaceFile(directory, file_name, target, Pieces({}, created), Original{});
  }
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return false;
  FileHandle file = OpenToRead(target);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  std::string content;
  if (!ReadAll(file.get(), content)) return false;
  const Original original{
      info.dwFileAttributes, info.ftCreationTime, SecurityOf(file.get(), DACL_SECURITY_INFORMATION),
      SecurityOf(file.get(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)};
  file.Close();

  const Plan plan = PlanEntry(content, entry);
  if (plan.status == EditStatus::kAlreadySet) return true;
  // The read-only attribute is refused for administrators too, as Windows'
  // own profile writer refuses it.
  if (plan.status != EditStatus::kEdited || (original.attributes & FILE_ATTRIBUTE_READONLY)) {
    return false;
  }
  return ReplaceFile(directory, file_name, target, Pieces(content, plan), original);
}

}  // namespace

bool WriteProfileEntry(const std::string& path, const Entry& entry) {
  if (!IsWritable(entry)) return false;
  try {
    const std::optional<std::wstring> target = Widen(path);
    return target && SetEntryInFile(*target, entry);
  } catch (const std::bad_alloc&) {
    return false;  // a file too large for memory is refused, not half-written
  }
}

}  // namespace profile
