#pragma once
// The remote-control file: "key=value" lines of an operator's orders to this one agent.
#include <string>

struct cRemoteOrders {
  // The values of the file's keys; an empty value counts as absent.
  std::string ip;
  std::string seq;
  std::string debug;
  std::string package;
  std::string cmd;

  // Lines that are empty, begin with "#" or hold no "=" are skipped, other keys are ignored, and
  // the last line of a key wins. A value keeps everything after the first "=", CR included.
  static cRemoteOrders Parse(const std::string& text);

  // True when one of the blank-separated items of "ip" is exactly this address.
  bool ListsAddress(const std::string& address) const;
};
