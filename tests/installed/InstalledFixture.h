#pragma once
// The agent exactly as varlo-install leaves it, started through the stand-in service manager,
// pointed at fake management, repository and upload servers through its "Domain" settings and
// enabled with an account key, as a user sets it up. Beside that only the host's own event
// channel "Application" is made, as every Windows host has it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FakeManagementServer.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/FakeUploadServer.h"
#include "tests/support/InstalledAgent.h"
#include "tests/support/TestCertificateAuthority.h"

constexpr char kAccountKey[] = "account-key-1";

class cInstalledTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // The running service may still call the servers: they stop answering before they go.
  void TearDown() override;

  void StartService();
  // Appends a rendered event to the host's "Application" channel from another process.
  void AppendEvent(const std::string& event);
  // Every record uploaded to "/pupload/syslog" so far, as compact JSON.
  std::vector<std::string> UploadedRecords() const;
  // The uploaded record that holds the text, or "". An open batch leaves by its age at the next
  // event, so marker events are appended while it is awaited.
  std::string WaitForUpload(const std::string& text);
  // Waits until the service log holds the text count times.
  bool WaitForLog(const std::string& text, size_t count = 1, int timeoutMs = 30000) const;

  // A file under the install folder by its name there; "<missing>" when there is none.
  static std::string InstalledFile(const std::string& name);
  static std::string InstallPath(const std::string& name);

  cInstalledAgent m_Agent;
  cTestCertificateAuthority m_Authority;
  cFakeManagementServer m_Server{&m_Authority};
  cFakeRepository m_Repository{&m_Authority};
  cFakeUploadServer m_Upload{&m_Authority};

 private:
  unsigned m_Markers = 0;
};
