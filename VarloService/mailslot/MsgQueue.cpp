#include "VarloService/mailslot/MsgQueue.h"

#include <spdlog/spdlog.h>

#include <string>

std::string ServiceSlotPath() { return std::string(kMailslotPrefix) + kServiceSlotName; }

bool IsTrayDigit(int digit) { return digit >= 0 && digit < kTraySlotCount; }

std::string TraySlotPath(int digit) { return ServiceSlotPath() + static_cast<char>('0' + digit); }

namespace {

HANDLE OpenForWriting(const std::string& slotPath) {
  return CreateFileA(slotPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether a user may register or remove the tray program of a slot that maker made.
bool MayActFor(DWORD user, DWORD maker) {
  return platform::IsAdministratorOrSelf(user) || (user != platform::kNoUser && user == maker);
}

}  // namespace

bool SendOnce(const std::string& slotPath, const void* message, uint32_t length) {
  HANDLE slot = OpenForWriting(slotPath);
  if (slot == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(slot, message, length, &written, nullptr);
  CloseHandle(slot);
  return ok && written == length;
}

cMsgQueue::~cMsgQueue() {
  Close();
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Trays.clear();
}

void cMsgQueue::Open() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_PageMask = 0;
    if (!m_Buffer) {
      m_Buffer.reset(new uint8_t[kInitialBufferSize]);
      m_BufferSize = kInitialBufferSize;
    }
    SECURITY_ATTRIBUTES everyone{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    m_Own = CreateMailslotA(ServiceSlotPath().c_str(), 0, MAILSLOT_WAIT_FOREVER, &everyone);
    if (m_Own == INVALID_HANDLE_VALUE) SPDLOG_INFO("m_UI.Open()={} {}", -1, GetLastError());
  }
  const uint8_t exitNotice = MSG_SVC_EXIT;
  for (int digit = 0; digit < kTraySlotCount; ++digit)
    SendOnce(TraySlotPath(digit), &exitNotice, 1);
}

int cMsgQueue::Rx(uint8_t* buffer, uint32_t size) {
  HANDLE own;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    own = m_Own;
  }
  // Read without the lock, so a close from the control handler can end the wait.
  DWORD read = 0;
  if (ReadFile(own, buffer, size, &read, nullptr))
    return read > 0 ? static_cast<int>(read) : kEmptyMessage;
  DWORD error = GetLastError();
  switch (error) {
    case ERROR_SEM_TIMEOUT:
      return 0;
    case ERROR_INSUFFICIENT_BUFFER:
      return -1;
    case ERROR_HANDLE_EOF:
      return -2;
    case ERROR_INVALID_HANDLE:
      return -3;
    default:
      SPDLOG_ERROR("{}()={}", "cMsgQueue::Rx", error);
      return 0;
  }
}

int cMsgQueue::Rx() {
  if (!m_Buffer) return -3;
  int result;
  while ((result = Rx(m_Buffer.get(), m_BufferSize)) == -1) {
    uint32_t grown = m_BufferSize + kBufferGrowth;
    m_Buffer.reset(new uint8_t[grown]);
    m_BufferSize = grown;
  }
  return result;
}

bool cMsgQueue::LastSender(platform::cMailslotSender& sender) {
  HANDLE own;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    own = m_Own;
  }
  return platform::GetMailslotSender(own, sender);
}

int cMsgQueue::AddUser(int digit, DWORD registrant) {
  if (!IsTrayDigit(digit)) return -1;
  std::lock_guard<std::mutex> guard(m_Lock);
  HANDLE slot = OpenForWriting(TraySlotPath(digit));
  // A slot whose maker cannot be told is nobody's: only the administrator and the service's own
  // user act for it.
  DWORD maker = platform::kNoUser;
  if (slot != INVALID_HANDLE_VALUE) platform::GetMailslotOwner(slot, maker);
  if (slot != INVALID_HANDLE_VALUE && !MayActFor(registrant, maker)) {
    SPDLOG_ERROR("m_UI.AddUser({}) refused: a slot made by {}, registered by {}", digit,
                 platform::UserName(maker), platform::UserName(registrant));
    CloseHandle(slot);
    return -1;
  }
  auto entry = m_Trays.find(digit);
  if (entry != m_Trays.end() && entry->second.slot != INVALID_HANDLE_VALUE)
    CloseHandle(entry->second.slot);
  if (slot == INVALID_HANDLE_VALUE) {
    m_Trays.erase(digit);
    return -1;
  }
  m_Trays[digit] = cTray{slot, maker};
  return 0;
}

int cMsgQueue::DelUser(int digit, DWORD remover) {
  std::lock_guard<std::mutex> guard(m_Lock);
  auto entry = m_Trays.find(digit);
  if (entry == m_Trays.end()) return 0;
  if (!MayActFor(remover, entry->second.maker)) {
    SPDLOG_ERROR("m_UI.DelUser({}) refused: a slot made by {}, removed by {}", digit,
                 platform::UserName(entry->second.maker), platform::UserName(remover));
    return 0;
  }
  if (entry->second.slot != INVALID_HANDLE_VALUE) CloseHandle(entry->second.slot);
  m_Trays.erase(entry);
  return 1;
}

int cMsgQueue::WriteEntry(std::map<int, cTray>::iterator& entry, const void* message,
                          uint32_t length) {
  DWORD written = 0;
  if (WriteFile(entry->second.slot, message, length, &written, nullptr) && written > 0) {
    ++entry;
    return static_cast<int>(written);
  }
  // A tray program that went away comes back only by registering again.
  if (entry->second.slot != INVALID_HANDLE_VALUE) CloseHandle(entry->second.slot);
  entry = m_Trays.erase(entry);
  return 0;
}

template <class Accept>
int cMsgQueue::WriteAll(const void* message, uint32_t length, Accept accept) {
  std::lock_guard<std::mutex> guard(m_Lock);
  int total = 0;
  for (auto entry = m_Trays.begin(); entry != m_Trays.end();) {
    if (accept(entry->first)) {
      total += WriteEntry(entry, message, length);
    } else {
      ++entry;
    }
  }
  return total;
}

int cMsgQueue::Send(const void* message, uint32_t length, int digit) {
  if (digit < 0) {
    return WriteAll(message, length, [this](int each) { return (m_PageMask >> each) & 1u; });
  }
  std::lock_guard<std::mutex> guard(m_Lock);
  auto entry = m_Trays.find(digit);
  if (entry == m_Trays.end()) return 0;
  return WriteEntry(entry, message, length);
}

int cMsgQueue::Broadcast(const void* message, uint32_t length) {
  return WriteAll(message, length, [](int) { return true; });
}

void cMsgQueue::Close() {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (m_Own != INVALID_HANDLE_VALUE) CloseHandle(m_Own);
  m_Own = INVALID_HANDLE_VALUE;
  for (auto& entry : m_Trays) {
    if (entry.second.slot != INVALID_HANDLE_VALUE) CloseHandle(entry.second.slot);
    entry.second.slot = INVALID_HANDLE_VALUE;
  }
}

void cMsgQueue::SetReadTimeout(DWORD milliseconds) {
  std::lock_guard<std::mutex> guard(m_Lock);
  SetMailslotInfo(m_Own, milliseconds);
}

void cMsgQueue::SetPage(int digit, bool shown) {
  if (!IsTrayDigit(digit)) return;
  std::lock_guard<std::mutex> guard(m_Lock);
  if (shown) {
    m_PageMask |= 1u << digit;
  } else {
    m_PageMask &= ~(1u << digit);
  }
}

uint32_t cMsgQueue::PageMask() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_PageMask;
}

std::map<int, bool> cMsgQueue::Users() {
  std::lock_guard<std::mutex> guard(m_Lock);
  std::map<int, bool> users;
  for (const auto& entry : m_Trays) users[entry.first] = entry.second.slot != INVALID_HANDLE_VALUE;
  return users;
}
