// Draws the tray program's skin (bitmaps and icons, in English, Japanese and Korean where they
// carry words) into the image archive that the program embeds. Usage: SkinGen <output file>.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kNeutral = 0x0000;
constexpr uint16_t kLanguages[] = {0x0409, 0x0411, 0x0412};

struct cCanvas {
  int width;
  int height;
  std::vector<uint32_t> pixels;  // 0xRRGGBB
  cCanvas(int w, int h, uint32_t fill) : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}

  void Fill(int left, int top, int right, int bottom, uint32_t colour) {
    for (int y = std::max(top, 0); y < std::min(bottom, height); y++) {
      for (int x = std::max(left, 0); x < std::min(right, width); x++) pixels[static_cast<size_t>(y) * width + x] = colour;
    }
  }
  void Frame(int left, int top, int right, int bottom, uint32_t colour) {
    Fill(left, top, right, top + 1, colour);
    Fill(left, bottom - 1, right, bottom, colour);
    Fill(left, top, left + 1, bottom, colour);
    Fill(right - 1, top, right, bottom, colour);
  }
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

FT_Library library;
FT_Face face;

// UTF-8 to code points (the texts here are well-formed).
std::vector<uint32_t> CodePoints(const std::string& text) {
  std::vector<uint32_t> points;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    uint32_t point = extra ? c & (0x3F >> extra) : c;
    for (int k = 1; k <= extra && i + k < text.size(); k++) point = point << 6 | (text[i + k] & 0x3F);
    points.push_back(point);
    i += extra + 1;
  }
  return points;
}

int TextWidth(const std::string& text, int size) {
  FT_Set_Pixel_Sizes(face, 0, size);
  int width = 0;
  for (uint32_t point : CodePoints(text)) {
    if (FT_Load_Char(face, point, FT_LOAD_DEFAULT) == 0) width += static_cast<int>(face->glyph->advance.x >> 6);
  }
  return width;
}

// Draws text with its baseline at y; centred on x when centre is set.
void Text(cCanvas& canvas, const std::string& text, int x, int y, int size, uint32_t colour, bool centre = false) {
  if (centre) x -= TextWidth(text, size) / 2;
  FT_Set_Pixel_Sizes(face, 0, size);
  for (uint32_t point : CodePoints(text)) {
    if (FT_Load_Char(face, point, FT_LOAD_RENDER) != 0) continue;
    FT_GlyphSlot glyph = face->glyph;
    for (unsigned row = 0; row < glyph->bitmap.rows; row++) {
      for (unsigned column = 0; column < glyph->bitmap.width; column++) {
        int alpha = glyph->bitmap.buffer[row * glyph->bitmap.pitch + column];
        canvas.Blend(x + glyph->bitmap_left + static_cast<int>(column), y - glyph->bitmap_top + static_cast<int>(row),
                     colour, alpha);
      }
    }
    x += static_cast<int>(glyph->advance.x >> 6);
  }
}

struct cTexts {
  const char* tabs[3];
  const char* collecting;
  const char* stopped;
  const char* sysmon;
  const char* webLog;
  const char* address;
  const char* uploaded;
  const char* started;
  const char* collectWeb;
  const char* update;
  const char* remove;
  const char* installFolder;
  const char* open;
  const char* autoUpdate;
  const char* systemLog;
  const char* loginTitle;
  const char* loginPrompt;
  const char* loginButton;
  const char* website;
  const char* footer;
};

const cTexts kEnglish = {{"Status", "Web log", "Settings"}, "System logs are being collected", "Collection is stopped",
                         "Sysmon", "Web log", "Agent address", "Last upload", "Service start", "Collect web-server logs",
                         "Update", "Delete module", "Install folder", "Open", "Update the agent automatically",
                         "System log", "Sign in", "Enter the license key", "LOGIN", "Visit the VARLO web site",
                         "VARLO security agent"};
const cTexts kJapanese = {{"状態", "Webログ", "設定"}, "システムログを収集しています", "収集は停止しています",
                          "Sysmon", "Webログ", "エージェントアドレス", "最終アップロード", "サービス開始",
                          "Webサーバーのログを収集する", "更新", "モジュール削除", "インストールフォルダ", "開く",
                          "エージェントを自動更新する", "システムログ", "サインイン", "ライセンスキーを入力してください",
                          "ログイン", "VARLOのウェブサイトへ", "VARLO セキュリティエージェント"};
const cTexts kKorean = {{"상태", "웹 로그", "설정"}, "시스템 로그를 수집하고 있습니다", "수집이 중지되었습니다",
                        "Sysmon", "웹 로그", "에이전트 주소", "마지막 업로드", "서비스 시작", "웹 서버 로그 수집",
                        "업데이트", "모듈 삭제", "설치 폴더", "열기", "에이전트 자동 업데이트", "시스템 로그",
                        "로그인", "라이선스 키를 입력하세요", "로그인", "VARLO 웹 사이트 방문",
                        "VARLO 보안 에이전트"};

constexpr uint32_t kBlue = 0x2B579A;
constexpr uint32_t kDark = 0x4C4C4C;
constexpr uint32_t kGreen = 0x3BA55C;
constexpr uint32_t kGrey = 0xB8B8B8;
constexpr uint32_t kPale = 0xEEF3FB;  // the COLORREF 0xFBF3EE behind S1 and S2
constexpr uint32_t kAccent = 0x577EAC;

std::vector<unsigned char> archive;

void Put16(int value) {
  archive.push_back(static_cast<unsigned char>(value & 0xFF));
  archive.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

void Add(int id, uint16_t language, int kind, const cCanvas& canvas) {
  Put16(id);
  Put16(language);
  archive.push_back(static_cast<unsigned char>(kind));
  Put16(canvas.width);
  Put16(canvas.height);
  for (uint32_t pixel : canvas.pixels) {
    archive.push_back(static_cast<unsigned char>(pixel & 0xFF));
    archive.push_back(static_cast<unsigned char>((pixel >> 8) & 0xFF));
    archive.push_back(static_cast<unsigned char>((pixel >> 16) & 0xFF));
  }
}

void Switch(cCanvas& canvas, int left, int top, bool on) {
  canvas.Fill(left, top, left + 32, top + 18, on ? kGreen : kGrey);
  int knob = on ? left + 16 : left + 2;
  canvas.Fill(knob, top + 2, knob + 14, top + 16, 0xFFFFFF);
}

void Box(cCanvas& canvas, int left, int top, bool checked) {
  canvas.Fill(left, top, left + 14, top + 14, 0xFFFFFF);
  canvas.Frame(left, top, left + 14, top + 14, kAccent);
  if (checked) canvas.Fill(left + 3, top + 3, left + 11, top + 11, kBlue);
}

void Indicator(cCanvas& canvas, int left, int top, const char* label, bool on) {
  canvas.Fill(left, top, left + 85, top + 12, on ? kGreen : kGrey);
  Text(canvas, label, left + 42, top + 10, 10, 0xFFFFFF, true);
}

void Banner(cCanvas& canvas, int left, int top, const cTexts& texts, bool on) {
  canvas.Fill(left, top, left + 256, top + 39, on ? 0xE6F4EA : 0xF1F1F1);
  canvas.Frame(left, top, left + 256, top + 39, on ? kGreen : kGrey);
  Text(canvas, on ? texts.collecting : texts.stopped, left + 128, top + 25, 13, on ? kGreen : 0x808080, true);
}

void Button(cCanvas& canvas, int left, int top, const char* label, bool on) {
  canvas.Fill(left, top, left + 88, top + 24, on ? kBlue : 0xDDDDDD);
  Text(canvas, label, left + 44, top + 17, 12, on ? 0xFFFFFF : 0x999999, true);
}

cCanvas Page(int page, const cTexts& texts) {
  cCanvas canvas(500, 256, 0xFFFFFF);
  // Tabs: absolute y 87-125 is 1-39 here.
  const int tabs[3][2] = {{21, 174}, {175, 327}, {328, 479}};
  for (int tab = 0; tab < 3; tab++) {
    bool active = tab == page;
    canvas.Fill(tabs[tab][0], 1, tabs[tab][1], 39, active ? 0xFFFFFF : 0xEDEDED);
    canvas.Fill(tabs[tab][0], 36, tabs[tab][1], 39, active ? kBlue : 0xD0D0D0);
    int centre = tab == 0 ? 70 : (tabs[tab][0] + tabs[tab][1]) / 2;
    Text(canvas, texts.tabs[tab], centre, 25, 13, active ? kBlue : 0x777777, true);
  }
  Switch(canvas, 122, 11, true);
  if (page == 0) {
    Banner(canvas, 126, 65, texts, true);
    Indicator(canvas, 95, 147, texts.sysmon, false);
    Indicator(canvas, 268, 148, texts.webLog, false);
    canvas.Fill(20, 180, 480, 181, 0xE0E0E0);
    Text(canvas, texts.address, 51, 185, 11, kAccent);
    canvas.Fill(51, 192, 160, 212, kPale);
    canvas.Fill(51, 222, 160, 242, kPale);
    Text(canvas, texts.uploaded, 220, 206, 11, kDark);
    Text(canvas, texts.started, 220, 236, 11, kDark);
  } else if (page == 1) {
    Box(canvas, 51, 61, false);
    Text(canvas, texts.collectWeb, 75, 73, 13, kDark);
    Button(canvas, 51, 145, texts.update, false);
    canvas.Fill(51, 192, 139, 216, 0xFFFFFF);
    canvas.Frame(51, 192, 139, 216, 0xC0504D);
    Text(canvas, texts.remove, 95, 209, 12, 0xC0504D, true);
  } else {
    Text(canvas, texts.installFolder, 51, 80, 13, kDark);
    canvas.Frame(391, 63, 449, 87, kAccent);
    Text(canvas, texts.open, 420, 80, 12, kAccent, true);
    Box(canvas, 51, 131, true);
    Text(canvas, texts.autoUpdate, 75, 143, 13, kDark);
  }
  return canvas;
}

cCanvas Login(const cTexts& texts) {
  cCanvas canvas(400, 310, 0xFFFFFF);
  canvas.Fill(0, 0, 400, 100, kBlue);
  Text(canvas, "VARLO", 30, 55, 28, 0xFFFFFF);
  Text(canvas, texts.loginTitle, 30, 82, 14, 0xE0E8F4);
  // Close button (356,25)-(375,44).
  for (int k = 0; k < 19; k++) {
    canvas.Fill(356 + k, 25 + k, 358 + k, 27 + k, 0xFFFFFF);
    canvas.Fill(374 - k, 25 + k, 376 - k, 27 + k, 0xFFFFFF);
  }
  Text(canvas, texts.loginPrompt, 78, 118, 12, kDark);
  canvas.Frame(76, 124, 324, 155, kAccent);
  canvas.Fill(74, 164, 326, 204, kBlue);
  Text(canvas, texts.loginButton, 200, 190, 15, 0xFFFFFF, true);
  Text(canvas, texts.website, 200, 252, 12, kAccent, true);
  canvas.Fill(76, 255, 324, 256, kAccent);
  return canvas;
}

cCanvas Icon(uint32_t colour, bool cross) {
  cCanvas canvas(32, 32, 0x202020);
  for (int y = 3; y < 29; y++) {
    int half = y < 16 ? 12 : 12 - (y - 16);
    canvas.Fill(16 - half, y, 16 + half, y + 1, colour);
  }
  Text(canvas, "V", 16, 22, 16, 0xFFFFFF, true);
  if (cross) canvas.Fill(6, 15, 26, 18, 0xFFFFFF);
  return canvas;
}

bool OpenFont() {
  if (FT_Init_FreeType(&library) != 0 || !FcInit()) return false;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("Noto Sans CJK JP"));
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcChar8* file = nullptr;
  int index = 0;
  bool opened = match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
                (FcPatternGetInteger(match, FC_INDEX, 0, &index), true) &&
                FT_New_Face(library, reinterpret_cast<const char*>(file), index, &face) == 0;
  if (match) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  return opened;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: SkinGen <output file>\n");
    return 2;
  }
  if (!OpenFont()) {
    std::fprintf(stderr, "SkinGen: no font found (install fonts-noto-cjk)\n");
    return 1;
  }
  cCanvas header(500, 86, kBlue);
  Text(header, "VARLO", 24, 50, 30, 0xFFFFFF);
  header.Frame(347, 21, 402, 39, 0xFFFFFF);
  Text(header, "Sign out", 374, 34, 10, 0xFFFFFF, true);
  for (int k = 0; k < 19; k++) {
    header.Fill(461 + k, 20 + k, 463 + k, 22 + k, 0xFFFFFF);
    header.Fill(479 - k, 20 + k, 481 - k, 22 + k, 0xFFFFFF);
  }
  Add(134, kNeutral, 0, header);
  cCanvas switchOff(32, 18, 0xFFFFFF);
  Switch(switchOff, 0, 0, false);
  Add(141, kNeutral, 0, switchOff);
  cCanvas boxChecked(14, 14, 0xFFFFFF);
  Box(boxChecked, 0, 0, true);
  Add(142, kNeutral, 0, boxChecked);
  cCanvas boxEmpty(14, 14, 0xFFFFFF);
  Box(boxEmpty, 0, 0, false);
  Add(143, kNeutral, 0, boxEmpty);
  Add(130, kNeutral, 1, Icon(kGreen, false));
  Add(149, kNeutral, 1, Icon(0xE0A020, true));
  Add(150, kNeutral, 1, Icon(0x909090, true));
  const cTexts* tables[] = {&kEnglish, &kJapanese, &kKorean};
  for (int language = 0; language < 3; language++) {
    const cTexts& texts = *tables[language];
    uint16_t id = kLanguages[language];
    for (int page = 0; page < 3; page++) Add(137 + page, id, 0, Page(page, texts));
    cCanvas footer(500, 58, 0xF5F5F5);
    Text(footer, texts.footer, 250, 24, 11, 0x999999, true);
    Add(136, id, 0, footer);
    cCanvas banner(256, 39, 0xFFFFFF);
    Banner(banner, 0, 0, texts, false);
    Add(146, id, 0, banner);
    cCanvas sysmon(85, 12, 0xFFFFFF);
    Indicator(sysmon, 0, 0, texts.sysmon, true);
    Add(147, id, 0, sysmon);
    cCanvas webLog(85, 12, 0xFFFFFF);
    Indicator(webLog, 0, 0, texts.webLog, true);
    Add(148, id, 0, webLog);
    cCanvas update(88, 24, 0xFFFFFF);
    Button(update, 0, 0, texts.update, true);
    Add(140, id, 0, update);
    Add(144, id, 0, Login(texts));
  }
  FT_Done_Face(face);
  FT_Done_FreeType(library);
  FcFini();
  FILE* out = std::fopen(argv[1], "wb");
  if (!out || std::fwrite(archive.data(), 1, archive.size(), out) != archive.size() || std::fclose(out) != 0) {
    std::fprintf(stderr, "SkinGen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
