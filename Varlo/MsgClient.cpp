#include "Varlo/MsgClient.h"

#include <string>
#include <vector>

#include "Varlo/TrayMessages.h"
#include "platform/Mailslot.h"

namespace {

constexpr size_t kFirstBufferBytes = 4096;
constexpr size_t kBufferGrowth = 512;

}  // namespace

int OpenServiceSlot(HANDLE& slot) {
  slot = CreateFileA(kServiceSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
  return slot == INVALID_HANDLE_VALUE ? -1 : 0;
}

int cMsgClient::Open(void* owner, Callback callback) {
  m_Running = true;
  m_Owner = owner;
  m_Callback = callback;
  m_SlotIndex = 0;
  for (; m_SlotIndex < kTraySlots; m_SlotIndex++) {
    std::string name = std::string(kServiceSlot) + static_cast<char>('0' + m_SlotIndex);
    m_OwnSlot = CreateMailslotA(name.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
    if (m_OwnSlot != INVALID_HANDLE_VALUE) break;
  }
  int opened = OpenServiceSlot(m_ServiceSlot);
  m_BufferSize = kFirstBufferBytes;
  m_Thread = std::thread(&cMsgClient::RxThread, this, m_OwnSlot);
  return opened;
}

void cMsgClient::Close() {
  if (!m_Running) return;
  m_Running = false;
  // Closing the own slot ends the reader's pending read.
  if (m_OwnSlot != INVALID_HANDLE_VALUE) CloseHandle(m_OwnSlot);
  if (m_ServiceSlot != INVALID_HANDLE_VALUE) CloseHandle(m_ServiceSlot);
  m_OwnSlot = INVALID_HANDLE_VALUE;
  m_ServiceSlot = INVALID_HANDLE_VALUE;
  if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) m_Thread.join();
}

void cMsgClient::Send(const uint8_t* message, size_t length) const {
  DWORD written = 0;
  WriteFile(m_ServiceSlot, message, static_cast<DWORD>(length), &written, nullptr);
}

void cMsgClient::RxThread(HANDLE slot) {
  std::vector<uint8_t> buffer(kFirstBufferBytes);
  while (m_Running) {
    DWORD read = 0;
    if (ReadFile(slot, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      if (read > 0) m_Callback(m_Owner, buffer.data(), read);
      continue;
    }
    DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
      buffer.resize(buffer.size() + kBufferGrowth);
      m_BufferSize = buffer.size();
    } else if (error == ERROR_INVALID_HANDLE) {
      // The slot is closed or was never created: nothing can arrive any more.
      break;
    }
  }
}
