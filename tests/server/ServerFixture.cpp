#include "tests/server/ServerFixture.h"

#include <unistd.h>

#include <cstdint>
#include <vector>

#include "common/Base64.h"
#include "common/Compression.h"
#include "tests/support/LoopbackSocket.h"

std::string Packed(const std::string& text) {
  std::vector<uint8_t> compressed;
  EXPECT_EQ(0, GzipCompress(text.data(), text.size(), compressed));
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(compressed.data()), compressed.size()));
}

cRefusingPort::cRefusingPort() {
  m_Socket = BindLoopback(m_Port);
  if (m_Socket < 0) ADD_FAILURE() << "cannot reserve a port";
}

cRefusingPort::~cRefusingPort() {
  if (m_Socket >= 0) close(m_Socket);
}
