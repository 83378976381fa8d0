// Replays the fuzz seeds through the fuzz targets, so that every test run covers them under the
// sanitizers without libFuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets/FuzzTargets.h"

namespace {

std::vector<std::filesystem::path> SeedFiles() {
  std::vector<std::filesystem::path> seeds;
  for (const char* folder : {VARLO_WEBFILTER_FIXTURES, VARLO_FUZZ_CORPUS}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) seeds.push_back(entry.path());
    }
  }
  return seeds;
}

}  // namespace

TEST(FuzzReplay, EverySeedPassesEveryTarget) {
  const std::vector<std::filesystem::path> seeds = SeedFiles();
  ASSERT_FALSE(seeds.empty());
  for (const auto& path : seeds) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    SCOPED_TRACE(path.string());
    EXPECT_EQ(FuzzMultipart(data, bytes.size()), 0);
    EXPECT_EQ(FuzzPercentDecode(data, bytes.size()), 0);
    EXPECT_EQ(FuzzRecordLine(data, bytes.size()), 0);
  }
}

TEST(FuzzReplay, EmptyAndTinyInputs) {
  for (const std::string input : {"", "\n", "\n\n", "%", "{}", "\n\n--", "--\n\n--"}) {
    const auto* data = reinterpret_cast<const uint8_t*>(input.data());
    EXPECT_EQ(FuzzMultipart(data, input.size()), 0);
    EXPECT_EQ(FuzzPercentDecode(data, input.size()), 0);
    EXPECT_EQ(FuzzRecordLine(data, input.size()), 0);
  }
}
