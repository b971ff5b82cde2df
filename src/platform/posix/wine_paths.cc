#include "platform/posix/wine_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
// `directory_owner`, leads to: not another user's directory, nor a link
// another user owns unless it sits in their own directory.
bool MayPass(const struct stat& st, uid_t directory_owner) {
  if (geteuid() != 0) return true;
  if (S_ISLNK(st.st_mode)) return st.st_uid == 0 || st.st_uid == directory_owner;
  return !S_ISDIR(st.st_mode) || st.st_uid == 0;
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
  // Taken from the front; a link's target goes in front of what is left.
  std::reverse(pending.begin(), pending.end());
  for (int links = 0; !pending.empty();) {
    const std::string name = pending.back();
    pending.pop_back();
    struct stat st;
    if (fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !MayPass(st, here.st_uid)) {
      return std::nullopt;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t length = readlinkat(directory.get(), name.c_str(), target, sizeof target);
      if (length <= 0 || length == sizeof target || ++links > kMostLinks) return std::nullopt;
      const std::string_view text(target, static_cast<size_t>(length));
      if (text.front() == '/')
        directory = FileDescriptor(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      // Split as it stands: its ".." is the parent of where the link is.
      std::vector<std::string> more;
      for (size_t begin = 0; begin <= text.size();) {
        const size_t end = std::min(text.find('/', begin), text.size());
        if (end > begin) more.emplace_back(text.substr(begin, end - begin));
        begin = end + 1;
      }
      for (auto it = more.rbegin(); it != more.rend(); ++it) pending.push_back(*it);
      if (!directory.valid() || fstat(directory.get(), &here) != 0) return std::nullopt;
      continue;
    }
    FileDescriptor next(
        openat(directory.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened;
    if (!next.valid() || fstat(next.get(), &opened) != 0 || opened.st_ino != st.st_ino ||
        opened.st_dev != st.st_dev || !MayPass(opened, here.st_uid)) {
      return std::nullopt;
    }
    directory = std::move(next);
    here = opened;
  }
  return PlaceBelowPrefix{std::move(directory), last};
}

}  // namespace posix
