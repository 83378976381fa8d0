#pragma once
// How the service starts other programs, reads a file whole and shuts the machine down. No
// state; each call runs on its caller's thread.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Buffer.h"
#include "platform/Errors.h"

// RunCommandCapture's limit for one command, and how much of its output is kept.
constexpr uint32_t kCaptureLimitMs = 10000;
constexpr size_t kCaptureKeptBytes = 65536;

// Starts a command line hidden, in workingFolder (null: the current one). With a wait, waits at
// most that long and then terminates the command (ended or not; its own children live on), and
// exitCode, when given, receives the code of a command that ended within the wait.
// 0 started; -1 not started.
int ExecCmd(const std::string& commandLine, const char* workingFolder, uint32_t waitMs,
            DWORD* exitCode = nullptr);

// The command line that stops the service and starts it again, with a pause between the two when
// pauseSeconds is not 0. Run without waiting, it outlives the service that it stops.
std::string RestartServiceCommand(int pauseSeconds = 0);

// Runs a command line and appends its output and error text, interleaved, to output. Output is
// read while the command runs, until the command closes it or kCaptureLimitMs pass; then the
// command is terminated. Only the first kCaptureKeptBytes are appended; the rest is read and
// dropped, and the cut is logged. 0 ran; -2 not started.
int RunCommandCapture(const std::string& commandLine, std::string& output);
// RunCommandCapture for a command from outside: the command, its result and its output go into
// the log, escaped, the command and the output each cut at kLoggedContentBytes.
void RunCommandLogged(const std::string& commandLine);

// Starts a program once in every active user session, as that user (elevated for an
// administrator). With arguments the command line is the quoted program path, a blank and the
// arguments. Returns the number of sessions served; -1 when sessions cannot be listed.
int ExecUserApp(const std::string& programPath, const char* arguments, const char* workingFolder);

// Reads a whole file of at most maxBytes into buffer followed by a NUL. A buffer smaller than the
// file is replaced; a larger one is reused and keeps its size. 1 read; 0 empty (buffer untouched)
// or unreadable (buffer released); -1 not opened, or larger than maxBytes (refused and logged,
// buffer untouched), so no file's size decides what is allocated.
int ReadFile(const std::string& path, cBuffer& buffer, uint64_t maxBytes);

// Forced shutdown. 0 started; -1 own token not opened; -3 no shutdown privilege; -4 refused.
int PowerOff();
