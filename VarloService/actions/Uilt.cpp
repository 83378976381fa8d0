#include "VarloService/actions/Uilt.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "common/Log.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Process.h"
#include "platform/Sessions.h"
#include "platform/Shutdown.h"

namespace {

constexpr size_t kCaptureChunk = 4096;
// How long a quiet pipe is watched before asking whether the command has ended.
constexpr DWORD kCapturePollMs = 100;
constexpr DWORD kShutdownReason = 0x13;

}  // namespace

int ExecCmd(const std::string& commandLine, const char* workingFolder, uint32_t waitMs,
            DWORD* exitCode) {
  platform::cProcessOptions options;
  options.commandLine = commandLine;
  if (workingFolder) options.workingFolder = workingFolder;
  platform::cProcess process;
  if (process.Start(options) != ERROR_SUCCESS) return -1;
  if (waitMs != 0) {
    if (process.Wait(waitMs) && exitCode) process.GetExitCode(*exitCode);
    process.Terminate(0);
  }
  return 0;
}

std::string RestartServiceCommand(int pauseSeconds) {
  const std::string pause =
      pauseSeconds != 0 ? "timeout /t " + std::to_string(pauseSeconds) + " & " : "";
  return "cmd /c sc stop varlo & " + pause + "sc start varlo";
}

int RunCommandCapture(const std::string& commandLine, std::string& output) {
  platform::cProcessOptions options;
  options.commandLine = commandLine;
  options.captureOutput = true;
  platform::cProcess process;
  if (process.Start(options) != ERROR_SUCCESS) return -2;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCaptureLimitMs);
  const auto remainingMs = [&deadline]() -> DWORD { return platform::MillisecondsUntil(deadline); };

  // Read while the command runs: a full pipe must never hold it up until the limit. What comes
  // after the kept part is drained all the same, so the command can go on writing.
  char chunk[kCaptureChunk];
  size_t kept = 0;
  uint64_t dropped = 0;
  bool endOfOutput = false;
  for (DWORD left = remainingMs(); left > 0; left = remainingMs()) {
    const long read = process.ReadOutput(chunk, sizeof chunk, std::min(left, kCapturePollMs));
    if (read > 0) {
      const size_t taken = std::min(static_cast<size_t>(read), kCaptureKeptBytes - kept);
      output.append(chunk, taken);
      kept += taken;
      dropped += static_cast<size_t>(read) - taken;
    } else if (read == 0) {
      endOfOutput = true;
      break;
    } else if (process.Wait(0)) {
      // Ended, and the pipe stays quiet: a program it started holds the pipe open.
      break;
    }
  }
  if (endOfOutput) process.Wait(remainingMs());
  process.Terminate(0);
  process.CloseOutput();
  if (dropped > 0)
    SPDLOG_INFO("RunCommandCapture() kept the first {} bytes of {}", kept, kept + dropped);
  return 0;
}

void RunCommandLogged(const std::string& commandLine) {
  std::string output;
  SPDLOG_INFO("*** Run Cmd({})={}", ForLog(commandLine, kLoggedContentBytes),
              RunCommandCapture(commandLine, output));
  SPDLOG_INFO("--> Result={}", ForLog(output, kLoggedContentBytes));
}

int ExecUserApp(const std::string& programPath, const char* arguments, const char* workingFolder) {
  std::vector<platform::cSessionInfo> sessions;
  if (!platform::ListSessions(sessions)) {
    SPDLOG_ERROR("{}> WTSEnumerateSessions()={}", "ExecUserApp", GetLastError());
    return -1;
  }
  platform::cProcessOptions options;
  if (arguments) {
    options.commandLine = "\"" + programPath + "\" " + arguments;
  } else {
    options.applicationName = programPath;
  }
  if (workingFolder) options.workingFolder = workingFolder;

  int started = 0;
  for (const platform::cSessionInfo& session : sessions) {
    if (session.state != WTSActive || !session.hasUserToken) continue;
    options.session = &session;
    platform::cProcess process;
    if (process.Start(options) == ERROR_SUCCESS) ++started;
  }
  return started;
}

int ReadFile(const std::string& path, cBuffer& buffer, uint64_t maxBytes) {
  platform::cInputFile file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) return -1;
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size <= 0) return 0;
  const auto fileSize = static_cast<uint64_t>(size);
  if (fileSize > maxBytes) {
    SPDLOG_ERROR("{} refused: {} bytes, more than {}", ForLog(path), fileSize, maxBytes);
    return -1;
  }
  if (buffer.Size() < fileSize) buffer.Allocate(fileSize);
  file.seekg(0, std::ios::beg);
  if (!file.read(reinterpret_cast<char*>(buffer.Data()), size)) {
    buffer.Release();
    return 0;
  }
  buffer.Data()[fileSize] = 0;
  return 1;
}

int PowerOff() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return -1;
  EnableTokenPrivilege(token, SE_SHUTDOWN_NAME);
  const DWORD privilegeError = GetLastError();
  CloseHandle(token);
  if (privilegeError != ERROR_SUCCESS) return -3;
  return ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, kShutdownReason) ? 0 : -4;
}
