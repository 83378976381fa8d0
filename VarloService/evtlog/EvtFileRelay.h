#pragma once
// Uploads the service's own log as if it were Windows events: texts handed in (always) and the new
// lines of the log file (while the debug level is not 0) become events of the system-log batch,
// at most once every 10 seconds, on the event callback thread when an event arrives.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class cLogUploader;

class cEvtFileRelay {
 public:
  // A level of 0 or more becomes the debug level. With a path, the relay follows that file from
  // its current end. Returns the read offset.
  int64_t Open(int32_t debugLevel, const char* path = nullptr);

  // Queues a text for the next working tick (service thread).
  void AddPending(const std::string& text);

  // Sends what is due into the batch (callback thread).
  void Tick(cLogUploader& uploader);

  int32_t DebugLevel() const { return m_DebugLevel.load(); }

  // Text of one relay event: the template with the time and running number, the text escaped.
  static std::string EventText(int64_t time, int number, const std::string& text);

 private:
  void Send(cLogUploader& uploader, int64_t time, int number, const std::string& text);
  void SendNewLines(cLogUploader& uploader, int64_t time, int number);

  std::string m_Path;
  int32_t m_Interval = 10;
  std::atomic<int32_t> m_DebugLevel{0};  // written by the service thread, read by the callback
  int64_t m_ReadOffset = 0;
  int64_t m_LastTick = 0;
  std::string m_Event;  // the text of the event being sent
  std::mutex m_Lock;  // guards the pending text only
  std::string m_Pending;
};
