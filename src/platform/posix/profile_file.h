// The profile writer's file layer on POSIX: reads the file, applies the
// byte edit, and replaces the file in one atomic step.
#ifndef KAVRO_PLATFORM_POSIX_PROFILE_FILE_H_
#define KAVRO_PLATFORM_POSIX_PROFILE_FILE_H_

#include <string>

#include "platform/profile_edit.h"

namespace posix {

// Sets `entry` in the profile file at host path `path`. Returns true when
// the file holds the entry afterwards. A file that already gives the value
// is not written at all. Otherwise the new content goes to a temporary file
// beside the target, is flushed, takes the original's permission bits (and
// owner, when run as root) and is renamed over it. A missing file is created
// when its directory exists; a symbolic link is followed to its target and
// stays a link. Refused, with nothing touched: a file without any write
// permission bit, one this process may not write, anything but a regular
// file, a dangling or looping link, a missing directory. On failure the
// original is untouched and no temporary file is left. Temporary files that
// killed runs left beside the target are removed.
bool WriteProfileEntry(const std::string& path, const profile::Entry& entry);

}  // namespace posix

#endif  // KAVRO_PLATFORM_POSIX_PROFILE_FILE_H_
