// The write protocol's file system on POSIX: a directory opened once, and
// every file in it reached relative to that handle.
#ifndef KAVRO_PLATFORM_POSIX_POSIX_FILE_SYSTEM_H_
#define KAVRO_PLATFORM_POSIX_POSIX_FILE_SYSTEM_H_

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/protocol/file_system.h"
#include "platform/protocol/unique_handle.h"

namespace profile::posix {

// A file descriptor, closed when destroyed.
struct DescriptorTraits {
  using Value = int;
  static int None() { return -1; }
  static bool Open(int fd) { return fd >= 0; }
  static bool Close(int fd);
};
using FileDescriptor = UniqueHandle<DescriptorTraits>;

// A descriptor of its own for what `fd` is open as.
FileDescriptor Duplicate(int fd);

// The one place where errno becomes the protocol's error.
Failure FailureOf(std::string call, std::string name, int error_number,
                  std::string other_name = "");
// Success where `ok`, else the failure errno stands for.
Status Checked(bool ok, const char* call, const std::string& name);

class PosixFile final : public File {
 public:
  PosixFile(FileDescriptor fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}
  Result<FileFacts> Facts() override;
  Status ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) override;
  Status WriteAt(uint64_t offset, std::string_view data) override;
  Status SetSize(uint64_t size) override;
  Status Reserve(uint64_t size) override;
  Status Flush() override;
  Result<bool> TryLock(uint64_t offset) override;
  Status Close() override;

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  // WindowsAttributesOf the file, asked once.
  std::optional<uint32_t> WindowsAttributes();

 private:
  FileDescriptor fd_;
  std::string name_;
  std::optional<std::optional<uint32_t>> windows_attributes_;
};

FileFacts FactsOf(const struct stat& st);

// --- signals.cc ---

// While it lives (one at a time), the signals that end a program remove
// the watched files first, then end the program as they would have; while
// held, they are held back, and delivered once let go as often as held.
class Interruptions final {
 public:
  Interruptions();
  Interruptions(const Interruptions&) = delete;
  Interruptions& operator=(const Interruptions&) = delete;
  ~Interruptions();
  // Directory::RemoveIfInterrupted for a name in `directory`.
  void Watch(Watched slot, int directory, const std::optional<std::string>& name);
  void Hold(bool held);

 private:
  int depth_ = 0;
  sigset_t previous_{};
};

// --- file_attributes.cc ---

// Extended attributes by name: Wine's DOS attributes (user.DOSATTRIB),
// other user attributes, the access control list, security labels.
using ExtendedAttributes = std::map<std::string, std::string>;

// Every extended attribute of an open file; nothing when they cannot be
// read. A file system without them has none.
std::optional<ExtendedAttributes> ReadExtendedAttributes(int fd);

// Gives the new file exactly `wanted`; false where one cannot be carried.
bool CarryExtendedAttributes(int fd, const ExtendedAttributes& wanted);

// The Windows attributes of a file on an NTFS file system (ntfs-3g, the
// kernel's ntfs3), which a new file would not have, with its security
// descriptor and creation time; nothing elsewhere.
std::optional<uint32_t> WindowsAttributesOf(int fd);
inline constexpr uint32_t kWindowsReadOnly = 0x1;

// Whether a new file in the place of this one would differ in more than
// its content: its owner or group, where this process may not give the new
// file away; other names of the file; a file mounted in place (a bind
// mount), which cannot be renamed over.
bool ReplacingWouldChangeIt(const struct stat& st, int directory, const std::string& file_name);

// Whether nobody could have written `record` who may not write `file`.
bool IsTrustedRecord(const struct stat& record, const struct stat& file);

// Whether root may trust what `st`, found in a directory owned by
// `directory_owner`, leads to: not a directory another user owns or may
// change (one others or a group other than root's may write, unless it is
// sticky), nor a link another user owns outside their own directory (the
// rule of the kernel's protected_symlinks). Anyone else may.
bool MayPass(const struct stat& st, uid_t directory_owner);

// Whether the file system keeps no Unix permissions, so that every file
// shows the mount's owner and mode: NTFS, FAT and exFAT.
bool KeepsNoPermissions(int fd);

// --- posix_directory.cc ---

// The names in the directory open as `directory`, but "." and "..";
// nothing, with errno set, where they cannot be read.
std::optional<std::vector<std::string>> NamesIn(int directory);

// The directory open as `directory` (a handle of its own), as the
// protocol's file system. The signals that end a program remove its
// temporary files and lock file first while it lives.
std::unique_ptr<Directory> DirectoryAt(FileDescriptor directory);

}  // namespace profile::posix

#endif  // KAVRO_PLATFORM_POSIX_POSIX_FILE_SYSTEM_H_
