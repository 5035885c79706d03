#include "common/oplog.h"
#include "shell/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

time_t fake_now = 0;
time_t fake_clock() { return fake_now; }

class OplogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        log_reset_for_test();
        char pattern[] = "/tmp/oplog_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        ini_ = dir_ + "/VELDRUM.INI";
        log_dir_ = dir_ + "/log";
        fake_now = 1798761599;  // 2026-12-31 23:59:59 UTC
        log_set_clock_for_test(fake_clock);
    }
    void TearDown() override {
        log_reset_for_test();
        std::filesystem::remove_all(dir_);
    }
    void init(const std::string& log_value) {
        std::ofstream(ini_) << "[VELDRUM]\nLOG=" << log_value << "\n";
        log_init(ini_.c_str());
        log_set_clock_for_test(fake_clock);
    }
    std::string read(const std::string& name) {
        std::ifstream in(log_dir_ + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_, ini_, log_dir_;
};

TEST_F(OplogTest, LineFormatAndMidnightRollover) {
    init(log_dir_ + "/");  // a trailing separator gives the same files
    write_log_line("START");
    fake_now += 1;
    write_log_line("STOP");
    EXPECT_EQ(read("31122026.log"), "23:59:59 31.12.2026  #START#\r\n");
    EXPECT_EQ(read("01012027.log"), "00:00:00 01.01.2027  #STOP#\r\n");
}

TEST_F(OplogTest, ImmediateRepeatsAreWrittenOnceAndLongTextsCut) {
    init(log_dir_);
    const std::string long_text(10000, 'x');
    for (const char* t : {"A", "A", "A", "B", "A", "", ""}) write_log_line(t);
    write_log_linef("%s", "A");
    write_log_line(long_text.c_str());
    const char* line = "23:59:59 31.12.2026  #";
    std::string expected;
    for (const char* t : {"A", "B", "A", "", "", "A"}) expected += std::string(line) + t + "#\r\n";
    EXPECT_EQ(read("31122026.log"), expected + line + std::string(4095, 'x') + "#\r\n");
}

TEST_F(OplogTest, CyrillicIsWrittenInCodePage1251AndTheRestReplaced) {
    init(log_dir_);
    write_log_line("Станция подключена №1 Ёё");
    EXPECT_EQ(read("31122026.log"),
              "23:59:59 31.12.2026  #\xD1\xF2\xE0\xED\xF6\xE8\xFF \xEF\xEE\xE4\xEA\xEB\xFE\xF7"
              "\xE5\xED\xE0 \xB9"
              "1 \xA8\xB8#\r\n");
    EXPECT_EQ(utf8_to_cp1251("aЯ"), "a\xDF");
    EXPECT_EQ(utf8_to_cp1251("\xE2\x82\xAC"), "\x88");  // euro sign
    EXPECT_EQ(utf8_to_cp1251("\xE4\xB8\xAD"), "?");     // no cp1251 form
    EXPECT_EQ(utf8_to_cp1251("\xD0"), "?");             // cut sequence
    EXPECT_EQ(utf8_to_cp1251("\x80x"), "?x");           // stray continuation byte
}

TEST_F(OplogTest, WithoutLogKeyNothingIsCreated) {
    std::ofstream(ini_) << "[VELDRUM]\nLOG=\n";
    log_init(ini_.c_str());
    write_log_line("START");
    log_init((dir_ + "/missing.ini").c_str());
    write_log_line("START2");
    EXPECT_FALSE(std::filesystem::exists(log_dir_));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

}  // namespace
