#pragma once
// Mailslots: one-way message queues between the processes of one machine, named
// "\\.\mailslot\<name>" (the name compared without regard to case). One write is one message and a
// read returns one whole message. Handles are closed with CloseHandle and are never inherited by
// programs the process starts.
#include <string>

#include "platform/Handles.h"

constexpr DWORD MAILSLOT_WAIT_FOREVER = 0xFFFFFFFF;
constexpr DWORD MAILSLOT_NO_MESSAGE = 0xFFFFFFFF;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Security attributes are accepted for their shape: every slot may be written by any user, and
// inheritance is never granted.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

// Creates the read end of a slot. INVALID_HANDLE_VALUE with last error 183 when a live slot of
// that name exists, 123 for a name outside "\\.\mailslot\". A slot named after a registered
// service (HKLM "SYSTEM\CurrentControlSet\Services\<name>") is made where only the administrator
// (root, or the owner of the machine root, under whose account the services run) can make it: 5
// for any other user, and 3 or 5 while that place is missing or others could make entries in it.
// No other user can hold a service's name while the service is down. Any user may create other
// slots. maxMessageSize 0 means any size; readTimeout in milliseconds or MAILSLOT_WAIT_FOREVER.
HANDLE CreateMailslotA(LPCSTR name, DWORD maxMessageSize, DWORD readTimeout,
                       const SECURITY_ATTRIBUTES* attributes);

// Opens the write end of an existing slot (only mailslot names are supported here).
// INVALID_HANDLE_VALUE with last error 2 when nobody has created the slot. As on Windows, a slot's
// name cannot be redirected: a link where a slot would lie, or a socket there that has a name
// elsewhere too, is no slot.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode,
                   const SECURITY_ATTRIBUTES* attributes, DWORD creation, DWORD flags,
                   HANDLE templateFile);

// Reads one message from the read end. FALSE with last error: 122 when the buffer is smaller than
// the next message (it stays queued), 121 when the read time-out ran out, 6 when the handle is
// not open or was closed while the read waited. overlapped must be null.
BOOL ReadFile(HANDLE slot, void* buffer, DWORD size, LPDWORD bytesRead, void* overlapped);

// Writes one message to the write end without ever blocking. FALSE with last error 232 when the
// reader has gone or its queue is full, 6 for a bad handle.
BOOL WriteFile(HANDLE slot, const void* buffer, DWORD size, LPDWORD bytesWritten, void* overlapped);

// Changes the read time-out; a read that already waits keeps the time-out it started with.
BOOL SetMailslotInfo(HANDLE slot, DWORD readTimeout);

// Any argument may be null. nextSize is MAILSLOT_NO_MESSAGE when nothing is queued; messageCount
// is 1 while a message waits (the number queued is not tracked).
BOOL GetMailslotInfo(HANDLE slot, LPDWORD maxMessageSize, LPDWORD nextSize, LPDWORD messageCount,
                     LPDWORD readTimeout);

namespace platform {

// The user of a message that came without credentials: nobody, not the administrator.
constexpr DWORD kNoUser = 0xFFFFFFFF;

// Who wrote the message that the last successful ReadFile on this read end returned.
struct cMailslotSender {
  DWORD processId = 0;
  DWORD userId = kNoUser;
};
bool GetMailslotSender(HANDLE slot, cMailslotSender& sender);

// The user who created the slot that a write end reaches.
bool GetMailslotOwner(HANDLE writer, DWORD& userId);

// Makes the places of the slots, for the administrator who registers a service: the one where
// the slots of registered services are created, in which no other user may make entries, and the
// one where every user's programs make theirs. False with last error, 5 when the services' place
// exists but is not the administrator's or others may make entries in it.
bool MakeSlotFolders();

// True for the administrator and for the user the calling process runs as.
bool IsAdministratorOrSelf(DWORD userId);

// The account name of a user ("nobody"), the number of a user without one, "no user" for kNoUser.
std::string UserName(DWORD userId);

}  // namespace platform
