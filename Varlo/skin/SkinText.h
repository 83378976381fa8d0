#pragma once
// The labels of the skin, drawn with the font the window layer shows its texts in. Every label has
// a place it must stay inside (not running into the field, line or frame beside it); one whose
// drawn glyphs leave it is recorded, so that the generator refuses a skin with clipped or
// overlapping text in any language.
#include <cstdint>
#include <string>
#include <vector>

#include "Varlo/skin/SkinCanvas.h"

struct FT_LibraryRec_;
struct FT_FaceRec_;

enum class eAlign { Left, Centre, Right };

class cSkinText {
 public:
  cSkinText() = default;
  ~cSkinText();
  cSkinText(const cSkinText&) = delete;
  cSkinText& operator=(const cSkinText&) = delete;

  // Opens "Noto Sans CJK JP" (Latin, kana, kanji and Hangul); false when it is not installed.
  bool Open();
  // Names the image being drawn in the records of labels that do not fit ("ja page 0").
  void SetImage(const std::string& name) { m_Image = name; }

  // Draws the text in pixels of the size with its baseline at y, placed by the alignment inside
  // the place (horizontally).
  void Label(cCanvas& canvas, const std::string& text, int size, uint32_t colour, const cBox& place,
             int baseline, eAlign align = eAlign::Left);
  // One line per label whose glyphs left its place.
  const std::vector<std::string>& Misfits() const { return m_Misfits; }

 private:
  int Advance(const std::vector<uint32_t>& points, int size);

  FT_LibraryRec_* m_Library = nullptr;
  FT_FaceRec_* m_Face = nullptr;
  std::string m_Image;
  std::vector<std::string> m_Misfits;
};
