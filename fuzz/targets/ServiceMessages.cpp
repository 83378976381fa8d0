// What any local process may write into the service slot.
#include <string_view>
#include <vector>

#include "VarloService/mailslot/MsgQueue.h"
#include "VarloService/mailslot/ServiceMessage.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"

int FuzzServiceMessage(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  // An exact copy, so that a read past the message's end is caught.
  const std::vector<uint8_t> message(data, data + size);
  const uint32_t length = static_cast<uint32_t>(size);
  cServiceMessage parsed;
  if (!cServiceMessage::Parse(message.data(), length, parsed)) return 0;

  Require(parsed.code >= MSG_UI_USER && parsed.code <= MSG_UI_ISOLATE &&
          parsed.code != MSG_SVC_EXIT);
  Require(length >= 2 && parsed.value == static_cast<int8_t>(message[1]));
  Require(parsed.digit == -1 || (length >= 3 && parsed.digit == static_cast<int8_t>(message[2])));
  if (!parsed.text.empty()) {
    // The text is the message's own bytes from its offset, ending at a NUL or the end.
    const uint32_t offset = parsed.code == MSG_UI_LOGIN ? 2 : 1;
    const std::string_view rest = Bytes(message.data() + offset, length - offset);
    Require(rest.substr(0, parsed.text.size()) == parsed.text);
    Require(parsed.text.size() == rest.size() || rest[parsed.text.size()] == '\0');
  }
  return 0;
}
