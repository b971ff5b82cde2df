// The write protocol, as every program runs it, stopped at each of its
// steps that changes the disk, and each state a power cut could leave
// there (memory_file_system.h has the model): the next run must leave the
// file exactly the new content under every name, with nothing beside it.
// And a file someone else changed since, which no cut could leave, is
// never overwritten from a record. Runs that take turns leave no lock file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>

#include "memory_file_system.h"
#include "platform/edit/profile_edit.h"
#include "platform/protocol/names.h"
#include "platform/protocol/protocol.h"
#include "set_entry.h"

namespace {

using memory::Disk;
using memory::MemoryDirectory;
using memory::Personality;

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};
const std::string kIni = "DASYLab.ini";
const std::string kLinked = "linked.ini";

// Module sections of settings, as DASYLab writes them, `head` first.
std::string Configuration(const std::string& head, size_t size) {
  std::string text = head;
  for (int section = 0; text.size() < size; ++section) {
    text += "[Module " + std::to_string(section) + "]\r\nGain=" + std::to_string(section) +
            "\r\nOffset=0.25\r\n";
  }
  return text;
}

std::string Utf16(const std::string& ascii) {
  std::string bytes = "\xFF\xFE";
  for (const char c : ascii) bytes += std::string{c, '\0'};
  return bytes;
}

enum class Path { kReplaced, kInPlace, kCreated };

struct Row {
  Personality personality;
  Path path;
  const char* shape;
  std::string content;  // unused for a created file
};

const char* NameOf(Path path) {
  switch (path) {
    case Path::kReplaced:
      return "replaced";
    case Path::kInPlace:
      return "in place";
    case Path::kCreated:
      break;
  }
  return "created";
}

Disk Before(const Row& row) {
  if (row.path == Path::kCreated) return Disk();
  if (row.path == Path::kReplaced) return Disk::With({{kIni, row.content}});
  return Disk::With({{kIni, row.content}, {kLinked, row.content}}, {kIni, kLinked});
}

// Whether the disk after a run is what one whole run makes: the new
// content under every name, and nothing beside it (a Windows program under
// Wine leaves a lock file a cut-short run made, which only its maker
// removes).
std::string Wrong(const Disk& disk, const Row& row, const std::string& expected,
                  const profile::Outcome& outcome) {
  if (!outcome.registered()) return "refused (" + profile::CauseOf(outcome, "C:", kIni) + ")";
  std::vector<std::string> names = {kIni};
  if (row.path == Path::kInPlace) names.push_back(kLinked);
  for (const std::string& name : names) {
    if (disk.Content(name) != expected) return name + " is not the new content";
  }
  if (row.personality.removing_may_follow_links) names.push_back(profile::LockName(kIni));
  for (const auto& [name, inode] : disk.names) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      return "left beside it: " + name;
    }
  }
  return "";
}

profile::Outcome RunOn(Disk& disk, Personality personality, int stop_at = 0) {
  MemoryDirectory directory(disk, personality, stop_at);
  return profile::WriteEntry(directory, kIni, kDriver);
}

int StepsOf(Disk disk, Personality personality) {
  MemoryDirectory directory(disk, personality);
  EXPECT_TRUE(profile::WriteEntry(directory, kIni, kDriver).registered());
  return directory.steps();
}

TEST(CrashPointTest, EveryStepAndEveryPowerCutStateIsRecoveredByTheNextRun) {
  const std::string near_top = "[Settings]\r\nLanguage=English\r\n[Hardware]\r\nMDEMO.DLL=Demo\r\n";
  const std::string long_value =
      "[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver, an older and much longer name\r\n";
  std::vector<Row> rows;
  for (const Personality personality :
       {memory::kNative, memory::kWindowsOtherOwner, memory::kWindowsUnderWine}) {
    // A Windows file whose owner cannot be carried differs from the native
    // one only where a replace is tried first.
    std::vector<Path> paths = {Path::kInPlace, Path::kCreated};
    if (!personality.carries_over) paths.clear();
    if (personality.replaces) paths.insert(paths.begin(), Path::kReplaced);
    for (const Path path : paths) {
      if (path == Path::kCreated) {
        rows.push_back({personality, path, "new file", ""});
        continue;
      }
      rows.push_back({personality, path, "growing", Configuration(near_top, 3000)});
      rows.push_back({personality, path, "shrinking", Configuration(long_value, 3000)});
      rows.push_back({personality, path, "section appended", Configuration("", 3000)});
      rows.push_back({personality, path, "readers disagree",
                      Configuration("[Hardware] ; see [notes]\r\n", 3000)});
      rows.push_back({personality, path, "UTF-16, growing", Utf16(Configuration(near_top, 1500))});
      rows.push_back({personality, path, "growing, 40 KiB", Configuration(near_top, 40000)});
    }
  }
  std::mt19937 random(20261210);
  for (const Row& row : rows) {
    const std::string what =
        std::string(row.personality.name) + ", " + NameOf(row.path) + ", " + row.shape;
    SCOPED_TRACE(what);
    const std::string expected = profile::SetEntry(row.content, kDriver).content;
    const int steps = StepsOf(Before(row), row.personality);
    int states = 0, not_recovered = 0;
    for (int stop_at = 1; stop_at <= steps + 1; ++stop_at) {
      Disk disk = Before(row);
      RunOn(disk, row.personality, stop_at);
      states += memory::VisitPowerCutStates(disk, 256, random, [&](Disk& state) {
        const profile::Outcome outcome = RunOn(state, row.personality);
        const std::string wrong = Wrong(state, row, expected, outcome);
        if (!wrong.empty() && ++not_recovered <= 3) {
          ADD_FAILURE() << "stopped at step " << stop_at << " of " << steps << ": " << wrong;
        }
      });
      // The next run cut short too, at each of its own steps: a third
      // still finishes.
      const Disk killed = memory::KillState(disk);
      const int recovery_steps = StepsOf(killed, row.personality);
      for (int again = 1; again <= recovery_steps; ++again) {
        Disk twice = killed;
        RunOn(twice, row.personality, again);
        Disk state = memory::KillState(twice);
        ++states;
        const std::string wrong = Wrong(state, row, expected, RunOn(state, row.personality));
        if (!wrong.empty() && ++not_recovered <= 3) {
          ADD_FAILURE() << "stopped at step " << stop_at << ", then the next run at " << again
                        << ": " << wrong;
        }
      }
    }
    std::cout << "in memory, " << what << ": " << steps + 1 << " points, " << states << " states, "
              << not_recovered << " not recovered\n";
    EXPECT_EQ(not_recovered, 0);
  }
}

// The record of a write in place cut short, beside a file in a state that
// no cut of that write could leave, or a record that is not this user's to
// apply: never applied. A file someone else changed since stays as it is,
// with the record, for a person to look at.
TEST(CrashPointTest, ARecordIsNeverAppliedToAFileItDoesNotProve) {
  const std::string old_content = Configuration("[Hardware]\r\nMDEMO.DLL=Demo\r\n", 3000);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;
  const Row row{memory::kNative, Path::kInPlace, "", old_content};
  // Stopped just as the file is about to change: the record is whole and
  // named, the file still old.
  const auto cut_short = [&] {
    int stop_at = 1;
    for (;; ++stop_at) {
      Disk disk = Before(row);
      RunOn(disk, row.personality, stop_at + 1);
      if (disk.Content(kIni) != old_content) break;
    }
    Disk disk = Before(row);
    RunOn(disk, row.personality, stop_at);
    return memory::KillState(disk);
  };
  // The record under its record name, or under its temporary one where a
  // case gives it that.
  const auto record_of = [](const Disk& disk) {
    for (const auto& [name, inode] : disk.names) {
      if (name.ends_with(".kavro-redo") || name.ends_with(".kavro-tmp")) return name;
    }
    return std::string();
  };
  struct Case {
    const char* what;
    std::function<void(Disk&)> change;
    profile::WriteResult result;
    bool file_kept;    // the file as the change left it
    bool record_kept;  // beside it
  };
  const size_t middle = old_content.size() / 2;
  const std::vector<Case> cases = {
      {"a byte changed that the write does not write",
       [&](Disk& disk) { disk.inodes.at(disk.names.at(kIni)).current[middle] ^= 0x20; },
       profile::WriteResult::kUnprovenRecord, true, true},
      {"a size the write never gives",
       [&](Disk& disk) { disk.inodes.at(disk.names.at(kIni)).current += "x"; },
       profile::WriteResult::kUnprovenRecord, true, true},
      {"a sector of neither content",
       [&](Disk& disk) {
         std::string& bytes = disk.inodes.at(disk.names.at(kIni)).current;
         std::fill_n(bytes.begin() + 1024, 512, '#');
       },
       profile::WriteResult::kUnprovenRecord, true, true},
      {"the record's content changed since, the file half written",
       [&](Disk& disk) {
         disk.inodes.at(disk.names.at(record_of(disk))).current.back() ^= 1;
         std::string& bytes = disk.inodes.at(disk.names.at(kIni)).current;
         std::copy_n(new_content.begin(), 1024, bytes.begin());
       },
       profile::WriteResult::kUnprovenRecord, true, true},
      {"the record a byte short, the file half written",
       [&](Disk& disk) {
         disk.inodes.at(disk.names.at(record_of(disk))).current.pop_back();
         std::string& bytes = disk.inodes.at(disk.names.at(kIni)).current;
         std::copy_n(new_content.begin(), 1024, bytes.begin());
       },
       profile::WriteResult::kUnprovenRecord, true, true},
      // A disk that does not keep its flushes (a write cache that ignores
      // them) may lose the record's rename and its end while the file's
      // first sectors land. The record still names this file by its head,
      // and the file is not the old one: refused as under its record name,
      // not removed as a record cut short before the file was touched.
      {"the record a byte short under its temporary name, the file half written",
       [&](Disk& disk) {
         const std::string redo = record_of(disk);
         auto named = disk.names.extract(redo);
         named.key() =
             redo.substr(0, redo.size() - std::string(".kavro-redo").size()) + ".kavro-tmp";
         disk.inodes.at(named.mapped()).current.pop_back();
         disk.names.insert(std::move(named));
         std::string& bytes = disk.inodes.at(disk.names.at(kIni)).current;
         std::copy_n(new_content.begin(), 1024, bytes.begin());
       },
       profile::WriteResult::kUnprovenRecord, true, true},
      {"the record a byte short, the file not touched",
       [&](Disk& disk) { disk.inodes.at(disk.names.at(record_of(disk))).current.pop_back(); },
       profile::WriteResult::kWritten, false, false},
      {"the record torn before its flush, the file not touched",
       [&](Disk& disk) {
         std::string& bytes = disk.inodes.at(disk.names.at(record_of(disk))).current;
         std::fill(bytes.begin() + 512, bytes.end(), '\0');
       },
       profile::WriteResult::kWritten, false, false},
      {"the record another user's",
       [&](Disk& disk) { disk.inodes.at(disk.names.at(record_of(disk))).ours = false; },
       profile::WriteResult::kWritten, false, true},
      {"the record writable by others",
       [&](Disk& disk) { disk.inodes.at(disk.names.at(record_of(disk))).private_ = false; },
       profile::WriteResult::kWritten, false, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    Disk disk = cut_short();
    std::string record = record_of(disk);
    ASSERT_TRUE(record.ends_with(".kavro-redo"));
    test.change(disk);
    record = record_of(disk);
    const std::string changed = *disk.Content(kIni);
    const profile::Outcome outcome = RunOn(disk, row.personality);
    EXPECT_EQ(outcome.result, test.result) << profile::CauseOf(outcome, "C:", kIni);
    EXPECT_EQ(disk.Content(kIni), test.file_kept ? changed : new_content);
    EXPECT_EQ(disk.names.contains(record), test.record_kept);
    if (test.result == profile::WriteResult::kUnprovenRecord) {
      EXPECT_THAT(profile::CauseOf(outcome, "C:\\Program Files\\DASYLab 8.0", kIni),
                  ::testing::HasSubstr(record));
    }
  }
}

// Runs take turns on a lock file; the run that made it removes it (under
// Wine only that one may), even where another run locked it first and its
// own turn came on a later try. Another run holds the lock on the new lock
// file until this run's first pause, or for good.
TEST(CrashPointTest, TheRunThatMadeTheLockFileRemovesItWhenItsTurnComes) {
  struct Case {
    Personality personality;
    bool let_go;
    profile::WriteResult result;
  };
  const Case cases[] = {
      {memory::kNative, true, profile::WriteResult::kWritten},
      {memory::kWindowsUnderWine, true, profile::WriteResult::kWritten},
      {memory::kWindowsUnderWine, false, profile::WriteResult::kLockTimedOut},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::string(test.personality.name) + (test.let_go ? "" : ", held for good"));
    Disk disk = Disk::With({{kIni, "[Hardware]\r\n"}});
    MemoryDirectory directory(disk, test.personality);
    const std::pair<int, uint64_t> lock_byte{disk.next_inode, 0};
    const int other_run = 0;
    directory.locks()[lock_byte] = &other_run;
    directory.during_pause = [&] {
      if (test.let_go) directory.locks().erase(lock_byte);
    };
    const profile::Outcome outcome = profile::WriteEntry(directory, kIni, kDriver);
    EXPECT_EQ(outcome.result, test.result) << profile::CauseOf(outcome, "C:", kIni);
    EXPECT_EQ(disk.names.contains(profile::LockName(kIni)), !test.let_go);
  }
}

}  // namespace
