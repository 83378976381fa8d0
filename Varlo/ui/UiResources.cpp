#include "Varlo/ui/UiResources.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

LANGID LanguageOf(const char* setting) {
  if (!setting) return 0;
  std::string text = setting;
  if (text.rfind("ja", 0) == 0) return LANG_JAPANESE_JP;
  if (text.rfind("ko", 0) == 0) return LANG_KOREAN_KR;
  if (text.rfind("en", 0) == 0) return LANG_ENGLISH_US;
  return 0;
}

const char* FindString(const cUiModule& module, LANGID language, UINT id) {
  for (size_t table = 0; table < module.stringTableCount; table++) {
    const cUiStringTable& strings = module.stringTables[table];
    if (strings.language != language) continue;
    for (size_t index = 0; index < strings.count; index++) {
      if (strings.strings[index].id == id) return strings.strings[index].text;
    }
  }
  return nullptr;
}

}  // namespace

HINSTANCE UiModuleHandle(const cUiModule& module) {
  return reinterpret_cast<HINSTANCE>(const_cast<cUiModule*>(&module));
}

const cUiModule* UiModuleOf(HINSTANCE instance) { return reinterpret_cast<const cUiModule*>(instance); }

const cUiDialogTemplate* UiFindDialogTemplate(HINSTANCE instance, WORD id) {
  const cUiModule* module = UiModuleOf(instance);
  if (!module) return nullptr;
  for (size_t index = 0; index < module->dialogCount; index++) {
    if (module->dialogs[index].id == id) return &module->dialogs[index];
  }
  return nullptr;
}

LANGID GetUserDefaultUILanguage() {
  if (LANGID chosen = LanguageOf(std::getenv("VARLO_UI_LANGUAGE"))) return chosen;
  if (LANGID chosen = LanguageOf(std::getenv("LANG"))) return chosen;
  return LANG_ENGLISH_US;
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
  const cUiModule* module = UiModuleOf(instance);
  if (!module || !buffer || size <= 0) return 0;
  const char* text = FindString(*module, GetUserDefaultUILanguage(), id);
  if (!text) text = FindString(*module, LANG_ENGLISH_US, id);
  if (!text) {
    buffer[0] = '\0';
    return 0;
  }
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(size - 1)) {
    length = static_cast<size_t>(size - 1);
    // Cut before a partial UTF-8 character.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) length--;
  }
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}
