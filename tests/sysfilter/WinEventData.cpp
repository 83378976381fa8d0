#include "WinEventData.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/TextConv.h"

namespace fs = std::filesystem;

std::string WinEventFolder() { return std::string(VARLO_TESTDATA_DIR) + "/winevent"; }

std::vector<cWinEvent> LoadWinEvents() {
  std::vector<cWinEvent> events;
  std::error_code error;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(WinEventFolder(), error)) {
    if (entry.is_regular_file() && entry.path().extension() == ".xml")
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  // Line breaks stand inside values too, so events are cut where the next one starts.
  const std::string start = "<Event xmlns";
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    const std::string name = fs::relative(file, WinEventFolder()).string();
    for (size_t pos = text.find(start); pos != std::string::npos;) {
      const size_t next = text.find(start, pos + start.size());
      events.push_back({name, text.substr(pos, next == std::string::npos ? next : next - pos)});
      pos = next;
    }
  }
  return events;
}

std::string SecurityEvent(const std::string& eventId,
                          const std::vector<std::pair<std::string, std::string>>& data) {
  std::string xml =
      "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
      "<Provider Name='Microsoft-Windows-Security-Auditing' "
      "Guid='{54849625-5478-4994-a5ba-3e3b0328c30d}'/><EventID>" +
      eventId +
      "</EventID><Version>2</Version><Level>0</Level><Task>12544</Task>"
      "<TimeCreated SystemTime='2026-03-16T15:52:09.5166341Z'/><EventRecordID>1298116"
      "</EventRecordID><Execution ProcessID='808' ThreadID='5460'/><Channel>Security</Channel>"
      "<Computer>computer</Computer><Security/></System><EventData>";
  for (const auto& [name, value] : data) {
    xml += "<Data Name='" + name + "'>" + value + "</Data>";
  }
  return xml + "</EventData></Event>";
}

std::u16string Rendered(const std::string& xml) { return Utf8ToUtf16(xml); }
