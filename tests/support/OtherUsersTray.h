#pragma once
// The tray program of another user: a process of that user makes the tray slot of a digit, as the
// tray program does, and hands every message that arrives there to the test. That user reaches
// the slots only in a machine root open to every user, as an installed one is.
#include <sys/types.h>

#include <memory>
#include <vector>

#include "tests/support/FakeTray.h"
#include "tests/support/OtherUser.h"

class cOtherUsersTray {
 public:
  explicit cOtherUsersTray(int digit, uid_t user = kOtherUser);
  ~cOtherUsersTray();
  cOtherUsersTray(const cOtherUsersTray&) = delete;
  cOtherUsersTray& operator=(const cOtherUsersTray&) = delete;

  // Whether that user's process made the slot.
  bool IsOpen() const { return m_Open; }
  // Every message that arrives until the slot stays quiet for quietMs.
  std::vector<cMessage> Drain(int quietMs = 150);

 private:
  int m_Messages = -1;  // the read end of the pipe from that user's process
  std::unique_ptr<cOtherUserProcess> m_Process;
  bool m_Open = false;
};
