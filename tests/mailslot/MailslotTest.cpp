// The mailslot stand-in: whole messages, buffer and time-out errors, closing, inheritance, sender
// credentials, and who may make a service's slot.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/Files.h"
#include "platform/Mailslot.h"
#include "platform/ServiceControl.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TempMachineRoot.h"

namespace {

constexpr char kSlot[] = "\\\\.\\mailslot\\TestSlot";
constexpr char kServiceSlot[] = "\\\\.\\mailslot\\VARLO";

// Binds a datagram socket at the path and leaves it open: -1 when it cannot be bound.
int BindSocketAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

class MailslotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Reader = CreateMailslotA(kSlot, 0, 0, nullptr);
    ASSERT_NE(m_Reader, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (m_Reader != INVALID_HANDLE_VALUE) CloseHandle(m_Reader);
  }
  void Write(const std::string& bytes, const char* name = kSlot) {
    HANDLE writer = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(
        WriteFile(writer, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    CloseHandle(writer);
  }

  cTempMachineRoot m_Root;
  HANDLE m_Reader = INVALID_HANDLE_VALUE;
};

TEST_F(MailslotTest, MessagesArriveWholeAndATooSmallBufferLeavesThemQueued) {
  Write("first message");
  Write(std::string("\x02\x00\x00", 3));
  char buffer[64];
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(m_Reader, buffer, 5, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  DWORD next = 0;
  ASSERT_TRUE(GetMailslotInfo(m_Reader, nullptr, &next, nullptr, nullptr));
  EXPECT_EQ(next, 13u);
  ASSERT_TRUE(ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "first message");
  ASSERT_TRUE(ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), std::string("\x02\x00\x00", 3));
}

TEST_F(MailslotTest, ReadTimesOutWithTheTimeOutInForce) {
  char buffer[16];
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  ASSERT_TRUE(SetMailslotInfo(m_Reader, 100));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
}

TEST_F(MailslotTest, OnlyCreatedSlotsOpenAndANameIsHeldOnce) {
  EXPECT_EQ(CreateFileA("\\\\.\\mailslot\\Nobody", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateMailslotA("\\\\.\\MAILSLOT\\testslot", 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CreateMailslotA("C:\\not-a-slot", 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  CloseHandle(m_Reader);
  m_Reader = CreateMailslotA(kSlot, 0, 0, nullptr);
  EXPECT_NE(m_Reader, INVALID_HANDLE_VALUE) << "the name is free again after a close";
}

TEST_F(MailslotTest, WritingToAClosedReaderFailsWithoutBlocking) {
  HANDLE writer = CreateFileA(kSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(m_Reader);
  m_Reader = INVALID_HANDLE_VALUE;
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(writer, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  CloseHandle(writer);
}

TEST_F(MailslotTest, CloseFromAnotherThreadEndsABlockedRead) {
  SetMailslotInfo(m_Reader, MAILSLOT_WAIT_FOREVER);
  DWORD error = 0;
  std::thread reader([&] {
    char buffer[16];
    DWORD read = 0;
    if (!ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr)) error = GetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CloseHandle(m_Reader);
  reader.join();
  m_Reader = INVALID_HANDLE_VALUE;
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
}

TEST_F(MailslotTest, ProgramsStartedLaterInheritNoSlot) {
  HANDLE writer = CreateFileA(kSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  FILE* listing = popen("ls -l /proc/self/fd/", "r");
  ASSERT_NE(listing, nullptr);
  std::string text;
  char chunk[256];
  while (fgets(chunk, sizeof(chunk), listing)) text += chunk;
  pclose(listing);
  CloseHandle(writer);
  EXPECT_EQ(text.find("socket:"), std::string::npos) << text;
  EXPECT_EQ(text.find("eventfd"), std::string::npos) << text;
}

TEST_F(MailslotTest, TheReaderLearnsWhoSentEachMessage) {
  platform::cMailslotSender sender;
  ASSERT_TRUE(platform::GetMailslotSender(m_Reader, sender));
  EXPECT_EQ(sender.userId, platform::kNoUser) << "nothing read yet, so nobody sent it";
  EXPECT_FALSE(platform::IsAdministratorOrSelf(sender.userId));
  EXPECT_EQ(platform::UserName(sender.userId), "no user");

  Write("mine");
  char buffer[16];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr));
  ASSERT_TRUE(platform::GetMailslotSender(m_Reader, sender));
  EXPECT_EQ(sender.userId, static_cast<DWORD>(geteuid()));
  EXPECT_EQ(sender.processId, static_cast<DWORD>(getpid()));
  EXPECT_TRUE(platform::IsAdministratorOrSelf(sender.userId));

  if (geteuid() != 0) GTEST_SKIP() << "sending as another user needs the administrator";
  HANDLE writer = CreateFileA(kSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  const int written = RunAsOtherUser([writer] {
    DWORD bytes = 0;
    return WriteFile(writer, "other", 5, &bytes, nullptr) ? 0 : 1;
  });
  CloseHandle(writer);
  ASSERT_EQ(written, 0);
  ASSERT_TRUE(ReadFile(m_Reader, buffer, sizeof(buffer), &read, nullptr));
  ASSERT_TRUE(platform::GetMailslotSender(m_Reader, sender));
  EXPECT_EQ(sender.userId, 65534u);
  EXPECT_FALSE(platform::IsAdministratorOrSelf(sender.userId));
  EXPECT_EQ(platform::UserName(sender.userId), "nobody");
}

TEST_F(MailslotTest, OnlyTheAdministratorCreatesTheSlotOfARegisteredService) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs the administrator";
  // As a machine root stands, every user reaches its slots.
  ASSERT_EQ(chmod(m_Root.Path().c_str(), 0755), 0);
  ASSERT_TRUE(platform::InstallService("VARLO", "VarloService.exe"));
  // The other user's result: 0 created, else the error.
  const auto createAsOtherUser = [](const char* name) {
    return RunAsOtherUser([name] {
      HANDLE slot = CreateMailslotA(name, 0, 0, nullptr);
      return slot != INVALID_HANDLE_VALUE ? 0 : static_cast<int>(GetLastError());
    });
  };
  EXPECT_EQ(createAsOtherUser("\\\\.\\mailslot\\varlo"), static_cast<int>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(createAsOtherUser("\\\\.\\mailslot\\VARLO3"), 0)
      << "a tray slot stays open to every user";
  HANDLE service = CreateMailslotA("\\\\.\\mailslot\\VARLO", 0, 0, nullptr);
  EXPECT_NE(service, INVALID_HANDLE_VALUE);
  CloseHandle(service);
}

TEST(MailslotInstalledTest, AnotherUsersTrayMakesItsSlotOnAMachineRootAsInstalled) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs the administrator";
  cTempMachineRoot root;
  ASSERT_EQ(chmod(root.Path().c_str(), 0755), 0);
  ASSERT_TRUE(platform::InstallService("VARLO", "VarloService.exe"));
  // The machine's state folder is the administrator's alone: only the installer can make the
  // folder where every user's programs make their slots.
  const int made = RunAsOtherUser([] {
    HANDLE slot = CreateMailslotA("\\\\.\\mailslot\\VARLO0", 0, 0, nullptr);
    return slot != INVALID_HANDLE_VALUE ? 0 : static_cast<int>(GetLastError());
  });
  EXPECT_EQ(made, 0);
}

TEST_F(MailslotTest, NoOtherUserTakesTheSlotOfARegisteredServiceByAnyRoute) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs the administrator";
  ASSERT_EQ(chmod(m_Root.Path().c_str(), 0755), 0);
  ASSERT_TRUE(platform::InstallService("VARLO", "VarloService.exe"));
  // While the service is down, the other user binds a socket named after it in every folder of
  // the machine's state that lets it, and holds them.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  cOtherUserProcess squatter([&] {
    const std::string state = platform::StateFolder();
    BindSocketAt(state + "/varlo");
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             state, std::filesystem::directory_options::skip_permission_denied, ignored)) {
      if (entry.is_directory(ignored)) BindSocketAt(entry.path().string() + "/varlo");
    }
    const char done = 1;
    if (write(ready[1], &done, 1) != 1) return 1;
    pause();
    return 0;
  });
  ASSERT_TRUE(squatter.Started());
  char done = 0;
  ASSERT_EQ(read(ready[0], &done, 1), 1) << "the other user's process ended early";
  close(ready[0]);
  close(ready[1]);

  HANDLE service = CreateMailslotA(kServiceSlot, 0, 0, nullptr);
  ASSERT_NE(service, INVALID_HANDLE_VALUE) << GetLastError();
  const int written = RunAsOtherUser([] {
    HANDLE writer = CreateFileA(kServiceSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD bytes = 0;
    return writer != INVALID_HANDLE_VALUE && WriteFile(writer, "tray", 4, &bytes, nullptr) ? 0 : 1;
  });
  EXPECT_EQ(written, 0) << "every user still writes to the service's slot";
  char buffer[16];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(service, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "tray");
  CloseHandle(service);
}

TEST_F(MailslotTest, AServiceSlotIsMadeOnlyInAFolderThatNoOtherUserCanMakeEntriesIn) {
  const mode_t previousMask = umask(0077);
  ASSERT_TRUE(platform::InstallService("VARLO", "VarloService.exe"));
  umask(previousMask);
  const std::string folder = platform::StateFolder() + "/service-mailslots";
  struct stat made {};
  ASSERT_EQ(lstat(folder.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0755u) << "every user reaches the slot, whatever the umask";
  EXPECT_EQ(made.st_uid, geteuid());

  // The installer's services folder: the administrator's own, writable by no other user.
  const std::string soundElsewhere = platform::StateFolder() + "/services";
  struct cCase {
    const char* what;
    std::function<int()> spoil;
    DWORD error;
    bool needsAdministrator;
  } cases[] = {
      {"writable by others", [&] { return chmod(folder.c_str(), 0777); }, ERROR_ACCESS_DENIED,
       false},
      {"writable by its group", [&] { return chmod(folder.c_str(), 0775); }, ERROR_ACCESS_DENIED,
       false},
      {"another user's", [&] { return chown(folder.c_str(), kOtherUser, kOtherUser); },
       ERROR_ACCESS_DENIED, true},
      {"a link to a sound folder",
       [&] { return rmdir(folder.c_str()) || symlink(soundElsewhere.c_str(), folder.c_str()); },
       ERROR_ACCESS_DENIED, false},
      {"missing", [&] { return rmdir(folder.c_str()); }, ERROR_PATH_NOT_FOUND, false},
  };
  for (const auto& each : cases) {
    if (each.needsAdministrator && geteuid() != 0) continue;
    std::filesystem::remove(folder);
    ASSERT_TRUE(platform::MakeSlotFolders()) << each.what;
    ASSERT_EQ(each.spoil(), 0) << each.what;
    EXPECT_EQ(CreateMailslotA(kServiceSlot, 0, 0, nullptr), INVALID_HANDLE_VALUE) << each.what;
    EXPECT_EQ(GetLastError(), each.error) << each.what;
    const bool remade = each.error == ERROR_PATH_NOT_FOUND;
    EXPECT_EQ(platform::MakeSlotFolders(), remade) << each.what;
    if (!remade) {
      EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << each.what;
    }
  }
}

}  // namespace
