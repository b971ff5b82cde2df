#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/posix/file_layer.h"

namespace profile::posix {
namespace {

// Whether a leftover may be taken for one of this program's own: a regular
// file of this user's or root's, with one name. Another user's file under
// such a name is never touched.
bool IsOwnLeftover(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0) && st.st_nlink == 1;
}

// Whether `group` is the primary group of `user`: with a group of its own
// per user, as Debian gives, that group is the user alone.
bool IsPrimaryGroupOf(uid_t user, gid_t group) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  return getpwuid_r(user, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
         found->pw_gid == group;
}

// A record is trusted only where nobody else could have written it who may
// not write the file `file` it repairs anyway. The Windows program under
// Wine makes its files with the umask's permissions, group-writable under
// the common umask 002; on a file system without Unix permissions (NTFS
// or FAT through FUSE) every file shows the mount's.
bool IsTrustedRecord(const struct stat& st, const struct stat& file) {
  const bool others_may_write = (st.st_mode & 002) != 0;
  const bool group_may_write = (st.st_mode & 020) != 0 && !IsPrimaryGroupOf(st.st_uid, st.st_gid);
  return IsOwnLeftover(st) && (!others_may_write || (file.st_mode & 002) != 0) &&
         (!group_may_write || ((file.st_mode & 020) != 0 && file.st_gid == st.st_gid) ||
          (file.st_mode & 002) != 0);
}

// The leftovers beside `file_name`, of each kind.
std::vector<std::pair<Leftover, std::string>> Leftovers(int directory,
                                                        const std::string& file_name) {
  std::vector<std::pair<Leftover, std::string>> names;
  const int listing = dup(directory);
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(listing >= 0 ? fdopendir(listing) : nullptr,
                                                closedir);
  if (!dir) {
    if (listing >= 0) close(listing);
    return names;
  }
  // The copy shares the directory's read position with the original.
  rewinddir(dir.get());
  while (const dirent* entry = readdir(dir.get())) {
    const Leftover kind = LeftoverKind<char>(entry->d_name, file_name);
    if (kind != Leftover::kNone) names.emplace_back(kind, entry->d_name);
  }
  return names;
}

// A write in place cut short: finished from its record when the file is
// in a state the write could have left, and the record removed. Returns
// kWritten when there was nothing to finish or it is finished.
WriteResult FinishCutShortWrite(int directory, const std::string& record_name,
                                const std::string& file_name) {
  // Opened without blocking and without following a link: a FIFO or a link
  // planted under the name is no record.
  const FileDescriptor record(
      openat(directory, record_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat record_st, file_st;
  // The file, or a link's target, which is what a write in place wrote.
  if (!record.valid() || fstat(record.get(), &record_st) != 0 ||
      fstatat(directory, file_name.c_str(), &file_st, 0) != 0 || !S_ISREG(file_st.st_mode) ||
      !IsTrustedRecord(record_st, file_st)) {
    return WriteResult::kWritten;
  }
  DescriptorReader record_reader(record.get());
  const std::optional<RedoRecord> redo =
      ReadRedoRecord(record_reader, static_cast<uint64_t>(record_st.st_size));
  if (!redo || file_st.st_ino != redo->header.file_id) {
    return WriteResult::kWritten;  // not a record, or one of some other file
  }
  const FileDescriptor file(openat(directory, file_name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return ResultOf(errno);
  if (fstat(file.get(), &file_st) != 0 || file_st.st_ino != redo->header.file_id) {
    return WriteResult::kFailed;
  }
  DescriptorReader file_reader(file.get());
  if (!FileProvesRecord(*redo, record_reader, file_reader,
                        static_cast<uint64_t>(file_st.st_size))) {
    return WriteResult::kUnprovenRecord;
  }
  const auto first_change = static_cast<off_t>(redo->header.first_change);
  const auto new_size = static_cast<off_t>(redo->header.new_size);
  const SignalsHeldBack held_back;
  if (!(Reserve(file.get(), file_st.st_size, new_size) &&
        CopyRange(record.get(), static_cast<off_t>(redo->content_offset), file.get(), first_change,
                  new_size - first_change) &&
        ftruncate(file.get(), new_size) == 0 && fsync(file.get()) == 0)) {
    return ResultOf(errno);
  }
  unlinkat(directory, record_name.c_str(), 0);
  SyncDirectory(directory);
  return WriteResult::kWritten;
}

}  // namespace

// With the lock held no other run is under way, so whatever temporary file
// is there belongs to a run that is gone, whatever its name says.
WriteResult CleanUpAfterDeadRuns(int directory, const std::string& file_name) {
  WriteResult result = WriteResult::kWritten;
  for (const auto& [kind, name] : Leftovers(directory, file_name)) {
    struct stat st;
    if (kind == Leftover::kTemporary) {
      if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && IsOwnLeftover(st)) {
        unlinkat(directory, name.c_str(), 0);
      }
    } else if (const WriteResult finished = FinishCutShortWrite(directory, name, file_name);
               finished != WriteResult::kWritten) {
      result = finished;
    }
  }
  return result;
}

}  // namespace profile::posix
