// Windows paths on a Linux host, found the way Wine finds them.
#ifndef KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
#define KAVRO_PLATFORM_POSIX_WINE_PATHS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/posix_file_system.h"

namespace posix {

using profile::posix::FileDescriptor;

// The Wine prefix, found once as Wine finds it: $WINEPREFIX, or ~/.wine when
// that is unset, made absolute against the starting directory. Like Wine,
// returns nothing for a prefix whose directory the user running the program
// does not own; then nothing inside it may be opened.
std::optional<std::string> FindWinePrefix();

// The host directory behind a drive letter: `<prefix>/dosdevices/x:` where it
// exists, else `<prefix>/drive_c` for drive C:. Returns nothing for a drive
// with no home.
std::optional<std::string> DriveRoot(const std::string& prefix, char drive_letter);

// The host path of an absolute Windows path ("C:\Dir\File", `/` allowed as
// well). Each component is matched by its exact name first, else without
// regard to ASCII case, as Windows would; every directory on the way must
// exist. The last component keeps its own spelling when nothing matches it.
// Returns nothing for a relative path, an unknown drive or a missing
// directory on the way.
std::optional<std::string> ToHostPath(const std::string& prefix, std::string_view windows_path);

// The prefix, opened once: everything inside it is reached from this
// handle, so that a prefix renamed or swapped for another during the run is
// never written into.
struct OpenPrefix {
  std::string path;
  FileDescriptor directory;
  uid_t owner;
};

// FindWinePrefix's prefix, opened; nothing where it cannot be opened or is
// not the user's own.
std::optional<OpenPrefix> OpenWinePrefix();

// A directory reached below the prefix, and a name in it.
struct PlaceBelowPrefix {
  FileDescriptor directory;
  std::string name;
};

// Opens, from the prefix's handle, the directory holding the last component
// of `host_path` (a path ToHostPath gave below `prefix.path`), or the
// directory `host_path` itself when `whole` is set (the name is then ".").
// Every component is opened relative to the one before it, never looked up
// again by path. Run as root, no directory owned by another user is entered
// and no symbolic link is followed whose owner is neither root nor the
// owner of the directory it sits in (the rule the kernel's
// protected_symlinks applies in sticky directories), nor a directory others
// may change: nothing another user may change leads root anywhere. Returns
// nothing where a component is missing, or refused (errno EPERM).
std::optional<PlaceBelowPrefix> OpenBelowPrefix(const OpenPrefix& prefix,
                                                const std::string& host_path, bool whole);

}  // namespace posix

#endif  // KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
