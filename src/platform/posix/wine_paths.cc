#include "platform/posix/wine_paths.h"

#include <dirent.h>
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
