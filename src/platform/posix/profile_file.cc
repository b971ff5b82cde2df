#include "platform/profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

// On POSIX, `path` is a host path. A symbolic link is followed to its target
// and stays a link; a dangling or looping link is refused. Permission bits
// are kept, and the owner when run as root.
namespace profile {
namespace {

class FileDescriptor final {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor() { Close(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting whether the close succeeded (it can report a
  // late write error).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

// Extended attributes by name: Wine's DOS attributes (user.DOSATTRIB, where
// it keeps hidden and system), other user attributes, the access control
// list (system.posix_acl_access), security labels.
using ExtendedAttributes = std::map<std::string, std::string>;

struct FileAttributes {
  mode_t permissions;
  std::optional<std::pair<uid_t, gid_t>> owner;  // nothing for a new file
  // What the new file must carry exactly; nothing for a new file, which
  // keeps what it is created with (a directory's default ACL, say).
  std::optional<ExtendedAttributes> extended;
};

// Every extended attribute of an open file; nothing when they cannot be
// read. A file system without them has none.
std::optional<ExtendedAttributes> ReadExtendedAttributes(int fd) {
  const ssize_t size = flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP ? std::optional(ExtendedAttributes{}) : std::nullopt;
  std::string names(static_cast<size_t>(size), '\0');
  if (flistxattr(fd, names.data(), names.size()) != size) return std::nullopt;
  ExtendedAttributes attributes;
  for (size_t begin = 0; begin < names.size(); begin = names.find('\0', begin) + 1) {
    const std::string name = names.c_str() + begin;
    const ssize_t length = fgetxattr(fd, name.c_str(), nullptr, 0);
    std::string value(static_cast<size_t>(std::max<ssize_t>(length, 0)), '\0');
    if (length < 0 || fgetxattr(fd, name.c_str(), value.data(), value.size()) != length) {
      return std::nullopt;
    }
    attributes.emplace(name, std::move(value));
  }
  return attributes;
}

// Gives the new file exactly `wanted`: what it was created with beyond them
// (an ACL inherited from the directory) goes, and each of them is set. A
// security label this process may not set is left to the system's default;
// any other attribute that cannot be carried over refuses the write.
bool CarryExtendedAttributes(int fd, const ExtendedAttributes& wanted) {
  const std::optional<ExtendedAttributes> created = ReadExtendedAttributes(fd);
  if (!created) return false;
  for (const auto& [name, value] : *created) {
    if (!wanted.contains(name) && fremovexattr(fd, name.c_str()) != 0 &&
        !name.starts_with("security.")) {
      return false;
    }
  }
  for (const auto& [name, value] : wanted) {
    if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0 &&
        !name.starts_with("security.")) {
      return false;
    }
  }
  return true;
}

// Reads all of the file into a string sized to what fstat said, so that it
// is held once; a file that changed size meanwhile is still read to its
// end.
bool ReadWhole(int fd, size_t expected_size, std::string& content) {
  content.resize(expected_size);
  size_t length = 0;
  for (;;) {
    if (length == content.size()) content.resize(length + (size_t{1} << 16));
    const ssize_t got =
        pread(fd, content.data() + length, content.size() - length, static_cast<off_t>(length));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      content.resize(length);
      return true;
    }
    length += static_cast<size_t>(got);
  }
}

// The plan for the open file `fd`. The file is read from its start only as
// far as the plan needs, in parts, never whole, but where only the whole
// file decides the plan.
std::optional<Plan> PlanForFile(int fd, size_t size, const Entry& entry) {
  EntryPlanner planner(entry);
  for (;;) {
    const std::span<char> room = planner.Room();
    const ssize_t got = read(fd, room.data(), room.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0 || !planner.Took(static_cast<size_t>(got))) break;
  }
  if (std::optional<Plan> plan = planner.Finish()) return plan;
  std::string original;
  if (!ReadWhole(fd, size, original)) return std::nullopt;
  return PlanEntry(original, entry);
}

// Temporary files are named ".<file>.<pid>.<nonce>.kavro-tmp", so that a
// later run can tell which of them belong to a process that is gone.
constexpr std::string_view kTemporarySuffix = ".kavro-tmp";

std::string TemporaryPrefix(const std::string& file_name) { return "." + file_name + "."; }

// A complete copy of the new file, left beside it while a write in place
// runs, is named ".<file>.<pid>.<nonce>.kavro-redo".
constexpr std::string_view kRedoSuffix = ".kavro-redo";

std::optional<pid_t> OwnerOf(std::string_view entry, std::string_view prefix,
                             std::string_view suffix) {
  if (!entry.starts_with(prefix) || !entry.ends_with(suffix)) return std::nullopt;
  const std::string middle(entry.substr(prefix.size()));
  char* end = nullptr;
  const long pid = std::strtol(middle.c_str(), &end, 10);
  if (end == middle.c_str() || *end != '.' || pid <= 0 || pid > INT_MAX) return std::nullopt;
  return static_cast<pid_t>(pid);
}

bool IsGone(pid_t pid) { return pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH; }

bool WriteAllAt(int fd, std::string_view data, off_t offset) {
  while (!data.empty()) {
    const ssize_t written = pwrite(fd, data.data(), data.size(), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
    offset += written;
  }
  return true;
}

// Whether copy_file_range failed only because it cannot copy here: a kernel
// without it, a sandbox that forbids it, a file system that refuses it. A
// copy through a buffer does instead.
bool KernelCopyUnavailable(int error) {
  return error == ENOSYS || error == EPERM || error == EXDEV || error == EINVAL ||
         error == EOPNOTSUPP;
}

// Copies `length` bytes of `from` at `from_offset` to `to` at `to_offset`.
// The kernel copies them where it can, so that they never pass through this
// process (and a file system that shares blocks shares them); otherwise
// they go through a buffer. A source that ends early fails the copy.
bool CopyRange(int from, off_t from_offset, int to, off_t to_offset, off_t length) {
  while (length > 0) {
    const ssize_t copied =
        copy_file_range(from, &from_offset, to, &to_offset, static_cast<size_t>(length), 0);
    if (copied > 0) {
      length -= copied;
    } else if (copied == 0 || errno != EINTR) {
      if (copied < 0 && !KernelCopyUnavailable(errno)) return false;
      break;
    }
  }
  char buffer[1 << 16];
  while (length > 0) {
    const ssize_t got = pread(
        from, buffer, static_cast<size_t>(std::min<off_t>(length, sizeof buffer)), from_offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 ||
        !WriteAllAt(to, std::string_view(buffer, static_cast<size_t>(got)), to_offset)) {
      return false;
    }
    from_offset += got;
    to_offset += got;
    length -= got;
  }
  return true;
}

// The size of the file that `plan` makes of one of `old_size` bytes.
off_t NewSize(const Plan& plan, off_t old_size) {
  off_t size = old_size;
  for (const Splice& splice : plan.splices) {
    size += static_cast<off_t>(splice.text.size()) - static_cast<off_t>(splice.end - splice.begin);
  }
  return size;
}

// Writes the new file to `to`: the first `size` bytes of `from` with the
// plan's splices. The kept bytes are copied file to file; only the
// splices' texts come from memory.
bool WriteNewFile(int from, off_t size, const Plan& plan, int to) {
  off_t kept_from = 0;
  off_t written = 0;
  for (const Splice& splice : plan.splices) {
    const off_t kept = static_cast<off_t>(splice.begin) - kept_from;
    if (!CopyRange(from, kept_from, to, written, kept) ||
        !WriteAllAt(to, splice.text, written + kept)) {
      return false;
    }
    written += kept + static_cast<off_t>(splice.text.size());
    kept_from = static_cast<off_t>(splice.end);
  }
  return CopyRange(from, kept_from, to, written, size - kept_from);
}

// A run that wrote in place was cut short after its copy of the new file
// was complete: the write is finished from the copy, then the copy goes.
void FinishWriteInPlace(int dir_fd, const char* copy_name, const std::string& file_name) {
  const FileDescriptor copy(openat(dir_fd, copy_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  const FileDescriptor file(openat(dir_fd, file_name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (copy.valid() && file.valid() && fstat(copy.get(), &st) == 0 &&
      CopyRange(copy.get(), 0, file.get(), 0, st.st_size) &&
      ftruncate(file.get(), st.st_size) == 0 && fsync(file.get()) == 0) {
    unlinkat(dir_fd, copy_name, 0);
  }
}

// What killed runs left beside the file: temporary files go, an unfinished
// write in place is finished.
void CleanUpAfterDeadRuns(int directory, const std::string& file_name) {
  const int listing = dup(directory);
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(listing >= 0 ? fdopendir(listing) : nullptr,
                                                closedir);
  if (!dir) {
    if (listing >= 0) close(listing);
    return;
  }
  const std::string prefix = TemporaryPrefix(file_name);
  while (const dirent* entry = readdir(dir.get())) {
    if (const auto owner = OwnerOf(entry->d_name, prefix, kTemporarySuffix);
        owner && IsGone(*owner)) {
      unlinkat(directory, entry->d_name, 0);
    } else if (const auto writer = OwnerOf(entry->d_name, prefix, kRedoSuffix);
               writer && IsGone(*writer)) {
      FinishWriteInPlace(directory, entry->d_name, file_name);
    }
  }
}

// While a temporary file exists, the signals that end a program (Ctrl-C, a
// closed terminal, a stop request) remove it first and then end the program
// as they would have, so that an interrupted run leaves nothing large
// behind. A signal the program was started to ignore stays ignored.
char temporary_to_remove[NAME_MAX + 1];
volatile sig_atomic_t temporary_directory = -1;
volatile sig_atomic_t has_temporary_to_remove = 0;

void RemoveTemporaryAndEnd(int signal_number) {
  if (has_temporary_to_remove) unlinkat(temporary_directory, temporary_to_remove, 0);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

class RemovedOnSignals final {
 public:
  RemovedOnSignals() {
    struct sigaction remove {};
    remove.sa_handler = RemoveTemporaryAndEnd;
    sigemptyset(&remove.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], nullptr, &previous_[i]);
      if (previous_[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &remove, nullptr);
    }
  }
  RemovedOnSignals(const RemovedOnSignals&) = delete;
  RemovedOnSignals& operator=(const RemovedOnSignals&) = delete;
  ~RemovedOnSignals() {
    Forget();
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  }

  // From now on `name` in `directory` is removed on a signal; set before
  // the file is made, so that it never exists unwatched.
  void Watch(int directory, const std::string& name) {
    has_temporary_to_remove = 0;
    if (name.size() >= sizeof temporary_to_remove) return;
    name.copy(temporary_to_remove, name.size());
    temporary_to_remove[name.size()] = '\0';
    temporary_directory = directory;
    has_temporary_to_remove = 1;
  }
  void Forget() { has_temporary_to_remove = 0; }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[std::size(kSignals)]{};
};

FileDescriptor CreateTemporary(int directory, const std::string& file_name, RemovedOnSignals& watch,
                               std::string& name) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned long nonce =
      static_cast<unsigned long>(now.tv_nsec) ^ static_cast<unsigned long>(now.tv_sec);
  for (int attempt = 0; attempt < 100; ++attempt, nonce = nonce * 6364136223846793005UL + 1) {
    name = TemporaryPrefix(file_name) + std::to_string(getpid()) + "." +
           std::to_string(nonce % 1000000007UL) + std::string(kTemporarySuffix);
    watch.Watch(directory, name);
    FileDescriptor fd(
        openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return FileDescriptor(-1);
}

// A file system that cannot sync a directory has still renamed the file, so
// a failure here fails nothing.
void SyncDirectory(int directory) { fsync(directory); }

// Puts the new file, `plan` applied to the `size` bytes of `source`, at
// `file_name` in `directory` through a flushed temporary file and a rename,
// so that the file is at every moment either the old one or the new one.
bool ReplaceFile(int directory, const std::string& file_name, int source, off_t size,
                 const Plan& plan, const FileAttributes& attributes) {
  RemovedOnSignals watch;
  std::string temporary;
  FileDescriptor fd = CreateTemporary(directory, file_name, watch, temporary);
  if (!fd.valid()) return false;
  // fchown before fchmod: a change of owner clears set-id bits.
  const bool written =
      WriteNewFile(source, size, plan, fd.get()) &&
      (!attributes.owner ||
       fchown(fd.get(), attributes.owner->first, attributes.owner->second) == 0) &&
      fchmod(fd.get(), attributes.permissions) == 0 &&
      (!attributes.extended || CarryExtendedAttributes(fd.get(), *attributes.extended)) &&
      fsync(fd.get()) == 0 && fd.Close() &&
      renameat(directory, temporary.c_str(), directory, file_name.c_str()) == 0;
  if (!written) {
    unlinkat(directory, temporary.c_str(), 0);
    return false;
  }
  watch.Forget();
  SyncDirectory(directory);
  return true;
}

// Holds back the signals that end a program for the life of the object;
// they are delivered when it ends.
class SignalsHeldBack final {
 public:
  SignalsHeldBack() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal_number);
    sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  SignalsHeldBack(const SignalsHeldBack&) = delete;
  SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;
  ~SignalsHeldBack() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

// Room for a file grown to `new_size`, taken before any byte of it changes,
// so that a full disk refuses the write while the file is still whole.
bool Reserve(int fd, off_t old_size, off_t new_size) {
  if (new_size <= old_size || posix_fallocate(fd, old_size, new_size - old_size) == 0) return true;
  ftruncate(fd, old_size);
  return false;
}

// Writes the new file, `plan` applied to the `old_size` bytes of `source`,
// over the old one from its first changed byte on, for a file that a new
// one in its place would not be: one another user owns, one with other
// names (hard links), one mounted in place. Windows' own writer works in
// place; this one first leaves a complete, flushed copy of the new file
// beside it, from which a later run finishes the write if this one is cut
// short, and from which this one copies.
bool WriteInPlace(int directory, const std::string& file_name, int source, off_t old_size,
                  const Plan& plan) {
  RemovedOnSignals watch;
  std::string copy;
  const FileDescriptor copy_fd = CreateTemporary(directory, file_name, watch, copy);
  if (!copy_fd.valid()) return false;
  const std::string named =
      copy.substr(0, copy.size() - kTemporarySuffix.size()).append(kRedoSuffix);
  if (!(WriteNewFile(source, old_size, plan, copy_fd.get()) && fsync(copy_fd.get()) == 0 &&
        renameat(directory, copy.c_str(), directory, named.c_str()) == 0)) {
    unlinkat(directory, copy.c_str(), 0);
    return false;
  }
  copy = named;
  watch.Forget();
  SyncDirectory(directory);

  // From here on the write runs to its end before a signal may end the run.
  const SignalsHeldBack held_back;
  const off_t new_size = NewSize(plan, old_size);
  const auto first_change = static_cast<off_t>(plan.splices.front().begin);
  FileDescriptor file(openat(directory, file_name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid() || !Reserve(file.get(), old_size, new_size)) {
    unlinkat(directory, copy.c_str(), 0);
    return false;
  }
  // Cut short, the copy stays for the next run to finish from.
  if (!(CopyRange(copy_fd.get(), first_change, file.get(), first_change, new_size - first_change) &&
        ftruncate(file.get(), new_size) == 0 && fsync(file.get()) == 0 && file.Close())) {
    return false;
  }
  unlinkat(directory, copy.c_str(), 0);
  SyncDirectory(directory);
  return true;
}

// The mount `name` in `directory` lies on ("" for the directory itself), as
// far as the kernel tells.
std::optional<std::pair<uint64_t, dev_t>> MountOf(int directory, const char* name) {
  struct statx st;
  const int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
  if (statx(directory, name, flags, STATX_MNT_ID, &st) != 0) return std::nullopt;
  const uint64_t mount_id = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
  return std::pair(mount_id, makedev(st.stx_dev_major, st.stx_dev_minor));
}

// Whether this process may give a file it owns to `group`: root, or a
// member of it.
bool MayGiveTo(gid_t group) {
  if (geteuid() == 0 || getegid() == group) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  groups.resize(
      static_cast<size_t>(std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Whether a new file in the place of this one would differ in more than its
// content: its owner or group, where this process may not give the new file
// away; other names of the file; a file mounted in place (a bind mount),
// which cannot be renamed over.
bool ReplacingWouldChangeIt(const struct stat& st, int directory, const std::string& file_name) {
  const auto file_mount = MountOf(directory, file_name.c_str());
  const bool mounted_in_place = !file_mount || file_mount != MountOf(directory, "");
  const bool owner_kept = geteuid() == 0 || (st.st_uid == geteuid() && MayGiveTo(st.st_gid));
  return !owner_kept || st.st_nlink > 1 || mounted_in_place;
}

mode_t PermissionsForNewFile() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The file the edit goes to: `path` itself, or the target of a link. Returns
// nothing for a dangling or looping link and other unresolvable paths.
std::optional<std::string> ResolveTarget(const std::string& path) {
  if (char* real = realpath(path.c_str(), nullptr)) {
    std::string target(real);
    std::free(real);
    return target;
  }
  struct stat st;
  if (errno == ENOENT && lstat(path.c_str(), &st) != 0 && errno == ENOENT) return path;
  return std::nullopt;
}

bool SetEntryInFile(const std::string& path, const Entry& entry) {
  const std::optional<std::string> target = ResolveTarget(path);
  if (!target) return false;
  const size_t slash = target->rfind('/');
  const std::string file_name = target->substr(slash + 1);
  // Everything from here on goes relative to the directory as it is now: a
  // directory renamed or replaced during the run is never written into.
  const FileDescriptor directory(open(slash == 0 ? "/" : target->substr(0, slash).c_str(),
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return false;
  const int dir = directory.get();
  CleanUpAfterDeadRuns(dir, file_name);

  struct stat st;
  if (fstatat(dir, file_name.c_str(), &st, 0) != 0) {
    if (errno != ENOENT) return false;
    return ReplaceFile(dir, file_name, -1, 0, PlanEntry({}, entry),
                       {PermissionsForNewFile(), std::nullopt, std::nullopt});
  }
  // Only regular files are opened at all: a FIFO or a device must not block
  // the program or be disturbed by it.
  if (!S_ISREG(st.st_mode)) return false;
  const FileDescriptor fd(
      openat(dir, file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::optional<ExtendedAttributes> extended = ReadExtendedAttributes(fd.get());
  const std::optional<Plan> plan =
      extended ? PlanForFile(fd.get(), static_cast<size_t>(st.st_size), entry) : std::nullopt;
  if (!plan) return false;
  if (plan->status == EditStatus::kAlreadySet) return true;
  if (plan->status != EditStatus::kEdited) return false;
  // A file without any write bit stands for a read-only file and is refused
  // even where the permission bits do not bind (as root).
  const bool read_only = (st.st_mode & 0222) == 0;
  if (read_only || faccessat(dir, file_name.c_str(), W_OK, AT_EACCESS) != 0) return false;
  if (ReplacingWouldChangeIt(st, dir, file_name)) {
    return WriteInPlace(dir, file_name, fd.get(), st.st_size, *plan);
  }
  const FileAttributes attributes{static_cast<mode_t>(st.st_mode & 07777),
                                  std::pair(st.st_uid, st.st_gid), std::move(extended)};
  return ReplaceFile(dir, file_name, fd.get(), st.st_size, *plan, attributes);
}

}  // namespace

bool WriteProfileEntry(const std::string& path, const Entry& entry) {
  if (!IsWritable(entry)) return false;
  try {
    return SetEntryInFile(path, entry);
  } catch (const std::bad_alloc&) {
    return false;  // a file too large for memory is refused, not half-written
  }
}

}  // namespace profile
