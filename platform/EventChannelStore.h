#pragma once
// The event channels on disk: $VARLO_ROOT/platform/eventlog/<channel>/ holds "config" (its name
// and enabled flag; the channel exists while this file does) and "journal", the append-only
// sequence of events, each framed as "<byte count>\n<xml>\n" so that events may hold line breaks
// and a reader can tell a frame that is still being written.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

struct cChannelConfig {
  std::string name;  // as it was created
  bool enabled = false;
};

// The channel's folder (created with the store's stock channels when the store is new).
std::string ChannelFolder(const std::string& channel);
std::string ChannelJournal(const std::string& channel);

// False with 15007 when the channel does not exist.
bool ReadChannelConfig(const std::string& channel, cChannelConfig& config);
bool WriteChannelConfig(const cChannelConfig& config);

// The Windows error that a test wants subscriptions to fail with ("subscribe-fails" in the store
// folder holds its number); 0 when none.
unsigned long InjectedSubscribeFailure();

// Larger frames are taken for damage: no rendered event comes near this.
constexpr size_t kMaxEventBytes = 16u << 20;

// The frames of events, in order.
std::string JournalFrames(const std::vector<std::string>& events);

// Calls onEvent(text, length) for each complete frame of data and returns the bytes consumed;
// an unreadable frame header is skipped to the next line.
template <class F>
size_t ParseJournalFrames(const char* data, size_t size, F onEvent);

// The journal's size, read under its lock so that no frame is half counted.
long long JournalEnd(const std::string& channel);

// Appends the frames of events in one locked write. Last error as AppendEvents (EventLog.h).
bool AppendJournal(const std::string& channel, const std::vector<std::string>& events);

}  // namespace platform

template <class F>
size_t platform::ParseJournalFrames(const char* data, size_t size, F onEvent) {
  size_t position = 0;
  while (position < size) {
    const char* start = data + position;
    const void* newline = memchr(start, '\n', size - position);
    if (!newline) break;
    size_t headerLength = static_cast<const char*>(newline) - start;
    size_t length = 0;
    bool valid = headerLength > 0 && headerLength <= 12;
    for (size_t i = 0; valid && i < headerLength; ++i) {
      valid = start[i] >= '0' && start[i] <= '9';
      length = length * 10 + static_cast<size_t>(start[i] - '0');
    }
    if (!valid || length > kMaxEventBytes) {
      position += headerLength + 1;
      continue;
    }
    size_t frameLength = headerLength + 1 + length + 1;
    if (size - position < frameLength) break;
    onEvent(start + headerLength + 1, length);
    position += frameLength;
  }
  return position;
}
