#pragma once
// Compact JSON text written straight into a bounded room, byte for byte as jansson's compact dump
// writes it. What goes past the room is only counted, so a record written as far as it fits
// tells the length it needs, and can be written again where there is room for it.
#include <jansson.h>

#include <cstddef>
#include <cstring>
#include <string_view>

class cRecordWriter {
 public:
  cRecordWriter(char* out, size_t room) : m_Out(out), m_Room(room) {}

  void Put(std::string_view text) {
    if (text.size() <= Left()) std::memcpy(m_Out + m_Length, text.data(), text.size());
    m_Length += text.size();
  }
  void Put(char c) {
    if (Left()) m_Out[m_Length] = c;
    ++m_Length;
  }
  // The text as a JSON string, quoted and escaped; false when it is not valid UTF-8, which jansson
  // refuses as a string (what was written is then of no use).
  bool PutString(std::string_view text);
  // Any JSON value, its members in their order; false when jansson could not dump it.
  bool PutJson(const json_t* value);

  // The length of all that was put, written or not.
  size_t Length() const { return m_Length; }

 private:
  // The room left at the end of what was put; 0 once the room is passed.
  size_t Left() const { return m_Length < m_Room ? m_Room - m_Length : 0; }

  char* m_Out;
  size_t m_Room;
  size_t m_Length = 0;
};
