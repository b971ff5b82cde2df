// The protocol's directory on POSIX: every file reached relative to the
// directory's handle, copies in the kernel, and the answers only POSIX has.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/posix/posix_file_system.h"

namespace profile::posix {
namespace {

int FdOf(File& file) { return static_cast<PosixFile&>(file).fd(); }
const std::string& NameOf(File& file) { return static_cast<PosixFile&>(file).name(); }

// Whether copy_file_range failed only because it cannot copy here: a kernel
// without it, a sandbox that forbids it, a file system that refuses it. A
// copy through a buffer does instead.
bool KernelCopyUnavailable(int error) {
  return IsOneOf(error, ENOSYS, EPERM, EXDEV, EINVAL, EOPNOTSUPP);
}

// Gives `fd` an owner and permission bits, changing only what differs: a
// file system without owners or modes (FAT through FUSE) refuses the calls
// even where they would change nothing.
bool CarryOwnerAndPermissions(int fd, const struct stat& original) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  // fchown before fchmod: a change of owner clears set-id bits.
  if (st.st_uid != original.st_uid || st.st_gid != original.st_gid) {
    if (fchown(fd, original.st_uid, original.st_gid) != 0) return false;
    st.st_mode = 0;
  }
  return (st.st_mode & 07777) == (original.st_mode & 07777) ||
         fchmod(fd, original.st_mode & 07777) == 0;
}

class PosixDirectory final : public Directory {
 public:
  explicit PosixDirectory(FileDescriptor directory) : directory_(std::move(directory)) {}

  Result<std::unique_ptr<File>> OpenTarget(const std::string& name, Access access) override {
    struct stat st;
    if (fstatat(dir(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return FailureOf("open", name, errno);
    }
    const bool is_link = S_ISLNK(st.st_mode);
    struct stat directory_st;
    if (is_link && (fstat(dir(), &directory_st) != 0 || !MayPass(st, directory_st.st_uid))) {
      return Failure{ErrorKind::kAccessDenied, "follow", name, "",
                     "another user's link, outside that user's own directory"};
    }
    if (is_link && fstatat(dir(), name.c_str(), &st, 0) != 0) {
      return Failure{ErrorKind::kNotAFile, "follow", name, "",
                     errno == ELOOP ? "the link loops" : "the link leads nowhere"};
    }
    if (!S_ISREG(st.st_mode)) {
      return Failure{ErrorKind::kNotAFile, "open", name, "",
                     S_ISDIR(st.st_mode)    ? "it is a directory"
                     : S_ISFIFO(st.st_mode) ? "it is a FIFO"
                     : S_ISSOCK(st.st_mode) ? "it is a socket"
                                            : "it is a device"};
    }
    const int mode = access == Access::kRead ? O_RDONLY : O_RDWR;
    FileDescriptor fd(openat(dir(), name.c_str(), mode | O_NONBLOCK | O_CLOEXEC));
    if (fd.valid() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
      return NotARegularFile(name);
    return Opened(std::move(fd), name, access == Access::kRead ? "open" : "open for writing");
  }

  Result<std::unique_ptr<File>> OpenLeftover(const std::string& name) override {
    FileDescriptor fd(openat(dir(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.valid() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
      return NotARegularFile(name);
    }
    return Opened(std::move(fd), name, "open");
  }

  // In a sticky directory the system may refuse to create over another
  // user's file even where it may be opened, so an existing one is opened
  // without asking to create it.
  Result<std::unique_ptr<File>> OpenLockFile(const std::string& name, bool& created) override {
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    FileDescriptor fd(openat(dir(), name.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    created = fd.valid();
    if (!fd.valid() && errno == EEXIST) fd = FileDescriptor(openat(dir(), name.c_str(), kFlags));
    return Opened(std::move(fd), name, "open");
  }

  Result<std::unique_ptr<File>> CreateNew(const std::string& name, NewFile kind) override {
    // A file that takes the original's place gets its permissions before
    // anyone else may open it.
    const mode_t mode = kind == NewFile::kOrdinary ? 0666 : 0600;
    FileDescriptor fd(
        openat(dir(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    return Opened(std::move(fd), name, "create");
  }

  Result<FileFacts> Look(const std::string& name) override {
    struct stat st;
    if (fstatat(dir(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return FailureOf("look at", name, errno);
    }
    return FactsOf(st);
  }

  Result<std::vector<std::string>> List() override {
    std::optional<std::vector<std::string>> names = NamesIn(dir());
    if (!names) return FailureOf("list", ".", errno);
    return std::move(*names);
  }

  // Where the file system cannot tell whether the new name is free (no
  // RENAME_NOREPLACE), a plain rename does, under the lock.
  Status Rename(const std::string& from, const std::string& to, Overwrite how) override {
    if (how == Overwrite::kOnlyIfMissing &&
        renameat2(dir(), from.c_str(), dir(), to.c_str(), RENAME_NOREPLACE) == 0) {
      return {};
    }
    if ((how == Overwrite::kReplace || errno == EINVAL) &&
        renameat(dir(), from.c_str(), dir(), to.c_str()) == 0) {
      return {};
    }
    return FailureOf("rename", from, errno, to);
  }

  Status Remove(const std::string& name) override {
    return Checked(unlinkat(dir(), name.c_str(), 0) == 0 || errno == ENOENT, "remove", name);
  }

  Status Sync() override { return Checked(fsync(dir()) == 0, "flush", "."); }

  Status Copy(File& from, uint64_t from_offset, File& to, uint64_t to_offset,
              uint64_t length) override {
    auto in = static_cast<off_t>(from_offset), out = static_cast<off_t>(to_offset);
    while (length > 0) {
      const ssize_t copied =
          copy_file_range(FdOf(from), &in, FdOf(to), &out, static_cast<size_t>(length), 0);
      if (copied > 0) {
        length -= static_cast<uint64_t>(copied);
      } else if (copied == 0 || errno != EINTR) {
        if (copied < 0 && !KernelCopyUnavailable(errno)) {
          return FailureOf("copy to", NameOf(to), errno);
        }
        break;
      }
    }
    return CopyThroughBuffer(
        from, static_cast<uint64_t>(in), to, static_cast<uint64_t>(out), length, [&] {
          return Failure{ErrorKind::kIo, "copy from", NameOf(from), "", "it ended early"};
        });
  }

  // A link is written in place, so that it stays a link; so is a file on
  // an NTFS partition, where a new file would lose the Windows side of the
  // old one: its attributes, security descriptor and creation time.
  bool ReplaceKeepsFile(const std::string& name, File& file) override {
    struct stat named, st;
    return fstatat(dir(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           !S_ISLNK(named.st_mode) && !static_cast<PosixFile&>(file).WindowsAttributes() &&
           fstat(FdOf(file), &st) == 0 && !ReplacingWouldChangeIt(st, dir(), name);
  }

  // The extended attributes are read only now that the file needs writing,
  // so that a registered file is never refused for them. What cannot be
  // carried makes the file written in place instead.
  Status CarryOver(File& original, File& replacement) override {
    struct stat st;
    const std::string& name = NameOf(original);
    if (fstat(FdOf(original), &st) != 0) return FailureOf("stat", name, errno);
    const std::optional<ExtendedAttributes> extended = ReadExtendedAttributes(FdOf(original));
    if (!extended) return FailureOf("read the extended attributes of", name, errno);
    if (!CarryOwnerAndPermissions(FdOf(replacement), st) ||
        !CarryExtendedAttributes(FdOf(replacement), *extended)) {
      return Failure{ErrorKind::kUnsupported, "carry over", name, "", "a new file cannot be it"};
    }
    return {};
  }

  bool IsOwnLeftover(File& leftover) override {
    struct stat st;
    return fstat(FdOf(leftover), &st) == 0 && S_ISREG(st.st_mode) &&
           (st.st_uid == geteuid() || st.st_uid == 0) && st.st_nlink == 1;
  }

  bool MayTrustRecord(File& record, File& target) override {
    struct stat record_st, target_st;
    return fstat(FdOf(record), &record_st) == 0 && fstat(FdOf(target), &target_st) == 0 &&
           IsTrustedRecord(record_st, target_st);
  }

  bool RemovingMayFollowLinks() override { return false; }

  void RemoveIfInterrupted(Watched slot, std::optional<std::string> name) override {
    interruptions_.Watch(slot, dir(), name);
  }

  void HoldInterruptions(bool held) override { interruptions_.Hold(held); }

  uint64_t Milliseconds() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  }

  void Pause(uint32_t milliseconds) override { usleep(milliseconds * 1000); }

  uint64_t Nonce() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
           static_cast<uint64_t>(getpid());
  }

 private:
  // The file open as `fd`, or the failure of `call` that left it closed.
  static Result<std::unique_ptr<File>> Opened(FileDescriptor fd, const std::string& name,
                                              const char* call) {
    if (!fd.valid()) return FailureOf(call, name, errno);
    return std::unique_ptr<File>(std::make_unique<PosixFile>(std::move(fd), name));
  }
  int dir() const { return directory_.get(); }

  FileDescriptor directory_;
  Interruptions interruptions_;
};

}  // namespace

std::optional<std::vector<std::string>> NamesIn(int directory) {
  FileDescriptor listing = Duplicate(directory);
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(
      listing.valid() ? fdopendir(listing.get()) : nullptr, closedir);
  if (!stream) return std::nullopt;
  listing.Release();
  // The copy shares the directory's read position with the original.
  rewinddir(stream.get());
  std::vector<std::string> names;
  while (const dirent* entry = readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

std::unique_ptr<Directory> DirectoryAt(FileDescriptor directory) {
  return std::make_unique<PosixDirectory>(std::move(directory));
}

}  // namespace profile::posix
