#include "VarloService/evtlog/EvtLogSvc.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <thread>

#include "VarloService/actions/Uilt.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/TextConv.h"

const char16_t* const EvtChannelTable[kEvtChannelCount] = {
    u"Application",
    u"System",
    u"Setup",
    u"Microsoft-Windows-Sysmon/Operational",
    u"Security",
    u"Microsoft-Windows-DriverFrameworks-UserMode/Operational",
    u"Microsoft-Windows-Kernel-PnP/Configuration",
    u"Microsoft-Windows-Windows Defender/Operational",
    u"Microsoft-Windows-TaskScheduler/Operational",
    u"Microsoft-Windows-TerminalServices-LocalSessionManager/Operational",
    u"Microsoft-Windows-TerminalServices-RemoteConnectionManager/Operational",
    u"Microsoft-Windows-PowerShell/Operational",
    u"Microsoft-Windows-PrintService/Operational",
    u"Microsoft-Windows-Windows Firewall With Advanced Security/Firewall",
    u"Microsoft-Windows-Shell-Core/Operational",
    u"Microsoft-Windows-NetworkProfile/Operational",
    u"Microsoft-Windows-User Profile Service/Operational",
    u"Microsoft-Windows-SMBClient/Operational",
    u"Microsoft-Windows-SMBClient/Connectivity",
    u"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational",
    u"Active Directory Web Services",
    u"DFS Replication",
    u"Directory Service",
    u"DNS Server",
    u"Microsoft-Windows-DNS-Client/Operational",
    u"Microsoft-Windows-Partition/Diagnostic",
};

namespace {

constexpr char16_t kQueryOpen[] = u"<QueryList><Query Id=\"0\">";
constexpr char16_t kSelectOpen[] = u"<Select Path=\"";
constexpr char16_t kSelectClose[] = u"\">*</Select>";
constexpr char16_t kQueryClose[] = u"</Query></QueryList>";

// An event dropped while its batch is older than this sends the batch on.
constexpr int64_t kDropFlushSeconds = 5;

const char* const kLoggingPolicies[][2] = {
    {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\Audit",
     "ProcessCreationIncludeCmdLine_Enabled"},
    {"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ScriptBlockLogging", "EnableScriptBlockLogging"},
};

bool SetChannelEnabled(EVT_HANDLE config, bool enabled) {
  EVT_VARIANT value{};
  value.Type = EvtVarTypeBoolean;
  value.BooleanVal = enabled ? TRUE : FALSE;
  return EvtSetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, &value);
}

bool ChannelEnabled(EVT_HANDLE config) {
  EVT_VARIANT value{};
  DWORD used = 0;
  return EvtGetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, sizeof value, &value, &used) &&
         value.BooleanVal;
}

// True when the channel takes events, switching it on when it was off; enabledNow tells which.
bool MakeChannelUsable(const char16_t* channel, bool& enabledNow) {
  enabledNow = false;
  EVT_HANDLE config = EvtOpenChannelConfig(nullptr, channel, 0);
  if (!config) return false;
  bool usable = ChannelEnabled(config);
  if (!usable && SetChannelEnabled(config, true) && ChannelEnabled(config) && EvtSaveChannelConfig(config, 0)) {
    usable = enabledNow = true;
  }
  EvtClose(config);
  return usable;
}

void SwitchOnLoggingPolicies() {
  for (const auto& policy : kLoggingPolicies) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, policy[0], 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      continue;
    }
    const DWORD on = 1;
    RegSetValueExA(key, policy[1], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
    RegCloseKey(key);
  }
}

void Release(json_t* value) {
  if (value) json_decref(value);
}

}  // namespace

cEvtLogSvc::cEvtLogSvc() = default;

cEvtLogSvc::~cEvtLogSvc() {
  Stop();
  // A pending value handed over after the last Stop still belongs to us.
  SetSysFilter(nullptr, nullptr);
  SetUploadExcept(nullptr);
}

void cEvtLogSvc::SetSysFilter(json_t* filters, json_t* references) {
  json_t* oldFilters;
  json_t* oldReferences;
  {
    std::lock_guard<std::mutex> guard(m_FilterMutex);
    oldFilters = m_PendingFilters;
    oldReferences = m_PendingReferences;
    m_PendingFilters = filters;
    m_PendingReferences = references;
  }
  Release(oldFilters);
  Release(oldReferences);
}

void cEvtLogSvc::SetUploadExcept(json_t* exceptions) {
  json_t* old;
  {
    std::lock_guard<std::mutex> guard(m_ExceptMutex);
    old = m_PendingExcept.exchange(exceptions);
  }
  Release(old);
}

uint32_t cEvtLogSvc::SyslogConf(uint32_t nDetect, uint32_t nBlock, uint32_t nLogLevel) {
  if (nDetect) {
    m_Level = nLogLevel;
    if (m_Detect.load() == 0) {
      m_Detect = nDetect;
      m_Block = nBlock;
      m_ConfChanged.exchange(ConfDetectOn);
    } else if (m_Block.load() != nBlock) {
      m_Block = nBlock;
      m_ConfChanged.exchange(ConfBlockChanged);
    }
  } else {
    m_Level = 1;
    if (m_Detect.load() != 0) {
      m_Detect = 0;
      m_Block = nBlock;
      m_ConfChanged.exchange(ConfDetectOff);
    }
  }
  return m_ConfChanged.load();
}

int cEvtLogSvc::Start(cAgentInfo* agentInfo) {
  if (Subscribed()) return 1;
  m_Started = true;

  std::wstring host;
  int secure = 1;
  int port = 443;
  {
    NvmDomain domain(0);
    if (domain.GetUrl(NvmDomain::UploadSys, host, secure, port) != 0) host = WidenBytes(kDefaultUploadSysHost);
  }
  m_ConfChanged = ConfNone;
  m_U.Begin(agentInfo, m_Detect.load(), m_Block.load());
  m_U.Connect(host, secure, port);

  // Whatever is pending, none included, becomes the rule set.
  SPDLOG_INFO("m_UFE.Load()={}", m_UFE.Load(TakePendingExcept()));
  json_t* filters;
  json_t* references;
  TakePendingFilters(filters, references);
  SPDLOG_INFO("m_FE.Load()={}", m_FE.Load(filters, references));

  SwitchOnLoggingPolicies();
  int result = SubscribeChannels();
  SPDLOG_INFO("{}()={}", "cEvtLogSvc::Start", result);
  return result;
}

bool cEvtLogSvc::SysmonChannelExists() {
  EVT_HANDLE config = EvtOpenChannelConfig(nullptr, EvtChannelTable[kSysmonChannel], 0);
  if (!config) return false;
  EvtClose(config);
  return true;
}

void cEvtLogSvc::SwitchOffOurChannels() {
  for (int i = 0; i < kEvtChannelCount && m_EnabledByUs; ++i) {
    if (!(m_EnabledByUs & (1u << i))) continue;
    EVT_HANDLE config = EvtOpenChannelConfig(nullptr, EvtChannelTable[i], 0);
    if (config) {
      SetChannelEnabled(config, false);
      EvtSaveChannelConfig(config, 0);
      EvtClose(config);
    }
  }
  m_EnabledByUs = 0;
}

void cEvtLogSvc::CloseSubscription() {
  m_Delivering = false;
  EVT_HANDLE subscription = m_hSubscription.exchange(nullptr);
  if (subscription) EvtClose(subscription);
  while (m_InCallback.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void cEvtLogSvc::Stop() {
  SwitchOffOurChannels();
  // A collector whose subscription failed is cleaned up as well, and is no longer retried.
  if (!Subscribed() && !m_Started) return;
  m_Started = false;
  m_SysmonMissing = 0;
  // An upload in flight would keep the last callback, and so the stop, waiting on its server.
  m_U.Cancel();
  CloseSubscription();
  m_FE.Clear();
  m_UFE.Clear();
  m_U.Close();
  m_RenderBuf.reset();
  m_RenderBytes = 0;
  SetSysFilter(nullptr, nullptr);
  SetUploadExcept(nullptr);
  SPDLOG_INFO("{}()", "cEvtLogSvc::Stop");
}

int cEvtLogSvc::SubscribeChannels() {
  // Worked out afresh, so the Sysmon monitor retries until the channel is there.
  m_SysmonMissing = 0;
  CloseSubscription();

  m_Query = kQueryOpen;
  for (int i = 0; i < kEvtChannelCount; ++i) {
    if (!(m_ChannelMask & (1u << i))) continue;
    bool enabledNow = false;
    if (!MakeChannelUsable(EvtChannelTable[i], enabledNow)) {
      if (i == kSysmonChannel) m_SysmonMissing = 1;
      continue;
    }
    if (enabledNow) m_EnabledByUs |= 1u << i;
    m_Query += kSelectOpen;
    m_Query += EvtChannelTable[i];
    m_Query += kSelectClose;
  }
  m_Query += kQueryClose;

  m_Delivering = true;
  EVT_HANDLE subscription = EvtSubscribe(nullptr, nullptr, nullptr, m_Query.c_str(), nullptr, this,
                                         &cEvtLogSvc::EvtLogCallback, EvtSubscribeToFutureEvents);
  if (!subscription) {
    m_Delivering = false;
    SPDLOG_CRITICAL("EvtSubscribe(ch={:x})={}", m_EnabledByUs, GetLastError());
    return -1;
  }
  m_hSubscription = subscription;
  m_LastEvent = platform::Clock().Now();
  SPDLOG_INFO("EvtSubscribe(ch={:x})=0", m_EnabledByUs);
  return 0;
}

DWORD cEvtLogSvc::EvtLogCallback(EVT_SUBSCRIBE_NOTIFY_ACTION action, void* context, EVT_HANDLE event) {
  auto* self = static_cast<cEvtLogSvc*>(context);
  self->m_CbCount.fetch_add(1, std::memory_order_relaxed);
  if (action != EvtSubscribeActionDeliver) {
    SPDLOG_ERROR("EvtLogCallback> nAction={}", static_cast<DWORD>(action));
    return 0;
  }
  // Counted before the check, so that Stop either sees this callback or this callback sees Stop.
  self->m_InCallback.fetch_add(1);
  if (self->m_Delivering.load() && self->RenderEvent(event)) self->OnRx(self->m_RenderBuf.get());
  self->m_InCallback.fetch_sub(1);
  return 0;
}

bool cEvtLogSvc::RenderEvent(EVT_HANDLE event) {
  DWORD used = 0;
  DWORD count = 0;
  if (EvtRender(nullptr, event, EvtRenderEventXml, m_RenderBytes, m_RenderBuf.get(), &used, &count)) return true;
  DWORD error = GetLastError();
  if (error == ERROR_INSUFFICIENT_BUFFER) {
    m_RenderBuf.reset(new (std::nothrow) char16_t[(used + 1) / 2]);
    m_RenderBytes = m_RenderBuf ? used : 0;
    if (EvtRender(nullptr, event, EvtRenderEventXml, m_RenderBytes, m_RenderBuf.get(), &used, &count)) return true;
    error = GetLastError();
  }
  SPDLOG_ERROR("EvtLogCallback> EvtRender()={}", error);
  return false;
}

json_t* cEvtLogSvc::TakePendingExcept() {
  std::lock_guard<std::mutex> guard(m_ExceptMutex);
  return m_PendingExcept.exchange(nullptr);
}

void cEvtLogSvc::TakePendingFilters(json_t*& filters, json_t*& references) {
  std::lock_guard<std::mutex> guard(m_FilterMutex);
  filters = m_PendingFilters;
  references = m_PendingReferences;
  m_PendingFilters = m_PendingReferences = nullptr;
}

void cEvtLogSvc::TakePendingRules() {
  if (json_t* exceptions = TakePendingExcept()) SPDLOG_INFO("m_UFE.Load()={}", m_UFE.Load(exceptions));
  json_t* filters;
  json_t* references;
  TakePendingFilters(filters, references);
  if (!filters && !references) return;
  if (m_Detect.load()) {
    SPDLOG_INFO("m_FE.Load()={}", m_FE.Load(filters, references));
  } else {
    Release(filters);
    Release(references);
  }
}

void cEvtLogSvc::ApplyConfChange() {
  if (m_ConfChanged.load() == ConfNone) return;
  uint32_t state = m_ConfChanged.exchange(ConfNone);
  SPDLOG_INFO("nSyslogConfChanged={}", state);
  // Records collected under the old mode leave with the old envelope.
  m_U.Flush();
  json_t* agentInfo = json_object_get(m_U.Envelope(), "agentInfo");
  if (!agentInfo) return;
  const char* blockMode = m_Block.load() ? "block" : "detect";
  switch (state) {
    case ConfDetectOn:
      json_object_set_new(agentInfo, "edrDetectMode", json_string("agent"));
      json_object_set_new(agentInfo, "edrBlockMode", json_string(blockMode));
      break;
    case ConfBlockChanged:
      json_object_set_new(agentInfo, "edrBlockMode", json_string(blockMode));
      break;
    case ConfDetectOff:
      json_object_del(agentInfo, "edrDetectMode");
      json_object_del(agentInfo, "edrBlockMode");
      m_FE.Clear();
      break;
    default:
      break;
  }
}

int cEvtLogSvc::OnRx(const char16_t* xml) {
  if (!m_Delivering.load()) return 0;
  m_LastEvent = platform::Clock().Now();
  m_RxCount.fetch_add(1, std::memory_order_relaxed);
  m_Relay.Tick(m_U);

  EvtRecord& record = m_Record;
  record.Parse(xml);
  TakePendingRules();
  ApplyConfChange();

  if (m_UFE.Decide(record) == 2) return 2;

  const uint32_t block = m_Block.load();
  const int detected = m_FE.Action(record, block != 0);
  if (detected) {
    SPDLOG_INFO("* m_FE.Action({}, {})={}", block, ForLog(record.Text(), kLoggedContentBytes), detected);
  } else if (m_Level.load() == 0) {
    const int64_t batchStart = m_U.Time();
    if (batchStart && m_LastEvent.load() - batchStart > kDropFlushSeconds) {
      m_U.Flush();
      return 1;
    }
    return 3;
  }
  m_U.AppendSysLog(record.Text(), record.DetectFilterIds(), record.EdrAgentDefenseList());
  return 0;
}

int cEvtLogSvc::Cmd(json_t*& list) {
  json_t* ids = nullptr;
  const size_t count = json_is_array(list) ? json_array_size(list) : 0;
  for (size_t i = 0; i < count; ++i) {
    json_t* command = json_array_get(list, i);
    json_t* id = json_object_get(command, "edrDefenseCmdReceiveLogId");
    if (!id) continue;
    if (!ids) ids = json_array();
    json_array_append(ids, id);
    if (!m_Block.load()) continue;
    const char* type = json_string_value(json_object_get(command, "edrDefenseCmdType"));
    if (!type) continue;
    const char* line = json_string_value(
        json_object_get(command, type[0] == 'd' ? "edrAgentDefenseCommand" : "edrAgentRecoverCommand"));
    if (!line) continue;
    RunCommandLogged(line);
  }
  Release(list);
  list = ids;
  return 0;
}

int cEvtLogSvc::Print() {
  SPDLOG_INFO("EvtLogSvc> {}", Subscribed() ? "Started" : "Stopped");
  SPDLOG_INFO(" Count={} / {}", m_RxCount.load(), m_CbCount.load());
  SPDLOG_INFO(" m_U.Lines()={}", m_U.Lines());
  SPDLOG_INFO(" m_U.Time()={}", m_U.Time());
  SPDLOG_INFO(" m_U.OK()={}", m_U.OK());
  SPDLOG_INFO(" m_U.Error()={}", m_U.Error());
  return 0;
}
