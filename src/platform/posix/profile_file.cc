#include "platform/profile_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/posix/file_layer.h"
#include "platform/posix/profile_file_at.h"

// On POSIX, `path` is a host path. A symbolic link is followed to its target
// and stays a link; a dangling or looping link is refused. Permission bits
// are kept, and the owner when run as root.
namespace profile {
namespace {

using namespace posix;

struct FileAttributes {
  // Nothing for a new file, which keeps the mode it is made with, as a
  // Windows program's under Wine: 0666 less the umask, or as a directory's
  // default ACL says.
  std::optional<mode_t> permissions;
  std::optional<std::pair<uid_t, gid_t>> owner;  // nothing for a new file
  // What the new file must carry exactly; nothing for a new file, which
  // keeps what it is created with (a directory's default ACL, say).
  std::optional<ExtendedAttributes> extended;
};

// Removes a file this run made; where that is refused (an append-only
// directory), says so, since it stays.
void RemoveOrSay(int directory, const std::string& name) {
  if (unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
    std::fprintf(stderr, "kavro-register: could not remove %s beside DASYLab.ini: %s\n",
                 name.c_str(), std::strerror(errno));
  }
}

// Gives the new file the old one's owner and permissions, changing only
// what differs: a file system without owners or modes (FAT through FUSE)
// refuses the calls even where they would change nothing.
bool CarryOwnerAndPermissions(int fd, const FileAttributes& attributes) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  // fchown before fchmod: a change of owner clears set-id bits.
  if (attributes.owner &&
      (st.st_uid != attributes.owner->first || st.st_gid != attributes.owner->second)) {
    if (fchown(fd, attributes.owner->first, attributes.owner->second) != 0) return false;
    st.st_mode = 0;
  }
  return !attributes.permissions || (st.st_mode & 07777) == *attributes.permissions ||
         fchmod(fd, *attributes.permissions) == 0;
}

// Renames `from` to `to` only while nothing is at `to`; where the file system
// cannot tell (no RENAME_NOREPLACE), a plain rename does under the lock.
bool RenameIfMissing(int directory, const std::string& from, const std::string& to) {
  if (renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  return errno == EINVAL && renameat(directory, from.c_str(), directory, to.c_str()) == 0;
}

// Puts the new file, `plan` applied to the `size` bytes of `source`, at
// `file_name` in `directory` through a flushed temporary file and a rename,
// so that the file is at every moment either the old one or the new one. A
// missing file (`source` -1) is created only while it is still missing.
WriteResult ReplaceWithNewFile(int directory, const std::string& file_name, int source, off_t size,
                               const Plan& plan, const FileAttributes& attributes,
                               RemovedOnSignals& watch) {
  std::string temporary;
  FileDescriptor fd =
      CreateTemporary(directory, file_name, attributes.permissions ? 0600 : 0666, watch, temporary);
  if (!fd.valid()) return ResultOf(errno);
  const bool written =
      WriteNewContent(source, size, plan, 0, fd.get(), 0) &&
      CarryOwnerAndPermissions(fd.get(), attributes) &&
      (!attributes.extended || CarryExtendedAttributes(fd.get(), *attributes.extended)) &&
      fsync(fd.get()) == 0 && fd.Close() &&
      (source >= 0 ? renameat(directory, temporary.c_str(), directory, file_name.c_str()) == 0
                   : RenameIfMissing(directory, temporary, file_name));
  const int error = errno;
  if (!written) RemoveOrSay(directory, temporary);
  watch.Forget(RemovedOnSignals::kTemporary);
  if (!written) return ResultOf(error);
  SyncDirectory(directory);
  return WriteResult::kWritten;
}

// Writes the record of a write in place to `record`: the new content, `plan`
// applied to `file`, from the first change on, then the head with that
// content's checksum; flushed.
bool WriteRecord(int record, int file, const Plan& plan, RedoHeader& header, off_t content_offset) {
  const auto first_change = static_cast<off_t>(header.first_change);
  // A head comes first, so that a record cut short is known for one.
  if (!WriteAllAt(record, EncodeRedoHeader(header), 0) ||
      !WriteNewContent(file, static_cast<off_t>(header.old_size), plan, first_change, record,
                       content_offset)) {
    return false;
  }
  DescriptorReader written(record);
  const std::optional<uint32_t> checksum = ChecksumRange(
      written, static_cast<uint64_t>(content_offset), header.new_size - header.first_change);
  if (!checksum) return false;
  header.new_content_checksum = *checksum;
  return WriteAllAt(record, EncodeRedoHeader(header), 0) && fsync(record) == 0;
}

// Writes the entry into the file `file_name`, `known` (as first read),
// over the old content from its first changed byte on, for a file that a
// new one in its place would not be: the target of a link, one another
// user owns, one with other names (hard links), one mounted in place. Windows' own writer works in
// place; this one first leaves a flushed record of the write beside the
// file, from which a later run finishes the write if this one is cut
// short, and from which this one copies. Other names of the file may lie
// in other directories, beyond the run lock's reach: the file itself is
// locked too, and planned again under that lock.
WriteResult WriteInPlace(int directory, const std::string& file_name, const struct stat& known,
                         const Entry& entry, RemovedOnSignals& watch) {
  FileDescriptor file(openat(directory, file_name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!file.valid()) return ResultOf(errno);
  if (fstat(file.get(), &st) != 0 || st.st_ino != known.st_ino) return WriteResult::kFailed;
  if (const WriteResult locked = TakeFileLock(file.get()); locked != WriteResult::kWritten) {
    return locked;
  }
  if (fstat(file.get(), &st) != 0) return ResultOf(errno);
  const std::optional<Plan> planned = PlanForFile(file.get(), entry);
  if (!planned) return ResultOf(errno);
  if (planned->status == EditStatus::kAlreadySet) return WriteResult::kWritten;
  if (planned->status != EditStatus::kEdited) return WriteResult::kUnreadable;
  const Plan& plan = *planned;

  const off_t old_size = st.st_size;
  const auto new_size = static_cast<off_t>(NewSize(plan, static_cast<uint64_t>(old_size)));
  const auto first_change = static_cast<off_t>(plan.splices.front().begin);
  DescriptorReader old_file(file.get());
  std::optional<std::vector<uint32_t>> checksums = ChecksumOldContent(
      old_file, static_cast<uint64_t>(first_change), static_cast<uint64_t>(old_size));
  if (!checksums) return ResultOf(errno);
  RedoHeader header{static_cast<uint64_t>(st.st_ino),
                    static_cast<uint64_t>(old_size),
                    static_cast<uint64_t>(new_size),
                    static_cast<uint64_t>(first_change),
                    kRedoBlockSize,
                    0,
                    std::move(*checksums)};
  const auto content_offset = static_cast<off_t>(EncodeRedoHeader(header).size());

  std::string temporary;
  const FileDescriptor record = CreateTemporary(directory, file_name, 0600, watch, temporary);
  if (!record.valid()) return ResultOf(errno);
  const std::string record_name = RedoName<char>(temporary);
  if (!(WriteRecord(record.get(), file.get(), plan, header, content_offset) &&
        renameat(directory, temporary.c_str(), directory, record_name.c_str()) == 0)) {
    const int error = errno;
    RemoveOrSay(directory, temporary);
    watch.Forget(RemovedOnSignals::kTemporary);
    return ResultOf(error);
  }
  // From here on the record stays until the write is done, and the write
  // runs to its end before a signal may end the run.
  watch.Forget(RemovedOnSignals::kTemporary);
  const SignalsHeldBack held_back;
  SyncDirectory(directory);
  if (!Reserve(file.get(), old_size, new_size)) {
    const int error = errno;
    RemoveOrSay(directory, record_name);
    return ResultOf(error);
  }
  // Cut short, the record stays for the next run to finish from.
  if (!(CopyRange(record.get(), content_offset, file.get(), first_change,
                  new_size - first_change) &&
        ftruncate(file.get(), new_size) == 0 && fsync(file.get()) == 0 && file.Close())) {
    return ResultOf(errno);
  }
  RemoveOrSay(directory, record_name);
  SyncDirectory(directory);
  return WriteResult::kWritten;
}

// Under the run lock: what a cut-short run left, then the file itself.
WriteResult SetEntryLocked(int dir, const std::string& file_name, const Entry& entry,
                           RemovedOnSignals& watch) {
  if (const WriteResult cleaned = CleanUpAfterDeadRuns(dir, file_name);
      cleaned != WriteResult::kWritten) {
    return cleaned;
  }
  struct stat st;
  if (fstatat(dir, file_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return ResultOf(errno);
    return ReplaceWithNewFile(dir, file_name, -1, 0, PlanEntry({}, entry),
                              {std::nullopt, std::nullopt, std::nullopt}, watch);
  }
  // A link is followed to its target, which is written in place, so that
  // the link stays a link; a dangling or looping link is refused.
  const bool is_link = S_ISLNK(st.st_mode);
  // Run as root, a link another user owns is followed only in that user's
  // own directory, as protected_symlinks has it in sticky directories.
  struct stat directory_st;
  if (is_link && geteuid() == 0 && st.st_uid != 0 &&
      (fstat(dir, &directory_st) != 0 || directory_st.st_uid != st.st_uid)) {
    return WriteResult::kAccessDenied;
  }
  if (is_link && fstatat(dir, file_name.c_str(), &st, 0) != 0) return WriteResult::kNotAFile;
  // Only regular files are opened at all: a FIFO or a device must not block
  // the program or be disturbed by it.
  if (!S_ISREG(st.st_mode)) return WriteResult::kNotAFile;
  const FileDescriptor fd(openat(dir, file_name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return ResultOf(errno);
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return WriteResult::kNotAFile;
  const std::optional<Plan> plan = PlanForFile(fd.get(), entry);
  if (!plan) return ResultOf(errno);
  if (plan->status == EditStatus::kAlreadySet) return WriteResult::kWritten;
  if (plan->status != EditStatus::kEdited) return WriteResult::kUnreadable;
  // A file without any write bit stands for a read-only file and is refused
  // even where the permission bits do not bind (as root), and so is one
  // with Windows' read-only attribute on an NTFS partition, which the
  // permission bits do not show.
  const std::optional<uint32_t> windows_attributes = WindowsAttributesOf(fd.get());
  if ((st.st_mode & 0222) == 0 ||
      (windows_attributes && (*windows_attributes & kWindowsReadOnly))) {
    return WriteResult::kReadOnly;
  }
  if (faccessat(dir, file_name.c_str(), W_OK, AT_EACCESS) != 0) return ResultOf(errno);
  // On NTFS a new file would lose the Windows side of the old one: its
  // attributes, security descriptor and creation time.
  if (is_link || windows_attributes || ReplacingWouldChangeIt(st, dir, file_name)) {
    return WriteInPlace(dir, file_name, st, entry, watch);
  }
  std::optional<ExtendedAttributes> extended = ReadExtendedAttributes(fd.get());
  if (!extended) return ResultOf(errno);
  const FileAttributes attributes{static_cast<mode_t>(st.st_mode & 07777),
                                  std::pair(st.st_uid, st.st_gid), std::move(extended)};
  return ReplaceWithNewFile(dir, file_name, fd.get(), st.st_size, *plan, attributes, watch);
}

}  // namespace

// The lock, the temporary files and the records go beside the name the
// path gives, a link or not, where the Windows program under Wine, which
// cannot see links, puts them too.
WriteResult WriteProfileEntryAt(int directory, const std::string& file_name, const Entry& entry) {
  if (!IsWritable(entry)) return WriteResult::kFailed;
  try {
    RemovedOnSignals watch;
    RunLock lock;
    if (const WriteResult locked = TakeRunLock(directory, file_name, watch, lock);
        locked != WriteResult::kWritten) {
      return locked;
    }
    return SetEntryLocked(directory, file_name, entry, watch);
  } catch (const std::bad_alloc&) {
    return WriteResult::kFailed;  // a file too large for memory is refused, not half-written
  }
}

WriteResult WriteProfileEntry(const std::string& path, const Entry& entry) {
  const size_t slash = path.rfind('/');
  const std::string file_name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string directory_path = slash == std::string::npos ? "."
                                     : slash == 0               ? "/"
                                                                : path.substr(0, slash);
  // Everything from here on goes relative to the directory as it is now: a
  // directory renamed or replaced during the run is never written into.
  const FileDescriptor directory(open(directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return ResultOf(errno);
  return WriteProfileEntryAt(directory.get(), file_name, entry);
}

}  // namespace profile
