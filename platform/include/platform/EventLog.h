#pragma once
// The Windows Event Log: named channels under the machine root, shared by every process.
//
// A channel exists or not, is enabled or not, and keeps an append-only journal of rendered event
// XML (the single-quoted, whitespace-free form Windows renders). A fresh machine root comes with
// the stock channels of a Windows client (Sysmon's and the server roles' channels are absent until
// created). Events are appended only to enabled channels; a subscription delivers the events
// appended after it was made, from every process, on a thread of its own, one callback at a time,
// in journal order per channel.
//
// Wide text is UTF-16 (char16_t), sizes of render buffers are in bytes, as on Windows.
#include <string>
#include <vector>

#include "platform/Errors.h"

typedef HANDLE EVT_HANDLE;

enum EVT_SUBSCRIBE_FLAGS : DWORD {
  EvtSubscribeToFutureEvents = 1,
  EvtSubscribeStartAtOldestRecord = 2,
};

enum EVT_SUBSCRIBE_NOTIFY_ACTION : DWORD {
  EvtSubscribeActionError = 0,
  EvtSubscribeActionDeliver = 1,
};

enum EVT_RENDER_FLAGS : DWORD {
  EvtRenderEventValues = 0,
  EvtRenderEventXml = 1,
  EvtRenderBookmark = 2,
};

enum EVT_CHANNEL_CONFIG_PROPERTY_ID : DWORD {
  EvtChannelConfigEnabled = 0,
};

enum EVT_VARIANT_TYPE : DWORD {
  EvtVarTypeNull = 0,
  EvtVarTypeBoolean = 13,
};

struct EVT_VARIANT {
  union {
    BOOL BooleanVal;
    ULONGLONG UInt64Val;
  };
  DWORD Count;
  DWORD Type;
};

typedef DWORD (*EVT_SUBSCRIBE_CALLBACK)(EVT_SUBSCRIBE_NOTIFY_ACTION action, void* userContext,
                                        EVT_HANDLE event);

// Subscribes to a query list on the local machine (session null). Only
// "<QueryList><Query Id=...><Select Path="name">*</Select>...</Query></QueryList>" is understood,
// and only with a callback; signal events and bookmarks are not supported (ERROR_NOT_SUPPORTED).
// Null with 15001 for a query that cannot be read, 15007 for a channel that does not exist.
// The event handle passed to the callback is valid until the callback returns. A test makes every
// subscription fail with a Windows error by writing its number into the file
// "eventlog/subscribe-fails" of StateFolder().
EVT_HANDLE EvtSubscribe(EVT_HANDLE session, HANDLE signalEvent, const char16_t* channelPath,
                        const char16_t* query, EVT_HANDLE bookmark, void* context,
                        EVT_SUBSCRIBE_CALLBACK callback, DWORD flags);

// Renders an event as NUL-terminated UTF-16 XML (EvtRenderEventXml only). *bufferUsed is the size
// in bytes with the NUL; when bufferSize is smaller, FALSE with ERROR_INSUFFICIENT_BUFFER and the
// needed size in *bufferUsed.
BOOL EvtRender(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD bufferSize, void* buffer,
               DWORD* bufferUsed, DWORD* propertyCount);

// Channel configuration: a copy of the channel's settings that Set changes and Save stores.
// Open fails with 15007 for a channel that does not exist.
EVT_HANDLE EvtOpenChannelConfig(EVT_HANDLE session, const char16_t* channelPath, DWORD flags);
BOOL EvtGetChannelConfigProperty(EVT_HANDLE channelConfig, EVT_CHANNEL_CONFIG_PROPERTY_ID propertyId,
                                 DWORD flags, DWORD bufferSize, EVT_VARIANT* buffer,
                                 DWORD* bufferUsed);
BOOL EvtSetChannelConfigProperty(EVT_HANDLE channelConfig, EVT_CHANNEL_CONFIG_PROPERTY_ID propertyId,
                                 DWORD flags, EVT_VARIANT* value);
BOOL EvtSaveChannelConfig(EVT_HANDLE channelConfig, DWORD flags);

// Closes any handle of this facility. Closing a subscription returns only when no callback of it
// runs and none will start (called from its own callback, it returns at once and no further
// callback starts).
BOOL EvtClose(EVT_HANDLE object);

// Classic event sources. Every source writes to "Application"; only the local machine (server
// null or empty) is supported.
constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
// Appends one classic record: Provider the source, EventID the low 16 bits of eventId with the
// high ones as Qualifiers, one Data element per string (escaped), raw data as Binary hex.
BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, void* userSid,
                  WORD numStrings, DWORD dataSize, LPCSTR* strings, void* rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

namespace platform {

// Management of the stand-in's channels (the tool, tests, the demo). Names are UTF-8 and compare
// without regard to case. Each returns false with the Windows error in last error.

// Makes a channel exist (an existing one keeps its journal and only takes the enabled flag).
bool CreateEventChannel(const std::string& channel, bool enabled);
// Switches an existing channel on or off (15007 when it does not exist).
bool SetEventChannelEnabled(const std::string& channel, bool enabled);
// Makes a channel not exist, its journal with it.
bool RemoveEventChannel(const std::string& channel);
// 15007 when the channel does not exist; ERROR_NOT_SUPPORTED when it is disabled (Windows drops
// such events; the stand-in reports it). All events of one call are appended as one write.
bool AppendEvents(const std::string& channel, const std::vector<std::string>& events);
// Every event of the channel's journal, oldest first.
bool ReadEvents(const std::string& channel, std::vector<std::string>& events);
// Splits rendered XML text into events: each runs from "<Event" to its "</Event>"; line breaks
// between events are dropped, those inside values kept.
std::vector<std::string> SplitRenderedEvents(const std::string& text);

}  // namespace platform
