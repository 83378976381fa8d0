#include <gtest/gtest.h>

#include <string>

#include "VarloService/sysfilter/IpRange.h"

namespace sysfilter {
namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(IpRange, ParsesRangeTexts) {
  struct cCase {
    const char* text;
    bool valid;
    uint32_t network;
    uint32_t mask;
  };
  const cCase cases[] = {
      {"10.1.2.3", true, Ip(10, 1, 2, 3), 0xFFFFFFFF},
      {"10.1.2.3/24", true, Ip(10, 1, 2, 0), 0xFFFFFF00},
      {"10.1.2.3/32", true, Ip(10, 1, 2, 3), 0xFFFFFFFF},
      {"10.1.2.3/1", true, 0, 0x80000000},
      {"0.0.0.0/0", true, 0, 0},
      {"192.168.1.77/0", true, 0, 0},
      {"256.1.2.3", true, Ip(0, 1, 2, 3), 0xFFFFFFFF},  // low 8 bits, no range check
      {"10.1.2.3/", true, Ip(10, 1, 2, 3), 0xFFFFFFFF},
      {"10.1.2.3:80", true, Ip(10, 1, 2, 3), 0xFFFFFFFF},
      {"10.1.2.3/33", false, 0, 0},  // refused, not shifted
      {"10.1.2.3/99999999999", false, 0, 0},
      {"10.1.2", false, 0, 0},
      {"", false, 0, 0},
      {"a.b.c.d", false, 0, 0},
      {"10.1.2.-3", false, 0, 0},
  };
  for (const cCase& c : cases) {
    const std::optional<IpRange> range = ParseIpRange(c.text);
    ASSERT_EQ(range.has_value(), c.valid) << c.text;
    if (!range) continue;
    EXPECT_EQ(range->network, c.network) << c.text;
    EXPECT_EQ(range->mask, c.mask) << c.text;
  }
}

TEST(IpRange, AddressIsBoundedByLength) {
  const std::string text = "10.1.2.3</Data>";
  EXPECT_EQ(ParseIpAddress(text.data(), 8), Ip(10, 1, 2, 3));
  EXPECT_EQ(ParseIpAddress(text.data(), 6), std::nullopt);  // "10.1.2" and no more
  EXPECT_EQ(ParseIpAddress("-", 1), std::nullopt);
  EXPECT_EQ(ParseIpAddress(nullptr, 0), std::nullopt);
}

TEST(IpRange, LoadKeepsOrderWithoutDuplicates) {
  json_t* list = json_loads(
      R"([{"value":"192.168.1.1"},{"value":"10.0.0.0/8"},{"value":"10.0.0.5/8"},
          {"value":""},{"value":"1.2.3"},{"other":"x"},{"value":7},{"value":"10.0.0.0/16"}])",
      0, nullptr);
  ASSERT_NE(list, nullptr);
  IpRangeList ips;
  EXPECT_EQ(LoadIpList(list, ips), 0);
  json_decref(list);
  ASSERT_EQ(ips.size(), 3u);
  EXPECT_EQ(ips[0], (IpRange{Ip(10, 0, 0, 0), 0xFF000000}));
  EXPECT_EQ(ips[1], (IpRange{Ip(10, 0, 0, 0), 0xFFFF0000}));
  EXPECT_EQ(ips[2], (IpRange{Ip(192, 168, 1, 1), 0xFFFFFFFF}));
  EXPECT_TRUE(IpListContains(ips, Ip(10, 200, 3, 4)));
  EXPECT_TRUE(IpListContains(ips, Ip(192, 168, 1, 1)));
  EXPECT_FALSE(IpListContains(ips, Ip(192, 168, 1, 2)));
  EXPECT_FALSE(IpListContains({}, Ip(10, 0, 0, 1)));
}

}  // namespace
}  // namespace sysfilter
