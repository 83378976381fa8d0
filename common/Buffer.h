#pragma once
// An owned byte block with its size; whole-file reads keep one NUL after the content.
#include <cstdint>
#include <memory>

class cBuffer {
 public:
  cBuffer() = default;
  cBuffer(const cBuffer&) = delete;
  cBuffer& operator=(const cBuffer&) = delete;
  cBuffer(cBuffer&&) noexcept = default;
  cBuffer& operator=(cBuffer&&) noexcept = default;

  uint8_t* Data() { return m_Data.get(); }
  const uint8_t* Data() const { return m_Data.get(); }
  // The content as NUL-terminated text (valid after a whole-file read).
  const char* Text() const { return reinterpret_cast<const char*>(m_Data.get()); }
  uint64_t Size() const { return m_Size; }
  bool Empty() const { return !m_Data; }

  // Replaces the block by a zero-filled one of size + 1 bytes, so a NUL always fits after size bytes.
  void Allocate(uint64_t size);
  void Release();

 private:
  std::unique_ptr<uint8_t[]> m_Data;
  uint64_t m_Size = 0;
};
