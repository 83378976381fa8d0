// The service slot's reader: every message is read with its length, and a message too short for
// its code is ignored. Codes 9 to 12 run commands, so only the administrator and the service's
// own user may send them; tray programs of every user send 1 to 7, and who changed a setting with
// them is logged. Values outside their documented range never reach the settings.
#include <jansson.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "VarloService/actions/Uilt.h"
#include "VarloService/evtlog/EvtLogger.h"
#include "VarloService/mailslot/ServiceMessage.h"
#include "VarloService/service/VarloService.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "platform/NoCase.h"

namespace {

constexpr char kTestEventText[] = "Hello from the VARLO service";
// A command file holds one command line; no script comes near this.
constexpr uint64_t kCommandFileMaxBytes = 1048576;

bool IsCommandCode(int code) { return code >= MSG_UI_TEST && code <= MSG_UI_ISOLATE; }

// Tray codes that change what the agent does (sign-in and sign-out, the switches, the module).
bool ChangesSetting(int code) {
  return code == MSG_UI_LOGIN || code == MSG_UI_SYSLOG || code == MSG_UI_WEBLOG ||
         code == MSG_UI_MODULE || code == MSG_UI_AUTOUPDATE;
}

// A key is printable text that the settings can hold and read back.
bool IsStorableKey(const std::string& key) {
  return key.size() < cNvm::kStringBufferBytes &&
         std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// A switch is 0 (off) or 1 (on); a sign-in carries a key.
bool InDocumentedRange(const cServiceMessage& message) {
  switch (message.code) {
    case MSG_UI_SYSLOG:
    case MSG_UI_WEBLOG:
    case MSG_UI_AUTOUPDATE:
      return message.value == 0 || message.value == 1;
    case MSG_UI_LOGIN:
      return message.value == 0 || IsStorableKey(message.text);
    default:
      return true;
  }
}

std::string SenderText(const platform::cMailslotSender& sender) {
  if (sender.userId == platform::kNoUser) return platform::UserName(sender.userId);
  return "user " + std::to_string(sender.userId) + " (" + platform::UserName(sender.userId) + ")";
}

// A JSON file of the install folder's "temp", indented by 2.
void WriteJsonFile(const std::string& path, json_t* value) {
  if (!value) return;
  char* text = json_dumps(value, JSON_INDENT(2));
  if (!text) return;
  platform::cOutputFile file(path, std::ios::out | std::ios::trunc);
  if (file.is_open()) file << text;
  file.close();
  if (!file) SPDLOG_ERROR("{} not written", path);
  free(text);
}

}  // namespace

int cVarloService::CmdLoop() {
  // One deadline for the whole pass: messages, served or refused, never put it off, so sign-in
  // retries, job polls and periodic duties keep their pace whatever local users send. A new pace
  // (a sign-in or sign-out from a tray program) starts the deadline again.
  DWORD pace = m_ReadTimeoutMs;
  uint64_t deadline = m_Clock.TickMs() + pace;
  for (;;) {
    if (pace != m_ReadTimeoutMs) {
      pace = m_ReadTimeoutMs;
      deadline = m_Clock.TickMs() + pace;
    }
    DWORD left = MAILSLOT_WAIT_FOREVER;
    if (pace != MAILSLOT_WAIT_FOREVER) {
      const uint64_t now = m_Clock.TickMs();
      if (now >= deadline) return 0;
      left = static_cast<DWORD>(deadline - now);
    }
    m_UI.SetReadTimeout(left);
    const int read = m_UI.Rx();
    if (read == cMsgQueue::kEmptyMessage) continue;
    if (read == 0) return 0;
    SPDLOG_INFO("m_UI.Rx()={}", read);
    if (read < 0) return -1;
    const uint8_t* message = m_UI.Buffer();
    const uint32_t length = static_cast<uint32_t>(read);
    SPDLOG_INFO("MSG={:02x}-{:02x}", message[0], length > 1 ? message[1] : 0);
    HandleMessage(message, length);
  }
}

void cVarloService::HandleMessage(const uint8_t* message, uint32_t length) {
  cServiceMessage parsed;
  if (!cServiceMessage::Parse(message, length, parsed)) return;
  const int code = parsed.code;
  platform::cMailslotSender sender;
  m_UI.LastSender(sender);
  if (IsCommandCode(code) && !platform::IsAdministratorOrSelf(sender.userId)) {
    SPDLOG_ERROR("MSG={:02x} from {} refused", code, SenderText(sender));
    return;
  }
  if (!InDocumentedRange(parsed)) {
    SPDLOG_ERROR("MSG={:02x} from {} refused: a value out of its range", code, SenderText(sender));
    return;
  }
  if (ChangesSetting(code)) SPDLOG_INFO("MSG={:02x} from {}", code, SenderText(sender));
  const int8_t value = parsed.value;
  switch (code) {
    case MSG_UI_USER:
      HandleTrayUser(parsed, sender);
      break;
    case MSG_UI_LOGIN:
      HandleLogin(parsed);
      break;
    case MSG_UI_SYSLOG:
      if (LogConf(value)) m_Api.SetServerFlag(0, value);
      break;
    case MSG_UI_WEBLOG:
      if (LogConfWeb(value)) m_Api.SetServerFlag(1, value);
      break;
    case MSG_UI_MODULE:
      if (value) {
        SPDLOG_INFO("ModVarloUpdate()={}", ModVarloUpdate());
      } else {
        SPDLOG_INFO("ModVarloUninstall()={}", ModVarloUninstall());
      }
      break;
    case MSG_UI_PAGE:
      HandlePage(parsed);
      break;
    case MSG_UI_AUTOUPDATE:
      HandleAutoUpdate(value);
      break;
    case MSG_UI_TEST:
      SPDLOG_INFO("MSG_UI_TEST:{}>", ForLog(parsed.text));
      HandleTestWord(parsed.text);
      break;
    case MSG_UI_STAT:
      if (value == 1) m_EvtLogSvc.Print();
      if (value == 2) m_WebLogSvc.Print();
      break;
    case MSG_UI_CMD:
      HandleCommandFile(parsed.text);
      break;
    case MSG_UI_ISOLATE:
      Isolate(value);
      break;
  }
}

void cVarloService::HandleTrayUser(const cServiceMessage& message,
                                   const platform::cMailslotSender& sender) {
  const int8_t subCode = message.value;
  if (subCode != 0 && subCode != 1) {
    LaunchUserApp();
    return;
  }
  // A digit outside the ten tray slots would name another slot, the service's own among them.
  const int digit = message.digit;
  if (subCode == 0) {
    SPDLOG_INFO("m_UI.DelUser({})={}", digit,
                IsTrayDigit(digit) ? m_UI.DelUser(digit, sender.userId) : 0);
    return;
  }
  const int added = m_UI.AddUser(digit, sender.userId);
  SPDLOG_INFO("m_UI.AddUser({})={}", digit, added);
  // A refused registration greets nobody: the tray that keeps the digit has had its greeting.
  if (added == 0) {
    uint8_t start[9] = {MSG_SVC_START};
    std::memcpy(start + 1, &m_StartTime, sizeof(m_StartTime));
    m_UI.Send(start, sizeof(start), digit);
    if (m_Sys >= 0) {
      const uint8_t sys[] = {MSG_SVC_SYSLOG, static_cast<uint8_t>(m_Sys)};
      m_UI.Send(sys, sizeof(sys), digit);
    }
    if (m_Web >= 0) {
      const uint8_t web[] = {MSG_SVC_WEBLOG, static_cast<uint8_t>(m_Web)};
      m_UI.Send(web, sizeof(web), digit);
    }
  }
  BroadcastStatus();
}

void cVarloService::HandleLogin(const cServiceMessage& message) {
  if (message.value != 0) {
    const std::string& key = message.text;
    if (key != m_AgentInfo.m_LicenseKey) {
      m_AgentInfo.m_LicenseKey = key;
      NvmVarlo settings(1);
      settings.SetString(NvmVarlo::LicenseKey, key);
    }
    if (m_Status != 1) {
      m_Status = 1;
      StoreStatus();
    }
    Login();
    if (m_Status == 1) {
      const uint8_t failed[] = {MSG_SVC_STATUS, 1, 0};
      m_UI.Broadcast(failed, sizeof(failed));
    }
    return;
  }
  if (m_Status == 0) return;
  // Signed out, the service rests in its read until the next sign-in.
  SetReadTimeout(MAILSLOT_WAIT_FOREVER);
  m_Status = 0;
  StoreStatus();
  const uint8_t signedOut[] = {MSG_SVC_STATUS, 0, 0};
  m_UI.Broadcast(signedOut, sizeof(signedOut));
  m_EvtLogSvc.Stop();
  m_WebLogSvc.Stop();
  m_Api.Close();
}

void cVarloService::HandlePage(const cServiceMessage& message) {
  const int digit = message.digit;
  if (!IsTrayDigit(digit)) return;
  const bool shown = message.value != 0;
  m_UI.SetPage(digit, shown);
  const uint64_t uploadTime = m_AgentInfo.m_UploadTime.load();
  if (!shown || uploadTime == 0) return;
  uint8_t notice[9] = {MSG_SVC_UPLOADTIME};
  std::memcpy(notice + 1, &uploadTime, sizeof(uploadTime));
  m_UI.Send(notice, sizeof(notice), -1);
}

void cVarloService::HandleAutoUpdate(int8_t value) {
  if (value == m_AutoUpdate) return;
  m_AutoUpdate = value;
  SPDLOG_INFO("nAutoUpdate()={}", m_AutoUpdate);
  {
    NvmVarlo settings(1);
    settings.SetDword(NvmVarlo::AutoUpdate, static_cast<uint32_t>(m_AutoUpdate));
  }
  const uint8_t notice[] = {MSG_SVC_AUTOUPDATE, static_cast<uint8_t>(value)};
  m_UI.Broadcast(notice, sizeof(notice));
}

void cVarloService::HandleTestWord(const std::string& word) {
  if (platform::EqualNoCase(word, "sysfilter")) {
    json_t* filters = nullptr;
    json_t* references = nullptr;
    m_Api.SysFilter(filters);
    m_Api.SysFilterRef(references);
    const std::string temp = m_AgentInfo.TempFolder();
    WriteJsonFile(temp + "\\sysfilter.json", filters);
    WriteJsonFile(temp + "\\sysfilter-ref.json", references);
    m_EvtLogSvc.SetSysFilter(filters, references);
  } else if (platform::EqualNoCase(word, "shutdown")) {
    SPDLOG_INFO("PowerOff()={}", PowerOff());
  } else if (word.size() >= 7 && platform::EqualNoCase(word.substr(0, 7), "isolate")) {
    // "isolate" alone gives the NUL's code minus '0', which isolates.
    const int mode = (word.size() > 7 ? word[7] : '\0') - '0';
    int result = Isolate(mode);
    SPDLOG_INFO("Isolate({})={}", mode, result);
  } else if (platform::EqualNoCase(word, "evtlog")) {
    EvtLogger logger;
    if (logger.Registered()) {
      logger.Report(kTestEventText);
      SPDLOG_INFO("EvtLogger.Report()");
    }
  } else if (platform::EqualNoCase(word, "restart")) {
    RestartService();
    SPDLOG_INFO("Restart...");
  }
}

void cVarloService::HandleCommandFile(const std::string& path) {
  cBuffer file;
  int read = ReadFile(path, file, kCommandFileMaxBytes);
  SPDLOG_INFO("ReadFile({})={}", ForLog(path), read);
  if (read <= 0) return;
  RunCommandLogged(file.Text());
}
