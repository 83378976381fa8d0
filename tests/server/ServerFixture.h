#pragma once
// A machine root of its own for each test, with a test certificate authority that the HTTPS
// layer trusts there.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"

class cServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Authority.Valid());
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
  }

  cTempMachineRoot m_Root;
  cTestCertificateAuthority m_Authority;
};

// base64 of a gzip stream of text, as the server sends scripts and reference lists.
std::string Packed(const std::string& text);

// A port on 127.0.0.1 that refuses connections: bound, never listened on, for the test's life.
class cRefusingPort {
 public:
  cRefusingPort();
  ~cRefusingPort();
  int Port() const { return m_Port; }

 private:
  int m_Socket = -1;
  int m_Port = 0;
};
