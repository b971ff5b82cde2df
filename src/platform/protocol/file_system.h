// What the write protocol needs of a file system, and nothing more: one
// directory (the one DASYLab.ini is in), the files in it, and a few
// questions only the OS can answer. The protocol's steps (protocol.h) are
// written once over this; posix/ and windows/ each implement it with the
// OS's own calls, and the tests with an in-memory file system that can
// lose power. Names are names in the directory, never paths.
#ifndef KAVRO_PLATFORM_PROTOCOL_FILE_SYSTEM_H_
#define KAVRO_PLATFORM_PROTOCOL_FILE_SYSTEM_H_

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace profile {

// What went wrong in a call, the same on every OS: each OS layer turns its
// own error codes into these in one place.
enum class ErrorKind {
  kMissing,         // the name leads nowhere
  kNoDirectory,     // a directory on the way is missing, or is not one
  kAccessDenied,    // this user may not
  kReadOnlyMedium,  // the file system or the disk is read-only
  kDiskFull,        // no room, or the user's quota is used up
  kTooLarge,        // beyond the largest file this process may write
  kInUse,           // another program holds it, or it is mounted in place
  kNotAFile,        // a directory, a device, a FIFO, a link that leads nowhere
  kExists,          // something is already there
  kUnsupported,     // the file system cannot do this
  kIo,              // the disk failed
  kOther,
};

// Whether the OS's error code `code` is one of `codes`, as an OS layer's
// table of its codes asks.
template <typename Code, typename... Codes>
bool IsOneOf(Code code, Codes... codes) {
  return ((code == static_cast<Code>(codes)) || ...);
}

// A call that failed: what it was, on which names, and why in the OS's own
// words ("Permission denied", "Access is denied.").
struct Failure {
  ErrorKind kind = ErrorKind::kOther;
  std::string call;  // "open", "write", "rename", "flush", ...
  std::string name;
  std::string other_name;  // a rename's new name
  std::string reason;
};

// Success, or the failure.
class Status {
 public:
  Status() = default;
  Status(Failure failure) : failure_(std::move(failure)) {}
  bool ok() const { return !failure_; }
  const Failure& failure() const {
    assert(failure_);
    return *failure_;
  }

 private:
  std::optional<Failure> failure_;
};

// A value, or the failure that kept it from being made.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Failure failure) : status_(std::move(failure)) {}
  Result(Status status) : status_(std::move(status)) { assert(!status_.ok()); }
  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  const Failure& failure() const { return status_.failure(); }
  T& value() {
    assert(ok());
    return *value_;
  }
  const T& value() const {
    assert(ok());
    return *value_;
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }

 private:
  std::optional<T> value_;
  Status status_;
};

// Which file this is, whatever name it goes by.
struct FileId {
  uint64_t volume = 0;  // device; volume serial number
  uint64_t index = 0;   // inode number; file index (Wine gives the inode)
  bool operator==(const FileId&) const = default;
};

enum class FileType { kRegular, kDirectory, kLink, kOther };

struct FileFacts {
  FileType type = FileType::kRegular;
  FileId id;
  uint64_t size = 0;
  uint32_t links = 1;  // names it has; 0 once removed while open
  // No write permission bit, or Windows' read-only attribute.
  bool read_only = false;
};

// An open file. Closed when destroyed, if not before.
class File {
 public:
  virtual ~File() = default;
  virtual Result<FileFacts> Facts() = 0;
  // Up to `buffer.size()` bytes at `offset`; `got` is 0 at the end.
  virtual Status ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) = 0;
  // All of `data` at `offset`, or a failure.
  virtual Status WriteAt(uint64_t offset, std::string_view data) = 0;
  // A file made longer reads as zeros past its old end.
  virtual Status SetSize(uint64_t size) = 0;
  // Makes the file `size` bytes long, the new bytes zeros, with room taken
  // for all of them now, so that writing them cannot run out of room.
  virtual Status Reserve(uint64_t size) = 0;
  // The file's data and size on the disk, as far as the OS can promise.
  virtual Status Flush() = 0;
  // Locks the byte at `offset` for this open file until it is closed;
  // false where another holds it. Never waits.
  virtual Result<bool> TryLock(uint64_t offset) = 0;
  // Closes now; a late write error shows here.
  virtual Status Close() = 0;
};

enum class Access { kRead, kReadWrite };

// What a new file is made for.
enum class NewFile {
  kPrivate,      // only this user (and the system) may open it: a record
  kReplacement,  // to take an existing file's place, and what describes it
  kOrdinary,     // what any new file gets there (the umask, inherited rights)
};

enum class Overwrite { kReplace, kOnlyIfMissing };

// While the file is written in place, nothing but a kill may end the run;
// a lock file and a temporary file are removed first when a run is
// interrupted (POSIX signals; nothing interrupts a Windows program so).
enum class Watched { kLock, kTemporary };

// The directory the profile file is in, opened once: every name is looked
// up in it, so that a directory renamed or replaced during the run is never
// written into.
class Directory {
 public:
  virtual ~Directory() = default;

  // --- Opening ---

  // The file `name` leads to, through a link as far as this user may
  // follow one. Anything but a regular file is refused (kNotAFile) without
  // being opened, so that a FIFO never blocks the run. A file another
  // program keeps open without sharing (Windows) is waited for a moment.
  virtual Result<std::unique_ptr<File>> OpenTarget(const std::string& name, Access access) = 0;
  // `name` itself, never through a link and never blocking, when it is a
  // regular file with one name; kNotAFile otherwise.
  virtual Result<std::unique_ptr<File>> OpenLeftover(const std::string& name) = 0;
  // The lock file, made empty where nothing is there; `created` says so.
  // Never through a link (kNotAFile). kInUse where it cannot be opened for
  // a moment (Windows, while another run's removal is pending).
  virtual Result<std::unique_ptr<File>> OpenLockFile(const std::string& name, bool& created) = 0;
  // A new file, open to read and write; kExists where anything is there.
  virtual Result<std::unique_ptr<File>> CreateNew(const std::string& name, NewFile kind) = 0;

  // --- Names ---

  // What `name` itself is (a link is not followed); kMissing where nothing.
  virtual Result<FileFacts> Look(const std::string& name) = 0;
  // Every name in the directory.
  virtual Result<std::vector<std::string>> List() = 0;
  // In one step: at every moment `to` is what it was or what `from` was.
  virtual Status Rename(const std::string& from, const std::string& to, Overwrite how) = 0;
  virtual Status Remove(const std::string& name) = 0;
  // Puts the directory's changes so far on the disk, as far as the OS can.
  virtual Status Sync() = 0;
  // `length` bytes of `from` at `from_offset` to `to` at `to_offset`, in
  // the OS's cheapest way; a source that ends early fails the copy.
  virtual Status Copy(File& from, uint64_t from_offset, File& to, uint64_t to_offset,
                      uint64_t length) = 0;

  // --- What only the OS knows ---

  // Whether a new file renamed over `name` (open as `file`) would be the
  // same file in all but its content: not a link, one name, an owner and
  // whatever else describes it that this process can give a new file.
  virtual bool ReplaceKeepsFile(const std::string& name, File& file) = 0;
  // Gives `replacement` what describes `original`: permissions, owner,
  // attributes, security. kUnsupported where one cannot be carried, so
  // that the file is written in place instead.
  virtual Status CarryOver(File& original, File& replacement) = 0;
  // Whether a leftover beside the file may be taken for one of this
  // program's own: this user's (or the system's).
  virtual bool IsOwnLeftover(File& leftover) = 0;
  // Whether nobody could have written `record` who may not write `target`
  // anyway.
  virtual bool MayTrustRecord(File& record, File& target) = 0;
  // Whether removing a name may remove what a link there leads to: a
  // Windows program under Wine cannot see Unix links.
  virtual bool RemovingMayFollowLinks() = 0;

  // --- The run itself ---

  // From now on `name` is removed when the run is interrupted; nothing for
  // no name.
  virtual void RemoveIfInterrupted(Watched slot, std::optional<std::string> name) = 0;
  // While held, an interruption waits until it is let go.
  virtual void HoldInterruptions(bool held) = 0;
  virtual uint64_t Milliseconds() = 0;
  virtual void Pause(uint32_t milliseconds) = 0;
  // A number that another run is unlikely to pick at the same time.
  virtual uint64_t Nonce() = 0;
};

// What an OS layer refuses to open, or to keep open, as no file of its own.
inline Failure NotARegularFile(const std::string& name) {
  return {ErrorKind::kNotAFile, "open", name, "", "not a regular file"};
}

// Directory::Copy where the OS has no cheaper way: through a buffer of
// 1 MiB at most, as fewer, larger calls copy faster, above all under Wine,
// where every call costs a trip through its layers. Where `from` ends early
// the copy fails with `ended_early()`, the OS's words for it.
template <typename EndedEarly>
Status CopyThroughBuffer(File& from, uint64_t from_offset, File& to, uint64_t to_offset,
                         uint64_t length, EndedEarly ended_early) {
  constexpr uint64_t kBufferSize = uint64_t{1} << 20;
  std::vector<char> buffer(static_cast<size_t>(length < kBufferSize ? length : kBufferSize));
  while (length > 0) {
    size_t got = 0;
    const auto want = static_cast<size_t>(length < buffer.size() ? length : buffer.size());
    Status moved = from.ReadAt(from_offset, std::span(buffer.data(), want), got);
    if (moved.ok() && got == 0) moved = ended_early();
    if (moved.ok()) moved = to.WriteAt(to_offset, std::string_view(buffer.data(), got));
    if (!moved.ok()) return moved;
    from_offset += got;
    to_offset += got;
    length -= got;
  }
  return {};
}

// File::Reserve where the file system takes no room ahead: the room from
// `from` to `to` written as zeros, then flushed, never through a fallback
// that reads the file.
inline Status WriteZeros(File& file, uint64_t from, uint64_t to) {
  const std::string zeros(static_cast<size_t>(std::min<uint64_t>(to - from, 1 << 16)), '\0');
  for (uint64_t at = from; at < to; at += zeros.size()) {
    const auto part = static_cast<size_t>(std::min<uint64_t>(to - at, zeros.size()));
    if (Status written = file.WriteAt(at, std::string_view(zeros).substr(0, part)); !written.ok()) {
      return written;
    }
  }
  return file.Flush();
}

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_FILE_SYSTEM_H_
