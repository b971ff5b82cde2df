// What became of a write, and why in words a person can act on: one table
// of causes for every OS, so that the same failure reads the same on each.
#ifndef KAVRO_PLATFORM_PROTOCOL_OUTCOME_H_
#define KAVRO_PLATFORM_PROTOCOL_OUTCOME_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/protocol/file_system.h"

namespace profile {

enum class WriteResult {
  kWritten,         // the entry was written now
  kAlreadySet,      // the file gave the value already; nothing was written
  kNoDirectory,     // the file's directory is missing
  kNotAFile,        // a directory, a device, a FIFO or a dangling link
  kReadOnly,        // the read-only attribute, no write permission bit, a read-only disk
  kAccessDenied,    // the file or its directory may not be written
  kHeldOpen,        // another program keeps the file open or locked
  kDiskFull,        // no room for the new content
  kLockTimedOut,    // another run held the lock for too long
  kLockUnusable,    // the lock file is not an empty regular file
  kUnprovenRecord,  // a cut-short write's record does not match the file
  kUnreadable,      // content no edit can keep (odd-length UTF-16, ...)
  kFailed,          // anything else the system refused
};

// Every refusal leaves the file as it was.
struct Outcome {
  Outcome(WriteResult result_ = WriteResult::kWritten, std::optional<Failure> failure_ = {},
          std::string beside_ = {})
      : result(result_), failure(std::move(failure_)), beside(std::move(beside_)) {}

  WriteResult result;
  // The call that failed, where one did.
  std::optional<Failure> failure;
  // The name beside the file that the refusal is about (the lock file, a
  // record); empty for the file itself.
  std::string beside;
  // A file this run made that it could not remove, which a later run will.
  std::string left_behind;

  bool registered() const {
    return result == WriteResult::kWritten || result == WriteResult::kAlreadySet;
  }
};

// The result a failed call stands for.
WriteResult ResultOf(ErrorKind kind);
// The refusal a failed call makes.
Outcome Refusal(const Failure& failure);

// `name` in `directory`, in the directory's own style of path.
std::string PathIn(std::string_view directory, std::string_view name);

// Why the write of `file_name` in the directory `directory` (as the user
// knows it: a host path, or a Windows path) ended as it did, in one line
// after "kavro-register: ": what failed, on which path, and what to do.
std::string CauseOf(const Outcome& outcome, std::string_view directory, std::string_view file_name);

// Why the install directory `where` (as the user knows it) cannot be
// entered, where DASYLab 8.0 is at `elsewhere` instead, or nowhere ("").
std::string CauseOfMissingDirectory(std::string_view where, std::string_view elsewhere);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_OUTCOME_H_
