// The web-server module manager against a fake repository and a recording stand-in of cmd (which
// the manager runs appcmd through): the exact command lines, how their output reads, the module
// state, installing, refreshing and updating the package, and the switch under "ModVarlo".
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "VarloService/modvarlo/ModVarlo.h"
#include "VarloService/server/Repo.h"
#include "common/ModuleVersion.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"

namespace {

constexpr char kAppCmd[] = "cmd /c %windir%\\system32\\inetsrv\\appcmd ";
constexpr char kRegistered[] = "MODULE \"ModVarlo\" ( native:ModVarlo )";
const std::string kList = std::string(kAppCmd) + "list module /name:ModVarlo";
const std::string kInstall32 =
    std::string(kAppCmd) +
    "install module /name:ModVarlo32 /image:C:\\ModVarlo\\32\\ModVarlo.dll "
    "/preCondition:bitness32";
const std::string kInstall64 =
    std::string(kAppCmd) +
    "install module /name:ModVarlo /image:C:\\ModVarlo\\64\\ModVarlo.dll "
    "/preCondition:bitness64";
const std::string kUninstall32 = std::string(kAppCmd) + "uninstall module /module.name:ModVarlo32";
const std::string kUninstall64 = std::string(kAppCmd) + "uninstall module /module.name:ModVarlo";

using cCalls = std::vector<std::string>;

std::string Read(const std::string& path) {
  std::string content;
  return platform::ReadWholeFile(path, content) ? content : "<missing>";
}

class ModVarloTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Authority.Valid());
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
    ASSERT_TRUE(m_Repository.Start());
    ASSERT_EQ(0, NvmDomain(1).SetString(NvmDomain::Repo, m_Repository.Url("/")));
    m_Repo.SetAgentInfo(&m_Info);
    m_Tools.Add("cmd", 0, kRegistered);
  }

  // The package the repository publishes, version file included.
  void Publish(const std::string& version, const std::string& image) {
    m_Repository.AddPackage("/v4/module/iis/", {{"version", version},
                                                {"32/ModVarlo.dll", image + "-32"},
                                                {"64/ModVarlo.dll", image + "-64"}});
  }
  // Module files as an earlier install left them.
  static void PlaceFiles(const std::string& version, const std::string& image) {
    ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo\\32"));
    ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo\\64"));
    ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", version));
    ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\32\\ModVarlo.dll", image + "-32"));
    ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\64\\ModVarlo.dll", image + "-64"));
  }
  void ExpectImages(const std::string& image) {
    EXPECT_EQ(image + "-32", Read("C:\\ModVarlo\\32\\ModVarlo.dll"));
    EXPECT_EQ(image + "-64", Read("C:\\ModVarlo\\64\\ModVarlo.dll"));
  }
  // The module's state as start-up finds it, with the tool's calls forgotten.
  void CheckStat() {
    m_Module.CheckStat();
    m_Tools.ClearCalls();
  }

  cTempMachineRoot m_Root;
  cTestCertificateAuthority m_Authority;
  cFakeRepository m_Repository{&m_Authority};
  cRecordingTools m_Tools{m_Root.Path() + "/tools"};
  cAgentInfo m_Info;
  cRepo m_Repo;
  cModVarlo m_Module{&m_Repo};
};

TEST_F(ModVarloTest, RegistrationCommandsAndHowTheirOutputReads) {
  struct cCase {
    const char* output;
    int isInstalled;
    int install;
  } cases[] = {
      {kRegistered, 0, 0},
      {"", -2, -2},
      {" MODULE \"ModVarlo\"", -2, 0},
      {"ERROR ( message:Cannot find MODULE object )", -2, -3},
      {"MODULE added; ERROR later in the text", 0, 0},
      {"OK", -2, 0},
  };
  for (const cCase& test : cases) {
    SCOPED_TRACE(test.output);
    m_Tools.Add("cmd", 0, test.output);
    m_Tools.ClearCalls();
    EXPECT_EQ(test.isInstalled, m_Module.IsInstalled());
    EXPECT_EQ(test.install, m_Module.InstallWebMod(0));
    EXPECT_EQ(test.install, m_Module.InstallWebMod(1));
    EXPECT_EQ(test.install, m_Module.UninstallWebMod(0));
    EXPECT_EQ(test.install, m_Module.UninstallWebMod(1));
    EXPECT_EQ((cCalls{kList, kInstall32, kInstall64, kUninstall32, kUninstall64}),
              m_Tools.Calls("cmd"));
  }

  cRecordingTools empty(m_Root.Path() + "/no-tools");
  setenv("PATH", empty.Folder().c_str(), 1);  // no cmd to be found
  EXPECT_EQ(-1, m_Module.IsInstalled());
  EXPECT_EQ(-1, m_Module.InstallWebMod(0));
  EXPECT_EQ(-1, m_Module.UninstallWebMod(1));
}

TEST_F(ModVarloTest, StateFromTheVersionFileTheRegistrationAndTheSwitch) {
  m_Module.CheckStat();
  EXPECT_EQ(cModVarlo::StatNoFiles, m_Module.m_Stat);
  EXPECT_TRUE(m_Tools.Calls("cmd").empty());

  ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", "\r\n2.1\r\n"));
  m_Module.CheckStat();
  EXPECT_EQ(cModVarlo::StatNoFiles, m_Module.m_Stat);

  ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", "2.1\r\nbuild 7\r\n"));
  m_Module.CheckStat();
  EXPECT_EQ(cModVarlo::StatRegistered, m_Module.m_Stat);
  EXPECT_EQ("2.1", m_Module.m_Version);
  EXPECT_STREQ("ModVarlo-IIS", m_Module.TypeName());
  EXPECT_EQ(1, m_Module.m_Active);  // a missing "Active" reads as on

  ASSERT_EQ(0, NvmModVarlo(1).SetDword(NvmModVarlo::Active, 0));
  m_Tools.Add("cmd", 0, "");
  m_Module.CheckStat();
  EXPECT_EQ(cModVarlo::StatFiles, m_Module.m_Stat);
  EXPECT_STREQ("", m_Module.TypeName());
  EXPECT_EQ(0, m_Module.m_Active);
}

// A damaged version file, however large, costs no more than a version line; a first line too
// long for one is no version, and the next install fetches the package again.
TEST_F(ModVarloTest, AVersionFileIsReadNoFurtherThanAVersionLine) {
  cCapturedLog log;
  const std::string refusal = "C:\\ModVarlo\\version refused: first line over 4096 bytes";
  const std::string longest(kMaxVersionLine, '7');
  constexpr int64_t kGiB = int64_t{1} << 30;
  struct cCase {
    const char* name;
    std::string start;  // then NUL bytes up to the size, as a sparse file
    int64_t size;
    int stat;
    std::string version;
  } cases[] = {
      {"a gigabyte of NULs", "", kGiB, cModVarlo::StatNoFiles, ""},
      {"a version, then a gigabyte", "2.1\r\n", kGiB, cModVarlo::StatRegistered, "2.1"},
      {"a line at the bound", longest + "\n", kGiB, cModVarlo::StatRegistered, longest},
      {"one byte more", longest + "7\n", 0, cModVarlo::StatNoFiles, ""},
  };
  const std::string file = platform::MapPath(kModuleVersionFile);
  ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo"));
  for (const cCase& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_TRUE(platform::WriteFileAtomically(kModuleVersionFile, test.start));
    if (test.size) std::filesystem::resize_file(file, test.size);
    const size_t refusals = log.Count(refusal);
    m_Module.m_Type = 0;
    m_Module.CheckStat();
    EXPECT_EQ(test.stat, m_Module.m_Stat);
    // Compared, not printed: a version read too far is a gigabyte long.
    EXPECT_EQ(test.version.size(), m_Module.m_Version.size());
    EXPECT_TRUE(test.version == m_Module.m_Version);
    EXPECT_EQ(refusals + (test.stat == cModVarlo::StatNoFiles ? 1 : 0), log.Count(refusal));
  }

  std::filesystem::resize_file(file, kGiB);
  CheckStat();
  Publish("2.2", "new");
  EXPECT_EQ(1, m_Module.Install());
  EXPECT_EQ("2.2", Read("C:\\ModVarlo\\version"));
  EXPECT_EQ(cModVarlo::StatRegistered, m_Module.m_Stat);
}

TEST_F(ModVarloTest, RepositoryVersionComparedAfterOneLineEnd) {
  PlaceFiles("2.1", "old");
  CheckStat();
  struct cCase {
    const char* published;
    int result;
  } cases[] = {
      {"2.1", 0},   {"2.1\n", 0}, {"2.1\r\n", 0}, {"2.1\n\n", 1},
      {"2.1\r", 0}, {"2.2\n", 1}, {"2.10", 1},
  };
  for (const cCase& test : cases) {
    m_Repository.AddFile("/v4/module/iis/version", test.published);
    EXPECT_EQ(test.result, m_Module.CheckUpdate()) << test.published;
  }
  m_Repository.AddFile("/v4/module/iis/version", "");
  EXPECT_EQ(-1, m_Module.CheckUpdate());
  m_Repository.AddFile("/v4/module/iis/version", "gone", 404);
  EXPECT_EQ(-1, m_Module.CheckUpdate());
  EXPECT_EQ(-1, cModVarlo().CheckUpdate());
}

TEST_F(ModVarloTest, FirstInstallFetchesRegistersAndCreatesTheLogFolder) {
  EXPECT_EQ(-10, m_Module.Install());
  EXPECT_TRUE(m_Tools.Calls().empty());
  EXPECT_EQ(0u, m_Repository.RequestCount());

  CheckStat();
  EXPECT_EQ(-11, m_Module.Install());  // nothing published yet
  EXPECT_TRUE(m_Tools.Calls().empty());
  EXPECT_FALSE(platform::FileExists("C:\\ModVarlo")) << "no folder stays for a package that did not come";

  Publish("2.1\r\n", "new");
  EXPECT_EQ(1, m_Module.Install());
  ExpectImages("new");
  EXPECT_TRUE(platform::FolderExists("C:\\ModVarlo\\logs"));
  EXPECT_EQ((cCalls{kInstall32, kInstall64, kList}), m_Tools.Calls("cmd"));
  EXPECT_EQ(cModVarlo::StatRegistered, m_Module.m_Stat);
  EXPECT_EQ("2.1", m_Module.m_Version);
}

TEST_F(ModVarloTest, UnregisteredFilesAreFetchedAgainOnlyWhenTheRepositoryHasAnotherVersion) {
  m_Tools.Add("cmd", 0, "");
  PlaceFiles("2.1", "old");
  CheckStat();
  ASSERT_EQ(cModVarlo::StatFiles, m_Module.m_Stat);
  m_Tools.Add("cmd", 0, kRegistered);

  Publish("2.1\n", "same");
  EXPECT_EQ(0, m_Module.Install());
  ExpectImages("old");
  EXPECT_EQ((cCalls{kInstall32, kInstall64, kList}), m_Tools.Calls("cmd"));
  EXPECT_EQ(cModVarlo::StatRegistered, m_Module.m_Stat);

  m_Tools.Add("cmd", 0, "");
  CheckStat();
  m_Tools.Add("cmd", 0, kRegistered);
  Publish("2.2\n", "newer");
  EXPECT_EQ(2, m_Module.Install());
  ExpectImages("newer");
  EXPECT_EQ("2.2", m_Module.m_Version);
}

TEST_F(ModVarloTest, RegisteredModuleIsUpdatedThroughTheStagingFolder) {
  PlaceFiles("2.1", "old");
  CheckStat();
  Publish("2.1", "old");
  EXPECT_EQ(0, m_Module.Install());
  EXPECT_TRUE(m_Tools.Calls().empty());

  Publish("2.2\r\n", "new");
  EXPECT_EQ(3, m_Module.Install());
  ExpectImages("new");
  EXPECT_EQ("2.2\r\n", Read("C:\\ModVarlo\\version"));
  EXPECT_EQ(
      cFakeRepository::Manifest(
          {{"version", "2.2\r\n"}, {"32/ModVarlo.dll", "new-32"}, {"64/ModVarlo.dll", "new-64"}}),
      Read("C:\\ModVarlo\\manifest"));
  EXPECT_FALSE(platform::FileExists("C:\\ModVarlo\\temp"));
  EXPECT_EQ((cCalls{kUninstall32, kUninstall64, kInstall32, kInstall64, kList}),
            m_Tools.Calls("cmd"));
  EXPECT_EQ("2.2", m_Module.m_Version);
}

TEST_F(ModVarloTest, AFailedUpdateDownloadLeavesTheInstalledModuleAlone) {
  PlaceFiles("2.1", "old");
  CheckStat();
  Publish("2.2", "new");
  m_Repository.AddFile("/v4/module/iis/64/ModVarlo.dll", "damaged");
  EXPECT_EQ(-13, m_Module.Install());
  ExpectImages("old");
  EXPECT_EQ("2.1", Read("C:\\ModVarlo\\version"));
  EXPECT_FALSE(platform::FileExists("C:\\ModVarlo\\temp"));
  EXPECT_TRUE(m_Tools.Calls().empty());
  EXPECT_EQ(cModVarlo::StatRegistered, m_Module.m_Stat);
}

TEST_F(ModVarloTest, AnImageThatCannotBeReplacedFailsTheUpdateKeepsTheVersionAndIsTriedAgain) {
  PlaceFiles("2.1", "old");
  CheckStat();
  Publish("2.2", "new");
  // The web server holds the 64-bit image: here something in its place that cannot be deleted.
  const std::string held = "C:\\ModVarlo\\64\\ModVarlo.dll";
  ASSERT_TRUE(platform::DeletePath(held));
  ASSERT_TRUE(platform::CreateFolders(held + "\\in-use"));

  EXPECT_EQ(-14, m_Module.Install());

  EXPECT_EQ("2.1", Read("C:\\ModVarlo\\version"));
  EXPECT_EQ("new-64", Read("C:\\ModVarlo\\temp\\64\\ModVarlo.dll")) << "kept for the next try";
  // The module is registered again, on what it has.
  EXPECT_EQ((cCalls{kUninstall32, kUninstall64, kInstall32, kInstall64, kList}),
            m_Tools.Calls("cmd"));
  EXPECT_EQ("2.1", m_Module.m_Version);

  // The web server lets go: the next update replaces the module.
  ASSERT_TRUE(platform::DeletePath(held + "\\in-use"));
  ASSERT_TRUE(platform::DeletePath(held));
  EXPECT_EQ(3, m_Module.Install());
  ExpectImages("new");
  EXPECT_EQ("2.2", Read("C:\\ModVarlo\\version"));
  EXPECT_FALSE(platform::FileExists("C:\\ModVarlo\\temp"));
}

TEST_F(ModVarloTest, FailedRegistrationsAreReportedAfterBothWereTried) {
  m_Tools.Add("cmd", 0, "ERROR ( hresult:800700b7 )");
  PlaceFiles("2.1", "old");
  CheckStat();
  Publish("2.1", "old");
  EXPECT_EQ(-17, m_Module.Install());
  EXPECT_EQ((cCalls{kInstall32, kInstall64, kList}), m_Tools.Calls("cmd"));
  EXPECT_EQ(cModVarlo::StatFiles, m_Module.m_Stat);
}

TEST_F(ModVarloTest, TheSwitchIsStoredOnlyWhenRegisteredAndChanged) {
  auto stored = [](const char* name) {
    NvmModVarlo settings(0);
    uint32_t value = 99;
    return settings.GetDword(name, value) == 0 ? static_cast<int>(value) : -1;
  };
  m_Tools.Add("cmd", 0, "");
  PlaceFiles("2.1", "old");
  ASSERT_EQ(0, NvmModVarlo(1).SetDword(NvmModVarlo::Active, 0));
  ASSERT_EQ(0, NvmModVarlo(1).SetDword(NvmModVarlo::Seq, 5));
  CheckStat();
  EXPECT_EQ(0, m_Module.Activate(0));  // state 1: nothing is installed or written
  EXPECT_TRUE(m_Tools.Calls().empty());

  m_Tools.Add("cmd", 0, kRegistered);
  Publish("2.1", "old");
  EXPECT_EQ(0, m_Module.Activate(1));  // installs first, then switches on
  EXPECT_EQ(1, stored("Active"));
  EXPECT_EQ(6, stored("Seq"));
  EXPECT_EQ(0, m_Module.Activate(1));
  EXPECT_EQ(6, stored("Seq"));
  EXPECT_EQ(0, m_Module.Activate(0));
  EXPECT_EQ(0, stored("Active"));
  EXPECT_EQ(7, stored("Seq"));
}

}  // namespace
