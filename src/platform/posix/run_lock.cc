#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/file_layer.h"

namespace profile::posix {
namespace {

int64_t NowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Opens the lock file, making it where there is none. In a sticky
// directory the system may refuse to create over another user's file even
// when it may be opened, so that is tried too.
FileDescriptor OpenLockFile(int directory, const std::string& name) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  FileDescriptor fd(openat(directory, name.c_str(), kFlags | O_CREAT, 0666));
  if (!fd.valid() && errno == EACCES) fd = FileDescriptor(openat(directory, name.c_str(), kFlags));
  return fd;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

// One attempt, with the signals that end a program held back from the
// moment the lock file may be made until it is watched, so that no signal
// leaves one behind that nobody holds.
Attempt TryRunLock(int directory, const std::string& name, RemovedOnSignals& watch, RunLock& lock) {
  const SignalsHeldBack held_back;
  FileDescriptor fd = OpenLockFile(directory, name);
  struct stat locked;
  // A link, a FIFO, a directory, a file with content or another name in its
  // place is no lock file of ours: nothing is locked, followed or removed
  // there.
  if (!fd.valid())
    return errno == ELOOP || errno == ENXIO || errno == EISDIR ? Attempt::kUnusable
                                                               : Attempt::kFailed;
  if (fstat(fd.get(), &locked) != 0) return Attempt::kFailed;
  // Removed by the run before, as it let go, since it was opened here.
  if (locked.st_nlink == 0) return Attempt::kGone;
  if (!S_ISREG(locked.st_mode) || locked.st_size != 0 || locked.st_nlink != 1) {
    return Attempt::kUnusable;
  }
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  if (fcntl(fd.get(), F_OFD_SETLK, &range) != 0) {
    return errno == EAGAIN || errno == EACCES || errno == EINTR ? Attempt::kHeldByAnother
                                                                : Attempt::kFailed;
  }
  // The run before removed the lock file as it let go: a lock on a file
  // no longer under the name excludes nobody, so it is taken anew.
  struct stat named;
  if (fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameFile(locked, named)) {
    return Attempt::kGone;
  }
  watch.Watch(RemovedOnSignals::kLock, directory, name);
  lock.fd_ = std::move(fd);
  lock.directory_ = directory;
  lock.name_ = name;
  lock.watch_ = &watch;
  return Attempt::kTaken;
}

RunLock::~RunLock() {
  if (!fd_.valid()) return;
  // Forgotten before it goes, so that no signal removes a lock file another
  // run has made meanwhile; and no signal in between leaves it behind.
  const SignalsHeldBack held_back;
  watch_->Forget(RemovedOnSignals::kLock);
  unlinkat(directory_, name_.c_str(), 0);
}

// An open file description's lock (not a process's), one byte at the start
// of a file nobody reads. Wine keeps a Windows program's LockFileEx as the
// same kind of POSIX lock, so the native program and the Windows one under
// Wine exclude each other.
WriteResult TakeRunLock(int directory, const std::string& file_name, RemovedOnSignals& watch,
                        RunLock& lock) {
  const std::string name = LockName<char>(file_name);
  const int64_t deadline = NowMilliseconds() + kLockWaitMilliseconds;
  for (;;) {
    switch (TryRunLock(directory, name, watch, lock)) {
      case Attempt::kTaken:
        return WriteResult::kWritten;
      case Attempt::kFailed:
        return ResultOf(errno);
      case Attempt::kUnusable:
        return WriteResult::kLockUnusable;
      case Attempt::kHeldByAnother:
        if (NowMilliseconds() >= deadline) return WriteResult::kLockTimedOut;
        usleep(kLockPollMilliseconds * 1000);
        break;
      case Attempt::kGone:
        if (NowMilliseconds() >= deadline) return WriteResult::kLockTimedOut;
        break;
    }
  }
}

// A byte far beyond the end of any real file, which no reader reads, on the
// file itself; the Windows program locks the same byte.
WriteResult TakeFileLock(int fd) {
  const int64_t deadline = NowMilliseconds() + kLockWaitMilliseconds;
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(kFileLockOffset);
  range.l_len = 1;
  while (fcntl(fd, F_OFD_SETLK, &range) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return ResultOf(errno);
    if (NowMilliseconds() >= deadline) return WriteResult::kLockTimedOut;
    usleep(kLockPollMilliseconds * 1000);
  }
  return WriteResult::kWritten;
}

}  // namespace profile::posix
