// The installed agent updating itself from the repository: the package is staged with its
// sub-folders, moved into place and its installer started; an installer that cannot start leaves
// the service running until the next check.
#include <gtest/gtest.h>

#include <string>

#include "platform/Files.h"
#include "tests/installed/InstalledFixture.h"
#include "tests/support/Occurrences.h"
#include "tests/support/WaitUntil.h"

namespace {

class SelfUpdateTest : public cInstalledTest {
 protected:
  void SetUp() override {
    cInstalledTest::SetUp();
    m_Repository.AddFile("/v4/agent/win/version", "5.8.0.9\r\n");
  }
};

TEST_F(SelfUpdateTest, APackageWithASubFolderIsInstalledAndItsInstallerStarted) {
  const std::string ran = m_Agent.Root() + "/installer-ran";
  m_Repository.AddPackage("/v4/agent/win/",
                          {{"VarloSetup.exe", "#!/bin/sh\necho \"$@\" > '" + ran + "'\n"},
                           {"logs/helper.dat", "helper"}});

  StartService();

  ASSERT_TRUE(WaitUntil(30000, [&] { return platform::FileExists(ran); })) << m_Agent.Log();
  std::string arguments;
  EXPECT_TRUE(WaitUntil(10000, [&] { return platform::ReadWholeFile(ran, arguments) && !arguments.empty(); }));
  EXPECT_EQ(arguments, "/S\n");
  EXPECT_EQ(InstalledFile("logs\\helper.dat"), "helper");
  EXPECT_NE(m_Agent.Log().find("m_Repo.DownloadPackage()=2 of 2"), std::string::npos) << m_Agent.Log();
  // The installer takes over: the service has ended its loop.
  EXPECT_TRUE(m_Agent.WaitForState(SERVICE_STOPPED, 30000)) << m_Agent.Log();
}

TEST_F(SelfUpdateTest, AnInstallerThatCannotStartLeavesTheServiceRunningAndIsTriedAtTheNextCheck) {
  m_Repository.AddPackage("/v4/agent/win/", {{"VarloSetup.exe", "MZ, not a program this host runs"},
                                             {"logs/helper.dat", "helper"}});
  StartService();
  const auto attempts = [this] { return Occurrences(m_Agent.Log(), "ExecCmd()=-1"); };

  ASSERT_TRUE(WaitUntil(30000, [&] { return attempts() == 1; })) << m_Agent.Log();
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
  // Ten passes of six seconds later.
  ASSERT_TRUE(WaitUntil(180000, [&] { return attempts() == 2; })) << m_Agent.Log();
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(InstalledFile("logs\\helper.dat"), "helper");
}

}  // namespace
