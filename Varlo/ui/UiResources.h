#pragma once
// A program's resources: dialog templates, one string table per user-interface language and an
// archive of 24-bit images (bitmaps and icons), some in a language-neutral version and some per
// language. The program describes them in a cUiModule; its handle is the program's HINSTANCE.
#include <cstddef>

#include "Varlo/ui/UiTypes.h"

typedef WORD LANGID;
constexpr LANGID LANG_NEUTRAL_ID = 0x0000;
constexpr LANGID LANG_ENGLISH_US = 0x0409;
constexpr LANGID LANG_JAPANESE_JP = 0x0411;
constexpr LANGID LANG_KOREAN_KR = 0x0412;

struct cUiDialogTemplate {
  WORD id;
  const char* className;  // null: the dialog class "#32770"
  int widthUnits;         // dialog units
  int heightUnits;
  DWORD style;
  DWORD exStyle;
  int fontPoints;
};

struct cUiString {
  WORD id;
  const char* text;  // UTF-8, the ANSI code page of this platform
};

struct cUiStringTable {
  LANGID language;
  const cUiString* strings;
  size_t count;
};

// Image archive records, one after another: id (2 bytes), language (2), kind (1: 0 bitmap,
// 1 icon), width (2), height (2), then width * height pixels of 3 bytes (blue, green, red), rows
// from the top; all numbers little-endian.
struct cUiModule {
  const cUiDialogTemplate* dialogs;
  size_t dialogCount;
  const cUiStringTable* stringTables;
  size_t stringTableCount;
  const unsigned char* images;
  size_t imageBytes;
};

HINSTANCE UiModuleHandle(const cUiModule& module);
const cUiModule* UiModuleOf(HINSTANCE instance);
const cUiDialogTemplate* UiFindDialogTemplate(HINSTANCE instance, WORD id);

// The language chosen by VARLO_UI_LANGUAGE, else by LANG ("ja...", "ko..."), else English.
LANGID GetUserDefaultUILanguage();

// Copies the string of the user-interface language (English when that table lacks it), cut to
// size - 1 bytes at a character boundary and NUL-terminated; its length, 0 when missing.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
