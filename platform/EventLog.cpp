#include "platform/EventLog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/EventChannelStore.h"
#include "platform/Handles.h"
#include "platform/TextConv.h"

namespace {

using platform::cKernelObject;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string ToUtf8(const char16_t* text) { return text ? Utf16ToUtf8(text) : std::string(); }

std::string EscapeXml(const std::string& text, bool attribute) {
  std::string result;
  for (char c : text) {
    switch (c) {
      case '&': result += "&amp;"; break;
      case '<': result += "&lt;"; break;
      case '>': result += "&gt;"; break;
      case '\'': result += attribute ? "&apos;" : "'"; break;
      default: result += c;
    }
  }
  return result;
}

std::string UnescapeXml(const std::string& text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
  std::string result;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& entity : kEntities) {
      size_t length = std::strlen(entity.first);
      if (text.compare(i, length, entity.first) == 0) {
        result += entity.second;
        i += length;
        replaced = true;
        break;
      }
    }
    if (!replaced) result += text[i++];
  }
  return result;
}

// One delivered event; its handle lives for the duration of the callback.
class cEventObject : public cKernelObject {
 public:
  cEventObject(const char* text, size_t length) : m_Xml(Utf8ToUtf16({text, length})) {}
  const std::u16string& Xml() const { return m_Xml; }

 private:
  std::u16string m_Xml;
};

class cChannelConfigObject : public cKernelObject {
 public:
  explicit cChannelConfigObject(const platform::cChannelConfig& config) : m_Config(config) {}
  platform::cChannelConfig& Config() { return m_Config; }

 private:
  platform::cChannelConfig m_Config;
};

class cEventSourceObject : public cKernelObject {
 public:
  explicit cEventSourceObject(std::string source) : m_Source(std::move(source)) {}
  const std::string& Source() const { return m_Source; }

 private:
  std::string m_Source;
};

// Follows one channel's journal from an offset, a step at a time, so that a backlog is never held
// whole: what it keeps is a step and the frame begun in it.
struct cJournalReader {
  static constexpr size_t kStep = 1 << 20;

  std::string channel;
  std::string path;
  long long offset = 0;
  int fd = -1;
  std::string pending;  // bytes read past the last complete frame

  ~cJournalReader() {
    if (fd >= 0) close(fd);
  }

  // Reads up to a step of what was appended since the last call; false when nothing was.
  bool ReadStep() {
    if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[65536];
    size_t read = 0;
    while (read < kStep) {
      ssize_t count = pread(fd, chunk, sizeof chunk, offset);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      pending.append(chunk, static_cast<size_t>(count));
      offset += count;
      read += static_cast<size_t>(count);
    }
    return read > 0;
  }

  // Drops the frames taken; room beyond a step, left by a large frame, is given back.
  void Consume(size_t bytes) {
    pending.erase(0, bytes);
    if (pending.capacity() > 2 * kStep && pending.size() < kStep) pending.shrink_to_fit();
  }
};

// The delivery side of a subscription, shared by the handle and its thread so that a handle closed
// from inside its own callback does not pull the state away under the running thread.
struct cSubscriptionState {
  std::vector<std::unique_ptr<cJournalReader>> readers;
  void* context = nullptr;
  EVT_SUBSCRIBE_CALLBACK callback = nullptr;
  std::atomic<bool> closing{false};
  int wakeFd = -1;
  int watchFd = -1;

  ~cSubscriptionState() {
    if (wakeFd >= 0) close(wakeFd);
    if (watchFd >= 0) close(watchFd);
  }

  void Deliver(const char* text, size_t length) {
    HANDLE event = platform::RegisterHandle(std::make_shared<cEventObject>(text, length));
    callback(EvtSubscribeActionDeliver, context, event);
    CloseHandle(event);
  }

  // Reads a step of each journal and delivers the complete frames; false when nothing new was
  // there.
  bool DeliverAvailable() {
    bool read = false;
    for (auto& reader : readers) {
      if (!reader->ReadStep()) continue;
      read = true;
      size_t consumed = platform::ParseJournalFrames(
          reader->pending.data(), reader->pending.size(), [&](const char* text, size_t length) {
            if (!closing.load()) Deliver(text, length);
          });
      if (closing.load()) return true;
      reader->Consume(consumed);
    }
    return read;
  }

  void Wait() {
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {watchFd, POLLIN, 0}};
    // The watch wakes us at once; the time-out covers writers the watch cannot see.
    int ready = poll(fds, watchFd >= 0 ? 2 : 1, watchFd >= 0 ? 200 : 20);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      char drain[4096];
      while (read(watchFd, drain, sizeof drain) > 0) {
      }
    }
  }

  void Run() {
    while (!closing.load()) {
      if (!DeliverAvailable()) Wait();
    }
  }
};

class cSubscriptionObject : public cKernelObject {
 public:
  explicit cSubscriptionObject(std::shared_ptr<cSubscriptionState> state) : m_State(std::move(state)) {
    m_Thread = std::thread([state = m_State] { state->Run(); });
  }
  ~cSubscriptionObject() override { OnClose(); }

  void OnClose() override {
    if (!m_Thread.joinable()) return;
    m_State->closing.store(true);
    uint64_t one = 1;
    if (write(m_State->wakeFd, &one, sizeof one) < 0) {
      // The poll time-out ends the wait all the same.
    }
    if (m_Thread.get_id() == std::this_thread::get_id()) {
      m_Thread.detach();  // closed from its own callback: no further callback starts
    } else {
      m_Thread.join();
    }
  }

 private:
  std::shared_ptr<cSubscriptionState> m_State;
  std::thread m_Thread;
};

// The channel names of "<QueryList><Query ...><Select Path='...'>*</Select>...</Query></QueryList>".
bool ParseQueryList(const std::string& query, std::vector<std::string>& channels, DWORD& error) {
  error = ERROR_EVT_INVALID_QUERY;
  if (query.rfind("<QueryList>", 0) != 0 || query.find("</QueryList>") == std::string::npos ||
      query.find("<Query") == std::string::npos) {
    return false;
  }
  size_t position = 0;
  while ((position = query.find("<Select", position)) != std::string::npos) {
    size_t path = query.find("Path=", position);
    size_t close = query.find('>', position);
    if (path == std::string::npos || close == std::string::npos || path > close || path + 5 >= query.size()) {
      return false;
    }
    char quote = query[path + 5];
    size_t end = query.find(quote, path + 6);
    if ((quote != '"' && quote != '\'') || end == std::string::npos || end > close) return false;
    size_t closing = query.find("</Select>", close);
    if (closing == std::string::npos) return false;
    if (query.substr(close + 1, closing - close - 1) != "*") {
      error = ERROR_NOT_SUPPORTED;  // only whole channels are selected here
      return false;
    }
    channels.push_back(UnescapeXml(query.substr(path + 6, end - path - 6)));
    position = closing;
  }
  return true;
}

std::string SystemTimeText() {
  auto now = std::chrono::system_clock::now();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() / 100;
  time_t seconds = static_cast<time_t>(ticks / 10000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + length, sizeof text - length, ".%07lldZ", static_cast<long long>(ticks % 10000000));
  return text;
}

std::string ComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// The level Windows shows for a classic record's type, and its keywords.
void ClassicLevel(WORD type, int& level, const char*& keywords) {
  keywords = "0x80000000000000";
  switch (type) {
    case EVENTLOG_ERROR_TYPE: level = 2; break;
    case EVENTLOG_WARNING_TYPE: level = 3; break;
    case EVENTLOG_INFORMATION_TYPE: level = 4; break;
    case EVENTLOG_AUDIT_SUCCESS: level = 0; keywords = "0x8020000000000000"; break;
    case EVENTLOG_AUDIT_FAILURE: level = 0; keywords = "0x8010000000000000"; break;
    default: level = 0;
  }
}

std::string NextRecordNumber(const std::string& channel) {
  // Kept beside the journal; only classic records take numbers from it.
  std::string path = platform::ChannelFolder(channel) + "/records";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return "0";
  unsigned long long number = 0;
  if (flock(fd, LOCK_EX) == 0) {
    char text[32] = {};
    ssize_t count = pread(fd, text, sizeof text - 1, 0);
    if (count > 0) number = std::strtoull(text, nullptr, 10);
    ++number;
    std::string next = std::to_string(number);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, next.data(), next.size(), 0) < 0) {
      // The number was taken; a lost update only repeats a record number.
    }
  }
  close(fd);
  return std::to_string(number);
}

}  // namespace

EVT_HANDLE EvtSubscribe(EVT_HANDLE session, HANDLE signalEvent, const char16_t* channelPath,
                        const char16_t* query, EVT_HANDLE bookmark, void* context,
                        EVT_SUBSCRIBE_CALLBACK callback, DWORD flags) {
  DWORD start = flags & 0xF;
  if (session || signalEvent || bookmark || !callback) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (start != EvtSubscribeToFutureEvents && start != EvtSubscribeStartAtOldestRecord) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (DWORD injected = platform::InjectedSubscribeFailure()) {
    SetLastError(injected);
    return nullptr;
  }
  std::vector<std::string> channels;
  std::string queryText = ToUtf8(query);
  if (channelPath && (queryText.empty() || queryText == "*")) {
    channels.push_back(ToUtf8(channelPath));
  } else {
    DWORD error;
    if (!ParseQueryList(queryText, channels, error)) {
      SetLastError(error);
      return nullptr;
    }
  }
  auto state = std::make_shared<cSubscriptionState>();
  state->context = context;
  state->callback = callback;
  state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  state->watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  for (const std::string& channel : channels) {
    platform::cChannelConfig config;
    if (!platform::ReadChannelConfig(channel, config)) return nullptr;
    auto reader = std::make_unique<cJournalReader>();
    reader->channel = channel;
    reader->path = platform::ChannelJournal(channel);
    reader->offset = start == EvtSubscribeToFutureEvents ? platform::JournalEnd(channel) : 0;
    if (reader->offset < 0) reader->offset = 0;
    if (state->watchFd >= 0) {
      inotify_add_watch(state->watchFd, platform::ChannelFolder(channel).c_str(), IN_MODIFY | IN_CREATE);
    }
    state->readers.push_back(std::move(reader));
  }
  if (state->wakeFd < 0) {
    SetLastError(platform::ErrorFromErrno(errno));
    return nullptr;
  }
  return platform::RegisterHandle(std::make_shared<cSubscriptionObject>(std::move(state)));
}

BOOL EvtRender(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD bufferSize, void* buffer,
               DWORD* bufferUsed, DWORD* propertyCount) {
  if (context || flags != EvtRenderEventXml) return Fail(ERROR_NOT_SUPPORTED);
  if (!bufferUsed) return Fail(ERROR_INVALID_PARAMETER);
  auto event = platform::LookupHandleAs<cEventObject>(fragment);
  if (!event) return FALSE;
  const std::u16string& xml = event->Xml();
  DWORD needed = static_cast<DWORD>((xml.size() + 1) * sizeof(char16_t));
  *bufferUsed = needed;
  if (propertyCount) *propertyCount = 0;
  if (!buffer || bufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, xml.c_str(), needed);
  return TRUE;
}

EVT_HANDLE EvtOpenChannelConfig(EVT_HANDLE session, const char16_t* channelPath, DWORD flags) {
  if (session || flags) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  platform::cChannelConfig config;
  if (!platform::ReadChannelConfig(ToUtf8(channelPath), config)) return nullptr;
  return platform::RegisterHandle(std::make_shared<cChannelConfigObject>(config));
}

BOOL EvtGetChannelConfigProperty(EVT_HANDLE channelConfig, EVT_CHANNEL_CONFIG_PROPERTY_ID propertyId,
                                 DWORD flags, DWORD bufferSize, EVT_VARIANT* buffer,
                                 DWORD* bufferUsed) {
  auto config = platform::LookupHandleAs<cChannelConfigObject>(channelConfig);
  if (!config) return FALSE;
  if (flags || !bufferUsed) return Fail(ERROR_INVALID_PARAMETER);
  if (propertyId != EvtChannelConfigEnabled) return Fail(ERROR_NOT_SUPPORTED);
  *bufferUsed = sizeof(EVT_VARIANT);
  if (!buffer || bufferSize < sizeof(EVT_VARIANT)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  buffer->UInt64Val = 0;
  buffer->BooleanVal = config->Config().enabled ? TRUE : FALSE;
  buffer->Count = 1;
  buffer->Type = EvtVarTypeBoolean;
  return TRUE;
}

BOOL EvtSetChannelConfigProperty(EVT_HANDLE channelConfig, EVT_CHANNEL_CONFIG_PROPERTY_ID propertyId,
                                 DWORD flags, EVT_VARIANT* value) {
  auto config = platform::LookupHandleAs<cChannelConfigObject>(channelConfig);
  if (!config) return FALSE;
  if (flags || !value || value->Type != EvtVarTypeBoolean) return Fail(ERROR_INVALID_PARAMETER);
  if (propertyId != EvtChannelConfigEnabled) return Fail(ERROR_NOT_SUPPORTED);
  config->Config().enabled = value->BooleanVal != FALSE;
  return TRUE;
}

BOOL EvtSaveChannelConfig(EVT_HANDLE channelConfig, DWORD flags) {
  auto config = platform::LookupHandleAs<cChannelConfigObject>(channelConfig);
  if (!config) return FALSE;
  if (flags) return Fail(ERROR_INVALID_PARAMETER);
  platform::cChannelConfig stored;
  if (!platform::ReadChannelConfig(config->Config().name, stored)) return FALSE;
  return platform::WriteChannelConfig(config->Config()) ? TRUE : FALSE;
}

BOOL EvtClose(EVT_HANDLE object) {
  if (!platform::LookupHandle(object)) return FALSE;
  return CloseHandle(object);
}

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
  if (serverName && *serverName) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (!sourceName || !*sourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return platform::RegisterHandle(std::make_shared<cEventSourceObject>(sourceName));
}

BOOL ReportEventA(HANDLE eventLog, WORD type, WORD /*category*/, DWORD eventId, void* /*userSid*/,
                  WORD numStrings, DWORD dataSize, LPCSTR* strings, void* rawData) {
  auto source = platform::LookupHandleAs<cEventSourceObject>(eventLog);
  if (!source) return FALSE;
  if ((numStrings && !strings) || (dataSize && !rawData)) return Fail(ERROR_INVALID_PARAMETER);
  const std::string channel = "Application";
  int level;
  const char* keywords;
  ClassicLevel(type, level, keywords);
  std::string xml = "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='" +
                    EscapeXml(source->Source(), true) + "'/><EventID Qualifiers='" +
                    std::to_string(eventId >> 16) + "'>" + std::to_string(eventId & 0xFFFF) +
                    "</EventID><Version>0</Version><Level>" + std::to_string(level) +
                    "</Level><Task>0</Task><Opcode>0</Opcode><Keywords>" + keywords +
                    "</Keywords><TimeCreated SystemTime='" + SystemTimeText() + "'/><EventRecordID>" +
                    NextRecordNumber(channel) +
                    "</EventRecordID><Correlation/><Execution ProcessID='0' ThreadID='0'/><Channel>" + channel +
                    "</Channel><Computer>" + EscapeXml(ComputerName(), false) +
                    "</Computer><Security/></System><EventData>";
  for (WORD i = 0; i < numStrings; ++i) {
    xml += "<Data>" + EscapeXml(strings[i] ? strings[i] : "", false) + "</Data>";
  }
  if (dataSize) {
    static const char kHex[] = "0123456789ABCDEF";
    xml += "<Binary>";
    for (DWORD i = 0; i < dataSize; ++i) {
      unsigned char byte = static_cast<const unsigned char*>(rawData)[i];
      xml += kHex[byte >> 4];
      xml += kHex[byte & 15];
    }
    xml += "</Binary>";
  }
  xml += "</EventData></Event>";
  return platform::AppendJournal(channel, {xml}) ? TRUE : FALSE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (!platform::LookupHandleAs<cEventSourceObject>(eventLog)) return FALSE;
  return CloseHandle(eventLog);
}

namespace platform {

bool CreateEventChannel(const std::string& channel, bool enabled) {
  if (channel.empty()) return Fail(ERROR_INVALID_PARAMETER);
  cChannelConfig config;
  if (!ReadChannelConfig(channel, config)) config.name = channel;
  config.enabled = enabled;
  return WriteChannelConfig(config);
}

bool SetEventChannelEnabled(const std::string& channel, bool enabled) {
  cChannelConfig config;
  if (!ReadChannelConfig(channel, config)) return false;
  config.enabled = enabled;
  return WriteChannelConfig(config);
}

bool RemoveEventChannel(const std::string& channel) {
  cChannelConfig config;
  if (!ReadChannelConfig(channel, config)) return false;
  std::error_code error;
  std::filesystem::remove_all(ChannelFolder(channel), error);
  if (error) return Fail(ErrorFromErrno(error.value()));
  return true;
}

bool AppendEvents(const std::string& channel, const std::vector<std::string>& events) {
  return AppendJournal(channel, events);
}

bool ReadEvents(const std::string& channel, std::vector<std::string>& events) {
  cChannelConfig config;
  if (!ReadChannelConfig(channel, config)) return false;
  cJournalReader reader;
  reader.path = ChannelJournal(channel);
  events.clear();
  while (reader.ReadStep()) {
    reader.Consume(ParseJournalFrames(reader.pending.data(), reader.pending.size(),
                                      [&](const char* text, size_t length) { events.emplace_back(text, length); }));
  }
  return true;
}

std::vector<std::string> SplitRenderedEvents(const std::string& text) {
  static const std::string kEnd = "</Event>";
  std::vector<std::string> events;
  size_t position = 0;
  for (;;) {
    size_t start = text.find("<Event", position);
    while (start != std::string::npos && start + 6 < text.size() && text[start + 6] != ' ' &&
           text[start + 6] != '>') {
      start = text.find("<Event", start + 6);  // "<EventData" and the like
    }
    if (start == std::string::npos) break;
    size_t end = text.find(kEnd, start);
    if (end == std::string::npos) break;
    events.push_back(text.substr(start, end + kEnd.size() - start));
    position = end + kEnd.size();
  }
  return events;
}

}  // namespace platform
