#include "Varlo/RepoClient.h"

#include "Varlo/TrayLog.h"
#include "common/AnswerLimits.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/TextConv.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Varlo Agent/5";
constexpr wchar_t kModuleVersionPath[] = L"/v4/module/iis/version";

}  // namespace

cRepoClient::cRepoClient() : m_Host(WidenBytes(kDefaultRepoHost)) {}

void cRepoClient::SetProxy(const std::wstring& proxy, const std::wstring& bypass, bool unreadable) {
  m_Proxy = proxy;
  m_ProxyBypass = bypass;
  m_ProxyUnreadable = unreadable;
}

void cRepoClient::SetEndpoint(const std::wstring& host, INTERNET_PORT port) {
  m_Host = host;
  m_Port = port;
}

void cRepoClient::CloseHandles() {
  if (m_hConnect) WinHttpCloseHandle(m_hConnect);
  if (m_hSession) WinHttpCloseHandle(m_hSession);
  m_hConnect = nullptr;
  m_hSession = nullptr;
  m_RequestFlags = 0;
}

int cRepoClient::FetchVersion(std::string& text) {
  if (m_ProxyUnreadable) {
    TRAY_LOG(kLogVarloWnd, err, "FetchVersion(): the setting Proxy is there but cannot be read; nothing goes out");
    return -10;
  }
  if (m_Proxy.empty()) {
    m_hSession = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
  } else {
    m_hSession = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, m_Proxy.c_str(),
                             m_ProxyBypass.empty() ? WINHTTP_NO_PROXY_BYPASS : m_ProxyBypass.c_str(), 0);
  }
  if (!m_hSession) return -10;
  m_hConnect = WinHttpConnect(m_hSession, m_Host.c_str(), m_Port, 0);
  if (!m_hConnect) {
    CloseHandles();
    return -11;
  }
  m_RequestFlags = WINHTTP_FLAG_SECURE;
  int result = GetVersion(text);
  CloseHandles();
  return result;
}

int cRepoClient::GetVersion(std::string& text) {
  if (!m_hConnect) return -1;
  HINTERNET request = WinHttpOpenRequest(m_hConnect, nullptr, kModuleVersionPath, nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, m_RequestFlags);
  if (!request) return -2;
  const uint64_t openedMs = platform::Clock().TickMs();
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    WinHttpCloseHandle(request);
    return 0;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &size, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    WinHttpCloseHandle(request);
    return -3;
  }
  std::string body;
  const eAnswerEnd end = ReadAnswer(request, kLineAnswer, openedMs, [&body](const char* data, uint32_t count) {
    body.append(data, count);
    return true;
  });
  WinHttpCloseHandle(request);
  const std::string passed = LimitPassed(end, kLineAnswer);
  if (!passed.empty()) {
    TRAY_LOG(kLogVarloWnd, err, "answer of {} refused: {}", WideToUtf8(kModuleVersionPath), passed);
    return -4;
  }
  if (!body.empty()) text = std::move(body);
  return 0;
}
