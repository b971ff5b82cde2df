#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/file_layer.h"

namespace profile::posix {

bool FileDescriptor::Close() {
  const int fd = std::exchange(fd_, -1);
  return fd < 0 || close(fd) == 0;
}

WriteResult ResultOf(int error_number) {
  switch (error_number) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return WriteResult::kDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
      return WriteResult::kAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return WriteResult::kNoDirectory;
    case EISDIR:
    case ELOOP:
    case ENXIO:
      return WriteResult::kNotAFile;
    case ETXTBSY:
    case EAGAIN:
      return WriteResult::kHeldOpen;
    default:
      return WriteResult::kFailed;
  }
}

bool DescriptorReader::ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) {
  for (;;) {
    const ssize_t read = pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (read < 0 && errno == EINTR) continue;
    got = static_cast<size_t>(std::max<ssize_t>(read, 0));
    return read >= 0;
  }
}

namespace {

// Whether copy_file_range failed only because it cannot copy here: a kernel
// without it, a sandbox that forbids it, a file system that refuses it. A
// copy through a buffer does instead.
bool KernelCopyUnavailable(int error) {
  return error == ENOSYS || error == EPERM || error == EXDEV || error == EINVAL ||
         error == EOPNOTSUPP;
}

}  // namespace

std::optional<Plan> PlanForFile(int fd, const Entry& entry) {
  EntryPlanner planner(entry);
  for (;;) {
    const std::span<char> room = planner.Room();
    const ssize_t got = read(fd, room.data(), room.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0 || !planner.Took(static_cast<size_t>(got))) break;
  }
  return planner.Finish();
}

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
    if (got == 0) errno = EIO;  // the source ended early
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

bool WriteNewContent(int from, off_t old_size, const Plan& plan, off_t new_offset, int to,
                     off_t to_offset) {
  off_t kept_from = new_offset;
  for (const Splice& splice : plan.splices) {
    const off_t kept = static_cast<off_t>(splice.begin) - kept_from;
    if (!CopyRange(from, kept_from, to, to_offset, kept) ||
        !WriteAllAt(to, splice.text, to_offset + kept)) {
      return false;
    }
    to_offset += kept + static_cast<off_t>(splice.text.size());
    kept_from = static_cast<off_t>(splice.end);
  }
  return CopyRange(from, kept_from, to, to_offset, old_size - kept_from);
}

bool Reserve(int fd, off_t old_size, off_t new_size) {
  if (new_size <= old_size) return true;
  if (fallocate(fd, 0, old_size, new_size - old_size) == 0) return true;
  // A file system without fallocate (ntfs-3g, older FUSE ones) gets the
  // room written as zeros, never through a fallback that reads the file.
  if (errno == EOPNOTSUPP || errno == ENOSYS) {
    const std::string zeros(static_cast<size_t>(std::min<off_t>(new_size - old_size, 1 << 16)),
                            '\0');
    off_t at = old_size;
    while (at < new_size) {
      const auto part = static_cast<size_t>(std::min<off_t>(new_size - at, zeros.size()));
      if (!WriteAllAt(fd, std::string_view(zeros).substr(0, part), at)) break;
      at += static_cast<off_t>(part);
    }
    if (at == new_size && fsync(fd) == 0) return true;
  }
  const int error = errno;
  if (ftruncate(fd, old_size) != 0) {
    // The file keeps the zeros past its old end; the next run's check
    // allows for them.
  }
  errno = error;
  return false;
}

void SyncDirectory(int directory) { fsync(directory); }

FileDescriptor CreateTemporary(int directory, const std::string& file_name, mode_t mode,
                               RemovedOnSignals& watch, std::string& name) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t nonce = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                   static_cast<uint64_t>(getpid());
  for (int attempt = 0; attempt < 100; ++attempt, nonce = nonce * 6364136223846793005ULL + 1) {
    name = TemporaryName<char>(file_name, nonce % 1000000007ULL);
    watch.Watch(RemovedOnSignals::kTemporary, directory, name);
    FileDescriptor fd(
        openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return FileDescriptor();
}

}  // namespace profile::posix
