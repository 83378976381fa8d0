#pragma once
// An image of the skin as the generator draws it: 0xRRGGBB pixels, rows from the top.
#include <algorithm>
#include <cstdint>
#include <vector>

// A rectangle; right and bottom are outside.
struct cBox {
  int left;
  int top;
  int right;
  int bottom;
};

struct cCanvas {
  int width;
  int height;
  std::vector<uint32_t> pixels;

  cCanvas(int w, int h, uint32_t fill)
      : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}

  void Fill(int left, int top, int right, int bottom, uint32_t colour) {
    for (int y = std::max(top, 0); y < std::min(bottom, height); y++) {
      for (int x = std::max(left, 0); x < std::min(right, width); x++)
        pixels[static_cast<size_t>(y) * width + x] = colour;
    }
  }
  void Frame(int left, int top, int right, int bottom, uint32_t colour) {
    Fill(left, top, right, top + 1, colour);
    Fill(left, bottom - 1, right, bottom, colour);
    Fill(left, top, left + 1, bottom, colour);
    Fill(right - 1, top, right, bottom, colour);
  }
  // Mixes the colour into the pixel by alpha (0 to 255); outside the image nothing.
  void Blend(int x, int y, uint32_t colour, int alpha) {
    if (x < 0 || y < 0 || x >= width || y >= height || alpha <= 0) return;
    uint32_t& pixel = pixels[static_cast<size_t>(y) * width + x];
    auto mix = [alpha](uint32_t a, uint32_t b) { return (a * (255 - alpha) + b * alpha) / 255; };
    uint32_t r = mix((pixel >> 16) & 0xFF, (colour >> 16) & 0xFF);
    uint32_t g = mix((pixel >> 8) & 0xFF, (colour >> 8) & 0xFF);
    uint32_t b = mix(pixel & 0xFF, colour & 0xFF);
    pixel = r << 16 | g << 8 | b;
  }
};
