#include "Varlo/TrayResources.h"

#include "Varlo/TrayMessages.h"
#include "Varlo/ui/UiTypes.h"

// The skin archive, placed in the program by SkinArchive.S.
extern "C" const unsigned char varlo_skin_archive[];
extern "C" const unsigned char varlo_skin_archive_end[];

namespace {

const cUiDialogTemplate kDialogs[] = {
    {IDD_MAIN, "VarloWnd", 151, 121, WS_POPUP | DS_CENTER, 0, 8},
    {IDD_LOGIN, nullptr, 91, 91, WS_POPUP | DS_CENTER, WS_EX_APPWINDOW, 10},
};

const cUiString kEnglish[] = {
    {IDS_TITLE, "VARLO"},
    {IDS_LOGIN_FAILED_CAPTION, "Notice [Config]"},
    {IDS_LOGIN_FAILED, "Please enter the license key correctly."},
    {IDS_NO_SERVICE, "Service is not registered."},
    {IDS_SIGN_OUT, "Would you like to sign out?"},
    {IDS_SIGN_OUT_CAPTION, "Notice [VARLO]"},
    {IDS_MODULE_REMOVED_CAPTION, "Notice [Config]"},
    {IDS_MODULE_REMOVED, "ModVarlo was deleted."},
};

const cUiString kJapanese[] = {
    {IDS_TITLE, "VARLO"},
    {IDS_LOGIN_FAILED_CAPTION, "通知 [設定]"},
    {IDS_LOGIN_FAILED, "ライセンスキーを正しく入力してください。"},
    {IDS_NO_SERVICE, "サービスが登録されていません。"},
    {IDS_SIGN_OUT, "サインアウトしますか?"},
    {IDS_SIGN_OUT_CAPTION, "通知 [VARLO]"},
    {IDS_MODULE_REMOVED_CAPTION, "通知 [設定]"},
    {IDS_MODULE_REMOVED, "ModVarloを削除しました。"},
};

const cUiString kKorean[] = {
    {IDS_TITLE, "VARLO"},
    {IDS_LOGIN_FAILED_CAPTION, "알림 [설정]"},
    {IDS_LOGIN_FAILED, "라이선스 키를 올바르게 입력하세요."},
    {IDS_NO_SERVICE, "서비스가 등록되지 않았습니다."},
    {IDS_SIGN_OUT, "로그아웃하시겠습니까?"},
    {IDS_SIGN_OUT_CAPTION, "알림 [VARLO]"},
    {IDS_MODULE_REMOVED_CAPTION, "알림 [설정]"},
    {IDS_MODULE_REMOVED, "ModVarlo가 삭제되었습니다."},
};

template <size_t N>
constexpr cUiStringTable Table(LANGID language, const cUiString (&strings)[N]) {
  return cUiStringTable{language, strings, N};
}

const cUiStringTable kStringTables[] = {Table(LANG_ENGLISH_US, kEnglish), Table(LANG_JAPANESE_JP, kJapanese),
                                        Table(LANG_KOREAN_KR, kKorean)};

}  // namespace

HINSTANCE TrayInstance() {
  static const cUiModule module{kDialogs,
                                sizeof kDialogs / sizeof kDialogs[0],
                                kStringTables,
                                sizeof kStringTables / sizeof kStringTables[0],
                                varlo_skin_archive,
                                static_cast<size_t>(varlo_skin_archive_end - varlo_skin_archive)};
  return UiModuleHandle(module);
}
