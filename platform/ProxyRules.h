#pragma once
// The proxy of a session as WinHTTP reads its settings: the named proxy list and the bypass list.
#include <string>
#include <vector>

#include "platform/Types.h"

namespace platform {

class cProxyRules {
 public:
  // proxyName (named proxy only): entries "[scheme=][http://]host[:port]" separated by ";" or
  // blanks, an entry without a scheme serving both. proxyBypass: host patterns with "*"
  // wildcards, separated the same way, compared without regard to case; "<local>" matches every
  // host name without a dot.
  cProxyRules(DWORD accessType, const std::string& proxyName, const std::string& proxyBypass);

  // A named proxy list with not one entry names no proxy that could be used.
  bool NamesNoProxy() const;

  // What the transfer library takes as its proxy option: null leaves it the environment's
  // proxies, "" goes direct, else "http://host:port".
  const char* ProxyFor(const std::string& host, bool secure) const;

 private:
  struct cEntry {
    std::string scheme;  // "http", "https" or empty for both
    std::string url;
  };

  bool Bypassed(const std::string& host) const;

  DWORD m_accessType;
  std::vector<cEntry> m_proxies;
  std::vector<std::string> m_bypass;
};

}  // namespace platform
