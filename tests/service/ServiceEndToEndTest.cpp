// The real VarloService in a temporary machine root: its roles, its status reports, its mailslot
// link with tray programs, and its command line.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "VarloService/mailslot/MsgQueue.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/support/InstalledAgent.h"
#include "tests/support/FakeTray.h"
#include "tests/support/OtherUser.h"
#include "tests/support/WaitUntil.h"

namespace {

const std::vector<std::string> kStartReports = {
    "START_PENDING controls=1 checkpoint=1 wait=3000 type=16 exit=0/0",
    "RUNNING controls=1 checkpoint=0 wait=0 type=16 exit=0/0",
};
const std::vector<std::string> kStopReports = {
    "STOP_PENDING controls=1 checkpoint=2 wait=0 type=16 exit=0/0",
    "STOPPED controls=1 checkpoint=0 wait=0 type=16 exit=0/0",
};

std::vector<std::string> Joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

bool StoredUploadTime() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BreltSecurity\\VARLO", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0, size = 0;
  LONG result = RegQueryValueExA(key, "UploadTime", nullptr, &type, nullptr, &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_QWORD && size == 8;
}

cMessage Bytes(const std::string& text) { return cMessage(text.begin(), text.end()); }

std::string ServiceProgram() {
  return std::filesystem::canonical(platform::MapPath("C:\\Program Files\\VARLO\\VarloService.exe"))
      .string();
}

// The live processes of the installed service program, whoever started them.
std::vector<int> ServiceProcesses() {
  const std::string program = ServiceProgram();
  std::vector<int> found;
  DIR* processes = opendir("/proc");
  if (!processes) return found;
  while (dirent* entry = readdir(processes)) {
    const int processId = std::atoi(entry->d_name);
    char target[4096];
    const std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
    const ssize_t length = processId > 0 ? readlink(link.c_str(), target, sizeof target) : -1;
    if (length > 0 && std::string(target, length) == program) found.push_back(processId);
  }
  closedir(processes);
  return found;
}

class ServiceEndToEndTest : public ::testing::Test {
 protected:
  void StartService() {
    cRunResult started = m_Agent.Run("sc.exe start VARLO");
    ASSERT_EQ(started.exitCode, 0) << started.output;
    ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING)) << m_Agent.Log();
  }
  void StopService() {
    int processId = m_Agent.State().processId;
    cRunResult stopped = m_Agent.Run("sc.exe stop VARLO");
    ASSERT_EQ(stopped.exitCode, 0) << stopped.output;
    ASSERT_TRUE(m_Agent.WaitForExit(processId)) << m_Agent.Log();
  }

  cInstalledAgent m_Agent;
};

TEST_F(ServiceEndToEndTest, WithoutArgumentOutsideTheServiceManagerItFailsWith1063) {
  cRunResult run = m_Agent.Service("");
  EXPECT_EQ(run.exitCode, 1063 & 0xFF) << "the host keeps the low 8 bits of 1063";
  EXPECT_NE(run.output.find("error 1063"), std::string::npos) << run.output;
  EXPECT_TRUE(m_Agent.Reports().empty());
}

TEST_F(ServiceEndToEndTest, StartAndStopReportTheStatusSequenceAndStoreTheUploadTime) {
  StartService();
  EXPECT_EQ(m_Agent.Reports(), kStartReports);
  StopService();
  EXPECT_EQ(m_Agent.Reports(), Joined(kStartReports, kStopReports));
  EXPECT_TRUE(StoredUploadTime());
  const std::string log = m_Agent.Log();
  EXPECT_NE(log.find("- VARLO Service v5.8.0.8 ----"), std::string::npos) << log;
  EXPECT_NE(log.find("+++"), std::string::npos) << log;
}

TEST_F(ServiceEndToEndTest, SixStartsAtOnceGiveOneServiceThatTheManagerSeesAndStops) {
  std::vector<std::future<cRunResult>> starts;
  for (int i = 0; i < 6; ++i) {
    starts.push_back(
        std::async(std::launch::async, [this] { return m_Agent.Run("sc.exe start VARLO"); }));
  }
  int started = 0;
  for (auto& start : starts) {
    const cRunResult run = start.get();
    if (run.exitCode == 0) {
      ++started;
    } else {
      EXPECT_EQ(run.exitCode, 1056 & 0xFF) << run.output;
    }
  }
  EXPECT_EQ(started, 1);
  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING)) << m_Agent.Log();
  EXPECT_EQ(ServiceProcesses(), std::vector<int>({m_Agent.State().processId}));
  EXPECT_EQ(m_Agent.Reports(), kStartReports);
  StopService();
  EXPECT_EQ(m_Agent.Reports(), Joined(kStartReports, kStopReports));
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [] { return ServiceProcesses().empty(); }));
}

TEST_F(ServiceEndToEndTest, AServiceProcessTheManagerDidNotLaunchIsRefusedAndReportsNothing) {
  StartService();
  const cRunResult stray = m_Agent.Run("VARLO_SERVICE_START=VARLO '" + ServiceProgram() + "'");
  EXPECT_EQ(stray.exitCode, 1063 & 0xFF) << stray.output;
  EXPECT_EQ(m_Agent.Reports(), kStartReports);
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
  StopService();
}

TEST_F(ServiceEndToEndTest, AStopDuringStartUpIsTakenAndCarriedOutOnceStartUpIsOver) {
  // The audit-policy step of start-up waits for this stand-in, which keeps the service pending.
  const std::string tools = m_Agent.Root() + "/slow-tools";
  platform::CreateFolders(tools);
  std::ofstream(tools + "/auditpol") << "#!/bin/sh\nsleep 1\n";
  chmod((tools + "/auditpol").c_str(), 0755);
  m_Agent.PrependPath(tools);

  ASSERT_EQ(m_Agent.Run("sc.exe start VARLO").exitCode, 0);
  platform::cServiceState pending = m_Agent.State();
  ASSERT_EQ(pending.state, SERVICE_START_PENDING);
  cRunResult stopped = m_Agent.Run("sc.exe stop VARLO");
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  ASSERT_TRUE(m_Agent.WaitForExit(pending.processId)) << m_Agent.Log();
  EXPECT_EQ(m_Agent.Reports(), Joined({kStartReports[0]}, kStopReports));
  EXPECT_TRUE(StoredUploadTime());
}

TEST_F(ServiceEndToEndTest, TrayProgramsAreWokenGreetedAndToldOfTheStop) {
  cFakeTray earlier(3), other(5);
  const int64_t before = std::time(nullptr);
  StartService();
  const int64_t after = std::time(nullptr);
  EXPECT_EQ(earlier.Drain(), std::vector<cMessage>({{MSG_SVC_EXIT}}));
  EXPECT_EQ(other.Drain(), std::vector<cMessage>({{MSG_SVC_EXIT}}));

  ASSERT_TRUE(earlier.Register());
  std::vector<cMessage> greeting = earlier.Receive(2);
  ASSERT_EQ(greeting.size(), 2u);
  ASSERT_EQ(greeting[0].size(), 9u);
  EXPECT_EQ(greeting[0][0], MSG_SVC_START);
  int64_t startTime = 0;
  std::memcpy(&startTime, greeting[0].data() + 1, sizeof(startTime));
  EXPECT_GE(startTime, before);
  EXPECT_LE(startTime, after);
  cMessage status = {MSG_SVC_STATUS, 0};
  for (char c : std::string(cInstalledAgent::kAddress)) status.push_back(static_cast<uint8_t>(c));
  status.push_back(0);
  EXPECT_EQ(greeting[1], status);

  ASSERT_TRUE(other.Register());
  EXPECT_EQ(other.Receive(2).size(), 2u);
  EXPECT_EQ(earlier.Receive(1), std::vector<cMessage>({status})) << "the status goes to every tray";
  EXPECT_TRUE(earlier.Drain().empty());

  StopService();
  for (auto* tray : {&earlier, &other})
    EXPECT_EQ(tray->Drain(), std::vector<cMessage>({{MSG_SVC_EXIT, 0}}));
}

TEST_F(ServiceEndToEndTest, TheTrayProgramStartsInEverySessionAtStartUpAndOnRequest) {
  std::ofstream(platform::StateFolder() + "/sessions.txt")
      << "1 active root\n2 disconnected nobody\n";
  const std::string started = m_Agent.Root() + "/tray-started";
  const std::string tray = platform::MapPath("C:\\Program Files\\VARLO\\Varlo.exe");
  std::ofstream(tray) << "#!/bin/sh\necho \"$@\" >> '" << started << "'\n";
  chmod(tray.c_str(), 0755);
  StartService();
  EXPECT_TRUE(WaitUntil(10000, [&] { return platform::FileSize(started) == 6; }));
  ASSERT_TRUE(SendToServiceSlot({MSG_UI_USER, 2, 0}));
  EXPECT_TRUE(WaitUntil(10000, [&] { return platform::FileSize(started) == 12; }));
  std::string lines;
  platform::ReadWholeFile(started, lines);
  EXPECT_EQ(lines, "admin\nadmin\n");
  EXPECT_NE(m_Agent.Log().find("ExecUserApp(Varlo.exe)=1"), std::string::npos);
}

TEST_F(ServiceEndToEndTest, CommandMessagesFromAnotherUserAreRefusedAndLogged) {
  StartService();
  const cMessage statusRequest = {MSG_UI_STAT, 2};
  HANDLE slot = CreateFileA(ServiceSlotPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  const int written = RunAsOtherUser([&] {
    DWORD bytes = 0;
    return WriteFile(slot, statusRequest.data(), 2, &bytes, nullptr) ? 0 : 1;
  });
  CloseHandle(slot);
  ASSERT_EQ(written, 0);
  ASSERT_TRUE(SendToServiceSlot({MSG_UI_TEST, 'h', 'i', 0}));
  // Messages still queued when the stop closes the slot are never read.
  EXPECT_TRUE(
      WaitUntil(10000, [&] { return m_Agent.Log().find("MSG_UI_TEST:hi>") != std::string::npos; }));
  StopService();
  const std::string log = m_Agent.Log();
  EXPECT_NE(log.find("MSG=0a from user 65534 (nobody) refused"), std::string::npos) << log;
  EXPECT_EQ(log.find("WebLogSvc>"), std::string::npos) << log;
  EXPECT_NE(log.find("MSG_UI_TEST:hi>"), std::string::npos)
      << "the administrator is served: " << log;
}

TEST_F(ServiceEndToEndTest, EachCommandWordSendsItsMessageAndNeverContactsTheServiceManager) {
  struct cCase {
    const char* arguments;
    cMessage expected;  // empty: nothing is sent
  } cases[] = {
      {"TEST isolate1", Bytes(std::string("\x09isolate1", 9) + '\0')},
      {"test", {}},
      {"stat WEB", {MSG_UI_STAT, 2}},
      {"Stat sys extra", {MSG_UI_STAT, 1}},
      {"stat disk", {MSG_UI_STAT, 0}},
      {"stat", {}},
      {"cmd 'C:\\temp\\run.txt'", Bytes(std::string("\x0b") + "C:\\temp\\run.txt" + '\0')},
      {"cmd", {}},
      {"isolate 1", {MSG_UI_ISOLATE, 1}},
      {"isolate x", {MSG_UI_ISOLATE, static_cast<uint8_t>('x' - '0')}},
      {"no-such-word", {}},
  };
  cFakeTray unused(0);
  HANDLE slot = CreateMailslotA(ServiceSlotPath().c_str(), 0, 200, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  for (const auto& each : cases) {
    cRunResult run = m_Agent.Service(each.arguments);
    EXPECT_EQ(run.exitCode, 0) << each.arguments << ": " << run.output;
    cMessage received(512);
    DWORD read = 0;
    if (!ReadFile(slot, received.data(), static_cast<DWORD>(received.size()), &read, nullptr))
      read = 0;
    received.resize(read);
    EXPECT_EQ(received, each.expected) << each.arguments;
  }
  CloseHandle(slot);
  EXPECT_TRUE(m_Agent.Reports().empty());
  EXPECT_FALSE(platform::FileExists(platform::StateFolder() + "/services/varlo.status"));
}

TEST_F(ServiceEndToEndTest, IsolateWithoutArgumentReleasesLocallyAndFailsWithoutASavedPolicy) {
  cRunResult run = m_Agent.Service("isolate");
  EXPECT_EQ(run.exitCode, 0xFF) << "-1 in the low 8 bits: " << run.output;
}

TEST_F(ServiceEndToEndTest, WordsThatWorkInTheirOwnProcessExitWithTheirResult) {
  m_Agent.SetSetting("Domain", "Apis", "https://127.0.0.1:1/");
  struct cCase {
    const char* arguments;
    int exitCode;  // the low 8 bits of the result
    const char* logged;
  } cases[] = {
      {"notify", 0, ""},         {"notify upgrade", -2 & 0xFF, ""},
      {"modvarlo", 0, ""},       {"ModVarlo uninstall", -1 & 0xFF, "ModVarlo.Uninstall()=0"},
      {"modvarlo other", 0, ""},
  };
  for (const auto& each : cases) {
    cRunResult run = m_Agent.Service(each.arguments);
    EXPECT_EQ(run.exitCode, each.exitCode) << each.arguments << ": " << run.output;
    EXPECT_NE(run.output.find(each.logged), std::string::npos)
        << each.arguments << ": " << run.output;
  }
}

TEST_F(ServiceEndToEndTest, AStoredSignedInStatusIsRewrittenSoAFailedSignInLeavesOne) {
  m_Agent.SetSetting("Domain", "Apis", "https://127.0.0.1:1/");
  m_Agent.SetSetting("Status", 2);
  StartService();
  EXPECT_EQ(m_Agent.Setting("Status", 0), 1u);
  EXPECT_NE(m_Agent.Log().find("SVC Stat=2"), std::string::npos);
}

TEST_F(ServiceEndToEndTest, StopStartAndRestartWordsDriveTheRunningService) {
  StartService();
  const int first = m_Agent.State().processId;
  EXPECT_EQ(m_Agent.Service("stop now").exitCode, 0) << "further arguments are ignored";
  ASSERT_TRUE(m_Agent.WaitForExit(first));
  EXPECT_EQ(m_Agent.Reports(), Joined(kStartReports, kStopReports));

  EXPECT_EQ(m_Agent.Service("start").exitCode, 0);
  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING));
  const int second = m_Agent.State().processId;

  EXPECT_EQ(m_Agent.Service("restart").exitCode, 0);
  ASSERT_TRUE(m_Agent.WaitForExit(second));
  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING, 30000));
  EXPECT_NE(m_Agent.State().processId, second);
}

TEST_F(ServiceEndToEndTest, TheRestartTestWordStopsAndStartsTheService) {
  StartService();
  const int first = m_Agent.State().processId;
  ASSERT_TRUE(SendToServiceSlot(Bytes(std::string("\x09RESTART", 8) + '\0')));
  ASSERT_TRUE(m_Agent.WaitForExit(first));
  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING));
  EXPECT_NE(m_Agent.State().processId, first);
  EXPECT_NE(m_Agent.Log().find("Restart..."), std::string::npos);
}

TEST_F(ServiceEndToEndTest, TheStandInToolsRunTheirCommandsAndRefuseAnythingElse) {
  const std::string batch = m_Agent.Root() + "/defense.bat";
  std::ofstream(batch) << "@echo off\r\nrem a comment\r\necho from-batch\r\n";
  const std::string runBatch = "cmd.exe /c " + batch;
  struct cCase {
    const char* commandLine;
    int exitCode;
    const char* output;
  } cases[] = {
      {"cmd.exe /c echo one '&' timeout /t 0 '&' echo two", 0, "one\ntwo\n"},
      {"cmd.exe /c false '&&' echo never", 1, ""},
      {"cmd.exe /k echo one", 1, "usage: cmd /c"},
      {runBatch.c_str(), 0, "from-batch\n"},
      {"sc.exe query NOSUCH", 1060 & 0xFF, "does not exist"},
      {"sc.exe stop VARLO", 1062 & 0xFF, "has not been started"},
      {"sc.exe delete VARLO", 1, "usage: sc start"},
      {"powershell.exe -ep bypass get-service varlo", 1, "usage: powershell [-ep bypass] stop-service"},
      {"powershell.exe -ep bypass stop-service varlo", 0, ""},
  };
  for (const auto& each : cases) {
    cRunResult run = m_Agent.Run(each.commandLine);
    EXPECT_EQ(run.exitCode, each.exitCode) << each.commandLine << ": " << run.output;
    EXPECT_NE(run.output.find(each.output), std::string::npos)
        << each.commandLine << ": " << run.output;
  }
  EXPECT_TRUE(m_Agent.Reports().empty());
}

}  // namespace
