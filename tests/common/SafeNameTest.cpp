#include <gtest/gtest.h>

#include <string>

#include "common/SafeName.h"

TEST(SafeName, AcceptsNamesThatStayInsideTheirFolder) {
  for (const char* name : {"audit", "audit-custom.ps1", "bin\\VarloMod.dll", "x64/a.b", "..name", "a\\.\\b", ".config"})
    EXPECT_TRUE(IsSafeRelativeName(name)) << name;
}

TEST(SafeName, RefusesAbsoluteNamesAndClimbingOut) {
  for (const char* name : {"", "..", "..\\x", "../x", "a\\..\\..\\x", "a/..", "\\x", "/etc/hosts", "C:\\x", "C:x",
                           "\\\\server\\share\\x", "file.txt:stream"})
    EXPECT_FALSE(IsSafeRelativeName(name)) << name;
}

TEST(SafeName, RefusesCharactersWindowsForbidsInFileNames) {
  for (const std::string& name : {std::string("b.dll\0x", 7), std::string("\0", 1), std::string("a\nb"),
                                 std::string("tab\tname"), std::string("\x1f"), std::string("x\r"),
                                 std::string("Found</html>"), std::string("a>b"), std::string("\"quoted\""),
                                 std::string("a|b"), std::string("what?"), std::string("32/*.dll")})
    EXPECT_FALSE(IsSafeRelativeName(name)) << name;
  EXPECT_TRUE(IsSafeRelativeName("space name~\x7f\xc3\xa9 #%&'()+,;=@[]^`{}!$"));
}

// Windows opens the device, or the name without its trailing dots and blanks, in place of the
// file named, wherever such a component stands.
TEST(SafeName, RefusesDeviceNamesAndNamesWindowsShortens) {
  for (const char* name : {"CON", "con", "Prn.txt", "aux.tar.gz", "NUL", "nul .txt", "COM1", "com9.log", "LPT1",
                           "lpt5.dll", "COM\xc2\xb9", "lpt\xc2\xb3.txt", "COM0", "com0.log", "LPT0", "lPt0.dll",
                           "CONIN$", "conin$.txt", "CONOUT$", "ConOut$ .log", "32\\conin$", "a/LPT0/b.dll", "32\\NUL",
                           "a/con/b.dll", "name.", "name..", "name ", "x\\dir.\\b.dll", "dir \\b", "a/.../b"})
    EXPECT_FALSE(IsSafeRelativeName(name)) << name;
  for (const char* name : {"CONFIG.txt", "console", "com10", "lpt00", "lpt", "com", "LPT\xc2\xb4", "nul_",
                           "conin", "conout", "conin$x", "con$", "auxiliary.dll", "a.b",
                           "x/con1/nula.txt", "name .txt", " lead"})
    EXPECT_TRUE(IsSafeRelativeName(name)) << name;
}
