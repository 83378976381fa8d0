#include "platform/Sessions.h"

#include <grp.h>
#include <pwd.h>
#include <utmpx.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "platform/Errors.h"
#include "platform/Files.h"

namespace platform {
namespace {

constexpr DWORD kConsoleSession = 1;

bool ParseState(const std::string& text, DWORD& state) {
  static const struct {
    const char* name;
    DWORD state;
  } names[] = {{"active", WTSActive},       {"connected", WTSConnected}, {"disconnected", WTSDisconnected},
               {"idle", WTSIdle},           {"listen", WTSListen},       {"down", WTSDown}};
  for (const auto& entry : names) {
    if (text == entry.name) {
      state = entry.state;
      return true;
    }
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 2) return false;
  state = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
  return state <= WTSInit;
}

// The override file; a line that cannot be read makes the whole list fail, so a test never runs
// on half of what it wrote.
bool ReadOverride(const std::string& text, std::vector<cSessionInfo>& sessions) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) continue;
    if (first == "error") {
      unsigned long code = 0;
      words >> code;
      SetLastError(code ? static_cast<DWORD>(code) : ERROR_INVALID_FUNCTION);
      return false;
    }
    cSessionInfo session;
    std::string state;
    if (first.find_first_not_of("0123456789") != std::string::npos || first.size() > 9 || !(words >> state >> session.user) ||
        !ParseState(state, session.state)) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    session.id = static_cast<DWORD>(std::strtoul(first.c_str(), nullptr, 10));
    std::string flag;
    while (words >> flag) {
      if (flag == "elevated") {
        session.elevated = true;
      } else if (flag == "notoken") {
        session.hasUserToken = false;
      } else {
        SetLastError(ERROR_INVALID_DATA);
        return false;
      }
    }
    sessions.push_back(session);
  }
  return true;
}

// An administrator here is root or a member of the sudo or wheel group.
bool IsAdministrator(const std::string& user) {
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  if (found->pw_uid == 0) return true;
  int count = 256;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
  for (int i = 0; i < count; ++i) {
    struct group groupEntry;
    struct group* group = nullptr;
    if (getgrgid_r(groups[static_cast<size_t>(i)], &groupEntry, buffer.data(), buffer.size(), &group) == 0 && group) {
      std::string name = group->gr_name;
      if (name == "sudo" || name == "wheel") return true;
    }
  }
  return false;
}

std::mutex loginRecordsLock;  // the login-record reader keeps its position in a static

void ReadLoginRecords(std::vector<cSessionInfo>& sessions) {
  std::lock_guard<std::mutex> guard(loginRecordsLock);
  setutxent();
  DWORD nextId = 1;  // session 0 belongs to services, as on Windows
  while (struct utmpx* record = getutxent()) {
    if (record->ut_type != USER_PROCESS) continue;
    cSessionInfo session;
    session.id = nextId++;
    session.user.assign(record->ut_user, strnlen(record->ut_user, sizeof record->ut_user));
    sessions.push_back(session);
  }
  endutxent();
  for (auto& session : sessions) session.elevated = IsAdministrator(session.user);
}

}  // namespace

bool ListSessions(std::vector<cSessionInfo>& sessions) {
  sessions.clear();
  std::string text;
  if (ReadWholeFile(StateFolder() + "/sessions.txt", text)) {
    if (ReadOverride(text, sessions)) return true;
    sessions.clear();
    return false;
  }
  ReadLoginRecords(sessions);
  return true;
}

DWORD CurrentSessionId() {
  const char* given = std::getenv("VARLO_SESSION_ID");
  size_t digits = given ? std::strspn(given, "0123456789") : 0;
  if (digits == 0 || digits > 9 || given[digits] != '\0') return kConsoleSession;
  return static_cast<DWORD>(std::strtoul(given, nullptr, 10));
}

}  // namespace platform
