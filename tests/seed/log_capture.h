// Points the operation log at a fresh directory and reads back what the
// code under test wrote there (the log is cp1251 on disk).
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/oplog.h"
#include "common/oplog_testing.h"

struct LogCapture {
    std::string dir;
    LogCapture() {
        char tmpl[] = "/tmp/seed-log-XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/tmp";
        log_reset_for_test();
        log_open((dir + "/log").c_str());
    }
    ~LogCapture() {
        log_reset_for_test();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string text() const {
        std::ostringstream all;
        std::error_code ec;
        for (const auto& f : std::filesystem::directory_iterator(dir + "/log", ec))
            all << std::ifstream(f.path(), std::ios::binary).rdbuf();
        return all.str();
    }
    bool has(const char* utf8) const { return text().find(utf8_to_cp1251(utf8)) != std::string::npos; }
};
