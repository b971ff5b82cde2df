// Windows paths on a Linux host, found the way Wine finds them.
#ifndef KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
#define KAVRO_PLATFORM_POSIX_WINE_PATHS_H_

#include <optional>
#include <string>
#include <string_view>

namespace posix {

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

}  // namespace posix

#endif  // KAVRO_PLATFORM_POSIX_WINE_PATHS_H_
