#include "recorder/file_index.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/oplog.h"
#include "common/station_context.h"
#include "common/stop_token.h"
#include "recorder/file_index_testing.h"
#include "recorder/odbc_statement.h"

namespace {

// Written by the database thread once the handles are set, read by the
// recorder thread before it uses them.
std::atomic<uint8_t> db_connected{0};
// The station whose index this is; set before the first database thread.
std::atomic<const StationContext*> station{nullptr};

// A quoted value may take twice its length, so the text buffer is larger
// than the longest unquoted statement needs.
constexpr size_t kStatementSize = 1024;
constexpr size_t kValueSize = 520;  // a 255-character cpath, quotes doubled
constexpr int kMaxOldest = 10;
// Passes on which a live database may refuse an event before it is given up.
constexpr int kEventAttempts = 3;

OdbcConnection connection;

// Handle of the newest database thread; replaced by a reset (recorder
// thread) and joined at the orderly stop.
std::mutex thread_mutex;
std::thread database_thread;
// Wakes the retry pauses once the run flag is cleared; a fresh one for a
// thread started after a stop (tests start and stop it many times).
std::unique_ptr<StopToken> database_stop = std::make_unique<StopToken>();

void show_connected(bool connected) { station.load()->status.database_state(connected); }

void database_thread_main(const StopToken* stop) {
    for (;;) {
        if (run_flag.load() == 0 || stop->requested()) {
            if (db_connected.load() == 1) connection.disconnect();
            return;
        }
        if (db_connected.load() == 1) {
            show_connected(true);
            write_log_line("БД подключена");
            return;
        }
        show_connected(false);
        connection.disconnect();
        const OdbcConnect outcome = connection.connect(station.load()->config);
        if (outcome == OdbcConnect::kNoEnvironment) {
            stop->wait_for(std::chrono::milliseconds(1000));
            continue;
        }
        if (outcome != OdbcConnect::kConnected) {
            write_log_line("Ошибка подключения к БД");
            stop->wait_for(std::chrono::milliseconds(2000));
            continue;
        }
        db_connected.store(1);
        show_connected(true);
        write_log_line("БД подключена");
        return;
    }
}

void launch_database_thread() {
    std::lock_guard<std::mutex> guard(thread_mutex);
    // The previous thread has ended or is about to: it ends once connected,
    // and a reset only follows a connection.
    if (database_thread.joinable()) database_thread.join();
    if (database_stop->requested()) database_stop = std::make_unique<StopToken>();
    database_thread = std::thread(database_thread_main, database_stop.get());
}

void reset_connection() {
    db_connected.store(0);
    launch_database_thread();
}

Metrics& counters() { return station.load()->metrics; }

struct Outcome {
    bool ok = false;
    bool lost = false;  // the connection is gone (only looked at on failure)
};

// Runs one statement: on success `read` may bind and fetch; on failure the
// driver's message is logged. The handle is dropped before this returns.
Outcome run_statement(const char* text, Accept accept,
                      const std::function<void(OdbcStatement&)>& read = nullptr) {
    Outcome out;
    OdbcStatement statement(connection);
    out.ok = statement.execute(text, accept);
    if (out.ok) {
        if (read) read(statement);
        return out;
    }
    bump(counters().statements_failed);
    out.lost = !statement.allocated() || connection.lost(statement.log_error());
    return out;
}

// A text that does not fit is never sent cut short.
void log_too_long() { write_log_line("Ошибка: запрос к БД не помещается в буфер"); }

// Path with backslashes as "/", as cpath keeps it.
void slash_path(const char* path, char* out, size_t size) {
    snprintf(out, size, "%s", path);
    for (char* p = out; *p; ++p)
        if (*p == '\\') *p = '/';
}

int fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

}  // namespace

int quote_sql(const char* text, char* out, size_t size) {
    size_t j = 0;
    for (const char* p = text; *p; ++p) {
        size_t need = *p == '\'' ? 2 : 1;
        if (j + need >= size) {
            if (size > 0) out[0] = '\0';
            return 0;
        }
        out[j++] = *p;
        if (*p == '\'') out[j++] = '\'';
    }
    if (size == 0) return 0;
    out[j] = '\0';
    return 1;
}

int format_register_delete(char* out, size_t size, const char* path) {
    char p[kValueSize];
    if (!quote_sql(path, p, sizeof p)) return 0;
    return fits(snprintf(out, size, "delete from filelist where cpath='%s'", p), size);
}

int format_register_insert(char* out, size_t size, const char* station, long tbegin, long tqty,
                           int sps, int gain, const char* path, const char* channel, int datatype) {
    char s[kValueSize], p[kValueSize], c[kValueSize];
    if (!quote_sql(station, s, sizeof s) || !quote_sql(path, p, sizeof p) ||
        !quote_sql(channel, c, sizeof c))
        return 0;
    return fits(
        snprintf(out, size,
                 "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
                 "values ('%s', %ld, %ld, %d, %d,'%s','%s', %d,'VELDRUM')",
                 s, tbegin, tqty, sps, gain, p, c, datatype),
        size);
}

int format_extend_count(char* out, size_t size, const char* path) {
    char p[kValueSize];
    if (!quote_sql(path, p, sizeof p)) return 0;
    return fits(snprintf(out, size, "select count(*) from filelist where cpath='%s'", p), size);
}

int format_extend_update(char* out, size_t size, long tqty, const char* path, const char* station,
                         const char* channel) {
    char s[kValueSize], p[kValueSize], c[kValueSize];
    if (!quote_sql(station, s, sizeof s) || !quote_sql(path, p, sizeof p) ||
        !quote_sql(channel, c, sizeof c))
        return 0;
    return fits(snprintf(out, size,
                         "update filelist set tqty=%ld where cpath='%s' and sta='%s' and ch='%s'",
                         tqty, p, s, c),
                size);
}

int format_event_insert(char* out, size_t size, const char* station, long tbegin, int event_type) {
    char s[kValueSize];
    if (!quote_sql(station, s, sizeof s)) return 0;
    return fits(
        snprintf(out, size, "insert into eventlist (sta,tbegin,event_type)  values ('%s', %ld, %d)",
                 s, tbegin, event_type),
        size);
}

// The trimming's statements name the station, so that stations sharing one
// index never count, list or delete each other's rows.
int format_unregister(char* out, size_t size, const char* cpath, const char* station) {
    char p[kValueSize], s[kValueSize];
    if (!quote_sql(cpath, p, sizeof p) || !quote_sql(station, s, sizeof s)) return 0;
    return fits(snprintf(out, size, "delete  from filelist where cpath='%s' and sta='%s'", p, s),
                size);
}

namespace {
// A statement whose one value is the quoted station name.
int format_for_station(char* out, size_t size, const char* format, const char* station) {
    char s[kValueSize];
    if (!quote_sql(station, s, sizeof s)) return 0;
    return fits(snprintf(out, size, format, s), size);
}
}  // namespace

int format_ring_size(char* out, size_t size, const char* station) {
    return format_for_station(out, size,
                              "select sum(sps*tqty*4+512) as DLSize from filelist where tqty>0. "
                              "and creater='VELDRUM' and sta='%s'",
                              station);
}

int format_oldest_files(char* out, size_t size, const char* station) {
    return format_for_station(
        out, size,
        "select cpath from filelist where creater='VELDRUM' and sta='%s' order by tbegin", station);
}

void start_database_thread(const StationContext& context) {
    station.store(&context);
    launch_database_thread();
}

bool index_connected() { return db_connected.load() != 0; }

void set_index_connected_for_test(bool connected) { db_connected.store(connected ? 1 : 0); }

void wait_database_thread() {
    std::lock_guard<std::mutex> guard(thread_mutex);
    if (database_thread.joinable()) database_thread.join();
}

void stop_database_thread() {
    std::lock_guard<std::mutex> guard(thread_mutex);
    database_stop->request();
    if (database_thread.joinable()) database_thread.join();
}

void close_database() {
    db_connected.store(0);
    connection.disconnect();
}

void register_file(const FileRow& row) {
    if (db_connected.load() == 0) return;
    char cpath[kValueSize];
    slash_path(row.path, cpath, sizeof cpath);
    char text[kStatementSize];
    if (!format_register_delete(text, sizeof text, cpath)) return log_too_long();
    // The insert is not tried after a failed delete.
    if (!run_statement(text, Accept::kOnlySuccess).ok) return reset_connection();
    if (!format_register_insert(text, sizeof text, row.station, row.tbegin, row.tqty, row.sps,
                                row.gain, cpath, row.channel, row.datatype))
        return log_too_long();
    if (!run_statement(text, Accept::kOnlySuccess).ok) return reset_connection();
    bump(counters().rows_written);
}

void extend_file(const FileRow& row) {
    if (db_connected.load() == 0) return;
    char cpath[kValueSize];
    slash_path(row.path, cpath, sizeof cpath);
    char text[kStatementSize];
    if (!format_extend_count(text, sizeof text, cpath)) return log_too_long();
    // The count and the update only log their failures: no reset.
    SQLINTEGER count = 0;
    bool counted =
        run_statement(text, Accept::kOnlySuccess, [&](OdbcStatement& statement) {
            SQLLEN indicator = 0;
            statement.bind(1, SQL_C_LONG, &count, sizeof count, &indicator);
            SQLRETURN rc = statement.fetch();
            if ((rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) || indicator == SQL_NULL_DATA)
                count = 0;
        }).ok;
    if (!counted) return;
    if (count <= 0) {
        FileRow whole = row;
        whole.path = cpath;
        return register_file(whole);
    }
    if (!format_extend_update(text, sizeof text, row.tqty, cpath, row.station, row.channel))
        return log_too_long();
    if (run_statement(text, Accept::kOnlySuccess).ok) bump(counters().rows_written);
}

namespace {

// Logs an event that is given up, by its type and time.
void log_event_given_up(const EventEntry& event) {
    CalendarTime t{};
    calendar_from_seconds(event.event_time, &t);
    write_log_linef("Событие не записано в БД: тип %d, %02d:%02d:%02d %02d.%02d.%04d",
                    event.event_type, t.hour, t.minute, int(t.second), t.day, t.month, t.year);
}

}  // namespace

void register_events(const char* station, EventEntry* events, int count) {
    for (int i = 0; i < count; ++i) {
        if (db_connected.load() == 0) return;
        // The decoder may replace an entry while its insert runs: the
        // statement works on a copy, and the outcome is noted only on the
        // entry it was made for.
        EventEntry event;
        {
            auto lock = lock_event_table();
            event = events[i];
        }
        if (event.event_type <= 0 || event.stored != 0) continue;
        char text[kStatementSize];
        bool stored = true, lost = false;
        if (!format_event_insert(text, sizeof text, station, event.event_time, event.event_type)) {
            log_too_long();  // it never fits: do not try it every pass
        } else {
            Outcome insert = run_statement(text, Accept::kWithInfo);
            stored = insert.ok;
            if (insert.ok) bump(counters().rows_written);
            lost = !insert.ok && insert.lost;
        }
        // Lost connection: the event waits for the reconnection. Refused by a
        // live database: tried on a few passes, then given up, so that it
        // never holds back the other events or the rest of the pass.
        if (lost) return reset_connection();
        auto lock = lock_event_table();
        EventEntry& entry = events[i];
        if (entry.event_time != event.event_time || entry.event_type != event.event_type ||
            entry.stored != 0)
            continue;
        if (!stored && ++entry.attempts >= kEventAttempts) {
            log_event_given_up(entry);
            stored = true;
        }
        entry.stored = stored ? 1 : 0;
    }
}

int unregister_file(const char* cpath, const char* station) {
    if (db_connected.load() == 0) return 0;
    char text[kStatementSize];
    if (!format_unregister(text, sizeof text, cpath, station)) {
        log_too_long();
        return 0;
    }
    if (run_statement(text, Accept::kWithInfoOrNoData).ok) return 1;
    reset_connection();
    return 0;
}

uint64_t ring_size(const char* station) {
    if (db_connected.load() == 0) return 0;
    char text[kStatementSize];
    if (!format_ring_size(text, sizeof text, station)) {
        log_too_long();
        return 0;
    }
    double sum = 0;
    SQLLEN indicator = 0;
    SQLRETURN fetched = SQL_ERROR;
    bool ok = run_statement(text, Accept::kWithInfo, [&](OdbcStatement& statement) {
                  statement.bind(1, SQL_C_DOUBLE, &sum, sizeof sum, &indicator);
                  fetched = statement.fetch();
              }).ok;
    if (!ok) {
        reset_connection();
        return 0;
    }
    if (fetched != SQL_SUCCESS || indicator == SQL_NULL_DATA || !(sum > 0) || !std::isfinite(sum))
        return 0;
    if (sum >= 1.8e19) return UINT64_MAX;
    return static_cast<uint64_t>(sum);
}

bool oldest_files(const char* station, std::vector<std::string>* paths) {
    paths->clear();
    if (db_connected.load() == 0) return false;
    char text[kStatementSize];
    if (!format_oldest_files(text, sizeof text, station)) {
        log_too_long();
        return false;
    }
    bool ok = run_statement(text, Accept::kWithInfo, [&](OdbcStatement& statement) {
                  char cpath[256];
                  SQLLEN indicator = 0;
                  statement.bind(1, SQL_C_CHAR, cpath, sizeof cpath, &indicator);
                  while (static_cast<int>(paths->size()) < kMaxOldest) {
                      cpath[0] = '\0';
                      SQLRETURN rc = statement.fetch();
                      if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
                      cpath[sizeof cpath - 1] = '\0';
                      if (indicator == SQL_NULL_DATA) cpath[0] = '\0';
                      paths->push_back(cpath);
                  }
              }).ok;
    if (!ok) reset_connection();
    return ok;
}
