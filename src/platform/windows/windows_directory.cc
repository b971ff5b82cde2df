// The protocol's directory on Windows: files opened by their path in it,
// shared as Windows' own writer shares them, and the answers only Windows
// (or Wine) has; and the protocol run on an ANSI path.
#include <algorithm>
#include <new>

#include "platform/protocol/protocol.h"
#include "platform/protocol/unwrapped_ticks.h"
#include "platform/windows/windows_file_system.h"

namespace profile::windows {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRetryForMilliseconds = 1000;
constexpr DWORD kRetryPauseMilliseconds = 50;

// The attributes a file keeps across a replace. The archive bit is set as
// by any write: the content has changed and wants backing up.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr SECURITY_INFORMATION kOwnership = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

WindowsFile& Of(File& file) { return static_cast<WindowsFile&>(file); }

// Opens `path` with `access`, sharing it with every other reader and
// writer. Virus scanners and the search indexer open a file for a moment
// without sharing it: such a refusal is retried for about a second.
FileHandle OpenShared(const std::wstring& path, DWORD access) {
  const DWORD started = GetTickCount();
  for (;;) {
    FileHandle file(CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = GetLastError();
    if (file.valid() || !IsOneOf(error, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION) ||
        GetTickCount() - started >= kRetryForMilliseconds) {
      SetLastError(error);
      return file;
    }
    Sleep(kRetryPauseMilliseconds);
  }
}

class WindowsDirectory final : public Directory {
 public:
  explicit WindowsDirectory(std::wstring path) : path_(std::move(path)) {}

  Result<std::unique_ptr<File>> OpenTarget(const std::string& name, Access access) override {
    const std::wstring path = PathOf(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastFailure("open", name);
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
      return NotARegularFile(name);
    FileHandle file = OpenShared(
        path, access == Access::kRead ? GENERIC_READ | READ_CONTROL : GENERIC_READ | GENERIC_WRITE);
    if (!file.valid()) {
      return LastFailure(access == Access::kRead ? "open" : "open for writing", name);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return NotARegularFile(name);
    }
    return Made(std::move(file), name);
  }

  Result<std::unique_ptr<File>> OpenLeftover(const std::string& name) override {
    const std::wstring path = PathOf(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastFailure("open", name);
    if (attributes &
        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) {
      return NotARegularFile(name);
    }
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return LastFailure("open", name);
    const Result<FileFacts> facts = FactsOf(file.get(), name);
    if (!facts.ok() || facts->type != FileType::kRegular || facts->links != 1) {
      return NotARegularFile(name);
    }
    return Made(std::move(file), name);
  }

  // Made new where there is none, never through a link whose target is
  // gone, else opened. A lock file the run before removed while others
  // still had it open stays "delete pending" for a moment, refusing access.
  Result<std::unique_ptr<File>> OpenLockFile(const std::string& name, bool& created) override {
    const std::wstring path = PathOf(name);
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
    created = file.valid();
    if (!file.valid() && GetLastError() == ERROR_FILE_EXISTS) {
      file = FileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!file.valid()) {
      Failure failure = LastFailure("open", name);
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        failure.kind = ErrorKind::kNotAFile;
      }
      return failure;
    }
    return Made(std::move(file), name);
  }

  // Not shared but for its rename and removal: no scanner reads it half
  // written. Under Wine a new file gets the Unix permissions the umask
  // gives, which the native program judges a record by.
  Result<std::unique_ptr<File>> CreateNew(const std::string& name, NewFile kind) override {
    const std::wstring path = PathOf(name);
    std::vector<BYTE> security =
        kind == NewFile::kPrivate && !RunningUnderWine() ? PrivateSecurity() : std::vector<BYTE>();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.empty() ? nullptr : security.data(),
                                   FALSE};
    FileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC, FILE_SHARE_DELETE,
        security.empty() ? nullptr : &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastFailure("create", name);
    return Made(std::move(file), name);
  }

  Result<FileFacts> Look(const std::string& name) override {
    const FileHandle named(CreateFileW(PathOf(name).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    if (!named.valid()) return LastFailure("look at", name);
    return FactsOf(named.get(), name);
  }

  Result<std::vector<std::string>> List() override {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path_ + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return std::vector<std::string>();
      return LastFailure("list", ".");
    }
    std::vector<std::string> names;
    do {
      const std::wstring_view name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(Utf8(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

  // MoveFileExW, a rename within the directory, which NTFS and Wine both
  // make in one step. ReplaceFileW is not used: Wine's moves the original
  // aside and deletes it before it moves the new file in, so that a kill in
  // between loses the file. Under Wine a rename that may not replace still
  // replaces a link whose target is gone, which a Windows program cannot
  // see: there the name is first claimed with an empty file, which fails
  // where anything is there.
  Status Rename(const std::string& from, const std::string& to, Overwrite how) override {
    const std::wstring source = PathOf(from), target = PathOf(to);
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    bool claimed = false;
    if (how == Overwrite::kReplace) {
      flags |= MOVEFILE_REPLACE_EXISTING;
    } else if (RunningUnderWine()) {
      FileHandle claim(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!claim.valid()) return LastFailure("rename", from, to);
      flags |= MOVEFILE_REPLACE_EXISTING;
      claimed = true;
    }
    if (MoveFileExW(source.c_str(), target.c_str(), flags)) return {};
    Failure failure = LastFailure("rename", from, to);
    if (claimed) DeleteFileW(target.c_str());
    return failure;
  }

  Status Remove(const std::string& name) override {
    return Checked(DeleteFileW(PathOf(name).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND,
                   "remove", name);
  }

  // A directory opened to write can be flushed like a file: NTFS and Wine
  // (fsync of the directory) put its changes on the disk. Where it cannot
  // be opened so (a user who may only add files), the flush of each file
  // is all there is.
  Status Sync() override {
    const FileHandle directory(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    return Checked(directory.valid() && FlushFileBuffers(directory.get()), "flush", ".");
  }

  Status Copy(File& from, uint64_t from_offset, File& to, uint64_t to_offset,
              uint64_t length) override {
    return CopyThroughBuffer(from, from_offset, to, to_offset, length, [&] {
      SetLastError(ERROR_HANDLE_EOF);
      return LastFailure("copy from", Of(from).name());
    });
  }

  // Under Wine a new file cannot carry the Unix permissions, group,
  // extended attributes or access list.
  bool ReplaceKeepsFile(const std::string& name, File& file) override {
    const DWORD attributes = GetFileAttributesW(PathOf(name).c_str());
    const Result<FileFacts> facts = file.Facts();
    return !RunningUnderWine() && attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && facts.ok() && facts->links == 1;
  }

  // What ReplaceFileW would carry over: attributes, creation time and the
  // access list, and the owner and group where this account may set them
  // (only itself, unless it may restore backups); where it may not, the
  // file keeps its own by being written in place.
  Status CarryOver(File& original, File& replacement) override {
    const HANDLE from = Of(original).handle(), to = Of(replacement).handle();
    BY_HANDLE_FILE_INFORMATION info;
    FILETIME created;
    if (!GetFileInformationByHandle(from, &info) ||
        !GetFileTime(from, &created, nullptr, nullptr) ||
        !SetFileTime(to, &created, nullptr, nullptr) ||
        !CarrySecurity(to, DACL_SECURITY_INFORMATION,
                       SecurityOf(from, DACL_SECURITY_INFORMATION)) ||
        !SetFileAttributesW(PathOf(Of(replacement).name()).c_str(),
                            (info.dwFileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE)) {
      return LastFailure("carry over", Of(original).name());
    }
    if (!CarrySecurity(to, kOwnership, SecurityOf(from, kOwnership))) {
      return Failure{ErrorKind::kUnsupported, "carry over", Of(original).name(), "",
                     "its owner cannot be given to a new file"};
    }
    return {};
  }

  bool IsOwnLeftover(File& leftover) override { return OwnedByUs(Of(leftover).handle()); }

  bool MayTrustRecord(File& record, File&) override {
    return OnlyOwnerMayWrite(Of(record).handle());
  }

  bool RemovingMayFollowLinks() override { return RunningUnderWine(); }

  void RemoveIfInterrupted(Watched, std::optional<std::string>) override {}
  void HoldInterruptions(bool) override {}

  uint64_t Milliseconds() override { return ticks_.Of(GetTickCount()); }

  void Pause(uint32_t milliseconds) override { Sleep(milliseconds); }

  uint64_t Nonce() override {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart) ^ GetCurrentProcessId();
  }

 private:
  std::wstring PathOf(const std::string& name) const { return path_ + Wide(name); }
  static std::unique_ptr<File> Made(FileHandle file, const std::string& name) {
    return std::make_unique<WindowsFile>(std::move(file), name);
  }

  std::wstring path_;
  UnwrappedTicks ticks_;
};

}  // namespace

std::unique_ptr<Directory> DirectoryAt(std::wstring path) {
  return std::make_unique<WindowsDirectory>(std::move(path));
}

Outcome WriteProfileEntry(const std::string& path, const Entry& entry) {
  try {
    const std::optional<std::wstring> wide = Widen(path, CP_ACP, MB_ERR_INVALID_CHARS);
    const size_t separator = wide ? wide->find_last_of(L"\\/") : std::wstring::npos;
    if (separator == std::wstring::npos) return Outcome{WriteResult::kNoDirectory};
    const std::unique_ptr<Directory> directory = DirectoryAt(wide->substr(0, separator + 1));
    return WriteEntry(*directory, Utf8(wide->substr(separator + 1)), entry);
  } catch (const std::bad_alloc&) {
    return Outcome{WriteResult::kFailed};
  }
}

}  // namespace profile::windows
