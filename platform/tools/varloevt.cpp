// Event channels of the stand-in machine, from any process: make channels appear or go, switch
// them, and append rendered events to them.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/tools/ToolUsage.h"

namespace {

const char kUsage[] =
    "usage: varloevt create <channel> [--disabled]\n"
    "       varloevt remove <channel>\n"
    "       varloevt enable <channel> | disable <channel>\n"
    "       varloevt event <channel> <event xml>\n"
    "       varloevt append [--count N] [--rate EVENTS_PER_SECOND] <channel> <file|->...\n"
    "       varloevt list <channel>\n"
    "Files hold rendered events, one after the other (one a line). With --count the events of\n"
    "the files are appended in turn until N are written, each with its EventRecordID set to its\n"
    "running number from 1. The channels are those of the machine root in VARLO_ROOT.\n";

constexpr int kExitUsage = 2;

int Usage(const std::string& why) { return UsageError("varloevt", why, kUsage, kExitUsage); }

int Failed(const std::string& what) {
  DWORD error = GetLastError();
  const char* reason = error == ERROR_EVT_CHANNEL_NOT_FOUND ? " (the channel does not exist)"
                       : error == ERROR_NOT_SUPPORTED       ? " (the channel is disabled)"
                                                            : "";
  std::cerr << "varloevt: " << what << " failed: Windows error " << error << reason << "\n";
  return 1;
}

bool ReadInput(const std::string& name, std::string& text) {
  if (name == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  return platform::ReadWholeFile(name, text);
}

void Renumber(std::string& event, unsigned long long number) {
  size_t open = event.find("<EventRecordID>");
  size_t close = open == std::string::npos ? open : event.find("</EventRecordID>", open);
  if (close == std::string::npos) return;
  open += std::strlen("<EventRecordID>");
  event.replace(open, close - open, std::to_string(number));
}

int Append(const std::vector<std::string>& args) {
  unsigned long long count = 0;
  double rate = 0;
  size_t next = 0;
  for (; next < args.size() && args[next].rfind("--", 0) == 0; next += 2) {
    if (next + 1 == args.size()) return Usage(args[next] + " needs a value");
    const std::string& value = args[next + 1];
    if (args[next] == "--count") {
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        return Usage("--count needs a number of events: " + value);
      count = std::strtoull(value.c_str(), nullptr, 10);
    } else if (args[next] == "--rate") {
      char* end = nullptr;
      rate = std::strtod(value.c_str(), &end);
      if (value.empty() || *end || !std::isfinite(rate) || rate < 0)
        return Usage("--rate needs a number of events a second: " + value);
    } else {
      return Usage("unknown option " + args[next]);
    }
  }
  if (args.size() < next + 2) return Usage("append needs a channel and at least one file");
  const std::string& channel = args[next];
  std::vector<std::string> events;
  for (size_t i = next + 1; i < args.size(); ++i) {
    std::string text;
    if (!ReadInput(args[i], text)) return Failed("reading " + args[i]);
    for (std::string& event : platform::SplitRenderedEvents(text)) events.push_back(std::move(event));
  }
  if (events.empty()) {
    std::cerr << "varloevt: no event in the input\n";
    return 1;
  }
  if (count == 0) return platform::AppendEvents(channel, events) ? 0 : Failed("appending to " + channel);

  // Paced in slices of 10 ms, each slice one write of the events that are due.
  auto begin = std::chrono::steady_clock::now();
  std::vector<std::string> slice;
  for (unsigned long long written = 0; written < count;) {
    unsigned long long due = count;
    if (rate > 0) {
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      due = std::min(count, static_cast<unsigned long long>(seconds * rate) + 1);
    }
    slice.clear();
    for (; written < due && slice.size() < 4096; ++written) {
      slice.push_back(events[written % events.size()]);
      Renumber(slice.back(), written + 1);
    }
    if (!slice.empty() && !platform::AppendEvents(channel, slice)) return Failed("appending to " + channel);
    if (rate > 0 && written < count) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2) return Usage("a command and a channel are needed");
  const std::string& command = args[0];
  const std::string& channel = args[1];
  if (command == "create" && args.size() <= 3) {
    bool disabled = args.size() == 3 && args[2] == "--disabled";
    if (args.size() == 3 && !disabled) return Usage("unknown option " + args[2]);
    return platform::CreateEventChannel(channel, !disabled) ? 0 : Failed("creating " + channel);
  }
  if (command == "remove" && args.size() == 2) {
    return platform::RemoveEventChannel(channel) ? 0 : Failed("removing " + channel);
  }
  if ((command == "enable" || command == "disable") && args.size() == 2) {
    return platform::SetEventChannelEnabled(channel, command == "enable") ? 0 : Failed(command + " " + channel);
  }
  if (command == "event" && args.size() == 3) {
    return platform::AppendEvents(channel, {args[2]}) ? 0 : Failed("appending to " + channel);
  }
  if (command == "append") {
    return Append(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (command == "list" && args.size() == 2) {
    std::vector<std::string> events;
    if (!platform::ReadEvents(channel, events)) return Failed("reading " + channel);
    for (const std::string& event : events) std::cout << event << "\n";
    return 0;
  }
  return Usage("unknown command or wrong number of arguments: " + command);
}
