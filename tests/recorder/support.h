// Shared fixtures of the recorder tests: a temporary data directory, a
// SQLite index made by db/make-sqlite-dsn.sh (ODBCINI/ODBCSYSINI point at
// the test's own files), roster set-up and sample blocks.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/block_format.h"
#include "link/channel_table.h"
#include "recorder/file_index.h"
#include "common/app_state.h"

namespace recorder_test {

// Waits up to 10 s for the index connection to reach the given state.
inline bool wait_connected(bool up) {
    for (int i = 0; i < 200; ++i) {
        if ((db_connected.load() == 1) == up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

inline std::string make_temp_dir() {
    char pattern[] = "/tmp/veldrum-recorder-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

inline void remove_tree(const std::string& dir) {
    if (dir.rfind("/tmp/veldrum-recorder-", 0) != 0) return;
    std::string command = "rm -rf '" + dir + "'";
    int rc = system(command.c_str());
    (void)rc;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

inline off_t size_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A sample block of channel c starting at whole second t with n samples
// value(i).
template <typename F>
std::vector<uint8_t> make_block(int c, time_t t, int n, F value) {
    std::vector<uint8_t> b(64 + 2 * n, 0);
    using namespace block_format;
    write_u16(&b[kType], kSampleBlock);
    write_u16(&b[kHeaderLength], 64);
    write_u16(&b[kDataLength], static_cast<uint16_t>(2 * n));
    b[kChannel] = static_cast<uint8_t>(c);
    struct tm tm {};
    gmtime_r(&t, &tm);
    b[kMinute] = static_cast<uint8_t>(tm.tm_min);
    b[kHour] = static_cast<uint8_t>(tm.tm_hour);
    b[kHundredths] = 0;
    b[kSecond] = static_cast<uint8_t>(tm.tm_sec);
    write_u16(&b[kYear], static_cast<uint16_t>(tm.tm_year + 1900));
    b[kDay] = static_cast<uint8_t>(tm.tm_mday);
    b[kMonth] = static_cast<uint8_t>(tm.tm_mon + 1);
    for (int i = 0; i < n; ++i) write_u16(&b[64 + 2 * i], static_cast<uint16_t>(value(i)));
    return b;
}

inline void set_roster_entry(int k, int channel, const char* name, double rate, int gain,
                             int event_only = 0) {
    RosterEntry& e = channel_roster[k];
    memset(&e, 0, sizeof e);
    e.channel = channel;
    snprintf(e.name, sizeof e.name, "%s", name);
    e.sample_rate = rate;
    e.gain = gain;
    e.event_only = event_only;
}

// Runs one query through its own connection and returns the rows, columns
// joined by '|'.
inline std::vector<std::string> query(const std::string& dsn, const std::string& sql) {
    std::vector<std::string> rows;
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT st = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (void*)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLRETURN rc = SQLConnect(dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)"KVR", SQL_NTS,
                              (SQLCHAR*)"QOR", SQL_NTS);
    if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
        rc = SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS);
        SQLSMALLINT cols = 0;
        if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) SQLNumResultCols(st, &cols);
        while (cols > 0 && SQL_SUCCEEDED(SQLFetch(st))) {
            std::string row;
            for (SQLSMALLINT c = 1; c <= cols; ++c) {
                char buf[512] = {0};
                SQLLEN ind = 0;
                SQLGetData(st, c, SQL_C_CHAR, buf, sizeof buf, &ind);
                if (c > 1) row += "|";
                row += ind == SQL_NULL_DATA ? "NULL" : buf;
            }
            rows.push_back(row);
        }
        SQLFreeHandle(SQL_HANDLE_STMT, st);
        SQLDisconnect(dbc);
    } else {
        rows.push_back("CONNECT FAILED");
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rows;
}

// One SQLite index "KVR" for the whole test process, made by
// db/make-sqlite-dsn.sh in a temporary directory. The data sources of the
// ODBCINI the process started with (the PostgreSQL one of the test run) are
// copied beside it, all but its own "KVR", so the environment is set once.
inline std::string index_dir() {
    static std::string dir = [] {
        std::string d = make_temp_dir();
        const char* given = getenv("ODBCINI");
        std::string original = given ? read_file(given) : "";
        std::string command = std::string("sh '") + VELDRUM_SOURCE_DIR +
                              "/db/make-sqlite-dsn.sh' '" + d + "' > '" + d + "/exports'";
        if (d.empty() || system(command.c_str()) != 0) return std::string();
        std::ofstream out(d + "/odbc.ini", std::ios::app);
        std::istringstream lines(original);
        std::string line;
        bool skip = false;
        while (std::getline(lines, line)) {
            if (!line.empty() && line[0] == '[') skip = line.rfind("[KVR]", 0) == 0;
            if (!skip) out << line << "\n";
        }
        setenv("ODBCINI", (d + "/odbc.ini").c_str(), 1);
        setenv("ODBCSYSINI", d.c_str(), 1);
        static std::string made = d;
        atexit([] { remove_tree(made); });
        return d;
    }();
    return dir;
}

}  // namespace recorder_test
