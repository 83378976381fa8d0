// What a capture of the screen tells about the window in it.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/tray/Xvfb.h"

namespace {

constexpr int kWidth = 12;
constexpr int kHeight = 8;
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kFrameGrey = 0x808080;
constexpr uint32_t kBoxGrey = 0xF0F0F0;

// A capture of one colour with a one-pixel frame of another.
std::vector<uint32_t> Framed(uint32_t inside, uint32_t frame) {
  std::vector<uint32_t> pixels(kWidth * kHeight, inside);
  for (int y = 0; y < kHeight; y++) {
    for (int x = 0; x < kWidth; x++) {
      if (x == 0 || y == 0 || x == kWidth - 1 || y == kHeight - 1) pixels[y * kWidth + x] = frame;
    }
  }
  return pixels;
}

}  // namespace

TEST(XvfbCapture, ShowsContentOnlyWhenSomethingIsDrawnInsideTheFrame) {
  std::vector<uint32_t> drawn = Framed(kBoxGrey, kFrameGrey);
  drawn[3 * kWidth + 5] = 0x000000;  // a pixel of text
  std::vector<uint32_t> markOnFrame = Framed(kWhite, kWhite);
  markOnFrame[kWidth - 1] = 0x000000;
  const struct {
    const char* what;
    std::vector<uint32_t> pixels;
    int width;
    bool content;
  } kCases[] = {
      {"a window that exists, not drawn yet", Framed(kWhite, kWhite), kWidth, false},
      {"an empty frame", Framed(kBoxGrey, kFrameGrey), kWidth, false},
      {"something on the frame alone", markOnFrame, kWidth, false},
      {"text inside the frame", drawn, kWidth, true},
      {"a capture that could not be read", {}, kWidth, false},
      {"a capture of another size", drawn, kWidth - 1, false},
  };
  for (const auto& test : kCases) {
    EXPECT_EQ(cXvfb::ShowsContent(test.pixels, test.width, kHeight), test.content) << test.what;
  }
}
