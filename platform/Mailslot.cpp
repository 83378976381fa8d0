// Mailslots on Unix datagram sockets in the state folder: a datagram keeps the message whole and
// carries the sender's credentials; an eventfd beside the socket lets a close from another thread
// end a blocked read.
#include "platform/Mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Handles.h"
#include "platform/NoCase.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"

namespace {

constexpr char kPrefix[] = "\\\\.\\mailslot\\";

// The name after "\\.\mailslot\", or empty for a name that is not a mailslot's.
std::string SlotName(LPCSTR name) {
  if (!name) return {};
  std::string text = name;
  const size_t prefixLength = sizeof(kPrefix) - 1;
  if (text.size() <= prefixLength ||
      !platform::EqualNoCase(text.substr(0, prefixLength), kPrefix)) {
    return {};
  }
  return text.substr(prefixLength);
}

// Slots named after a registered service lie in a folder where only the administrator can make
// entries, so no other user can hold a service's name while the service is down; every other
// slot lies in a folder open to the programs of every user.
constexpr char kServiceSlotFolder[] = "/service-mailslots";
constexpr char kSharedSlotFolder[] = "/mailslots";

// A slot named after a registered service is that service's (a registry that cannot be read
// counts as naming it).
bool NamesService(const std::string& slotName) {
  HKEY key = nullptr;
  const std::string service = std::string(platform::kServicesKey) + "\\" + slotName;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, service.c_str(), 0, KEY_READ, &key);
  if (opened == ERROR_SUCCESS) RegCloseKey(key);
  return opened != ERROR_FILE_NOT_FOUND;
}

struct cSlotPlace {
  std::string folder;
  std::string path;  // the socket file
  bool serviceSlot = false;
};

// Where the socket of a slot lies; an empty path for a name that is not a mailslot's.
cSlotPlace PlaceOf(LPCSTR name) {
  cSlotPlace place;
  std::string slot = SlotName(name);
  if (slot.empty()) return place;
  place.serviceSlot = NamesService(slot);
  place.folder =
      platform::StateFolder() + (place.serviceSlot ? kServiceSlotFolder : kSharedSlotFolder);
  slot = platform::LowerAscii(slot);
  for (char& c : slot) {
    if (c == '\\' || c == '/') c = '#';
  }
  place.path = place.folder + "/" + slot;
  return place;
}

// The administrator: root, or the owner of the machine root, under whose account the services
// run.
bool IsAdministrator(uid_t user) {
  struct stat root {};
  return user == 0 || (stat(platform::MachineRoot().c_str(), &root) == 0 && root.st_uid == user);
}

// ERROR_SUCCESS when the folder of the services' slots is one that only the administrator can
// make entries in: a folder itself (not a link), the administrator's, writable by no one else.
DWORD CheckServiceSlotFolder(const std::string& folder) {
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0)
    return errno == ENOENT ? ERROR_PATH_NOT_FOUND : platform::ErrorFromErrno(errno);
  const bool sound = S_ISDIR(info.st_mode) && IsAdministrator(info.st_uid) &&
                     (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  return sound ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Socket addresses are short; a long machine root is reached through the folder's descriptor.
class cSocketAddress {
 public:
  explicit cSocketAddress(const std::string& path) {
    std::memset(&m_address, 0, sizeof(m_address));
    m_address.sun_family = AF_UNIX;
    std::string target = path;
    if (target.size() >= sizeof(m_address.sun_path)) {
      size_t slash = path.rfind('/');
      m_folder = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      target = "/proc/self/fd/" + std::to_string(m_folder) + path.substr(slash);
    }
    m_valid = target.size() < sizeof(m_address.sun_path);
    if (m_valid) std::memcpy(m_address.sun_path, target.c_str(), target.size() + 1);
  }
  ~cSocketAddress() {
    if (m_folder >= 0) close(m_folder);
  }
  cSocketAddress(const cSocketAddress&) = delete;
  cSocketAddress& operator=(const cSocketAddress&) = delete;

  bool Valid() const { return m_valid; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&m_address); }
  socklen_t Length() const { return sizeof(m_address); }

 private:
  sockaddr_un m_address;
  int m_folder = -1;
  bool m_valid = false;
};

// Connects to the reader bound at path, through the socket file itself: a link there, or a socket
// that has another name besides (a hard link to one elsewhere), is no slot. The file is opened
// once and connected to through that opening, so nothing swapped in after the look is reached.
// owner, when given, receives the user who made the socket.
bool ConnectTo(int fd, const std::string& path, uid_t* owner = nullptr) {
  const int file = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (file < 0) return false;
  struct stat info {};
  bool connected = false;
  if (fstat(file, &info) == 0 && S_ISSOCK(info.st_mode) && info.st_nlink == 1) {
    cSocketAddress address("/proc/self/fd/" + std::to_string(file));
    connected = address.Valid() && connect(fd, address.Get(), address.Length()) == 0;
  }
  close(file);
  if (connected && owner) *owner = info.st_uid;
  return connected;
}

int NewSocket() { return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

// True when a reader is bound at the path.
bool SlotAlive(const std::string& path) {
  int probe = NewSocket();
  if (probe < 0) return false;
  bool alive = ConnectTo(probe, path);
  close(probe);
  return alive;
}

class cMailslotReader : public platform::cKernelObject {
 public:
  cMailslotReader(int socketFd, int wakeFd, std::string path, DWORD maxMessageSize, DWORD timeout)
      : m_Socket(socketFd),
        m_Wake(wakeFd),
        m_Path(std::move(path)),
        m_MaxMessageSize(maxMessageSize),
        m_Timeout(timeout) {
    struct stat info {};
    if (stat(m_Path.c_str(), &info) == 0) {
      m_Device = info.st_dev;
      m_Inode = info.st_ino;
    }
  }
  ~cMailslotReader() override {
    close(m_Socket);
    close(m_Wake);
  }

  void OnClose() override {
    m_Closed = true;
    uint64_t one = 1;
    ssize_t written = write(m_Wake, &one, sizeof(one));
    (void)written;
    // The name is free again, unless a newer slot has taken it already.
    struct stat info {};
    if (stat(m_Path.c_str(), &info) == 0 && info.st_dev == m_Device && info.st_ino == m_Inode) {
      unlink(m_Path.c_str());
    }
  }

  BOOL Read(void* buffer, DWORD size, LPDWORD bytesRead) {
    if (bytesRead) *bytesRead = 0;
    const DWORD timeout = m_Timeout;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
      if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
      ssize_t next = recv(m_Socket, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      if (next >= 0) {
        if (static_cast<size_t>(next) > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
        return Receive(buffer, size, bytesRead);
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(platform::ErrorFromErrno(errno));
      int waitMs = -1;
      if (timeout != MAILSLOT_WAIT_FOREVER) {
        const uint32_t left = platform::MillisecondsUntil(deadline);
        if (left == 0) return Fail(ERROR_SEM_TIMEOUT);
        waitMs = static_cast<int>(std::min<uint32_t>(left, INT_MAX));
      }
      pollfd waits[2] = {{m_Socket, POLLIN, 0}, {m_Wake, POLLIN, 0}};
      if (poll(waits, 2, waitMs) < 0 && errno != EINTR)
        return Fail(platform::ErrorFromErrno(errno));
    }
  }

  DWORD NextSize() const {
    ssize_t next = recv(m_Socket, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    return next < 0 ? MAILSLOT_NO_MESSAGE : static_cast<DWORD>(next);
  }

  void SetTimeout(DWORD timeout) { m_Timeout = timeout; }
  DWORD Timeout() const { return m_Timeout; }
  DWORD MaxMessageSize() const { return m_MaxMessageSize; }

  platform::cMailslotSender Sender() {
    std::lock_guard<std::mutex> guard(m_SenderLock);
    return m_Sender;
  }

 private:
  static BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
  }

  BOOL Receive(void* buffer, DWORD size, LPDWORD bytesRead) {
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t received = recvmsg(m_Socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (received < 0) return Fail(platform::ErrorFromErrno(errno));
    platform::cMailslotSender sender;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS) {
        ucred credentials;
        std::memcpy(&credentials, CMSG_DATA(header), sizeof(credentials));
        sender.processId = static_cast<DWORD>(credentials.pid);
        sender.userId = static_cast<DWORD>(credentials.uid);
      }
    }
    {
      std::lock_guard<std::mutex> guard(m_SenderLock);
      m_Sender = sender;
    }
    if (bytesRead) *bytesRead = static_cast<DWORD>(received);
    return TRUE;
  }

  int m_Socket;
  int m_Wake;
  std::string m_Path;
  dev_t m_Device = 0;
  ino_t m_Inode = 0;
  DWORD m_MaxMessageSize;
  std::atomic<DWORD> m_Timeout;
  std::atomic<bool> m_Closed{false};
  std::mutex m_SenderLock;
  platform::cMailslotSender m_Sender;
};

class cMailslotWriter : public platform::cKernelObject {
 public:
  cMailslotWriter(int socketFd, DWORD owner) : m_Socket(socketFd), m_Owner(owner) {}
  ~cMailslotWriter() override { close(m_Socket); }

  DWORD Owner() const { return m_Owner; }

  BOOL Write(const void* buffer, DWORD size, LPDWORD bytesWritten) {
    if (bytesWritten) *bytesWritten = 0;
    ssize_t sent;
    do {
      sent = send(m_Socket, buffer, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
      // A reader that has gone and a queue that is full both mean the message cannot be placed.
      bool undeliverable =
          errno == ECONNREFUSED || errno == ENOTCONN || errno == EAGAIN || errno == EPIPE;
      SetLastError(undeliverable ? ERROR_NO_DATA : platform::ErrorFromErrno(errno));
      return FALSE;
    }
    if (bytesWritten) *bytesWritten = static_cast<DWORD>(sent);
    return TRUE;
  }

 private:
  int m_Socket;
  DWORD m_Owner;
};

}  // namespace

HANDLE CreateMailslotA(LPCSTR name, DWORD maxMessageSize, DWORD readTimeout,
                       const SECURITY_ATTRIBUTES* /*attributes*/) {
  const cSlotPlace place = PlaceOf(name);
  if (place.path.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (place.serviceSlot) {
    if (!IsAdministrator(geteuid())) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    // The installer makes this folder; one that others could make entries in is refused, as
    // another user could have taken the name there.
    const DWORD unsound = CheckServiceSlotFolder(place.folder);
    if (unsound != ERROR_SUCCESS) {
      SetLastError(unsound);
      return INVALID_HANDLE_VALUE;
    }
  } else if (!platform::FolderExists(place.folder) && platform::CreateFolders(place.folder)) {
    // Tray programs of every user create their slots here.
    chmod(place.folder.c_str(), 01777);
  }
  const std::string& path = place.path;
  // One creation at a time in the folder: two programs looking for the same free slot at once
  // would otherwise both take it, the second unlinking the first one's socket as left over.
  platform::cFolderLock creating(place.folder);
  if (SlotAlive(path)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  unlink(path.c_str());  // left by a reader that ended without closing

  int socketFd = NewSocket();
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int on = 1;
  bool bound = false;
  if (socketFd >= 0 && wakeFd >= 0 &&
      setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) == 0) {
    cSocketAddress address(path);
    bound = address.Valid() && bind(socketFd, address.Get(), address.Length()) == 0;
  }
  if (!bound) {
    DWORD error = errno == EADDRINUSE ? ERROR_ALREADY_EXISTS : platform::ErrorFromErrno(errno);
    if (socketFd >= 0) close(socketFd);
    if (wakeFd >= 0) close(wakeFd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // Any user's program may write, as with a null DACL.
  chmod(path.c_str(), 0666);
  return platform::RegisterHandle(
      std::make_shared<cMailslotReader>(socketFd, wakeFd, path, maxMessageSize, readTimeout));
}

HANDLE CreateFileA(LPCSTR name, DWORD /*access*/, DWORD /*shareMode*/,
                   const SECURITY_ATTRIBUTES* /*attributes*/, DWORD /*creation*/, DWORD /*flags*/,
                   HANDLE /*templateFile*/) {
  const std::string path = PlaceOf(name).path;
  if (path.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  int socketFd = NewSocket();
  if (socketFd < 0) {
    SetLastError(platform::ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  uid_t owner = 0;
  if (!ConnectTo(socketFd, path, &owner)) {
    close(socketFd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return platform::RegisterHandle(std::make_shared<cMailslotWriter>(socketFd, static_cast<DWORD>(owner)));
}

BOOL ReadFile(HANDLE slot, void* buffer, DWORD size, LPDWORD bytesRead, void* overlapped) {
  auto reader = platform::LookupHandleAs<cMailslotReader>(slot);
  if (!reader || overlapped) {
    SetLastError(reader ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return reader->Read(buffer, size, bytesRead);
}

BOOL WriteFile(HANDLE slot, const void* buffer, DWORD size, LPDWORD bytesWritten,
               void* overlapped) {
  auto writer = platform::LookupHandleAs<cMailslotWriter>(slot);
  if (!writer || overlapped) {
    SetLastError(writer ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return writer->Write(buffer, size, bytesWritten);
}

BOOL SetMailslotInfo(HANDLE slot, DWORD readTimeout) {
  auto reader = platform::LookupHandleAs<cMailslotReader>(slot);
  if (!reader) return FALSE;
  reader->SetTimeout(readTimeout);
  return TRUE;
}

BOOL GetMailslotInfo(HANDLE slot, LPDWORD maxMessageSize, LPDWORD nextSize, LPDWORD messageCount,
                     LPDWORD readTimeout) {
  auto reader = platform::LookupHandleAs<cMailslotReader>(slot);
  if (!reader) return FALSE;
  DWORD next = reader->NextSize();
  if (maxMessageSize) *maxMessageSize = reader->MaxMessageSize();
  if (nextSize) *nextSize = next;
  // Only whether a message waits is known, not how many.
  if (messageCount) *messageCount = next == MAILSLOT_NO_MESSAGE ? 0 : 1;
  if (readTimeout) *readTimeout = reader->Timeout();
  return TRUE;
}

namespace platform {

bool GetMailslotSender(HANDLE slot, cMailslotSender& sender) {
  auto reader = LookupHandleAs<cMailslotReader>(slot);
  if (!reader) return false;
  sender = reader->Sender();
  return true;
}

bool GetMailslotOwner(HANDLE writer, DWORD& userId) {
  auto slot = LookupHandleAs<cMailslotWriter>(writer);
  if (!slot) return false;
  userId = slot->Owner();
  return true;
}

bool MakeSlotFolders() {
  const std::string serviceFolder = StateFolder() + kServiceSlotFolder;
  const std::string sharedFolder = StateFolder() + kSharedSlotFolder;
  if (!CreateFolders(StateFolder())) return false;
  // Modes set whatever the installer's umask: every user's programs pass through the services'
  // folder to write to a slot, and make their own slots in the shared one, which only the
  // administrator can make in the machine's state folder.
  if (mkdir(serviceFolder.c_str(), 0755) == 0) chmod(serviceFolder.c_str(), 0755);
  if (mkdir(sharedFolder.c_str(), 0755) == 0) chmod(sharedFolder.c_str(), 01777);
  const DWORD unsound = CheckServiceSlotFolder(serviceFolder);
  SetLastError(unsound);
  return unsound == ERROR_SUCCESS;
}

bool IsAdministratorOrSelf(DWORD userId) {
  return userId == 0 || userId == static_cast<DWORD>(geteuid());
}

std::string UserName(DWORD userId) {
  if (userId == kNoUser) return "no user";
  passwd account {};
  passwd* found = nullptr;
  char names[1024];
  if (getpwuid_r(static_cast<uid_t>(userId), &account, names, sizeof names, &found) == 0 && found)
    return found->pw_name;
  return std::to_string(userId);
}

}  // namespace platform
