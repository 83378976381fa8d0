#include <gtest/gtest.h>

#include <string>

#include "common/SafeName.h"

TEST(SafeName, AcceptsNamesThatStayInsideTheirFolder) {
  for (const char* name : {"audit", "audit-custom.ps1", "bin\\VarloMod.dll", "x64/a.b", "..name", "name..", "a\\.\\b"})
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
