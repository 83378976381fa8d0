#include "tests/support/TestCertificateAuthority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/Files.h"
#include "platform/Http.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Key NewKey() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free); }

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) return false;
  bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for key, signed by issuerKey (issuer null: self-signed).
Certificate NewCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                           bool authority) {
  Certificate certificate(X509_new(), &X509_free);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* serialNumber = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(certificate.get()));
  BN_free(serialNumber);
  X509_set_version(certificate.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 7 * 24 * 3600);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer ? issuer : certificate.get();
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
  bool extended =
      authority ? AddExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
                      AddExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                      AddExtension(certificate.get(), signer, NID_subject_key_identifier, "hash")
                : AddExtension(certificate.get(), signer, NID_basic_constraints, "CA:FALSE") &&
                      AddExtension(certificate.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
                      AddExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth") &&
                      AddExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid");
  if (!extended || X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0) {
    certificate.reset();
  }
  return certificate;
}

std::string Pem(X509* certificate) {
  std::unique_ptr<BIO, decltype(&BIO_free)> memory(BIO_new(BIO_s_mem()), &BIO_free);
  PEM_write_bio_X509(memory.get(), certificate);
  char* data = nullptr;
  long length = BIO_get_mem_data(memory.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

bool WritePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) return false;
  return certificate ? PEM_write_X509(file.get(), certificate) == 1
                     : PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace

cTestCertificateAuthority::cTestCertificateAuthority() {
  std::string pattern = (std::filesystem::temp_directory_path() / "varlo-ca-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return;
  m_folder = pattern;
  Key authorityKey = NewKey();
  Key serverKey = NewKey();
  if (!authorityKey || !serverKey) return;
  Certificate authority = NewCertificate(authorityKey.get(), "Varlo Test Authority", nullptr, nullptr, true);
  if (!authority) return;
  Certificate server = NewCertificate(serverKey.get(), "127.0.0.1", authority.get(), authorityKey.get(), false);
  if (!server) return;
  m_serverCertificateFile = m_folder + "/server.pem";
  m_serverKeyFile = m_folder + "/server.key";
  if (!WritePem(m_serverCertificateFile, server.get(), nullptr) || !WritePem(m_serverKeyFile, nullptr, serverKey.get())) {
    return;
  }
  m_certificatePem = Pem(authority.get());
}

cTestCertificateAuthority::~cTestCertificateAuthority() {
  std::error_code ignored;
  if (!m_folder.empty()) std::filesystem::remove_all(m_folder, ignored);
}

bool cTestCertificateAuthority::InstallAsTrusted() const {
  std::string file = platform::TrustedCaFile();
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), error);
  return platform::WriteFileAtomically(file, m_certificatePem);
}
