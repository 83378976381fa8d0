#include "platform/ProxyRules.h"

#include "platform/Http.h"
#include "platform/NoCase.h"

namespace platform {
namespace {

std::vector<std::string> SplitEntries(const std::string& list) {
  std::vector<std::string> items;
  std::string item;
  for (char c : list) {
    if (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  if (!item.empty()) items.push_back(item);
  return items;
}

// "*" matches any run of characters; letters compare without regard to case. Only the last "*"
// met so far is ever tried further (whatever an earlier one would take, it can take as well), so
// a pattern costs at most its length times the host's, however many "*" it holds.
bool WildcardMatch(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0;
  size_t star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && LowerAscii(pattern[p]) == LowerAscii(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

cProxyRules::cProxyRules(DWORD accessType, const std::string& proxyName,
                         const std::string& proxyBypass)
    : m_accessType(accessType), m_bypass(SplitEntries(proxyBypass)) {
  for (std::string entry : SplitEntries(proxyName)) {
    cEntry parsed;
    size_t equals = entry.find('=');
    if (equals != std::string::npos) {
      parsed.scheme = LowerAscii(entry.substr(0, equals));
      entry.erase(0, equals + 1);
    }
    size_t schemeEnd = entry.find("://");
    if (schemeEnd != std::string::npos) entry.erase(0, schemeEnd + 3);
    if (!entry.empty() && entry.back() == '/') entry.pop_back();
    bool hasPort = entry.rfind(':') != std::string::npos && entry.back() != ']';
    parsed.url = "http://" + entry + (hasPort ? "" : ":80");
    m_proxies.push_back(std::move(parsed));
  }
}

bool cProxyRules::NamesNoProxy() const {
  return m_accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && m_proxies.empty();
}

const char* cProxyRules::ProxyFor(const std::string& host, bool secure) const {
  if (m_accessType == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) return nullptr;
  if (m_accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || Bypassed(host)) return "";
  const char* scheme = secure ? "https" : "http";
  const cEntry* generic = nullptr;
  for (const cEntry& entry : m_proxies) {
    if (entry.scheme == scheme) return entry.url.c_str();
    if (entry.scheme.empty() && !generic) generic = &entry;
  }
  return generic ? generic->url.c_str() : "";
}

bool cProxyRules::Bypassed(const std::string& host) const {
  for (const std::string& pattern : m_bypass) {
    if (EqualNoCase(pattern, "<local>") ? host.find('.') == std::string::npos
                                        : WildcardMatch(pattern, host)) {
      return true;
    }
  }
  return false;
}

}  // namespace platform
