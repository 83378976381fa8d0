#include "platform/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/Environment.h"
#include "tests/support/TempMachineRoot.h"

namespace {

void MakeFolder(const std::string& hostPath) { ASSERT_EQ(0, mkdir(hostPath.c_str(), 0755)) << hostPath; }

std::string HostBytes(const std::string& hostPath) {
  std::string bytes;
  EXPECT_TRUE(platform::ReadWholeFile(hostPath, bytes));
  return bytes;
}

}  // namespace

TEST(MapPath, WindowsPathsLandUnderTheRootMatchingExistingNamesWithoutCase) {
  cTempMachineRoot root;
  const std::string r = root.Path();
  MakeFolder(r + "/C");
  MakeFolder(r + "/C/Windows");
  MakeFolder(r + "/C/Windows/System32");
  MakeFolder(r + "/C/Program Files");
  struct cCase {
    const char* windows;
    std::string host;
  } cases[] = {
      {"C:\\Windows\\System32", r + "/C/Windows/System32"},
      {"c:\\WINDOWS\\system32\\drivers\\etc\\hosts", r + "/C/Windows/System32/drivers/etc/hosts"},
      {"c:\\windows\\system32", r + "/C/Windows/System32"},
      {"C:\\WINDOWS\\System32\\", r + "/C/Windows/System32/"},
      {"C:/program files/VARLO/logs/event.log", r + "/C/Program Files/VARLO/logs/event.log"},
      {"C:\\Program Files\\\\VARLO\\.\\temp", r + "/C/Program Files/VARLO/temp"},
      {"C:\\..\\..\\etc\\passwd", r + "/C/etc/passwd"},  // never above the drive
      {"\\ModVarlo\\logs", r + "/C/ModVarlo/logs"},
      {"d:\\data", r + "/D/data"},
      {"/tmp/host/file", "/tmp/host/file"},
      {"logs\\event.log", "logs/event.log"},
      {"%NoSuchVariable%\\x", "%NoSuchVariable%/x"},
  };
  for (const auto& entry : cases) EXPECT_EQ(entry.host, platform::MapPath(entry.windows)) << entry.windows;
}

// Only the command interpreter expands references; a file name that holds one is just a name.
TEST(MapPath, ExpandsNoEnvironmentReferenceWhereExpandEnvironmentDoes) {
  cTempMachineRoot root;
  ASSERT_TRUE(SetEnvironmentVariableA("VARLO_TEMP", "C:\\Program Files\\VARLO\\temp"));
  ASSERT_TRUE(SetEnvironmentVariableA("VARLO_HOST", "/etc"));
  EXPECT_EQ(root.Path() + "/C/x/%varlo_temp%/a.ps1", platform::MapPath("C:\\x\\%varlo_temp%\\a.ps1"));
  EXPECT_EQ(root.Path() + "/C/%VARLO_HOST%/passwd", platform::MapPath("C:\\%VARLO_HOST%\\passwd"));
  EXPECT_EQ("%windir%/system32", platform::MapPath("%windir%\\system32"));
  EXPECT_EQ("C:\\Program Files\\VARLO\\temp\\a.ps1", platform::ExpandEnvironment("%varlo_temp%\\a.ps1"));
  EXPECT_EQ("C:\\Windows\\system32", platform::ExpandEnvironment("%windir%\\system32"));
  EXPECT_EQ("100%", platform::ExpandEnvironment("100%"));
  EXPECT_EQ("a%%b", platform::ExpandEnvironment("a%%b"));
  SetEnvironmentVariableA("VARLO_TEMP", nullptr);
  SetEnvironmentVariableA("VARLO_HOST", nullptr);
}

TEST(Files, TextModeTranslatesLineEndsBothWaysAndBinaryModeDoesNot) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Data"));
  FILE* text = platform::OpenFile("C:\\Data\\t.txt", "w");
  ASSERT_NE(nullptr, text);
  std::fputs("one\ntwo\r\n\n", text);
  std::fclose(text);
  EXPECT_EQ("one\r\ntwo\r\r\n\r\n", HostBytes(root.Path() + "/C/Data/t.txt"));

  // A CR LF split across the reader's buffers still reads as one LF.
  std::string stored(8191, 'x');
  stored += "\r\nend\rlone\r\n";
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Data\\r.txt", stored));
  platform::cInputFile input("c:\\data\\R.TXT");
  ASSERT_TRUE(input.is_open());
  std::string read((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string(8191, 'x') + "\nend\rlone\n", read);

  FILE* binary = platform::OpenFile("C:\\Data\\r.txt", "rb");
  ASSERT_NE(nullptr, binary);
  char buffer[9000];
  EXPECT_EQ(stored.size(), std::fread(buffer, 1, sizeof buffer, binary));
  std::fclose(binary);

  {
    platform::cOutputFile out("C:\\Data\\s.txt", std::ios::out | std::ios::app);
    out << "a\nb" << std::endl;
  }
  {
    platform::cOutputFile out("C:\\Data\\s.txt", std::ios::app | std::ios::binary);
    out << "c\n";
  }
  EXPECT_EQ("a\r\nb\r\nc\n", HostBytes(root.Path() + "/C/Data/s.txt"));

  platform::cFileStream both("C:\\Data\\s.txt", std::ios::in | std::ios::out | std::ios::binary);
  char first[3];
  ASSERT_TRUE(both.read(first, 3));
  both.write("B", 1);  // lands right after what was read, not after the read-ahead
  both.close();
  EXPECT_EQ("a\r\nB\r\nc\n", HostBytes(root.Path() + "/C/Data/s.txt"));
}

TEST(Files, StreamsFailAsStandardStreamsDo) {
  cTempMachineRoot root;
  platform::cInputFile missing("C:\\nothing\\here.json");
  EXPECT_FALSE(missing.is_open());
  EXPECT_TRUE(missing.fail());

  platform::cOutputFile throwing;
  throwing.exceptions(std::ios::failbit | std::ios::badbit);
  EXPECT_THROW(throwing.open("C:\\nothing\\out.txt", std::ios::out), std::ios::failure);

  EXPECT_EQ(nullptr, platform::OpenFile("C:\\nothing\\here.json", "r"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  ASSERT_TRUE(platform::CreateFolders("C:\\nothing"));
  EXPECT_EQ(nullptr, platform::OpenFile("C:\\nothing\\here.json", "r"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(nullptr, platform::OpenFile("C:\\nothing\\here.json", "q"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(Files, OnlyFilesAreOpenedAndAPipeIsRefusedWithoutWaitingForAWriter) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Windows"));
  ASSERT_EQ(0, mkfifo((root.Path() + "/C/pipe").c_str(), 0600));
  for (const char* path : {"C:\\Windows", "C:\\pipe", "/dev/null"}) {
    for (const char* mode : {"rb", "r", "w", "a+"}) {
      SetLastError(0);
      EXPECT_EQ(nullptr, platform::OpenFile(path, mode)) << path << " " << mode;
      EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << path << " " << mode;
    }
    std::string bytes;
    EXPECT_FALSE(platform::ReadWholeFile(path, bytes)) << path;
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << path;
    EXPECT_FALSE(platform::cInputFile(path, std::ios::binary).is_open()) << path;
  }
}

TEST(Files, FolderAndFileOperations) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Program Files\\VARLO\\logs"));
  EXPECT_TRUE(platform::CreateFolders("c:\\program files\\varlo\\LOGS"));  // already there
  EXPECT_TRUE(platform::FolderExists("C:\\PROGRAM FILES\\varlo"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Program Files\\VARLO\\a.txt", "12345"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Program Files\\VARLO\\b.txt", "old"));
  EXPECT_EQ(5, platform::FileSize("C:\\Program Files\\VARLO\\A.TXT"));
  EXPECT_FALSE(platform::FolderExists("C:\\Program Files\\VARLO\\a.txt"));

  ASSERT_TRUE(platform::MoveReplacing("C:\\Program Files\\VARLO\\a.txt", "C:\\Program Files\\VARLO\\B.txt"));
  std::string moved;
  ASSERT_TRUE(platform::ReadWholeFile("C:\\Program Files\\VARLO\\b.txt", moved));
  EXPECT_EQ("12345", moved);
  EXPECT_FALSE(platform::FileExists("C:\\Program Files\\VARLO\\a.txt"));
  EXPECT_EQ(-1, platform::FileSize("C:\\Program Files\\VARLO\\a.txt"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());

  std::vector<std::string> names;
  ASSERT_TRUE(platform::ListFolder("C:\\Program Files\\VARLO", names));
  EXPECT_EQ((std::vector<std::string>{"b.txt", "logs"}), names);

  EXPECT_FALSE(platform::DeletePath("C:\\Program Files\\VARLO"));  // not empty
  EXPECT_EQ(ERROR_DIR_NOT_EMPTY, GetLastError());
  EXPECT_TRUE(platform::DeletePath("C:\\Program Files\\VARLO\\b.txt"));
  EXPECT_FALSE(platform::DeletePath("C:\\Program Files\\VARLO\\b.txt"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(platform::ListFolder("C:\\missing", names));
  EXPECT_FALSE(platform::WriteFileAtomically("C:\\missing\\x.txt", "x"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST(Files, AFileHeldOpenKeepsItsIdentityFromAFileMadeAnewUnderItsName) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Data"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Data\\a.log", "a\n"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Data\\b.log", "b\n"));
  auto identityOf = [](const platform::cFileStream& file) {
    platform::cFileIdentity identity;
    EXPECT_TRUE(file.Identity(identity));
    return identity;
  };
  platform::cInputFile held("C:\\Data\\a.log", std::ios::binary);
  const platform::cFileIdentity first = identityOf(held);
  EXPECT_EQ(first, identityOf(platform::cInputFile("c:\\data\\A.LOG")));  // text mode too
  EXPECT_NE(first, identityOf(platform::cInputFile("C:\\Data\\b.log")));

  // Deleted and created again, as a writer that starts over does, and replaced at once.
  ASSERT_TRUE(platform::DeletePath("C:\\Data\\a.log"));
  FILE* created = platform::OpenFile("C:\\Data\\a.log", "wb");
  ASSERT_NE(nullptr, created);
  std::fclose(created);
  const platform::cFileIdentity remade = identityOf(platform::cInputFile("C:\\Data\\a.log"));
  EXPECT_NE(first, remade);
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Data\\a.log", "a once more\n"));
  EXPECT_NE(remade, identityOf(platform::cInputFile("C:\\Data\\a.log")));
  EXPECT_EQ(first, identityOf(held));

  platform::cFileIdentity none;
  EXPECT_FALSE(platform::cInputFile("C:\\Data\\missing.log").Identity(none));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}
