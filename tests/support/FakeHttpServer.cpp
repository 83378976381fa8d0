#include "tests/support/FakeHttpServer.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/TestCertificateAuthority.h"

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// The server library files its connection details among the headers.
bool IsConnectionDetail(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

}  // namespace

std::string cStreamedBody::Piece(uint64_t offset, size_t count) const {
  std::string piece;
  piece.reserve(count);
  for (; piece.size() < count && (length == 0 || offset < length); ++offset) {
    piece += offset < head.size() ? head[offset] : unit[(offset - head.size()) % unit.size()];
  }
  return piece;
}

namespace {

constexpr size_t kStreamedPiece = 16384;

cScriptedAnswer Streamed(cStreamedBody body) {
  cScriptedAnswer answer(200, body.head);
  answer.streamed = std::make_shared<const cStreamedBody>(std::move(body));
  return answer;
}

// Sends the next piece of a streamed body; false once the client has gone.
bool SendPiece(const cStreamedBody& body, uint64_t offset, httplib::DataSink& sink) {
  size_t count = kStreamedPiece;
  if (body.pause.count() > 0) {
    if (offset < body.head.size()) {
      count = body.head.size() - offset;
    } else {
      std::this_thread::sleep_for(body.pause);
      count = 1;
    }
  }
  const std::string piece = body.Piece(offset, count);
  return sink.write(piece.data(), piece.size());
}

}  // namespace

cScriptedAnswer cScriptedAnswer::Endless(std::string head, std::string unit) {
  return Streamed(cStreamedBody{std::move(head), std::move(unit), 0, {}});
}

cScriptedAnswer cScriptedAnswer::Dripping(std::string head, std::string unit) {
  return Streamed(cStreamedBody{std::move(head), std::move(unit), 0, std::chrono::milliseconds(500)});
}

cScriptedAnswer cScriptedAnswer::Oversized(std::string head, std::string unit, uint64_t length) {
  return Streamed(cStreamedBody{std::move(head), std::move(unit), length, {}});
}

cScriptedAnswer cScriptedAnswer::Trickling(std::string head, std::string rest, std::chrono::milliseconds pause) {
  const uint64_t length = head.size() + rest.size();
  return Streamed(cStreamedBody{std::move(head), std::move(rest), length, pause});
}

bool cRecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualNoCase(header.first, name)) return true;
  }
  return false;
}

std::string cRecordedRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualNoCase(header.first, name)) return header.second;
  }
  return std::string();
}

class cFakeHttpServer::cImpl {
 public:
  explicit cImpl(const cTestCertificateAuthority* authority)
      : server(authority ? std::unique_ptr<httplib::Server>(new httplib::SSLServer(
                               authority->ServerCertificateFile().c_str(), authority->ServerKeyFile().c_str()))
                         : std::make_unique<httplib::Server>()) {}
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  std::atomic<size_t> accepted{0};
  std::atomic<size_t> open{0};
};

// The server library's pool of connection tasks; a task ends once its connection is closed.
class cFakeHttpServer::cCountingQueue : public httplib::TaskQueue {
 public:
  explicit cCountingQueue(cImpl& impl) : m_impl(impl), m_pool(CPPHTTPLIB_THREAD_POOL_COUNT) {}
  void enqueue(std::function<void()> serve) override {
    ++m_impl.accepted;
    ++m_impl.open;
    m_pool.enqueue([this, serve = std::move(serve)] {
      serve();
      --m_impl.open;
    });
  }
  void shutdown() override { m_pool.shutdown(); }

 private:
  cImpl& m_impl;
  httplib::ThreadPool m_pool;
};

cFakeHttpServer::cFakeHttpServer(const cTestCertificateAuthority* authority)
    : m_secure(authority != nullptr), m_impl(std::make_unique<cImpl>(authority)) {}

cFakeHttpServer::~cFakeHttpServer() { Stop(); }

bool cFakeHttpServer::Start(int port) {
  httplib::Server& server = *m_impl->server;
  if (!server.is_valid() || m_impl->listener.joinable()) return false;
  server.set_keep_alive_timeout(m_idleSeconds);
  server.set_keep_alive_max_count(static_cast<size_t>(m_requestsPerConnection));
  server.new_task_queue = [this] { return new cCountingQueue(*m_impl); };
  server.set_tcp_nodelay(true);  // answers without the delay of small writes
  auto handler = [this](const httplib::Request& in, httplib::Response& out) {
    cRecordedRequest request;
    request.method = in.method;
    request.target = in.target;
    size_t question = in.target.find('?');
    request.path = in.target.substr(0, question);
    if (question != std::string::npos) request.query = in.target.substr(question + 1);
    for (const auto& header : in.headers) {
      if (!IsConnectionDetail(header.first)) request.headers.push_back(header);
    }
    request.body = in.body;
    std::lock_guard<std::mutex> serving(m_serving);
    cScriptedAnswer answer = Answer(request);
    request.answer = answer.body;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_requests.push_back(std::move(request));
    }
    out.status = answer.status;
    for (const auto& header : answer.headers) out.set_header(header.first, header.second);
    // The server library stops asking for pieces once it is stopped itself.
    if (std::shared_ptr<const cStreamedBody> body = answer.streamed) {
      if (body->length > 0) {
        out.set_content_provider(body->length, answer.contentType,
                                 [body](size_t offset, size_t, httplib::DataSink& sink) {
                                   return SendPiece(*body, offset, sink);
                                 });
      } else {
        out.set_chunked_content_provider(answer.contentType, [body](size_t offset, httplib::DataSink& sink) {
          return SendPiece(*body, offset, sink);
        });
      }
    } else {
      out.set_content(answer.body, answer.contentType.c_str());
    }
  };
  const char* everyPath = ".*";
  server.Get(everyPath, handler).Post(everyPath, handler).Put(everyPath, handler);
  server.Delete(everyPath, handler).Patch(everyPath, handler).Options(everyPath, handler);
  m_port = port ? (server.bind_to_port("127.0.0.1", port) ? port : -1) : server.bind_to_any_port("127.0.0.1");
  if (m_port <= 0) return false;
  m_impl->listener = std::thread([&server] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void cFakeHttpServer::LimitConnections(int idleSeconds, int requestsPerConnection) {
  m_idleSeconds = idleSeconds;
  m_requestsPerConnection = requestsPerConnection;
}

void cFakeHttpServer::Stop() {
  if (!m_impl->listener.joinable()) return;
  m_impl->server->stop();
  m_impl->listener.join();
}

std::string cFakeHttpServer::Url(const std::string& path) const {
  return std::string(m_secure ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

void cFakeHttpServer::Script(const std::string& method, const std::string& path,
                             std::vector<cScriptedAnswer> answers) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (cScript& script : m_scripts) {
    if (script.method == method && script.path == path) {
      script.answers = std::move(answers);
      script.used = 0;
      return;
    }
  }
  m_scripts.push_back(cScript{method, path, std::move(answers), 0});
}

bool cFakeHttpServer::FindScripted(const cRecordedRequest& request, cScriptedAnswer& answer) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (cScript& script : m_scripts) {
    if (script.method != request.method || script.path != request.path || script.answers.empty()) continue;
    answer = script.answers[std::min(script.used, script.answers.size() - 1)];
    ++script.used;
    return true;
  }
  return false;
}

cScriptedAnswer cFakeHttpServer::Answer(const cRecordedRequest& request) {
  cScriptedAnswer answer;
  if (!FindScripted(request, answer)) answer = cScriptedAnswer{404, "<html>Not Found</html>", "text/html"};
  return answer;
}

std::vector<cRecordedRequest> cFakeHttpServer::Requests() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests;
}

size_t cFakeHttpServer::RequestCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests.size();
}

size_t cFakeHttpServer::AcceptedConnections() const { return m_impl->accepted; }

size_t cFakeHttpServer::OpenConnections() const { return m_impl->open; }

void cFakeHttpServer::ClearRequests() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_requests.clear();
}
