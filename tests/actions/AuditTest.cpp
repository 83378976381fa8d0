#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "VarloService/actions/Audit.h"
#include "common/InstallLayout.h"
#include "platform/Files.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/WaitUntil.h"

namespace {

const std::string kInstallDir = kInstallDirDefault;

std::string Guids(std::initializer_list<const char*> firstGroups) {
  std::string list;
  for (const char* group : firstGroups) {
    if (!list.empty()) list += ",";
    list += std::string("{") + group + "-69AE-11D9-BED3-505054503030}";
  }
  return list;
}

class AuditTest : public ::testing::Test {
 protected:
  AuditTest() : m_Tools(m_Root.Path() + "/tools") {
    m_Tools.Add("auditpol");
    m_Tools.Add("powershell");
    EXPECT_TRUE(MakeInstallFolders().empty());
    platform::CreateFolders(platform::StateFolder());
    std::ofstream(platform::StateFolder() + "/sessions.txt") << "1 active alice\n";
    m_Audit.SetPolicy(m_InstallDir);
    m_Tools.ClearCalls();
  }

  void WriteScript(const std::string& name, const std::string& text) {
    std::ofstream(platform::MapPath(kInstallDir + "\\" + name), std::ios::binary) << text;
  }

  std::string ReadPs1(const std::string& name) {
    std::ifstream file(platform::MapPath(kInstallDir + "\\" + name + ".ps1"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  // PowerShell is started without waiting.
  std::vector<std::string> PowershellCalls(size_t expected) {
    WaitUntil(20000, [&] { return m_Tools.Calls("powershell").size() >= expected; });
    return m_Tools.Calls("powershell");
  }

  cTempMachineRoot m_Root;
  cRecordingTools m_Tools;
  std::string m_InstallDir = kInstallDir;
  cAudit m_Audit;
};

}  // namespace

TEST_F(AuditTest, SetPolicyIssuesTheThreeAuditpolCommandsOnceWhileItsBackupExists) {
  EXPECT_EQ(m_Audit.SetPolicy(m_InstallDir), 1);
  const std::vector<std::string> expected = {
      "auditpol /backup /file:C:\\Program Files\\VARLO\\auditpolicy.csv",
      "auditpol /set /subcategory:" +
          Guids({"0CCE9212", "0CCE9214", "0CCE9210", "0CCE9215", "0CCE9216", "0CCE9217", "0CCE921B", "0CCE9243",
                 "0CCE922F", "0CCE9230", "0CCE9235", "0CCE9236", "0CCE9237", "0CCE923B", "0CCE9240", "0CCE9242",
                 "0CCE923F", "0CCE921D", "0CCE921E", "0CCE921F", "0CCE9224", "0CCE9226", "0CCE922C", "0CCE922B",
                 "0CCE9232", "0CCE9223", "0CCE9227", "0CCE923C", "0CCE923D", "0CCE923E"}) +
          " /success:enable",
      "auditpol /set /subcategory:" + Guids({"0CCE9212", "0CCE9214", "0CCE9215", "0CCE9243", "0CCE9226"}) +
          " /failure:enable",
  };
  EXPECT_EQ(m_Tools.Calls(), expected);

  std::ofstream(platform::MapPath(kInstallDir + "\\auditpolicy.csv")) << "Machine Name,Policy Target\n";
  m_Tools.ClearCalls();
  EXPECT_EQ(m_Audit.SetPolicy(m_InstallDir), 0);
  EXPECT_EQ(m_Audit.SetPolicy(m_InstallDir), 0);
  EXPECT_TRUE(m_Tools.Calls().empty());
}

TEST_F(AuditTest, RunScriptKeepsOnlyWinLinesAndRunsThemWithPowershell) {
  std::ofstream(platform::MapPath(kInstallDir + "\\audit.ps1")) << std::string(100, '#');
  WriteScript("audit", "# a comment\nwin-Set-AuditRule -Name x\nwin\n");
  EXPECT_EQ(m_Audit.RunScript("audit"), 27);
  EXPECT_EQ(ReadPs1("audit"), "win-Set-AuditRule -Name x\r\n");
  EXPECT_EQ(PowershellCalls(1), std::vector<std::string>{"powershell -EP bypass -file .\\audit.ps1"});
}

TEST_F(AuditTest, RunScriptRewritesOnlyTheQuotedQuotePattern) {
  const std::pair<const char*, const char*> cases[] = {
      {"win-echo \"'\"text\"'\"", "win-echo \"text\"'\""},   // the pattern at the first double quote
      {"win-echo \"'text'\"", "win-echo \"'text'\""},         // a single-quoted text keeps its quotes
      {"win-x '\"'y", "win-x '\"'y"},                         // a single quote before it: untouched
      {"win-it's \"'\"", "win-it's \"'\""},                   // likewise, nothing else deleted
      {"win-ends \"", "win-ends \""},                         // ends with its first double quote
      {"win-ends \"'", "win-ends \"'"},
  };
  std::string script, expected;
  for (const auto& [line, kept] : cases) {
    script += std::string(line) + "\r\n";
    expected += std::string(kept) + "\r\n";
  }
  WriteScript("audit-custom", script);
  EXPECT_GT(m_Audit.RunScript("audit-custom"), 0);
  EXPECT_EQ(ReadPs1("audit-custom"), expected);
}

TEST_F(AuditTest, RunScriptWithNothingToRunRunsNothing) {
  WriteScript("audit-all", "# only\n# comments\n");
  EXPECT_EQ(m_Audit.RunScript("audit-all"), 0);
  EXPECT_EQ(ReadPs1("audit-all"), "");
  EXPECT_EQ(m_Audit.RunScript("audit-custom-all"), 0);  // never downloaded
  // Started after them, a script that runs is the only one called once its call has come.
  WriteScript("audit", "win-Set-AuditRule -Name x\n");
  EXPECT_GT(m_Audit.RunScript("audit"), 0);
  EXPECT_EQ(PowershellCalls(1), std::vector<std::string>{"powershell -EP bypass -file .\\audit.ps1"});
}

TEST_F(AuditTest, RunScriptRefusesNamesOutsideTheInstallFolder) {
  for (const char* name : {"..\\audit", "sub\\..\\..\\audit", "C:\\audit", "\\audit", "/tmp/audit", ""}) {
    EXPECT_EQ(m_Audit.RunScript(name), -2) << name;
  }
  EXPECT_FALSE(platform::FileExists("C:\\Program Files\\audit.ps1"));
}

TEST_F(AuditTest, RunScriptWithoutAWritableInstallFolder) {
  cAudit unset;
  EXPECT_EQ(unset.RunScript("audit"), -1);
  m_InstallDir = "C:\\Missing\\VARLO";
  EXPECT_EQ(m_Audit.RunScript("audit"), -1);
}
