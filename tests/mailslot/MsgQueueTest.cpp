// The service's end of the mailslot link against fake tray programs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "VarloService/mailslot/MsgQueue.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeTray.h"
#include "tests/support/OtherUsersTray.h"
#include "tests/support/TempMachineRoot.h"

namespace {

class MsgQueueTest : public ::testing::Test {
 protected:
  cTempMachineRoot m_Root;
};

TEST_F(MsgQueueTest, OpeningWakesTrayProgramsOfAnEarlierRunWithOneByte) {
  cFakeTray earlier(3);
  ASSERT_TRUE(earlier.IsOpen());
  cMsgQueue queue;
  queue.Open();
  EXPECT_EQ(earlier.Drain(), std::vector<cMessage>({{MSG_SVC_EXIT}}));
  EXPECT_EQ(queue.BufferSize(), cMsgQueue::kInitialBufferSize);
}

TEST_F(MsgQueueTest, ALargeMessageIsReadAfterTheBufferGrewTwice) {
  cMsgQueue queue;
  queue.Open();
  cMessage large(5000, 'x');
  large[0] = MSG_UI_TEST;
  ASSERT_TRUE(SendToServiceSlot(large));
  EXPECT_EQ(queue.Rx(queue.Buffer(), queue.BufferSize()), -1) << "too small, still queued";
  EXPECT_EQ(queue.Rx(), 5000);
  EXPECT_EQ(queue.BufferSize(), 4096u + 2 * cMsgQueue::kBufferGrowth);
  EXPECT_EQ(cMessage(queue.Buffer(), queue.Buffer() + 5000), large);
}

TEST_F(MsgQueueTest, ReadResultsForTimeOutAndClose) {
  cMsgQueue queue;
  EXPECT_EQ(queue.Rx(), -3) << "never opened";
  queue.Open();
  queue.SetReadTimeout(10);
  EXPECT_EQ(queue.Rx(), 0);
  ASSERT_TRUE(SendToServiceSlot({}));
  EXPECT_EQ(queue.Rx(), cMsgQueue::kEmptyMessage) << "an empty message is told from a time-out";
  queue.SetReadTimeout(MAILSLOT_WAIT_FOREVER);
  int result = 1;
  std::thread reader([&] { result = queue.Rx(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  queue.Close();
  reader.join();
  EXPECT_EQ(result, -3);
  queue.Close();
  EXPECT_EQ(queue.Rx(), -3);
}

TEST_F(MsgQueueTest, RegistrationIsRefusedOutsideTheTenTraySlots) {
  cMsgQueue queue;
  queue.Open();
  for (int digit : {-1, 10, 48, -128}) EXPECT_EQ(queue.AddUser(digit, geteuid()), -1) << digit;
  EXPECT_EQ(queue.AddUser(4, geteuid()), -1) << "no tray program has made slot 4";
  EXPECT_TRUE(queue.Users().empty());
}

TEST_F(MsgQueueTest, RegisteringTwiceKeepsOneEntryAndDelUserRemovesIt) {
  cFakeTray tray(2);
  cMsgQueue queue;
  queue.Open();
  tray.Drain();
  EXPECT_EQ(queue.AddUser(2, geteuid()), 0);
  EXPECT_EQ(queue.AddUser(2, geteuid()), 0);
  EXPECT_EQ(queue.Users().size(), 1u);
  EXPECT_EQ(queue.Send("\x03\x01", 2, 2), 2);
  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({{3, 1}}));
  EXPECT_EQ(queue.Send("\x03\x01", 2, 7), 0) << "not registered";
  EXPECT_EQ(queue.DelUser(2, geteuid()), 1);
  EXPECT_EQ(queue.DelUser(2, geteuid()), 0);
}

TEST_F(MsgQueueTest, ADeadTrayIsDroppedWhileTheOthersAreServed) {
  cFakeTray first(1), second(5), third(8);
  cMsgQueue queue;
  queue.Open();
  for (auto* tray : {&first, &second, &third}) {
    tray->Drain();
    ASSERT_EQ(queue.AddUser(tray->Digit(), geteuid()), 0);
  }
  second.Close();
  const uint8_t status[] = {MSG_SVC_STATUS, 2, '1', '.', '2', 0};
  EXPECT_EQ(queue.Broadcast(status, sizeof(status)), 2 * static_cast<int>(sizeof(status)));
  EXPECT_EQ(queue.Users(), (std::map<int, bool>{{1, true}, {8, true}}));
  for (auto* tray : {&first, &third}) {
    EXPECT_EQ(tray->Drain(), std::vector<cMessage>({cMessage(status, status + sizeof(status))}));
  }
}

TEST_F(MsgQueueTest, SendingToPageViewersReachesOnlyTraysWithTheirPageShown) {
  cFakeTray viewer(0), other(9);
  cMsgQueue queue;
  queue.Open();
  viewer.Drain();
  other.Drain();
  queue.AddUser(0, geteuid());
  queue.AddUser(9, geteuid());
  queue.SetPage(0, true);
  queue.SetPage(9, true);
  queue.SetPage(9, false);
  queue.SetPage(31, true);
  EXPECT_EQ(queue.PageMask(), 1u);
  EXPECT_EQ(queue.Send("\x06", 1, -1), 1);
  EXPECT_EQ(viewer.Drain().size(), 1u);
  EXPECT_TRUE(other.Drain().empty());
}

TEST_F(MsgQueueTest, AfterCloseNothingIsWritten) {
  cFakeTray tray(6);
  cMsgQueue queue;
  queue.Open();
  tray.Drain();
  queue.AddUser(6, geteuid());
  queue.Close();
  EXPECT_EQ(queue.Broadcast("\x08\x00", 2), 0);
  EXPECT_TRUE(tray.Drain().empty());
}

// The folder where the tray programs of every user make their slots, and the socket of a slot
// there.
std::string TraySlotFolder() { return platform::StateFolder() + "/mailslots"; }
std::string TraySocket(int digit) { return TraySlotFolder() + "/varlo" + std::to_string(digit); }

// The service installed, its slot open; the socket elsewhere that a link in the tray slot folder
// leads to is the service's own slot, in the folder where only the administrator makes entries:
// a message that reached it through the service would pass for one of the administrator's.
class MsgQueueLinkTest : public MsgQueueTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::InstallService("VARLO", "VarloService.exe"));
    m_Queue.Open();
    m_Queue.SetReadTimeout(0);
    ASSERT_EQ(m_Queue.Rx(), 0);
    m_ServiceSocket = platform::StateFolder() + "/service-mailslots/varlo";
  }
  // Whatever came to the service's own slot.
  int ServiceSlotRead() {
    m_Queue.SetReadTimeout(0);
    return m_Queue.Rx();
  }

  cMsgQueue m_Queue;
  std::string m_ServiceSocket;
};

TEST_F(MsgQueueLinkTest, ALinkInTheTraySlotFolderGetsNothingAndTheTraysOwnSlotStillDoes) {
  cFakeTray tray(2);
  ASSERT_TRUE(tray.IsOpen());
  struct cCase {
    const char* what;
    int digit;
    std::function<int()> link;
  } cases[] = {
      {"a symbolic link", 5, [&] { return symlink(m_ServiceSocket.c_str(), TraySocket(5).c_str()); }},
      {"a hard link", 6, [&] { return link(m_ServiceSocket.c_str(), TraySocket(6).c_str()); }},
      {"a symbolic link to a hard link", 7,
       [&] {
         return link(m_ServiceSocket.c_str(), (TraySlotFolder() + "/elsewhere").c_str()) ||
                symlink("elsewhere", TraySocket(7).c_str());
       }},
  };
  for (const cCase& each : cases) ASSERT_EQ(each.link(), 0) << each.what;

  cMsgQueue restarted;
  restarted.Open();  // the exit notice to every tray slot that exists
  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({{MSG_SVC_EXIT}}));
  EXPECT_EQ(ServiceSlotRead(), 0) << "the exit notice went through a link";
  for (const cCase& each : cases) {
    EXPECT_EQ(m_Queue.AddUser(each.digit, geteuid()), -1) << each.what;
    EXPECT_EQ(m_Queue.Send("\x02\x02", 2, each.digit), 0) << each.what;
  }
  EXPECT_EQ(m_Queue.AddUser(2, geteuid()), 0);
  const uint8_t status[] = {MSG_SVC_STATUS, 2, 0};
  EXPECT_EQ(m_Queue.Broadcast(status, sizeof(status)), static_cast<int>(sizeof(status)));
  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({cMessage(status, status + sizeof(status))}));
  EXPECT_EQ(ServiceSlotRead(), 0) << "a message went through a link";
}

// A link is swapped in for the tray's slot and out again while the service registers and writes:
// every write that the service counts reached the tray, none the service's own slot.
TEST_F(MsgQueueLinkTest, ALinkSwappedInForATraysSlotIsNeverFollowed) {
  cFakeTray tray(5);
  ASSERT_TRUE(tray.IsOpen());
  const std::string swapped = TraySlotFolder() + "/swapped";
  ASSERT_EQ(symlink(m_ServiceSocket.c_str(), swapped.c_str()), 0);
  std::atomic<bool> swapping{true};
  std::thread swapper([&] {
    while (swapping) renameat2(AT_FDCWD, swapped.c_str(), AT_FDCWD, TraySocket(5).c_str(), RENAME_EXCHANGE);
  });
  int delivered = 0;
  for (int round = 0; round < 5000; ++round) {
    if (m_Queue.AddUser(5, geteuid()) != 0) continue;
    const uint8_t start[] = {MSG_SVC_START, static_cast<uint8_t>(round)};
    if (m_Queue.Send(start, sizeof(start), 5) == 0) continue;
    ++delivered;
    ASSERT_EQ(tray.Next(), cMessage(start, start + sizeof(start))) << "round " << round;
  }
  swapping = false;
  swapper.join();
  EXPECT_GT(delivered, 0);
  EXPECT_EQ(ServiceSlotRead(), 0) << "a message went through the link";
}

TEST_F(MsgQueueTest, ATraySlotIsTakenAndLetGoOnlyForTheUserWhoMadeIt) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs the administrator";
  // As a machine root stands, every user's tray program makes its slot.
  ASSERT_EQ(chmod(m_Root.Path().c_str(), 0755), 0);
  cMsgQueue queue;
  queue.Open();
  cOtherUsersTray othersTray(6);
  ASSERT_TRUE(othersTray.IsOpen());
  cFakeTray administratorsTray(3);
  ASSERT_TRUE(administratorsTray.IsOpen());
  administratorsTray.Drain();
  ASSERT_EQ(queue.AddUser(3, 0), 0) << "the administrator registers any tray's slot";

  cCapturedLog log;
  EXPECT_EQ(queue.AddUser(3, kOtherUser), -1) << "a slot that the registrant did not make";
  EXPECT_TRUE(log.Has("m_UI.AddUser(3) refused: a slot made by root, registered by nobody")) << log.Text();
  EXPECT_EQ(queue.DelUser(3, kOtherUser), 0);
  EXPECT_TRUE(log.Has("m_UI.DelUser(3) refused: a slot made by root, removed by nobody")) << log.Text();
  EXPECT_EQ(queue.DelUser(3, platform::kNoUser), 0) << "a message without credentials";
  EXPECT_EQ(queue.AddUser(6, kOtherUser), 0) << "the registrant's own slot";
  EXPECT_EQ(queue.Users(), (std::map<int, bool>{{3, true}, {6, true}})) << "the refusals changed nothing";
  const uint8_t status[] = {MSG_SVC_STATUS, 1, 0};
  EXPECT_EQ(queue.Broadcast(status, sizeof(status)), 2 * static_cast<int>(sizeof(status)));
  const std::vector<cMessage> once = {cMessage(status, status + sizeof(status))};
  EXPECT_EQ(othersTray.Drain(), once);
  EXPECT_EQ(administratorsTray.Drain(), once);

  EXPECT_EQ(queue.DelUser(6, kOtherUser), 1) << "the maker's own removal";
  EXPECT_EQ(queue.DelUser(3, 0), 1) << "the administrator's";
  EXPECT_TRUE(queue.Users().empty());
}

}  // namespace
