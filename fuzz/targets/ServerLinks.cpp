// The server URLs of the settings and the proxy settings that every connection follows.
#include <string>
#include <string_view>

#include "common/Nvm.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"
#include "platform/Http.h"
#include "platform/ProxyRules.h"
#include "platform/TextConv.h"

using platform::cProxyRules;

namespace {

bool IsProxyUrl(const char* proxy) {
  return proxy && (*proxy == '\0' || std::string_view(proxy).substr(0, 7) == "http://");
}

}  // namespace

int FuzzServerUrl(const uint8_t* data, size_t size) {
  const std::string url(Bytes(data, size));
  std::wstring host = L"unchanged";
  int secure = -1;
  int port = -1;
  const int result = cNvm::ParseUrl(url, host, secure, port);
  if (result != 0) {
    Require((result == -1) == url.empty() && result >= -2);
    Require(host == L"unchanged" && secure == 1 && port == 443);
    return 0;
  }
  // The host is a stretch of the text, before any ":", each byte one wide character.
  const std::string bytes = NarrowBytes(host);
  Require(WidenBytes(bytes) == host);
  Require(url.find(bytes) != std::string::npos && bytes.find(':') == std::string::npos);
  Require(secure == 0 || secure == 1);
  const cProxyRules rules(WINHTTP_ACCESS_TYPE_NAMED_PROXY, "http=proxy:8080 https://proxy:8443",
                          "<local>;*.internal;10.*");
  Require(IsProxyUrl(rules.ProxyFor(bytes, secure == 1)));
  return 0;
}

int FuzzProxyList(const uint8_t* data, size_t size) {
  // The proxy list, the bypass list and the host asked for, each ended by a NUL or the input.
  std::string parts[3];
  size_t start = 0;
  for (std::string& part : parts) {
    if (start > size) break;
    const std::string_view rest = Bytes(data + start, size - start);
    part = rest.substr(0, rest.find('\0'));
    start += part.size() + 1;
  }
  const std::string& proxies = parts[0];
  const std::string& bypass = parts[1];
  const std::string& host = parts[2];
  for (const bool secure : {false, true}) {
    const cProxyRules named(WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxies, bypass);
    Require(IsProxyUrl(named.ProxyFor(host, secure)));
    Require(cProxyRules(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, proxies, bypass)
                .ProxyFor(host, secure) == nullptr);
    Require(*cProxyRules(WINHTTP_ACCESS_TYPE_NO_PROXY, proxies, bypass).ProxyFor(host, secure) ==
            '\0');
    // A host is bypassed by its own name, by "*" and by "*" and its last letters.
    if (!host.empty() && host.find_first_of("; \t\r\n") == std::string::npos) {
      for (const std::string& pattern : {host, std::string("*"), "*" + host.substr(host.size() / 2)}) {
        Require(*cProxyRules(WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxies, bypass + ";" + pattern)
                     .ProxyFor(host, secure) == '\0');
      }
    }
  }
  return 0;
}
