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
  // The host path that `windows_path` leads to below the prefix, in one
  // walk from its handle.
  std::optional<std::string> HostPath(std::string_view windows_path) {
    const wine::OpenedPrefix opened = wine::OpenPrefix();
    wine::Stop stop;
    std::optional<wine::Place> place =
        opened.prefix ? wine::Reach(*opened.prefix, windows_path, false, stop) : std::nullopt;
    if (!place) return std::nullopt;
    return place->host_directory + "/" + place->name;
  }

  WinePrefix prefix_;
  ScopedEnv wineprefix_{"WINEPREFIX", prefix_.path().string()};
  std::string prefix() const { return prefix_.path().string(); }
  std::string drive_c() const { return (prefix_.path() / "drive_c").string(); }
};

TEST_F(WinePathsTest, MapsDriveCOntoThePrefix) {
  EXPECT_EQ(HostPath(R"(C:\New.ini)"), drive_c() + "/New.ini");
  EXPECT_EQ(HostPath(R"(C:\Program Files\DASYLab 8.0\DASYLab.ini)"),
            drive_c() + "/Program Files/DASYLab 8.0/DASYLab.ini");
  EXPECT_EQ(HostPath(R"(c:/Program Files\.\x\..\DASYLab 8.0\)"),
            drive_c() + "/Program Files/DASYLab 8.0");
  EXPECT_EQ(HostPath(R"(D:\New.ini)"), std::nullopt);
}

TEST_F(WinePathsTest, PrefersDosdevicesLink) {
  fs::create_directories(prefix_.path() / "elsewhere" / "Program Files");
  fs::create_directory(prefix_.path() / "dosdevices");
  fs::create_directory_symlink("../elsewhere", prefix_.path() / "dosdevices" / "c:");
  const std::string c = (prefix_.path() / "dosdevices" / "c:").string();
  EXPECT_EQ(HostPath(R"(C:\PROGRAM FILES)"), c + "/Program Files");
}

TEST_F(WinePathsTest, FindsExistingNamesWithoutRegardToCase) {
  fs::rename(prefix_.install_dir(), prefix_.install_dir().parent_path() / "dasylab 8.0");
  WriteFile(prefix_.install_dir().parent_path() / "dasylab 8.0" / "DASYLAB.INI", "");
  EXPECT_EQ(HostPath(R"(C:\Program Files\DASYLab 8.0\DASYLab.ini)"),
            drive_c() + "/Program Files/dasylab 8.0/DASYLAB.INI");
  // A name that matches exactly wins over one that matches only by case.
  WriteFile(prefix_.install_dir().parent_path() / "dasylab 8.0" / "DASYLab.ini", "");
  EXPECT_EQ(HostPath(R"(C:\Program Files\DASYLab 8.0\DASYLab.ini)"),
            drive_c() + "/Program Files/dasylab 8.0/DASYLab.ini");
}

TEST_F(WinePathsTest, KeepsAMissingLastNameButNeedsEveryDirectory) {
  EXPECT_EQ(HostPath(R"(C:\Program Files\New.ini)"), drive_c() + "/Program Files/New.ini");
  EXPECT_EQ(HostPath(R"(C:\Missing\DASYLab.ini)"), std::nullopt);
  WriteFile(prefix_.path() / "drive_c" / "file", "");
  EXPECT_EQ(HostPath(R"(C:\file\DASYLab.ini)"), std::nullopt);
}

TEST_F(WinePathsTest, RefusesPathsWithoutADrive) {
  for (const char* path : {"DASYLab.ini", R"(\Program Files)", "C:relative", "1:\\x", ""}) {
    EXPECT_EQ(HostPath(path), std::nullopt) << path;
  }
}

TEST(WinePrefixTest, IsFoundOnceAbsoluteAndOnlyWhenItIsTheUsersOwn) {
  TempDir home;
  {
    ScopedEnv no_prefix("WINEPREFIX", std::nullopt);
    ScopedEnv home_env("HOME", home.path().string());
    EXPECT_EQ(wine::FindPrefix().path, (home.path() / ".wine").string());
    EXPECT_FALSE(wine::FindPrefix().from_variable);
  }
  {
    // Relative to the starting directory, which the program leaves later.
    ScopedEnv relative("WINEPREFIX", "rel/prefix");
    EXPECT_EQ(wine::FindPrefix().path, (fs::current_path() / "rel/prefix").string());
    EXPECT_TRUE(wine::FindPrefix().from_variable);
  }
  // What keeps a prefix from being used, each for what it is.
  WriteFile(home.path() / "file", "");
  struct Row {
    fs::path prefix;
    wine::NoPrefix::Problem problem;
  };
  std::vector<Row> rows = {{home.path() / "missing", wine::NoPrefix::kMissing},
                           {home.path() / "file", wine::NoPrefix::kNotADirectory}};
  // Like Wine, a prefix another user owns is refused.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(home.path().c_str(), 4242, 4242), 0);
    rows.push_back({home.path(), wine::NoPrefix::kNotOwned});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.prefix);
    ScopedEnv prefix("WINEPREFIX", row.prefix.string());
    const wine::OpenedPrefix opened = wine::OpenPrefix();
    EXPECT_FALSE(opened.prefix.has_value());
    EXPECT_EQ(opened.none.problem, row.problem);
    EXPECT_EQ(opened.none.where.path, row.prefix.string());
  }
}

}  // namespace
