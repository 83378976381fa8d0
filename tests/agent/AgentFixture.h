#pragma once
// One service object in a machine root of its own, pointed at fake management, repository and
// upload servers over HTTPS, with recording stand-ins for the Windows tools it runs and a clock
// that only the test moves. The test drives the service's steps itself.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "VarloService/service/VarloService.h"
#include "platform/Clock.h"
#include "tests/support/FakeManagementServer.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/FakeTray.h"
#include "tests/support/FakeUploadServer.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/WaitUntil.h"

constexpr char kAccountKey[] = "account-key-1";
constexpr char kAgentKey[] = "agent-key-1";
constexpr char kAgentAddress[] = "192.0.2.10";

// Writes a REG_SZ value under HKLM, creating the key.
void SetRegistryString(const std::string& subKey, const char* name, const std::string& value);

// A program that appends its name and arguments to the tools' call log as the recording
// stand-ins do, then runs extraShell.
std::string RecordingScript(const cRecordingTools& tools, const std::string& name,
                            const std::string& extraShell = "");
// Writes that program at a host path.
void WriteRecordingScript(const cRecordingTools& tools, const std::string& hostPath,
                          const std::string& name, const std::string& extraShell = "");

class cAgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the service object on the settings in the registry and runs its start-up.
  void StartService();
  // A successful sign-in answer for the next sign-ins.
  void ScriptSignIn();
  // The job codes of the next job polls, in order (the last list repeats).
  void ScriptJobs(const std::vector<std::vector<std::string>>& lists);
  // Signs in with collection switched on on the server; the requests are then forgotten.
  void SignInWithSysLogOn();

  // The management server's requests as "METHOD path", token requests left out.
  std::vector<std::string> ServerCalls() const;
  // A registry value of the agent key.
  static std::string RegistryString(const char* name);
  static uint32_t RegistryDword(const char* name);
  // A file under the machine root by its Windows path; "<missing>" when it does not exist.
  static std::string ReadFile(const std::string& windowsPath);
  // Waits until the call log holds the line (for programs started without waiting).
  bool WaitForCall(const std::string& line) const;
  // The service log's text.
  std::string ServiceLog() const;
  // A program at a Windows path, in a folder that is there, that appends its name and arguments
  // to the tools' call log.
  void PlaceRecordingProgram(const std::string& windowsPath, const std::string& name);

  cTempMachineRoot m_Root;
  cTestCertificateAuthority m_Authority;
  cRecordingTools m_Tools{m_Root.Path() + "/tools"};
  cFakeManagementServer m_Server{&m_Authority};
  cFakeRepository m_Repository{&m_Authority};
  cFakeUploadServer m_Upload{&m_Authority};
  platform::cManualClock m_Clock;
  std::unique_ptr<cVarloService> m_Service;
};
