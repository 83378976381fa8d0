#pragma once
// An exclusive lock on a folder, across processes, held for the object's life: decisions that
// several programs may take at once are taken one at a time.
#include <string>

namespace platform {

class cFolderLock {
 public:
  explicit cFolderLock(const std::string& hostFolder);
  ~cFolderLock();
  cFolderLock(const cFolderLock&) = delete;
  cFolderLock& operator=(const cFolderLock&) = delete;

 private:
  int m_Fd;
};

}  // namespace platform
