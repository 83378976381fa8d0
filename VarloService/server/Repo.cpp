#include "VarloService/server/Repo.h"

#include <spdlog/spdlog.h>

#include <cstdio>
#include <memory>

#include "common/Log.h"
#include "common/Nvm.h"
#include "common/SafeName.h"
#include "common/Sha256.h"
#include "platform/Files.h"
#include "platform/TextConv.h"

namespace {

// A download lands here first, beside its target, until its digest is checked.
constexpr char kUnverifiedSuffix[] = ".download";

// Makes the folders below folder that name lies in; those it made, outermost first.
std::vector<std::string> MakeFoldersOf(const std::string& folder, const std::string& name) {
  std::vector<std::string> made;
  for (size_t end = name.find_first_of("\\/"); end != std::string::npos;
       end = name.find_first_of("\\/", end + 1)) {
    const std::string path = folder + name.substr(0, end);
    if (platform::FolderExists(path)) continue;
    if (!platform::CreateFolders(path)) break;
    made.push_back(path);
  }
  return made;
}

}  // namespace

int cRepo::LoadEndpoint() {
  NvmDomain settings;
  int used = settings.GetUrl(NvmDomain::Repo, m_Host, m_Secure, m_Port) == 0 ? 0 : 1;
  if (used == 1) m_Host = WidenBytes(kDefaultRepoHost);
  settings.Close();
  return used;
}

void cRepo::ConnectEndpoint() {
  if (m_Host.empty()) LoadEndpoint();
  Connect(m_Host, m_Secure, m_Port);
}

int cRepo::Download(const std::wstring& remotePath, const std::string& localPath, const cAnswerLimit& limit) {
  if (!Connected()) return -1;
  cExchange exchange(*this, remotePath, VerbGet);
  if (!exchange.Opened()) return -2;
  bool answered = exchange.SendAndReceive(false, nullptr, 0);
  std::unique_ptr<FILE, int (*)(FILE*)> file(platform::OpenFile(localPath, "wb"), &std::fclose);
  if (!file) {
    SPDLOG_ERROR("{} not written: {}", localPath, GetLastError());
    return -3;
  }
  if (!answered) return 0;
  DWORD status = 0;
  if (!exchange.Status(status) || status != 200) {
    // An error page is not the file asked for.
    SPDLOG_WARN("{} answered {}", ForLog(WideToUtf8(remotePath)), status);
    return 0;
  }
  if (!exchange.ReadBody(limit, [&file](const char* data, uint32_t count) {
        std::fwrite(data, 1, count, file.get());
        return true;
      })) {
    // A failed receive leaves the file empty.
    file.reset();
    file.reset(platform::OpenFile(localPath, "wb"));
  }
  return 0;
}

int cRepo::GetText(const std::wstring& remotePath, std::string& text, const cAnswerLimit& limit) {
  if (!Connected()) return -1;
  cExchange exchange(*this, remotePath, VerbGet);
  if (!exchange.Opened()) return -2;
  if (!exchange.SendAndReceive(false, nullptr, 0)) return 0;
  DWORD status = 0;
  if (!exchange.Status(status) || status != 200) return -3;
  std::string body;
  bool complete = exchange.ReadBody(limit, [&body](const char* data, uint32_t count) {
    body.append(data, count);
    return true;
  });
  if (complete && !body.empty()) text = std::move(body);
  return 0;
}

int cRepo::DownloadPackage(const std::wstring& remoteFolder, const std::string& localFolder,
                           std::vector<std::string>* listed) {
  std::string manifestPath = localFolder + "manifest";
  if (Download(remoteFolder + L"manifest", manifestPath, kTextAnswer) < 0) return -1;
  platform::cInputFile manifest(manifestPath);
  if (!manifest.is_open()) return 0;
  int verified = 0;
  int valid = 0;
  std::string hash, name;
  while (NextManifestEntry(manifest, hash, name)) {
    if (listed) listed->push_back(name);
    if (!IsPackageName(name)) {
      SPDLOG_ERROR("manifest name refused: {}", ForLog(name));
      continue;
    }
    ++valid;
    if (FetchVerifiedFile(remoteFolder, localFolder, hash, name)) ++verified;
  }
  if (valid == 0) SPDLOG_ERROR("manifest of {} gives no valid entry", ForLog(WideToUtf8(remoteFolder)));
  return verified;
}

bool cRepo::FetchVerifiedFile(const std::wstring& remoteFolder, const std::string& localFolder,
                              const std::string& hash, const std::string& name) {
  const std::string target = localFolder + name;
  const std::string unverified = target + kUnverifiedSuffix;
  const std::vector<std::string> made = MakeFoldersOf(localFolder, name);
  Download(remoteFolder + Utf8ToWide(name), unverified);
  std::string content;
  const bool matches = platform::ReadWholeFile(unverified, content) && !content.empty() &&
                       hash.size() == SHA256_HEX_CHARS && hash == Sha256Hex(content);
  if (matches && platform::MoveReplacing(unverified, target)) return true;
  platform::DeletePath(unverified);
  for (auto folder = made.rbegin(); folder != made.rend(); ++folder) platform::DeletePath(*folder);
  return false;
}

bool cRepo::NextManifestEntry(std::istream& manifest, std::string& hash, std::string& name) {
  return static_cast<bool>(manifest >> hash >> name);
}

bool cRepo::IsPackageName(const std::string& name) {
  // Only a name that is UTF-8 comes back unchanged from the wide form of the request path.
  return IsSafeRelativeName(name) && WideToUtf8(Utf8ToWide(name)) == name;
}

bool cRepo::FetchVersion(const std::wstring& remoteFolder, std::string& version) {
  ConnectEndpoint();
  const int read = GetText(remoteFolder + L"version", version, kLineAnswer);
  Close();
  if (read < 0 || version.empty()) return false;
  if (version.back() == '\n') version.pop_back();
  if (!version.empty() && version.back() == '\r') version.pop_back();
  return true;
}
