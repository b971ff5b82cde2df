// What a run's outcome is called, and the one table of causes.
#include "platform/protocol/outcome.h"

namespace profile {

WriteResult ResultOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNoDirectory:
      return WriteResult::kNoDirectory;
    case ErrorKind::kAccessDenied:
      return WriteResult::kAccessDenied;
    case ErrorKind::kReadOnlyMedium:
      return WriteResult::kReadOnly;
    case ErrorKind::kDiskFull:
    case ErrorKind::kTooLarge:
      return WriteResult::kDiskFull;
    case ErrorKind::kInUse:
      return WriteResult::kHeldOpen;
    case ErrorKind::kNotAFile:
    case ErrorKind::kExists:  // something came into the file's place
      return WriteResult::kNotAFile;
    case ErrorKind::kMissing:  // it went from under the run
    case ErrorKind::kUnsupported:
    case ErrorKind::kIo:
    case ErrorKind::kOther:
      break;
  }
  return WriteResult::kFailed;
}

Outcome Refusal(const Failure& failure) { return {ResultOf(failure.kind), failure, ""}; }

std::string PathIn(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (name.empty()) return path;
  const char separator = path.find('\\') != std::string::npos ? '\\' : '/';
  if (!path.empty() && path.back() != separator) path += separator;
  return path.append(name);
}

namespace {

// "cannot rename PATH to NAME: REASON", as the failed call says.
std::string WhatFailed(const Failure& failure, std::string_view directory) {
  std::string text = "cannot " + failure.call + " " + PathIn(directory, failure.name);
  if (!failure.other_name.empty()) text += " to " + failure.other_name;
  return text + ": " + failure.reason;
}

// What to do about it; nothing where the words say it all.
std::string_view NextStep(WriteResult result) {
  switch (result) {
    case WriteResult::kNoDirectory:
      return "install DASYLab 8.0 there, or add the entry to DASYLab.ini by hand";
    case WriteResult::kNotAFile:
      return "put DASYLab's own DASYLab.ini there, or remove what is in its place";
    case WriteResult::kReadOnly:
      return "make it writable (attrib -r DASYLab.ini on Windows, chmod u+w on Linux), then run "
             "again";
    case WriteResult::kAccessDenied:
      return "run as a user who may write there (on Windows, as an administrator)";
    case WriteResult::kHeldOpen:
      return "close DASYLab and any program that has DASYLab.ini open, then run again";
    case WriteResult::kDiskFull:
      return "free some space on that disk, then run again";
    case WriteResult::kLockTimedOut:
      return "let the other run end, then run again";
    case WriteResult::kLockUnusable:
    case WriteResult::kUnprovenRecord:
      return "check DASYLab.ini, remove this file, then run again";
    case WriteResult::kUnreadable:
      return "save DASYLab.ini again from an editor, then run again";
    case WriteResult::kWritten:
    case WriteResult::kAlreadySet:
    case WriteResult::kFailed:
      break;
  }
  return "";
}

// What to do about a failed call, by what failed.
std::string_view NextStep(const Failure& failure, WriteResult result) {
  switch (failure.kind) {
    case ErrorKind::kReadOnlyMedium:
      return "the disk is read-only: mount it read-write, then run again";
    case ErrorKind::kTooLarge:
      return "the file is larger than this process may write: raise the limit (ulimit -f), then "
             "run again";
    case ErrorKind::kMissing:
      return "another program removed it during the run; run again";
    case ErrorKind::kIo:
      return "the disk failed: check it, then run again";
    default:
      return NextStep(result);
  }
}

// What happened, where no call's own words say it.
std::string_view WhatHappened(WriteResult result) {
  switch (result) {
    case WriteResult::kWritten:
      return "the entry was written";
    case WriteResult::kAlreadySet:
      return "the entry was there already";
    case WriteResult::kNoDirectory:
      return "no such directory";
    case WriteResult::kNotAFile:
      return "not a regular file (a directory, a device, a FIFO or a link that leads nowhere)";
    case WriteResult::kReadOnly:
      return "the file is read-only";
    case WriteResult::kAccessDenied:
      return "this user may not write the file or its directory";
    case WriteResult::kHeldOpen:
      return "another program holds the file open";
    case WriteResult::kDiskFull:
      return "the disk is full";
    case WriteResult::kLockTimedOut:
      return "another run of kavro-register held this lock for over 30 seconds";
    case WriteResult::kLockUnusable:
      return "the lock file is not an empty regular file";
    case WriteResult::kUnprovenRecord:
      return "this record of a write that was cut short does not match DASYLab.ini, which has "
             "changed since";
    case WriteResult::kUnreadable:
      return "an odd-length UTF-16 file, which cannot be edited safely";
    case WriteResult::kFailed:
      break;
  }
  return "the system refused to write the file";
}

}  // namespace

std::string CauseOf(const Outcome& outcome, std::string_view directory,
                    std::string_view file_name) {
  std::string cause = outcome.failure
                          ? WhatFailed(*outcome.failure, directory)
                          : PathIn(directory, outcome.beside.empty() ? file_name : outcome.beside) +
                                ": " + std::string(WhatHappened(outcome.result));
  const std::string_view next =
      outcome.failure ? NextStep(*outcome.failure, outcome.result) : NextStep(outcome.result);
  if (!next.empty()) {
    cause.append("; ").append(next);
  }
  return cause;
}

std::string CauseOfMissingDirectory(std::string_view where, std::string_view elsewhere) {
  constexpr std::string_view kByHand =
      "add the line MKAVRO.DLL=KAVRO DAQ Cards Driver to the section [Hardware] of";
  std::string cause = std::string(where) + ": no such directory";
  if (elsewhere.empty()) {
    return cause + "; install DASYLab 8.0 there, or " + std::string(kByHand) +
           " DASYLab.ini where it is installed";
  }
  return cause + ", but DASYLab 8.0 is installed in " + std::string(elsewhere) +
         ", where this program does not look; " + std::string(kByHand) + " the DASYLab.ini there";
}

}  // namespace profile
