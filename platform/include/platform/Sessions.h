#pragma once
// The user sessions of the machine, for starting a program in each active one (cProcessOptions).
// The list comes from the test override file "sessions.txt" in StateFolder() when it exists, and
// from the machine's own login records otherwise.
//
// Override file, one session a line ("#" starts a comment):
//   <id> <state> <user> [elevated] [notoken]
// state is a number or one of active, connected, disconnected, idle, listen; "elevated" marks a
// user with a linked elevated token, "notoken" a session whose user token cannot be taken.
// A line "error <code>" makes listing fail with that Windows error.
#include <string>
#include <vector>

#include "platform/Types.h"

constexpr DWORD WTSActive = 0;
constexpr DWORD WTSConnected = 1;
constexpr DWORD WTSConnectQuery = 2;
constexpr DWORD WTSShadow = 3;
constexpr DWORD WTSDisconnected = 4;
constexpr DWORD WTSIdle = 5;
constexpr DWORD WTSListen = 6;
constexpr DWORD WTSReset = 7;
constexpr DWORD WTSDown = 8;
constexpr DWORD WTSInit = 9;

namespace platform {

struct cSessionInfo {
  DWORD id = 0;
  DWORD state = WTSActive;
  std::string user;
  bool hasUserToken = true;  // false: the session's user token cannot be taken
  bool elevated = false;     // the user has a linked elevated token
};

// False with the Windows error in last error when the sessions cannot be listed.
bool ListSessions(std::vector<cSessionInfo>& sessions);

// The session this process runs in: the one it was started in (Process.h), or the console
// session, 1, for a program started otherwise (by hand or by a test).
DWORD CurrentSessionId();

}  // namespace platform
