// Who may send what to the service slot: the command codes 9 to 12 run only for the administrator
// (or the service's own user), the tray codes for every user, and a tray's registration and
// removal only for the user who made its slot. The sender is told by the socket.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "VarloService/mailslot/MsgQueue.h"
#include "VarloService/service/VarloService.h"
#include "platform/Files.h"
#include "tests/service/ServiceSlotFixture.h"
#include "tests/support/FakeTray.h"
#include "tests/support/OtherUser.h"
#include "tests/support/OtherUsersTray.h"
#include "tests/support/TempMachineRoot.h"

namespace {

cMessage Text(uint8_t code, const std::string& text) {
  const std::string bytes = static_cast<char>(code) + text + '\0';
  return cMessage(bytes.begin(), bytes.end());
}

struct cCommandCase {
  cMessage message;
  const char* refusal;  // the log line of a refused message
  const char* served;   // a log line that only a served message leaves; null: shown otherwise
};

class CommandCodesByUserTest : public cServiceSlotFixture {
 protected:
  void SetUp() override {
    cServiceSlotFixture::SetUp();
    m_CommandFile = m_Root.Path() + "/command.txt";
    platform::WriteFileAtomically(m_CommandFile, "true");
  }
  // Writes the messages to the service slot from a child that runs as another user, then lets the
  // service read them.
  void DeliverAs(uid_t user, const std::vector<cMessage>& messages) {
    HANDLE slot = CreateFileA(ServiceSlotPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE);
    const int written = RunAsOtherUser(
        [&] {
          for (const cMessage& message : messages) {
            DWORD bytes = 0;
            const DWORD size = static_cast<DWORD>(message.size());
            if (!WriteFile(slot, message.data(), size, &bytes, nullptr)) return 1;
          }
          return 0;
        },
        user);
    CloseHandle(slot);
    ASSERT_EQ(written, 0) << "the child could not write";
    EXPECT_EQ(m_Service->CmdLoop(), 0);
  }

  std::vector<cCommandCase> Commands() const {
    return {
        {Text(MSG_UI_TEST, "hi"), "MSG=09 from user 65534 (nobody) refused", "MSG_UI_TEST:hi>"},
        {{MSG_UI_STAT, 1}, "MSG=0a from user 65534 (nobody) refused", "EvtLogSvc>"},
        {Text(MSG_UI_CMD, m_CommandFile), "MSG=0b from user 65534 (nobody) refused", "ReadFile("},
        // The shutdown record shows a served isolate code.
        {{MSG_UI_ISOLATE, 3}, "MSG=0c from user 65534 (nobody) refused", nullptr},
    };
  }

  static bool ShutdownRecorded() { return platform::FileExists(platform::StateFolder() + "/shutdown.log"); }

  std::string m_CommandFile;
};

TEST_F(CommandCodesByUserTest, EveryCommandCodeFromAnotherUserIsRefusedAndLogged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the administrator to send as another user";
  std::vector<cMessage> messages;
  for (const cCommandCase& each : Commands()) messages.push_back(each.message);
  DeliverAs(kOtherUser, messages);
  for (const cCommandCase& each : Commands()) {
    EXPECT_TRUE(Logged(each.refusal)) << each.refusal << "\n" << m_Log.str();
    if (each.served) {
      EXPECT_FALSE(Logged(each.served)) << each.served << "\n" << m_Log.str();
    }
  }
  EXPECT_FALSE(ShutdownRecorded()) << "the isolate code's shutdown ran";

  // The same messages from the administrator are served.
  m_Log.str("");
  DeliverAs(0, messages);
  for (const cCommandCase& each : Commands()) {
    EXPECT_FALSE(Logged(each.refusal)) << each.refusal << "\n" << m_Log.str();
    if (each.served) {
      EXPECT_TRUE(Logged(each.served)) << each.served << "\n" << m_Log.str();
    }
  }
  EXPECT_TRUE(ShutdownRecorded());
}

TEST_F(CommandCodesByUserTest, TrayCodesFromAnotherUserAreServed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the administrator to send as another user";
  // As a machine root stands, every user's tray program makes its slot.
  ASSERT_EQ(chmod(m_Root.Path().c_str(), 0755), 0);
  cOtherUsersTray tray(4);
  ASSERT_TRUE(tray.IsOpen());
  DeliverAs(kOtherUser, {{MSG_UI_USER, 1, 4}, {MSG_UI_AUTOUPDATE, 0}});
  EXPECT_EQ(m_Log.str().find("refused"), std::string::npos) << m_Log.str();
  const std::vector<cMessage> received = tray.Drain();
  ASSERT_FALSE(received.empty()) << "the registration was not served";
  EXPECT_EQ(received.front().front(), MSG_SVC_START);
  EXPECT_NE(std::find(received.begin(), received.end(), cMessage{MSG_SVC_AUTOUPDATE, 0}), received.end())
      << "the auto-update change was not served";
  EXPECT_TRUE(Logged("MSG=07 from user 65534 (nobody)\n")) << "who changed the setting";
  EXPECT_FALSE(Logged("MSG=01 from")) << "a registration changes no setting";
}

TEST_F(CommandCodesByUserTest, NoUserRegistersOverOrRemovesAnotherUsersTray) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the administrator to send as another user";
  ASSERT_EQ(chmod(m_Root.Path().c_str(), 0755), 0);
  auto first = std::make_unique<cOtherUsersTray>(3, kOtherUser);
  cOtherUsersTray second(4, kSecondOtherUser);
  ASSERT_TRUE(first->IsOpen());
  ASSERT_TRUE(second.IsOpen());
  DeliverAs(kOtherUser, {{MSG_UI_USER, 1, 3}});
  ASSERT_EQ(m_Service->m_UI.Users(), (std::map<int, bool>{{3, true}}));
  ASSERT_EQ(first->Drain().front().front(), MSG_SVC_START);

  // The second user's registration and removal of the first user's digit.
  DeliverAs(kSecondOtherUser, {{MSG_UI_USER, 1, 3}, {MSG_UI_USER, 0, 3}});
  EXPECT_TRUE(Logged("m_UI.AddUser(3) refused: a slot made by nobody, registered by 65533")) << m_Log.str();
  EXPECT_TRUE(Logged("m_UI.DelUser(3) refused: a slot made by nobody, removed by 65533")) << m_Log.str();
  EXPECT_EQ(m_Service->m_UI.Users(), (std::map<int, bool>{{3, true}}));
  const cMessage next = {MSG_SVC_STATUS, 2, 0};
  EXPECT_EQ(m_Service->m_UI.Broadcast(next.data(), static_cast<uint32_t>(next.size())), 3);
  const std::vector<cMessage> received = first->Drain();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), next) << "the first user's tray is served";
  for (const cMessage& message : received) EXPECT_EQ(message.front(), MSG_SVC_STATUS) << "a greeting for another";
  EXPECT_TRUE(second.Drain().empty());

  // Each user's own registration and removal.
  DeliverAs(kSecondOtherUser, {{MSG_UI_USER, 1, 4}});
  EXPECT_EQ(m_Service->m_UI.Users(), (std::map<int, bool>{{3, true}, {4, true}}));
  EXPECT_EQ(second.Drain().front().front(), MSG_SVC_START);
  DeliverAs(kSecondOtherUser, {{MSG_UI_USER, 0, 4}});
  DeliverAs(kOtherUser, {{MSG_UI_USER, 0, 3}});
  EXPECT_TRUE(Logged("m_UI.DelUser(4)=1")) << m_Log.str();
  EXPECT_TRUE(Logged("m_UI.DelUser(3)=1")) << m_Log.str();
  EXPECT_TRUE(m_Service->m_UI.Users().empty());

  // A tray that ends is dropped at the first message it misses, and the user's next tray
  // registers the digit again.
  DeliverAs(kOtherUser, {{MSG_UI_USER, 1, 3}});
  first.reset();
  m_Service->m_UI.Broadcast(next.data(), static_cast<uint32_t>(next.size()));
  EXPECT_TRUE(m_Service->m_UI.Users().empty()) << "the ended tray is still registered";
  cOtherUsersTray successor(3, kOtherUser);
  ASSERT_TRUE(successor.IsOpen());
  DeliverAs(kOtherUser, {{MSG_UI_USER, 1, 3}});
  EXPECT_EQ(m_Service->m_UI.Users(), (std::map<int, bool>{{3, true}}));
  EXPECT_EQ(successor.Drain().front().front(), MSG_SVC_START);
}

}  // namespace
