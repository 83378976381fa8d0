#pragma once
// The tray program's own small client of the package repository: it reads the published version
// of the web-server module, opening and closing its session every time.
#include <string>

#include "platform/Http.h"

class cRepoClient {
 public:
  cRepoClient();

  // unreadable: a proxy is set that could not be read; no request goes out then.
  void SetProxy(const std::wstring& proxy, const std::wstring& bypass, bool unreadable = false);
  // The repository is the service's default one; tests point it elsewhere.
  void SetEndpoint(const std::wstring& host, INTERNET_PORT port);

  // Opens a session and a connection, reads the version text and closes both. 0, or a negative
  // code: -10 no session (also for a proxy that cannot be used, logged), -11 no connection, else
  // the result of GetVersion.
  int FetchVersion(std::string& text);
  // GET of the version text on the open connection: 0 (text unchanged when the exchange failed
  // or the body is empty), -1 no connection, -2 no request, -3 a status other than 200, -4 an
  // answer beyond a version file's bound (logged).
  int GetVersion(std::string& text);

 private:
  void CloseHandles();

  HINTERNET m_hSession = nullptr;
  HINTERNET m_hConnect = nullptr;
  DWORD m_RequestFlags = 0;
  std::wstring m_Proxy;
  bool m_ProxyUnreadable = false;
  std::wstring m_ProxyBypass;
  std::wstring m_Host;
  INTERNET_PORT m_Port = INTERNET_DEFAULT_HTTPS_PORT;
};
