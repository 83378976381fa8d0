// The WinHTTP stand-in against the fake servers: trust, what goes on the wire, proxies, cookies,
// redirects and broken transfers.

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/Http.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/FakeHttpServer.h"
#include "tests/support/FakeProxy.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/OneShotServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/WaitUntil.h"

namespace {

struct cHandle {
  explicit cHandle(HINTERNET value) : handle(value) {}
  ~cHandle() {
    if (handle) WinHttpCloseHandle(handle);
  }
  cHandle(const cHandle&) = delete;
  cHandle& operator=(const cHandle&) = delete;
  HINTERNET handle;
};

struct cExchange {
  bool sent = false;
  DWORD sendError = 0;
  DWORD status = 0;
  std::string body;
  DWORD readError = 0;  // the error that ended the body, 0 at its regular end
};

cExchange Fetch(HINTERNET session, int port, bool secure, const wchar_t* verb, const std::wstring& path,
                const std::wstring& headers = L"", const std::string& body = "", const wchar_t* host = L"127.0.0.1") {
  cExchange exchange;
  cHandle connection(WinHttpConnect(session, host, static_cast<INTERNET_PORT>(port), 0));
  cHandle request(WinHttpOpenRequest(connection.handle, verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request.handle) return exchange;
  exchange.sent = WinHttpSendRequest(request.handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                     static_cast<DWORD>(headers.size()), body.data(), static_cast<DWORD>(body.size()),
                                     static_cast<DWORD>(body.size()), 0) &&
                  WinHttpReceiveResponse(request.handle, nullptr);
  if (!exchange.sent) {
    exchange.sendError = GetLastError();
    return exchange;
  }
  DWORD size = sizeof exchange.status;
  WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                      &exchange.status, &size, WINHTTP_NO_HEADER_INDEX);
  DWORD available = 0;
  while (true) {
    if (!WinHttpQueryDataAvailable(request.handle, &available)) {
      exchange.readError = GetLastError();
      break;
    }
    if (available == 0) break;
    std::string chunk(available, '\0');
    DWORD read = 0;
    WinHttpReadData(request.handle, chunk.data(), available, &read);
    exchange.body.append(chunk.data(), read);
  }
  return exchange;
}

HINTERNET DirectSession() {
  return WinHttpOpen(L"Varlo Test/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

class HttpTest : public cServerTest {
 protected:
  void SetUp() override {
    cServerTest::SetUp();
    ASSERT_TRUE(m_Server.Start());
    m_Server.Script("GET", "/hello", cScriptedAnswer{200, "hi", "text/plain"});
  }
  cFakeHttpServer m_Server{&m_Authority};
};

TEST_F(HttpTest, TrustsOnlyTheConfiguredAuthority) {
  cTestCertificateAuthority stranger;
  cFakeHttpServer strangerServer(&stranger);
  ASSERT_TRUE(strangerServer.Start());
  strangerServer.Script("GET", "/hello", cScriptedAnswer{200, "hi", "text/plain"});
  cHandle session(DirectSession());

  cExchange trusted = Fetch(session.handle, m_Server.Port(), true, nullptr, L"/hello");
  EXPECT_TRUE(trusted.sent);
  EXPECT_EQ(200u, trusted.status);
  EXPECT_EQ("hi", trusted.body);

  cExchange refused = Fetch(session.handle, strangerServer.Port(), true, nullptr, L"/hello");
  EXPECT_FALSE(refused.sent);
  EXPECT_EQ(ERROR_WINHTTP_SECURE_FAILURE, refused.sendError);
  EXPECT_EQ(0u, strangerServer.RequestCount());
}

TEST_F(HttpTest, SendsTheCallersHeadersAndBodyAndNothingMore) {
  cHandle session(DirectSession());
  std::string body(5000, 'x');  // large enough for a client that would ask "Expect: 100-continue"
  cExchange exchange = Fetch(session.handle, m_Server.Port(), true, L"PUT", L"/put",
                             L"Content-Type: application/json\r\nX-Value: 1\r\n", body);
  EXPECT_TRUE(exchange.sent);
  ASSERT_EQ(1u, m_Server.RequestCount());
  cRecordedRequest request = m_Server.Requests()[0];
  EXPECT_EQ("PUT", request.method);
  EXPECT_EQ(body, request.body);
  EXPECT_EQ("application/json", request.Header("Content-Type"));
  EXPECT_EQ("1", request.Header("X-Value"));
  EXPECT_EQ("Varlo Test/1", request.Header("User-Agent"));
  for (const char* added : {"Accept", "Expect", "Accept-Encoding", "Transfer-Encoding"}) {
    EXPECT_FALSE(request.HasHeader(added)) << added;
  }
}

TEST_F(HttpTest, HeadersGoOutInTheirOrderWithEmptyValuesKept) {
  cOneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  ASSERT_TRUE(server.Valid());
  cHandle session(DirectSession());
  Fetch(session.handle, server.Port(), false, L"POST", L"/p?b=2&a=1", L"B-First: 1\r\nX-Empty:\r\nA-Last: 2\r\n", "{}");
  std::string head = server.Head();
  EXPECT_EQ(0u, head.find("POST /p?b=2&a=1 HTTP/1.1\r\n")) << head;
  size_t first = head.find("B-First: 1\r\n"), empty = head.find("X-Empty:"), last = head.find("A-Last: 2\r\n");
  ASSERT_NE(std::string::npos, empty) << head;
  EXPECT_LT(first, empty);
  EXPECT_LT(empty, last);
  EXPECT_NE(std::string::npos, head.find("Content-Length: 2\r\n"));
  EXPECT_EQ(std::string::npos, head.find("Content-Type")) << head;
}

TEST_F(HttpTest, PathAndQueryGoExactlyAsGiven) {
  cHandle session(DirectSession());
  const std::wstring path = L"/a/../b/c?z=1&a=%41&m=a+b&k=";
  Fetch(session.handle, m_Server.Port(), true, nullptr, path);
  ASSERT_EQ(1u, m_Server.RequestCount());
  EXPECT_EQ("/a/../b/c?z=1&a=%41&m=a+b&k=", m_Server.Requests()[0].target);
  EXPECT_EQ("GET", m_Server.Requests()[0].method);
}

TEST_F(HttpTest, ErrorPagesKeepStatusAndBody) {
  cHandle session(DirectSession());
  cExchange exchange = Fetch(session.handle, m_Server.Port(), true, nullptr, L"/missing");
  EXPECT_TRUE(exchange.sent);
  EXPECT_EQ(404u, exchange.status);
  EXPECT_EQ("<html>Not Found</html>", exchange.body);
  EXPECT_EQ(0u, exchange.readError);
}

TEST_F(HttpTest, FollowsRedirectsAndKeepsCookiesPerSession) {
  m_Server.Script("GET", "/moved", cScriptedAnswer{302, "", "text/plain", {{"Location", "/hello"}}});
  m_Server.Script("GET", "/login", cScriptedAnswer{200, "in", "text/plain", {{"Set-Cookie", "sid=42; Path=/"}}});
  cHandle session(DirectSession());
  cExchange redirected = Fetch(session.handle, m_Server.Port(), true, nullptr, L"/moved");
  EXPECT_EQ(200u, redirected.status);
  EXPECT_EQ("hi", redirected.body);

  Fetch(session.handle, m_Server.Port(), true, nullptr, L"/login");
  Fetch(session.handle, m_Server.Port(), true, nullptr, L"/hello");
  cHandle otherSession(DirectSession());
  Fetch(otherSession.handle, m_Server.Port(), true, nullptr, L"/hello");
  std::vector<cRecordedRequest> requests = m_Server.Requests();
  ASSERT_EQ(5u, requests.size());
  EXPECT_EQ("sid=42", requests[3].Header("Cookie"));
  EXPECT_FALSE(requests[4].HasHeader("Cookie"));
}

TEST_F(HttpTest, NoRedirectFromHttpsToHttp) {
  cFakeHttpServer plain(nullptr);
  ASSERT_TRUE(plain.Start());
  m_Server.Script("GET", "/down", cScriptedAnswer(302, "", "text/plain", {{"Location", plain.Url("/hello")}}));
  cHandle session(DirectSession());
  cExchange exchange = Fetch(session.handle, m_Server.Port(), true, nullptr, L"/down");
  EXPECT_EQ(302u, exchange.status);
  EXPECT_EQ(0u, plain.RequestCount());
}

TEST_F(HttpTest, PlainHttpWithoutTheSecureFlag) {
  cFakeHttpServer plain(nullptr);
  ASSERT_TRUE(plain.Start());
  plain.Script("GET", "/hello", cScriptedAnswer{200, "plain", "text/plain"});
  cHandle session(DirectSession());
  cExchange exchange = Fetch(session.handle, plain.Port(), false, nullptr, L"/hello");
  EXPECT_EQ(200u, exchange.status);
  EXPECT_EQ("plain", exchange.body);
}

TEST_F(HttpTest, RequestsOfOneConnectionHandleShareOneKeptConnection) {
  cHandle session(DirectSession());
  cHandle connection(WinHttpConnect(session.handle, L"127.0.0.1", static_cast<INTERNET_PORT>(m_Server.Port()), 0));
  for (int i = 0; i < 3; ++i) {
    cHandle request(WinHttpOpenRequest(connection.handle, nullptr, L"/hello", nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    ASSERT_TRUE(WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) &&
                WinHttpReceiveResponse(request.handle, nullptr));
    char answer[4] = {};
    DWORD read = 0;
    EXPECT_TRUE(WinHttpReadData(request.handle, answer, sizeof answer, &read));
  }
  EXPECT_EQ(3u, m_Server.RequestCount());
  EXPECT_EQ(1u, m_Server.AcceptedConnections());
}

// Each request after the first goes out on the kept connection that the server closed while it was
// idle, and is sent again on a new one.
TEST_F(HttpTest, EveryRequestOnOneConnectionArrivesAfterTheServerClosedItWhileIdle) {
  cFakeHttpServer closing(&m_Authority);
  closing.LimitConnections(1, 1000);
  ASSERT_TRUE(closing.Start());
  closing.Script("POST", "/upload", cScriptedAnswer{200, "taken", "text/plain"});
  cHandle session(DirectSession());
  cHandle connection(WinHttpConnect(session.handle, L"127.0.0.1", static_cast<INTERNET_PORT>(closing.Port()), 0));
  constexpr int kRequests = 50;
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] { return closing.OpenConnections() == 0; }));
    cHandle request(WinHttpOpenRequest(connection.handle, L"POST", L"/upload", nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    const std::string body = std::to_string(i);
    ASSERT_TRUE(WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body.data(),
                                   static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) &&
                WinHttpReceiveResponse(request.handle, nullptr))
        << "request " << i + 1 << ": " << GetLastError();
    char answer[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(WinHttpReadData(request.handle, answer, sizeof answer, &read));
    EXPECT_EQ("taken", std::string(answer, read));
  }
  const std::vector<cRecordedRequest> requests = closing.Requests();
  ASSERT_EQ(static_cast<size_t>(kRequests), requests.size());
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(std::to_string(i), requests[i].body);
  EXPECT_EQ(static_cast<size_t>(kRequests), closing.AcceptedConnections());
}

TEST_F(HttpTest, RefusedConnectionFailsTheSend) {
  cRefusingPort refusing;
  cHandle session(DirectSession());
  cExchange exchange = Fetch(session.handle, refusing.Port(), true, nullptr, L"/hello");
  EXPECT_FALSE(exchange.sent);
  EXPECT_EQ(ERROR_WINHTTP_CANNOT_CONNECT, exchange.sendError);
}

TEST_F(HttpTest, NamedProxyCarriesRequestsExceptForBypassedHosts) {
  cFakeProxy proxy;
  ASSERT_TRUE(proxy.Start());
  const std::string address = proxy.Address();
  const std::wstring proxyName(address.begin(), address.end());
  struct cCase {
    const wchar_t* proxyList;  // "%" stands for the proxy's address
    const wchar_t* bypass;
    const wchar_t* host;
    bool throughProxy;
  } cases[] = {
      {L"%", nullptr, L"127.0.0.1", true},
      {L"https=%", nullptr, L"127.0.0.1", true},
      {L"http=127.0.0.1:1;https=%", nullptr, L"localhost", true},
      {L"%", L"*.example.test;127.0.0.*", L"127.0.0.1", false},
      {L"%", L"<local>", L"localhost", false},
      {L"%", L"<local>", L"127.0.0.1", true},
      {L"%", L"LOCALHOST", L"localhost", false},
  };
  for (const cCase& test : cases) {
    std::wstring list = test.proxyList;
    list.replace(list.find(L'%'), 1, proxyName);
    size_t before = proxy.RequestLines().size();
    cHandle session(WinHttpOpen(L"Varlo Test/1", WINHTTP_ACCESS_TYPE_NAMED_PROXY, list.c_str(), test.bypass, 0));
    cExchange exchange = Fetch(session.handle, m_Server.Port(), true, nullptr, L"/hello", L"", "", test.host);
    EXPECT_EQ("hi", exchange.body) << std::string(list.begin(), list.end());
    std::vector<std::string> lines = proxy.RequestLines();
    EXPECT_EQ(test.throughProxy ? before + 1 : before, lines.size()) << std::string(list.begin(), list.end());
    if (test.throughProxy && lines.size() > before) {
      std::string host(test.host, test.host + std::wcslen(test.host));
      EXPECT_EQ("CONNECT " + host + ":" + std::to_string(m_Server.Port()) + " HTTP/1.1", lines.back());
    }
  }
}

// The environment stands in for the system's automatic proxy settings, its list of hosts that go
// direct included.
TEST_F(HttpTest, AutomaticModeTakesTheEnvironmentsProxy) {
  cFakeProxy proxy;
  ASSERT_TRUE(proxy.Start());
  cScopedEnvironment environment({{"https_proxy", "http://" + proxy.Address()}});
  cHandle session(WinHttpOpen(L"Varlo Test/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
  EXPECT_EQ("hi", Fetch(session.handle, m_Server.Port(), true, nullptr, L"/hello").body);
  EXPECT_EQ(1u, proxy.RequestLines().size());
  cScopedEnvironment direct({{"no_proxy", "127.0.0.1"}});
  EXPECT_EQ("hi", Fetch(session.handle, m_Server.Port(), true, nullptr, L"/hello").body);
  EXPECT_EQ(1u, proxy.RequestLines().size());
}

// A server that hangs up within its answer: within the head, there is no answer (the transfer
// library would take a head cut off so for whole); within the body, what came stays readable.
TEST_F(HttpTest, AnAnswerCutOffByTheEndOfTheConnection) {
  struct cCase {
    const char* answer;
    bool sent;
    DWORD error;  // of the send, or of the read after the body received
    const char* body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Le", false, ERROR_WINHTTP_INVALID_SERVER_RESPONSE, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhello", true, ERROR_WINHTTP_CONNECTION_ERROR, "hello"},
  };
  cHandle session(DirectSession());
  for (const cCase& test : cases) {
    cOneShotServer server(test.answer);
    ASSERT_TRUE(server.Valid());
    cExchange exchange = Fetch(session.handle, server.Port(), false, nullptr, L"/cut");
    EXPECT_EQ(test.sent, exchange.sent) << test.answer;
    EXPECT_EQ(test.error, test.sent ? exchange.readError : exchange.sendError) << test.answer;
    EXPECT_EQ(test.body, exchange.body) << test.answer;
  }
}

TEST_F(HttpTest, AnEndlessBodyIsReceivedOnlyAsFarAsItIsRead) {
  m_Server.Script("GET", "/endless", cScriptedAnswer::Endless("{", "0,"));
  cHandle session(DirectSession());
  cHandle connection(WinHttpConnect(session.handle, L"127.0.0.1", static_cast<INTERNET_PORT>(m_Server.Port()), 0));
  cHandle request(WinHttpOpenRequest(connection.handle, nullptr, L"/endless", nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  ASSERT_TRUE(WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0));
  ASSERT_TRUE(WinHttpReceiveResponse(request.handle, nullptr));
  std::string body;
  DWORD available = 0;
  while (body.size() < 1000000 && WinHttpQueryDataAvailable(request.handle, &available) && available > 0) {
    EXPECT_LE(available, 64u * 1024u);
    std::string chunk(available, '\0');
    DWORD read = 0;
    ASSERT_TRUE(WinHttpReadData(request.handle, chunk.data(), available, &read));
    body.append(chunk.data(), read);
  }
  EXPECT_GE(body.size(), 1000000u);
  EXPECT_EQ("{0,0,", body.substr(0, 5));
}

// The closing thread ends a call that waits for an answer's head, and one that waits for its body.
TEST_F(HttpTest, ClosingARequestFromAnotherThreadEndsTheCallThatWaitsOnIt) {
  cSilentPort silent;
  ASSERT_TRUE(silent.Listening());
  m_Server.Script("GET", "/drip", cScriptedAnswer::Dripping("", "."));
  struct cCase {
    int port;
    bool secure;
    const wchar_t* path;
    bool waitsForBody;
  } cases[] = {{silent.Port(), false, L"/silent", false}, {m_Server.Port(), true, L"/drip", true}};
  cHandle session(DirectSession());
  for (const cCase& test : cases) {
    cHandle connection(WinHttpConnect(session.handle, L"127.0.0.1", static_cast<INTERNET_PORT>(test.port), 0));
    HINTERNET request = WinHttpOpenRequest(connection.handle, nullptr, test.path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, test.secure ? WINHTTP_FLAG_SECURE : 0);
    std::atomic<bool> done{false};
    bool succeeded = true;
    DWORD error = 0;
    std::thread caller([&] {
      succeeded = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) &&
                  WinHttpReceiveResponse(request, nullptr);
      std::string chunk(16, '\0');
      DWORD read = 0;
      // The drip's bytes come one at a time; the call that waits for one after them is the one closed.
      while (succeeded && test.waitsForBody) succeeded = WinHttpReadData(request, chunk.data(), 16, &read);
      error = GetLastError();
      done = true;
    });
    if (test.secure) {
      EXPECT_TRUE(WaitUntil(20000, [&] { return m_Server.RequestCount() > 0; }));
    } else {
      EXPECT_TRUE(silent.AwaitConnection(20000)) << "no connection came";
    }
    EXPECT_TRUE(WinHttpCloseHandle(request));
    EXPECT_TRUE(WaitUntil(20000, [&] { return done.load(); })) << "the call still waits";
    caller.join();
    EXPECT_FALSE(succeeded);
    EXPECT_TRUE(error == ERROR_WINHTTP_OPERATION_CANCELLED || error == ERROR_INVALID_HANDLE) << error;
  }
}

TEST(HttpHandles, RefuseMisuse) {
  // A named proxy list that names no proxy never turns into going direct.
  EXPECT_EQ(nullptr, WinHttpOpen(L"x", WINHTTP_ACCESS_TYPE_NAMED_PROXY, nullptr, nullptr, 0));
  for (const wchar_t* list : {L"", L" ", L" ; ;"}) {
    EXPECT_EQ(nullptr, WinHttpOpen(L"x", WINHTTP_ACCESS_TYPE_NAMED_PROXY, list, nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  }
  EXPECT_EQ(nullptr, WinHttpConnect(nullptr, L"127.0.0.1", 80, 0));
  cHandle session(DirectSession());
  EXPECT_EQ(nullptr, WinHttpConnect(session.handle, L"", 80, 0));
  // A session is not a connection.
  EXPECT_EQ(nullptr, WinHttpOpenRequest(session.handle, nullptr, L"/", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, GetLastError());
  EXPECT_FALSE(WinHttpCloseHandle(nullptr));
}

}  // namespace
