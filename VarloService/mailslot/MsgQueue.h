#pragma once
// The service's end of the mailslot link: it reads the service slot "VARLO" and writes to the
// slots "VARLO0" to "VARLO9" of the registered tray programs. The service thread reads and writes;
// the control handler may broadcast and close from its own thread, so the slot handles, the tray
// table and the page mask are guarded by one lock, and the receive buffer lives until destruction.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Mailslot.h"

// Message codes, both directions (the meaning of 1 to 7 depends on the direction).
enum : uint8_t {
  MSG_UI_USER = 1,
  MSG_UI_LOGIN = 2,
  MSG_UI_SYSLOG = 3,
  MSG_UI_WEBLOG = 4,
  MSG_UI_MODULE = 5,
  MSG_UI_PAGE = 6,
  MSG_UI_AUTOUPDATE = 7,
  MSG_SVC_EXIT = 8,
  MSG_UI_TEST = 9,
  MSG_UI_STAT = 10,
  MSG_UI_CMD = 11,
  MSG_UI_ISOLATE = 12,
};
enum : uint8_t {
  MSG_SVC_START = 1,
  MSG_SVC_STATUS = 2,
  MSG_SVC_SYSLOG = 3,
  MSG_SVC_WEBLOG = 4,
  MSG_SVC_UPLOADTIME = 6,
  MSG_SVC_AUTOUPDATE = 7,
};

constexpr char kMailslotPrefix[] = "\\\\.\\mailslot\\";
constexpr char kServiceSlotName[] = "VARLO";
constexpr int kTraySlotCount = 10;

// "\\.\mailslot\VARLO", or a tray slot's name for a digit 0 to 9.
std::string ServiceSlotPath();
std::string TraySlotPath(int digit);
bool IsTrayDigit(int digit);

// Opens a slot for writing, writes one message and closes it again; false when nothing was written.
bool SendOnce(const std::string& slotPath, const void* message, uint32_t length);

class cMsgQueue {
 public:
  static constexpr uint32_t kInitialBufferSize = 4096;
  static constexpr uint32_t kBufferGrowth = 512;
  // Rx's result for a message of no bytes: it carries no code, and the reader reads on.
  static constexpr int kEmptyMessage = -4;

  cMsgQueue() = default;
  ~cMsgQueue();
  cMsgQueue(const cMsgQueue&) = delete;
  cMsgQueue& operator=(const cMsgQueue&) = delete;

  // Creates the service slot (read time-out forever) and sends the one-byte exit notice to every
  // tray slot that exists, so tray programs of an earlier service run end.
  void Open();
  // One message into buffer: the bytes read (> 0); 0 time-out or an unexpected failure (logged);
  // -1 buffer too small (the message stays queued); -2 end of file; -3 slot closed or never made;
  // kEmptyMessage for a message of no bytes.
  int Rx(uint8_t* buffer, uint32_t size);
  // Reads into the receive buffer, growing it by kBufferGrowth while the message does not fit.
  int Rx();
  uint8_t* Buffer() { return m_Buffer.get(); }
  uint32_t BufferSize() const { return m_BufferSize; }

  // Who wrote the last message read; false when unknown (the sender then stays "no user").
  bool LastSender(platform::cMailslotSender& sender);

  // Opens the tray slot of a digit 0 to 9 for the user who registered it: 0 opened, -1 not (no
  // entry is left for it). A slot that another user made is refused (and logged) unless the
  // registrant is the administrator or the service's own user: nobody has the service write to a
  // slot that is not theirs. A refused registration leaves the tray registered under the digit
  // as it was.
  int AddUser(int digit, DWORD registrant);
  // Entries removed (0 or 1). Only the user who made the tray's slot, the administrator and the
  // service's own user remove it; anyone else's removal is refused (and logged) and changes
  // nothing, so no user silences another's tray.
  int DelUser(int digit, DWORD remover);
  // To one tray program (digit 0 to 9): bytes written, 0 when not registered or the write failed
  // (the entry is then dropped). A digit below 0 reaches every registered page viewer.
  int Send(const void* message, uint32_t length, int digit);
  // To every registered tray program: the sum of bytes written.
  int Broadcast(const void* message, uint32_t length);
  // Closes the service slot, which ends a read waiting on it, and every tray handle (the entries
  // stay). Harmless when repeated.
  void Close();

  void SetReadTimeout(DWORD milliseconds);
  // A status page of the tray program with that digit (0 to 9) was shown or left.
  void SetPage(int digit, bool shown);
  uint32_t PageMask();
  // Registered digits in ascending order (for status and tests).
  std::map<int, bool> Users();

 private:
  // A registered tray program: the write end of its slot (invalid once closed) and the user who
  // made that slot.
  struct cTray {
    HANDLE slot = INVALID_HANDLE_VALUE;
    DWORD maker = platform::kNoUser;
  };

  // Writes to one entry; a failed write closes and removes it. Call with m_Lock held.
  int WriteEntry(std::map<int, cTray>::iterator& entry, const void* message, uint32_t length);
  template <class Accept>
  int WriteAll(const void* message, uint32_t length, Accept accept);

  std::mutex m_Lock;
  HANDLE m_Own = INVALID_HANDLE_VALUE;
  std::map<int, cTray> m_Trays;
  std::unique_ptr<uint8_t[]> m_Buffer;
  uint32_t m_BufferSize = 0;
  uint32_t m_PageMask = 0;
};
