#pragma once
// Stands in for the web-server module where it writes: one access-log file per local hour in
// "C:\ModVarlo\logs\" named "%Y%m%d%H-json.log", one JSON object per line, each line ended by a
// line feed. Also turns lines of the combined access-log format into the module's records.
#include <jansson.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "platform/Clock.h"
#include "platform/Files.h"

class cWebModuleStandIn {
 public:
  // The file of the local hour that holds time.
  static std::string HourFile(int64_t time) {
    const std::time_t seconds = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char hour[16];
    std::strftime(hour, sizeof hour, "%Y%m%d%H", &local);
    return std::string("C:\\ModVarlo\\logs\\") + hour + "-json.log";
  }

  // Appends bytes as they stand to the file of the clock's hour; false when it cannot.
  static bool AppendRaw(const std::string& bytes) {
    return AppendRawTo(HourFile(platform::Clock().Now()), bytes);
  }
  static bool AppendRawTo(const std::string& file, const std::string& bytes) {
    if (!platform::CreateFolders("C:\\ModVarlo\\logs")) return false;
    FILE* out = platform::OpenFile(file, "ab");
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
  }
  // The record of a combined-format line (address - user [time] "request" status size "referer"
  // "agent"), with the members the module writes; null for a line of another shape.
  static json_t* RecordFromCombined(const std::string& line) {
    size_t quotes[6];
    size_t at = 0;
    for (size_t& quote : quotes) {
      quote = line.find('"', at);
      if (quote == std::string::npos) return nullptr;
      at = quote + 1;
    }
    const size_t addressEnd = line.find(' ');
    const std::string request = line.substr(quotes[0] + 1, quotes[1] - quotes[0] - 1);
    const size_t methodEnd = request.find(' ');
    const size_t uriEnd = request.find_first_of("? ", methodEnd + 1);
    const std::string status =
        line.substr(quotes[1] + 2, line.find(' ', quotes[1] + 2) - quotes[1] - 2);
    json_t* record = json_object();
    json_object_set_new(record, "Remote-addr", json_stringn(line.data(), addressEnd));
    json_object_set_new(record, "Method", json_string(request.substr(0, methodEnd).c_str()));
    json_object_set_new(record, "Host", json_string("www.example.test"));
    json_object_set_new(record, "Request", json_string(request.c_str()));
    json_object_set_new(
        record, "Uri",
        json_string(methodEnd == std::string::npos
                        ? ""
                        : request.substr(methodEnd + 1, uriEnd - methodEnd - 1).c_str()));
    json_object_set_new(record, "Referer",
                        json_string(line.substr(quotes[2] + 1, quotes[3] - quotes[2] - 1).c_str()));
    json_object_set_new(record, "User-Agent",
                        json_string(line.substr(quotes[4] + 1, quotes[5] - quotes[4] - 1).c_str()));
    json_object_set_new(record, "Status", json_string(status.c_str()));
    return record;
  }
};
