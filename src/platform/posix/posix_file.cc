// An open file on POSIX, and errno turned into the protocol's errors.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/posix_file_system.h"

namespace profile::posix {

bool DescriptorTraits::Close(int fd) { return close(fd) == 0; }

FileDescriptor Duplicate(int fd) { return FileDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

static ErrorKind KindOf(int error_number) {
  using enum ErrorKind;
  if (IsOneOf(error_number, ENOENT)) return kMissing;
  if (IsOneOf(error_number, ENOTDIR)) return kNoDirectory;
  if (IsOneOf(error_number, EACCES, EPERM)) return kAccessDenied;
  if (IsOneOf(error_number, EROFS)) return kReadOnlyMedium;
  if (IsOneOf(error_number, ENOSPC, EDQUOT)) return kDiskFull;
  if (IsOneOf(error_number, EFBIG)) return kTooLarge;
  if (IsOneOf(error_number, ETXTBSY, EBUSY, EAGAIN)) return kInUse;
  if (IsOneOf(error_number, EISDIR, ELOOP, ENXIO)) return kNotAFile;
  if (IsOneOf(error_number, EEXIST)) return kExists;
  if (IsOneOf(error_number, ENOSYS, EOPNOTSUPP, EXDEV)) return kUnsupported;
  if (IsOneOf(error_number, EIO)) return kIo;
  return kOther;
}

Failure FailureOf(std::string call, std::string name, int error_number, std::string other_name) {
  return {KindOf(error_number), std::move(call), std::move(name), std::move(other_name),
          std::strerror(error_number)};
}

Status Checked(bool ok, const char* call, const std::string& name) {
  const int error_number = errno;
  return ok ? Status() : FailureOf(call, name, error_number);
}

FileFacts FactsOf(const struct stat& st) {
  FileFacts facts;
  facts.type = S_ISREG(st.st_mode)   ? FileType::kRegular
               : S_ISDIR(st.st_mode) ? FileType::kDirectory
               : S_ISLNK(st.st_mode) ? FileType::kLink
                                     : FileType::kOther;
  facts.id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  facts.size = static_cast<uint64_t>(st.st_size);
  facts.links = static_cast<uint32_t>(st.st_nlink);
  // No write bit stands for Windows' read-only attribute, as Wine shows it.
  facts.read_only = (st.st_mode & 0222) == 0;
  return facts;
}

Result<FileFacts> PosixFile::Facts() {
  struct stat st;
  if (fstat(fd(), &st) != 0) return FailureOf("stat", name_, errno);
  FileFacts facts = FactsOf(st);
  // On an NTFS partition the permission bits do not show the attribute.
  const std::optional<uint32_t> windows_attributes = WindowsAttributes();
  facts.read_only |= windows_attributes && (*windows_attributes & kWindowsReadOnly);
  return facts;
}

std::optional<uint32_t> PosixFile::WindowsAttributes() {
  if (!windows_attributes_) windows_attributes_ = WindowsAttributesOf(fd());
  return *windows_attributes_;
}

Status PosixFile::ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) {
  ssize_t read;
  do {
    read = pread(fd(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
  } while (read < 0 && errno == EINTR);
  got = static_cast<size_t>(std::max<ssize_t>(read, 0));
  return Checked(read >= 0, "read", name_);
}

Status PosixFile::WriteAt(uint64_t offset, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = pwrite(fd(), data.data(), data.size(), static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return FailureOf("write", name_, written < 0 ? errno : EIO);
    data.remove_prefix(static_cast<size_t>(written));
    offset += static_cast<uint64_t>(written);
  }
  return {};
}

Status PosixFile::SetSize(uint64_t size) {
  return Checked(ftruncate(fd(), static_cast<off_t>(size)) == 0, "resize", name_);
}

Status PosixFile::Reserve(uint64_t size) {
  struct stat st;
  if (fstat(fd(), &st) != 0) return FailureOf("stat", name_, errno);
  const auto old_size = static_cast<uint64_t>(st.st_size);
  if (size <= old_size) return {};
  if (fallocate(fd(), 0, static_cast<off_t>(old_size), static_cast<off_t>(size - old_size)) == 0) {
    return {};
  }
  // ntfs-3g and older FUSE file systems have no fallocate.
  if (!IsOneOf(errno, EOPNOTSUPP, ENOSYS)) return FailureOf("reserve room in", name_, errno);
  return WriteZeros(*this, old_size, size);
}

Status PosixFile::Flush() { return Checked(fsync(fd()) == 0, "flush", name_); }

// An open file description's lock (not a process's, which closing any
// other descriptor of the file would drop). Wine keeps a Windows program's
// LockFileEx as a POSIX lock on the same file, which this one sees.
Result<bool> PosixFile::TryLock(uint64_t offset) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = 1;
  if (fcntl(fd(), F_OFD_SETLK, &range) == 0) return true;
  if (IsOneOf(errno, EAGAIN, EACCES, EINTR)) return false;
  return FailureOf("lock", name_, errno);
}

Status PosixFile::Close() { return Checked(fd_.Close(), "close", name_); }

}  // namespace profile::posix
