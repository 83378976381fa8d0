#include "VarloService/actions/Audit.h"


#include "VarloService/actions/Uilt.h"
#include "common/SafeName.h"
#include "platform/Files.h"

namespace {

constexpr uint32_t kAuditCommandWaitMs = 10000;

// The audit subcategories by the first group of their published identifiers.
const char* const kSuccessSubcategories[] = {
    "0CCE9212", "0CCE9214", "0CCE9210", "0CCE9215", "0CCE9216", "0CCE9217", "0CCE921B", "0CCE9243",
    "0CCE922F", "0CCE9230", "0CCE9235", "0CCE9236", "0CCE9237", "0CCE923B", "0CCE9240", "0CCE9242",
    "0CCE923F", "0CCE921D", "0CCE921E", "0CCE921F", "0CCE9224", "0CCE9226", "0CCE922C", "0CCE922B",
    "0CCE9232", "0CCE9223", "0CCE9227", "0CCE923C", "0CCE923D", "0CCE923E"};
const char* const kFailureSubcategories[] = {"0CCE9212", "0CCE9214", "0CCE9215", "0CCE9243", "0CCE9226"};

template <size_t N>
std::string SetSubcategoriesCommand(const char* const (&firstGroups)[N], const char* setting) {
  std::string command = "auditpol /set /subcategory:";
  for (size_t i = 0; i < N; ++i) {
    if (i) command += ",";
    command += std::string("{") + firstGroups[i] + "-69AE-11D9-BED3-505054503030}";
  }
  return command + " " + setting;
}

// Scripts from the server may wrap a double-quoted text in single quotes as "'"; the three
// characters at the line's first double quote become one double quote, and only those.
void CollapseQuotedQuote(std::string& line) {
  const size_t doubleQuote = line.find('"');
  if (doubleQuote == std::string::npos || line.compare(doubleQuote, 3, "\"'\"") != 0) return;
  if (line.find('\'') != doubleQuote + 1) return;
  line.erase(doubleQuote + 1, 2);
}

}  // namespace

int cAudit::SetPolicy(const std::string& installDir) {
  m_InstallDir = &installDir;
  const std::string backupPath = installDir + "\\auditpolicy.csv";
  if (platform::FileExists(backupPath)) return 0;
  ExecCmd("auditpol /backup /file:\"" + backupPath + "\"", nullptr, kAuditCommandWaitMs);
  ExecCmd(SetSubcategoriesCommand(kSuccessSubcategories, "/success:enable"), nullptr, kAuditCommandWaitMs);
  ExecCmd(SetSubcategoriesCommand(kFailureSubcategories, "/failure:enable"), nullptr, kAuditCommandWaitMs);
  return 1;
}

int cAudit::RunScript(const std::string& name) {
  if (!IsSafeRelativeName(name)) return -2;
  if (!m_InstallDir) return -1;
  const std::string inputPath = *m_InstallDir + "\\" + name;
  const std::string outputPath = inputPath + ".ps1";

  platform::cOutputFile output(outputPath);
  if (!output.is_open()) return -1;
  platform::cInputFile input(inputPath);
  std::string line;
  while (input.is_open() && std::getline(input, line)) {
    if (line.compare(0, 4, "win-") != 0) continue;
    CollapseQuotedQuote(line);
    output << line << '\n';
  }
  output.close();
  const int64_t size = platform::FileSize(outputPath);
  if (size <= 0) return 0;

  ExecUserApp("powershell", ("-EP bypass -file .\\" + name + ".ps1").c_str(), m_InstallDir->c_str());
  return static_cast<int>(size);
}
