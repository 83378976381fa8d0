#pragma once
// The agent's client of one HTTPS endpoint: one WinHTTP session and connection, one request at a
// time, answers parsed as JSON. For the management server it also keeps the header block, the
// agent key ("ipKey") and the session key ("authKey"), and turns answers into status codes:
// 0 success, 1 success without data, -1 no token or no answer, -2 no string "returnCode",
// -3 removal ordered (98000), -4 no session, -5 any other server code.
// Every JSON value handed out carries one reference for the caller. Used by one thread at a time,
// but any thread may cancel its requests. Every answer is bounded by its kind (AnswerLimits.h).
// A failed request is logged with the transport's reason (a proxy's failure as the proxy's, with
// what it answered): the first of a run of failures, and each whose endpoint or reason differs
// from the one before; the first success after a run tells how long it was, and so does the stop
// of a client whose run is still going.
#include <jansson.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "common/AgentInfo.h"
#include "common/AnswerLimits.h"
#include "platform/Http.h"

class cApi {
 public:
  enum Verb { VerbGet = 0, VerbPost = 1, VerbPut = 2 };
  enum TokenPrefix { PrefixAuth = 0, PrefixServer = 1, PrefixFilter = 2 };

  cApi() = default;
  ~cApi();
  cApi(const cApi&) = delete;
  cApi& operator=(const cApi&) = delete;

  // Keeps the record (not owned), takes its agent key and rebuilds the header block.
  void SetAgentInfo(cAgentInfo* agentInfo);
  // Module type and version for the headers; both non-empty, or they are cleared.
  void ModVarloInfo(const char* type, const std::string& version);
  // The header block from the record and the module information; returns its length.
  int BuildHeaders();

  // Opens the session and the connection when none is open; an open connection stays in use
  // whatever is asked. Port 0 is 443 when secure, else 80. 0; -1 no session; -2 no connection;
  // each failure is logged with its reason. A proxy that is set but cannot be used (the record's
  // proxy unreadable, or a list the transport refuses) opens no session: nothing goes out
  // directly.
  int Connect(const std::wstring& host, int secure, int port);
  // Closes the handles and releases both keys (their texts stay).
  void Close();
  // Ends the request in flight and makes every later one fail at once, until ResumeRequests. For
  // the stop of the service or of a collector, from any thread.
  void Cancel();
  void ResumeRequests();

  // One exchange; the answer body, within limit, parsed as one JSON object or array, or null.
  json_t* Request(const std::wstring& path, int verb, const void* body, uint32_t length,
                  const cAnswerLimit& limit = kJsonAnswer);
  // A fresh CSRF token of the prefix (the answer's "csrfTokenKey", whatever its type), or null.
  // The token request carries no additional headers.
  json_t* GetCsrfToken(int prefix);
  // The answer's status; 98000 sets the record's uninstall flag, 99000 to 99999 end the session.
  // The answer is only read.
  int CheckReturnCode(json_t* answer);
  bool SessionExpired() const { return m_AuthKey == nullptr; }

  // The shared frame of a management-server call: session test, a fresh token of the path's
  // prefix ("/pauth", "/pserver" or "/pfilter"), then for GET the query string (token,
  // afterToken, agent key, session key, atEnd) and for POST and PUT a body of the standard members
  // followed by those of members (its reference passes to the call); the request; its status.
  // read runs on the results 0 and 1 while the answer is held, and its value becomes the result.
  using AnswerReader = std::function<int(json_t* answer, int result)>;
  struct cQueryExtras {
    std::wstring afterToken;
    std::wstring atEnd;
  };
  int Call(int verb, const std::wstring& path, json_t* members, const AnswerReader& read = nullptr,
           const cQueryExtras& extras = cQueryExtras());

  // Sign-in and agent endpoints.
  int Login();
  int Job(uint32_t& mask);
  int MonConf(int which, uint32_t& period);
  int LogConf(int which, uint32_t& on);
  int SetServerFlag(int which, int value);
  int EdrConf(uint32_t& detect, uint32_t& block, uint32_t& full);
  int SystemResource();
  int SystemVersion();
  // ids: a new reference on 0. The script, when the answer has one, is written to file.
  int GetCmd(int index, json_t*& ids, const std::string& file);
  // The reference on ids passes to the call.
  int AckCmd(int index, json_t* ids);

  // Web module, filters, rule lists, EDR commands.
  int ModVarloUpdate(int32_t& id);
  int ModVarloUpdateResult(int32_t id, const std::string& code);
  int SysFilter(json_t*& list);
  int SysFilterRef(json_t*& references);
  // On 0 the previous value is released and replaced.
  int EdrDefenseCmd(json_t*& commands);
  int WebFilter(int32_t type, json_t*& list);
  int LogMasking(json_t*& list);
  int SysUploadExcept(json_t*& list);

  cAgentInfo* AgentInfo() const { return m_pAgentInfo; }

 protected:
  // A JSON string of exactly these bytes; null for text that is not UTF-8 (the member is then
  // left out of its object).
  static json_t* String(const std::string& text);
  bool Connected() const { return m_hConnect != nullptr; }

  // One request on the connection with the request flags, from its opening to its closing. It is
  // the client's request in flight meanwhile, which Cancel closes; the answer is read within the
  // limit of its kind, counted from the opening.
  class cExchange {
   public:
    // Opens a GET (or the verb's) request on path; none when the client is not connected, the
    // request cannot be opened or requests are cancelled.
    cExchange(cApi& client, const std::wstring& path, int verb);
    ~cExchange();
    cExchange(const cExchange&) = delete;
    cExchange& operator=(const cExchange&) = delete;

    bool Opened() const { return m_Request != nullptr; }
    // Sends with the client's header block or with no additional headers, then waits for the
    // answer's head.
    bool SendAndReceive(bool withHeaders, const void* body, uint32_t length);
    // The answer's status code; false when it cannot be read.
    bool Status(DWORD& status) const;
    // Hands the body to sink in the chunks the transport announces, until none is left or a read
    // fails (what was read stays delivered). False when sink refuses a chunk, when the answer goes
    // beyond the limit (logged with its endpoint) or when the request was cancelled.
    bool ReadBody(const cAnswerLimit& limit, const std::function<bool(const char*, uint32_t)>& sink);

    // The exchange failed for this reason, which the client logs when the exchange ends, unless
    // it was told already.
    void Fail(std::string reason, bool told = false) {
      m_Failure = std::move(reason);
      m_FailureTold = told;
    }
    bool Failed() const { return !m_Failure.empty(); }

   private:
    // Closed by Cancel while it was in flight.
    bool Cancelled() const;

    cApi& m_Client;
    std::string m_Endpoint;  // the path without its query, for the log
    HINTERNET m_Request = nullptr;
    uint64_t m_OpenedMs = 0;
    std::string m_Failure;  // empty while it has not failed
    bool m_FailureTold = false;
  };

  // Tells how long a run of failed requests still going has been, as the client stops; the next
  // failure starts a run afresh.
  void EndFailureRun();

  HINTERNET m_hSession = nullptr;
  HINTERNET m_hConnect = nullptr;
  DWORD m_RequestFlags = 0;
  std::wstring m_Headers;
  DWORD m_HeaderLength = 0;
  std::wstring m_ModType;
  std::wstring m_ModVersion;
  std::wstring m_IpKeyText;
  std::wstring m_AuthKeyText;
  json_t* m_AuthKey = nullptr;
  cAgentInfo* m_pAgentInfo = nullptr;
  json_t* m_IpKey = nullptr;

 private:
  std::mutex m_InFlightLock;  // the two below
  HINTERNET m_InFlight = nullptr;
  bool m_Cancelled = false;
  // Why the last Connect failed, for the requests that then find no connection.
  std::string m_ConnectFailure;
  // The run of failed requests: its length and the endpoint and reason of the last one.
  uint32_t m_FailuresInRow = 0;
  std::string m_FailedEndpoint;
  std::string m_LoggedFailure;

  // Logs the end of an exchange by the rule above; failure empty for a success, told when the
  // failure was logged already.
  void NoteOutcome(const std::string& endpoint, const std::string& failure, bool told);
  // Fails Connect with its result, logging why.
  int ConnectFailed(int result, const std::string& reason);

  // The base64 text of a compressed stream (a JSON string) into file, within kMaxInflatedBytes;
  // one that inflates to more is logged with the endpoint. The inflated byte count, 0 on failure.
  static uint32_t DecodeAnswer(json_t* text, const std::string& file, const wchar_t* endpoint);
  std::wstring QueryPath(const std::wstring& path, const std::string& token, const cQueryExtras& extras) const;
  // A list that the server keeps in the answer's "result"."list" (or top-level "list"), written on
  // 0 and, where foldNoData, also on 1, which then reads as 0.
  int GetList(const std::wstring& path, bool inResult, bool foldNoData, json_t*& list,
              const cQueryExtras& extras = cQueryExtras());
};
