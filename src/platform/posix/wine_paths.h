// Windows paths on a Linux host, found the way Wine finds them: drive C: of
// a Wine prefix, reached from the prefix's handle in one walk.
#ifndef KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
#define KAVRO_PLATFORM_POSIX_WINE_PATHS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/posix_file_system.h"

namespace wine {

using profile::posix::FileDescriptor;

// Where the prefix is: $WINEPREFIX, or ~/.wine when that is unset, made
// absolute against the starting directory.
struct PrefixPath {
  std::string path;
  bool from_variable = false;
};
PrefixPath FindPrefix();

// The prefix, opened once: everything inside it is reached from this
// handle, so that a prefix renamed or swapped for another during the run is
// never written into.
struct Prefix {
  PrefixPath where;
  FileDescriptor directory;
};

// Why there is no prefix to use.
struct NoPrefix {
  enum Problem { kMissing, kNotADirectory, kNotOwned, kUnreadable } problem = kMissing;
  PrefixPath where;
  uid_t owner = 0;  // for kNotOwned
};

// FindPrefix's prefix, opened; like Wine, only where the user running the
// program owns its directory ("not owned by you"), so that root never
// writes through links another user planted in theirs.
struct OpenedPrefix {
  std::optional<Prefix> prefix;
  NoPrefix none;
};
OpenedPrefix OpenPrefix();

// A directory reached below the prefix, and a name in it.
struct Place {
  FileDescriptor directory;
  std::string host_directory;  // its path as the walk spelled it
  std::string name;            // as found there, or as given where nothing is
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

// Walks the absolute Windows path `windows_path` ("C:\Dir\File", `/`
// allowed too) from the prefix's handle: drive C: is `dosdevices/c:`
// where that exists (as Wine, never `drive_c` where that link leads
// nowhere), else `drive_c`; each component of the path is matched
// by its exact name first, else without regard to ASCII case, as Windows
// would, and opened relative to the one before it, never looked up again by
// path. Returns the directory holding the last component (whose name is
// kept as given where nothing matches it), or, with `whole`, the directory
// the path names itself (name "."). Run as root, no directory another user
// owns or others may change (unless sticky) is entered, and no symbolic
// link is followed whose owner is neither root nor the owner of the
// directory it is in (the rule of the kernel's protected_symlinks), the
// file's own link included: nothing another user may change leads root
// anywhere.
std::optional<Place> Reach(const Prefix& prefix, std::string_view windows_path, bool whole,
                           Stop& stop);

}  // namespace wine

#endif  // KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
