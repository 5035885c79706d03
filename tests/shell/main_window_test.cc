#include "shell/main_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/session.h"
#include "platform/ui.h"
#include "common/app_state.h"
#include "common/oplog.h"
#include "shell/config.h"
#include "shell/status_dialog.h"

namespace {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_dir_ = std::filesystem::current_path();
        char pattern[] = "/tmp/main_window_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        std::filesystem::current_path(dir_);
        ui_reset_for_test();
        dialog_reset_for_test();
        log_reset_for_test();
        ui_set_command_handler(main_window_command);
        set_stop_wait_for_test(0);
    }
    void TearDown() override {
        set_stop_wait_for_test(3000);
        ui_reset_for_test();
        dialog_reset_for_test();
        log_reset_for_test();
        std::filesystem::current_path(old_dir_);
        std::filesystem::remove_all(dir_);
        run_flag.store(0);
        flush_request.store(0);
        closing.store(0);
    }
    std::filesystem::path old_dir_;
    std::string dir_;
};

TEST_F(MainWindowTest, StopCommandFlushesLogsSavesWidthsAndQuits) {
    std::ofstream("VELDRUM.INI") << "[VELDRUM]\nLOG=" << dir_
                                 << "/log\n[-LISTBOX-]\nWidth=100,,50\n";
    log_init("./VELDRUM.INI");
    dialog_create("./VELDRUM.INI");
    ui_post_command(kStopCommandId);
    ui_post_command(kStopMenuCommandId);  // behind the quit message: not served
    EXPECT_EQ(ui_run_message_loop(), 0);
    EXPECT_EQ(flush_request.load(), 1);
    EXPECT_EQ(closing.load(), 1);
    const int d = kDefaultColumnWidth;
    std::string widths =
        "100," + std::to_string(d) + ",50," + std::to_string(d) + "," + std::to_string(d);
    EXPECT_EQ(read_file("VELDRUM.INI"),
              "[VELDRUM]\nLOG=" + dir_ + "/log\n[-LISTBOX-]\nWidth=" + widths + "\n");
    bool found_stop = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/log"))
        found_stop = read_file(entry.path()).find("  #STOP#\r\n") != std::string::npos;
    EXPECT_TRUE(found_stop);
}

TEST_F(MainWindowTest, MenuCommandsOnlyTouchTheRunFlag) {
    run_flag.store(1);
    ui_post_command(kActivateCommandId);
    ui_post_command(kStopMenuCommandId);
    ui_post_quit(3);
    EXPECT_EQ(ui_run_message_loop(), 3);
    EXPECT_EQ(run_flag.load(), 0);
    EXPECT_EQ(flush_request.load(), 0);
    EXPECT_FALSE(std::filesystem::exists("VELDRUM.INI"));  // nothing written
}

}  // namespace
