// The names the native program's walk into a Wine prefix goes by, and its
// causes.
#include "platform/protocol/wine_prefix.h"

#include <algorithm>

namespace wine {
namespace {

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the prefix came from, for the words of a cause.
std::string FromWhere(const PrefixPath& where) {
  return where.from_variable ? " (from WINEPREFIX)" : " (from HOME, as WINEPREFIX is not set)";
}

// `text` in single quotes, as a shell reads it back whatever it holds: each
// quote in it closed, escaped and opened again.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A word of a command to paste, quoted where a shell would read it as
// something else ("#4242" starts a comment).
std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789._-") == std::string::npos;
  return plain ? word : ShellQuoted(word);
}

}  // namespace

char DriveLetter(std::string_view path) {
  const bool absolute = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  const char letter = absolute ? ToLowerAscii(path[0]) : '\0';
  return letter >= 'a' && letter <= 'z' ? letter : '\0';
}

std::vector<Name> WindowsNames(std::string_view path) {
  std::vector<Name> names;
  size_t begin = 0;
  while (begin <= path.size()) {
    const size_t end = std::min(path.find_first_of("\\/", begin), path.size());
    const std::string_view component = path.substr(begin, end - begin);
    if (component == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!component.empty() && component != ".") {
      names.push_back({std::string(component), true});
    }
    begin = end + 1;
  }
  return names;
}

std::vector<Name> LinkNames(std::string_view target) {
  std::vector<Name> names;
  for (size_t begin = 0; begin <= target.size();) {
    const size_t end = std::min(target.find('/', begin), target.size());
    if (end > begin) names.push_back({std::string(target.substr(begin, end - begin)), false});
    begin = end + 1;
  }
  return names;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ToLowerAscii(x) == ToLowerAscii(y);
         });
}

PrefixPath PrefixPathFrom(const char* variable, std::string_view home, std::string_view cwd) {
  PrefixPath where{std::string(home) + "/.wine", false};
  if (variable != nullptr && *variable != '\0') where = {variable, true};
  if (where.path.front() != '/' && !cwd.empty()) where.path = std::string(cwd) + "/" + where.path;
  return where;
}

std::string CauseOf(const NoPrefix& none, std::string (*user_name)(uint32_t), uint32_t user) {
  const std::string& path = none.where.path;
  switch (none.problem) {
    case NoPrefix::kMissing:
      return path + ": no such Wine prefix" + FromWhere(none.where) +
             "; set WINEPREFIX to the prefix DASYLab 8.0 is installed in";
    case NoPrefix::kNotADirectory:
      return path + ": not a directory, so no Wine prefix" + FromWhere(none.where) +
             "; set WINEPREFIX to the prefix DASYLab 8.0 is installed in";
    case NoPrefix::kNotOwned:
      return path + ": the Wine prefix belongs to " + user_name(none.owner) + ", not to " +
             user_name(user) + FromWhere(none.where) +
             ", and like Wine this program uses only a prefix of the user's own; run it as its "
             "owner: sudo -u " +
             ShellWord(user_name(none.owner)) + " WINEPREFIX=" + ShellQuoted(path) +
             " kavro-register";
    case NoPrefix::kUnreadable:
      break;
  }
  return path + ": the Wine prefix cannot be opened" + FromWhere(none.where) +
         "; give the user read and search permission on it (chmod u+rx)";
}

std::string CauseOf(const Stop& stop, std::string_view windows_path) {
  const std::string drive(windows_path.substr(0, 2));
  switch (stop.reason) {
    case Stop::kNotADrive:
      return stop.host_path + ": no drive " + drive +
             " in this Wine prefix (neither dosdevices/c: nor drive_c); set WINEPREFIX to the "
             "prefix DASYLab 8.0 is installed in";
    case Stop::kDriveUnreachable:
      return stop.host_path + ": drive " + drive +
             " of this Wine prefix leads to no directory (a disk not mounted?), and Wine reads "
             "the drive through it alone; mount what it leads to, or make it a link to the "
             "drive's directory";
    case Stop::kNoAccess:
      return stop.host_path +
             ": this user may not enter it (permission denied); give the user read and search "
             "permission on it (chmod u+rx), or run as a user who has them";
    case Stop::kOthersMayChange:
      return stop.host_path +
             ": another user may change this, and run as root this program follows nothing "
             "another user may change; run it as the user who owns the Wine prefix";
    case Stop::kNoPermissions:
    case Stop::kMissing:
      break;
  }
  return stop.host_path +
         ": a file system that keeps no Unix permissions, so that every user may change "
         "it; mount it with the uid and gid of the user who runs DASYLab (as in "
         "-o uid=1000,gid=1000) and run this program as that user";
}

}  // namespace wine
