// The steps of the POSIX file layer, one file each job; windows/file_layer.h
// has the same steps under the same names. Every step that fails returns
// the WriteResult that says why, taken from errno where it failed.
#ifndef KAVRO_PLATFORM_POSIX_FILE_LAYER_H_
#define KAVRO_PLATFORM_POSIX_FILE_LAYER_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/write_protocol.h"

namespace profile::posix {

class FileDescriptor final {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~FileDescriptor() { Close(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting whether the close succeeded (it can report a
  // late write error).
  bool Close();

 private:
  int fd_;
};

// The one place where errno becomes a WriteResult.
WriteResult ResultOf(int error_number);

// --- file_io.cc: reading, copying, writing ---

class DescriptorReader final : public PositionalReader {
 public:
  explicit DescriptorReader(int fd) : fd_(fd) {}
  bool ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) override;

 private:
  int fd_;
};

// The plan for the open file `fd`, read from its start only as far as the
// plan needs; nothing on a read error.
std::optional<Plan> PlanForFile(int fd, const Entry& entry);

bool WriteAllAt(int fd, std::string_view data, off_t offset);

// Copies `length` bytes of `from` at `from_offset` to `to` at `to_offset`,
// in the kernel where it can. A source that ends early fails the copy.
bool CopyRange(int from, off_t from_offset, int to, off_t to_offset, off_t length);

// Writes the new content, `plan` applied to the `old_size` bytes of `from`,
// from its byte `new_offset` (at most the first change) on, to `to` at
// `to_offset`. The kept bytes are copied file to file.
bool WriteNewContent(int from, off_t old_size, const Plan& plan, off_t new_offset, int to,
                     off_t to_offset);

// Room for a file grown from `old_size` to `new_size`, taken before any of
// its bytes changes, so that a full disk refuses the write while the file
// is still whole. The room reads as zeros.
bool Reserve(int fd, off_t old_size, off_t new_size);

// A file system that cannot sync a directory has still renamed the file.
void SyncDirectory(int directory);

class RemovedOnSignals;
// Creates a new temporary file beside `file_name` with `mode` (less the
// umask), watched by `watch`, and names it in `name`.
FileDescriptor CreateTemporary(int directory, const std::string& file_name, mode_t mode,
                               RemovedOnSignals& watch, std::string& name);

// --- signals.cc ---

// While it lives (one at a time), the signals that end a program remove
// the watched files first, then end the program as they would have.
class RemovedOnSignals final {
 public:
  enum Slot { kLock, kTemporary };
  RemovedOnSignals();
  RemovedOnSignals(const RemovedOnSignals&) = delete;
  RemovedOnSignals& operator=(const RemovedOnSignals&) = delete;
  ~RemovedOnSignals();
  // From now on `name` in `directory` is removed on a signal; set before
  // the file is made, so that it never exists unwatched.
  void Watch(Slot slot, int directory, const std::string& name);
  void Forget(Slot slot);
};

// Holds back the signals that end a program for its life; they are
// delivered when it ends.
class SignalsHeldBack final {
 public:
  SignalsHeldBack();
  SignalsHeldBack(const SignalsHeldBack&) = delete;
  SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;
  ~SignalsHeldBack();

 private:
  sigset_t previous_;
};

// --- run_lock.cc ---

// The lock a run holds while it reads and writes the file. Released by
// removing the lock file, then closing it: a run that waited for it finds
// the name no longer leads to what it locked, and starts over.
enum class Attempt { kTaken, kHeldByAnother, kGone, kUnusable, kFailed };
class RunLock;
Attempt TryRunLock(int directory, const std::string& name, RemovedOnSignals& watch, RunLock& lock);

class RunLock final {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  friend Attempt TryRunLock(int directory, const std::string& name, RemovedOnSignals& watch,
                            RunLock& lock);
  FileDescriptor fd_;
  int directory_ = -1;
  std::string name_;
  RemovedOnSignals* watch_ = nullptr;
};

// Waits up to kLockWaitMilliseconds for the lock on `file_name`; once held,
// the lock file is removed on a signal too.
WriteResult TakeRunLock(int directory, const std::string& file_name, RemovedOnSignals& watch,
                        RunLock& lock);

// Waits up to kLockWaitMilliseconds for the lock on the file `fd` itself,
// open to write, held until it is closed: for a file written in place,
// whose other names may lie beyond the run lock's reach.
WriteResult TakeFileLock(int fd);

// --- leftovers.cc ---

// Under the lock, what cut-short runs left beside `file_name`: their
// temporary files go, and a record of a write in place on this very file
// that proves itself is finished. A record that names this file but does
// not prove itself is left alone and refuses the write (kUnprovenRecord);
// anything not this user's or root's, not private or not a regular file is
// left alone.
WriteResult CleanUpAfterDeadRuns(int directory, const std::string& file_name);

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
// file away; other names of the file; a file mounted in place.
bool ReplacingWouldChangeIt(const struct stat& st, int directory, const std::string& file_name);

}  // namespace profile::posix

#endif  // KAVRO_PLATFORM_POSIX_FILE_LAYER_H_
