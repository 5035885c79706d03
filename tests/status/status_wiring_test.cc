// The server as start-up starts it: settings from VELDRUM.INI, commands
// carried to the UI thread's real message loop.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "shell/status_server.h"
#include "platform/ui.h"
#include "common/app_state.h"
#include "shell/status_dialog.h"

namespace {

std::atomic<int> last_command{0};

void on_command(int id) { last_command.store(id); }

// A port that was free a moment ago.
int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST(StatusWiring, CommandsReachTheUiThread) {
    ui_reset_for_test();
    dialog_reset_for_test();
    std::strcpy(station_name, "ABC");
    run_flag.store(1);
    flush_request.store(0);
    dialog_create(nullptr);
    ui_set_command_handler(on_command);

    char dir[] = "/tmp/veldrum-wiring-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string ini = std::string(dir) + "/VELDRUM.INI";
    int port = free_port();
    FILE* f = std::fopen(ini.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "[VELDRUM]\nHTTP=127.0.0.1:%d\n", port);
    std::fclose(f);

    std::thread loop([] { ui_run_message_loop(); });
    ui_send_call([] {});  // the loop is serving
    ASSERT_EQ(start_status_server(ini.c_str()), 1);

    httplib::Client c("127.0.0.1", port);
    httplib::Headers own = {{"Origin", "http://127.0.0.1:" + std::to_string(port)}};
    auto r = c.Post("/api/flush", own, "{}", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    ui_send_call([] {});  // every earlier post has run
    EXPECT_EQ(flush_request.load(), 1);
    EXPECT_FALSE(dialog_snapshot()->flush_enabled);

    r = c.Post("/api/stop", own, "{}", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    ui_send_call([] {});
    // The stop goes to the main window like the tray menu's and the signals'.
    EXPECT_EQ(last_command.load(), kStopMenuCommandId);
    run_flag.store(1);  // the recorder answers before it sends the stop command
    ui_send_call([] { dialog_tick(); });
    EXPECT_TRUE(dialog_snapshot()->stopping);

    stop_status_server();
    ui_post_quit(0);
    loop.join();
    ui_reset_for_test();
    dialog_reset_for_test();
    std::remove(ini.c_str());
    rmdir(dir);
}

}  // namespace
