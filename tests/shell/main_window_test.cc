#include "shell/main_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/app_state.h"
#include "common/oplog.h"
#include "link/session.h"
#include "platform/ui.h"
#include "shell/config.h"
#include "shell/status_dialog.h"

namespace {

std::string read_file(const std::filesystem::path& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// The menu's commands only touch the run flag; the stop command flushes,
// logs, saves the widths it restored and quits the loop.
TEST(MainWindowTest, MenuCommandsTouchTheRunFlagAndStopSavesWidthsAndQuits) {
    const auto old_dir = std::filesystem::current_path();
    char pattern[] = "/tmp/main_window_test.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::filesystem::current_path(dir);
    ui_reset_for_test();
    dialog_reset_for_test();
    log_reset_for_test();
    ui_set_command_handler(main_window_command);
    set_stop_wait_for_test(0);

    run_flag.store(1);
    ui_post_command(kActivateCommandId);
    ui_post_command(kStopMenuCommandId);
    ui_post_quit(3);
    EXPECT_EQ(ui_run_message_loop(), 3);
    EXPECT_EQ(run_flag.load() + flush_request.load(), 0);
    EXPECT_FALSE(std::filesystem::exists("VELDRUM.INI"));  // nothing written

    std::ofstream("VELDRUM.INI") << "[VELDRUM]\nLOG=" << dir << "/log\n[-LISTBOX-]\nWidth=100,,50\n";
    log_init("./VELDRUM.INI");
    dialog_create("./VELDRUM.INI");
    ui_post_command(kStopCommandId);
    ui_post_command(kStopMenuCommandId);  // behind the quit message: not served
    EXPECT_EQ(ui_run_message_loop(), 0);
    EXPECT_EQ(flush_request.load() + closing.load(), 2);
    const std::string d = std::to_string(kDefaultColumnWidth);
    EXPECT_EQ(read_file("VELDRUM.INI"), "[VELDRUM]\nLOG=" + dir + "/log\n[-LISTBOX-]\nWidth=100," + d + ",50," + d +
                                            "," + d + "\n");
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/log")) log += read_file(entry.path());
    EXPECT_NE(log.find("  #STOP#\r\n"), std::string::npos);

    set_stop_wait_for_test(3000);
    ui_reset_for_test();
    dialog_reset_for_test();
    log_reset_for_test();
    std::filesystem::current_path(old_dir);
    std::filesystem::remove_all(dir);
    run_flag.store(0);
    flush_request.store(0);
    closing.store(0);
}

}  // namespace
