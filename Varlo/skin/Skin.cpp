#include "Varlo/skin/Skin.h"

#include <string>

namespace {

constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kJapanese = 0x0411;
constexpr uint16_t kKorean = 0x0412;

struct cTexts {
  uint16_t language;
  const char* name;
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
  const char* loginTitle;
  const char* loginPrompt;
  const char* loginButton;
  const char* website;
  const char* footer;
};

const cTexts kTexts[] = {
    {kEnglish,
     "en",
     {"Status", "Web log", "Settings"},
     "System logs are being collected",
     "Collection is stopped",
     "Sysmon",
     "Web log",
     "Agent address",
     "Last upload",
     "Service start",
     "Collect web-server logs",
     "Update",
     "Delete module",
     "Install folder",
     "Open",
     "Update the agent automatically",
     "Sign in",
     "Enter the license key",
     "LOGIN",
     "Visit the VARLO web site",
     "VARLO security agent"},
    {kJapanese,
     "ja",
     {"状態", "Webログ", "設定"},
     "システムログを収集しています",
     "収集は停止しています",
     "Sysmon",
     "Webログ",
     "エージェントアドレス",
     "最終アップロード",
     "サービス開始",
     "Webサーバーのログを収集する",
     "更新",
     "モジュール削除",
     "インストールフォルダ",
     "開く",
     "エージェントを自動更新する",
     "サインイン",
     "ライセンスキーを入力してください",
     "ログイン",
     "VARLOのウェブサイトへ",
     "VARLO セキュリティエージェント"},
    {kKorean,
     "ko",
     {"상태", "웹 로그", "설정"},
     "시스템 로그를 수집하고 있습니다",
     "수집이 중지되었습니다",
     "Sysmon",
     "웹 로그",
     "에이전트 주소",
     "마지막 업로드",
     "서비스 시작",
     "웹 서버 로그 수집",
     "업데이트",
     "모듈 삭제",
     "설치 폴더",
     "열기",
     "에이전트 자동 업데이트",
     "로그인",
     "라이선스 키를 입력하세요",
     "로그인",
     "VARLO 웹 사이트 방문",
     "VARLO 보안 에이전트"},
};

constexpr uint32_t kBlue = 0x2B579A;
constexpr uint32_t kDark = 0x4C4C4C;
constexpr uint32_t kGreen = 0x3BA55C;
constexpr uint32_t kGrey = 0xB8B8B8;
constexpr uint32_t kPale = 0xEEF3FB;  // the COLORREF 0xFBF3EE behind S1 and S2
constexpr uint32_t kAccent = 0x577EAC;
constexpr uint32_t kOffFill = 0xE2E2E2;
constexpr uint32_t kOffText = 0x5F5F5F;
constexpr uint32_t kRemove = 0xC0504D;

// The static texts the window lays over page 0, in page pixels (the page starts 86 below the
// window's top): S1 and S2 at x 51, 109 wide; S3 and S4 at x 296; each 20 high.
constexpr int kAddressLeft = 51;
constexpr int kAddressRight = 160;
constexpr int kTimesLeft = 296;
constexpr int kFirstRowTop = 192;
constexpr int kSecondRowTop = 222;
constexpr int kRowHeight = 20;

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

void Indicator(cSkinText& text, cCanvas& canvas, int left, int top, const char* label, bool on) {
  canvas.Fill(left, top, left + 85, top + 12, on ? kGreen : kOffFill);
  text.Label(canvas, label, 10, on ? 0xFFFFFF : kOffText, cBox{left + 1, top, left + 84, top + 12},
             top + 9, eAlign::Centre);
}

void Banner(cSkinText& text, cCanvas& canvas, int left, int top, const cTexts& texts, bool on) {
  canvas.Fill(left, top, left + 256, top + 39, on ? 0xE6F4EA : 0xF1F1F1);
  canvas.Frame(left, top, left + 256, top + 39, on ? kGreen : kGrey);
  text.Label(canvas, on ? texts.collecting : texts.stopped, 13, on ? kGreen : 0x808080,
             cBox{left + 2, top + 2, left + 254, top + 37}, top + 25, eAlign::Centre);
}

void Button(cSkinText& text, cCanvas& canvas, int left, int top, const char* label, bool on) {
  canvas.Fill(left, top, left + 88, top + 24, on ? kBlue : 0xDDDDDD);
  text.Label(canvas, label, 12, on ? 0xFFFFFF : 0x999999,
             cBox{left + 2, top + 1, left + 86, top + 23}, top + 17, eAlign::Centre);
}

cCanvas Page(cSkinText& text, int page, const cTexts& texts) {
  cCanvas canvas(500, 256, 0xFFFFFF);
  // Tabs: window y 87-125 is 1-39 here. The first tab's label keeps clear of the system-log
  // switch at x 122.
  const cBox tabs[3] = {{21, 1, 174, 39}, {175, 1, 327, 39}, {328, 1, 479, 39}};
  const cBox labels[3] = {{23, 1, 118, 36}, {177, 1, 325, 36}, {330, 1, 477, 36}};
  for (int tab = 0; tab < 3; tab++) {
    bool active = tab == page;
    canvas.Fill(tabs[tab].left, 1, tabs[tab].right, 39, active ? 0xFFFFFF : 0xEDEDED);
    canvas.Fill(tabs[tab].left, 36, tabs[tab].right, 39, active ? kBlue : 0xD0D0D0);
    text.Label(canvas, texts.tabs[tab], 13, active ? kBlue : 0x777777, labels[tab], 25,
               eAlign::Centre);
  }
  Switch(canvas, 122, 11, true);
  if (page == 0) {
    Banner(text, canvas, 126, 65, texts, true);
    Indicator(text, canvas, 95, 147, texts.sysmon, false);
    Indicator(text, canvas, 268, 148, texts.webLog, false);
    // A line between the indicators and the texts, clear of both.
    canvas.Fill(20, 168, 480, 169, 0xE0E0E0);
    text.Label(canvas, texts.address, 11, kAccent,
               cBox{kAddressLeft, 171, kTimesLeft - 4, kFirstRowTop - 1}, 185);
    canvas.Fill(kAddressLeft, kFirstRowTop, kAddressRight + 1, kFirstRowTop + kRowHeight, kPale);
    canvas.Fill(kAddressLeft, kSecondRowTop, kAddressRight + 1, kSecondRowTop + kRowHeight, kPale);
    // The labels of S3 and S4 stand right before them, after the address column.
    const cBox uploaded{kAddressRight + 8, kFirstRowTop, kTimesLeft - 6, kFirstRowTop + kRowHeight};
    const cBox started{kAddressRight + 8, kSecondRowTop, kTimesLeft - 6,
                       kSecondRowTop + kRowHeight};
    text.Label(canvas, texts.uploaded, 11, kDark, uploaded, kFirstRowTop + 14, eAlign::Right);
    text.Label(canvas, texts.started, 11, kDark, started, kSecondRowTop + 14, eAlign::Right);
  } else if (page == 1) {
    Box(canvas, 51, 61, false);
    text.Label(canvas, texts.collectWeb, 13, kDark, cBox{73, 57, 480, 80}, 73);
    Button(text, canvas, 51, 145, texts.update, false);
    canvas.Fill(51, 192, 139, 216, 0xFFFFFF);
    canvas.Frame(51, 192, 139, 216, kRemove);
    text.Label(canvas, texts.remove, 12, kRemove, cBox{53, 193, 137, 215}, 209, eAlign::Centre);
  } else {
    text.Label(canvas, texts.installFolder, 13, kDark, cBox{51, 62, 385, 88}, 80);
    canvas.Frame(391, 63, 449, 87, kAccent);
    text.Label(canvas, texts.open, 12, kAccent, cBox{393, 64, 447, 86}, 80, eAlign::Centre);
    Box(canvas, 51, 131, true);
    text.Label(canvas, texts.autoUpdate, 13, kDark, cBox{73, 127, 480, 150}, 143);
  }
  return canvas;
}

// A white cross filling the square at (left, top).
void Cross(cCanvas& canvas, int left, int top, int size) {
  for (int k = 0; k < size; k++) {
    canvas.Fill(left + k, top + k, left + k + 2, top + k + 2, 0xFFFFFF);
    canvas.Fill(left + size - 1 - k, top + k, left + size + 1 - k, top + k + 2, 0xFFFFFF);
  }
}

cCanvas Login(cSkinText& text, const cTexts& texts) {
  cCanvas canvas(400, 310, 0xFFFFFF);
  canvas.Fill(0, 0, 400, 100, kBlue);
  text.Label(canvas, "VARLO", 28, 0xFFFFFF, cBox{30, 10, 340, 62}, 55);
  text.Label(canvas, texts.loginTitle, 14, 0xE0E8F4, cBox{30, 63, 350, 98}, 82);
  Cross(canvas, 356, 25, 19);  // the close button (356,25)-(375,44)
  text.Label(canvas, texts.loginPrompt, 12, kDark, cBox{76, 101, 324, 124}, 118);
  canvas.Frame(76, 124, 324, 155, kAccent);
  canvas.Fill(74, 164, 326, 204, kBlue);
  text.Label(canvas, texts.loginButton, 15, 0xFFFFFF, cBox{76, 166, 324, 202}, 190, eAlign::Centre);
  text.Label(canvas, texts.website, 12, kAccent, cBox{76, 238, 324, 255}, 252, eAlign::Centre);
  canvas.Fill(76, 255, 324, 256, kAccent);
  return canvas;
}

cCanvas Icon(cSkinText& text, uint32_t colour, bool cross) {
  cCanvas canvas(32, 32, 0x202020);
  for (int y = 3; y < 29; y++) {
    int half = y < 16 ? 12 : 12 - (y - 16);
    canvas.Fill(16 - half, y, 16 + half, y + 1, colour);
  }
  text.Label(canvas, "V", 16, 0xFFFFFF, cBox{0, 0, 32, 32}, 22, eAlign::Centre);
  if (cross) canvas.Fill(6, 15, 26, 18, 0xFFFFFF);
  return canvas;
}

cCanvas Header(cSkinText& text) {
  cCanvas header(500, 86, kBlue);
  text.Label(header, "VARLO", 30, 0xFFFFFF, cBox{24, 10, 300, 62}, 50);
  header.Frame(347, 21, 402, 39, 0xFFFFFF);  // the sign-out button
  text.Label(header, "Sign out", 10, 0xFFFFFF, cBox{348, 22, 401, 38}, 34, eAlign::Centre);
  Cross(header, 461, 20, 19);  // the close button (461,20)-(480,39)
  return header;
}

}  // namespace

std::vector<cSkinImage> DrawSkin(cSkinText& text) {
  std::vector<cSkinImage> images;
  auto add = [&images](int id, uint16_t language, int kind, cCanvas canvas) {
    images.push_back(cSkinImage{id, language, kind, std::move(canvas)});
  };
  text.SetImage("header");
  add(134, kSkinNeutral, 0, Header(text));
  cCanvas switchOff(32, 18, 0xFFFFFF);
  Switch(switchOff, 0, 0, false);
  add(141, kSkinNeutral, 0, switchOff);
  cCanvas boxChecked(14, 14, 0xFFFFFF);
  Box(boxChecked, 0, 0, true);
  add(142, kSkinNeutral, 0, boxChecked);
  cCanvas boxEmpty(14, 14, 0xFFFFFF);
  Box(boxEmpty, 0, 0, false);
  add(143, kSkinNeutral, 0, boxEmpty);
  text.SetImage("icons");
  add(130, kSkinNeutral, 1, Icon(text, kGreen, false));
  add(149, kSkinNeutral, 1, Icon(text, 0xE0A020, true));
  add(150, kSkinNeutral, 1, Icon(text, 0x909090, true));
  for (const cTexts& texts : kTexts) {
    const std::string name = texts.name;
    for (int page = 0; page < 3; page++) {
      text.SetImage(name + " page " + std::to_string(page));
      add(137 + page, texts.language, 0, Page(text, page, texts));
    }
    text.SetImage(name + " footer");
    cCanvas footer(500, 58, 0xF5F5F5);
    // The version line S5 lies over the footer from y 32.
    text.Label(footer, texts.footer, 11, 0x999999, cBox{10, 6, 490, 32}, 24, eAlign::Centre);
    add(136, texts.language, 0, footer);
    text.SetImage(name + " sprites");
    cCanvas banner(256, 39, 0xFFFFFF);
    Banner(text, banner, 0, 0, texts, false);
    add(146, texts.language, 0, banner);
    cCanvas sysmon(85, 12, 0xFFFFFF);
    Indicator(text, sysmon, 0, 0, texts.sysmon, true);
    add(147, texts.language, 0, sysmon);
    cCanvas webLog(85, 12, 0xFFFFFF);
    Indicator(text, webLog, 0, 0, texts.webLog, true);
    add(148, texts.language, 0, webLog);
    cCanvas update(88, 24, 0xFFFFFF);
    Button(text, update, 0, 0, texts.update, true);
    add(140, texts.language, 0, update);
    text.SetImage(name + " login");
    add(144, texts.language, 0, Login(text, texts));
  }
  return images;
}
