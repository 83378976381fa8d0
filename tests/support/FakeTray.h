#pragma once
// A stand-in for the tray program's end of the mailslot link: it owns the slot "VARLO<digit>",
// registers with the service and collects what the service sends.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

using cMessage = std::vector<uint8_t>;

class cFakeTray {
 public:
  explicit cFakeTray(int digit);
  ~cFakeTray();
  cFakeTray(const cFakeTray&) = delete;
  cFakeTray& operator=(const cFakeTray&) = delete;

  bool IsOpen() const;
  int Digit() const { return m_Digit; }

  // Sends {1, 1, digit} to the service slot.
  bool Register() const;
  // The next message, or an empty one when none came within timeoutMs.
  cMessage Next(DWORD timeoutMs = 2000);
  // The next count messages, each awaited for at most timeoutMs (fewer when they do not come).
  std::vector<cMessage> Receive(size_t count, DWORD timeoutMs = 5000);
  // Every message that arrives until the slot stays quiet for quietMs.
  std::vector<cMessage> Drain(DWORD quietMs = 150);
  // Closes the slot, as a tray program that has ended.
  void Close();

 private:
  int m_Digit;
  HANDLE m_Slot;
};

// Sends one message to the service slot.
bool SendToServiceSlot(const cMessage& message);
