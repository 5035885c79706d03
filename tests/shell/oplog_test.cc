#include "common/oplog.h"
#include "common/oplog_testing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "shell/config.h"

namespace {

time_t fake_now = 0;

TEST(OplogTest, LinesRepeatsCodePageMidnightAndNoLogKey) {
    char pattern[] = "/tmp/oplog_test.XXXXXX";
    const std::string dir = mkdtemp(pattern), ini = dir + "/VELDRUM.INI";
    auto read = [&](const char* name) {
        std::ifstream in(dir + "/log/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    log_reset_for_test();
    std::ofstream(ini) << "[VELDRUM]\nLOG=" << dir << "/log/\n";  // the separator changes nothing
    log_init(ini.c_str());
    fake_now = 1798761599;  // 2026-12-31 23:59:59 UTC
    log_set_clock_for_test([] { return fake_now; });
    for (const char* t : {"A", "A", "B", "", ""}) write_log_line(t);
    write_log_linef("%s", "A");
    write_log_line(std::string(10000, 'x').c_str());
    fake_now += 1;
    write_log_line("STOP");
    std::string expected, line = "23:59:59 31.12.2026  #";  // immediate repeats are written once
    for (const char* t : {"A", "B", "", "", "A"}) expected += line + t + "#\r\n";
    EXPECT_EQ(read("31122026.log"), expected + line + std::string(4095, 'x') + "#\r\n");
    EXPECT_EQ(read("01012027.log"), "00:00:00 01.01.2027  #STOP#\r\n");
    const std::pair<const char*, const char*> cp1251[] = {
        {"aЯ №Ёё", "a\xDF \xB9\xA8\xB8"},
        {"\xE2\x82\xAC", "\x88"},  // euro sign
        {"\xE4\xB8\xAD", "?"},
        {"\xD0", "?"},
        {"\x80x", "?x"},  // no cp1251 form, cut, stray
    };
    for (auto [in, out] : cp1251) EXPECT_EQ(utf8_to_cp1251(in), out) << in;

    log_reset_for_test();
    std::filesystem::remove_all(dir + "/log");
    std::ofstream(ini) << "[VELDRUM]\nLOG=\n";  // without the key nothing is created
    log_init(ini.c_str());
    write_log_line("START");
    log_init((dir + "/missing.ini").c_str());
    write_log_line("START2");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    log_reset_for_test();
    std::filesystem::remove_all(dir);
}

}  // namespace
