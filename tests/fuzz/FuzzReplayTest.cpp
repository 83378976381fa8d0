// Replays the seeds of every fuzz target through it, so that every test run covers them under the
// sanitizers without libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "fuzz/targets/FuzzTargets.h"

namespace fs = std::filesystem;

void PrintTo(const cFuzzTarget& target, std::ostream* out) { *out << target.name; }

namespace {

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int RunTarget(const cFuzzTarget& target, const std::string& bytes) {
  return target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

class FuzzReplay : public testing::TestWithParam<cFuzzTarget> {
 protected:
  static void SetUpTestSuite() { DiscardLogLines(); }
};

std::string TargetName(const testing::TestParamInfo<cFuzzTarget>& info) { return info.param.name; }

}  // namespace

TEST_P(FuzzReplay, EverySeedPasses) {
  int seeds = 0;
  const fs::path folder = fs::path(VARLO_FUZZ_CORPUS) / GetParam().name;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    ++seeds;
    SCOPED_TRACE(entry.path().string());
    EXPECT_EQ(RunTarget(GetParam(), ReadBytes(entry.path())), 0);
  }
  EXPECT_GT(seeds, 0);
}

TEST_P(FuzzReplay, EmptyAndTinyInputsPass) {
  const std::string inputs[] = {"",  std::string(1, '\0'), "\n", "\n\n", "%",        "{}",
                                "[]", "\"",               "=",  "\n\n--", "--\n\n--", "\xff\xfe"};
  for (const std::string& input : inputs) {
    SCOPED_TRACE(testing::PrintToString(input));
    EXPECT_EQ(RunTarget(GetParam(), input), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(FuzzTargets()), TargetName);

// The fuzz build makes one executable per seed folder, so the two lists must agree.
TEST(FuzzTargets, EachHasItsSeedFolderAndEachFolderItsTarget) {
  std::set<std::string> folders;
  for (const auto& entry : fs::directory_iterator(VARLO_FUZZ_CORPUS)) {
    if (entry.is_directory()) folders.insert(entry.path().filename().string());
  }
  std::set<std::string> targets;
  for (const cFuzzTarget& target : FuzzTargets()) targets.insert(target.name);
  EXPECT_EQ(folders, targets);
}
