#include "Varlo/skin/SkinText.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <climits>

namespace {

// UTF-8 to code points (the texts of the skin are well-formed).
std::vector<uint32_t> CodePoints(const std::string& text) {
  std::vector<uint32_t> points;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    uint32_t point = extra ? c & (0x3F >> extra) : c;
    for (int k = 1; k <= extra && i + k < text.size(); k++)
      point = point << 6 | (text[i + k] & 0x3F);
    points.push_back(point);
    i += extra + 1;
  }
  return points;
}

std::string Describe(const cBox& box) {
  return "(" + std::to_string(box.left) + "," + std::to_string(box.top) + ")-(" +
         std::to_string(box.right) + "," + std::to_string(box.bottom) + ")";
}

}  // namespace

cSkinText::~cSkinText() {
  if (m_Face) FT_Done_Face(m_Face);
  if (m_Library) FT_Done_FreeType(m_Library);
  FcFini();
}

bool cSkinText::Open() {
  if (FT_Init_FreeType(&m_Library) != 0 || !FcInit()) return false;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("Noto Sans CJK JP"));
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcChar8* file = nullptr;
  int index = 0;
  bool opened = match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
                (FcPatternGetInteger(match, FC_INDEX, 0, &index), true) &&
                FT_New_Face(m_Library, reinterpret_cast<const char*>(file), index, &m_Face) == 0;
  if (match) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  return opened;
}

int cSkinText::Advance(const std::vector<uint32_t>& points, int size) {
  FT_Set_Pixel_Sizes(m_Face, 0, size);
  int width = 0;
  for (uint32_t point : points) {
    if (FT_Load_Char(m_Face, point, FT_LOAD_DEFAULT) == 0)
      width += static_cast<int>(m_Face->glyph->advance.x >> 6);
  }
  return width;
}

void cSkinText::Label(cCanvas& canvas, const std::string& text, int size, uint32_t colour,
                      const cBox& place, int baseline, eAlign align) {
  std::vector<uint32_t> points = CodePoints(text);
  int x = place.left;
  if (align != eAlign::Left) {
    int room = place.right - place.left - Advance(points, size);
    x += align == eAlign::Centre ? room / 2 : room;
  }
  FT_Set_Pixel_Sizes(m_Face, 0, size);
  cBox ink{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
  for (uint32_t point : points) {
    if (FT_Load_Char(m_Face, point, FT_LOAD_RENDER) != 0) continue;
    FT_GlyphSlot glyph = m_Face->glyph;
    for (unsigned row = 0; row < glyph->bitmap.rows; row++) {
      for (unsigned column = 0; column < glyph->bitmap.width; column++) {
        int alpha = glyph->bitmap.buffer[row * glyph->bitmap.pitch + column];
        if (alpha == 0) continue;
        int pixelX = x + glyph->bitmap_left + static_cast<int>(column);
        int pixelY = baseline - glyph->bitmap_top + static_cast<int>(row);
        canvas.Blend(pixelX, pixelY, colour, alpha);
        ink = cBox{std::min(ink.left, pixelX), std::min(ink.top, pixelY),
                   std::max(ink.right, pixelX + 1), std::max(ink.bottom, pixelY + 1)};
      }
    }
    x += static_cast<int>(glyph->advance.x >> 6);
  }
  if (ink.left >= ink.right) return;  // nothing drawn
  if (ink.left < place.left || ink.top < place.top || ink.right > place.right ||
      ink.bottom > place.bottom) {
    m_Misfits.push_back(m_Image + ": \"" + text + "\" drawn at " + Describe(ink) +
                        " leaves its place " + Describe(place));
  }
}
