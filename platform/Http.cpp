#include "platform/Http.h"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ConnectionTraffic.h"
#include "NoCase.h"
#include "ProxyRules.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/TextConv.h"

namespace {

constexpr long kConnectTimeoutS = 60;
constexpr long kSendReceiveTimeoutS = 30;
// How long a call waits while the other end moves no byte, either way.
constexpr auto kSendReceiveTimeout = std::chrono::seconds(kSendReceiveTimeoutS);
constexpr long kMaxRedirects = 10;
constexpr DWORD kMaxAnnouncedBytes = 64 * 1024;
// Received bytes kept ahead of the caller's reads; the transfer pauses beyond them.
constexpr size_t kWindowBytes = 64 * 1024;
// The longest a blocked call sleeps before it looks at its handle and deadline again.
constexpr auto kLongestPoll = std::chrono::seconds(1);

std::string Utf8(const wchar_t* text) { return text ? WideToUtf8(text) : std::string(); }

DWORD ErrorFromTransfer(CURLcode code) {
  switch (code) {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_WINHTTP_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_WINHTTP_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM: return ERROR_WINHTTP_SECURE_FAILURE;
    case CURLE_URL_MALFORMAT: return ERROR_WINHTTP_INVALID_URL;
    case CURLE_WRITE_ERROR:
    case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_WEIRD_SERVER_REPLY: return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    default: return ERROR_WINHTTP_CONNECTION_ERROR;
  }
}

// Adds the authorities of the trusted file to those the host already trusts, and counts what the
// connection receives.
CURLcode SetUpSecureContext(CURL*, void* sslContext, void*) {
  platform::CountApplicationData(sslContext);
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(platform::TrustedCaFile().c_str(), "rb"),
                                             &std::fclose);
  if (!file) return CURLE_OK;
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  while (X509* certificate = PEM_read_X509(file.get(), nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, certificate);
    X509_free(certificate);
  }
  return CURLE_OK;
}

// Base of the three kinds of handle, so that only they are closed as HINTERNET.
class cHttpObject : public platform::cKernelObject {};

void InitialiseTransferLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class cHttpSession : public cHttpObject {
 public:
  cHttpSession(std::string userAgent, DWORD accessType, const std::string& proxyName,
               const std::string& proxyBypass)
      : m_userAgent(std::move(userAgent)), m_proxyRules(accessType, proxyName, proxyBypass) {
    m_share = curl_share_init();
    curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, &cHttpSession::Lock);
    curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, &cHttpSession::Unlock);
    curl_share_setopt(m_share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    // Each request has a transfer of its own: a new connection resumes the secure session of
    // one before.
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  ~cHttpSession() override { curl_share_cleanup(m_share); }

  bool Valid() const { return m_share != nullptr; }
  CURLSH* Share() const { return m_share; }
  const std::string& UserAgent() const { return m_userAgent; }

  const platform::cProxyRules& ProxyRules() const { return m_proxyRules; }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* session) {
    static_cast<cHttpSession*>(session)->m_locks[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* session) {
    static_cast<cHttpSession*>(session)->m_locks[data].unlock();
  }

  std::string m_userAgent;
  platform::cProxyRules m_proxyRules;
  CURLSH* m_share = nullptr;
  std::mutex m_locks[CURL_LOCK_DATA_LAST];
};

// The handles of one request: a transfer (easy handle) of its own, driven through a multi handle,
// so that the caller's thread moves the transfer only as far as it reads, and another thread can
// wake it. The multi handle holds the connection that a request leaves kept alive, and the next
// request of the connection gets it, with it that connection. The transfer is new for each
// request: libcurl counts on a transfer the retries of kept connections found dead and clears the
// count only when it gives up, so one transfer for request after request would fail unsent once a
// server had closed a few kept connections; a fresh count still lets a request sent on a kept
// connection that the server had closed go out once more on a new one, as WinHTTP does.
struct cTransfer {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  ~cTransfer() {
    if (multi) curl_multi_cleanup(multi);
    if (easy) curl_easy_cleanup(easy);
  }
};

// A connection keeps one multi handle between its requests, so they share one kept-alive
// connection.
class cHttpConnection : public cHttpObject {
 public:
  cHttpConnection(std::shared_ptr<cHttpSession> session, std::string host, INTERNET_PORT port)
      : m_session(std::move(session)), m_host(std::move(host)), m_port(port), m_kept(curl_multi_init()) {}
  ~cHttpConnection() override {
    if (m_kept) curl_multi_cleanup(m_kept);
  }

  bool Valid() const { return m_kept != nullptr; }
  const cHttpSession& Session() const { return *m_session; }
  const std::string& Host() const { return m_host; }
  INTERNET_PORT Port() const { return m_port; }

  // A new transfer through the kept multi handle, or through a new one while another request of
  // the connection holds it; null when none can be made.
  std::unique_ptr<cTransfer> TakeTransfer() {
    auto transfer = std::make_unique<cTransfer>();
    {
      std::lock_guard<std::mutex> guard(m_lock);
      std::swap(transfer->multi, m_kept);
    }
    if (!transfer->multi) transfer->multi = curl_multi_init();
    transfer->easy = MakeEasy();
    if (!transfer->easy || !transfer->multi) return nullptr;
    return transfer;
  }
  // Keeps the multi handle of a transfer whose request is over, unless one is kept already.
  void GiveBack(std::unique_ptr<cTransfer> transfer) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_kept) std::swap(transfer->multi, m_kept);
  }

 private:
  // What every transfer of the connection has alike.
  CURL* MakeEasy() const;

  std::shared_ptr<cHttpSession> m_session;
  std::string m_host;
  INTERNET_PORT m_port;
  std::mutex m_lock;
  CURLM* m_kept;
};

CURL* cHttpConnection::MakeEasy() const {
  CURL* easy = curl_easy_init();
  if (!easy) return nullptr;
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_SHARE, m_session->Share());
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");  // the cookie engine, without a file
  if (!m_session->UserAgent().empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, m_session->UserAgent().c_str());
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
  // A proxy's answer to the tunnel is not the server's head.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // The host's authorities by their hashed folder, looked up as needed: loading the whole
  // bundle for every connection would cost more than the handshake.
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, X509_get_default_cert_dir());
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &SetUpSecureContext);
  return easy;
}

// One request. Send moves the transfer until the answer's head is in; each read moves it until
// bytes are there, and the transfer pauses while the bytes waiting for the caller fill the window.
// A call waits as long as the other end keeps moving bytes, and fails once it has moved none for
// the receive time-out; the answer's head has in all a little longer (connecting included).
class cHttpRequest : public cHttpObject {
 public:
  cHttpRequest(std::shared_ptr<cHttpConnection> connection, std::string verb, std::string path, bool secure)
      : m_connection(std::move(connection)), m_verb(std::move(verb)), m_path(std::move(path)), m_secure(secure) {}
  ~cHttpRequest() override;

  BOOL Send(const std::string& headerBlock, const void* body, DWORD bodyLength);
  BOOL Receive() {
    if (!m_sent) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    m_received = true;
    return TRUE;
  }
  BOOL Available(DWORD* available) {
    if (!m_received) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!Fill()) return FALSE;
    *available = static_cast<DWORD>(std::min<size_t>(Buffered(), kMaxAnnouncedBytes));
    return TRUE;
  }
  BOOL Read(void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
    if (!m_received) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!Fill()) return FALSE;
    size_t count = std::min<size_t>(Buffered(), bytesToRead);
    if (count) std::memcpy(buffer, m_window.data() + m_readPosition, count);
    m_readPosition += count;
    if (m_readPosition == m_window.size()) {
      m_window.clear();
      m_readPosition = 0;
    }
    if (bytesRead) *bytesRead = static_cast<DWORD>(count);
    return TRUE;
  }
  BOOL Status(DWORD* status) const {
    if (!m_received) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    *status = m_status;
    return TRUE;
  }
  const platform::cHttpProxyFailure& ProxyFailure() const { return m_proxyFailure; }
  // The handle is closed, perhaps by another thread while this one waits in a call.
  void OnClose() override {
    m_cancelled = true;
    if (CURLM* multi = m_wakeable.load()) curl_multi_wakeup(multi);
  }

 private:
  using Deadline = std::chrono::steady_clock::time_point;

  static BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
  }
  static size_t OnBody(char* data, size_t size, size_t count, void* request);
  static size_t OnHeader(char* data, size_t size, size_t count, void* request);
  static int OnConnectionReady(void* request, char* peerAddress, char* localAddress, int peerPort, int localPort);
  std::string Url() const;
  curl_slist* HeaderList(const std::string& headerBlock, bool hasBody) const;
  size_t Buffered() const { return m_window.size() - m_readPosition; }
  // Grows while the other end moves data; the connection's count when it is known.
  uint64_t Progress() const { return (m_traffic ? m_traffic->Moved() : 0) + m_delivered; }
  // Moves the transfer until ready() holds, the transfer ends, the handle is closed or the call
  // times out: at the deadline, or once connected when the other end has moved nothing for the
  // receive time-out.
  template <class Ready>
  void Drive(Ready ready, Deadline deadline);
  // Makes bytes available unless the body is over; false (with the error set) when the transfer
  // broke off, timed out or the handle was closed before any further byte came.
  bool Fill();
  // Why no whole head came.
  DWORD HeadError() const;
  // Tells the proxy's part in a request that failed before it reached its server.
  void NoteProxyFailure();

  std::shared_ptr<cHttpConnection> m_connection;
  std::string m_verb;
  std::string m_path;
  bool m_secure;
  const char* m_proxy = nullptr;  // as ProxyFor gives it
  bool m_sent = false;
  bool m_received = false;
  DWORD m_status = 0;
  std::unique_ptr<cTransfer> m_transfer;
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> m_headers{nullptr, &curl_slist_free_all};
  bool m_attached = false;  // the easy handle is in the multi handle
  bool m_done = false;      // the transfer has ended, with m_result
  CURLcode m_result = CURLE_OK;
  bool m_timedOut = false;
  bool m_paused = false;
  bool m_headComplete = false;
  bool m_headEnded = false;  // the head coming in last came to its empty line
  long m_answerStatus = 0;  // of the answer whose head is coming in
  bool m_answerMoves = false;  // that answer is a redirect the transfer follows
  // The connection the request went out on last, and how many it has taken.
  std::unique_ptr<platform::cConnectionTraffic> m_traffic;
  uint64_t m_delivered = 0;  // bytes of heads and bodies the transfer handed over
  unsigned m_connectionsTaken = 0;
  bool m_connecting = false;  // a socket was opened since the last connection was taken
  bool m_resendRefused = false;  // the answer had begun when its connection ended
  platform::cHttpProxyFailure m_proxyFailure;
  std::string m_window;     // received, not yet read
  size_t m_readPosition = 0;
  std::atomic<bool> m_cancelled{false};
  std::atomic<CURLM*> m_wakeable{nullptr};
};

cHttpRequest::~cHttpRequest() {
  if (!m_transfer) return;
  m_wakeable = nullptr;
  if (m_attached) curl_multi_remove_handle(m_transfer->multi, m_transfer->easy);
  // A transfer broken off mid-way is not used again.
  if (m_done) m_connection->GiveBack(std::move(m_transfer));
}

size_t cHttpRequest::OnBody(char* data, size_t size, size_t count, void* context) {
  auto* request = static_cast<cHttpRequest*>(context);
  request->m_headComplete = true;
  if (request->Buffered() >= kWindowBytes) {
    request->m_paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  try {
    request->m_window.append(data, size * count);
    request->m_delivered += size * count;
    return size * count;
  } catch (const std::bad_alloc&) {
    return 0;  // ends the transfer as a failed receive
  }
}

// The head is complete at the empty line of an answer that is neither interim (1xx) nor a
// redirect the transfer goes on to follow.
size_t cHttpRequest::OnHeader(char* data, size_t size, size_t count, void* context) {
  auto* request = static_cast<cHttpRequest*>(context);
  const std::string line(data, size * count);
  request->m_delivered += line.size();
  if (line.rfind("HTTP/", 0) == 0) {
    size_t blank = line.find(' ');
    request->m_answerStatus = blank == std::string::npos ? 0 : std::strtol(line.c_str() + blank + 1, nullptr, 10);
    request->m_answerMoves = false;
    request->m_headEnded = false;
  } else if (line.size() > 9 && platform::EqualNoCase(line.substr(0, 9), "location:")) {
    const long status = request->m_answerStatus;
    request->m_answerMoves = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  } else if (line == "\r\n" || line == "\n") {
    request->m_headEnded = true;
    const bool interim = request->m_answerStatus / 100 == 1;
    if (!interim && !request->m_answerMoves) request->m_headComplete = true;
  }
  return size * count;
}

// The transfer has a connection and is about to send on it: the first time, after a redirect, or
// once more because the kept connection it went out on ended before an answer. The transfer
// library counts only whole lines of a head as an answer begun, so it would also send once more
// after a status line cut short; the connection's own count decides instead.
int cHttpRequest::OnConnectionReady(void* context, char* peerAddress, char* localAddress, int peerPort, int localPort) {
  auto* request = static_cast<cHttpRequest*>(context);
  const bool again = request->m_connectionsTaken > 0 && !request->m_answerMoves;
  // A connection whose traffic is unknown counts as one whose answer began.
  if (again && (!request->m_traffic || request->m_traffic->AnswerBegan())) {
    request->m_resendRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  request->m_traffic =
      platform::TakeConnection(request->m_transfer->easy, peerAddress, peerPort, localAddress, localPort);
  ++request->m_connectionsTaken;
  request->m_connecting = false;
  request->m_answerMoves = false;
  return CURL_PREREQFUNC_OK;
}

std::string cHttpRequest::Url() const {
  const std::string& host = m_connection->Host();
  std::string url = m_secure ? "https://" : "http://";
  url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
  url += ":" + std::to_string(m_connection->Port());
  if (m_path.empty() || m_path[0] != '/') url += '/';
  return url + m_path;
}

// The caller's lines as they stand; an empty value takes the form that sends it empty. The
// transfer library's own "Accept", "Expect" and form content type are suppressed.
curl_slist* cHttpRequest::HeaderList(const std::string& headerBlock, bool hasBody) const {
  curl_slist* list = nullptr;
  bool hasAccept = false, hasExpect = false, hasContentType = false;
  size_t start = 0;
  while (start < headerBlock.size()) {
    size_t end = headerBlock.find("\r\n", start);
    if (end == std::string::npos) end = headerBlock.size();
    std::string line = headerBlock.substr(start, end - start);
    start = end + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string name = line.substr(0, colon);
    hasAccept |= platform::EqualNoCase(name, "Accept");
    hasExpect |= platform::EqualNoCase(name, "Expect");
    hasContentType |= platform::EqualNoCase(name, "Content-Type");
    if (line.find_first_not_of(" \t", colon + 1) == std::string::npos) line = name + ";";
    list = curl_slist_append(list, line.c_str());
  }
  if (!hasAccept) list = curl_slist_append(list, "Accept:");
  if (!hasExpect) list = curl_slist_append(list, "Expect:");
  if (hasBody && !hasContentType) list = curl_slist_append(list, "Content-Type:");
  return list;
}

template <class Ready>
void cHttpRequest::Drive(Ready ready, Deadline deadline) {
  CURLM* multi = m_transfer->multi;
  unsigned watched = m_connectionsTaken;
  uint64_t moved = Progress();
  auto lastMove = std::chrono::steady_clock::now();
  while (!ready() && !m_done && !m_cancelled) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      m_done = true;
      m_result = message->data.result;
    }
    if (ready() || m_done || m_cancelled) return;
    const auto now = std::chrono::steady_clock::now();
    const uint64_t movedNow = Progress();
    if (watched != m_connectionsTaken || movedNow != moved) {
      watched = m_connectionsTaken;
      moved = movedNow;
      lastMove = now;
    }
    // While it connects, the transfer keeps its own time-out.
    const bool connected = m_connectionsTaken > 0 && !m_connecting;
    const Deadline silenceEnds = connected ? lastMove + kSendReceiveTimeout : Deadline::max();
    const Deadline end = std::min(deadline, silenceEnds);
    if (now >= end) {
      m_timedOut = true;
      return;
    }
    const auto wait = std::min<std::chrono::steady_clock::duration>(end - now, kLongestPoll);
    curl_multi_poll(multi, nullptr, 0,
                    static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) + 1, nullptr);
  }
}

bool cHttpRequest::Fill() {
  if (Buffered() == 0 && !m_done && !m_cancelled && !m_timedOut) {
    if (m_paused) {
      m_paused = false;
      curl_easy_pause(m_transfer->easy, CURLPAUSE_CONT);
    }
    Drive([this] { return Buffered() > 0; }, Deadline::max());
  }
  if (m_cancelled) return Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
  if (Buffered() > 0) return true;
  if (m_timedOut) return Fail(ERROR_WINHTTP_TIMEOUT);
  if (m_done && m_result != CURLE_OK) return Fail(ErrorFromTransfer(m_result));
  return true;
}

// A head that broke off is no answer, whatever of it came: the transfer library takes one cut off
// by the end of the connection for whole, or for none when not one line of it came.
DWORD cHttpRequest::HeadError() const {
  if (m_timedOut) return ERROR_WINHTTP_TIMEOUT;
  const bool cutOff = m_resendRefused || m_result == CURLE_OK ||
                      (m_result == CURLE_GOT_NOTHING && m_traffic && m_traffic->AnswerBegan());
  return cutOff ? ERROR_WINHTTP_INVALID_SERVER_RESPONSE : ErrorFromTransfer(m_result);
}

// A request fails at its proxy when it ends before it has a connection through it: the proxy
// cannot be reached, or refuses the tunnel, or says nothing.
void cHttpRequest::NoteProxyFailure() {
  if (m_resendRefused) return;
  CURL* transfer = m_transfer->easy;
  long tunnelStatus = 0;
  curl_easy_getinfo(transfer, CURLINFO_HTTP_CONNECTCODE, &tunnelStatus);
  const bool tunnelled = tunnelStatus >= 200 && tunnelStatus < 300;
  const bool beforeConnection = !m_traffic || m_connecting;
  if (tunnelled || (!beforeConnection && m_result != CURLE_COULDNT_RESOLVE_PROXY)) return;
  std::string proxy;
  if (m_proxy && *m_proxy) {
    proxy = m_proxy;
    proxy.erase(0, proxy.find("://") + 3);
  } else if (!m_proxy && tunnelStatus != 0) {  // the environment's proxy answered the tunnel
    char* address = nullptr;
    long port = 0;
    curl_easy_getinfo(transfer, CURLINFO_PRIMARY_IP, &address);
    curl_easy_getinfo(transfer, CURLINFO_PRIMARY_PORT, &port);
    if (address) proxy = std::string(address) + ":" + std::to_string(port);
  }
  m_proxyFailure = platform::cHttpProxyFailure{proxy, static_cast<DWORD>(tunnelStatus)};
}

BOOL cHttpRequest::Send(const std::string& headerBlock, const void* body, DWORD bodyLength) {
  if (m_sent) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  m_sent = true;
  if (m_cancelled) return Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
  m_transfer = m_connection->TakeTransfer();
  if (!m_transfer) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  bool get = m_verb == "GET" || m_verb == "HEAD";
  m_headers.reset(HeaderList(headerBlock, !get));
  std::string url = Url();
  CURL* transfer = m_transfer->easy;
  curl_easy_setopt(transfer, CURLOPT_URL, url.c_str());
  m_proxy = m_connection->Session().ProxyRules().ProxyFor(m_connection->Host(), m_secure);
  curl_easy_setopt(transfer, CURLOPT_PROXY, m_proxy);
  // Only the automatic mode takes the environment's word on which hosts go direct.
  curl_easy_setopt(transfer, CURLOPT_NOPROXY, m_proxy ? "" : nullptr);
  curl_easy_setopt(transfer, CURLOPT_REDIR_PROTOCOLS_STR, m_secure ? "https" : "http,https");
  curl_easy_setopt(transfer, CURLOPT_HTTPHEADER, m_headers.get());
  curl_easy_setopt(transfer, CURLOPT_WRITEFUNCTION, &cHttpRequest::OnBody);
  curl_easy_setopt(transfer, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(transfer, CURLOPT_HEADERFUNCTION, &cHttpRequest::OnHeader);
  curl_easy_setopt(transfer, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(transfer, CURLOPT_PREREQFUNCTION, &cHttpRequest::OnConnectionReady);
  curl_easy_setopt(transfer, CURLOPT_PREREQDATA, this);
  platform::WatchSockets(transfer, &m_connecting);
  curl_easy_setopt(transfer, CURLOPT_NOBODY, m_verb == "HEAD" ? 1L : 0L);
  curl_easy_setopt(transfer, CURLOPT_CUSTOMREQUEST, get || m_verb == "POST" ? nullptr : m_verb.c_str());
  if (get) {
    if (m_verb == "GET") curl_easy_setopt(transfer, CURLOPT_HTTPGET, 1L);
  } else {
    // A copy: the caller's buffer need not outlive the send.
    curl_easy_setopt(transfer, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    curl_easy_setopt(transfer, CURLOPT_COPYPOSTFIELDS, body ? body : "");
  }
  if (curl_multi_add_handle(m_transfer->multi, transfer) != CURLM_OK) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  m_attached = true;
  m_wakeable = m_transfer->multi;
  Drive([this] { return m_headComplete; },
        std::chrono::steady_clock::now() + std::chrono::seconds(kConnectTimeoutS + kSendReceiveTimeoutS));
  if (m_cancelled) return Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
  long status = 0;
  curl_easy_getinfo(transfer, CURLINFO_RESPONSE_CODE, &status);
  if (m_timedOut || !m_headEnded || status == 0) {
    NoteProxyFailure();
    return Fail(HeadError());
  }
  m_status = static_cast<DWORD>(status);
  return TRUE;
}

template <class T>
std::shared_ptr<T> Lookup(HINTERNET handle) {
  auto object = platform::LookupHandle(handle);
  if (!object) return nullptr;
  auto typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
  return typed;
}

}  // namespace

HINTERNET WinHttpOpen(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxyName,
                      const wchar_t* proxyBypass, DWORD flags) {
  bool knownAccess = accessType == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY || accessType == WINHTTP_ACCESS_TYPE_NO_PROXY ||
                     accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY || accessType == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
  if (flags != 0 || !knownAccess) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  InitialiseTransferLibrary();
  auto session = std::make_shared<cHttpSession>(Utf8(userAgent), accessType, Utf8(proxyName), Utf8(proxyBypass));
  if (session->ProxyRules().NamesNoProxy()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!session->Valid()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return platform::RegisterHandle(session);
}

HINTERNET WinHttpConnect(HINTERNET sessionHandle, const wchar_t* serverName, INTERNET_PORT port, DWORD) {
  auto session = Lookup<cHttpSession>(sessionHandle);
  if (!session) return nullptr;
  std::string host = Utf8(serverName);
  if (host.empty() || host.find_first_of("/ \t\r\n") != std::string::npos) {
    SetLastError(ERROR_WINHTTP_INVALID_URL);
    return nullptr;
  }
  auto connection = std::make_shared<cHttpConnection>(session, host, port);
  if (!connection->Valid()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return platform::RegisterHandle(connection);
}

HINTERNET WinHttpOpenRequest(HINTERNET connectionHandle, const wchar_t* verb, const wchar_t* objectName,
                             const wchar_t* version, const wchar_t* referrer, const wchar_t** acceptTypes,
                             DWORD flags) {
  auto connection = Lookup<cHttpConnection>(connectionHandle);
  if (!connection) return nullptr;
  if (version || referrer || acceptTypes || (flags & ~WINHTTP_FLAG_SECURE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string method = verb && *verb ? Utf8(verb) : "GET";
  auto request = std::make_shared<cHttpRequest>(connection, method, Utf8(objectName),
                                                (flags & WINHTTP_FLAG_SECURE) != 0);
  return platform::RegisterHandle(request);
}

BOOL WinHttpSendRequest(HINTERNET requestHandle, const wchar_t* headers, DWORD headersLength,
                        const void* optional, DWORD optionalLength, DWORD totalLength, uintptr_t) {
  auto request = Lookup<cHttpRequest>(requestHandle);
  if (!request) return FALSE;
  if (totalLength != optionalLength) {  // later writes of the body are not part of this stand-in
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string headerBlock;
  if (headers)
    headerBlock = headersLength == static_cast<DWORD>(-1) ? Utf8(headers)
                                                          : WideToUtf8({headers, headersLength});
  return request->Send(headerBlock, optional, optionalLength);
}

BOOL WinHttpReceiveResponse(HINTERNET requestHandle, void*) {
  auto request = Lookup<cHttpRequest>(requestHandle);
  return request ? request->Receive() : FALSE;
}

BOOL WinHttpQueryDataAvailable(HINTERNET requestHandle, DWORD* available) {
  auto request = Lookup<cHttpRequest>(requestHandle);
  if (!request) return FALSE;
  DWORD ignored = 0;
  return request->Available(available ? available : &ignored);
}

BOOL WinHttpReadData(HINTERNET requestHandle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
  auto request = Lookup<cHttpRequest>(requestHandle);
  return request ? request->Read(buffer, bytesToRead, bytesRead) : FALSE;
}

BOOL WinHttpQueryHeaders(HINTERNET requestHandle, DWORD infoLevel, const wchar_t*, void* buffer,
                         DWORD* bufferLength, DWORD*) {
  auto request = Lookup<cHttpRequest>(requestHandle);
  if (!request) return FALSE;
  if ((infoLevel & ~WINHTTP_QUERY_FLAG_NUMBER) != WINHTTP_QUERY_STATUS_CODE || !bufferLength) {
    SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
    return FALSE;
  }
  DWORD status = 0;
  if (!request->Status(&status)) return FALSE;
  if (infoLevel & WINHTTP_QUERY_FLAG_NUMBER) {
    if (*bufferLength < sizeof(DWORD) || !buffer) {
      *bufferLength = sizeof(DWORD);
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(buffer, &status, sizeof(DWORD));
    *bufferLength = sizeof(DWORD);
    return TRUE;
  }
  std::wstring text = std::to_wstring(status);
  DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  if (*bufferLength < needed || !buffer) {
    *bufferLength = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, text.c_str(), needed);
  *bufferLength = needed - sizeof(wchar_t);
  return TRUE;
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
  if (!Lookup<cHttpObject>(handle)) return FALSE;
  return CloseHandle(handle);
}

namespace platform {
std::string TrustedCaFile() { return StateFolder() + "/trusted-ca.pem"; }

cHttpProxyFailure HttpProxyFailure(HINTERNET requestHandle) {
  auto request = Lookup<cHttpRequest>(requestHandle);
  return request ? request->ProxyFailure() : cHttpProxyFailure();
}
}  // namespace platform
