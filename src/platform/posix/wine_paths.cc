// Drive C: of a Wine prefix, reached from the prefix's handle one
// component at a time, matching case as Windows does and trusting as root
// only what no other user may change.
#include "platform/posix/wine_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace wine {
namespace {

// How many links a path may pass through, as the kernel allows.
constexpr int kMostLinks = 40;

// The entry of `directory` called `name`: the exact name when it exists,
// else the first entry that matches without regard to case.
std::optional<std::string> FindEntry(int directory, const std::string& name) {
  struct stat st;
  if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return name;
  const int listing = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(listing >= 0 ? fdopendir(listing) : nullptr,
                                                closedir);
  if (!dir) {
    if (listing >= 0) close(listing);
    return std::nullopt;
  }
  while (const dirent* entry = readdir(dir.get())) {
    if (SameNameIgnoringCase(entry->d_name, name)) return std::string(entry->d_name);
  }
  return std::nullopt;
}

// File systems that keep no Unix permissions, so that every file shows the
// mount's owner and mode: NTFS (ntfs-3g through FUSE, the kernel's ntfs3),
// FAT and exFAT.
bool KeepsNoPermissions(int fd) {
  // FUSE, NTFS, ntfs3, FAT, exFAT.
  constexpr unsigned long kTypes[] = {0x65735546, 0x5346544e, 0x7366746e, 0x4d44, 0x2011bab0};
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 &&
         std::ranges::find(kTypes, static_cast<unsigned long>(fs.f_type)) != std::end(kTypes);
}

// Whether root may trust what `st`, found in a directory owned by
// `directory_owner`, leads to: not a directory another user owns or may
// change (one others or a group other than root's may write, unless it is
// sticky), nor a link another user owns outside their own directory.
bool MayPass(const struct stat& st, uid_t directory_owner) {
  if (geteuid() != 0) return true;
  if (S_ISLNK(st.st_mode)) return st.st_uid == 0 || st.st_uid == directory_owner;
  if (!S_ISDIR(st.st_mode)) return true;
  const bool sticky = (st.st_mode & S_ISVTX) != 0;
  return st.st_uid == 0 && (sticky || (st.st_mode & S_IWOTH) == 0) &&
         (sticky || st.st_gid == 0 || (st.st_mode & S_IWGRP) == 0);
}

// A walk from one directory on: where it is, and how it got there.
class Walk {
 public:
  Walk(FileDescriptor directory, std::string shown) : directory_(std::move(directory)) {
    shown_ = std::move(shown);
    if (fstat(directory_.get(), &here_) != 0) here_.st_uid = 0;
  }

  // Walks `names`, entering each directory and following each link as
  // root may, every entry opened once and looked at through that very
  // handle. With `to_file`, the last name may be a file, or missing, and
  // is not entered.
  bool Through(std::vector<Name> names, bool to_file, Stop& stop) {
    std::reverse(names.begin(), names.end());
    for (int links = 0; !names.empty();) {
      Name name = names.back();
      names.pop_back();
      const bool last = names.empty();
      if (name.windows && name.text != "..") {
        name.text = FindEntry(directory_.get(), name.text).value_or(name.text);
      }
      if (name.windows) shown_ += "/" + name.text;
      FileDescriptor entry(
          openat(directory_.get(), name.text.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat st;
      if (!entry.valid() && errno == EACCES) return Denied(stop, directory_.get());
      if (!entry.valid()) {
        if (to_file && last && errno == ENOENT) return true;
        // The rest of the way, as it would have gone.
        for (auto rest = names.rbegin(); rest != names.rend(); ++rest) {
          if (rest->windows) shown_ += "/" + rest->text;
        }
        return Stopped(stop, Stop::kMissing);
      }
      if (fstat(entry.get(), &st) != 0) return Stopped(stop, Stop::kMissing);
      if (!MayPass(st, here_.st_uid)) {
        return Stopped(
            stop, KeepsNoPermissions(entry.get()) ? Stop::kNoPermissions : Stop::kOthersMayChange);
      }
      if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        const ssize_t length = readlinkat(entry.get(), "", target, sizeof target);
        if (length <= 0 || length == sizeof target || ++links > kMostLinks) {
          return Stopped(stop, Stop::kMissing);
        }
        const std::string_view text(target, static_cast<size_t>(length));
        if (text.front() == '/') {
          directory_ = FileDescriptor(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
          if (!directory_.valid() || fstat(directory_.get(), &here_) != 0) {
            return Stopped(stop, Stop::kMissing);
          }
        }
        const std::vector<Name> more = LinkNames(text);
        names.insert(names.end(), more.rbegin(), more.rend());
        continue;
      }
      if (!S_ISDIR(st.st_mode)) return (to_file && last) || Stopped(stop, Stop::kMissing);
      FileDescriptor next(openat(entry.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!next.valid() && errno == EACCES) return Denied(stop, entry.get());
      if (!next.valid()) return Stopped(stop, Stop::kMissing);
      directory_ = std::move(next);
      here_ = st;
    }
    return true;
  }

  FileDescriptor TakeDirectory() { return std::move(directory_); }
  const std::string& shown() const { return shown_; }
  FileDescriptor Copy() const {
    return FileDescriptor(fcntl(directory_.get(), F_DUPFD_CLOEXEC, 0));
  }

 private:
  bool Stopped(Stop& stop, Stop::Reason reason) const {
    stop = {reason, shown_};
    return false;
  }

  // This user may not enter the directory `fd`: named where it really is,
  // which past a link is not where the Windows path shows it.
  bool Denied(Stop& stop, int fd) const {
    char path[PATH_MAX];
    const ssize_t length =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    const bool known = length > 0 && length < static_cast<ssize_t>(sizeof path);
    stop = {Stop::kNoAccess, known ? std::string(path, static_cast<size_t>(length)) : shown_};
    return false;
  }

  FileDescriptor directory_;
  struct stat here_ {};
  std::string shown_;
};

}  // namespace

PrefixPath FindPrefix() {
  PrefixPath where;
  if (const char* variable = std::getenv("WINEPREFIX"); variable != nullptr && *variable != '\0') {
    where = {variable, true};
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* user = getpwuid(getuid());
      home = user != nullptr ? user->pw_dir : "";
    }
    where = {std::string(home) + "/.wine", false};
  }
  if (where.path.front() != '/') {
    const std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
    if (cwd) where.path = std::string(cwd.get()) + "/" + where.path;
  }
  return where;
}

OpenedPrefix OpenPrefix() {
  OpenedPrefix opened;
  opened.none.where = FindPrefix();
  FileDescriptor directory(
      open(opened.none.where.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!directory.valid()) {
    opened.none.problem = errno == ENOENT    ? NoPrefix::kMissing
                          : errno == ENOTDIR ? NoPrefix::kNotADirectory
                                             : NoPrefix::kUnreadable;
  } else if (fstat(directory.get(), &st) != 0) {
    opened.none.problem = NoPrefix::kUnreadable;
  } else if (st.st_uid != getuid()) {
    opened.none = {NoPrefix::kNotOwned, opened.none.where, st.st_uid};
  } else {
    opened.prefix = Prefix{opened.none.where, std::move(directory)};
  }
  return opened;
}

std::optional<Place> Reach(const Prefix& prefix, std::string_view windows_path, bool whole,
                           Stop& stop) {
  const char letter = DriveLetter(windows_path);
  stop = {Stop::kNotADrive, prefix.where.path};
  if (letter == '\0') return std::nullopt;
  std::vector<Name> names = WindowsNames(windows_path.substr(3));
  Place place{FileDescriptor(), "", "."};
  if (!whole) {
    if (names.empty()) return std::nullopt;
    place.name = names.back().text;
    names.pop_back();
  }
  // The drive: its link in dosdevices where there is one, else drive_c.
  // Wine reads the drive through that link alone: where it leads nowhere
  // (a disk not mounted), drive_c is not the drive.
  const auto drive = [&](std::vector<Name> root) {
    Walk walk(FileDescriptor(fcntl(prefix.directory.get(), F_DUPFD_CLOEXEC, 0)), prefix.where.path);
    struct stat st;
    if (fstat(prefix.directory.get(), &st) != 0 || !MayPass(st, st.st_uid)) {
      stop = {KeepsNoPermissions(prefix.directory.get()) ? Stop::kNoPermissions
                                                         : Stop::kOthersMayChange,
              prefix.where.path};
      return std::optional<Walk>();
    }
    return walk.Through(std::move(root), false, stop) ? std::optional(std::move(walk))
                                                      : std::nullopt;
  };
  std::optional<Walk> walk = drive({{"dosdevices", false}, {std::string(1, letter) + ":", false}});
  if (walk) {
    walk = Walk(walk->TakeDirectory(), prefix.where.path + "/dosdevices/" + letter + ":");
  } else if (stop.reason == Stop::kMissing) {
    const std::string link = std::string("dosdevices/") + letter + ":";
    struct stat st;
    if (fstatat(prefix.directory.get(), link.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      stop = {Stop::kDriveUnreachable, prefix.where.path + "/" + link};
      return std::nullopt;
    }
    if (letter == 'c') walk = drive({{"drive_c", true}});
  }
  if (!walk) {
    if (stop.reason == Stop::kMissing) stop = {Stop::kNotADrive, prefix.where.path};
    return std::nullopt;
  }
  if (!walk->Through(std::move(names), false, stop)) return std::nullopt;
  if (!whole) {
    // The file's own name, matched as the others are; where it is a link,
    // root follows it only as far as it may, and the program then opens it
    // by name through entries nobody else may change.
    place.name = FindEntry(walk->Copy().get(), place.name).value_or(place.name);
    Walk probe(walk->Copy(), walk->shown());
    if (!probe.Through({{place.name, false}}, true, stop)) return std::nullopt;
  }
  place.host_directory = walk->shown();
  place.directory = walk->TakeDirectory();
  return place;
}

}  // namespace wine
