// Drive C: of a Wine prefix, reached from the prefix's handle one
// component at a time, matching case as Windows does and trusting as root
// only what no other user may change.
#include "platform/posix/wine_paths.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace wine {
namespace {

namespace posix = profile::posix;

// How many links a path may pass through, as the kernel allows.
constexpr int kMostLinks = 40;

// The entry of `directory` called `name`: the exact name when it exists,
// else the first entry that matches without regard to case.
std::optional<std::string> FindEntry(int directory, const std::string& name) {
  struct stat st;
  if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return name;
  const std::optional<std::vector<std::string>> names = posix::NamesIn(directory);
  if (!names) return std::nullopt;
  const auto found = std::ranges::find_if(
      *names, [&](const std::string& entry) { return SameNameIgnoringCase(entry, name); });
  return found != names->end() ? std::optional(*found) : std::nullopt;
}

// Why root may not pass what `fd` is open as.
Stop::Reason Untrusted(int fd) {
  return posix::KeepsNoPermissions(fd) ? Stop::kNoPermissions : Stop::kOthersMayChange;
}

// A walk from one directory on: where it is, and how it got there.
class Walk {
 public:
  Walk(FileDescriptor directory, std::string shown)
      : directory_(std::move(directory)), shown_(std::move(shown)) {
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
      if (!posix::MayPass(st, here_.st_uid)) return Stopped(stop, Untrusted(entry.get()));
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

  // Whether root may walk on from where the walk starts.
  bool MayStart(Stop& stop) const {
    return posix::MayPass(here_, here_.st_uid) || Stopped(stop, Untrusted(directory_.get()));
  }

  FileDescriptor TakeDirectory() { return std::move(directory_); }
  int directory() const { return directory_.get(); }
  const std::string& shown() const { return shown_; }

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
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : "";
  }
  const std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
  return PrefixPathFrom(std::getenv("WINEPREFIX"), home, cwd ? cwd.get() : "");
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
  const auto drive = [&](std::vector<Name> root) {
    Walk walk(posix::Duplicate(prefix.directory.get()), prefix.where.path);
    if (!walk.MayStart(stop) || !walk.Through(std::move(root), false, stop))
      return std::optional<Walk>();
    return std::optional(std::move(walk));
  };
  const std::string device = std::string(1, letter) + ":", link = "dosdevices/" + device;
  std::optional<Walk> walk = drive({{"dosdevices", false}, {device, false}});
  if (walk) {
    walk = Walk(walk->TakeDirectory(), prefix.where.path + "/" + link);
  } else if (stop.reason == Stop::kMissing) {
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
    place.name = FindEntry(walk->directory(), place.name).value_or(place.name);
    Walk probe(posix::Duplicate(walk->directory()), walk->shown());
    if (!probe.Through({{place.name, false}}, true, stop)) return std::nullopt;
  }
  place.host_directory = walk->shown();
  place.directory = walk->TakeDirectory();
  return place;
}

}  // namespace wine
