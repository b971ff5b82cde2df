// Windows paths on a Linux host, found the way Wine finds them: drive C: of
// a Wine prefix, reached from the prefix's handle in one walk.
#ifndef KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
#define KAVRO_PLATFORM_POSIX_WINE_PATHS_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/posix_file_system.h"
#include "platform/protocol/wine_prefix.h"

namespace wine {

using profile::posix::FileDescriptor;

// Where the prefix is (PrefixPath).
PrefixPath FindPrefix();

// The prefix, opened once: everything inside it is reached from this
// handle, so that a prefix renamed or swapped for another during the run is
// never written into.
struct Prefix {
  PrefixPath where;
  FileDescriptor directory;
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

// Walks the absolute Windows path `windows_path` ("C:\Dir\File", `/`
// allowed too) from the prefix's handle as Wine finds it: drive C: is
// `dosdevices/c:` where that exists (never `drive_c` where that link leads
// nowhere), else `drive_c`; a name matches exactly, else without regard to
// ASCII case, and is opened relative to the one before, never looked up
// again by path. Returns the directory holding the last component (its
// name kept as given where nothing matches), or, with `whole`, the
// directory the path names (name "."). Run as root, nothing passes that
// posix::MayPass refuses, the file's own link included: nothing another
// user may change leads root anywhere.
std::optional<Place> Reach(const Prefix& prefix, std::string_view windows_path, bool whole,
                           Stop& stop);

}  // namespace wine

#endif  // KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
