// The write protocol by which every program (the native one, the Windows
// one under Wine or on Windows) sets the entry in a profile file, so that
// runs take turns, a crash, a kill or a power cut never leaves the file a
// mix of old and new for good, and whatever a run cut short is finished by
// the next. The steps and why they are so are in docs/write-protocol.md;
// each OS supplies only the file system (file_system.h).
#ifndef KAVRO_PLATFORM_PROTOCOL_PROTOCOL_H_
#define KAVRO_PLATFORM_PROTOCOL_PROTOCOL_H_

#include <string>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/file_system.h"
#include "platform/protocol/outcome.h"

namespace profile {

// How long a run waits for another run's lock before it gives up, and how
// often it looks again meanwhile.
inline constexpr uint32_t kLockWaitMilliseconds = 30000;
inline constexpr uint32_t kLockPollMilliseconds = 20;

// Where a file written in place is locked itself: a byte far beyond the end
// of any real file, which no reader reads, so that Windows' mandatory locks
// stop nobody.
inline constexpr uint64_t kFileLockOffset = uint64_t{1} << 62;

// Sets `entry` in the profile file `file_name` in `directory`:
//  - Runs take turns: each holds the lock beside the file from before it
//    reads the file until its write is done, waiting a bounded time for it.
//  - Under the lock, what cut-short runs left is cleared: their temporary
//    files go, and a record of a write in place that proves itself is
//    finished; one that names this file but does not prove itself refuses
//    the write and is left for a person to look at.
//  - A file that already gives the value is not written at all.
//  - Where a new file can be the same file, the new content goes to a
//    temporary file beside it, is flushed, takes over what describes the
//    original and replaces it in one rename. Elsewhere the file is written
//    in place, after a flushed record of the write has been left beside it.
//  - A missing file is created, and appears only whole.
//  - Refused, with nothing changed: a read-only file, a file this user may
//    not write, anything but a regular file, a file another program keeps
//    locked. No temporary file is left.
// Requires IsWritable(entry).
Outcome WriteEntry(Directory& directory, const std::string& file_name, const Entry& entry);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_PROTOCOL_H_
