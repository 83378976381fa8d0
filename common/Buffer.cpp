#include "common/Buffer.h"

void cBuffer::Allocate(uint64_t size) {
  m_Data.reset(new uint8_t[size + 1]());
  m_Size = size;
}

void cBuffer::Release() {
  m_Data.reset();
  m_Size = 0;
}
