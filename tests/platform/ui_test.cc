#include "platform/ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<int> seen;  // written on the loop's thread only

void record(int id) { seen.push_back(id); }

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ui_reset_for_test();
        seen.clear();
        ui_set_command_handler(record);
    }
    void TearDown() override { ui_reset_for_test(); }
};

TEST_F(UiTest, PostedCommandsRunInOrderUntilQuit) {
    ui_post_command(1);
    ui_post_command(2);
    ui_post_quit(7);
    ui_post_command(3);  // behind the quit message: never served
    EXPECT_EQ(ui_run_message_loop(), 7);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST_F(UiTest, SendReturnsOnlyAfterTheHandlerHasRun) {
    std::atomic<bool> handled{false};
    std::atomic<bool> seen_after_send{false};
    std::thread sender([&] {
        ui_send_call([&] { handled = true; });
        seen_after_send = handled.load();
        ui_post_quit(0);
    });
    EXPECT_EQ(ui_run_message_loop(), 0);
    sender.join();
    EXPECT_TRUE(seen_after_send);
}

TEST_F(UiTest, SendOnTheUiThreadRunsAtOnce) {
    // The handler of a posted call sends again: a queued send would deadlock.
    ui_post_call([] {
        ui_send_command(5);
        seen.push_back(6);
        ui_post_quit(0);
    });
    ui_run_message_loop();
    EXPECT_EQ(seen, (std::vector<int>{5, 6}));
}

TEST_F(UiTest, SendAfterTheLoopEndedDoesNotBlock) {
    ui_post_quit(0);
    ui_run_message_loop();
    std::thread late([] { ui_send_command(9); });
    late.join();
    EXPECT_TRUE(seen.empty());
}

}  // namespace
