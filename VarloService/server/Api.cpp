#include "VarloService/server/Api.h"

#include <spdlog/spdlog.h>

#include <cstdlib>
#include <new>

#include "common/Compression.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/TextConv.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Varlo Agent/5";
// The vendor's web domain, for the Origin header.
constexpr char kVendorDomain[] = "www.varlo.test";

const wchar_t* const kVerbs[] = {nullptr, L"POST", L"PUT"};
const wchar_t* const kTokenPaths[] = {L"/pauth/csrftoken", L"/pserver/csrftoken", L"/pfilter/csrftoken"};

constexpr int kRemovalCode = 98000;
constexpr long long kSessionCodeFirst = 99000;
constexpr long long kSessionCodeLast = 99999;

// Why a request failed, as the transport told it.
std::string TransportReason(DWORD error) {
  const char* reason = nullptr;
  switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT: reason = "connection refused or host unreachable"; break;
    case ERROR_WINHTTP_CONNECTION_ERROR: reason = "connection reset or closed by the other end"; break;
    case ERROR_WINHTTP_TIMEOUT: reason = "timed out"; break;
    case ERROR_WINHTTP_SECURE_FAILURE: reason = "secure connection refused (certificate or handshake)"; break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: reason = "name not resolved"; break;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: reason = "answer cut off or malformed"; break;
    case ERROR_WINHTTP_INVALID_URL: reason = "invalid server name"; break;
    case ERROR_INVALID_PARAMETER: reason = "refused by the transport"; break;
    case ERROR_NOT_ENOUGH_MEMORY: reason = "out of memory"; break;
    default: return "Windows error " + std::to_string(error);
  }
  return std::string(reason) + " (" + std::to_string(error) + ")";
}

// The token prefix of a path by its first segment.
int PrefixOf(const std::wstring& path) {
  if (path.rfind(L"/pauth", 0) == 0) return cApi::PrefixAuth;
  if (path.rfind(L"/pfilter", 0) == 0) return cApi::PrefixFilter;
  return cApi::PrefixServer;
}

bool IsString(json_t* value, const char* text) {
  return json_is_string(value) && std::string(json_string_value(value), json_string_length(value)) == text;
}

std::string Serialise(json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT);
  std::string serialised = text ? text : "";
  std::free(text);
  return serialised;
}

struct cJobCode {
  const char* code;
  uint32_t bit;
};
const cJobCode kJobCodes[] = {
    {"logConf", 0x00000001},          {"defense", 0x00000002},        {"audit", 0x00000004},
    {"auditCustom", 0x00000008},      {"sysUploadExcept", 0x00000010}, {"webUploadExcept", 0x00000020},
    {"filter", 0x00000100},           {"filterElementReference", 0x00000200},
    {"edrDefenseCmd", 0x00000400},    {"edrConf", 0x00000800},        {"webExtendsFilter", 0x00001000},
    {"webFilter", 0x00002000},        {"wafExcept", 0x00008000},      {"logMasking", 0x00100000},
    {"modVarloUpdate", 0x00200000},   {"modVarloDelete", 0x00400000}, {"hostIsolateClear", 0x10000000},
    {"hostIsolate", 0x20000000},      {"hostShutdown", 0x40000000},   {"vulnerability", 0x80000000},
};

const wchar_t* const kConfNames[] = {L"syslog", L"weblog", L"netlog", L"applog", L"systemresource", L"systemversion"};

struct cCommandKind {
  const wchar_t* path;
  const char* idMember;
};
const cCommandKind kCommandKinds[] = {
    {L"/pserver/agent/cmd/defense", "agentDefenseCmdIds"},
    {L"/pserver/agent/cmd/defenseall", "agentDefenseCmdIds"},
    {L"/pfilter/agent/cmd/audit", "agentAuditCmdIds"},
    {L"/pfilter/agent/cmd/auditall", "agentAuditCmdIds"},
    {L"/pfilter/agent/cmd/auditcustom", "agentAuditCustomCmdIds"},
    {L"/pfilter/agent/cmd/auditcustomall", "agentAuditCustomCmdIds"},
};
constexpr int kCommandKindCount = 6;

template <class T>
struct cRecordMember {
  const char* name;
  T cAgentInfo::*field;
};
// The sign-in body after the token, in its order ("ipKey" follows last).
const cRecordMember<std::string> kSignInMembers[] = {
    {"licenseKey", &cAgentInfo::m_LicenseKey}, {"hostname", &cAgentInfo::m_HostName},
    {"serverIp", &cAgentInfo::m_IpAddr},       {"typeos", &cAgentInfo::m_OsType},
    {"osReleaseName", &cAgentInfo::m_OsName},  {"osMajor", &cAgentInfo::m_OsMajor},
    {"osMinor", &cAgentInfo::m_OsMinor},       {"osWorkType", &cAgentInfo::m_OsWorkType},
    {"cpuArchitecture", &cAgentInfo::m_CpuArchitecture},
};
const cRecordMember<double> kResourceMembers[] = {
    {"cpuUsage", &cAgentInfo::m_CpuUsage},           {"memoryUsage", &cAgentInfo::m_MemoryUsage},
    {"diskUsage", &cAgentInfo::m_DiskUsage},         {"diskActiveTime", &cAgentInfo::m_DiskActiveTime},
    {"inboundTraffic", &cAgentInfo::m_InboundTraffic}, {"outboundTraffic", &cAgentInfo::m_OutboundTraffic},
};

}  // namespace

cApi::~cApi() {
  Close();
  EndFailureRun();
}

json_t* cApi::String(const std::string& text) { return json_stringn(text.data(), text.size()); }

void cApi::SetAgentInfo(cAgentInfo* agentInfo) {
  m_pAgentInfo = agentInfo;
  json_decref(m_IpKey);
  m_IpKey = String(agentInfo->m_AgentId);
  m_IpKeyText = Utf8ToWide(agentInfo->m_AgentId);
  BuildHeaders();
}

void cApi::ModVarloInfo(const char* type, const std::string& version) {
  if (type && *type && !version.empty()) {
    m_ModType = Utf8ToWide(type);
    m_ModVersion = Utf8ToWide(version);
    SPDLOG_INFO("{}({} v{})", "cApi::ModVarloInfo", ForLog(type), ForLog(version));
  } else {
    m_ModType.clear();
    m_ModVersion.clear();
    SPDLOG_INFO("{}(clear)", "cApi::ModVarloInfo");
  }
  if (m_HeaderLength != 0) BuildHeaders();
}

int cApi::BuildHeaders() {
  std::wstring block = L"Content-Type: application/json\r\n";
  block += L"Origin: " + Utf8ToWide(kVendorDomain) + L"\r\n";
  block += L"ReferrerSourceType: 30\r\n";
  block += L"SanitizerNone: 1\r\n";
  block += L"BreltAgentType: " + Utf8ToWide(m_pAgentInfo->m_AgentType) + L"\r\n";
  block += L"BreltAgentVersion: " + Utf8ToWide(m_pAgentInfo->m_AgentVersion) + L"\r\n";
  if (!m_ModType.empty() && !m_ModVersion.empty()) {
    block += L"BreltModVarloType: " + m_ModType + L"\r\n";
    block += L"BreltModVarloVersion: " + m_ModVersion + L"\r\n";
  }
  m_Headers = block;
  m_HeaderLength = static_cast<DWORD>(m_Headers.size());
  return static_cast<int>(m_HeaderLength);
}

int cApi::Connect(const std::wstring& host, int secure, int port) {
  if (!m_hSession) {
    if (m_pAgentInfo && m_pAgentInfo->m_ProxyUnreadable)
      return ConnectFailed(-1, "the setting Proxy is there but cannot be read; nothing goes out without it");
    if (m_pAgentInfo && !m_pAgentInfo->m_Proxy.empty()) {
      const wchar_t* bypass = m_pAgentInfo->m_ProxyBypass.empty() ? WINHTTP_NO_PROXY_BYPASS
                                                                   : m_pAgentInfo->m_ProxyBypass.c_str();
      m_hSession = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, m_pAgentInfo->m_Proxy.c_str(), bypass, 0);
      if (!m_hSession)
        return ConnectFailed(-1, "the proxy " + ForLog(WideToUtf8(m_pAgentInfo->m_Proxy)) + " cannot be used: " +
                                     TransportReason(GetLastError()) + "; nothing goes out without it");
    } else {
      m_hSession = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
      if (!m_hSession) return ConnectFailed(-1, "no session: " + TransportReason(GetLastError()));
    }
  }
  if (m_hConnect) return 0;
  m_RequestFlags = secure ? WINHTTP_FLAG_SECURE : 0;
  if (port == 0) port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  m_hConnect = WinHttpConnect(m_hSession, host.c_str(), static_cast<INTERNET_PORT>(port), 0);
  if (!m_hConnect)
    return ConnectFailed(-2, "no connection to " + ForLog(WideToUtf8(host)) + ": " + TransportReason(GetLastError()));
  m_ConnectFailure.clear();
  return 0;
}

int cApi::ConnectFailed(int result, const std::string& reason) {
  SPDLOG_ERROR("cApi::Connect()={}: {}", result, reason);
  m_ConnectFailure = reason;
  return result;
}

void cApi::Close() {
  if (m_hConnect) WinHttpCloseHandle(m_hConnect);
  if (m_hSession) WinHttpCloseHandle(m_hSession);
  m_hConnect = nullptr;
  m_hSession = nullptr;
  json_decref(m_IpKey);
  json_decref(m_AuthKey);
  m_IpKey = nullptr;
  m_AuthKey = nullptr;
}

void cApi::Cancel() {
  std::lock_guard<std::mutex> guard(m_InFlightLock);
  m_Cancelled = true;
  if (m_InFlight) WinHttpCloseHandle(m_InFlight);
  m_InFlight = nullptr;
}

void cApi::ResumeRequests() {
  std::lock_guard<std::mutex> guard(m_InFlightLock);
  m_Cancelled = false;
}

cApi::cExchange::cExchange(cApi& client, const std::wstring& path, int verb)
    : m_Client(client), m_Endpoint(ForLog(WideToUtf8(path.substr(0, path.find(L'?'))))) {
  std::lock_guard<std::mutex> guard(client.m_InFlightLock);
  if (client.m_Cancelled || verb < VerbGet || verb > VerbPut) return;
  if (!client.m_hConnect) {
    Fail(client.m_ConnectFailure.empty() ? "not connected" : client.m_ConnectFailure);
    return;
  }
  m_Request = WinHttpOpenRequest(client.m_hConnect, kVerbs[verb], path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, client.m_RequestFlags);
  if (!m_Request) Fail("request not opened: " + TransportReason(GetLastError()));
  client.m_InFlight = m_Request;
  m_OpenedMs = platform::Clock().TickMs();
}

cApi::cExchange::~cExchange() {
  if (!m_Request) {
    if (!m_Failure.empty()) m_Client.NoteOutcome(m_Endpoint, m_Failure, m_FailureTold);
    return;
  }
  // A request that the stop cancelled is no failure of the server's.
  if (!Cancelled()) m_Client.NoteOutcome(m_Endpoint, m_Failure, m_FailureTold);
  std::lock_guard<std::mutex> guard(m_Client.m_InFlightLock);
  if (m_Client.m_InFlight == m_Request) {
    WinHttpCloseHandle(m_Request);
    m_Client.m_InFlight = nullptr;
  } else {
    SPDLOG_INFO("request of {} cancelled", m_Endpoint);
  }
}

bool cApi::cExchange::SendAndReceive(bool withHeaders, const void* body, uint32_t length) {
  if (!m_Request) return false;
  bool headers = withHeaders && m_Client.m_HeaderLength != 0;
  if (WinHttpSendRequest(m_Request, headers ? m_Client.m_Headers.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                         headers ? m_Client.m_HeaderLength : 0, body, length, length, 0) &&
      WinHttpReceiveResponse(m_Request, nullptr))
    return true;
  const DWORD error = GetLastError();
  const platform::cHttpProxyFailure proxy = platform::HttpProxyFailure(m_Request);
  if (proxy.proxy.empty()) {
    Fail(TransportReason(error));
  } else if (proxy.status != 0) {
    Fail("the proxy " + ForLog(proxy.proxy) + " refused the tunnel with status " + std::to_string(proxy.status) +
         " (" + std::to_string(error) + ")");
  } else {
    Fail("the proxy " + ForLog(proxy.proxy) + " failed: " + TransportReason(error));
  }
  return false;
}

bool cApi::cExchange::Status(DWORD& status) const {
  DWORD size = sizeof status;
  return WinHttpQueryHeaders(m_Request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
}

bool cApi::cExchange::ReadBody(const cAnswerLimit& limit, const std::function<bool(const char*, uint32_t)>& sink) {
  const eAnswerEnd end = ReadAnswer(m_Request, limit, m_OpenedMs, sink);
  if (end == eAnswerEnd::Complete) return true;
  // A transfer that broke off keeps what came before, unless it was cancelled.
  if (end == eAnswerEnd::BrokenOff) {
    Fail("answer broken off: " + TransportReason(GetLastError()));
    return !Cancelled();
  }
  const std::string passed = LimitPassed(end, limit);
  if (passed.empty()) {
    Fail("answer not taken");
  } else {
    // Every answer beyond its bound is told: it comes from a server gone wrong or hostile.
    SPDLOG_ERROR("answer of {} refused: {}", m_Endpoint, passed);
    Fail("answer refused: " + passed, true);
  }
  return false;
}

bool cApi::cExchange::Cancelled() const {
  std::lock_guard<std::mutex> guard(m_Client.m_InFlightLock);
  return m_Client.m_InFlight != m_Request;
}

json_t* cApi::Request(const std::wstring& path, int verb, const void* body, uint32_t length,
                      const cAnswerLimit& limit) {
  cExchange exchange(*this, path, verb);
  if (!exchange.SendAndReceive(true, body, length)) return nullptr;
  std::string buffer;
  bool kept = exchange.ReadBody(limit, [&buffer](const char* data, uint32_t count) {
    try {
      buffer.append(data, count);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  });
  json_t* answer = kept && !buffer.empty() ? json_loadb(buffer.data(), buffer.size(), 0, nullptr) : nullptr;
  // An answer that broke off is told by why it broke off.
  if (kept && !answer && !exchange.Failed()) {
    DWORD status = 0;
    exchange.Status(status);
    exchange.Fail((buffer.empty() ? "empty answer" : "answer not JSON") + std::string(", status ") +
                  std::to_string(status));
  }
  return answer;
}

void cApi::NoteOutcome(const std::string& endpoint, const std::string& failure, bool told) {
  if (failure.empty()) {
    if (m_FailuresInRow > 1) SPDLOG_INFO("request of {} succeeded after {} failed in a row", endpoint, m_FailuresInRow);
    m_FailuresInRow = 0;
    m_LoggedFailure.clear();
    return;
  }
  const std::string logged = endpoint + ": " + failure;
  const bool repeated = ++m_FailuresInRow > 1 && logged == m_LoggedFailure;
  if (!told && !repeated) SPDLOG_WARN("request of {} failed: {}", endpoint, failure);
  m_FailedEndpoint = endpoint;
  m_LoggedFailure = logged;
}

void cApi::EndFailureRun() {
  if (m_FailuresInRow > 1)
    SPDLOG_WARN("request of {} failed {} times in a row up to the stop", m_FailedEndpoint, m_FailuresInRow);
  m_FailuresInRow = 0;
  m_LoggedFailure.clear();
}

json_t* cApi::GetCsrfToken(int prefix) {
  if (prefix < PrefixAuth || prefix > PrefixFilter) return nullptr;
  DWORD headerLength = m_HeaderLength;
  m_HeaderLength = 0;
  json_t* answer = Request(kTokenPaths[prefix], VerbGet, nullptr, 0, kLineAnswer);
  m_HeaderLength = headerLength;
  json_t* token = json_incref(json_object_get(answer, "csrfTokenKey"));
  if (answer && !token) SPDLOG_ERROR("answer of {} without csrfTokenKey", WideToUtf8(kTokenPaths[prefix]));
  json_decref(answer);
  return token;
}

int cApi::CheckReturnCode(json_t* answer) {
  if (!answer) return -1;
  json_t* code = json_object_get(answer, "returnCode");
  if (!json_is_string(code)) {
    SPDLOG_ERROR("answer without a string returnCode");
    return -2;
  }
  if (IsString(code, "0")) {
    json_t* noData = json_object_get(answer, "dataNotFoundCode");
    if (!json_is_string(noData) || IsString(noData, "0")) return 0;
    return 1;
  }
  const char* text = json_string_value(code);
  SPDLOG_ERROR("returnCode={}", ForLog({text, json_string_length(code)}));
  long long value = std::strtoll(text, nullptr, 10);
  if (value == kRemovalCode) {
    SPDLOG_INFO("*** UNINSTALL {} ***", kRemovalCode);
    if (m_pAgentInfo) m_pAgentInfo->m_Uninstall.store(1);
    return -3;
  }
  if (value >= kSessionCodeFirst && value <= kSessionCodeLast) {
    json_decref(m_AuthKey);
    m_AuthKey = nullptr;
    return -4;
  }
  return -5;
}

std::wstring cApi::QueryPath(const std::wstring& path, const std::string& token, const cQueryExtras& extras) const {
  return path + L"?csrfTokenKey=" + Utf8ToWide(token) + extras.afterToken + L"&ipKey=" + m_IpKeyText +
         L"&authKey=" + m_AuthKeyText + extras.atEnd;
}

int cApi::Call(int verb, const std::wstring& path, json_t* members, const AnswerReader& read,
               const cQueryExtras& extras) {
  bool signIn = PrefixOf(path) == PrefixAuth;
  if (!signIn && SessionExpired()) {
    json_decref(members);
    return -4;
  }
  json_t* token = GetCsrfToken(PrefixOf(path));
  // A token that is no string cannot go into a query string.
  if (!token || (verb == VerbGet && !json_is_string(token))) {
    json_decref(token);
    json_decref(members);
    return -1;
  }
  json_t* answer = nullptr;
  if (verb == VerbGet) {
    json_decref(members);
    std::string tokenText(json_string_value(token), json_string_length(token));
    answer = Request(QueryPath(path, tokenText, extras), VerbGet, nullptr, 0);
  } else {
    json_t* body = json_object();
    json_object_set(body, "csrfTokenKey", token);
    if (signIn) {
      json_object_update(body, members);
      if (m_IpKey) json_object_set(body, "ipKey", m_IpKey);
    } else {
      if (m_IpKey) json_object_set(body, "ipKey", m_IpKey);
      json_object_set(body, "authKey", m_AuthKey);
      json_object_update(body, members);
    }
    json_decref(members);
    std::string text = Serialise(body);
    json_decref(body);
    answer = Request(path, verb, text.data(), static_cast<uint32_t>(text.size()));
  }
  json_decref(token);
  int result = CheckReturnCode(answer);
  if ((result == 0 || result == 1) && read) result = read(answer, result);
  json_decref(answer);
  return result;
}

int cApi::Login() {
  json_t* members = json_object();
  for (const auto& member : kSignInMembers) json_object_set_new(members, member.name, String(m_pAgentInfo->*member.field));
  return Call(VerbPost, L"/pauth/login/agent", members, [this](json_t* answer, int result) {
    if (result != 0) return result;
    json_t* authKey = json_object_get(answer, "authKey");
    // Without a session key there is no session, whatever the code says.
    if (!json_is_string(authKey)) {
      SPDLOG_ERROR("sign-in answer without a string authKey");
      return -2;
    }
    json_decref(m_AuthKey);
    m_AuthKey = json_incref(authKey);
    m_AuthKeyText = Utf8ToWide(json_string_value(authKey));
    // An answer without a string agent key keeps the one held.
    json_t* ipKey = json_object_get(answer, "ipKey");
    if (json_is_string(ipKey)) {
      json_decref(m_IpKey);
      m_IpKey = json_incref(ipKey);
      std::string agentKey(json_string_value(ipKey), json_string_length(ipKey));
      m_IpKeyText = Utf8ToWide(agentKey);
      if (agentKey != m_pAgentInfo->m_AgentId) {
        m_pAgentInfo->m_AgentId = agentKey;
        NvmVarlo settings;
        settings.SetString(NvmVarlo::AgentId, agentKey);
        settings.Close();
      }
    }
    SPDLOG_INFO("ipKey={}", ForLog(WideToUtf8(m_IpKeyText)));
    SPDLOG_INFO("authKey={}", ForLog(WideToUtf8(m_AuthKeyText)));
    return 0;
  });
}

int cApi::Job(uint32_t& mask) {
  return Call(VerbGet, L"/pserver/agent/agentjob", nullptr, [&mask](json_t* answer, int result) {
    if (result != 0) return result;
    json_t* list = json_object_get(json_object_get(answer, "result"), "list");
    for (size_t index = 0; index < json_array_size(list); ++index) {
      json_t* code = json_object_get(json_array_get(list, index), "code");
      if (!json_is_string(code)) continue;
      SPDLOG_INFO("jobcode {}={}", index, ForLog({json_string_value(code), json_string_length(code)}));
      for (const cJobCode& job : kJobCodes) {
        if (IsString(code, job.code)) mask |= job.bit;
      }
    }
    return 0;
  });
}

int cApi::MonConf(int which, uint32_t& period) {
  std::wstring path = std::wstring(L"/pserver/agent/conf/") + kConfNames[which == 0 ? 4 : 5];
  return Call(VerbGet, path, nullptr, [&period](json_t* answer, int result) {
    if (result != 0) return result;
    json_t* conf = json_object_get(answer, "result");
    json_t* duration = json_object_get(conf, "duration");
    period = json_is_integer(duration) ? static_cast<uint32_t>(json_integer_value(duration)) : 0;
    if (!IsString(json_object_get(conf, "isUpload"), "1")) period = 0;
    return 0;
  });
}

int cApi::LogConf(int which, uint32_t& on) {
  std::wstring path = std::wstring(L"/pserver/agent/conf/") + kConfNames[which == 0 ? 0 : 1];
  return Call(VerbGet, path, nullptr, [&on](json_t* answer, int result) {
    if (result != 0) return result;
    on = IsString(json_object_get(json_object_get(answer, "result"), "isUpload"), "1") ? 1 : 0;
    return 0;
  });
}

int cApi::SetServerFlag(int which, int value) {
  json_t* members = json_object();
  json_object_set_new(members, which == 0 ? "isLogUpload" : "isUseWebLog", json_integer(value));
  return Call(VerbPut, which == 0 ? L"/pserver/agent/server/islogupload" : L"/pserver/agent/server/isuseweblog",
              members);
}

int cApi::EdrConf(uint32_t& detect, uint32_t& block, uint32_t& full) {
  return Call(VerbGet, L"/pserver/agent/edr/conf", nullptr, [&](json_t* answer, int result) {
    if (result != 0) return result;
    json_t* info = json_object_get(answer, "info");
    detect = IsString(json_object_get(info, "edrDetectMode"), "agent") ? 1 : 0;
    block = IsString(json_object_get(info, "edrBlockMode"), "block") ? 1 : 0;
    json_t* fullUpload = json_object_get(info, "isEdrSysFullUpload");
    full = json_is_string(fullUpload) && json_string_value(fullUpload)[0] == '1' ? 1 : 0;
    return 0;
  });
}

int cApi::SystemResource() {
  json_t* members = json_object();
  for (const auto& member : kResourceMembers) json_object_set_new(members, member.name, json_real(m_pAgentInfo->*member.field));
  return Call(VerbPost, L"/pserver/agent/systemresource", members);
}

int cApi::SystemVersion() {
  json_t* members = json_object();
  json_object_set_new(members, "osLatestVersion", String(m_pAgentInfo->m_OsReleaseId));
  json_object_set_new(members, "osLatestInfo", String(m_pAgentInfo->m_HotFixes));
  return Call(VerbPost, L"/pserver/agent/systemversion", members);
}

int cApi::GetCmd(int index, json_t*& ids, const std::string& file) {
  if (index < 0 || index >= kCommandKindCount) return -1;
  const cCommandKind& kind = kCommandKinds[index];
  return Call(VerbGet, kind.path, nullptr, [&](json_t* answer, int result) {
    if (result != 0) return result;
    json_t* found = json_object_get(answer, "result");
    json_t* list = json_object_get(found, kind.idMember);
    if (!json_is_array(list) || json_array_size(list) == 0) return 1;
    DecodeAnswer(json_object_get(found, "script"), file, kind.path);
    ids = json_incref(list);
    return 0;
  });
}

uint32_t cApi::DecodeAnswer(json_t* text, const std::string& file, const wchar_t* endpoint) {
  if (!json_is_string(text)) return 0;
  bool tooLarge = false;
  const uint32_t inflated = DecodeToFile(json_string_value(text), static_cast<int32_t>(json_string_length(text)), file,
                                         kMaxInflatedBytes, tooLarge);
  if (tooLarge) SPDLOG_ERROR("answer of {} refused: inflates to over {} bytes", WideToUtf8(endpoint), kMaxInflatedBytes);
  return inflated;
}

int cApi::AckCmd(int index, json_t* ids) {
  if (index < 0 || index >= kCommandKindCount) {
    json_decref(ids);
    return -1;
  }
  json_t* members = json_object();
  json_object_set_new(members, kCommandKinds[index].idMember, ids);
  return Call(VerbPut, kCommandKinds[index & ~1].path, members);
}

int cApi::ModVarloUpdate(int32_t& id) {
  return Call(VerbGet, L"/pserver/agent/update/modvarlo", nullptr, [&id](json_t* answer, int result) {
    if (result != 0) return result;
    json_t* logId = json_object_get(answer, "agentExecuteLogId");
    id = json_is_integer(logId) ? static_cast<int32_t>(json_integer_value(logId)) : 0;
    return 0;
  });
}

int cApi::ModVarloUpdateResult(int32_t id, const std::string& code) {
  json_t* members = json_object();
  json_object_set_new(members, "agentExecuteLogId", json_integer(id));
  json_object_set_new(members, "returnCode", String(code));
  return Call(VerbPut, L"/pserver/agent/update/modvarlo", members);
}

int cApi::GetList(const std::wstring& path, bool inResult, bool foldNoData, json_t*& list,
                  const cQueryExtras& extras) {
  return Call(
      VerbGet, path, nullptr,
      [&](json_t* answer, int result) {
        if (result != 0 && !foldNoData) return result;
        list = json_incref(json_object_get(inResult ? json_object_get(answer, "result") : answer, "list"));
        return 0;
      },
      extras);
}

int cApi::SysFilter(json_t*& list) {
  return GetList(L"/pfilter/agent/filter", false, false, list, cQueryExtras{L"&compress=false", L""});
}

int cApi::SysFilterRef(json_t*& references) {
  std::wstring path = L"/pfilter/agent/filterelementreference";
  return Call(
      VerbGet, path, nullptr,
      [this, &references, &path](json_t* answer, int result) {
        if (result != 0) return result;
        json_t* list = json_object_get(answer, "list");
        if (!list) return 0;
        std::string file = m_pAgentInfo->TempFolder() + "\\sysfilter-ref.json";
        std::string document;
        if (DecodeAnswer(list, file, path.c_str()) > 0 && platform::ReadWholeFile(file, document)) {
          if (json_t* parsed = json_loadb(document.data(), document.size(), 0, nullptr)) references = parsed;
        }
        platform::DeletePath(file);
        return 0;
      },
      cQueryExtras{L"&minify=true", L""});
}

int cApi::EdrDefenseCmd(json_t*& commands) {
  return Call(VerbGet, L"/pserver/agent/edr/edrdefensecmd", nullptr, [&commands](json_t* answer, int result) {
    if (result != 0) return result;
    json_decref(commands);
    commands = json_incref(json_object_get(json_object_get(answer, "result"), "edrDefenseCmdList"));
    return 0;
  });
}

int cApi::WebFilter(int32_t type, json_t*& list) {
  std::wstring name = type == 3 ? L"conf/wafexcept" : type >= 4 ? L"conf/webuploadexcept" : L"webextendsfilters";
  cQueryExtras extras;
  if (type == 0) extras.atEnd = L"&webExtendsFilterType=webfilter";
  return GetList(L"/pfilter/agent/" + name, true, true, list, extras);
}

int cApi::LogMasking(json_t*& list) { return GetList(L"/pfilter/agent/conf/logmasking", true, true, list); }

int cApi::SysUploadExcept(json_t*& list) {
  int result = GetList(L"/pfilter/agent/conf/sysuploadexcept", true, true, list);
  if (result == 0 && !list) list = json_array();
  return result;
}
