#include "tests/support/OtherUsersTray.h"

#include <poll.h>
#include <unistd.h>

#include <cstdint>

#include "VarloService/mailslot/MsgQueue.h"
#include "platform/Mailslot.h"

namespace {

bool WriteAll(int fd, const void* bytes, size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = write(fd, at, size);
    if (written <= 0) return false;
    at += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool ReadAll(int fd, void* bytes, size_t size) {
  char* at = static_cast<char*>(bytes);
  while (size > 0) {
    const ssize_t read = ::read(fd, at, size);
    if (read <= 0) return false;
    at += read;
    size -= static_cast<size_t>(read);
  }
  return true;
}

}  // namespace

cOtherUsersTray::cOtherUsersTray(int digit, uid_t user) {
  int ready[2];
  int messages[2];
  if (pipe(ready) != 0) return;
  if (pipe(messages) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  // Each message goes to the test as its length and its bytes.
  m_Process = std::make_unique<cOtherUserProcess>(
      [&] {
        HANDLE slot = CreateMailslotA(TraySlotPath(digit).c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
        const char made = slot != INVALID_HANDLE_VALUE;
        if (!WriteAll(ready[1], &made, 1) || !made) return 1;
        std::vector<uint8_t> message(65536);
        for (DWORD read = 0; ReadFile(slot, message.data(), static_cast<DWORD>(message.size()), &read, nullptr);) {
          const uint32_t length = read;
          if (!WriteAll(messages[1], &length, sizeof length) || !WriteAll(messages[1], message.data(), read)) return 1;
        }
        return 0;
      },
      user);
  close(ready[1]);
  close(messages[1]);
  char made = 0;
  m_Open = m_Process->Started() && ReadAll(ready[0], &made, 1) && made;
  close(ready[0]);
  m_Messages = messages[0];
}

cOtherUsersTray::~cOtherUsersTray() {
  m_Process.reset();
  if (m_Messages >= 0) close(m_Messages);
}

std::vector<cMessage> cOtherUsersTray::Drain(int quietMs) {
  std::vector<cMessage> messages;
  for (pollfd waiting{m_Messages, POLLIN, 0}; m_Messages >= 0 && poll(&waiting, 1, quietMs) == 1;) {
    uint32_t length = 0;
    if (!ReadAll(m_Messages, &length, sizeof length)) break;
    cMessage message(length);
    if (!ReadAll(m_Messages, message.data(), length)) break;
    messages.push_back(message);
  }
  return messages;
}
