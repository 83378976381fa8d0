#include "VarloService/mailslot/ServiceMessage.h"

#include <cstring>

#include "VarloService/mailslot/MsgQueue.h"

namespace {

// The text from offset to its NUL, or to the end of the message when the NUL is missing.
std::string TextAt(const uint8_t* message, uint32_t length, uint32_t offset) {
  const char* text = reinterpret_cast<const char*>(message) + offset;
  return std::string(text, strnlen(text, length - offset));
}

int8_t SignedByte(const uint8_t* message, uint32_t index) {
  return static_cast<int8_t>(message[index]);
}

bool HasDigit(int code, int8_t subCode) {
  return (code == MSG_UI_USER && (subCode == 0 || subCode == 1)) || code == MSG_UI_PAGE;
}

// The fewest bytes a message of the code needs for its sub-code.
uint32_t MinimumLength(int code, int8_t subCode) {
  if (HasDigit(code, subCode)) return 3;
  return code == MSG_UI_LOGIN && subCode != 0 ? 3 : 2;
}

}  // namespace

bool cServiceMessage::Parse(const uint8_t* message, uint32_t length, cServiceMessage& parsed) {
  if (length == 0) return false;
  parsed = cServiceMessage();
  parsed.code = SignedByte(message, 0);
  if (parsed.code < MSG_UI_USER || parsed.code > MSG_UI_ISOLATE || parsed.code == MSG_SVC_EXIT) {
    return false;
  }
  if (length < MinimumLength(parsed.code, length > 1 ? SignedByte(message, 1) : 0)) return false;
  parsed.value = SignedByte(message, 1);
  if (HasDigit(parsed.code, parsed.value)) parsed.digit = SignedByte(message, 2);
  if (parsed.code == MSG_UI_LOGIN && parsed.value != 0) {
    parsed.text = TextAt(message, length, 2);
  } else if (parsed.code == MSG_UI_TEST || parsed.code == MSG_UI_CMD) {
    parsed.text = TextAt(message, length, 1);
  }
  return true;
}
