// The profile writer's file layer: the byte edit of profile_edit.h applied to
// a file on disk, safely. One contract, one implementation per OS
// (posix/profile_file.cc, windows/profile_file.cc), picked by the build.
#ifndef KAVRO_PLATFORM_PROFILE_FILE_H_
#define KAVRO_PLATFORM_PROFILE_FILE_H_

#include <string>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/write_protocol.h"

namespace profile {

// Sets `entry` in the profile file at `path` (a host path on POSIX, a Windows
// path in the ANSI code page on Windows). Returns kWritten when the file
// holds the entry afterwards, else why not. Follows the write protocol
// (write_protocol.h):
//  - Runs take turns: each holds the file's lock from before it reads the
//    file until its write is done, waiting a bounded time for it.
//  - A file that already gives the value is not written at all.
//  - Otherwise the new content goes to a temporary file beside the target,
//    is flushed, takes over what describes the original (permissions or
//    attributes, owner, security) and replaces the original in one atomic
//    step: at every moment the file is either the old one or the new one.
//    Where a new file could not be the same file (another user's file, one
//    with other names, a link, one mounted in place, one another program
//    holds open, and under Wine any file), the file is written in place
//    after a flushed record of the write has been left beside it, from
//    which a later run finishes a write cut short.
//  - A missing file is created when its directory exists.
//  - Refused, with nothing touched: a read-only file (even for root or an
//    administrator), a file this user may not write, anything but a regular
//    file, a missing directory, a file another program keeps locked. On
//    failure no temporary file is left.
//  - Under the lock, temporary files of cut-short runs are removed and a
//    record that proves itself is finished; one that names this file but
//    does not prove itself refuses the write and is left alone.
WriteResult WriteProfileEntry(const std::string& path, const Entry& entry);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROFILE_FILE_H_
