#pragma once
// The process-wide default logger "event", at the library's default level (info) and pattern
// (time, logger, level, source file and line, text). Log through the SPDLOG_INFO, SPDLOG_ERROR,
// ... macros so every line carries its call site.
#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t kLogFileBytes = 1048576;
// Rotated files kept beside the live one (the library's max_files).
constexpr size_t kLogFiles = 4;
// The most of a text from outside (a server's answer, a downloaded file) that goes into one line.
constexpr size_t kLoggedTextBytes = 300;
// The most of an event's text or of a command's output in one line: enough to see what matched or
// what the command said, while one log file still holds some hundreds of such lines.
constexpr size_t kLoggedContentBytes = 4096;

// A rotating file on a Windows path (mapped under the machine root), no rotation on opening,
// flushed after every record. When the logging library fails, its message is logged at error
// level on the default logger in place, which stays. Always 0.
int InitFileLog(const std::string& windowsPath);

// The same logger writing to the console (the command-line mode).
void InitConsoleLog();

// A text from outside as it goes into the log: control characters written as escapes (\n, \x1b,
// \u0085), and so are the line and paragraph separators and every bidirectional control (\u2028,
// \u200f, \u202e), so it can neither begin a line of its own nor show the line in another order; cut where
// its logged form would pass maxBytes, with its length told, so it cannot push the log's history
// out. Bytes that are not UTF-8 go in as they are.
std::string ForLog(std::string_view text, size_t maxBytes = kLoggedTextBytes);
