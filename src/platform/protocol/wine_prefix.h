// What the native program's walk into a Wine prefix needs that no OS call
// does: the names a Windows path and a link's target are walked by, what
// the walk can find in its way, and the causes it gives for each (why there
// is no prefix to use, where and why the walk below it stopped). The walk
// itself is the POSIX layer's (posix/wine_paths.h).
#ifndef KAVRO_PLATFORM_PROTOCOL_WINE_PREFIX_H_
#define KAVRO_PLATFORM_PROTOCOL_WINE_PREFIX_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wine {

// One name still to walk: a name of the Windows path (matched without
// regard to case where it does not match exactly, and shown in the host
// path), or one from a link's target, taken as it is.
struct Name {
  std::string text;
  bool windows = true;
};

// The drive letter of the absolute Windows path `path` ("C:\Dir", `/`
// allowed too), in lower case; '\0' where it has none.
char DriveLetter(std::string_view path);

// The components of a Windows path after its drive, with "." and ".."
// taken as Windows takes them: by their text.
std::vector<Name> WindowsNames(std::string_view path);

// A link's target split as it stands: its ".." is the parent of where the
// link is.
std::vector<Name> LinkNames(std::string_view target);

// Whether `a` and `b` are the same name but for ASCII case, as Windows
// matches names.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// Where the prefix is: $WINEPREFIX, or ~/.wine when that is unset, made
// absolute against the starting directory.
struct PrefixPath {
  std::string path;
  bool from_variable = false;
};

// Where the prefix is, from the value of WINEPREFIX (null where unset),
// the user's home directory and the starting directory.
PrefixPath PrefixPathFrom(const char* variable, std::string_view home, std::string_view cwd);

// Why there is no prefix to use.
struct NoPrefix {
  enum Problem { kMissing, kNotADirectory, kNotOwned, kUnreadable } problem = kMissing;
  PrefixPath where;
  uint32_t owner = 0;  // for kNotOwned
};

// Where and why a walk stopped.
struct Stop {
  enum Reason {
    kMissing,           // a directory on the way is missing, or not one
    kNotADrive,         // the path has no drive letter, or the drive no home
    kDriveUnreachable,  // the drive's link in dosdevices leads to no directory
    kNoAccess,          // this user may not enter a directory on the way
    kOthersMayChange,   // run as root: another user may change what is on the way
    kNoPermissions,     // the same, on a file system without Unix permissions
  } reason = kMissing;
  std::string host_path;  // as far as the walk got
};

// Why there is no prefix to use, and what to do; `user_name` names a user
// id, `user` is the one running the program.
std::string CauseOf(const NoPrefix& none, std::string (*user_name)(uint32_t), uint32_t user);

// Why the walk to `windows_path` stopped, and what to do; for any reason
// but kMissing, whose next step depends on where DASYLab is installed
// instead (profile::CauseOfMissingDirectory).
std::string CauseOf(const Stop& stop, std::string_view windows_path);

}  // namespace wine

#endif  // KAVRO_PLATFORM_PROTOCOL_WINE_PREFIX_H_
