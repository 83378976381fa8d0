// Draws the tray program's skin into the image archive that the program embeds, and refuses a skin
// whose labels do not fit their places. Usage: SkinGen <output file>.
#include <cstdio>
#include <vector>

#include "Varlo/skin/Skin.h"

namespace {

void Put16(std::vector<unsigned char>& archive, int value) {
  archive.push_back(static_cast<unsigned char>(value & 0xFF));
  archive.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

// The archive format of the window layer (UiResources.h).
std::vector<unsigned char> Archive(const std::vector<cSkinImage>& images) {
  std::vector<unsigned char> archive;
  for (const cSkinImage& image : images) {
    Put16(archive, image.id);
    Put16(archive, image.language);
    archive.push_back(static_cast<unsigned char>(image.kind));
    Put16(archive, image.canvas.width);
    Put16(archive, image.canvas.height);
    for (uint32_t pixel : image.canvas.pixels) {
      archive.push_back(static_cast<unsigned char>(pixel & 0xFF));
      archive.push_back(static_cast<unsigned char>((pixel >> 8) & 0xFF));
      archive.push_back(static_cast<unsigned char>((pixel >> 16) & 0xFF));
    }
  }
  return archive;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: SkinGen <output file>\n");
    return 2;
  }
  cSkinText text;
  if (!text.Open()) {
    std::fprintf(stderr, "SkinGen: no font found (install fonts-noto-cjk)\n");
    return 1;
  }
  std::vector<unsigned char> archive = Archive(DrawSkin(text));
  if (!text.Misfits().empty()) {
    for (const std::string& misfit : text.Misfits())
      std::fprintf(stderr, "SkinGen: %s\n", misfit.c_str());
    return 1;
  }
  FILE* out = std::fopen(argv[1], "wb");
  if (!out || std::fwrite(archive.data(), 1, archive.size(), out) != archive.size() ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "SkinGen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
