#include "platform/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

cFolderLock::cFolderLock(const std::string& hostFolder)
    : m_Fd(open(hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (m_Fd < 0) return;
  while (flock(m_Fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

cFolderLock::~cFolderLock() {
  if (m_Fd >= 0) close(m_Fd);  // releases the lock
}

}  // namespace platform
