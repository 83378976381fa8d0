#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Sessions.h"
#include "platform/Shutdown.h"
#include "tests/support/TempMachineRoot.h"

namespace {

void WriteState(const std::string& name, const std::string& text) {
  ASSERT_TRUE(platform::CreateFolders(platform::StateFolder()));
  ASSERT_TRUE(platform::WriteFileAtomically(platform::StateFolder() + "/" + name, text));
}

}  // namespace

TEST(Sessions, OverrideFileListsTheSessions) {
  cTempMachineRoot root;
  WriteState("sessions.txt",
             "# id state user flags\n"
             "1 active alice\n"
             "2 active root elevated\n"
             "3 disconnected bob   # gone home\n"
             "\n"
             "4 0 carol notoken\n");
  std::vector<platform::cSessionInfo> sessions;
  ASSERT_TRUE(platform::ListSessions(sessions));
  ASSERT_EQ(4u, sessions.size());
  EXPECT_EQ(1u, sessions[0].id);
  EXPECT_EQ("alice", sessions[0].user);
  EXPECT_FALSE(sessions[0].elevated);
  EXPECT_TRUE(sessions[1].elevated);
  EXPECT_EQ(WTSDisconnected, sessions[2].state);
  EXPECT_EQ(WTSActive, sessions[3].state);
  EXPECT_FALSE(sessions[3].hasUserToken);
  EXPECT_TRUE(sessions[0].hasUserToken);
}

TEST(Sessions, ListingFailsWithTheGivenErrorOrOnABadLine) {
  cTempMachineRoot root;
  std::vector<platform::cSessionInfo> sessions;
  WriteState("sessions.txt", "1 active alice\nerror 1008\n");
  EXPECT_FALSE(platform::ListSessions(sessions));
  EXPECT_EQ(ERROR_NO_TOKEN, GetLastError());
  EXPECT_TRUE(sessions.empty());
  WriteState("sessions.txt", "1 sleeping alice\n");
  EXPECT_FALSE(platform::ListSessions(sessions));
  EXPECT_EQ(ERROR_INVALID_DATA, GetLastError());
}

TEST(Shutdown, PrivilegeCanBeDeniedAndTheRequestIsOnlyRecorded) {
  cTempMachineRoot root;
  platform::cManualClock clock(1700000000);
  platform::SetClock(&clock);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  SetLastError(99);
  ASSERT_TRUE(EnableTokenPrivilege(token, SE_SHUTDOWN_NAME));
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  WriteState("denied-privileges", "SeBackupPrivilege\nSeShutdownPrivilege\n");
  ASSERT_TRUE(EnableTokenPrivilege(token, SE_SHUTDOWN_NAME));
  EXPECT_EQ(ERROR_NOT_ALL_ASSIGNED, GetLastError());
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(EnableTokenPrivilege(token, SE_SHUTDOWN_NAME));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  ASSERT_TRUE(ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0x13));
  std::string log;
  ASSERT_TRUE(platform::ReadWholeFile(platform::StateFolder() + "/shutdown.log", log));
  EXPECT_EQ("1700000000 flags=0x5 reason=0x13\n", log);
  WriteState("shutdown-fails", "");
  EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0x13));
  platform::SetClock(nullptr);
}

TEST(Clock, ManualClockMovesOnlyWhenTold) {
  platform::cManualClock clock(1000, 5);
  platform::SetClock(&clock);
  EXPECT_EQ(5u, GetTickCount64());
  clock.Advance(1500);
  EXPECT_EQ(1505u, GetTickCount64());
  EXPECT_EQ(1001, platform::Clock().Now());
  clock.Advance(500);
  EXPECT_EQ(1002, platform::Clock().Now());
  platform::SetClock(nullptr);
  EXPECT_GT(platform::Clock().Now(), 1700000000);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(8))));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}
