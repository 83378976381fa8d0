#include "tests/server/ServerFixture.h"

#include <unistd.h>

#include "tests/support/LoopbackSocket.h"

cRefusingPort::cRefusingPort() {
  m_Socket = BindLoopback(m_Port);
  if (m_Socket < 0) ADD_FAILURE() << "cannot reserve a port";
}

cRefusingPort::~cRefusingPort() {
  if (m_Socket >= 0) close(m_Socket);
}
