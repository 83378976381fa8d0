#pragma once
// The process environment as Windows hands it out. Names are matched without regard to case.
// "PATH" is kept in the host's form so that children find programs: a ";"-list given to
// SetEnvironmentVariableA has each Windows folder mapped (Files.h) and is joined with ":";
// items that are host paths or host lists stay as they are.
#include <string>
#include <vector>

#include "platform/Types.h"

// Copies the value with its NUL and returns its length without the NUL. When the buffer is too
// small (or null) returns the size needed, NUL included; 0 with ERROR_ENVVAR_NOT_FOUND when unset.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
// Sets a variable; a null value removes it.
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);

namespace platform {
// The value of a variable as a string; false when it is unset.
bool GetVariable(const std::string& name, std::string& value);
// Every variable as "NAME=value", the block a child process inherits.
std::vector<std::string> EnvironmentBlock();
}  // namespace platform
