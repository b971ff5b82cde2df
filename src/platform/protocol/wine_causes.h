// What the native program's walk into a Wine prefix can find in its way,
// and the causes it gives for each: why there is no prefix to use, and
// where and why the walk to a directory below it stopped. The walk itself
// is the POSIX layer's (posix/wine_paths.h); these words need no OS.
#ifndef KAVRO_PLATFORM_PROTOCOL_WINE_CAUSES_H_
#define KAVRO_PLATFORM_PROTOCOL_WINE_CAUSES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace wine {

// Where the prefix is: $WINEPREFIX, or ~/.wine when that is unset, made
// absolute against the starting directory.
struct PrefixPath {
  std::string path;
  bool from_variable = false;
};

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

#endif  // KAVRO_PLATFORM_PROTOCOL_WINE_CAUSES_H_
