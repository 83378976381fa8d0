#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Varlo/MsgClient.h"
#include "Varlo/TrayMessages.h"
#include "platform/Mailslot.h"
#include "tests/support/WaitUntil.h"
#include "tests/tray/TrayFixture.h"

namespace {

struct cReceived {
  std::mutex lock;
  std::vector<cBytes> messages;

  static void Callback(void* owner, const uint8_t* message, size_t length) {
    auto* received = static_cast<cReceived*>(owner);
    std::lock_guard<std::mutex> guard(received->lock);
    received->messages.emplace_back(message, message + length);
  }
  bool WaitFor(size_t count) {
    return WaitUntil(kLongWaitMs, [&] {
      std::lock_guard<std::mutex> guard(lock);
      return messages.size() >= count;
    });
  }
};

}  // namespace

TEST(MsgClientTest, TakesTheFirstFreeSlotAndWritesToTheService) {
  cTempMachineRoot root;
  cFakeServiceSlot service;
  cReceived received;
  cMsgClient first;
  cMsgClient second;
  EXPECT_EQ(first.Open(&received, &cReceived::Callback), 0);
  EXPECT_EQ(second.Open(&received, &cReceived::Callback), 0);
  EXPECT_EQ(first.SlotIndex(), 0);
  EXPECT_EQ(second.SlotIndex(), 1);
  const uint8_t hello[] = {MSG_UI_USER, 1, 1};
  second.Send(hello, sizeof hello);
  EXPECT_EQ(service.Next(), cBytes({1, 1, 1}));
  second.Close();
  // A closed client frees its slot for the next program.
  cMsgClient third;
  third.Open(&received, &cReceived::Callback);
  EXPECT_EQ(third.SlotIndex(), 1);
}

TEST(MsgClientTest, ProgramsStartingAtOnceEachTakeASlotOfTheirOwn) {
  cTempMachineRoot root;
  cFakeServiceSlot service;
  cReceived received;
  for (int round = 0; round < 20; round++) {
    std::vector<std::unique_ptr<cMsgClient>> clients;
    for (int index = 0; index < kTraySlots; index++)
      clients.push_back(std::make_unique<cMsgClient>());
    std::atomic<int> waiting{kTraySlots};
    std::vector<std::thread> starts;
    for (auto& client : clients) {
      starts.emplace_back([&waiting, &received, opening = client.get()] {
        for (waiting--; waiting > 0;) {
        }
        opening->Open(&received, &cReceived::Callback);
      });
    }
    for (std::thread& start : starts) start.join();
    std::set<uint8_t> slots;
    for (auto& client : clients) slots.insert(client->SlotIndex());
    ASSERT_EQ(slots.size(), static_cast<size_t>(kTraySlots)) << "round " << round;
  }
}

TEST(MsgClientTest, WithoutTheServiceTheOwnSlotStillReads) {
  cTempMachineRoot root;
  cReceived received;
  cMsgClient client;
  EXPECT_EQ(client.Open(&received, &cReceived::Callback), -1);
  ASSERT_TRUE(SendToTray(0, {MSG_SVC_SYSLOG, 1}));
  ASSERT_TRUE(received.WaitFor(1));
  EXPECT_EQ(received.messages[0], cBytes({3, 1}));
}

TEST(MsgClientTest, HandsEachMessageOnWithItsLengthAndGrowsTheBufferInSteps) {
  cTempMachineRoot root;
  cFakeServiceSlot service;
  cReceived received;
  cMsgClient client;
  client.Open(&received, &cReceived::Callback);
  EXPECT_EQ(client.BufferSize(), 4096u);
  cBytes large(5000, 'x');
  large[0] = MSG_SVC_STATUS;
  ASSERT_TRUE(SendToTray(0, large));
  ASSERT_TRUE(SendToTray(0, {MSG_SVC_EXIT}));
  ASSERT_TRUE(received.WaitFor(2));
  EXPECT_EQ(received.messages[0], large);
  EXPECT_EQ(received.messages[1], cBytes({8}));
  EXPECT_EQ(client.BufferSize(), 5120u);  // 4096, 4608, then 5120 fits
}

TEST(MsgClientTest, CloseEndsAPendingReadAndRunsOnce) {
  cTempMachineRoot root;
  cFakeServiceSlot service;
  cReceived received;
  cMsgClient client;
  client.Open(&received, &cReceived::Callback);
  // Once a message has come through, the reader is back in its read.
  ASSERT_TRUE(SendToTray(0, {MSG_SVC_SYSLOG, 1}));
  ASSERT_TRUE(received.WaitFor(1));
  auto started = std::chrono::steady_clock::now();
  client.Close();
  client.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kLongWaitMs));
}

TEST(MsgClientTest, AnEleventhProgramHasNoSlotAndRegistersAsTen) {
  cTempMachineRoot root;
  cFakeServiceSlot service;
  cReceived received;
  std::vector<std::unique_ptr<cMsgClient>> clients;
  for (int index = 0; index < 11; index++) {
    clients.push_back(std::make_unique<cMsgClient>());
    clients.back()->Open(&received, &cReceived::Callback);
  }
  EXPECT_EQ(clients[9]->SlotIndex(), 9);
  EXPECT_EQ(clients[10]->SlotIndex(), 10);
  clients[10]->Close();  // its reader ended at once: nothing to read from
}
