#pragma once
// A certificate authority made on the spot, with server certificates for 127.0.0.1 and localhost,
// so the fake servers can speak HTTPS that the agent checks as it would any server.
#include <string>

class cTestCertificateAuthority {
 public:
  // Creates the authority's key and certificate in a fresh folder of its own; Valid() tells.
  cTestCertificateAuthority();
  ~cTestCertificateAuthority();
  cTestCertificateAuthority(const cTestCertificateAuthority&) = delete;
  cTestCertificateAuthority& operator=(const cTestCertificateAuthority&) = delete;

  bool Valid() const { return !m_certificatePem.empty(); }
  // The authority's certificate in PEM form.
  const std::string& CertificatePem() const { return m_certificatePem; }
  // The server certificate and key files, issued once, for IP 127.0.0.1 and the name localhost.
  const std::string& ServerCertificateFile() const { return m_serverCertificateFile; }
  const std::string& ServerKeyFile() const { return m_serverKeyFile; }

  // Makes the agent's HTTPS layer trust this authority (beside the host's own) in the machine
  // root of VARLO_ROOT; false when the file cannot be written.
  bool InstallAsTrusted() const;

 private:
  std::string m_folder;
  std::string m_certificatePem;
  std::string m_serverCertificateFile;
  std::string m_serverKeyFile;
};
