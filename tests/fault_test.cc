// The built program under faults: killed mid-write, racing copies of
// itself, hostile files. The file must always be whole, either as it was or
// with the entry, and nothing may be left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <random>
#include <thread>

#include "platform/profile_edit.h"
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

class FaultTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Env() const {
    return {{"WINEPREFIX", prefix_.path().string()}};
  }
  ProcessResult Run() { return RunProcess(KAVRO_REGISTER, {}, "/", Env()); }

  // Times one whole run on `content`, and gives the moments, in
  // microseconds, at which to strike another: up to a quarter past its end.
  std::uniform_int_distribution<int64_t> MomentsOfARun(const std::string& content) {
    WriteFile(prefix_.ini(), content);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run().exit_status, 0);
    const auto full_run = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
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
// name): the file may be cut short, but then the complete copy of the new
// file is beside it, and the next run finishes the write from it. Either
// way the next run leaves the new file under both names and nothing else.
TEST_F(FaultTest, KilledWhileWritingInPlaceIsFinishedByTheNextRun) {
  const std::string old_content = LargeConfiguration(8 << 20);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;
  const fs::path other_name = prefix_.install_dir() / "linked.ini";

  WriteFile(prefix_.ini(), old_content);
  fs::create_hard_link(prefix_.ini(), other_name);
  std::uniform_int_distribution<int64_t> moment = MomentsOfARun(old_content);
  std::mt19937 random(20261210);
  int left_unfinished = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    WriteFile(prefix_.ini(), old_content);
    const pid_t child = StartProcess(KAVRO_REGISTER, Env());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(child, SIGKILL);
    WaitProcess(child);
    left_unfinished += ReadFile(prefix_.ini()) != new_content;
    ASSERT_EQ(Run().exit_status, 0);
    ASSERT_EQ(ReadFile(other_name), new_content);
    ASSERT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini", "linked.ini"));
  }
  EXPECT_GT(left_unfinished, 0) << "no kill landed before the write was done";
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

TEST_F(FaultTest, SixteenCopiesAtOnceWriteTheEntryOnce) {
  const std::string old_content = LargeConfiguration(4 << 20);
  WriteFile(prefix_.ini(), old_content);
  std::vector<pid_t> copies;
  for (int i = 0; i < 16; ++i) copies.push_back(StartProcess(KAVRO_REGISTER, Env()));
  for (const pid_t copy : copies) EXPECT_EQ(WaitProcess(copy), 0);

  EXPECT_EQ(ReadFile(prefix_.ini()), profile::SetEntry(old_content, kDriver).content);
  EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
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

}  // namespace
