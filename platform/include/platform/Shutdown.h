#pragma once
// Token privileges and shutdown. Nothing is ever powered off: ExitWindowsEx appends the request
// to "shutdown.log" in StateFolder(). A test denies a privilege by listing its name in
// "denied-privileges" there, and makes ExitWindowsEx fail by creating "shutdown-fails".
#include "platform/Errors.h"

constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr UINT EWX_LOGOFF = 0x00;
constexpr UINT EWX_SHUTDOWN = 0x01;
constexpr UINT EWX_REBOOT = 0x02;
constexpr UINT EWX_FORCE = 0x04;
constexpr UINT EWX_POWEROFF = 0x08;
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"

// A pseudo handle for the calling process.
HANDLE GetCurrentProcess();
// Opens the process's token; close it with CloseHandle.
BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token);
// Enables one privilege by name, as AdjustTokenPrivileges does: TRUE, and last error 0 when it was
// enabled or ERROR_NOT_ALL_ASSIGNED when the token does not hold it; FALSE for a bad handle.
BOOL EnableTokenPrivilege(HANDLE token, LPCSTR privilegeName);
// Records the shutdown request (flags and reason) and returns TRUE.
BOOL ExitWindowsEx(UINT flags, DWORD reason);
