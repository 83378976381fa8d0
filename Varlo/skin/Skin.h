#pragma once
// The tray program's skin: its bitmaps and icons, in English, Japanese and Korean where they carry
// words, at the sizes and places the program's windows expect.
#include <cstdint>
#include <vector>

#include "Varlo/skin/SkinCanvas.h"
#include "Varlo/skin/SkinText.h"

constexpr uint16_t kSkinNeutral = 0x0000;

struct cSkinImage {
  int id;             // resource id
  uint16_t language;  // kSkinNeutral or a language id
  int kind;           // 0 bitmap, 1 icon
  cCanvas canvas;
};

// Draws every image; labels that do not fit are left in the text's records.
std::vector<cSkinImage> DrawSkin(cSkinText& text);
