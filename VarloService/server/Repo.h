#pragma once
// The package repository's client: plain GETs of text files and of folders described by a
// "manifest" of SHA-256 and file-name word pairs, on a connection to the repository endpoint. It
// follows the agent's proxy settings but sends no headers, never signs in and holds no keys.
#include <istream>
#include <string>
#include <vector>

#include "VarloService/server/Api.h"

class cRepo : public cApi {
 public:
  // Only keeps the record, for the proxy settings of the next session.
  void SetAgentInfo(cAgentInfo* agentInfo) { m_pAgentInfo = agentInfo; }

  // The endpoint from the setting "Repo" of the sub-key "Domain": 0; 1 when the default
  // repository host (HTTPS, port 443) was taken instead.
  int LoadEndpoint();
  // Connects to the endpoint, loading it first when none is known yet.
  void ConnectEndpoint();

  // GETs remotePath into the local file (Windows path): 0 (also when the exchange failed, went
  // beyond limit or was answered with a status other than 200: the file is then empty); -1 no
  // connection; -2 no request; -3 the file cannot be opened.
  int Download(const std::wstring& remotePath, const std::string& localPath,
               const cAnswerLimit& limit = kPackageFile);
  // GETs remotePath into text: 0 (also when the exchange failed or went beyond limit: text is then
  // unchanged, as it is for an empty body); -1 no connection; -2 no request; -3 a status other
  // than 200.
  int GetText(const std::wstring& remotePath, std::string& text, const cAnswerLimit& limit = kTextAnswer);
  // Downloads remoteFolder + "manifest" into localFolder, then every file it lists, into the
  // sub-folders its name gives; a file is moved into place only when its SHA-256 is the one
  // listed, and a name that is no safe file name (IsPackageName) is refused, as is logged a
  // manifest without one valid entry. The number of files verified; -1 when the manifest download
  // failed. listed, when given, receives every name of the manifest.
  int DownloadPackage(const std::wstring& remoteFolder, const std::string& localFolder,
                      std::vector<std::string>* listed = nullptr);
  // On a connection of its own, the text of remoteFolder + "version" without its line end; false
  // when it could not be fetched or is empty.
  bool FetchVersion(const std::wstring& remoteFolder, std::string& version);

  // Reads the next pair of words of a manifest: the file's SHA-256 hex and its name. False at
  // the end, also when a last hash has no name.
  static bool NextManifestEntry(std::istream& manifest, std::string& hash, std::string& name);
  // True for a name that may be requested from the repository and placed in the local folder.
  static bool IsPackageName(const std::string& name);

  std::wstring m_Host;
  int m_Secure = 0;
  int m_Port = 0;

 private:
  // Downloads one listed file beside its target and moves it into place when its SHA-256 is
  // hash; true when it did. A file that fails leaves nothing behind, the folders made for it
  // included.
  bool FetchVerifiedFile(const std::wstring& remoteFolder, const std::string& localFolder,
                         const std::string& hash, const std::string& name);
};
