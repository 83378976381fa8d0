#pragma once
// Settings objects over the agent's registry key HKLM "SOFTWARE\BreltSecurity\VARLO" and its
// sub-keys. Each kind has a fixed table of value names; callers pick a value by name or by its
// place in the table. Objects are built where needed, used and closed right after.
#include <cstdint>
#include <string>

#include "platform/Registry.h"

// Deployment settings: the servers used when the "Domain" sub-key names none.
constexpr char kDefaultRepoHost[] = "repo.varlo.test";
constexpr char kDefaultApiHost[] = "api.varlo.test";
constexpr char kDefaultUploadSysHost[] = "sys.varlo.test";
constexpr char kDefaultUploadWebHost[] = "web.varlo.test";

constexpr char kAgentKeyPath[] = "SOFTWARE\\BreltSecurity\\VARLO";

class cNvm {
 public:
  // Strings longer than this (NUL included) read as failures.
  static constexpr uint32_t kStringBufferBytes = 1024;

  cNvm(const char* const* names, int nameCount) : m_Names(names), m_NameCount(nameCount) {}
  ~cNvm() { Close(); }
  cNvm(const cNvm&) = delete;
  cNvm& operator=(const cNvm&) = delete;

  // Opens the agent key, or its sub-key when one is named: read-only for a mode below 1,
  // otherwise created when missing and opened for writing. 0 or -1.
  int Open(int mode, const char* subKey = nullptr);
  // The same for any key, such as the operating system's version key.
  int OpenPath(HKEY root, const char* path, int mode);
  void Close();
  bool IsOpen() const { return m_Key != nullptr; }

  // The name at a place of the table; null outside it.
  const char* Name(int index) const;

  // 0 read (text up to its first NUL); 1 missing while open for writing: the caller's text is
  // the default and is stored; -2 there but longer than kStringBufferBytes; -1 any other failure
  // (missing while read-only, key not open). On a failure the text is unchanged.
  int GetString(const char* name, std::string& text);
  int GetString(int index, std::string& text) { return GetString(Name(index), text); }

  // Read-or-create of a number, with the same results; the stored type is not checked, and a
  // value wider than the field reads as a failure and is not written back.
  int GetDword(const char* name, uint32_t& value);
  int GetDword(int index, uint32_t& value) { return GetDword(Name(index), value); }
  int GetQword(const char* name, uint64_t& value);
  int GetQword(int index, uint64_t& value) { return GetQword(Name(index), value); }

  // 0, or the Windows error of the write, negated.
  int SetString(const char* name, const std::string& text);
  int SetString(int index, const std::string& text) { return SetString(Name(index), text); }
  int SetDword(const char* name, uint32_t value);
  int SetDword(int index, uint32_t value) { return SetDword(Name(index), value); }
  int SetQword(const char* name, uint64_t value);
  int SetQword(int index, uint64_t value) { return SetQword(Name(index), value); }

  // Parses a server URL value: host (each byte one wide character), secure flag and port.
  // secure 1 and port 443 to start; a 4-letter scheme sets 0 and 80, a 5-letter one keeps them.
  // 0; -1 value unreadable or empty; -2 no "://" or a scheme of another length. The host is only
  // set on 0.
  int GetUrl(const char* name, std::wstring& host, int& secure, int& port);
  int GetUrl(int index, std::wstring& host, int& secure, int& port) {
    return GetUrl(Name(index), host, secure, port);
  }
  // The same for the text of a value; an empty one gives -1.
  static int ParseUrl(const std::string& url, std::wstring& host, int& secure, int& port);

 private:
  int GetNumber(const char* name, void* field, uint32_t fieldBytes, DWORD type);
  int SetValue(const char* name, DWORD type, const void* data, uint32_t bytes);
  bool Writable() const { return m_Mode >= 1; }

  HKEY m_Key = nullptr;
  int m_Mode = -1;
  const char* const* m_Names;
  int m_NameCount;
};

// The agent key, opened for writing by its constructor.
class NvmVarlo : public cNvm {
 public:
  enum Value {
    AgentType, AgentVersion, InstallDir, LicenseKey, AgentId, IpAddr, Status, UploadTime,
    AutoUpdate, EventChannelMask, RC, Proxy, ProxyBypass
  };
  explicit NvmVarlo(int mode = 1);
};

// The sub-key "Domain" with the server URLs; never written.
class NvmDomain : public cNvm {
 public:
  enum Value { Domain, Repo, Apis, UploadSys, UploadWeb };
  explicit NvmDomain(int mode = 0);
};

// The sub-key "ModVarlo" with the web-server module's switch.
class NvmModVarlo : public cNvm {
 public:
  enum Value { ModVarlo, Seq, Active };
  explicit NvmModVarlo(int mode);
};

// The tray program's view of the agent key.
class NvmVarloUi : public cNvm {
 public:
  enum Value {
    AgentType, AgentVersion, InstallDir, InstallTime, PatchTime, LicenseKey, AgentId, Status,
    UploadTime, AutoUpdate, Proxy, ProxyBypass
  };
  explicit NvmVarloUi(int mode);
};
