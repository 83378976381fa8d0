#pragma once
// The rendered events of the shared test data, and events written here in the single-quoted,
// whitespace-free form that Windows renders.
#include <string>
#include <vector>

struct cWinEvent {
  std::string file;  // relative to the winevent folder
  std::string xml;   // UTF-8
};

// Every event of every file under the winevent folder, in file order; empty when the folder is
// missing.
std::vector<cWinEvent> LoadWinEvents();
std::string WinEventFolder();

// A Security logon event with the EventData entries given as "Name", "value" pairs.
std::string SecurityEvent(const std::string& eventId,
                          const std::vector<std::pair<std::string, std::string>>& data);

// The UTF-16 text that the event log would hand over.
std::u16string Rendered(const std::string& xml);
