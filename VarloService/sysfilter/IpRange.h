#pragma once
// IPv4 ranges as the server writes them: four numbers, optionally "/" and a prefix length.
// Addresses are numbers whose most significant byte is the first octet.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace sysfilter {

struct IpRange {
  uint32_t network = 0;  // already masked
  uint32_t mask = 0;

  bool Contains(uint32_t address) const { return (address & mask) == network; }
  bool operator<(const IpRange& other) const {
    return network != other.network ? network < other.network : mask < other.mask;
  }
  bool operator==(const IpRange& other) const {
    return network == other.network && mask == other.mask;
  }
};

// Kept in ascending order without duplicates.
using IpRangeList = std::vector<IpRange>;

// Reads "a.b.c.d" (one address) or "a.b.c.d/p" (p from 0 to 32; a larger prefix is no range).
// Each number gives its low 8 bits as one octet; text after the last number is ignored.
std::optional<IpRange> ParseIpRange(std::string_view text);

// Reads the first `length` bytes as "a.b.c.d" the same way; nothing when four numbers are not
// there.
std::optional<uint32_t> ParseIpAddress(const char* text, size_t length);

// Fills the list from the "list" array of a reference list: each "value" that is a range, in
// order of (network, mask), duplicates and unreadable values skipped. Returns 0.
int LoadIpList(const json_t* list, IpRangeList& ips);

bool IpListContains(const IpRangeList& ips, uint32_t address);

}  // namespace sysfilter
