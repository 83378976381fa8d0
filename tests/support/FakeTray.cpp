#include "tests/support/FakeTray.h"

#include "VarloService/mailslot/MsgQueue.h"
#include "platform/Mailslot.h"

cFakeTray::cFakeTray(int digit)
    : m_Digit(digit), m_Slot(CreateMailslotA(TraySlotPath(digit).c_str(), 0, 0, nullptr)) {}

cFakeTray::~cFakeTray() { Close(); }

bool cFakeTray::IsOpen() const { return m_Slot != INVALID_HANDLE_VALUE; }

bool cFakeTray::Register() const {
  return SendToServiceSlot({MSG_UI_USER, 1, static_cast<uint8_t>(m_Digit)});
}

cMessage cFakeTray::Next(DWORD timeoutMs) {
  SetMailslotInfo(m_Slot, timeoutMs);
  cMessage message(65536);
  DWORD read = 0;
  if (!ReadFile(m_Slot, message.data(), static_cast<DWORD>(message.size()), &read, nullptr))
    return {};
  message.resize(read);
  return message;
}

std::vector<cMessage> cFakeTray::Receive(size_t count, DWORD timeoutMs) {
  std::vector<cMessage> messages;
  while (messages.size() < count) {
    cMessage message = Next(timeoutMs);
    if (message.empty()) break;
    messages.push_back(message);
  }
  return messages;
}

std::vector<cMessage> cFakeTray::Drain(DWORD quietMs) {
  std::vector<cMessage> messages;
  for (cMessage message = Next(quietMs); !message.empty(); message = Next(quietMs)) {
    messages.push_back(message);
  }
  return messages;
}

void cFakeTray::Close() {
  if (m_Slot != INVALID_HANDLE_VALUE) CloseHandle(m_Slot);
  m_Slot = INVALID_HANDLE_VALUE;
}

bool SendToServiceSlot(const cMessage& message) {
  return SendOnce(ServiceSlotPath(), message.data(), static_cast<uint32_t>(message.size()));
}
