// The stand-in's own files: the registry's hive text and the event journal's frames.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"
#include "platform/EventChannelStore.h"
#include "platform/RegistryStore.h"

using platform::cRegistryHive;

namespace {

std::vector<std::string> ParsedFrames(std::string_view data, size_t& consumed) {
  std::vector<std::string> events;
  consumed = platform::ParseJournalFrames(data.data(), data.size(), [&](const char* text, size_t length) {
    Require(text >= data.data() && text + length <= data.data() + data.size());
    events.emplace_back(text, length);
  });
  Require(consumed <= data.size());
  return events;
}

// Framed again, the events parse back whole.
void RequireFramedWhole(const std::vector<std::string>& events) {
  const std::string frames = platform::JournalFrames(events);
  size_t consumed = 0;
  Require(ParsedFrames(frames, consumed) == events && consumed == frames.size());
}

}  // namespace

int FuzzRegistryText(const uint8_t* data, size_t size) {
  cRegistryHive hive;
  if (!hive.Parse(std::string(Bytes(data, size)))) return 0;
  Require(hive.FindKey("") != nullptr);
  // What is stored reads back as the same hive.
  const std::string stored = hive.Serialise();
  cRegistryHive again;
  Require(again.Parse(stored) && again.Serialise() == stored);
  return 0;
}

int FuzzJournalFrames(const uint8_t* data, size_t size) {
  const std::string_view input = Bytes(data, size);
  size_t consumed = 0;
  RequireFramedWhole(ParsedFrames(input, consumed));
  // Any texts, the journal's own frame format among them, as the events.
  std::vector<std::string> pieces;
  for (size_t start = 0; start <= input.size();) {
    const size_t end = std::min(input.find('\0', start), input.size());
    pieces.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  RequireFramedWhole(pieces);
  return 0;
}
