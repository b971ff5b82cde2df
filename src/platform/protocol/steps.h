// The steps of one run of the write protocol (protocol.h), shared between
// the files that hold them: protocol.cc (plan, replace, write in place),
// run_lock.cc (turns) and leftovers.cc (what cut-short runs left).
#ifndef KAVRO_PLATFORM_PROTOCOL_STEPS_H_
#define KAVRO_PLATFORM_PROTOCOL_STEPS_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/file_system.h"
#include "platform/protocol/outcome.h"
#include "platform/protocol/record.h"

namespace profile {

// A step either lets the run go on (nothing) or ends it with an outcome.
using Verdict = std::optional<Outcome>;

// While it lives, an interruption of the run waits.
class InterruptionsHeld final {
 public:
  explicit InterruptionsHeld(Directory& directory) : directory_(directory) {
    directory_.HoldInterruptions(true);
  }
  ~InterruptionsHeld() { directory_.HoldInterruptions(false); }
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

 private:
  Directory& directory_;
};

// The lock a run holds while it reads and writes the file. Let go by
// removing the lock file, then closing it: a run that waited for it finds
// that the name no longer leads to what it locked, and starts over.
class RunLock final {
 public:
  explicit RunLock(Directory& directory) : directory_(directory) {}
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  friend Verdict TakeRunLock(Directory& directory, const std::string& file_name, RunLock& lock);
  Directory& directory_;
  std::unique_ptr<File> file_;
  std::string name_;
  FileId id_;
  bool created_ = false;
};

// Waits up to kLockWaitMilliseconds for the lock beside `file_name`.
Verdict TakeRunLock(Directory& directory, const std::string& file_name, RunLock& lock);

// Waits up to kLockWaitMilliseconds for the lock on `file` itself, open to
// write, held until it is closed: for a file written in place, whose other
// names may lie beyond the run lock's reach.
Verdict TakeFileLock(Directory& directory, File& file);

// Under the run lock, what cut-short runs left beside `file_name`: their
// temporary files go, and a record of a write in place on this very file
// is finished where it proves itself. One that names this file but does
// not prove itself is left alone and refuses the write; anything not this
// user's, not private or not a regular file is left alone.
Verdict CleanUpAfterDeadRuns(Directory& directory, const std::string& file_name);

// Writes into `file` (`file_size` bytes long now) what `record` says the
// write in place makes of it from its first change on, and flushes it.
Status ApplyRecord(Directory& directory, const Record& record, File& record_file, File& file,
                   uint64_t file_size);

// Removes a file this run made; where that fails, the outcome says so.
void RemoveMade(Directory& directory, const std::string& name, Outcome& outcome);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_STEPS_H_
