#include "platform/ui.h"
#include "platform/ui_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(UiTest, CommandsAndCallsRunInOrderOnTheLoopUntilQuit) {
    static std::vector<int> seen;  // written on the loop's thread only
    ui_reset_for_test();
    ui_set_command_handler([](int id) { seen.push_back(id); });
    std::atomic<bool> handled{false}, seen_after_send{false};
    ui_post_command(1);
    ui_post_call([] {  // sends from the loop's thread: a queued send would deadlock
        ui_send_command(2);
        seen.push_back(3);
    });
    std::thread sender([&] {
        ui_send_call([&] { handled = true; });
        seen_after_send = handled.load();  // a send returns only after its handler ran
        ui_post_quit(7);
        ui_post_command(4);  // behind the quit message: never served
    });
    EXPECT_EQ(ui_run_message_loop(), 7);
    sender.join();
    EXPECT_TRUE(seen_after_send);
    std::thread([] { ui_send_command(9); }).join();  // the loop has ended: no wait
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    ui_reset_for_test();
}

}  // namespace
