#pragma once
// What the tray program reads from the machine on its own: the user's proxy, imported once into
// the agent's settings, and whether Sysmon is installed.
#include <string>

// Copies the user's Internet proxy ("ProxyServer" and "ProxyOverride" while "ProxyEnable" is on,
// else empty texts) into "Proxy" and "ProxyBypass". The registry result of looking "Proxy" up
// afterwards: 0 present, otherwise the Windows error.
int LoadProxyConfig();

// The registry result of looking "Proxy" up in the agent's settings: 0 present (readable or not),
// ERROR_FILE_NOT_FOUND when it or the key is missing, otherwise the Windows error. The import runs
// only when it is missing: a value there that cannot be read is the administrator's all the same.
int LookUpProxy();

// 1 when the service key of Sysmon or Sysmon64 exists, else 0.
int IsSysmonInstalled();

// Whether the published version text (one trailing LF, then one CR, stripped) names another
// version than the installed line.
bool IsOtherVersion(std::string published, const std::string& installed);
