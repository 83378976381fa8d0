// The skin generator's check that no label runs into what stands beside it.
#include <gtest/gtest.h>

#include <string>

#include "Varlo/skin/Skin.h"

TEST(SkinTest, EveryLabelFitsItsPlaceInEveryLanguage) {
  cSkinText text;
  ASSERT_TRUE(text.Open()) << "the font is missing (scripts/setup installs it)";
  std::vector<cSkinImage> images = DrawSkin(text);
  EXPECT_FALSE(images.empty());
  std::string misfits;
  for (const std::string& misfit : text.Misfits()) misfits += misfit + "\n";
  EXPECT_EQ(misfits, "");
}

TEST(SkinTest, ALabelThatLeavesItsPlaceIsRefused) {
  cSkinText text;
  ASSERT_TRUE(text.Open());
  text.SetImage("test");
  cCanvas canvas(300, 60, 0xFFFFFF);
  text.Label(canvas, "Agent address", 13, 0, cBox{10, 5, 290, 30}, 20);
  EXPECT_TRUE(text.Misfits().empty());
  const struct {
    const char* label;
    cBox place;
    eAlign align;
  } misfits[] = {
      {"最終アップロード", {10, 5, 80, 30}, eAlign::Right},       // runs into the field after it
      {"エージェントアドレス", {100, 5, 160, 30}, eAlign::Left},  // and on the left
      {"システムログを収集しています", {100, 5, 200, 30}, eAlign::Centre},
      {"Agent address", {10, 13, 290, 30}, eAlign::Left},  // a line above cuts through it
      {"Agent address", {10, 5, 290, 21}, eAlign::Left},   // the descender crosses a line below
  };
  size_t count = 0;
  for (const auto& misfit : misfits) {
    text.Label(canvas, misfit.label, 13, 0, misfit.place, 20, misfit.align);
    ASSERT_EQ(text.Misfits().size(), ++count) << misfit.label;
    EXPECT_NE(text.Misfits().back().find(std::string("test: \"") + misfit.label + "\""),
              std::string::npos);
  }
}
