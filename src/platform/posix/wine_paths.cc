#include "platform/posix/wine_paths.h"

#include <dirent.h>
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

namespace posix {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

// The entry of `directory` called `name`: the exact name when it exists,
// else the first entry that matches without regard to case.
std::optional<std::string> FindEntry(const std::string& directory, const std::string& name) {
  if (Exists(directory + "/" + name)) return name;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return std::nullopt;
  while (const dirent* entry = readdir(dir.get())) {
    if (SameNameIgnoringCase(entry->d_name, name)) return std::string(entry->d_name);
  }
  return std::nullopt;
}

std::vector<std::string> SplitComponents(std::string_view path) {
  std::vector<std::string> components;
  size_t begin = 0;
  while (begin <= path.size()) {
    const size_t end = std::min(path.find_first_of("\\/", begin), path.size());
    const std::string_view component = path.substr(begin, end - begin);
    if (component == "..") {
      if (!components.empty()) components.pop_back();
    } else if (!component.empty() && component != ".") {
      components.emplace_back(component);
    }
    begin = end + 1;
  }
  return components;
}

}  // namespace

std::optional<std::string> FindWinePrefix() {
  std::string prefix;
  if (const char* variable = std::getenv("WINEPREFIX"); variable != nullptr && *variable != '\0') {
    prefix = variable;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* user = getpwuid(getuid());
      home = user != nullptr ? user->pw_dir : "";
    }
    prefix = std::string(home) + "/.wine";
  }
  if (prefix.front() != '/') {
    std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
    if (!cwd) return std::nullopt;
    prefix = std::string(cwd.get()) + "/" + prefix;
  }
  // Wine refuses a prefix that is not the user's own ("not owned by you"):
  // root must not write through links another user planted in theirs.
  struct stat st;
  if (stat(prefix.c_str(), &st) == 0 && st.st_uid != getuid()) return std::nullopt;
  return prefix;
}

std::optional<std::string> DriveRoot(const std::string& prefix, char drive_letter) {
  const std::string dosdevice = prefix + "/dosdevices/" + ToLowerAscii(drive_letter) + ":";
  if (IsDirectory(dosdevice)) return dosdevice;
  if (ToLowerAscii(drive_letter) == 'c') return prefix + "/drive_c";
  return std::nullopt;
}

std::optional<std::string> ToHostPath(const std::string& prefix, std::string_view windows_path) {
  const bool absolute = windows_path.size() >= 3 && windows_path[1] == ':' &&
                        (windows_path[2] == '\\' || windows_path[2] == '/');
  const char letter = absolute ? ToLowerAscii(windows_path[0]) : '\0';
  if (letter < 'a' || letter > 'z') return std::nullopt;
  std::optional<std::string> host = DriveRoot(prefix, letter);
  if (!host || !IsDirectory(*host)) return std::nullopt;

  const std::vector<std::string> components = SplitComponents(windows_path.substr(3));
  for (size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    std::optional<std::string> name = FindEntry(*host, components[i]);
    if (!name && !last) return std::nullopt;
    *host += "/" + name.value_or(components[i]);
    if (!last && !IsDirectory(*host)) return std::nullopt;
  }
  return host;
}

}  // namespace posix

namespace posix {
namespace {

// How many links a path may pass through, as the kernel allows.
constexpr int kMostLinks = 40;

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

// Walks `pending` (taken from its back) from `directory`, entering each
// directory and following each link as root may (MayPass), every entry
// opened once and looked at through that very handle. With `to_file`, the
// last component may be a file, or missing, and is not entered.
bool WalkSafely(FileDescriptor& directory, struct stat& here, std::vector<std::string> pending,
                bool to_file) {
  for (int links = 0; !pending.empty();) {
    const std::string name = pending.back();
    pending.pop_back();
    const bool last = pending.empty();
    FileDescriptor entry(openat(directory.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!entry.valid()) return to_file && last && errno == ENOENT;
    if (fstat(entry.get(), &st) != 0) return false;
    if (!MayPass(st, here.st_uid)) {
      errno = EPERM;
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t length = readlinkat(entry.get(), "", target, sizeof target);
      if (length <= 0 || length == sizeof target || ++links > kMostLinks) return false;
      const std::string_view text(target, static_cast<size_t>(length));
      if (text.front() == '/') {
        directory = FileDescriptor(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid() || fstat(directory.get(), &here) != 0) return false;
      }
      // Split as it stands: its ".." is the parent of where the link is.
      std::vector<std::string> more;
      for (size_t begin = 0; begin <= text.size();) {
        const size_t end = std::min(text.find('/', begin), text.size());
        if (end > begin) more.emplace_back(text.substr(begin, end - begin));
        begin = end + 1;
      }
      pending.insert(pending.end(), more.rbegin(), more.rend());
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return to_file && last;
    FileDescriptor next(openat(entry.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!next.valid()) return false;
    directory = std::move(next);
    here = st;
  }
  return true;
}

}  // namespace

std::optional<OpenPrefix> OpenWinePrefix() {
  std::optional<std::string> path = FindWinePrefix();
  if (!path) return std::nullopt;
  FileDescriptor directory(open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!directory.valid() || fstat(directory.get(), &st) != 0 || st.st_uid != getuid()) {
    return std::nullopt;
  }
  return OpenPrefix{std::move(*path), std::move(directory), st.st_uid};
}

std::optional<PlaceBelowPrefix> OpenBelowPrefix(const OpenPrefix& prefix,
                                                const std::string& host_path, bool whole) {
  if (!host_path.starts_with(prefix.path + "/")) return std::nullopt;
  std::vector<std::string> pending = SplitComponents(host_path.substr(prefix.path.size()));
  std::string last = ".";
  if (!whole) {
    if (pending.empty()) return std::nullopt;
    last = pending.back();
    pending.pop_back();
  }
  FileDescriptor directory(fcntl(prefix.directory.get(), F_DUPFD_CLOEXEC, 0));
  struct stat here;
  if (!directory.valid() || fstat(directory.get(), &here) != 0) return std::nullopt;
  if (!MayPass(here, here.st_uid)) {
    errno = EPERM;
    return std::nullopt;
  }
  std::reverse(pending.begin(), pending.end());
  if (!WalkSafely(directory, here, std::move(pending), false)) return std::nullopt;
  // Where the file is a link, root follows it only as far as it may: the
  // program then opens it by name, through entries nobody else may change.
  FileDescriptor probe(fcntl(directory.get(), F_DUPFD_CLOEXEC, 0));
  struct stat probe_here = here;
  if (!whole && (!probe.valid() || !WalkSafely(probe, probe_here, {last}, true))) {
    return std::nullopt;
  }
  return PlaceBelowPrefix{std::move(directory), last};
}

}  // namespace posix
