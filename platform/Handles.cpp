#include "platform/Handles.h"

#include <map>
#include <mutex>

namespace {

struct cHandleTable {
  std::mutex lock;
  std::map<uintptr_t, std::shared_ptr<platform::cKernelObject>> objects;
  uintptr_t next = 4;  // small multiples of 4, as Windows hands them out; never 0 or -1
};

cHandleTable& Table() {
  static cHandleTable* table = new cHandleTable;  // outlives every static that closes a handle
  return *table;
}

// The object behind a handle, taken out of the table when remove is set.
std::shared_ptr<platform::cKernelObject> Find(HANDLE handle, bool remove) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (found == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::shared_ptr<platform::cKernelObject> object = found->second;
  if (remove) table.objects.erase(found);
  return object;
}

}  // namespace

namespace platform {

HANDLE RegisterHandle(std::shared_ptr<cKernelObject> object) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  uintptr_t value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<cKernelObject> LookupHandle(HANDLE handle) { return Find(handle, false); }

}  // namespace platform

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<platform::cKernelObject> object = Find(handle, true);
  if (!object) return FALSE;
  object->OnClose();
  return TRUE;
}
