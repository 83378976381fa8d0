// Draws the tray program as a user sees it, in English, Japanese and Korean, into PNG files for
// a person to look at: the main window's three pages, the login dialog and the message boxes.
// Usage: tray-screenshots <output folder> (scripts/screenshots runs it).
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "Varlo/TrayMessages.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/WaitUntil.h"
#include "tests/tray/TrayFixture.h"
#include "tests/tray/Xvfb.h"

namespace {

// PNG chunks carry their length, type, data and the CRC of type and data.
void Chunk(std::string& png, const char* type, const std::string& data) {
  uint32_t length = static_cast<uint32_t>(data.size());
  for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((length >> shift) & 0xFF);
  std::string typed = std::string(type, 4) + data;
  png += typed;
  uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size())));
  for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((crc >> shift) & 0xFF);
}

bool WritePng(const std::string& path, const std::vector<uint32_t>& pixels, int width, int height) {
  if (pixels.size() != static_cast<size_t>(width) * height) return false;
  std::string rows;
  for (int y = 0; y < height; y++) {
    rows += '\0';  // no filter
    for (int x = 0; x < width; x++) {
      uint32_t pixel = pixels[static_cast<size_t>(y) * width + x];
      rows += static_cast<char>((pixel >> 16) & 0xFF);
      rows += static_cast<char>((pixel >> 8) & 0xFF);
      rows += static_cast<char>(pixel & 0xFF);
    }
  }
  std::string packed(compressBound(static_cast<uLong>(rows.size())), '\0');
  uLongf packedSize = static_cast<uLongf>(packed.size());
  if (compress(reinterpret_cast<Bytef*>(&packed[0]), &packedSize,
               reinterpret_cast<const Bytef*>(rows.data()),
               static_cast<uLong>(rows.size())) != Z_OK) {
    return false;
  }
  packed.resize(packedSize);
  std::string header;
  for (uint32_t value : {static_cast<uint32_t>(width), static_cast<uint32_t>(height)}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      header += static_cast<char>((value >> shift) & 0xFF);
  }
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
  std::string png = "\x89PNG\r\n\x1a\n";
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", packed);
  Chunk(png, "IEND", "");
  FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file && std::fwrite(png.data(), 1, png.size(), file) == png.size();
  if (file) written = std::fclose(file) == 0 && written;
  return written;
}

cBytes TimeMessage(uint8_t code, int64_t time) {
  cBytes message{code};
  for (int index = 0; index < 8; index++)
    message.push_back(static_cast<uint8_t>(time >> (8 * index)));
  return message;
}

class cSession {
 public:
  cSession(const std::string& folder, const std::string& language)
      : m_Prefix(folder + "/" + language + "-") {}

  bool Fail(const std::string& what) {
    std::fprintf(stderr, "tray-screenshots: %s%s\n", m_Prefix.c_str(), what.c_str());
    return false;
  }
  bool Wait(const std::string& what, const std::function<bool()>& condition) {
    return WaitUntil(kLongWaitMs, condition) || Fail(what);
  }
  // Saves the window once it has been drawn: its capture shows content, where a window that only
  // exists shows blank.
  bool Save(const std::string& name, const cXvfb::cWindow& window, int width, int height) {
    std::vector<uint32_t> capture;
    const bool drawn = WaitUntil(kLongWaitMs, [&] {
      capture = m_Display.Screenshot(window.left, window.top, width, height);
      return cXvfb::ShowsContent(capture, width, height);
    });
    if (!drawn) return Fail(name + ".png: blank, the window was not drawn in time");
    return WritePng(m_Prefix + name + ".png", capture, width, height) ||
           Fail(name + ".png: cannot write");
  }
  bool Shown(const std::string& className, const std::string& title, cXvfb::cWindow& window) {
    return Wait(className + " " + title + " shown",
                [&] { return (window = m_Display.Shown(className, title)).id != 0; });
  }
  bool Pixel(int x, int y, uint32_t colour) {
    return Wait("pixel", [&] { return m_Display.Pixel(x, y) == colour; });
  }
  bool OpenAsTheUser() {
    cTrayProgram user("");
    return user.ExitCode() == 0 || Fail("the user's start failed");
  }
  bool Received(const cBytes& message) {
    return m_Service.Next() == message || Fail("a message of the tray");
  }

  bool Run() {
    if (!m_Display.Running()) return Fail("no Xvfb");
    cTrayProgram tray("admin");
    if (!Received({MSG_UI_USER, 1, 0})) return false;
    cXvfb::cWindow box;
    // Before the service has told anything.
    if (!OpenAsTheUser() || !Shown("#32770", "VARLO", box) ||
        !Save("no-service-box", box, 360, 150) || !m_Display.Key(box, "Return")) {
      return false;
    }
    int64_t now = std::time(nullptr);
    SendToTray(0, TimeMessage(MSG_SVC_START, now - 3600));
    SendToTray(0, StatusMessage(2, "192.168.10.25"));
    SendToTray(0, TimeMessage(MSG_SVC_UPLOADTIME, now));
    cXvfb::cWindow main;
    if (!Pixel(cXvfb::kIconLeft + 8, cXvfb::kIconTop + 8, cXvfb::kSignedInGreen) ||
        !OpenAsTheUser() || !Shown("VarloWnd", "VARLO", main) || !Received({MSG_UI_PAGE, 1, 0})) {
      return false;
    }
    // Each page once its tab shows active (white).
    const int tabs[3] = {100, 250, 400};
    for (int page = 0; page < 3; page++) {
      if (page) m_Display.Click(main.left + tabs[page], main.top + 100);
      if (!Pixel(main.left + tabs[page], main.top + 92, 0xFFFFFF) ||
          !Save("page" + std::to_string(page), main, 500, 400))
        return false;
    }
    // The sign-out question; confirmed, it brings up the login dialog.
    m_Display.Click(main.left + 370, main.top + 30);
    if (!Shown("#32770", "", box)) return false;
    if (!Save("sign-out-box", box, 360, 150) || !m_Display.Key(box, "Return")) return false;
    cXvfb::cWindow login;
    if (!Shown("#32770", "VARLO Login", login) ||
        !Pixel(login.left + 10, login.top + 10, cXvfb::kHeaderBlue) ||
        !Save("login", login, 400, 310)) {
      return false;
    }
    // A refused sign-in.
    SendToTray(0, StatusMessage(1, ""));
    if (!Wait("the refusal",
              [&] { return (box = m_Display.Shown("#32770")).id && box.id != login.id; }) ||
        !Save("sign-in-failed-box", box, 360, 150)) {
      return false;
    }
    SendToTray(0, {MSG_SVC_EXIT, 0});
    return tray.ExitCode() == 0 || Fail("the tray did not end");
  }

 private:
  std::string m_Prefix;
  cTempMachineRoot m_Root;
  cXvfb m_Display;
  cFakeServiceSlot m_Service;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tray-screenshots <output folder>\n");
    return 2;
  }
  for (const char* language : {"en", "ja", "ko"}) {
    setenv("VARLO_UI_LANGUAGE", language, 1);
    cSession session(argv[1], language);
    if (!session.Run()) return 1;
    std::printf("%s/%s-*.png\n", argv[1], language);
  }
  return 0;
}
