#pragma once
// One handle table for every kind of object the stand-in layer hands out (tokens, mailslots, ...),
// so that CloseHandle works on all of them as on Windows.
#include <memory>

#include "platform/Errors.h"

namespace platform {

// Base of every object behind a HANDLE. Users hold it by shared_ptr, so an object stays alive
// while another thread still works on it after the handle is closed.
class cKernelObject {
 public:
  virtual ~cKernelObject() = default;
  // Called once by CloseHandle, before the table lets go: wake blocked waiters here.
  virtual void OnClose() {}
};

// Enters an object into the table; never returns null or INVALID_HANDLE_VALUE.
HANDLE RegisterHandle(std::shared_ptr<cKernelObject> object);

// The object behind a handle, or null with last error ERROR_INVALID_HANDLE.
std::shared_ptr<cKernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  auto typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!typed) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}

}  // namespace platform

// Removes the handle from the table and calls the object's OnClose; FALSE with
// ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE handle);
