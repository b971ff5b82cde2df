// The native program end to end, in scratch Wine prefixes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "test_support.h"

namespace {

using namespace testing_support;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kRegistered = "[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n";
const std::string kWarningText =
    R"(Driver cannt find C:\Programs Files\DASYLab 8.0\  Please modify the DASYLab.ini in )"
    "correct directory by manual";

class ProgramTest : public ::testing::Test {
 protected:
  ProcessResult Run(const std::vector<std::string>& args = {}, const fs::path& cwd = "/") {
    return RunProcess(KAVRO_REGISTER, args, cwd, {{"WINEPREFIX", prefix_.path().string()}});
  }

  void ExpectWarning(const ProcessResult& result) {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_THAT(result.err, HasSubstr("Alarm"));
    EXPECT_THAT(result.err, HasSubstr("\n" + kWarningText + "\n"));
    EXPECT_EQ(result.out, "");
  }

  WinePrefix prefix_;
};

TEST_F(ProgramTest, RegistersSilentlyAndExitsZero) {
  const ProcessResult first = Run();
  EXPECT_EQ(first.exit_status, 0);
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(ReadFile(prefix_.ini()), kRegistered);

  WriteFile(prefix_.ini(), "[Other]\nA=1\n[hardware]\nmkavro.dll=Old Driver\nB=2\n");
  EXPECT_EQ(Run().exit_status, 0);
  const std::string once = ReadFile(prefix_.ini());
  EXPECT_EQ(once, "[Other]\nA=1\n[hardware]\nmkavro.dll=KAVRO DAQ Cards Driver\nB=2\n");
  EXPECT_EQ(Run().exit_status, 0);
  EXPECT_EQ(ReadFile(prefix_.ini()), once);
}

TEST_F(ProgramTest, ArgumentsAndStartingDirectoryMakeNoDifference) {
  TempDir elsewhere;
  const ProcessResult result = Run({"--help", "/uninstall", "D:\\x.ini"}, elsewhere.path());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(ReadFile(prefix_.ini()), kRegistered);
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST_F(ProgramTest, WritesTheExistingFileWhateverItsCase) {
  fs::remove_all(prefix_.install_dir());
  const fs::path dir = prefix_.path() / "drive_c" / "PROGRAM FILES" / "dasylab 8.0";
  fs::create_directories(dir);
  fs::remove(prefix_.path() / "drive_c" / "Program Files");
  WriteFile(dir / "DASYLAB.INI", "[HARDWARE]\r\n");

  EXPECT_EQ(Run().exit_status, 0);
  EXPECT_EQ(ReadFile(dir / "DASYLAB.INI"), "[HARDWARE]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n");
  EXPECT_THAT(ListTree(dir), ElementsAre("DASYLAB.INI"));
}

TEST_F(ProgramTest, WarnsAndCreatesNothingWhenTheInstallDirectoryIsMissing) {
  fs::remove_all(prefix_.install_dir());
  const std::vector<std::string> before = ListTree(prefix_.path());
  ExpectWarning(Run());
  EXPECT_EQ(ListTree(prefix_.path()), before);

  WriteFile(prefix_.install_dir(), "a file, not a directory");
  ExpectWarning(Run());
  EXPECT_EQ(ReadFile(prefix_.install_dir()), "a file, not a directory");
}

TEST_F(ProgramTest, WarnsWhenTheWriteIsRefused) {
  WriteFile(prefix_.ini(), "[Hardware]\r\nMKAVRO.DLL=Old\r\n");
  ASSERT_EQ(chmod(prefix_.ini().c_str(), 0444), 0);
  ExpectWarning(Run());
  EXPECT_EQ(ReadFile(prefix_.ini()), "[Hardware]\r\nMKAVRO.DLL=Old\r\n");

  fs::remove(prefix_.ini());
  fs::create_directory(prefix_.ini());
  ExpectWarning(Run());
  EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
}

TEST_F(ProgramTest, WarnsOnDiskFullAndKeepsTheFile) {
  SmallTmpfs disk(prefix_.install_dir(), "64k");
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const std::string original = "[Hardware]\r\n" + std::string(40000, 'k') + "=v\r\n";
  WriteFile(prefix_.ini(), original);

  const ProcessResult result = Run();
  ExpectWarning(result);
  EXPECT_THAT(result.err, HasSubstr(": No space left on device; free some space on that disk, "
                                    "then run again\n"));
  EXPECT_EQ(ReadFile(prefix_.ini()), original);
  EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
}

// The prefix is found once, before the program enters the install
// directory: a relative one is taken from the starting directory.
TEST_F(ProgramTest, TakesARelativePrefixFromTheStartingDirectory) {
  const ProcessResult result = RunProcess(KAVRO_REGISTER, {}, prefix_.path().parent_path(),
                                          {{"WINEPREFIX", prefix_.path().filename().string()}});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(ReadFile(prefix_.ini()), kRegistered);
}

// Root running the program on another user's prefix, where that user has
// made DASYLab.ini a link to a file only root may write: like Wine, the
// program refuses the prefix, and writes neither through the link nor into
// the prefix.
TEST_F(ProgramTest, RefusesAPrefixThatIsNotTheUsersOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a prefix to another user needs root";
  TempDir outside;
  const fs::path root_only = outside.path() / "root-only.conf";
  WriteFile(root_only, "secret=1\n");
  fs::permissions(root_only, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(root_only, prefix_.ini());
  ASSERT_EQ(chown(prefix_.path().c_str(), 4242, 4242), 0);
  ExpectWarning(Run());
  EXPECT_EQ(ReadFile(root_only), "secret=1\n");

  fs::remove(prefix_.ini());
  ExpectWarning(Run());
  EXPECT_TRUE(fs::is_empty(prefix_.install_dir()));
}

// A member of the file's group who does not own it (on shared lab
// machines, say): the file keeps its owner, group and mode, and gets the
// entry.
TEST_F(ProgramTest, KeepsOwnerGroupAndModeForAGroupMemberWhoDoesNotOwnTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "running as another user needs root";
  constexpr uid_t kOwner = 4242, kRunner = 4343;
  constexpr gid_t kGroup = 4244;
  WriteFile(prefix_.ini(), "[Hardware]\r\nA=1\r\n");
  ASSERT_EQ(chown(prefix_.ini().c_str(), kOwner, kGroup), 0);
  ASSERT_EQ(chmod(prefix_.ini().c_str(), 0664), 0);
  // The runner owns the prefix and may write in the install directory.
  ASSERT_EQ(chown(prefix_.path().c_str(), kRunner, kRunner), 0);
  ASSERT_EQ(chown(prefix_.install_dir().c_str(), kRunner, kRunner), 0);

  const auto run_as_group_member = [&] {
    return RunProcess("/usr/bin/setpriv",
                      {"--reuid=" + std::to_string(kRunner), "--regid=" + std::to_string(kRunner),
                       "--groups=" + std::to_string(kGroup), "--", KAVRO_REGISTER},
                      "/", {{"WINEPREFIX", prefix_.path().string()}});
  };
  const auto expect_kept = [&](uid_t owner) {
    EXPECT_EQ(ReadFile(prefix_.ini()),
              "[Hardware]\r\nA=1\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n");
    const struct stat after = StatOf(prefix_.ini());
    EXPECT_EQ(after.st_uid, owner);
    EXPECT_EQ(after.st_gid, kGroup);
    EXPECT_EQ(after.st_mode & 07777, 0664u);
    EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  };
  const ProcessResult result = run_as_group_member();
  EXPECT_EQ(result.exit_status, 0) << result.err;
  expect_kept(kOwner);

  // The runner owns the file, which belongs to another of his groups than
  // his own: the new file keeps that group.
  WriteFile(prefix_.ini(), "[Hardware]\r\nA=1\r\n");
  ASSERT_EQ(chown(prefix_.ini().c_str(), kRunner, kGroup), 0);
  ASSERT_EQ(chmod(prefix_.ini().c_str(), 0664), 0);
  EXPECT_EQ(run_as_group_member().exit_status, 0);
  expect_kept(kRunner);
}

// The box waits for Enter only where someone sees it and can answer:
// standard input and standard error both at a terminal. A run that waits
// anyway is ended by RunProcess's time limit and has no exit status.
TEST_F(ProgramTest, NeverWaitsWhereNobodyCanAnswerTheWarning) {
  fs::remove_all(prefix_.install_dir());
  const std::map<std::string, std::string> env{{"WINEPREFIX", prefix_.path().string()},
                                               {"PATH", "/usr/bin:/bin"}};
  const auto run_in_shell = [&](const std::string& command, const std::string& redirect) {
    return RunProcess("/bin/bash", {"-c", command, KAVRO_REGISTER, redirect}, "/", env);
  };
  // Standard error closed: the box has nowhere to go.
  EXPECT_EQ(run_in_shell("exec \"$0\" 2>&-", "").exit_status, 2);

  // Standard input at a terminal that never answers, standard error
  // elsewhere.
  const SilentTerminal terminal;
  const auto at_terminal = [&](const std::string& redirect) {
    return RunProcess("/bin/bash", {"-c", "exec \"$0\" " + redirect, KAVRO_REGISTER}, "/", env, 20,
                      terminal.path());
  };
  TempDir logs;
  const fs::path log = logs.path() / "install.log";
  EXPECT_EQ(at_terminal("2>>'" + log.string() + "'").exit_status, 1);
  EXPECT_THAT(ReadFile(log), HasSubstr("\n" + kWarningText + "\n"));
  EXPECT_EQ(at_terminal("2>/dev/null").exit_status, 1);
  EXPECT_EQ(at_terminal("2>&-").exit_status, 2);

  // Standard error a pipe whose reader has gone (its read end closed before
  // the program starts, and SIGPIPE as a shell leaves it): the failed write
  // is reported by the exit status, not by death from SIGPIPE (141).
  const ProcessResult broken_pipe = RunProcess("/usr/bin/python3",
                                               {"-c",
                                                "import os, signal, sys\n"
                                                "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
                                                "read_end, write_end = os.pipe()\n"
                                                "os.close(read_end)\n"
                                                "os.dup2(write_end, 2)\n"
                                                "os.execv(sys.argv[1], sys.argv[1:])",
                                                KAVRO_REGISTER},
                                               "/", env);
  EXPECT_EQ(broken_pipe.exit_status, 2);
}

// Every failure names its cause, on its own line after the box: what
// failed, on which path, and a next step that works.
TEST_F(ProgramTest, NamesEachCauseWithItsPath) {
  const std::string prefix = prefix_.path().string();
  const std::string install_dir = prefix_.install_dir().string();
  const std::string ini = prefix_.ini().string();
  struct Row {
    const char* what;
    std::function<void()> setup;
    std::map<std::string, std::string> env;
    std::string cause;  // the line, after "kavro-register: "
    bool needs_root = false;
    // Run by the prefix's owner, for whom permissions count: as root, the
    // prefix is given to another user, who runs the program.
    bool as_owner = false;
  };
  // Drive C: reached through dosdevices/c:, as Wine makes every prefix,
  // with `closed` (below the prefix) shut to its owner.
  const auto closed_behind_dosdevices = [&](const std::string& closed) {
    fs::create_directory(prefix_.path() / "dosdevices");
    fs::create_directory_symlink("../drive_c", prefix_.path() / "dosdevices" / "c:");
    ASSERT_EQ(chmod((prefix + closed).c_str(), 0), 0);
  };
  const std::vector<Row> rows = {
      {"a mistyped WINEPREFIX",
       [] {},
       {{"WINEPREFIX", prefix + "-typo"}},
       prefix + "-typo: no such Wine prefix (from WINEPREFIX); set WINEPREFIX to the prefix "
                "DASYLab 8.0 is installed in"},
      {"no ~/.wine",
       [] {},
       {{"HOME", prefix + "/home"}},
       prefix + "/home/.wine: no such Wine prefix (from HOME, as WINEPREFIX is not set); set "
                "WINEPREFIX to the prefix DASYLab 8.0 is installed in"},
      {"a file as the prefix",
       [&] { WriteFile(prefix_.path() / "file", ""); },
       {{"WINEPREFIX", prefix + "/file"}},
       prefix + "/file: not a directory, so no Wine prefix (from WINEPREFIX); set WINEPREFIX to "
                "the prefix DASYLab 8.0 is installed in"},
      {"another user's prefix, run as root",
       [&] { ASSERT_EQ(chown(prefix.c_str(), 4242, 4242), 0); },
       {},
       prefix +
           ": the Wine prefix belongs to #4242, not to root (from WINEPREFIX), and like "
           "Wine this program uses only a prefix of the user's own; run it as its owner: "
           "sudo -u '#4242' WINEPREFIX='" +
           prefix + "' kavro-register",
       true},
      // The next step is a command to paste into a shell: there "#4242"
      // unquoted starts a comment (sudo gets no user), and a quote in the
      // prefix's path ends the quoted WINEPREFIX early. Both must be quoted.
      {"another user's prefix, whose path holds a quote, run as root",
       [&] {
         fs::create_directories(prefix_.path() / "lab's prefix" / "drive_c");
         ASSERT_EQ(chown((prefix + "/lab's prefix").c_str(), 4242, 4242), 0);
       },
       {{"WINEPREFIX", prefix + "/lab's prefix"}},
       prefix +
           "/lab's prefix: the Wine prefix belongs to #4242, not to root (from WINEPREFIX), and "
           "like Wine this program uses only a prefix of the user's own; run it as its owner: "
           "sudo -u '#4242' WINEPREFIX='" +
           prefix + "/lab'\\''s prefix' kavro-register",
       true},
      {"no drive C:",
       [&] { fs::remove_all(prefix_.path() / "drive_c"); },
       {},
       prefix + ": no drive C: in this Wine prefix (neither dosdevices/c: nor drive_c); set "
                "WINEPREFIX to the prefix DASYLab 8.0 is installed in"},
      // Wine reads drive C: through dosdevices/c: alone; where that link
      // leads nowhere (a disk not mounted), drive_c is not Wine's C:, and
      // an entry written there is one DASYLab never reads.
      {"dosdevices/c: a link that leads nowhere",
       [&] {
         fs::create_directory(prefix_.path() / "dosdevices");
         fs::create_directory_symlink(prefix + "/unmounted", prefix_.path() / "dosdevices" / "c:");
       },
       {},
       prefix + "/dosdevices/c:: drive C: of this Wine prefix leads to no directory (a disk not "
                "mounted?), and Wine reads the drive through it alone; mount what it leads to, or "
                "make it a link to the drive's directory"},
      {"no DASYLab 8.0",
       [&] { fs::remove_all(prefix_.install_dir()); },
       {},
       install_dir + ": no such directory; install DASYLab 8.0 there, or add the line "
                     "MKAVRO.DLL=KAVRO DAQ Cards Driver to the section [Hardware] of DASYLab.ini "
                     "where it is installed"},
      {"DASYLab 8.0 under Program Files (x86)",
       [&] {
         fs::remove_all(prefix_.install_dir());
         fs::create_directories(prefix_.path() / "drive_c" / "Program Files (x86)" / "DASYLab 8.0");
       },
       {},
       install_dir +
           R"(: no such directory, but DASYLab 8.0 is installed in C:\Program Files (x86)\DASYLab 8.0, where this program does not look; add the line MKAVRO.DLL=KAVRO DAQ Cards Driver to the section [Hardware] of the DASYLab.ini there)"},
      {"a read-only file",
       [&] {
         WriteFile(prefix_.ini(), "[Hardware]\r\n");
         ASSERT_EQ(chmod(ini.c_str(), 0444), 0);
       },
       {},
       ini + ": the file is read-only; make it writable (attrib -r DASYLab.ini on Windows, chmod "
             "u+w on Linux), then run again"},
      {"a directory in the file's place",
       [&] { fs::create_directory(prefix_.ini()); },
       {},
       "cannot open " + ini +
           ": it is a directory; put DASYLab's own DASYLab.ini there, or remove what is in its "
           "place"},
      {"run as root, a directory others may change on the way",
       [&] { ASSERT_EQ(chmod(install_dir.c_str(), 0777), 0); },
       {},
       install_dir + ": another user may change this, and run as root this program follows "
                     "nothing another user may change; run it as the user who owns the Wine "
                     "prefix",
       true},
      {"the prefix closed to its owner",
       [&] { ASSERT_EQ(chmod(prefix.c_str(), 0), 0); },
       {},
       prefix + ": the Wine prefix cannot be opened (from WINEPREFIX); give the user read and "
                "search permission on it (chmod u+rx)",
       false,
       true},
      {"drive_c closed to the prefix's owner",
       [&] { ASSERT_EQ(chmod((prefix + "/drive_c").c_str(), 0), 0); },
       {},
       prefix + "/drive_c: this user may not enter it (permission denied); give the user read and "
                "search permission on it (chmod u+rx), or run as a user who has them",
       false,
       true},
      // Through dosdevices/c:, as Wine itself makes every prefix, the cause
      // must name the directory that may not be entered, not the prefix
      // above it, which the user may enter: chmod u+rx on the prefix
      // changes nothing.
      {"dosdevices closed to the prefix's owner",
       [&] { closed_behind_dosdevices("/dosdevices"); },
       {},
       prefix + "/dosdevices: this user may not enter it (permission denied); give the user read "
                "and search permission on it (chmod u+rx), or run as a user who has them",
       false,
       true},
      {"drive_c closed to the prefix's owner, reached through dosdevices/c:",
       [&] { closed_behind_dosdevices("/drive_c"); },
       {},
       prefix + "/drive_c: this user may not enter it (permission denied); give the user read and "
                "search permission on it (chmod u+rx), or run as a user who has them",
       false,
       true},
      {"the install directory readable but not searchable",
       [&] { ASSERT_EQ(chmod(install_dir.c_str(), 0444), 0); },
       {},
       install_dir + ": this user may not enter it (permission denied); give the user read and "
                     "search permission on it (chmod u+rx), or run as a user who has them",
       false,
       true},
      {"something else as the lock file",
       [&] { WriteFile(prefix_.install_dir() / ".dasylab.ini.kavro-lock", "x"); },
       {},
       install_dir + "/.dasylab.ini.kavro-lock: the lock file is not an empty regular file; "
                     "check DASYLab.ini, remove this file, then run again"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.needs_root && geteuid() != 0) continue;
    fs::remove_all(prefix_.path());
    fs::create_directories(prefix_.install_dir());
    row.setup();
    std::map<std::string, std::string> env = {{"WINEPREFIX", prefix}};
    for (const auto& [name, value] : row.env) env[name] = value;
    if (env.contains("HOME")) env.erase("WINEPREFIX");
    const bool as_other = row.as_owner && geteuid() == 0;
    if (as_other) {
      ASSERT_EQ(lchown(prefix.c_str(), 4242, 4242), 0);
      for (const auto& entry : fs::recursive_directory_iterator(prefix_.path())) {
        ASSERT_EQ(lchown(entry.path().c_str(), 4242, 4242), 0);
      }
    }
    const ProcessResult result =
        as_other ? RunProcess("/usr/bin/setpriv",
                              {"--reuid=4242", "--regid=4242", "--clear-groups", KAVRO_REGISTER},
                              "/", env)
                 : RunProcess(KAVRO_REGISTER, {}, "/", env);
    ExpectWarning(result);
    EXPECT_THAT(result.err, HasSubstr("\nkavro-register: " + row.cause + "\n"));
    // Open again, so that the prefix can go.
    for (const std::string& closed :
         {prefix, prefix + "/dosdevices", prefix + "/drive_c", install_dir}) {
      chmod(closed.c_str(), 0755);
    }
  }
}

TEST(ProgramDefaultPrefixTest, UsesDotWineInHomeWithoutWineprefix) {
  TempDir home;
  fs::create_directories(home.path() / ".wine" / "drive_c" / "Program Files" / "DASYLab 8.0");
  const ProcessResult result =
      RunProcess(KAVRO_REGISTER, {}, "/", {{"HOME", home.path().string()}});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(
      ReadFile(home.path() / ".wine" / "drive_c" / "Program Files" / "DASYLab 8.0" / "DASYLab.ini"),
      kRegistered);
}

}  // namespace
