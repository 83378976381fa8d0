#pragma once
// What came from the other end of each connection that the transfer library opens, for two rules
// of a request that the library does not keep itself: a wait for data ends once the other end has
// moved nothing for the receive time-out, and a request goes out once more on a new connection
// only when no byte of its answer came. The kernel counts what each socket carried (the end of
// the stream carries no data); on a secure connection only application data belongs to an answer
// (an alert that closes it does not).
#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace platform {

struct cSocketRecord;

// A connection as one request sees it from the moment it took it.
class cConnectionTraffic {
 public:
  cConnectionTraffic(std::shared_ptr<cSocketRecord> socket, std::shared_ptr<std::atomic<uint64_t>> records);

  // Grows while either end moves data: bytes received and bytes the other end acknowledged.
  uint64_t Moved() const;
  // Whether a byte of an answer came since the request took the connection; still known once the
  // library has closed it.
  bool AnswerBegan() const;

 private:
  uint64_t DataIn() const;

  std::shared_ptr<cSocketRecord> m_socket;
  std::shared_ptr<std::atomic<uint64_t>> m_records;  // application data records; null on a plain connection
  uint64_t m_dataInBefore;
  uint64_t m_recordsBefore;
};

// Makes the library report every socket of the transfer as it opens and closes it; *opened turns
// true whenever the transfer opens one.
void WatchSockets(CURL* easy, bool* opened);
// For the library's callback of a secure connection's context: its application data is counted.
void CountApplicationData(void* sslContext);
// The connection the transfer has just taken, found by its addresses as the library names them
// before it sends a request; null when it is not known.
std::unique_ptr<cConnectionTraffic> TakeConnection(CURL* easy, const char* peerAddress, int peerPort,
                                                   const char* localAddress, int localPort);

}  // namespace platform
