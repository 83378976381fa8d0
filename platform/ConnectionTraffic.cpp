#include "ConnectionTraffic.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <unordered_map>

namespace platform {

struct cSocketRecord {
  explicit cSocketRecord(curl_socket_t socket) : fd(socket) {}
  const curl_socket_t fd;
  // Guarded by the registry's lock: while open the kernel counts, at the close they are kept.
  bool open = true;
  uint64_t dataIn = 0;
  uint64_t moved = 0;
};

namespace {

struct cCounts {
  uint64_t dataIn = 0;  // segments that carried data: the end of the stream carries none
  uint64_t moved = 0;
};

cCounts ReadCounts(curl_socket_t fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  cCounts counts;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return counts;
  counts.dataIn = info.tcpi_data_segs_in;
  counts.moved = info.tcpi_bytes_received + info.tcpi_bytes_acked;
  return counts;
}

bool SameEndpoint(const sockaddr_storage& address, const char* text, int port) {
  char name[INET6_ADDRSTRLEN] = {};
  int found = -1;
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &ipv4.sin_addr, name, sizeof name);
    found = ntohs(ipv4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &ipv6.sin6_addr, name, sizeof name);
    found = ntohs(ipv6.sin6_port);
  }
  return found == port && text && name == std::string(text);
}

// Every socket the library has open, by descriptor.
class cSocketRegistry {
 public:
  static cSocketRegistry& Instance() {
    static cSocketRegistry registry;
    return registry;
  }

  void Opened(curl_socket_t fd) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto& record = m_open[fd];
    if (record) record->open = false;  // closed without a word: its counts are gone
    record = std::make_shared<cSocketRecord>(fd);
  }

  // Keeps the last counts of the socket, then closes it.
  int Close(curl_socket_t fd) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_open.find(fd);
    if (found != m_open.end()) {
      const cCounts counts = ReadCounts(fd);
      cSocketRecord& record = *found->second;
      record.dataIn = counts.dataIn;
      record.moved = counts.moved;
      record.open = false;
      m_open.erase(found);
    }
    return close(fd);
  }

  cCounts Counts(const cSocketRecord& record) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (record.open) return ReadCounts(record.fd);
    return cCounts{record.dataIn, record.moved};
  }

  std::shared_ptr<cSocketRecord> Find(const char* peerAddress, int peerPort, const char* localAddress, int localPort) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& [fd, record] : m_open) {
      sockaddr_storage peer{}, local{};
      socklen_t peerLength = sizeof peer, localLength = sizeof local;
      if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
          SameEndpoint(peer, peerAddress, peerPort) && SameEndpoint(local, localAddress, localPort))
        return record;
    }
    return nullptr;
  }

 private:
  std::mutex m_lock;
  std::unordered_map<curl_socket_t, std::shared_ptr<cSocketRecord>> m_open;
};

int OnSocketOpened(void* opened, curl_socket_t fd, curlsocktype) {
  cSocketRegistry::Instance().Opened(fd);
  *static_cast<bool*>(opened) = true;
  return CURL_SOCKOPT_OK;
}

int OnSocketClosing(void*, curl_socket_t fd) { return cSocketRegistry::Instance().Close(fd); }

// The count of application data records of a secure connection, kept with it and shared with
// the requests that took it.
using cRecordCount = std::shared_ptr<std::atomic<uint64_t>>;

int RecordCountIndex() {
  static const int index = SSL_get_ex_new_index(
      0, nullptr, nullptr, nullptr, [](void*, void* count, CRYPTO_EX_DATA*, int, long, void*) {
        delete static_cast<cRecordCount*>(count);
      });
  return index;
}

cRecordCount& RecordCountOf(SSL* connection) {
  auto* count = static_cast<cRecordCount*>(SSL_get_ex_data(connection, RecordCountIndex()));
  if (!count) {
    count = new cRecordCount(std::make_shared<std::atomic<uint64_t>>(0));
    SSL_set_ex_data(connection, RecordCountIndex(), count);
  }
  return *count;
}

// Before TLS 1.3 a record's type stands in its header; from 1.3 on every protected record is
// marked application data outside and carries its true type inside.
void OnTlsMessage(int writing, int, int contentType, const void* data, size_t length, SSL* connection, void*) {
  if (writing || length < 1) return;
  const uint8_t type = *static_cast<const uint8_t*>(data);
  const bool applicationData =
      type == SSL3_RT_APPLICATION_DATA &&
      (contentType == SSL3_RT_INNER_CONTENT_TYPE ||
       (contentType == SSL3_RT_HEADER && SSL_version(connection) < TLS1_3_VERSION));
  if (applicationData) ++*RecordCountOf(connection);
}

}  // namespace

cConnectionTraffic::cConnectionTraffic(std::shared_ptr<cSocketRecord> socket,
                                       std::shared_ptr<std::atomic<uint64_t>> records)
    : m_socket(std::move(socket)), m_records(std::move(records)), m_dataInBefore(DataIn()),
      m_recordsBefore(m_records ? m_records->load() : 0) {}

uint64_t cConnectionTraffic::DataIn() const { return cSocketRegistry::Instance().Counts(*m_socket).dataIn; }

uint64_t cConnectionTraffic::Moved() const { return cSocketRegistry::Instance().Counts(*m_socket).moved; }

bool cConnectionTraffic::AnswerBegan() const {
  return m_records ? m_records->load() > m_recordsBefore : DataIn() > m_dataInBefore;
}

void WatchSockets(CURL* easy, bool* opened) {
  curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &OnSocketOpened);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, opened);
  curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &OnSocketClosing);
}

void CountApplicationData(void* sslContext) {
  SSL_CTX_set_msg_callback(static_cast<SSL_CTX*>(sslContext), &OnTlsMessage);
}

std::unique_ptr<cConnectionTraffic> TakeConnection(CURL* easy, const char* peerAddress, int peerPort,
                                                   const char* localAddress, int localPort) {
  auto socket = cSocketRegistry::Instance().Find(peerAddress, peerPort, localAddress, localPort);
  if (!socket) return nullptr;
  cRecordCount records;
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &session) == CURLE_OK && session &&
      session->backend == CURLSSLBACKEND_OPENSSL && session->internals)
    records = RecordCountOf(static_cast<SSL*>(session->internals));
  return std::make_unique<cConnectionTraffic>(std::move(socket), std::move(records));
}

}  // namespace platform
