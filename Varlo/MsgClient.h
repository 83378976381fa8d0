#pragma once
// The tray program's end of the mailslot link: its own slot "VARLO<digit>", read by a thread of
// its own that hands every message to a callback, and a write handle on the service slot.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "platform/Types.h"

// Opens the service slot for writing. 0, or -1 when nobody has created it.
int OpenServiceSlot(HANDLE& slot);

class cMsgClient {
 public:
  // Runs on the reader thread with one whole message and its length (at least 1).
  typedef void (*Callback)(void* owner, const uint8_t* message, size_t length);

  cMsgClient() = default;
  ~cMsgClient() { Close(); }
  cMsgClient(const cMsgClient&) = delete;
  cMsgClient& operator=(const cMsgClient&) = delete;

  // Creates the first free slot of the ten, opens the service slot and starts the reader.
  // 0; -1 when the service slot does not open (the own slot and the reader exist all the same).
  int Open(void* owner, Callback callback);
  // Stops the reader and closes both slots; nothing when not open.
  void Close();

  // One write on the service slot; the result is not checked by callers.
  void Send(const uint8_t* message, size_t length) const;
  // The own slot's digit: 0 to 9, or 10 when none of the ten was free.
  uint8_t SlotIndex() const { return m_SlotIndex; }
  // Bytes of the receive buffer (it grows to fit larger messages and never shrinks).
  size_t BufferSize() const { return m_BufferSize.load(); }

 private:
  // The slot is handed over, as Close changes the member while the reader runs.
  void RxThread(HANDLE slot);

  std::atomic<bool> m_Running{false};
  std::thread m_Thread;
  HANDLE m_OwnSlot = INVALID_HANDLE_VALUE;
  HANDLE m_ServiceSlot = INVALID_HANDLE_VALUE;
  uint8_t m_SlotIndex = 0;
  void* m_Owner = nullptr;
  Callback m_Callback = nullptr;
  std::atomic<size_t> m_BufferSize{0};
};
