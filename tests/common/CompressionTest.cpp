#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/Base64.h"
#include "common/Compression.h"
#include "common/InstallLayout.h"
#include "platform/Files.h"
#include "tests/support/TempMachineRoot.h"

namespace {

std::string InflateAll(const std::vector<uint8_t>& stream, uint32_t& result) {
  std::string out;
  result = Inflate(stream.data(), static_cast<uint32_t>(stream.size()), [&out](const uint8_t* chunk, size_t size) {
    out.append(reinterpret_cast<const char*>(chunk), size);
    return true;
  });
  return out;
}

std::vector<uint8_t> ZlibWrapped(const std::string& plain) {
  std::vector<uint8_t> out(compressBound(plain.size()));
  uLongf length = out.size();
  EXPECT_EQ(compress2(out.data(), &length, reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 9), Z_OK);
  out.resize(length);
  return out;
}

std::vector<uint8_t> Gzipped(const std::string& plain) {
  std::vector<uint8_t> out;
  EXPECT_EQ(GzipCompress(plain.data(), plain.size(), out), 0);
  return out;
}

std::string RandomBytes(size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

TEST(Compression, GzipOfABatchIsAGzipStreamThatInflatesBack) {
  const std::string batch = "[{\"log\":\"a record\"},{\"log\":\"another record\"}]";
  const std::vector<uint8_t> stream = Gzipped(batch);
  ASSERT_GE(stream.size(), 2u);
  EXPECT_EQ(stream[0], 0x1f);
  EXPECT_EQ(stream[1], 0x8b);
  uint32_t result = 0;
  EXPECT_EQ(InflateAll(stream, result), batch);
  EXPECT_EQ(result, batch.size());
}

TEST(Compression, IncompressibleBatchStillCompressesWhole) {
  const std::string batch = RandomBytes(122880);
  uint32_t result = 0;
  EXPECT_EQ(InflateAll(Gzipped(batch), result), batch);
}

TEST(Compression, InflatesStreamsFromZlibsOwnGzipAndItsZlibWrapper) {
  cTempMachineRoot root;
  const std::string plain(50000, 'x');
  const std::string gzPath = root.Path() + "/made-by-gzwrite.gz";
  gzFile gz = gzopen(gzPath.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, plain.data(), static_cast<unsigned>(plain.size())), static_cast<int>(plain.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
  const std::string gzBytes = ReadHostFile(gzPath);

  uint32_t result = 0;
  EXPECT_EQ(InflateAll(std::vector<uint8_t>(gzBytes.begin(), gzBytes.end()), result), plain);
  EXPECT_EQ(InflateAll(ZlibWrapped(plain), result), plain);
  EXPECT_EQ(result, plain.size());
}

TEST(Compression, ExactMultipleOfTheChunkIsInflatedWhole) {
  const std::string plain = RandomBytes(3 * 16384);
  uint32_t result = 0;
  EXPECT_EQ(InflateAll(ZlibWrapped(plain), result), plain);
  EXPECT_EQ(result, plain.size());
}

TEST(Compression, BrokenOrTruncatedStreams) {
  uint32_t result = 1;
  InflateAll({'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'}, result);
  EXPECT_EQ(result, 0u);

  // Cut in the middle of a chunk: what was decoded so far counts.
  const std::string plain(1000, 'y');
  std::vector<uint8_t> cut = ZlibWrapped(RandomBytes(40000));
  cut.resize(cut.size() / 2);
  const std::string partial = InflateAll(cut, result);
  EXPECT_GT(result, 0u);
  EXPECT_EQ(partial.size(), result);

  // A sink that cannot take a chunk fails the whole call.
  const std::vector<uint8_t> stream = ZlibWrapped(plain);
  EXPECT_EQ(Inflate(stream.data(), static_cast<uint32_t>(stream.size()), [](const uint8_t*, size_t) { return false; }),
            0u);
}

constexpr uint32_t kNoBound = UINT32_MAX;

TEST(DecodeToFile, WritesTheScriptWithWindowsLineEnds) {
  cTempMachineRoot root;
  const std::string script = "win-first\nwin-second\n";
  const std::vector<uint8_t> stream = ZlibWrapped(script);
  std::string text = Base64Encode(std::string(stream.begin(), stream.end()));
  text.insert(8, "\r\n");
  const std::string path = "C:\\Program Files\\VARLO\\audit";
  ASSERT_TRUE(MakeInstallFolders().empty());

  bool tooLarge = true;
  EXPECT_EQ(DecodeToFile(text.data(), static_cast<int32_t>(text.size()), path, kNoBound, tooLarge), script.size());
  EXPECT_FALSE(tooLarge);
  EXPECT_EQ(ReadHostFile(platform::MapPath(path)), "win-first\r\nwin-second\r\n");
}

TEST(DecodeToFile, LeavesNoFileWhenNothingDecodesOrInflates) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\temp"));
  const std::vector<uint8_t> empty = ZlibWrapped("");
  const std::string emptyStream = Base64Encode(std::string(empty.begin(), empty.end()));
  const std::string notCompressed = Base64Encode("plain text, not a stream");
  for (const std::string& text : {emptyStream, notCompressed, std::string("!!!!")}) {
    const std::string path = "C:\\temp\\list.json";
    bool tooLarge = true;
    EXPECT_EQ(DecodeToFile(text.data(), static_cast<int32_t>(text.size()), path, kNoBound, tooLarge), 0u) << text;
    EXPECT_FALSE(tooLarge);
    EXPECT_FALSE(platform::FileExists(path)) << text;
  }
  bool tooLarge = true;
  EXPECT_EQ(DecodeToFile(nullptr, 4, "C:\\temp\\list.json", kNoBound, tooLarge), 0u);
}

// A small stream of a large text: bounded, it is written up to its bound and no further.
TEST(DecodeToFile, AStreamThatInflatesBeyondItsBoundIsRefusedAndLeavesNoFile) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\temp"));
  const std::string path = "C:\\temp\\list.json";
  const std::string large(1 << 20, ' ');
  const std::vector<uint8_t> stream = ZlibWrapped(large);
  const std::string text = Base64Encode(std::string(stream.begin(), stream.end()));
  struct cCase {
    uint32_t bound;
    uint32_t inflated;
    bool tooLarge;
  } cases[] = {{1 << 20, 1 << 20, false}, {(1 << 20) - 1, 0, true}, {64 * 1024, 0, true}};
  for (const cCase& test : cases) {
    bool tooLarge = !test.tooLarge;
    EXPECT_EQ(DecodeToFile(text.data(), static_cast<int32_t>(text.size()), path, test.bound, tooLarge), test.inflated)
        << test.bound;
    EXPECT_EQ(tooLarge, test.tooLarge) << test.bound;
    EXPECT_EQ(platform::FileExists(path), !test.tooLarge) << test.bound;
    platform::DeletePath(path);
  }
}
