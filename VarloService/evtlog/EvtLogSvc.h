#pragma once
// The Windows event-log collector: selects up to 26 channels, switches on the selected ones that
// are off, subscribes to their future events, and on the subscription's thread tests each event
// against the upload exceptions and detection filters and hands what passes to its upload batch.
// Every operation but the callback runs on the service thread.
#include <jansson.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "VarloService/evtlog/EvtFileRelay.h"
#include "VarloService/server/LogUploader.h"
#include "VarloService/sysfilter/EvtExceptList.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/FilterSet.h"
#include "common/AgentInfo.h"
#include "platform/EventLog.h"

constexpr int kEvtChannelCount = 26;
constexpr int kSysmonChannel = 3;
extern const char16_t* const EvtChannelTable[kEvtChannelCount];

class cEvtLogSvc {
 public:
  // Change states of SyslogConf.
  enum { ConfNone = 0, ConfDetectOn = 1, ConfBlockChanged = 2, ConfDetectOff = 3 };

  cEvtLogSvc();
  ~cEvtLogSvc();
  cEvtLogSvc(const cEvtLogSvc&) = delete;
  cEvtLogSvc& operator=(const cEvtLogSvc&) = delete;

  // Bit i selects entry i of the channel table (from "EventChannelMask").
  void SetChannelMask(uint32_t mask) { m_ChannelMask = mask; }
  uint32_t ChannelMask() const { return m_ChannelMask; }

  // Pending rule sets for the collecting thread; the references pass to the collector, and what
  // is still pending is released. (null, null) drops what is pending.
  void SetSysFilter(json_t* filters, json_t* references);
  void SetUploadExcept(json_t* exceptions);

  // Detection, block mode and upload level; returns the change state now in force.
  uint32_t SyslogConf(uint32_t nDetect, uint32_t nBlock, uint32_t nLogLevel);
  bool Detect() const { return m_Detect.load() != 0; }

  // 1 already subscribed; otherwise SubscribeChannels' result.
  int Start(cAgentInfo* agentInfo);
  void Stop();
  // Replaces any subscription with one for the selected channels: 0 or -1.
  int SubscribeChannels();
  int Print();

  // The road of one rendered event (callback thread; the XML is NUL-terminated UTF-16): 0 uploaded
  // (or not collecting), 1 dropped after an old batch was flushed, 2 excepted, 3 dropped.
  int OnRx(const char16_t* xml);
  // Runs the server's defence commands (block mode only); list becomes the array of their
  // identifiers, or null. Always 0.
  int Cmd(json_t*& list);

  // For the periodic duties of the service loop.
  bool Subscribed() const { return m_hSubscription.load() != nullptr; }
  // Collection was started but its subscription failed: to be retried at every pass.
  bool AwaitsSubscription() const { return m_Started && !Subscribed(); }
  int64_t LastEvent() const { return m_LastEvent.load(); }
  bool SysmonMissing() const { return m_SysmonMissing != 0; }
  // Whether the Sysmon channel exists on this host now.
  static bool SysmonChannelExists();
  uint32_t EnabledByUs() const { return m_EnabledByUs; }
  // Events handled while subscribed, and whether a callback is in the collector right now.
  uint32_t RxCount() const { return m_RxCount.load(); }
  bool InCallback() const { return m_InCallback.load() != 0; }
  cEvtFileRelay& Relay() { return m_Relay; }
  cLogUploader& Uploader() { return m_U; }

  static DWORD EvtLogCallback(EVT_SUBSCRIBE_NOTIFY_ACTION action, void* context, EVT_HANDLE event);

 private:
  // Closes the subscription and waits until no callback is left in the collector.
  void CloseSubscription();
  bool RenderEvent(EVT_HANDLE event);
  json_t* TakePendingExcept();
  void TakePendingFilters(json_t*& filters, json_t*& references);
  // Loads the rule sets handed over since the last event (callback thread).
  void TakePendingRules();
  void ApplyConfChange();
  void SwitchOffOurChannels();

  cLogUploader m_U;
  sysfilter::cFilterSet m_FE;
  cEvtExceptList m_UFE;
  cEvtFileRelay m_Relay;
  std::u16string m_Query;
  std::atomic<EVT_HANDLE> m_hSubscription{nullptr};
  std::unique_ptr<char16_t[]> m_RenderBuf;
  DWORD m_RenderBytes = 0;
  EvtRecord m_Record;  // the event in OnRx, its text's room kept for the next
  uint32_t m_ChannelMask = 0xFFFFFFFF;
  uint32_t m_EnabledByUs = 0;
  uint32_t m_SysmonMissing = 0;
  std::atomic<uint32_t> m_ConfChanged{0};
  std::atomic<uint32_t> m_Detect{0};
  std::atomic<uint32_t> m_Block{0};
  std::atomic<uint32_t> m_Level{0};
  std::atomic<uint32_t> m_RxCount{0};
  std::atomic<uint32_t> m_CbCount{0};
  std::atomic<int64_t> m_LastEvent{0};
  std::mutex m_FilterMutex;
  json_t* m_PendingFilters = nullptr;
  json_t* m_PendingReferences = nullptr;
  std::mutex m_ExceptMutex;
  std::atomic<json_t*> m_PendingExcept{nullptr};
  std::atomic<uint32_t> m_InCallback{0};
  // Callbacks may hand events to the collector: set before subscribing (a subscription may
  // deliver before its handle is stored), cleared before it is closed.
  std::atomic<bool> m_Delivering{false};
  bool m_Started = false;  // between Start and Stop, subscribed or not
};
