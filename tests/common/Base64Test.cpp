#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Base64.h"

namespace {

// Decodes with a destination as long as the text, the size every caller may rely on.
std::string Decode(const std::string& text) {
  std::vector<uint8_t> out(text.size());
  uint64_t length = out.size();
  EXPECT_EQ(Base64Decode(text.data(), static_cast<int32_t>(text.size()), out.data(), length), 0);
  return std::string(out.begin(), out.begin() + static_cast<long>(length));
}

}  // namespace

TEST(Base64, RoundTripsTheRfcVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    EXPECT_EQ(Decode(encoded), plain);
  }
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  EXPECT_EQ(Decode(Base64Encode(allBytes)), allBytes);
}

TEST(Base64, EncoderRefusesAShortDestinationAndWritesNothing) {
  EXPECT_EQ(Base64EncodedLength(4), 8u);
  char dest[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
  uint64_t length = 7;
  EXPECT_EQ(Base64Encode("foob", 4, dest, length), -1);
  EXPECT_EQ(std::string(dest, 8), "########");
  length = 8;
  EXPECT_EQ(Base64Encode("foob", 4, dest, length), 0);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(std::string(dest, 8), "Zm9vYg==");
}

TEST(Base64, DecoderSkipsLineBreaksPaddingAndForeignCharacters) {
  const std::string plain = "The quick brown fox jumps over the lazy dog, twice over.";
  const std::string encoded = Base64Encode(plain);
  std::string broken;
  for (size_t i = 0; i < encoded.size(); i += 10) broken += encoded.substr(i, 10) + "\r\n";
  EXPECT_EQ(Decode(broken), plain);
  EXPECT_EQ(Decode(" Zm9v\tYmFy !"), "foobar");
  // Trailing groups of 3, 2 and 1 characters give 2, 1 and 0 bytes, padded or not.
  EXPECT_EQ(Decode("Zm9vYmE"), "fooba");
  EXPECT_EQ(Decode("Zm9vYg"), "foob");
  EXPECT_EQ(Decode("Zm9vY"), "foo");
}

TEST(Base64, NulEndsTheTextOnlyWhereAGroupWouldBegin) {
  const std::string text("Zm9v\0YmFy", 9);
  EXPECT_EQ(Decode(text), "foo");
  const std::string inGroup("Zm\0" "9vYmFy", 9);
  EXPECT_EQ(Decode(inGroup), "foobar");
}

TEST(Base64, DecoderFailsOnMissingTextOrSmallDestination) {
  uint8_t out[6];
  uint64_t length = sizeof out;
  EXPECT_EQ(Base64Decode(nullptr, 4, out, length), -1);
  EXPECT_EQ(Base64Decode("Zm9v", -1, out, length), -1);
  length = 5;
  EXPECT_EQ(Base64Decode("Zm9vYmFy", 8, out, length), -2);
  EXPECT_EQ(length, 5u);
}
