// The steps of the Windows file layer, one file each job; posix/file_layer.h
// has the same steps under the same names. Every step that fails returns
// the WriteResult that says why, taken from GetLastError where it failed.
// Only calls that Windows XP's kernel32 and advapi32 export are used.
#ifndef KAVRO_PLATFORM_WINDOWS_FILE_LAYER_H_
#define KAVRO_PLATFORM_WINDOWS_FILE_LAYER_H_

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/write_protocol.h"

namespace profile::windows {

class FileHandle final {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  FileHandle(FileHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
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

// The one place where a Windows error code becomes a WriteResult.
WriteResult ResultOf(DWORD error);

// Whether this program runs under Wine rather than on Windows.
bool RunningUnderWine();

// The file's identity as the record names it: its file index, which Wine
// gives as the inode number.
uint64_t FileIdOf(const BY_HANDLE_FILE_INFORMATION& info);
uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info);

// --- file_io.cc: opening, reading, copying, writing ---

class HandleReader final : public PositionalReader {
 public:
  explicit HandleReader(HANDLE file) : file_(file) {}
  bool ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) override;

 private:
  HANDLE file_;
};

// Opens `path` with `access`, sharing it with every other reader and
// writer. Virus scanners and the search indexer open a file for a moment
// without sharing it: such a refusal is retried for about a second.
FileHandle OpenShared(const std::wstring& path, DWORD access);

// The plan for the open file, read from its start only as far as the plan
// needs; nothing on a read error.
std::optional<Plan> PlanForFile(HANDLE file, const Entry& entry);

bool WriteAllAt(HANDLE file, std::string_view data, uint64_t offset);

// Copies `length` bytes of `from` at `from_offset` to `to` at `to_offset`
// through a bounded buffer. A source that ends early fails the copy.
bool CopyRange(HANDLE from, uint64_t from_offset, HANDLE to, uint64_t to_offset, uint64_t length);

// Writes the new content, `plan` applied to the `old_size` bytes of `from`,
// from its byte `new_offset` (at most the first change) on, to `to` at
// `to_offset`.
bool WriteNewContent(HANDLE from, uint64_t old_size, const Plan& plan, uint64_t new_offset,
                     HANDLE to, uint64_t to_offset);

// Sets the end of `file` at `size`: room for a longer file, taken before any
// of its bytes changes, or the cut of a shorter one.
bool SetSize(HANDLE file, uint64_t size);

// Creates a new temporary file beside `file_name` in `directory` (which
// ends in a separator), not shared, and names it in `path`. A `private_`
// file is readable and writable by this user, the system and
// administrators alone.
FileHandle CreateTemporary(const std::wstring& directory, const std::wstring& file_name,
                           bool private_, std::wstring& path);

// --- run_lock.cc ---

// The lock a run holds while it reads and writes the file. Released by
// removing the lock file, then closing it: a run that waited for it finds
// the name no longer leads to what it locked, and starts over.
class RunLock final {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  friend WriteResult TakeRunLock(const std::wstring& directory, const std::wstring& file_name,
                                 RunLock& lock);
  FileHandle file_;
  std::wstring path_;
  bool created_ = false;
};

// Waits up to kLockWaitMilliseconds for the lock on `file_name`.
WriteResult TakeRunLock(const std::wstring& directory, const std::wstring& file_name,
                        RunLock& lock);

// Waits up to kLockWaitMilliseconds for the lock on the file itself, open
// to write, held until it is closed: for a file written in place, whose
// other names may lie beyond the run lock's reach.
WriteResult TakeFileLock(HANDLE file);

// --- leftovers.cc ---

// Under the lock, what cut-short runs left beside `file_name`: their
// temporary files go, and a record of a write in place on this very file
// that proves itself is finished. A record that names this file but does
// not prove itself is left alone and refuses the write (kUnprovenRecord);
// anything not this user's, writable by others or not a plain file is left
// alone.
WriteResult CleanUpAfterDeadRuns(const std::wstring& directory, const std::wstring& file_name);

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

}  // namespace profile::windows

#endif  // KAVRO_PLATFORM_WINDOWS_FILE_LAYER_H_
