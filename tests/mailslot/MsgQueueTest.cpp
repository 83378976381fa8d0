// The service's end of the mailslot link against fake tray programs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "VarloService/mailslot/MsgQueue.h"
#include "tests/support/FakeTray.h"
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
  for (int digit : {-1, 10, 48, -128}) EXPECT_EQ(queue.AddUser(digit), -1) << digit;
  EXPECT_EQ(queue.AddUser(4), -1) << "no tray program has made slot 4";
  EXPECT_TRUE(queue.Users().empty());
}

TEST_F(MsgQueueTest, RegisteringTwiceKeepsOneEntryAndDelUserRemovesIt) {
  cFakeTray tray(2);
  cMsgQueue queue;
  queue.Open();
  tray.Drain();
  EXPECT_EQ(queue.AddUser(2), 0);
  EXPECT_EQ(queue.AddUser(2), 0);
  EXPECT_EQ(queue.Users().size(), 1u);
  EXPECT_EQ(queue.Send("\x03\x01", 2, 2), 2);
  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({{3, 1}}));
  EXPECT_EQ(queue.Send("\x03\x01", 2, 7), 0) << "not registered";
  EXPECT_EQ(queue.DelUser(2), 1);
  EXPECT_EQ(queue.DelUser(2), 0);
}

TEST_F(MsgQueueTest, ADeadTrayIsDroppedWhileTheOthersAreServed) {
  cFakeTray first(1), second(5), third(8);
  cMsgQueue queue;
  queue.Open();
  for (auto* tray : {&first, &second, &third}) {
    tray->Drain();
    ASSERT_EQ(queue.AddUser(tray->Digit()), 0);
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
  queue.AddUser(0);
  queue.AddUser(9);
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
  queue.AddUser(6);
  queue.Close();
  EXPECT_EQ(queue.Broadcast("\x08\x00", 2), 0);
  EXPECT_TRUE(tray.Drain().empty());
}

}  // namespace
