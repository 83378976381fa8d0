#pragma once
// The event source of the "evtlog" test command: reports events into the Application log as the
// source "Application", which the collector then receives like any other event.
#include "platform/EventLog.h"

class EvtLogger {
 public:
  EvtLogger() : m_hEventLog(RegisterEventSourceA(nullptr, "Application")) {}
  ~EvtLogger() {
    if (m_hEventLog) DeregisterEventSource(m_hEventLog);
  }
  EvtLogger(const EvtLogger&) = delete;
  EvtLogger& operator=(const EvtLogger&) = delete;

  bool Registered() const { return m_hEventLog != nullptr; }
  // One information event (category 0, identifier 0, no user, no raw data) with the insertion
  // strings "Application" and text. False when the source is not registered or the report fails.
  bool Report(const char* text) {
    LPCSTR strings[] = {"Application", text};
    return m_hEventLog && ReportEventA(m_hEventLog, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
  }

 private:
  HANDLE m_hEventLog;
};
