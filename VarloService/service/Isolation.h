#pragma once
// Network isolation: the host keeps only its own servers, through the firewall tool and the
// hosts file, and gets its saved policy and hosts file back on release. The service and the
// command line's local release share these steps.
#include <string>

class cAgentInfo;

// Results of an isolation or a release besides the firewall steps' own.
constexpr int ISOLATE_NO_SERVER_ADDRESS = -2;  // nothing resolved and no proxy: nothing changed
constexpr int RELEASE_IMPORT_FAILED = -2;      // the saved policy did not import: still isolated

// The saved firewall policy: the install folder followed by "\varlo-saved.wfw".
std::string GetFirewallBackupPath(const std::string& installDir);

// 0 when the backup exists already, 1 when the export wrote it, -1 when it did not.
int FirewallExport(const std::string& path);

// -1 without a backup; 0 when the policy was imported (the backup is then deleted);
// RELEASE_IMPORT_FAILED when the import failed (the backup is kept for the next release).
int FirewallImport(const std::string& path);

// Replaces every firewall rule by two allow rules for the address list and blocks everything
// else in every profile. Returns 1.
int FirewallIsolate(const std::string& addressList);

// Isolates the host: 0 already isolated, -1 the export failed, ISOLATE_NO_SERVER_ADDRESS when
// no server address is known (the fresh export is removed again), 1 isolated.
int IsolateHost(cAgentInfo& agentInfo);

// Puts the saved policy and hosts file back: the result of FirewallImport. After a failed
// import the hosts file stays pinned, so the host is consistently isolated until a release
// succeeds.
int ReleaseIsolation(const std::string& installDir);
