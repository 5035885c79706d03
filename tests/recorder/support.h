// Shared harness of the recorder tests: a temporary data directory, a SQLite
// index made by db/make-sqlite-dsn.sh (ODBCINI/ODBCSYSINI point at the
// test's own files), roster set-up and sample blocks.
#pragma once

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "link/block_format.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "recorder/file_index.h"
#include "recorder/ring_writer.h"

namespace recorder_test {

inline std::string make_temp_dir() {
    char pattern[] = "/tmp/veldrum-recorder-XXXXXX";
    return mkdtemp(pattern) ? pattern : "";
}

inline void remove_tree(const std::string& dir) {
    std::error_code ec;  // an empty name (a skipped test) removes nothing
    std::filesystem::remove_all(dir, ec);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline off_t size_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

inline bool exists(const std::string& path) { return size_of(path) >= 0; }

// A sample block of channel c starting at whole second t, samples value(i).
template <typename F>
std::vector<uint8_t> make_block(int c, time_t t, int n, F value) {
    using namespace block_format;
    std::vector<uint8_t> b(64 + 2 * n, 0);
    write_u16(&b[kType], kSampleBlock);
    write_u16(&b[kHeaderLength], 64);
    write_u16(&b[kDataLength], static_cast<uint16_t>(2 * n));
    struct tm tm {};
    gmtime_r(&t, &tm);
    b[kChannel] = c, b[kMinute] = tm.tm_min, b[kHour] = tm.tm_hour, b[kSecond] = tm.tm_sec;
    b[kDay] = tm.tm_mday, b[kMonth] = tm.tm_mon + 1;
    write_u16(&b[kYear], static_cast<uint16_t>(tm.tm_year + 1900));
    for (int i = 0; i < n; ++i) write_u16(&b[64 + 2 * i], static_cast<uint16_t>(value(i)));
    return b;
}

// The one place that writes roster fields; it also clears the writer's file.
inline void set_roster_entry(int k, int channel, const char* name, double rate, int gain,
                             int event_only = 0) {
    RosterEntry& e = channel_roster[k];
    memset(&e, 0, sizeof e);
    e.channel = channel;
    snprintf(e.name, sizeof e.name, "%s", name);
    e.sample_rate = rate;
    e.gain = gain;
    e.event_only = event_only;
    set_slot_event_only(channel, event_only);
    forget_ring_files();  // a new entry has no current file
}

// The one place that reads the writer's file fields: "name|start|seconds".
inline std::string current_file(int k) {
    const RingFile f = current_ring_file(k);
    return std::string(f.name) + "|" + std::to_string(static_cast<long>(f.start_time)) + "|" +
           std::to_string(static_cast<long>(f.duration));
}

// Runs one query on its own connection; the rows' columns joined by '|'.
inline std::vector<std::string> query(const std::string& dsn, const std::string& sql) {
    std::vector<std::string> rows;
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT st = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (void*)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSMALLINT cols = 0;
    if (!SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)"KVR", SQL_NTS,
                                  (SQLCHAR*)"QOR", SQL_NTS)))
        rows.push_back("CONNECT FAILED");
    else if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st)) &&
             SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS)))
        SQLNumResultCols(st, &cols);
    while (cols > 0 && SQL_SUCCEEDED(SQLFetch(st))) {
        std::string row;
        for (SQLSMALLINT c = 1; c <= cols; ++c) {
            char buf[512] = {0};
            SQLLEN ind = 0;
            SQLGetData(st, c, SQL_C_CHAR, buf, sizeof buf, &ind);
            row += (c > 1 ? "|" : "") + std::string(ind == SQL_NULL_DATA ? "NULL" : buf);
        }
        rows.push_back(row);
    }
    if (st != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, st);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rows;
}

// One SQLite index "KVR" for the whole test process. The data sources of the
// ODBCINI the process started with (the PostgreSQL one of the test run) are
// copied beside it, all but its own "KVR", so the environment is set once.
inline std::string index_dir() {
    static std::string dir = [] {
        std::string d = make_temp_dir(), given = getenv("ODBCINI") ? getenv("ODBCINI") : "";
        std::string command = "sh '" VELDRUM_SOURCE_DIR "/db/make-sqlite-dsn.sh' " + d +
                              " >/dev/null && { awk '/^\\[/ { skip = /^\\[KVR\\]/ } !skip' '" +
                              given + "' >> " + d + "/odbc.ini 2>/dev/null || true; }";
        if (d.empty() || system(command.c_str()) != 0) return std::string();
        setenv("ODBCINI", (d + "/odbc.ini").c_str(), 1);
        setenv("ODBCSYSINI", d.c_str(), 1);
        static std::string made = d;
        atexit([] { remove_tree(made); });
        return d;
    }();
    return dir;
}

constexpr time_t kT0 = 1084799107;  // 2004-05-17 13:05:07 UTC

// Station ABC, one roster entry (channel 3, SHZ, 100 sps, gain 3), a data
// directory and an emptied index `dsn`, connected.
class Harness : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(index_dir().empty());
        data = make_temp_dir();
        snprintf(config.data_dir, sizeof config.data_dir, "%s", data.c_str());
        snprintf(station_name, sizeof station_name, "ABC");
        config.use_gain = 1;
        for (int c = 0; c < kChannelCount; ++c) drain_channel(c);
        set_roster_entry(0, 3, "SHZ", 100.0, 3);
        roster_count = 1;
        query(dsn, "delete from filelist");
        query(dsn, "delete from eventlist");
        snprintf(config.data_source, sizeof config.data_source, "%s",
                 dsn == "KVR" ? "" : dsn.c_str());
        run_flag.store(1);
        start_database_thread();
        for (int i = 0; i < 200 && db_connected.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(db_connected.load(), 1) << dsn;
        wait_database_thread();
    }
    void TearDown() override {
        run_flag.store(0);  // a database thread still retrying ends
        wait_database_thread();
        close_database();
        remove_tree(data);
    }
    std::vector<std::string> rows(
        const std::string& sql = "select cpath,tbegin,tqty from filelist order by tbegin,cpath") {
        return query(dsn, sql);
    }
    std::string path(const std::string& relative) { return data + "/" + relative; }

    std::string data, dsn = "KVR";
};

}  // namespace recorder_test
