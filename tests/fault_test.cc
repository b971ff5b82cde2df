// The built program under faults: killed mid-write, racing copies of
// itself, hostile files. The file must always be whole, either as it was or
// with the entry, and nothing may be left behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <thread>

#include "platform/edit/profile_edit.h"
#include "profile_reader.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using ::testing::ElementsAre;

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};

// A large configuration: many sections of settings, [Hardware] in the middle.
std::string LargeConfiguration(size_t size) {
  std::string text;
  bool hardware_added = false;
  for (int section = 0; text.size() < size; ++section) {
    if (!hardware_added && text.size() >= size / 2) {
      text += "[Hardware]\r\nMDEMO.DLL=Demo Board Driver\r\n\r\n";
      hardware_added = true;
    }
    text += "[Module " + std::to_string(section) + "]\r\n";
    for (int key = 0; key < 10; ++key) {
      text += "Gain" + std::to_string(key) + "=" + std::to_string(section * 7 + key) + "\r\n";
    }
  }
  return text;
}

// A configuration as DASYLab ships it: a couple of hundred bytes, where a
// run is over in far less time than it takes to start one.
const std::string kSmallConfiguration =
    "[Settings]\r\nLanguage=English\r\nLastWorksheet=C:\\Worksheets\\Lab3.DSB\r\n\r\n"
    "[Hardware]\r\nMDEMO.DLL=Demo Board Driver\r\nMIO16.DLL=Multi I/O 16 Driver\r\n\r\n"
    "[Hardware Options]\r\nSampleRate=1000\r\nChannels=16\r\n";

// Whether a write in place's record is among `names`: a write was cut
// short after its record was complete, so the file may be half written.
bool HoldsARecord(const std::vector<std::string>& names) {
  return std::any_of(names.begin(), names.end(),
                     [](const std::string& name) { return name.ends_with(".kavro-redo"); });
}

// Whether `pid` is still running: neither gone nor a zombie.
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t name_end = line.rfind(')');
  return name_end != std::string::npos && line.size() > name_end + 2 && line[name_end + 2] != 'Z' &&
         line[name_end + 2] != 'X';
}

// unshare(1), where it may make a PID namespace (as root): the program run
// under it is PID 1 there, a process id that is always "alive".
std::optional<std::string> UnshareForPidNamespaces() {
  for (const char* unshare : {"/usr/bin/unshare", "/bin/unshare"}) {
    if (fs::exists(unshare) &&
        RunProcess(unshare, {"--pid", "--fork", "/bin/true"}, "/", {}).exit_status == 0) {
      return unshare;
    }
  }
  return std::nullopt;
}

// The process id `pid` has in its own PID namespace (the last of NSpid).
std::string PidInOwnNamespace(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("NSpid:")) return line.substr(line.find_last_of(" \t") + 1);
  }
  return "";
}

class FaultTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Env() const {
    return {{"WINEPREFIX", prefix_.path().string()}};
  }
  ProcessResult Run() { return RunProcess(KAVRO_REGISTER, {}, "/", Env()); }

  // Times whole runs on `content`, and gives the moments, in microseconds,
  // at which to strike another: up to a quarter past the end of the
  // shortest. One run slowed by the machine (a flush behind another
  // program's writes) would put nearly every strike after the run.
  std::uniform_int_distribution<int64_t> MomentsOfARun(const std::string& content) {
    auto full_run = std::chrono::microseconds::max();
    for (int run = 0; run < 3; ++run) {
      WriteFile(prefix_.ini(), content);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(Run().exit_status, 0);
      full_run = std::min(full_run, std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start));
    }
    return std::uniform_int_distribution<int64_t>(0, full_run.count() * 5 / 4);
  }

  WinePrefix prefix_;
};

TEST_F(FaultTest, KilledAnywhereLeavesTheOldFileOrTheNewOne) {
  const std::string old_content = LargeConfiguration(8 << 20);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;

  std::uniform_int_distribution<int64_t> moment = MomentsOfARun(old_content);
  std::mt19937 random(20261208);
  int killed_before_rename = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    WriteFile(prefix_.ini(), old_content);
    const pid_t child = StartProcess(KAVRO_REGISTER, Env());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(child, SIGKILL);
    WaitProcess(child);
    const std::string after = ReadFile(prefix_.ini());
    ASSERT_TRUE(after == old_content || after == new_content) << "attempt " << attempt;
    killed_before_rename += after == old_content;
  }
  EXPECT_GT(killed_before_rename, 0) << "no kill landed while the file was being written";
  RecordProperty("killed_before_rename", killed_before_rename);

  // A later run finishes the job and clears what the killed runs left.
  WriteFile(prefix_.ini(), old_content);
  ASSERT_EQ(Run().exit_status, 0);
  EXPECT_EQ(ReadFile(prefix_.ini()), new_content);
  EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
}

// Killed at random moments while writing in place (a file with a second
// name): the file may be cut short, but then the record of the write is
// beside it, and the next run finishes the write from it. Either way the
// next run leaves the new file under both names and nothing else. The run
// killed is an ordinary process; or PID 1 of a PID namespace of its own, as
// in a container, so that nothing may hang on the id of the run that left
// a leftover (PID 1 always looks alive); or one of several copies at once,
// whose survivors must take the leftovers in their stride.
TEST_F(FaultTest, KilledWhileWritingInPlaceIsFinishedByTheNextRun) {
  const std::string old_content = LargeConfiguration(8 << 20);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;
  const fs::path other_name = prefix_.install_dir() / "linked.ini";
  const std::optional<std::string> unshare = UnshareForPidNamespaces();

  WriteFile(prefix_.ini(), old_content);
  fs::create_hard_link(prefix_.ini(), other_name);
  std::uniform_int_distribution<int64_t> moment = MomentsOfARun(old_content);
  std::mt19937 random(20261210);
  // The write proper, once its record is there, is a copy and a flush of a
  // few milliseconds; past that the run is all but over.
  std::uniform_int_distribution<int64_t> just_after(0, 8000);
  struct Row {
    const char* what;
    int attempts;
    bool own_pid_namespace;
    int copies;
  };
  const std::vector<Row> rows = {
      {"an ordinary process", 20, false, 1},
      {"PID 1 of its own PID namespace", 20, true, 1},
      {"one of four copies at once", 12, false, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.own_pid_namespace && !unshare) {
      std::cout << "[  SKIPPED ] killed as " << row.what
                << ": unshare --pid --fork is not permitted here\n";
      continue;
    }
    int cut_mid_write = 0;
    int torn = 0;  // of those, the file neither old nor new
    for (int attempt = 0; attempt < row.attempts; ++attempt) {
      SCOPED_TRACE("attempt " + std::to_string(attempt));
      WriteFile(prefix_.ini(), old_content);
      if (row.copies > 1) {
        const std::vector<pid_t> copies = StartTogether(
            KAVRO_REGISTER, std::vector<std::map<std::string, std::string>>(row.copies, Env()));
        const size_t victim = random() % copies.size();
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random) * row.copies));
        kill(copies[victim], SIGKILL);
        for (size_t i = 0; i < copies.size(); ++i) {
          const int status = WaitProcess(copies[i]);
          if (i != victim) {
            EXPECT_EQ(status, 0) << "copy " << i << " of " << copies.size();
          }
        }
      } else {
        pid_t wrapper = -1;
        pid_t child = -1;
        if (row.own_pid_namespace) {
          wrapper = StartProcess(*unshare, Env(), {"--pid", "--fork", KAVRO_REGISTER});
          child = FirstChildOf(wrapper);
          ASSERT_GT(child, 0) << "unshare started nothing";
          ASSERT_EQ(PidInOwnNamespace(child), "1");
        } else {
          child = StartProcess(KAVRO_REGISTER, Env());
        }
        if (attempt % 2 == 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        } else {
          // Aimed at the write itself: from when its record is complete,
          // a short while on into the copying.
          const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (Running(child) && !HoldsARecord(ListTree(prefix_.install_dir())) &&
                 std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          std::this_thread::sleep_for(std::chrono::microseconds(just_after(random)));
        }
        kill(child, SIGKILL);
        WaitProcess(wrapper > 0 ? wrapper : child);
        const std::vector<std::string> left = ListTree(prefix_.install_dir());
        const std::string after = ReadFile(prefix_.ini());
        if (HoldsARecord(left)) {
          ++cut_mid_write;
          torn += after != old_content && after != new_content;
        } else {
          // Without a record the write never began or ran to its end.
          ASSERT_TRUE(after == old_content || after == new_content)
              << "a file half written, with no record: " << ::testing::PrintToString(left);
        }
      }
      ASSERT_EQ(Run().exit_status, 0);
      ASSERT_EQ(ReadFile(prefix_.ini()), new_content);
      ASSERT_EQ(ReadFile(other_name), new_content);
      ASSERT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini", "linked.ini"));
    }
    if (row.copies == 1) {
      EXPECT_GT(cut_mid_write, 0) << "no kill landed while the file was being written";
      RecordProperty(std::string("cut_mid_write, ") + row.what, cut_mid_write);
      RecordProperty(std::string("torn, ") + row.what, torn);
    }
  }
}

// The install directory renamed, and a fresh one with a DASYLab.ini of its
// own put in its place, while a run is writing: the run finishes in the
// directory it started in, and the fresh file is never touched.
TEST_F(FaultTest, ADirectorySwappedDuringTheRunIsNeverWrittenInto) {
  const std::string old_content = LargeConfiguration(64 << 20);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;
  const fs::path moved = prefix_.install_dir().parent_path() / "DASYLab 8.0.old";
  WriteFile(prefix_.ini(), old_content);

  const pid_t child = StartProcess(KAVRO_REGISTER, Env());
  const auto writing = [&] {
    for (const auto& entry : fs::directory_iterator(prefix_.install_dir())) {
      if (entry.path().string().ends_with(".kavro-tmp")) return true;
    }
    return false;
  };
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!writing() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  fs::rename(prefix_.install_dir(), moved);
  fs::create_directory(prefix_.install_dir());
  WriteFile(prefix_.ini(), "[Fresh]\r\nx=1\r\n");

  EXPECT_EQ(WaitProcess(child), 0);
  EXPECT_EQ(ReadFile(prefix_.ini()), "[Fresh]\r\nx=1\r\n");
  EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  EXPECT_TRUE(ReadFile(moved / "DASYLab.ini") == new_content);
  EXPECT_THAT(ListTree(moved), ElementsAre("DASYLab.ini"));
}

// Ctrl-C, a closed terminal or a stop request at any moment: the program
// ends by that signal, as programs do, the file is the old one or the new
// one, and no temporary file is left for a later run to clear.
TEST_F(FaultTest, InterruptedAnywhereLeavesNothingBehind) {
  const std::string old_content = LargeConfiguration(8 << 20);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;

  std::uniform_int_distribution<int64_t> moment = MomentsOfARun(old_content);
  std::mt19937 random(20261209);
  int interrupted_mid_write = 0;
  for (int attempt = 0; attempt < 60; ++attempt) {
    const int signal_number = std::array{SIGINT, SIGTERM, SIGHUP}[attempt % 3];
    WriteFile(prefix_.ini(), old_content);
    const pid_t child = StartProcess(KAVRO_REGISTER, Env());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(child, signal_number);
    int status = 0;
    waitpid(child, &status, 0);
    const std::string after = ReadFile(prefix_.ini());
    SCOPED_TRACE("attempt " + std::to_string(attempt) + ", signal " +
                 std::to_string(signal_number));
    ASSERT_TRUE(after == old_content || after == new_content);
    ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == signal_number) ||
                (WIFEXITED(status) && WEXITSTATUS(status) == 0));
    ASSERT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
    interrupted_mid_write += WIFSIGNALED(status) && after == old_content;
  }
  EXPECT_GT(interrupted_mid_write, 0) << "no signal landed while the file was being written";
  RecordProperty("interrupted_mid_write", interrupted_mid_write);
}

// Copies started at the same moment, round after round, take turns: every
// one succeeds, and after each round the file holds the entry once, under
// every name it has, with nothing left beside it. A file with one name is
// replaced; one with a second name is written in place. Without turns, a
// run takes another's temporary file or record for a dead run's and clears
// it, or reads a file half written.
TEST_F(FaultTest, CopiesStartedTogetherTakeTurns) {
  struct Row {
    const char* what;
    std::string content;
    int rounds;
    int copies;
    bool second_name;
  };
  const std::string large = LargeConfiguration(4 << 20);
  const std::vector<Row> rows = {
      {"small file, replaced", kSmallConfiguration, 100, 4, false},
      {"small file, written in place", kSmallConfiguration, 100, 4, true},
      {"4 MiB file, replaced", large, 4, 16, false},
      {"4 MiB file, written in place", large, 4, 16, true},
  };
  const fs::path other_name = prefix_.install_dir() / "linked.ini";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string expected = profile::SetEntry(row.content, kDriver).content;
    fs::remove(other_name);
    WriteFile(prefix_.ini(), row.content);
    std::vector<std::string> names = {"DASYLab.ini"};
    if (row.second_name) {
      fs::create_hard_link(prefix_.ini(), other_name);
      names.push_back("linked.ini");
    }
    const std::vector<std::map<std::string, std::string>> envs(row.copies, Env());
    int failed_rounds = 0;
    for (int round = 0; round < row.rounds; ++round) {
      WriteFile(prefix_.ini(), row.content);  // in place: the second name stays
      int failed_runs = 0;
      for (const pid_t copy : StartTogether(KAVRO_REGISTER, envs)) {
        failed_runs += WaitProcess(copy) != 0;
      }
      const bool whole = ReadFile(prefix_.ini()) == expected &&
                         (!row.second_name || ReadFile(other_name) == expected);
      const std::vector<std::string> left = ListTree(prefix_.install_dir());
      if (failed_runs == 0 && whole && left == names) continue;
      if (++failed_rounds <= 3) {
        ADD_FAILURE() << "round " << round << ": " << failed_runs << " of " << row.copies
                      << " runs failed, the file is " << (whole ? "right" : "wrong")
                      << ", the directory holds " << ::testing::PrintToString(left);
      }
    }
    EXPECT_EQ(failed_rounds, 0) << "of " << row.rounds << " rounds";
  }
}

// A hostile file gets a clear outcome: the entry written with everything
// else kept, or the warning with the file untouched; never a hang or crash.
TEST_F(FaultTest, HostileFilesGetAClearOutcome) {
  std::mt19937 random(7);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  struct Hostile {
    const char* what;
    std::string content;
  };
  const std::vector<Hostile> files = {
      {"binary garbage", garbage},
      {"NUL bytes", std::string(4096, '\0') + "[Hardware]\n" + std::string(10, '\0')},
      {"one 50 MB line", "[Hardware]" + std::string(50 << 20, 'x')},
      {"odd-length UTF-16", std::string("\xFF\xFE[\0H\0a", 7)},
  };
  for (const Hostile& file : files) {
    SCOPED_TRACE(file.what);
    WriteFile(prefix_.ini(), file.content);
    const ProcessResult result = Run();
    const std::string after = ReadFile(prefix_.ini());
    const profile::Edit edit = profile::SetEntry(file.content, kDriver);
    if (edit.status == profile::EditStatus::kUnreadable) {
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_EQ(after, file.content);
    } else {
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(after, edit.content);
      EXPECT_EQ(reader::Lookup(reader::ReadEntries(after), u"Hardware", u"MKAVRO.DLL"),
                u"KAVRO DAQ Cards Driver");
    }
    EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  }
}

TEST_F(FaultTest, LinksAndSpecialFilesAreRefusedWithoutBlocking) {
  const fs::path ini = prefix_.ini();
  const std::vector<std::pair<std::string, std::function<void()>>> setups = {
      {"link loop", [&] { fs::create_symlink("DASYLab.ini", ini); }},
      {"dangling link", [&] { fs::create_symlink("gone.ini", ini); }},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(ini.c_str(), 0644), 0); }},
  };
  for (const auto& [what, setup] : setups) {
    SCOPED_TRACE(what);
    fs::remove(ini);
    setup();
    const ProcessResult result = Run();
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_THAT(result.err, ::testing::HasSubstr("Alarm"));
    EXPECT_TRUE(fs::is_symlink(ini) || fs::is_fifo(ini));
    EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  }
}

// Run as root on root's own prefix, nothing another user may change leads
// the program anywhere: not a drive_c or dosdevices/c: that user owns, not
// their link in DASYLab.ini's place, and not a swap of the prefix for one of
// theirs while the program runs. A root-only file elsewhere, which each of
// these would lead to, is never written.
TEST_F(FaultTest, RootNeverWritesThroughAnotherUsersHands) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and another user's files";
  constexpr uid_t kUser = 4321;
  const fs::path secret =
      prefix_.path().parent_path() / (prefix_.path().filename().string() + ".secret");
  WriteFile(secret, "[Hardware]\r\nroot only\r\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const auto user_owns = [](const fs::path& path) {
    ASSERT_EQ(lchown(path.c_str(), kUser, kUser), 0) << path;
  };
  const fs::path drive_c = prefix_.path() / "drive_c";
  const std::vector<std::pair<std::string, std::function<void()>>> setups = {
      {"drive_c a user's, DASYLab.ini their link",
       [&] {
         fs::create_symlink(secret, prefix_.ini());
         for (const fs::path& path :
              {drive_c, drive_c / "Program Files", prefix_.install_dir(), prefix_.ini()}) {
           user_owns(path);
         }
       }},
      {"dosdevices/c: a user's link",
       [&] {
         fs::create_directories(prefix_.path() / "elsewhere" / "Program Files" / "DASYLab 8.0");
         fs::create_symlink(secret, prefix_.path() / "elsewhere" / "Program Files" / "DASYLab 8.0" /
                                        "DASYLab.ini");
         fs::create_directories(prefix_.path() / "dosdevices");
         fs::create_symlink("../elsewhere", prefix_.path() / "dosdevices" / "c:");
         user_owns(prefix_.path() / "dosdevices" / "c:");
       }},
      {"DASYLab.ini a user's link in root's directory",
       [&] {
         fs::create_symlink(secret, prefix_.ini());
         user_owns(prefix_.ini());
       }},
      {"DASYLab.ini root's link through a user's directory",
       [&] {
         fs::create_directories(drive_c / "users" / "lab");
         fs::create_symlink(secret, drive_c / "users" / "lab" / "x.ini");
         user_owns(drive_c / "users" / "lab");
         user_owns(drive_c / "users" / "lab" / "x.ini");
         fs::create_symlink("../../users/lab/x.ini", prefix_.ini());
       }},
      {"a directory on the way that others may change",
       [&] {
         fs::create_symlink(secret, prefix_.ini());
         ASSERT_EQ(chmod(prefix_.install_dir().c_str(), 0777), 0);
       }},
  };
  for (const auto& [what, setup] : setups) {
    SCOPED_TRACE(what);
    fs::remove_all(prefix_.path());
    fs::create_directories(prefix_.install_dir());
    setup();
    EXPECT_EQ(Run().exit_status, 1);
    EXPECT_EQ(ReadFile(secret), "[Hardware]\r\nroot only\r\n");
  }

  // The user swaps root's prefix, in a directory of theirs, with a prefix
  // of their own whose DASYLab.ini leads to the root-only file, as fast as
  // they can, while root runs the program again and again.
  const fs::path home = prefix_.path() / "home";
  const fs::path roots = home / "root-prefix", theirs = home / "their-prefix";
  fs::remove_all(prefix_.path());
  for (const fs::path& prefix : {roots, theirs}) {
    fs::create_directories(prefix / "drive_c" / "Program Files" / "DASYLab 8.0");
  }
  fs::create_symlink(secret, theirs / "drive_c" / "Program Files" / "DASYLab 8.0" / "DASYLab.ini");
  for (const auto& entry : fs::recursive_directory_iterator(theirs)) user_owns(entry.path());
  user_owns(theirs);
  user_owns(home);
  std::atomic<bool> swapping = true;
  std::thread swapper([&] {
    while (swapping) {
      syscall(SYS_renameat2, AT_FDCWD, roots.c_str(), AT_FDCWD, theirs.c_str(), RENAME_EXCHANGE);
    }
  });
  int runs = 0;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       std::chrono::steady_clock::now() < until; ++runs) {
    RunProcess(KAVRO_REGISTER, {}, "/", {{"WINEPREFIX", roots.string()}});
  }
  swapping = false;
  swapper.join();
  RecordProperty("runs_during_swaps", runs);
  EXPECT_GT(runs, 10);
  EXPECT_EQ(ReadFile(secret), "[Hardware]\r\nroot only\r\n");
  fs::remove(secret);
}

}  // namespace
