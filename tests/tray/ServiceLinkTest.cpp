// The tray program against the service's own end of the mailslot link.
#include <gtest/gtest.h>
#include <unistd.h>

#include "Varlo/ui/UiWindows.h"
#include "VarloService/mailslot/MsgQueue.h"
#include "tests/tray/TrayFixture.h"

class ServiceLinkTest : public TrayWindowTest {
 protected:
  void SetUp() override {
    TrayWindowTest::SetUp();
    m_Service.reset();  // the real service slot takes its place
    m_Queue.Open();
  }
  // The next message the service reads.
  cBytes Received() {
    m_Queue.SetReadTimeout(kLongWaitMs);
    int read = m_Queue.Rx();
    return read > 0 ? cBytes(m_Queue.Buffer(), m_Queue.Buffer() + read) : cBytes();
  }

  cMsgQueue m_Queue;
};

TEST_F(ServiceLinkTest, RegistrationGreetingAndStatusReachTheWindow) {
  ASSERT_TRUE(CreateWindow());
  ASSERT_EQ(Received(), cBytes({MSG_UI_USER, 1, 0}));
  ASSERT_EQ(m_Queue.AddUser(0, geteuid()), 0);
  const uint8_t start[] = {MSG_SVC_START, 0, 0xF1, 0x53, 0x65, 0, 0, 0, 0};
  EXPECT_EQ(m_Queue.Send(start, sizeof start, 0), 9);
  const uint8_t status[] = {MSG_SVC_STATUS, 2, '1', '0', '.', '0', '.', '0', '.', '5', 0};
  EXPECT_EQ(m_Queue.Broadcast(status, sizeof status), static_cast<int>(sizeof status));
  EXPECT_TRUE(PumpUntil([this] { return m_Wnd->m_Status == 2; }));
  EXPECT_EQ(Text(0), "10.0.0.5");
  EXPECT_NE(Text(3), "");
  // The stop notice ends the window.
  const uint8_t exit[] = {MSG_SVC_EXIT, 0};
  m_Queue.Broadcast(exit, sizeof exit);
  EXPECT_TRUE(PumpUntil([this] { return !IsWindow(Window()); }));
}

TEST_F(ServiceLinkTest, AServiceStartEndsTheTrayOfAnEarlierRun) {
  ASSERT_TRUE(CreateWindow());
  ASSERT_EQ(Received(), cBytes({MSG_UI_USER, 1, 0}));
  m_Queue.Close();
  cMsgQueue restarted;
  restarted.Open();  // wakes every tray slot with the single byte 8
  EXPECT_TRUE(PumpUntil([this] { return !IsWindow(Window()); }));
}
