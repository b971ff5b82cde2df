#include "registration/registration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "shell/form1.h"
#include "shell/program.h"

namespace {

using registration::Outcome;
using ::testing::ElementsAre;

const std::string kChangeDir = R"(rtcChangeDir(C:\Program Files\DASYLab 8.0\))";
const std::string kWrite =
    R"(WritePrivateProfileStringA(Hardware|MKAVRO.DLL|KAVRO DAQ Cards Driver|)"
    R"(C:\Program Files\DASYLab 8.0\DASYLab.ini))";
const std::string kWarning =
    R"(rtcMsgBox(Driver cannt find C:\Programs Files\DASYLab 8.0\  Please modify the )"
    R"(DASYLab.ini in correct directory by manual|48|Alarm))";

TEST(ConstantsTest, HaveTheirDocumentedLengths) {
  EXPECT_EQ(registration::kInstallDirectory.size(), 29u);
  EXPECT_EQ(registration::kConfigurationFile.size(), 40u);
  EXPECT_EQ(registration::kSection.size(), 8u);
  EXPECT_EQ(registration::kKey.size(), 10u);
  EXPECT_EQ(registration::kValue.size(), 22u);
  EXPECT_EQ(registration::kWarningText.size(), 110u);
  EXPECT_EQ(registration::kWarningTitle.size(), 5u);
}

class RegisterDriverTest : public ::testing::Test {
 protected:
  Outcome Run() {
    Outcome outcome{};
    Form1 form([&](Form1& loading) { outcome = registration::RegisterDriver(platform_, loading); });
    form.Load();
    EXPECT_FALSE(form.loaded()) << "the window must be gone after its Load event";
    return outcome;
  }

  FakePlatform platform_;
};

TEST_F(RegisterDriverTest, NormalPathEntersDirectoryWritesEntryAndClosesWindow) {
  EXPECT_EQ(Run(), Outcome::kRegistered);
  EXPECT_THAT(platform_.calls, ElementsAre(kChangeDir, kWrite, "Unload(loaded)"));
}

TEST_F(RegisterDriverTest, MissingDirectoryWarnsWithoutWriting) {
  platform_.RaiseOn("rtcChangeDir");
  EXPECT_EQ(Run(), Outcome::kWarned);
  EXPECT_THAT(platform_.calls, ElementsAre(kChangeDir, kWarning, "Unload(loaded)"));
}

TEST_F(RegisterDriverTest, RefusedWriteWarnsInsteadOfPassingForSuccess) {
  platform_.write_result = 0;
  EXPECT_EQ(Run(), Outcome::kWarned);
  EXPECT_THAT(platform_.calls, ElementsAre(kChangeDir, kWrite, kWarning, "Unload(loaded)"));
}

TEST_F(RegisterDriverTest, WriterThatCannotBeBoundWarns) {
  platform_.RaiseOn("WritePrivateProfileStringA");
  EXPECT_EQ(Run(), Outcome::kWarned);
  EXPECT_THAT(platform_.calls, ElementsAre(kChangeDir, kWrite, kWarning, "Unload(loaded)"));
}

TEST_F(RegisterDriverTest, FailedCloseAfterWriteWarnsThenClosesAgain) {
  platform_.RaiseOn("Unload");
  EXPECT_EQ(Run(), Outcome::kWarned);
  EXPECT_THAT(platform_.calls,
              ElementsAre(kChangeDir, kWrite, "Unload(loaded)", kWarning, "Unload(loaded)"));
}

TEST_F(RegisterDriverTest, FailuresOnTheFailurePathAreNotTrapped) {
  platform_.RaiseOn("rtcChangeDir");
  platform_.RaiseOn("rtcMsgBox");
  EXPECT_THROW(Run(), PlatformError);
  EXPECT_THAT(platform_.calls, ElementsAre(kChangeDir, kWarning));

  FakePlatform closing_fails;
  closing_fails.RaiseOn("Unload", 2);
  Form1 form([&](Form1& loading) { registration::RegisterDriver(closing_fails, loading); });
  EXPECT_THROW(form.Load(), PlatformError);
}

TEST(RunProgramTest, ExitStatusTellsWhetherTheWarningWasShown) {
  FakePlatform registered;
  EXPECT_EQ(RunProgram(registered), kExitRegistered);

  FakePlatform refused;
  refused.write_result = 0;
  EXPECT_EQ(RunProgram(refused), kExitWarned);

  FakePlatform missing;
  missing.RaiseOn("rtcChangeDir");
  EXPECT_EQ(RunProgram(missing), kExitWarned);
}

}  // namespace
