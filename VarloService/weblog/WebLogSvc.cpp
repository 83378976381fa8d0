#include "VarloService/weblog/WebLogSvc.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/TextConv.h"

namespace {

std::tm LocalTime(int64_t time) {
  const std::time_t seconds = static_cast<std::time_t>(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

// The module's file for the local hour that holds time.
std::string HourlyFile(int64_t time) {
  const std::tm local = LocalTime(time);
  char hour[16];
  std::strftime(hour, sizeof hour, "%Y%m%d%H", &local);
  return std::string(kWebLogFolder) + hour + "-json.log";
}

int64_t LocalHourStart(int64_t time) {
  std::tm local = LocalTime(time);
  local.tm_min = 0;
  local.tm_sec = 0;
  return static_cast<int64_t>(std::mktime(&local));
}

int64_t FileLength(std::istream& file) {
  file.seekg(0, std::ios::end);
  return std::max<int64_t>(0, file.tellg());
}

// Where an identity cannot be told, the file is taken for the one already followed.
bool AnotherFile(const platform::cFileStream& file, const platform::cFileStream& followed) {
  platform::cFileIdentity identity;
  platform::cFileIdentity followedIdentity;
  return file.Identity(identity) && followed.Identity(followedIdentity) &&
         identity != followedIdentity;
}

}  // namespace

int cWebLogSvc::Start(cAgentInfo* agentInfo) {
  if (m_Running) return 1;
  SPDLOG_INFO("{}()", "cWebLogSvc::Start");
  std::wstring host;
  int secure = 1;
  int port = 443;
  {
    NvmDomain domain(0);
    if (domain.GetUrl(NvmDomain::UploadWeb, host, secure, port) != 0) {
      host = WidenBytes(kDefaultUploadWebHost);
      secure = 1;
      port = 443;
    }
  }
  m_U.Begin(agentInfo, 0, 0);
  // A connection that fails shows up as failed uploads.
  m_U.Connect(host, secure, port);
  m_Running = true;
  m_Thread = std::thread(&cWebLogSvc::SvcLoop, this);
  return 0;
}

void cWebLogSvc::Stop() {
  if (!m_Running) return;
  SPDLOG_INFO("{}()", "cWebLogSvc::Stop");
  {
    // Under the wake mutex, so the worker cannot miss the notice between its test and its wait.
    std::lock_guard<std::mutex> guard(m_WakeMutex);
    m_Running = false;
  }
  m_WakeCond.notify_one();
  // A flush to a server that does not answer would hold the stop for a minute: the batch in
  // flight is dropped, as an unsent batch is at every stop.
  m_U.Cancel();
  if (m_Thread.joinable()) m_Thread.join();
  m_U.Close();
  for (cPendingSlot* slot :
       {&m_PendingMask, &m_PendingWebFilter, &m_PendingWaf, &m_PendingUploadExcept}) {
    slot->Set(nullptr);
  }
}

int cWebLogSvc::Print() {
  SPDLOG_INFO("WebLogSvc>");
  SPDLOG_INFO(" Cursor={}", m_Cursor.load());
  SPDLOG_INFO(" m_U.Lines()={}", m_U.Lines());
  SPDLOG_INFO(" m_U.Time()={}", m_U.Time());
  SPDLOG_INFO(" m_U.OK()={}", m_U.OK());
  SPDLOG_INFO(" m_U.Error()={}", m_U.Error());
  return 0;
}

int cWebLogSvc::InitFile() {
  const int64_t now = platform::Clock().Now();
  m_File = HourlyFile(now);
  m_Followed = std::make_unique<platform::cInputFile>(m_File, std::ios::binary);
  int64_t end = 0;
  if (m_Followed->is_open()) {
    end = FileLength(*m_Followed);
  } else {
    m_Followed.reset();
  }
  MoveCursor(end);
  m_NextHour = LocalHourStart(now) + kHourSeconds;
  m_NextFile = HourlyFile(m_NextHour);
  SPDLOG_INFO("Start WebLog={}", m_File);
  return 0;
}

int cWebLogSvc::RotateFile() {
  const int64_t now = platform::Clock().Now();
  if (now < m_NextHour) return 0;
  if (m_NextFile == m_File) {
    // The clock was set back an hour: the module goes on writing the file being read.
  } else if (platform::FileExists(m_NextFile)) {
    m_File = m_NextFile;
    MoveCursor(0);
    m_Followed.reset();
    SPDLOG_INFO("Change WebLog={}", m_File);
  } else if (now - m_NextHour <= kHourSeconds) {
    return 0;
  }
  m_NextHour += kHourSeconds;
  m_NextFile = HourlyFile(m_NextHour);
  return 1;
}

void cWebLogSvc::SvcLoop() {
  cLineBuffers buffers;
  InitFile();
  while (m_Running) {
    TakePendingLists();
    ReadNewLines(buffers);
    if (m_U.Lines() > 0 && platform::Clock().Now() - m_U.Time() > kBatchAgeSeconds) m_U.Flush();
    RotateFile();
    std::unique_lock<std::mutex> lock(m_WakeMutex);
    m_WakeCond.wait_for(lock, std::chrono::milliseconds(m_WakeMs), [this] { return !m_Running; });
  }
  LeaveLongLine();
  m_Followed.reset();
  m_LogMask.Conf(nullptr);
  SPDLOG_INFO("{}({}) exit", "cWebLogSvc::SvcLoop", static_cast<int>(m_Running.load()));
}

void cWebLogSvc::TakePendingLists() {
  if (json_t* mask = m_PendingMask.Take()) {
    m_LogMask.Conf(mask);
    SPDLOG_INFO("m_LogMask.Conf()");
  }
  if (json_t* filters = m_PendingWebFilter.Take())
    SPDLOG_INFO("m_FE.Load(Web)={}", m_FE.Load(filters));
  if (json_t* waf = m_PendingWaf.Take()) SPDLOG_INFO("m_FEx.Load(Web)={}", m_FEx.Load(waf));
  if (json_t* except = m_PendingUploadExcept.Take())
    SPDLOG_INFO("m_UFE.Load(Web)={}", m_UFE.Load(except));
}

void cWebLogSvc::ReadNewLines(cLineBuffers& buffers) {
  auto file = std::make_unique<platform::cInputFile>(m_File, std::ios::binary);
  if (!file->is_open()) {
    const DWORD error = GetLastError();
    // Deleted: whatever the module makes under the name later is a file of its own.
    if (m_Followed && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
      LeaveFollowedFile(buffers);
    return;
  }
  if (m_Followed && AnotherFile(*file, *m_Followed)) LeaveFollowedFile(buffers);
  m_Followed = std::move(file);
  if (FileLength(*m_Followed) < m_Cursor) {
    // Cut within its hour: every line is new.
    MoveCursor(0);
    SPDLOG_INFO("Reread WebLog={}", m_File);
  }
  ReadLines(*m_Followed, buffers);
}

void cWebLogSvc::LeaveFollowedFile(cLineBuffers& buffers) {
  // Lines the module wrote just before it let the file go are still in the file held open.
  ReadLines(*m_Followed, buffers);
  m_Followed.reset();
  MoveCursor(0);
  SPDLOG_INFO("Reread WebLog={}", m_File);
}

void cWebLogSvc::ReadLines(std::istream& file, cLineBuffers& buffers) {
  cLineReader& reader = buffers.lines;
  reader.Begin(file, m_Cursor, m_LongLineFrom);
  std::string_view line;
  // The stop is looked at after every line and every chunk of a line passed over, so a line of
  // any length holds a stop no longer than one chunk's reading.
  for (cLineReader::eStep step; m_Running && (step = reader.Next(line)) != cLineReader::kEnd;) {
    if (step == cLineReader::kSkipped) {
      SPDLOG_ERROR("WebLog line at {} skipped: {} bytes, more than {}", reader.SkippedFrom(),
                   reader.SkippedBytes(), kLongestLine);
    } else if (step == cLineReader::kLine && !line.empty()) {
      json_error_t error;
      json_t* record = json_loadb(line.data(), line.size(), JSON_ALLOW_NUL, &error);
      if (json_is_object(record)) HandleRecord(record, buffers.decoding);
      json_decref(record);
    }
    // Moved only once the line is handled, so the cursor tells how far the records are in.
    m_Cursor = reader.Offset();
  }
  // A line not whole yet is read again; the bytes of one passed over are not looked at again.
  m_Cursor = reader.Offset();
  m_LongLineFrom = reader.SkipFrom();
}

void cWebLogSvc::MoveCursor(int64_t offset) {
  LeaveLongLine();
  m_Cursor = offset;
}

void cWebLogSvc::LeaveLongLine() {
  if (m_LongLineFrom < 0) return;
  SPDLOG_ERROR("WebLog line at {} skipped: {} bytes without a line feed, more than {}", m_LongLineFrom,
               m_Cursor - m_LongLineFrom, kLongestLine);
  m_LongLineFrom = -1;
}

void cWebLogSvc::HandleRecord(json_t* json, WebDecodeBuffers& decoding) {
  WebRecord record(json, decoding);
  int result = m_UFE.Check(record);
  if (result >= 1) {
    SPDLOG_INFO("* m_UFE.Check(Web)={} !!!", result);
    return;
  }
  result = m_FEx.Check(record);
  if (result >= 1) {
    SPDLOG_INFO("* m_FEx.Check(Web)={} !!!", result);
    // The module's detections are cancelled by the exception.
    json_object_del(json, "webExtendsDetects");
    m_LogMask.Mask(json);
    m_U.AppendWebLog(json);
    return;
  }
  const int detected = m_FE.Detect(record);
  if (detected >= 1) SPDLOG_INFO("* m_FE.Check(Web)={} !!!", detected);
  // Records with detections, the filters' or the module's own, go out unmasked.
  if (detected < 1 && !json_object_get(json, "webExtendsDetects")) m_LogMask.Mask(json);
  m_U.AppendWebLog(json);
}
