// The run: plan the file, then replace it, write it in place after a
// record, or create it.
#include "platform/protocol/protocol.h"

#include <new>

#include "platform/protocol/names.h"
#include "platform/protocol/steps.h"

namespace profile {
namespace {

Result<Plan> PlanForFile(File& file, const Entry& entry) {
  EntryPlanner planner(entry);
  for (uint64_t offset = 0;;) {
    const std::span<char> room = planner.Room();
    size_t got = 0;
    if (Status read = file.ReadAt(offset, room, got); !read.ok()) return read;
    offset += got;
    if (got == 0 || !planner.Took(got)) break;
  }
  return planner.Finish();
}

// The end of a run on a file whose plan needs no write, or cannot have one.
Verdict UnlessEdited(const Result<Plan>& plan) {
  if (!plan.ok()) return Refusal(plan.failure());
  if (plan.value().status == EditStatus::kAlreadySet) return Outcome{WriteResult::kAlreadySet};
  if (plan.value().status != EditStatus::kEdited) return Outcome{WriteResult::kUnreadable};
  return std::nullopt;
}

// The new file, `plan` applied to the `old_size` bytes of `from`, into the
// empty file `to`; the kept bytes are copied as the OS copies best.
Status WriteNewContent(Directory& directory, File* from, uint64_t old_size, const Plan& plan,
                       File& to) {
  uint64_t kept_from = 0, written = 0;
  for (const Splice& splice : plan.splices) {
    const uint64_t kept = splice.begin - kept_from;
    Status copied = kept == 0 ? Status() : directory.Copy(*from, kept_from, to, written, kept);
    if (copied.ok()) copied = to.WriteAt(written + kept, splice.text);
    if (!copied.ok()) return copied;
    written += kept + splice.text.size();
    kept_from = splice.end;
  }
  return old_size == kept_from
             ? Status()
             : directory.Copy(*from, kept_from, to, written, old_size - kept_from);
}

struct Temporary {
  std::unique_ptr<File> file;
  std::string name;
};

// A new temporary file beside `file_name`, watched from the moment it may
// exist, so that an interruption never leaves it.
Result<Temporary> CreateTemporary(Directory& directory, const std::string& file_name,
                                  NewFile kind) {
  uint64_t nonce = directory.Nonce();
  for (int attempt = 0;; ++attempt, nonce = nonce * 6364136223846793005ULL + 1) {
    const std::string name = TemporaryName(file_name, nonce % 1000000007ULL);
    const InterruptionsHeld held(directory);
    Result<std::unique_ptr<File>> file = directory.CreateNew(name, kind);
    if (file.ok()) {
      directory.RemoveIfInterrupted(Watched::kTemporary, name);
      return Temporary{std::move(*file), name};
    }
    if (file.failure().kind != ErrorKind::kExists || attempt == 100) return file.status();
  }
}

// Puts the new file, `plan` applied to `original` (`size` bytes), in
// place of `name` through a flushed temporary file and a rename, so that
// the file is at every moment the old one or the new one. Nothing where a
// new file could not be the same file after all (an owner that cannot be
// carried, a rename refused because another program holds the file open),
// which is then written in place.
std::optional<Outcome> ReplaceWithNewFile(Directory& directory, const std::string& name,
                                          std::unique_ptr<File> original, uint64_t size,
                                          const Plan& plan) {
  Result<Temporary> temporary = CreateTemporary(directory, name, NewFile::kReplacement);
  if (!temporary.ok()) return Refusal(temporary.failure());
  File& file = *temporary->file;
  Status written = WriteNewContent(directory, original.get(), size, plan, file);
  if (written.ok()) written = directory.CarryOver(*original, file);
  if (written.ok()) written = file.Flush();
  // Windows renames nothing over an open file.
  if (written.ok()) written = file.Close();
  original.reset();
  if (written.ok()) written = directory.Rename(temporary->name, name, Overwrite::kReplace);
  Outcome outcome{WriteResult::kWritten};
  if (!written.ok()) {
    temporary->file.reset();
    RemoveMade(directory, temporary->name, outcome);
  }
  directory.RemoveIfInterrupted(Watched::kTemporary, std::nullopt);
  if (written.ok()) {
    // A file system that cannot sync a directory has still renamed the file.
    directory.Sync();
    return outcome;
  }
  const ErrorKind kind = written.failure().kind;
  if (kind == ErrorKind::kUnsupported || kind == ErrorKind::kInUse) return std::nullopt;
  const std::string left_behind = outcome.left_behind;
  outcome = Refusal(written.failure());
  outcome.left_behind = left_behind;
  return outcome;
}

Outcome SetEntry(Directory& directory, const std::string& name, const Entry& entry);

// A missing file, made as any new file there is, with the entry alone; it
// appears whole, and only while nothing else is there. Where removing a
// name may remove a link's target, a temporary file that holds no record
// could not be told from one planted there: the name is claimed with an
// empty file instead, which is then written like any other (removed again
// where that is refused).
Outcome CreateMissingFile(Directory& directory, const std::string& name, const Entry& entry) {
  if (directory.RemovingMayFollowLinks()) {
    Result<std::unique_ptr<File>> claimed = directory.CreateNew(name, NewFile::kOrdinary);
    if (!claimed.ok()) return Refusal(claimed.failure());
    claimed->reset();
    Outcome outcome = SetEntry(directory, name, entry);
    if (!outcome.registered()) RemoveMade(directory, name, outcome);
    return outcome;
  }
  Result<Temporary> temporary = CreateTemporary(directory, name, NewFile::kOrdinary);
  if (!temporary.ok()) return Refusal(temporary.failure());
  Status written = WriteNewContent(directory, nullptr, 0, PlanEntry({}, entry), *temporary->file);
  if (written.ok()) written = temporary->file->Flush();
  if (written.ok()) written = temporary->file->Close();
  if (written.ok()) written = directory.Rename(temporary->name, name, Overwrite::kOnlyIfMissing);
  Outcome outcome{WriteResult::kWritten};
  if (!written.ok()) {
    temporary->file.reset();
    outcome = Refusal(written.failure());
    RemoveMade(directory, temporary->name, outcome);
  }
  directory.RemoveIfInterrupted(Watched::kTemporary, std::nullopt);
  if (written.ok()) directory.Sync();
  return outcome;
}

// Writes the entry into `file` (open to write; the file `name` leads to)
// over the old content from its first changed byte on, as Windows' own
// writer does, for a file that a new one in its place would not be. First
// a flushed record of the write is left beside it, under a name of its
// own that a flushed directory keeps, from which a later run finishes the
// write if this one is cut short, and from which this one copies. The file
// itself is locked too, and planned under that lock.
Outcome WriteInPlace(Directory& directory, const std::string& name, File& file,
                     const Entry& entry) {
  if (Verdict locked = TakeFileLock(directory, file)) return *locked;
  Result<FileFacts> facts = file.Facts();
  if (!facts.ok()) return Refusal(facts.failure());
  const Result<Plan> plan = PlanForFile(file, entry);
  if (Verdict unedited = UnlessEdited(plan)) return *unedited;
  Record record = RecordOf(plan.value(), facts->id.index, facts->size);

  Result<Temporary> temporary = CreateTemporary(directory, name, NewFile::kPrivate);
  if (!temporary.ok()) return Refusal(temporary.failure());
  File& record_file = *temporary->file;
  const std::string record_name = RedoName(temporary->name);
  // Where removing a name may remove a link's target, a record cut short
  // is removed only by its head, which goes to the disk first.
  Status recorded =
      WriteRecord(file, plan.value(), record, record_file, directory.RemovingMayFollowLinks());
  // Named before it is flushed, so that one flush of the record puts both
  // on the disk where the file system journals them together (ext4, NTFS);
  // a record that a power cut leaves torn under its name says by its head
  // that the file was not touched yet.
  bool named = false;
  if (recorded.ok()) {
    const InterruptionsHeld held(directory);
    recorded = directory.Rename(temporary->name, record_name, Overwrite::kReplace);
    named = recorded.ok();
    if (named) directory.RemoveIfInterrupted(Watched::kTemporary, record_name);
  }
  if (recorded.ok()) recorded = record_file.Flush();
  Outcome outcome{WriteResult::kWritten};
  if (!recorded.ok()) {
    temporary->file.reset();
    outcome = Refusal(recorded.failure());
    RemoveMade(directory, named ? record_name : temporary->name, outcome);
    directory.RemoveIfInterrupted(Watched::kTemporary, std::nullopt);
    return outcome;
  }
  // From here on the record stays until the write is done, and nothing but
  // a kill ends the run before that.
  const InterruptionsHeld held(directory);
  directory.RemoveIfInterrupted(Watched::kTemporary, std::nullopt);
  directory.Sync();
  // Room for a longer file first, so that a full disk refuses the write
  // while the file is still whole.
  if (record.new_size > facts->size) {
    if (Status reserved = file.Reserve(record.new_size); !reserved.ok()) {
      file.SetSize(facts->size);
      temporary->file.reset();
      outcome = Refusal(reserved.failure());
      RemoveMade(directory, record_name, outcome);
      return outcome;
    }
  }
  // Cut short, the record stays for the next run to finish from.
  if (Status applied =
          ApplyRecord(directory, record, record_file, file, std::max(facts->size, record.new_size));
      !applied.ok()) {
    return Refusal(applied.failure());
  }
  temporary->file.reset();
  // Not flushed: a power cut that takes the removal back leaves a record
  // that the file proves done, which the next run removes.
  RemoveMade(directory, record_name, outcome);
  return outcome;
}

// Under the run lock: the file itself.
Outcome SetEntry(Directory& directory, const std::string& name, const Entry& entry) {
  Result<FileFacts> named = directory.Look(name);
  if (!named.ok()) {
    if (named.failure().kind != ErrorKind::kMissing) return Refusal(named.failure());
    return CreateMissingFile(directory, name, entry);
  }
  Result<std::unique_ptr<File>> reader = directory.OpenTarget(name, Access::kRead);
  if (!reader.ok()) return Refusal(reader.failure());
  Result<FileFacts> facts = (*reader)->Facts();
  if (!facts.ok()) return Refusal(facts.failure());
  // A file that already gives the value is accepted as it is, read-only or
  // not. A read-only one is refused for administrators and root too, as
  // Windows' own writer refuses it; so is one this user may not write,
  // even where the directory would let a new file take its place.
  const auto refused_unless_set = [&](Outcome refusal) {
    return UnlessEdited(PlanForFile(**reader, entry)).value_or(refusal);
  };
  if (facts->read_only) return refused_unless_set(Outcome{WriteResult::kReadOnly});
  const bool replace = directory.ReplaceKeepsFile(name, **reader);
  Result<std::unique_ptr<File>> writer = directory.OpenTarget(name, Access::kReadWrite);
  if (!writer.ok()) return refused_unless_set(Refusal(writer.failure()));
  Result<FileFacts> writing = (*writer)->Facts();
  if (!writing.ok() || writing->id != facts->id) return Outcome{WriteResult::kFailed};
  if (replace) {
    const Result<Plan> plan = PlanForFile(**reader, entry);
    if (Verdict unedited = UnlessEdited(plan)) return *unedited;
    writer->reset();
    if (std::optional<Outcome> replaced =
            ReplaceWithNewFile(directory, name, std::move(*reader), facts->size, plan.value())) {
      return *replaced;
    }
    writer = directory.OpenTarget(name, Access::kReadWrite);
    if (!writer.ok()) return Refusal(writer.failure());
  }
  return WriteInPlace(directory, name, **writer, entry);
}

}  // namespace

Status ApplyRecord(Directory& directory, const Record& record, File& record_file, File& file,
                   uint64_t file_size) {
  Status applied = record.new_size > file_size ? file.Reserve(record.new_size) : Status();
  if (applied.ok()) {
    applied = directory.Copy(record_file, record.content_offset, file, record.first_change,
                             record.new_size - record.first_change);
  }
  if (applied.ok() && file_size > record.new_size) applied = file.SetSize(record.new_size);
  if (applied.ok()) applied = file.Flush();
  return applied;
}

void RemoveMade(Directory& directory, const std::string& name, Outcome& outcome) {
  if (!directory.Remove(name).ok()) outcome.left_behind = name;
}

Outcome WriteEntry(Directory& directory, const std::string& file_name, const Entry& entry) {
  assert(IsWritable(entry));
  try {
    RunLock lock(directory);
    if (Verdict locked = TakeRunLock(directory, file_name, lock)) return *locked;
    if (Verdict cleaned = CleanUpAfterDeadRuns(directory, file_name)) return *cleaned;
    return SetEntry(directory, file_name, entry);
  } catch (const std::bad_alloc&) {
    // A file too large for memory is refused, not half-written.
    return Outcome{WriteResult::kFailed};
  }
}

}  // namespace profile
