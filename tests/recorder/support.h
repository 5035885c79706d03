// Shared harness of the recorder tests: a temporary data directory, a SQLite index made by
// db/make-sqlite-dsn.sh (ODBCINI/ODBCSYSINI point at the test's own files), sample blocks.
#pragma once

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/app_state.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "recorder/file_index.h"
#include "recorder/recorder_pass.h"
#include "recorder/ring_writer.h"
#include "tests/link/link_blocks.h"

namespace recorder_test {

using Rows = std::vector<std::string>;
inline std::string make_temp_dir() {
    char pattern[] = "/tmp/veldrum-test-XXXXXX";
    return mkdtemp(pattern) ? pattern : "";
}
inline std::string read_file(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}
inline off_t size_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}
inline bool exists(const std::string& path) { return size_of(path) >= 0; }

// The one place that writes roster fields: entry k of a roster published at
// once and taken up by the recorder (so every channel starts a new file).
inline std::vector<RosterEntry> test_roster;
inline void set_roster_entry(const StationContext& station, int k, int channel, const char* name,
                             double rate, int gain, int event_only = 0) {
    if (test_roster.size() <= size_t(k)) test_roster.resize(size_t(k) + 1);
    RosterEntry& e = test_roster[size_t(k)];
    memset(&e, 0, sizeof e);
    snprintf(e.name, sizeof e.name, "%s", name);
    e.channel = channel, e.sample_rate = rate, e.gain = gain, e.event_only = event_only;
    publish_roster(test_roster), take_up_new_rosters(station);
}

// The one place that reads the writer's file fields: "name|start|seconds".
inline std::string current_file(int k) {
    const RingFileState f = current_ring_file(current_roster()->entries[size_t(k)].channel);
    return std::string(f.name) + "|" + std::to_string(long(f.start_time)) + "|" +
           std::to_string(long(f.duration));
}

// Runs one query on its own connection; the rows' columns joined by '|'.
inline Rows query(const std::string& dsn, const std::string& sql) {
    Rows rows;
    SQLHANDLE env, dbc, st = SQL_NULL_HSTMT;
    SQLSMALLINT cols = 0;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (void*)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)"KVR", SQL_NTS,
                                  (SQLCHAR*)"QOR", SQL_NTS)))
        rows.push_back("CONNECT FAILED");
    else if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st)) &&
             SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS)))
        SQLNumResultCols(st, &cols);
    for (std::string row; cols > 0 && SQL_SUCCEEDED(SQLFetch(st)); rows.push_back(row), row = "")
        for (SQLSMALLINT c = 1; c <= cols; ++c) {
            char buf[512] = {0};
            SQLLEN ind = 0;
            SQLGetData(st, c, SQL_C_CHAR, buf, sizeof buf, &ind);
            row += (c > 1 ? "|" : "") + std::string(ind == SQL_NULL_DATA ? "NULL" : buf);
        }
    if (st != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, st);
    SQLDisconnect(dbc), SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rows;
}

// The SQLite index "KVR" in dir, beside the other data sources of the ODBCINI the process
// started with (the run's PostgreSQL one).
inline bool make_index(const std::string& dir) {
    static const std::string given = getenv("ODBCINI") ? getenv("ODBCINI") : "";
    const std::string command = "sh '" VELDRUM_SOURCE_DIR "/db/make-sqlite-dsn.sh' " + dir +
                                " >/dev/null && { awk '/^\\[/ { skip = /^\\[KVR\\]/ } !skip' '" +
                                given + "' >> " + dir + "/odbc.ini 2>/dev/null || true; }";
    return !dir.empty() && system(command.c_str()) == 0;
}

// One index per process, so the environment is set once.
inline std::string index_dir() {
    static std::string dir = [] {
        std::string d = make_temp_dir();
        if (!make_index(d)) return std::string();
        setenv("ODBCINI", (d + "/odbc.ini").c_str(), 1), setenv("ODBCSYSINI", d.c_str(), 1);
        static std::string made = d;
        atexit([] { std::error_code ec; std::filesystem::remove_all(made, ec); });
        return d;
    }();
    return dir;
}

constexpr time_t kT0 = 1084799107;  // 2004-05-17 13:05:07 UTC

// Station ABC, roster entry SHZ (channel 3, 100 sps, gain 3), a data directory, index `dsn`.
class Harness : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(index_dir().empty());
        data = make_temp_dir();
        snprintf(config.data_dir, sizeof config.data_dir, "%s", data.c_str());
        snprintf(config.data_source, sizeof config.data_source, "%s",
                 dsn == "KVR" ? "" : dsn.c_str());
        snprintf(station.station_name, sizeof station.station_name, "ABC");
        for (int c = 0; c < kChannelCount; ++c) drain_channel(c);
        test_roster.clear(), set_roster_entry(station, 0, 3, "SHZ", 100.0, 3);
        config.use_gain = 1;
        rows("delete from filelist"), rows("delete from eventlist");
        run_flag.store(1);
        start_database_thread(station);
        for (int i = 0; i < 200 && !index_connected(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(index_connected()) << dsn;
        wait_database_thread();
    }
    void TearDown() override {
        run_flag.store(0);  // a database thread still retrying ends
        wait_database_thread(), close_database();
        std::error_code ec;  // an empty name (a skipped test) removes nothing
        std::filesystem::remove_all(data, ec);
    }
    Rows rows(const std::string& sql = "select cpath,tbegin,tqty from filelist order by tbegin") {
        return query(dsn, sql);
    }
    std::string path(const std::string& relative) { return data + "/" + relative; }
    std::string data, dsn = "KVR";
    StationContext station;
    Config& config = station.config;
};

}  // namespace recorder_test
