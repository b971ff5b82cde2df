// Turns: the lock beside the file, and the lock on a file written in
// place.
#include <optional>

#include "platform/protocol/names.h"
#include "platform/protocol/protocol.h"
#include "platform/protocol/steps.h"

namespace profile {
namespace {

// How often in a row the lock file may be out of reach for a moment while
// the run before lets go of it (on Windows a removed file that others
// still have open is "delete pending" and cannot be opened): about two
// seconds.
constexpr int kMostMoments = 2000 / kLockPollMilliseconds;

enum class Attempt { kTaken, kHeldByAnother, kGone, kOutOfReach, kEnded };

// One attempt, with interruptions held from the moment the lock file may
// be made until it is watched, so that none leaves behind one that nobody
// holds. A lock file must be an empty regular file with one name: nothing
// else in its place is locked, followed or removed.
Attempt TryRunLock(Directory& directory, const std::string& name, std::unique_ptr<File>& file,
                   FileFacts& facts, bool& created, Verdict& ended) {
  const InterruptionsHeld held(directory);
  Result<std::unique_ptr<File>> opened = directory.OpenLockFile(name, created);
  if (!opened.ok()) {
    const ErrorKind kind = opened.failure().kind;
    if (kind == ErrorKind::kNotAFile) {
      ended = Outcome{WriteResult::kLockUnusable, std::nullopt, name};
    } else if (kind == ErrorKind::kMissing || kind == ErrorKind::kInUse ||
               kind == ErrorKind::kAccessDenied) {
      ended = Refusal(opened.failure());
      return Attempt::kOutOfReach;
    } else {
      ended = Refusal(opened.failure());
    }
    return Attempt::kEnded;
  }
  Result<FileFacts> described = (*opened)->Facts();
  if (!described.ok()) {
    ended = Refusal(described.failure());
    return Attempt::kEnded;
  }
  facts = *described;
  // Removed by the run before, as it let go, since it was opened here.
  if (facts.links == 0) return Attempt::kGone;
  if (facts.type != FileType::kRegular || facts.size != 0 || facts.links != 1) {
    ended = Outcome{WriteResult::kLockUnusable, std::nullopt, name};
    return Attempt::kEnded;
  }
  Result<bool> locked = (*opened)->TryLock(0);
  if (!locked.ok()) {
    ended = Refusal(locked.failure());
    return Attempt::kEnded;
  }
  if (!*locked) return Attempt::kHeldByAnother;
  // The run before removed the lock file as it let go: a lock on a file no
  // longer under the name excludes nobody, so it is taken anew.
  Result<FileFacts> named = directory.Look(name);
  if (!named.ok() || named->id != facts.id) return Attempt::kGone;
  directory.RemoveIfInterrupted(Watched::kLock, name);
  file = std::move(*opened);
  return Attempt::kTaken;
}

}  // namespace

// Removed only while the name still leads to it. Where removing a name may
// remove a link's target (a Windows program under Wine), only a lock file
// this run made is removed; one a killed run left stays, empty, until a run
// that may remove it does.
RunLock::~RunLock() {
  if (!file_) return;
  const InterruptionsHeld held(directory_);
  directory_.RemoveIfInterrupted(Watched::kLock, std::nullopt);
  Result<FileFacts> named = directory_.Look(name_);
  if ((created_ || !directory_.RemovingMayFollowLinks()) && named.ok() && named->id == id_) {
    directory_.Remove(name_);
  }
  file_.reset();
}

Verdict TakeRunLock(Directory& directory, const std::string& file_name, RunLock& lock) {
  const std::string name = LockName(file_name);
  const uint64_t deadline = directory.Milliseconds() + kLockWaitMilliseconds;
  const auto timed_out = [&] { return Outcome{WriteResult::kLockTimedOut, std::nullopt, name}; };
  // The lock file this run made, if it did: another run may lock it first,
  // and this one, opening it again later, still removes it as its maker.
  std::optional<FileId> made;
  for (int moments = 0;;) {
    std::unique_ptr<File> file;
    FileFacts facts;
    bool created = false;
    Verdict ended;
    const Attempt attempt = TryRunLock(directory, name, file, facts, created, ended);
    if (created) made = facts.id;
    switch (attempt) {
      case Attempt::kTaken:
        lock.file_ = std::move(file);
        lock.name_ = name;
        lock.id_ = facts.id;
        lock.created_ = made == facts.id;
        return std::nullopt;
      case Attempt::kEnded:
        return ended;
      case Attempt::kOutOfReach:
        if (++moments > kMostMoments) return ended;
        directory.Pause(kLockPollMilliseconds);
        continue;
      case Attempt::kHeldByAnother:
        if (directory.Milliseconds() >= deadline) return timed_out();
        directory.Pause(kLockPollMilliseconds);
        break;
      case Attempt::kGone:
        if (directory.Milliseconds() >= deadline) return timed_out();
        break;
    }
    moments = 0;
  }
}

Verdict TakeFileLock(Directory& directory, File& file) {
  const uint64_t deadline = directory.Milliseconds() + kLockWaitMilliseconds;
  for (;;) {
    Result<bool> locked = file.TryLock(kFileLockOffset);
    if (!locked.ok()) return Refusal(locked.failure());
    if (*locked) return std::nullopt;
    if (directory.Milliseconds() >= deadline) return Outcome{WriteResult::kLockTimedOut};
    directory.Pause(kLockPollMilliseconds);
  }
}

}  // namespace profile
