#pragma once
// One message read from the service slot, taken apart by the layout of its code. A message has
// no length field: its length is what the read reported, and no byte beyond it is read.
#include <cstdint>
#include <string>

struct cServiceMessage {
  int8_t code = 0;
  // Byte 1: the sub-code, state or switch; 0 when the message has none.
  int8_t value = 0;
  // Byte 2 of a registration, a removal and a page notice: a tray slot digit; -1 otherwise.
  int digit = -1;
  // The key of a sign-in (from byte 2), the word of a test or the path of a command (from byte 1),
  // up to its NUL or the end of the message.
  std::string text;

  // False for a code the service does not take (8, or outside 1 to 12) and for a message too
  // short for its code and sub-code.
  static bool Parse(const uint8_t* message, uint32_t length, cServiceMessage& parsed);
};
