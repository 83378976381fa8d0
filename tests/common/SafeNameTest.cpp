#include <gtest/gtest.h>

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
