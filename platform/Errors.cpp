#include "platform/Errors.h"

#include <cerrno>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

namespace platform {

DWORD ErrorFromErrno(int hostErrno) {
  switch (hostErrno) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC: return ERROR_BAD_FORMAT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    default: return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace platform
