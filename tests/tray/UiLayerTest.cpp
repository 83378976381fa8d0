// The window layer's own rules that the tray program relies on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Varlo/TrayMessages.h"
#include "Varlo/TrayResources.h"
#include "Varlo/ui/UiResources.h"
#include "Varlo/ui/UiWindows.h"
#include "platform/Files.h"
#include "tests/tray/TrayFixture.h"

namespace {

// Sets the language choice for its life and puts the environment back afterwards.
class cLanguage {
 public:
  cLanguage(const char* choice, const char* lang) : m_Lang(std::getenv("LANG")), m_HadLang(m_Lang != nullptr) {
    if (m_HadLang) m_Saved = m_Lang;
    setenv("VARLO_UI_LANGUAGE", choice, 1);
    if (lang) setenv("LANG", lang, 1);
  }
  ~cLanguage() {
    unsetenv("VARLO_UI_LANGUAGE");
    m_HadLang ? setenv("LANG", m_Saved.c_str(), 1) : unsetenv("LANG");
  }

 private:
  const char* m_Lang;
  bool m_HadLang;
  std::string m_Saved;
};

std::string String(UINT id, int size) {
  std::vector<char> buffer(size);
  LoadStringA(TrayInstance(), id, buffer.data(), size);
  return buffer.data();
}

struct cTicks {
  int count = 0;
  static INT_PTR Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
      SetTimer(dialog, 7, 20, nullptr);
      return 1;
    }
    auto* ticks = reinterpret_cast<cTicks*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
    if (message == WM_TIMER && wParam == 7 && ++ticks->count == 3) {
      KillTimer(dialog, 7);
      EndDialog(dialog, 42);
    }
    return message == WM_TIMER;
  }
};

}  // namespace

TEST(UiLayerTest, StringsFollowTheLanguageAndAreCutAtCharacters) {
  {
    cLanguage english("en", "ja_JP.UTF-8");
    EXPECT_EQ(String(IDS_NO_SERVICE, 100), "Service is not registered.");
    EXPECT_EQ(String(IDS_NO_SERVICE, 8), "Service");
  }
  {
    cLanguage japanese("ja", nullptr);
    EXPECT_EQ(String(IDS_LOGIN_FAILED_CAPTION, 100), "通知 [設定]");
    EXPECT_EQ(String(IDS_LOGIN_FAILED_CAPTION, 6), "通");  // a second character would not fit whole
  }
  cLanguage korean("", "ko_KR.UTF-8");
  EXPECT_EQ(String(IDS_SIGN_OUT, 100), "로그아웃하시겠습니까?");
}

TEST(UiLayerTest, ModalDialogRunsItsTimersUntilItEnds) {
  cTempMachineRoot root;
  cTicks ticks;
  EXPECT_EQ(DialogBoxParamA(TrayInstance(), MAKEINTRESOURCEA(IDD_LOGIN), nullptr, &cTicks::Proc,
                            reinterpret_cast<LPARAM>(&ticks)),
            42);
  EXPECT_EQ(ticks.count, 3);
  EXPECT_EQ(DialogBoxParamA(TrayInstance(), MAKEINTRESOURCEA(999), nullptr, &cTicks::Proc, 0), -1);
}

TEST(UiLayerTest, AWindowLeftByAnEndedProcessDoesNotCount) {
  cTempMachineRoot root;
  std::string folder = platform::StateFolder() + "/ui/1";
  ASSERT_TRUE(platform::CreateFolders(folder));
  // Tray programs that crashed left their entries in the console session: one whose process is
  // gone (no process 0x3FFFFF runs), and one whose parent has not reaped it yet.
  pid_t unreaped = fork();
  if (unreaped == 0) _exit(0);
  siginfo_t ended{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(unreaped), &ended, WEXITED | WNOWAIT), 0);
  for (uint32_t process : {0x3FFFFFu, static_cast<uint32_t>(unreaped)}) {
    uintptr_t handle = (static_cast<uintptr_t>(process) << 20) | 1;
    std::string entry = folder + "/" + std::to_string(handle);
    ASSERT_TRUE(platform::WriteFileAtomically(entry, "VarloWnd\nVARLO\n"));
    EXPECT_EQ(FindWindowA("VarloWnd", "VARLO"), nullptr) << process;
    EXPECT_FALSE(platform::FileExists(entry));
  }
  waitpid(unreaped, nullptr, 0);
}
