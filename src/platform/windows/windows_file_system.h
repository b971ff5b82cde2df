// The write protocol's file system on Windows (and under Wine): a
// directory, given by its path, and the files in it, through only calls
// that Windows XP's kernel32 and advapi32 export.
#ifndef KAVRO_PLATFORM_WINDOWS_WINDOWS_FILE_SYSTEM_H_
#define KAVRO_PLATFORM_WINDOWS_WINDOWS_FILE_SYSTEM_H_

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/file_system.h"
#include "platform/protocol/outcome.h"
#include "platform/protocol/unique_handle.h"

namespace profile::windows {

// A handle to a file or directory, closed when destroyed.
struct HandleTraits {
  using Value = HANDLE;
  static HANDLE None() { return INVALID_HANDLE_VALUE; }
  static bool Open(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE handle) { return CloseHandle(handle); }
};
using FileHandle = UniqueHandle<HandleTraits>;

// The one place where a Windows error code becomes the protocol's error:
// the failure the last error stands for.
Failure LastFailure(std::string call, std::string name, std::string other_name = "");
// Success where `ok`, else the failure the last error stands for.
Status Checked(BOOL ok, const char* call, const std::string& name);

// Whether this program runs under Wine rather than on Windows.
bool RunningUnderWine();

// `text` in `code_page` as UTF-16; nothing where MultiByteToWideChar
// refuses it (with MB_ERR_INVALID_CHARS, a byte the code page lacks).
std::optional<std::wstring> Widen(std::string_view text, UINT code_page, DWORD flags);
// Names in the protocol are UTF-8; Windows takes them as UTF-16.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// What an open handle is.
Result<FileFacts> FactsOf(HANDLE handle, const std::string& name);

class WindowsFile final : public File {
 public:
  WindowsFile(FileHandle handle, std::string name)
      : handle_(std::move(handle)), name_(std::move(name)) {}
  Result<FileFacts> Facts() override;
  Status ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) override;
  Status WriteAt(uint64_t offset, std::string_view data) override;
  Status SetSize(uint64_t size) override;
  Status Reserve(uint64_t size) override;
  Status Flush() override;
  Result<bool> TryLock(uint64_t offset) override;
  Status Close() override;

  HANDLE handle() const { return handle_.get(); }
  const std::string& name() const { return name_; }

 private:
  FileHandle handle_;
  std::string name_;
};

// --- file_attributes.cc ---

// A security descriptor as the system hands it out (self-relative), or
// nothing where the file system keeps none.
std::vector<BYTE> SecurityOf(HANDLE file, SECURITY_INFORMATION what);

// Sets `wanted` on `file` where the file does not have it already.
bool CarrySecurity(HANDLE file, SECURITY_INFORMATION what, const std::vector<BYTE>& wanted);

// Whether the file's owner is this user, the system or the administrators,
// and nobody else may write it.
bool OnlyOwnerMayWrite(HANDLE file);

// Whether the file belongs to this user, the system or the administrators.
bool OwnedByUs(HANDLE file);

// A security descriptor that lets this user, the system and administrators
// alone use a file; empty where it cannot be made.
std::vector<BYTE> PrivateSecurity();

// --- windows_directory.cc ---

// The directory at `path` (ending in a separator) as the protocol's file
// system.
std::unique_ptr<Directory> DirectoryAt(std::wstring path);

// The protocol run on the profile file at `path`, a Windows path in the
// ANSI code page: the directory it names, and the file in it.
Outcome WriteProfileEntry(const std::string& path, const Entry& entry);

}  // namespace profile::windows

#endif  // KAVRO_PLATFORM_WINDOWS_WINDOWS_FILE_SYSTEM_H_
