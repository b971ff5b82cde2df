// What cut-short runs left beside the file: temporary files removed,
// records finished where the file proves them, or left for a person.
#include <algorithm>

#include "platform/protocol/names.h"
#include "platform/protocol/protocol.h"
#include "platform/protocol/steps.h"

namespace profile {
namespace {

// Whether a temporary file that holds no record may go. Where removing a
// name may remove a link's target, only what this program writes is taken
// for one of its own: a file that starts as a record does (its start is
// flushed first there), and so does what a power cut may leave of one
// before that: nothing, or a sector of zeros.
bool MayRemoveTemporary(Directory& directory, File& temporary, const FileFacts& facts) {
  if (!directory.RemovingMayFollowLinks() || facts.size == 0) return true;
  std::string start(static_cast<size_t>(std::min<uint64_t>(facts.size, 512)), '\0');
  size_t got = 0;
  if (!temporary.ReadAt(0, start, got).ok() || got != start.size()) return false;
  return (facts.size <= start.size() && start.find_first_not_of('\0') == std::string::npos) ||
         (start.size() >= kRecordStart && RecordHeadSize(start.substr(0, kRecordStart)));
}

enum class Finished { kDone, kNotThisFile, kLeftAlone };

// A write in place cut short, from its record: finished where the record
// is whole and the file is in a state the write could have left, and the
// record removed. A record of this file that is not whole was cut short
// before it was flushed, when the file was not touched yet, which its head
// tells; or it has been changed since: then it is never applied, and
// refuses the write.
Finished FinishCutShortWrite(Directory& directory, const std::string& record_name,
                             std::unique_ptr<File> record_file, const Record& record, bool whole,
                             const std::string& file_name, Verdict& refused) {
  Result<std::unique_ptr<File>> file = directory.OpenTarget(file_name, Access::kReadWrite);
  if (!file.ok()) {
    // Nothing to finish where the file is gone; the record waits where it
    // is for a file that cannot be written now.
    if (file.failure().kind == ErrorKind::kMissing) return Finished::kNotThisFile;
    refused = Refusal(file.failure());
    return Finished::kLeftAlone;
  }
  Result<FileFacts> facts = (*file)->Facts();
  if (!facts.ok()) {
    refused = Refusal(facts.failure());
    return Finished::kLeftAlone;
  }
  if (facts->id.index != record.file_id) return Finished::kNotThisFile;
  if (!directory.MayTrustRecord(*record_file, **file)) return Finished::kLeftAlone;
  // Other names of the file may lie beyond the run lock's reach.
  if ((refused = TakeFileLock(directory, **file))) return Finished::kLeftAlone;
  facts = (*file)->Facts();
  if (!facts.ok()) {
    refused = Refusal(facts.failure());
    return Finished::kLeftAlone;
  }
  Result<Proof> proof = Proof::kNone;
  if (whole) {
    proof = ProveRecord(record, *record_file, **file, facts->size);
  } else if (Result<bool> old = FileIsStillOld(record, **file, facts->size); !old.ok()) {
    proof = old.status();
  } else if (*old) {
    proof = Proof::kDone;  // nothing of the write was done, nor is to be
  }
  if (!proof.ok()) {
    refused = Refusal(proof.failure());
    return Finished::kLeftAlone;
  }
  if (*proof == Proof::kNone) {
    refused = Outcome{WriteResult::kUnprovenRecord, std::nullopt, record_name};
    return Finished::kLeftAlone;
  }
  if (*proof == Proof::kCutShort) {
    const InterruptionsHeld held(directory);
    if (Status applied = ApplyRecord(directory, record, *record_file, **file, facts->size);
        !applied.ok()) {
      refused = Refusal(applied.failure());
      return Finished::kLeftAlone;
    }
  }
  record_file.reset();
  // A removal that a power cut takes back only brings back a record that
  // the file proves done.
  directory.Remove(record_name);
  return Finished::kDone;
}

}  // namespace

// With the lock held no other run is under way, so whatever temporary file
// or record is there belongs to a run that is gone, whatever its name says.
// A record is known by its content, not its name: a power cut may have
// taken back the rename that gave a complete record its name.
Verdict CleanUpAfterDeadRuns(Directory& directory, const std::string& file_name) {
  Result<std::vector<std::string>> names = directory.List();
  if (!names.ok()) return Refusal(names.failure());
  Verdict refused;
  for (const std::string& name : *names) {
    const Leftover kind = LeftoverKind(name, file_name);
    if (kind == Leftover::kNone) continue;
    // A link, a FIFO, a directory or a file with other names is no
    // leftover of ours, and neither is another user's file.
    Result<std::unique_ptr<File>> leftover = directory.OpenLeftover(name);
    if (!leftover.ok() || !directory.IsOwnLeftover(**leftover)) continue;
    Result<FileFacts> facts = (*leftover)->Facts();
    if (!facts.ok()) continue;
    Result<std::optional<Record>> record = ReadRecordHead(**leftover, facts->size);
    if (!record.ok()) continue;
    Result<bool> whole =
        *record ? RecordIsWhole(**leftover, **record, facts->size) : Result<bool>(false);
    if (!whole.ok()) continue;
    // Whatever its name, a file with a record's head is a record: whole, it
    // proves the file; not whole, it was cut short before its flush, when
    // the file was not touched yet, or damaged since, and then the file
    // must still be the old one for it to go.
    if (*record) {
      const Finished finished = FinishCutShortWrite(directory, name, std::move(*leftover), **record,
                                                    *whole, file_name, refused);
      if (finished != Finished::kNotThisFile || kind == Leftover::kRedo) continue;
      leftover = directory.OpenLeftover(name);
      if (!leftover.ok()) continue;
    }
    if (!MayRemoveTemporary(directory, **leftover, *facts)) continue;
    leftover->reset();
    directory.Remove(name);
  }
  return refused;
}

}  // namespace profile
