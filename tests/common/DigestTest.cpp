#include <gtest/gtest.h>

#include <string>

#include "common/Buffer.h"
#include "common/Sha256.h"

TEST(Sha256, MatchesStandardVectors) {
  const struct {
    std::string message;
    const char* hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
       "mnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(Sha256Hex(c.message), c.hex) << c.message.substr(0, 20);
}

TEST(Sha256, HexWritesExactlySixtyFourCharactersAndRawMatchesHex) {
  char area[SHA256_HEX_CHARS + 1];
  area[SHA256_HEX_CHARS] = '#';
  Sha256Hex("abc", 3, area);
  EXPECT_EQ(area[SHA256_HEX_CHARS], '#');

  uint8_t digest[SHA256_DIGEST_BYTES];
  Sha256("abc", 3, digest);
  EXPECT_EQ(digest[0], 0xba);
  EXPECT_EQ(digest[31], 0xad);
}

TEST(Buffer, AllocateLeavesRoomForNulAndReleaseEmpties) {
  cBuffer buffer;
  EXPECT_TRUE(buffer.Empty());
  buffer.Release();
  buffer.Allocate(3);
  EXPECT_EQ(buffer.Size(), 3u);
  EXPECT_EQ(buffer.Data()[3], 0);
  buffer.Release();
  EXPECT_TRUE(buffer.Empty());
  EXPECT_EQ(buffer.Size(), 0u);
}
