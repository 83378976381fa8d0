// The web-filter file of the module: its byte layout, and that it is written only when the list
// it holds changes, whatever order the server sends the keys in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "VarloService/modvarlo/WebFilterFile.h"
#include "platform/Files.h"
#include "tests/support/TempMachineRoot.h"

namespace {

std::string Read(const std::string& path) {
  std::string content;
  return platform::ReadWholeFile(path, content) ? content : "<missing>";
}

std::string WithDigest(const std::string& text) {
  uint8_t digest[SHA256_DIGEST_BYTES];
  Sha256(text.data(), text.size(), digest);
  return text + std::string(reinterpret_cast<const char*>(digest), SHA256_DIGEST_BYTES);
}

int Write(const char* listText) {
  json_t* list = listText ? json_loads(listText, 0, nullptr) : nullptr;
  const int result = WriteWebFilterFile(list);
  json_decref(list);
  return result;
}

class WebFilterFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo")); }
  cTempMachineRoot m_Root;
};

TEST_F(WebFilterFileTest, CompactSortedTextFollowedByItsDigest) {
  EXPECT_EQ(1, Write(R"([{"webExtendsFilterId": 3, "a": {"z": 1, "b": [true, null]}}])"));
  EXPECT_EQ(WithDigest(R"([{"a":{"b":[true,null],"z":1},"webExtendsFilterId":3}])"),
            Read(kWebFilterFile));
  EXPECT_EQ(0, Write(R"([{"a": {"b": [true, null], "z": 1}, "webExtendsFilterId": 3}])"));

  EXPECT_EQ(1, Write("[]"));
  EXPECT_EQ(34u, Read(kWebFilterFile).size());
  EXPECT_EQ(WithDigest("[]"), Read(kWebFilterFile));
  EXPECT_EQ(0, Write(nullptr));  // no list stands for []
}

TEST_F(WebFilterFileTest, TheFileOnDiskDecidesWhetherItIsRewritten) {
  ASSERT_EQ(1, Write(R"([{"x":1}])"));
  // Only the stored digest is compared: a text changed under an intact digest stays.
  std::string altered = Read(kWebFilterFile);
  altered[2] = 'y';
  ASSERT_TRUE(platform::WriteFileAtomically(kWebFilterFile, altered));
  EXPECT_EQ(0, Write(R"([{"x":1}])"));
  EXPECT_EQ(altered, Read(kWebFilterFile));

  for (const std::string& damaged :
       {std::string("short"), altered.substr(0, altered.size() - 1), std::string()}) {
    ASSERT_TRUE(platform::WriteFileAtomically(kWebFilterFile, damaged));
    EXPECT_EQ(1, Write(R"([{"x":1}])")) << damaged;
    EXPECT_EQ(WithDigest(R"([{"x":1}])"), Read(kWebFilterFile));
  }
  ASSERT_TRUE(platform::DeletePath(kWebFilterFile));
  EXPECT_EQ(1, Write(R"([{"x":1}])"));
  EXPECT_EQ(WithDigest(R"([{"x":1}])"), Read(kWebFilterFile));
}

TEST_F(WebFilterFileTest, DigestInAndOutAndTheCasesWithoutAFile) {
  uint8_t digest[SHA256_DIGEST_BYTES] = {};
  EXPECT_EQ(1, UpdateFileWithHash(kWebFilterFile, "[1]", digest));
  uint8_t expected[SHA256_DIGEST_BYTES];
  Sha256("[1]", 3, expected);
  EXPECT_EQ(0, std::memcmp(expected, digest, SHA256_DIGEST_BYTES));
  EXPECT_EQ(0, UpdateFileWithHash(kWebFilterFile, "[1]", digest));

  EXPECT_EQ(1, UpdateFileWithHash(kWebFilterFile, "", digest));  // empty text removes the file
  EXPECT_FALSE(platform::FileExists(kWebFilterFile));
  EXPECT_EQ(0, UpdateFileWithHash(kWebFilterFile, "", digest));

  std::memset(digest, 0, sizeof digest);
  EXPECT_EQ(-1, UpdateFileWithHash("C:\\NoSuchFolder\\webfilter.json", "[]", digest));
}

}  // namespace
