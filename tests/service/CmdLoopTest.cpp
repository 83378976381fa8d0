// The service's handling of mailslot messages, in process, against fake tray programs.
#include <gtest/gtest.h>
#include <unistd.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "VarloService/service/VarloService.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/service/ServiceSlotFixture.h"
#include "tests/support/FakeTray.h"
#include "tests/support/TempMachineRoot.h"

namespace {

cMessage WithTime(uint8_t code, int64_t time) {
  cMessage message(9, 0);
  message[0] = code;
  std::memcpy(message.data() + 1, &time, sizeof(time));
  return message;
}

class CmdLoopTest : public cServiceSlotFixture {
 protected:
  // Sends the messages and lets the service read until its slot is quiet.
  void Deliver(const std::vector<cMessage>& messages) {
    for (const auto& message : messages) ASSERT_TRUE(SendToServiceSlot(message));
    EXPECT_EQ(m_Service->CmdLoop(), 0);
  }
  std::unique_ptr<cFakeTray> RegisteredTray(int digit) {
    auto tray = std::make_unique<cFakeTray>(digit);
    EXPECT_EQ(m_Service->m_UI.AddUser(digit, geteuid()), 0);
    return tray;
  }
  uint32_t StoredValue(const char* name) {
    NvmVarlo settings(1);
    uint32_t value = 0xDEAD;
    settings.GetDword(name, value);
    return value;
  }
};

TEST_F(CmdLoopTest, RegistrationGreetsTheTrayInOrderAndTellsEveryTrayTheStatus) {
  auto listener = RegisteredTray(7);
  cFakeTray tray(3);
  m_Service->m_Sys = 1;
  m_Service->m_Web = 0;
  m_Service->m_Status = 2;
  m_Service->m_AgentInfo.m_IpAddr = "10.0.0.9";
  Deliver({{MSG_UI_USER, 1, 3}});
  const cMessage status = {MSG_SVC_STATUS, 2, '1', '0', '.', '0', '.', '0', '.', '9', 0};
  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({WithTime(MSG_SVC_START, m_Service->m_StartTime),
                                                 {MSG_SVC_SYSLOG, 1},
                                                 {MSG_SVC_WEBLOG, 0},
                                                 status}));
  EXPECT_EQ(listener->Drain(), std::vector<cMessage>({status}));
  EXPECT_TRUE(Logged("m_UI.AddUser(3)=0"));
}

TEST_F(CmdLoopTest, UnknownStatesAreNotSentAndADigitOutsideTheTraySlotsNamesNoSlot) {
  auto viewer = RegisteredTray(4);
  m_Service->m_UI.SetPage(4, true);
  Deliver({{MSG_UI_USER, 1, 10}, {MSG_UI_USER, 1, 0xFF}, {MSG_UI_USER, 0, 0xFF}});
  const cMessage status = {MSG_SVC_STATUS, 0, 0};
  // Digit -1 would otherwise reach the page viewers with the start time.
  EXPECT_EQ(viewer->Drain(), std::vector<cMessage>({status, status}));
  EXPECT_TRUE(Logged("m_UI.AddUser(10)=-1"));
  EXPECT_TRUE(Logged("m_UI.AddUser(-1)=-1"));
  EXPECT_EQ(m_Service->m_UI.Users().size(), 1u);
}

TEST_F(CmdLoopTest, MessagesTooShortForTheirCodeAndUnknownCodesAreIgnored) {
  auto tray = RegisteredTray(1);
  m_Service->m_Status = 1;
  Deliver({{MSG_UI_USER, 1},
           {MSG_UI_PAGE, 1},
           {MSG_UI_LOGIN, 0x01},
           {MSG_UI_LOGIN},
           {MSG_UI_AUTOUPDATE},
           {0x00, 1},
           {13, 1},
           {0x80, 1},
           {MSG_SVC_EXIT, 0},
           {MSG_UI_TEST},
           {MSG_UI_CMD}});
  EXPECT_TRUE(tray->Drain().empty());
  EXPECT_EQ(m_Service->m_UI.Users().size(), 1u);
  EXPECT_EQ(m_Service->m_UI.PageMask(), 0u);
  EXPECT_EQ(m_Service->m_Status, 1);
  EXPECT_EQ(m_Service->m_AutoUpdate, 1);
  EXPECT_TRUE(Logged("MSG=80-01"));
  EXPECT_FALSE(Logged("MSG_UI_TEST"));
}

TEST_F(CmdLoopTest, AnEmptyMessageIsPassedOverAndTheNextOneRead) {
  auto tray = RegisteredTray(2);
  Deliver({{}, {}, {MSG_UI_AUTOUPDATE, 0}});
  EXPECT_EQ(tray->Drain(), std::vector<cMessage>({{MSG_SVC_AUTOUPDATE, 0}}));
  EXPECT_FALSE(Logged("m_UI.Rx()=0")) << m_Log.str();
}

TEST_F(CmdLoopTest, ValuesOutsideTheirRangeAreRefusedAndNothingIsStored) {
  auto tray = RegisteredTray(8);
  m_Service->m_Status = 0;
  const auto signIn = [](const std::string& key) {
    const std::string bytes = std::string{static_cast<char>(MSG_UI_LOGIN), 1} + key + '\0';
    return cMessage(bytes.begin(), bytes.end());
  };
  Deliver({{MSG_UI_AUTOUPDATE, 2},
           {MSG_UI_AUTOUPDATE, 0xFF},
           {MSG_UI_SYSLOG, 5},
           {MSG_UI_WEBLOG, 0x80},
           signIn("KEY\nforged"),
           signIn("KEY\x7f"),
           signIn("K\xc3\xa9Y"),
           signIn(std::string(cNvm::kStringBufferBytes, 'K'))});
  EXPECT_EQ(m_Service->m_AutoUpdate, 1);
  EXPECT_EQ(m_Service->m_Sys, -1);
  EXPECT_EQ(m_Service->m_Web, -1);
  EXPECT_EQ(m_Service->m_Status, 0);
  EXPECT_TRUE(m_Service->m_AgentInfo.m_LicenseKey.empty());
  EXPECT_EQ(StoredValue("AutoUpdate"), 0xDEADu);
  EXPECT_EQ(StoredValue("Status"), 0xDEADu);
  EXPECT_TRUE(tray->Drain().empty());
  EXPECT_FALSE(Logged("m_Api.Login()"));
  size_t refusals = 0;
  for (size_t at = m_Log.str().find("refused: a value out of its range"); at != std::string::npos;
       at = m_Log.str().find("refused: a value out of its range", at + 1))
    ++refusals;
  EXPECT_EQ(refusals, 8u) << m_Log.str();
}

TEST_F(CmdLoopTest, ATextWithoutItsNulEndsWithTheMessage) {
  Deliver({{MSG_UI_TEST, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0},
           {MSG_UI_TEST, 'h', 'e', 'l', 'l', 'o'}});
  EXPECT_TRUE(Logged("MSG_UI_TEST:abcdefgh>"));
  EXPECT_TRUE(Logged("MSG_UI_TEST:hello>"));
}

TEST_F(CmdLoopTest, ThePageNoticeGoesToPageViewersOnceThereIsAnUploadTime) {
  auto viewer = RegisteredTray(2);
  auto other = RegisteredTray(6);
  Deliver({{MSG_UI_PAGE, 1, 2}, {MSG_UI_PAGE, 1, 0xF0}});
  EXPECT_EQ(m_Service->m_UI.PageMask(), 1u << 2);
  EXPECT_TRUE(viewer->Drain().empty());
  m_Service->m_AgentInfo.m_UploadTime = 1700000123;
  Deliver({{MSG_UI_PAGE, 1, 2}});
  EXPECT_EQ(viewer->Drain(), std::vector<cMessage>({WithTime(MSG_SVC_UPLOADTIME, 1700000123)}));
  EXPECT_TRUE(other->Drain().empty());
  Deliver({{MSG_UI_PAGE, 0, 2}});
  EXPECT_EQ(m_Service->m_UI.PageMask(), 0u);
}

TEST_F(CmdLoopTest, AutoUpdateChangesAreStoredAndBroadcastOnce) {
  auto tray = RegisteredTray(0);
  Deliver({{MSG_UI_AUTOUPDATE, 1}});
  EXPECT_TRUE(tray->Drain().empty());
  Deliver({{MSG_UI_AUTOUPDATE, 0}});
  EXPECT_EQ(tray->Drain(), std::vector<cMessage>({{MSG_SVC_AUTOUPDATE, 0}}));
  EXPECT_EQ(m_Service->m_AutoUpdate, 0);
  EXPECT_EQ(StoredValue("AutoUpdate"), 0u);
  EXPECT_TRUE(Logged("nAutoUpdate()=0"));
}

TEST_F(CmdLoopTest, SignOutOnlyWhenSignedInOrTrying) {
  auto tray = RegisteredTray(5);
  m_Service->m_Status = 0;
  Deliver({{MSG_UI_LOGIN, 0}});
  EXPECT_TRUE(tray->Drain().empty());
  EXPECT_EQ(StoredValue("Status"), 0xDEADu) << "nothing written";

  // Signed out, the service waits in its read for as long as no message comes.
  m_Service->m_Status = 1;
  int result = 0;
  std::thread serviceThread([&] { result = m_Service->CmdLoop(); });
  ASSERT_TRUE(SendToServiceSlot({MSG_UI_LOGIN, 0}));
  EXPECT_EQ(tray->Next(), cMessage({MSG_SVC_STATUS, 0, 0}));
  m_Service->m_UI.Close();
  serviceThread.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(m_Service->m_Status, 0);
  EXPECT_EQ(StoredValue("Status"), 0u);
  EXPECT_EQ(m_Service->m_ReadTimeoutMs, MAILSLOT_WAIT_FOREVER);
}

TEST_F(CmdLoopTest, ACommandFileRunsAsOneCommandLine) {
  platform::CreateFolders("C:\\work");
  platform::WriteFileAtomically("C:\\work\\command.txt", "echo from-file");
  Deliver({{MSG_UI_CMD, 'C', ':', '\\', 'w', 'o', 'r', 'k', '\\', 'c', 'o',
            'm',        'm', 'a', 'n',  'd', '.', 't', 'x', 't',  0},
           {MSG_UI_CMD, 'n', 'o', 'n', 'e', 0}});
  EXPECT_TRUE(Logged("ReadFile(C:\\work\\command.txt)=1"));
  EXPECT_TRUE(Logged("*** Run Cmd(echo from-file)=0"));
  EXPECT_TRUE(Logged("--> Result=from-file"));
  EXPECT_TRUE(Logged("ReadFile(none)=-1"));
}

TEST_F(CmdLoopTest, ClosingTheLinkFromAnotherThreadEndsABlockedRead) {
  auto tray = RegisteredTray(9);
  m_Service->SetReadTimeout(MAILSLOT_WAIT_FOREVER);
  int result = 0;
  std::thread serviceThread([&] { result = m_Service->CmdLoop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  m_Service->CloseLink();
  serviceThread.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(tray->Drain(), std::vector<cMessage>({{MSG_SVC_EXIT, 0}}));
}

}  // namespace
