#include "VarloService/evtlog/EvtFileRelay.h"

#include <cstdio>
#include <ctime>

#include "VarloService/server/LogUploader.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

constexpr char kTemplateHead[] =
    "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Varlo'/>"
    "<EventID>0</EventID><TimeCreated SystemTime='";
constexpr char kTemplateTail[] = "'/><Channel>Application</Channel></System><EventData><Data>";
constexpr char kEventEnd[] = "</Data></EventData></Event>";
// The time stamp begins at character 146 and the Data text at 232, as in every relay event.
static_assert(sizeof kTemplateHead - 1 == 146, "time stamp position");
static_assert(sizeof kTemplateHead - 1 + 27 + sizeof kTemplateTail - 1 == 232, "template length");

constexpr size_t kLineReserve = 8192;

void AppendEscaped(std::string& out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
}

}  // namespace

std::string cEvtFileRelay::EventText(int64_t time, int number, const std::string& text) {
  time_t seconds = static_cast<time_t>(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char millis[8];
  std::snprintf(millis, sizeof millis, "%03d", number);
  std::string event;
  event.reserve(232 + text.size() + sizeof kEventEnd);
  event += kTemplateHead;
  event.append(stamp, length);
  event += '.';
  event.append(millis, 3);  // the running number, cut to the three millisecond digits
  event += "000Z";
  event += kTemplateTail;
  AppendEscaped(event, text);
  event += kEventEnd;
  return event;
}

int64_t cEvtFileRelay::Open(int32_t debugLevel, const char* path) {
  if (debugLevel >= 0) m_DebugLevel.store(debugLevel);
  if (path) {
    m_Path = path;
    int64_t size = platform::FileSize(m_Path);
    if (size >= 0) {
      m_ReadOffset = size;
      m_LastTick = platform::Clock().Now();
    }
  }
  return m_ReadOffset;
}

void cEvtFileRelay::AddPending(const std::string& text) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Pending += text;
}

void cEvtFileRelay::Send(cLogUploader& uploader, int64_t time, int number, const std::string& text) {
  m_Event = EventText(time, number, text);
  uploader.AppendSysLog(m_Event, nullptr, nullptr);
}

void cEvtFileRelay::Tick(cLogUploader& uploader) {
  const int64_t now = platform::Clock().Now();
  if (now - m_LastTick < m_Interval) return;
  m_LastTick = now;
  std::string pending;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    pending.swap(m_Pending);
  }
  int number = 0;
  if (!pending.empty()) Send(uploader, now, number++, pending);
  if (m_DebugLevel.load() != 0) SendNewLines(uploader, now, number);
}

void cEvtFileRelay::SendNewLines(cLogUploader& uploader, int64_t time, int number) {
  FILE* file = platform::OpenFile(m_Path, "rb");
  if (!file) return;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    long size = std::ftell(file);
    if (size < m_ReadOffset) m_ReadOffset = 0;  // rotated or cut: the new file from its start
  }
  std::fseek(file, static_cast<long>(m_ReadOffset), SEEK_SET);
  std::string line;
  line.reserve(kLineReserve);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    m_ReadOffset = std::ftell(file);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // the file is read as text
    // Empty lines (from records whose text holds line feeds) are passed over, so that they
    // cannot hold the reading at one place.
    if (!line.empty()) Send(uploader, time, number++, line);
    line.clear();
  }
  std::fclose(file);
}
