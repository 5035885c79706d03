// What the recorder writes to the operation log (cp1251 on disk).
#include <dirent.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include "recorder/recorder_pass.h"
#include "recorder/ring_writer.h"
#include "common/oplog.h"
#include "shell/config.h"
#include "support.h"

using namespace recorder_test;

namespace {

std::string cp1251(const std::string& utf8) {
    iconv_t cd = iconv_open("CP1251", "UTF-8");
    std::string out(utf8.size(), '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* o = out.data();
    size_t out_left = out.size();
    iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return out;
}

std::string whole_log(const std::string& dir) {
    std::string all;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
        if (strstr(e->d_name, ".log")) all += read_file(dir + "/" + e->d_name);
    if (d) closedir(d);
    return all;
}

TEST(RecorderLog, FailedOpenAndBufferEdge) {
    std::string dir = make_temp_dir();
    std::ofstream(dir + "/VELDRUM.INI") << "[VELDRUM]\nLOG=" << dir << "/\n";
    log_init((dir + "/VELDRUM.INI").c_str());

    snprintf(config.data_dir, sizeof config.data_dir, "%s/missing", dir.c_str());
    snprintf(station_name, sizeof station_name, "ABC");
    set_roster_entry(7, 1, "SHZ", 100.0, 0);
    std::vector<uint8_t> piece(502 * 100, 0);
    write_piece(piece.data(), piece.size(), 1084799107, 1, 7);

    uint8_t small[4];
    auto b = make_block(0, 1084799107, 3, [](int i) { return i; });
    place_samples(sizeof small, 1084799107, small, 1084799107, b.data(), 1.0, 3);

    std::string log = whole_log(dir);
    EXPECT_NE(log.find(cp1251("#Ошибка открытия файла '" + dir +
                              "/missing/13/130507-17052004-SHZ.ABC'#")),
              std::string::npos)
        << log;
    // Logged once per sample, but the log writes an immediate repeat once.
    std::string edge = cp1251("#Выход за пределы буфера#");
    size_t at = log.find(edge);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(log.find(edge, at + 1), std::string::npos);
    remove_tree(dir);
}

}  // namespace
