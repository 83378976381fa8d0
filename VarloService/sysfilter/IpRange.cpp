#include "VarloService/sysfilter/IpRange.h"

#include <algorithm>
#include <cctype>

namespace sysfilter {

namespace {

constexpr uint32_t kMaxPrefix = 32;

// Reads numbers the way "%u" of scanf does (blanks before each one skipped), each saturating
// instead of wrapping so that a huge prefix length stays huge.
class cNumberReader {
 public:
  explicit cNumberReader(std::string_view text) : m_text(text) {}

  std::optional<uint64_t> Number() {
    while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) {
      ++m_pos;
    }
    const size_t start = m_pos;
    uint64_t value = 0;
    while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) {
      value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(m_text[m_pos] - '0'),
                                 UINT32_MAX + uint64_t{1});
      ++m_pos;
    }
    if (m_pos == start) return std::nullopt;
    return value;
  }

  bool Skip(char separator) {
    if (m_pos >= m_text.size() || m_text[m_pos] != separator) return false;
    ++m_pos;
    return true;
  }

 private:
  std::string_view m_text;
  size_t m_pos = 0;
};

std::optional<uint32_t> ReadAddress(cNumberReader& reader) {
  uint32_t address = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0 && !reader.Skip('.')) return std::nullopt;
    const std::optional<uint64_t> number = reader.Number();
    if (!number) return std::nullopt;
    address = (address << 8) | static_cast<uint32_t>(*number & 0xFF);
  }
  return address;
}

}  // namespace

std::optional<IpRange> ParseIpRange(std::string_view text) {
  cNumberReader reader(text);
  const std::optional<uint32_t> address = ReadAddress(reader);
  if (!address) return std::nullopt;
  uint32_t mask = 0xFFFFFFFF;
  if (reader.Skip('/')) {
    if (const std::optional<uint64_t> prefix = reader.Number()) {
      if (*prefix > kMaxPrefix) return std::nullopt;
      mask = *prefix == 0 ? 0 : 0xFFFFFFFFu << (kMaxPrefix - *prefix);
    }
  }
  return IpRange{*address & mask, mask};
}

std::optional<uint32_t> ParseIpAddress(const char* text, size_t length) {
  if (!text) return std::nullopt;
  cNumberReader reader(std::string_view(text, length));
  return ReadAddress(reader);
}

int LoadIpList(const json_t* list, IpRangeList& ips) {
  ips.reserve(ips.size() + json_array_size(list));
  size_t index;
  const json_t* element;
  json_array_foreach(list, index, element) {
    const char* value = json_string_value(json_object_get(element, "value"));
    if (!value || !*value) continue;
    const std::optional<IpRange> range = ParseIpRange(value);
    if (!range) continue;
    const auto place = std::lower_bound(ips.begin(), ips.end(), *range);
    if (place != ips.end() && *place == *range) continue;
    ips.insert(place, *range);
  }
  ips.shrink_to_fit();
  return 0;
}

bool IpListContains(const IpRangeList& ips, uint32_t address) {
  return std::any_of(ips.begin(), ips.end(),
                     [address](const IpRange& range) { return range.Contains(address); });
}

}  // namespace sysfilter
