#include "platform/posix/wine_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "test_support.h"

namespace {

using namespace testing_support;

// Points WINEPREFIX and HOME at chosen places for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class WinePathsTest : public ::testing::Test {
 protected:
  WinePrefix prefix_;
  ScopedEnv wineprefix_{"WINEPREFIX", prefix_.path().string()};
  std::string prefix() const { return prefix_.path().string(); }
  std::string drive_c() const { return (prefix_.path() / "drive_c").string(); }
};

TEST_F(WinePathsTest, MapsDriveCOntoThePrefix) {
  EXPECT_EQ(posix::DriveRoot(prefix(), 'C'), drive_c());
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\Program Files\DASYLab 8.0\DASYLab.ini)"),
            drive_c() + "/Program Files/DASYLab 8.0/DASYLab.ini");
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(c:/Program Files\.\x\..\DASYLab 8.0\)"),
            drive_c() + "/Program Files/DASYLab 8.0");
  EXPECT_EQ(posix::DriveRoot(prefix(), 'D'), std::nullopt);
}

TEST_F(WinePathsTest, PrefersDosdevicesLink) {
  fs::create_directories(prefix_.path() / "elsewhere" / "Program Files");
  fs::create_directory(prefix_.path() / "dosdevices");
  fs::create_directory_symlink("../elsewhere", prefix_.path() / "dosdevices" / "c:");
  const std::string c = (prefix_.path() / "dosdevices" / "c:").string();
  EXPECT_EQ(posix::DriveRoot(prefix(), 'c'), c);
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\PROGRAM FILES)"), c + "/Program Files");
}

TEST_F(WinePathsTest, FindsExistingNamesWithoutRegardToCase) {
  fs::rename(prefix_.install_dir(), prefix_.install_dir().parent_path() / "dasylab 8.0");
  WriteFile(prefix_.install_dir().parent_path() / "dasylab 8.0" / "DASYLAB.INI", "");
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\Program Files\DASYLab 8.0\DASYLab.ini)"),
            drive_c() + "/Program Files/dasylab 8.0/DASYLAB.INI");
  // A name that matches exactly wins over one that matches only by case.
  WriteFile(prefix_.install_dir().parent_path() / "dasylab 8.0" / "DASYLab.ini", "");
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\Program Files\DASYLab 8.0\DASYLab.ini)"),
            drive_c() + "/Program Files/dasylab 8.0/DASYLab.ini");
}

TEST_F(WinePathsTest, KeepsAMissingLastNameButNeedsEveryDirectory) {
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\Program Files\New.ini)"),
            drive_c() + "/Program Files/New.ini");
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\Missing\DASYLab.ini)"), std::nullopt);
  WriteFile(prefix_.path() / "drive_c" / "file", "");
  EXPECT_EQ(posix::ToHostPath(prefix(), R"(C:\file\DASYLab.ini)"), std::nullopt);
}

TEST_F(WinePathsTest, RefusesPathsWithoutADrive) {
  for (const char* path : {"DASYLab.ini", R"(\Program Files)", "C:relative", "1:\\x", ""}) {
    EXPECT_EQ(posix::ToHostPath(prefix(), path), std::nullopt) << path;
  }
}

TEST(WinePrefixTest, IsFoundOnceAbsoluteAndOnlyWhenItIsTheUsersOwn) {
  TempDir home;
  {
    ScopedEnv no_prefix("WINEPREFIX", std::nullopt);
    ScopedEnv home_env("HOME", home.path().string());
    EXPECT_EQ(posix::FindWinePrefix(), (home.path() / ".wine").string());
  }
  {
    // Relative to the starting directory, which the program leaves later.
    ScopedEnv relative("WINEPREFIX", "rel/prefix");
    EXPECT_EQ(posix::FindWinePrefix(), (fs::current_path() / "rel/prefix").string());
  }
  // Like Wine, refuses a prefix that another user owns.
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  ASSERT_EQ(chown(home.path().c_str(), 4242, 4242), 0);
  ScopedEnv foreign("WINEPREFIX", home.path().string());
  EXPECT_EQ(posix::FindWinePrefix(), std::nullopt);
}

}  // namespace
