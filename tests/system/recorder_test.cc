// The ring recorder end to end: ring files and index rows read back.
#include <sys/stat.h>

#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

const std::string pg_dsn = getenv("VELDRUM_TEST_PG_DSN") ? getenv("VELDRUM_TEST_PG_DSN") : "";

// Ten minutes of four channels, all still queued at the stop (far more than
// one pass takes), are written whole by it; on PostgreSQL in its pass.
TEST(RecorderSystem, QueuedRunIsRecordedWholeAndIndexedAtTheStop) {
    Station s('R');
    s.dsn = pg_dsn.empty() ? s.dsn : pg_dsn;
    const std::string mine = " where sta='" + s.name + "'";
    auto clean = [&] {
        s.rows("delete from filelist" + mine), s.rows("delete from eventlist" + mine);
    };
    clean();
    const long long start = 1084802370, seconds = 600;  // 2004-05-17 13:59:30 UTC
    const std::pair<std::string, int> channels[] = {
        {"SHZ", 100}, {"S'Z", 50}, {"SHE", 20}, {"EHZ", 200}};
    s.start_sim({"--channels", "SHZ:100:0:3,S'Z:50:0,SHE:20:0,EHZ:200:7", "--fast", "--start",
                 to_string(start), "--seconds", to_string(seconds), "--event-every", "10"});
    s.start_veldrum({"FLUSH=300"});
    ASSERT_TRUE(s.wait_sim("stationsim: " + to_string(seconds) + " seconds sent", 30000));
    sleep(1);
    EXPECT_TRUE(s.files().empty()) << "a pass ran before the stop";
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    const std::vector<RingFile> files = s.files();
    for (int i = 0; i < 4; ++i)
        expect_channel(files, channels[i].first, channels[i].second, i, start, seconds);
    // The header's layout and names are the writer's own tests; here what
    // the announcement and the station's name put in it.
    for (const RingFile& f : files) {
        const std::string gain = f.channel == "SHZ" ? "3" : "0";
        EXPECT_TRUE(f.duration > 0 && f.duration <= f.seconds()) << f.relative;
        EXPECT_NE(f.header.find("Gain=" + gain + "\r\nStation=" + s.name + "\r\n"),
                  std::string::npos)
            << f.header;
    }
    expect_rows_match(s, files);
    // Gain code 3 is 8 in the index; the quote broke no statement.
    const auto kinds = s.rows("select distinct ch,gain,creater from filelist" + mine);
    EXPECT_EQ(std::set<std::string>(kinds.begin(), kinds.end()),
              (std::set<std::string>{"SHZ|8|VELDRUM", "S'Z|1|VELDRUM", "SHE|1|VELDRUM",
                                     "EHZ|1|VELDRUM"}));
    EXPECT_EQ(count(s.log(), "rror") + count(s.log(), "Ошибка"), 0u) << s.log();
    std::vector<std::string> events;
    for (long long t = start + 10; t < start + seconds; t += 10)
        events.push_back(to_string(t) + "|1");
    EXPECT_EQ(s.rows("select tbegin,event_type from eventlist" + mine + " order by tbegin"),
              events);
    clean();
}

// Two stations on one index trim only their own oldest files; b's events,
// refused by a trigger, hold back neither its files nor its trimming.
TEST(RecorderSystem, TwoStationsOnOneIndexTrimTheirOwnRings) {
    Station a('M'), b('N');
    auto clean = [&] {
        for (Station* s : {&a, &b}) s->rows("delete from filelist where sta='" + s->name + "'");
        a.rows("drop trigger if exists refuse_events on eventlist");
    };
    if (pg_dsn.empty()) {
        for (const char* f : {"/odbc.ini", "/odbcinst.ini"})
            Station::write(b.dir + f, read_file(a.dir + f));
        a.rows("create trigger refuse_events before insert on eventlist when new.sta='" + b.name +
               "' begin select raise(abort, 'events refused'); end");
    } else {
        a.dsn = b.dsn = pg_dsn;
        clean();
        a.rows(
            "create or replace function refuse_events() returns trigger as $$ begin if new.sta='" +
            b.name +
            "' then raise exception 'events refused'; end if; return new; end $$ "
            "language plpgsql");
        a.rows(
            "create trigger refuse_events before insert on eventlist for each row execute "
            "function refuse_events()");
    }
    const long long limit = 1048576, start = 1084800000, seconds = 900;
    for (Station* s : {&a, &b}) {
        s->veldrum_keys["SIZEMB"] = "1";
        s->start_sim({"--channels", "SHZ:200:0,SHN:200:0,SHE:200:0,SHX:200:0", "--fast", "--start",
                      to_string(start), "--seconds", to_string(seconds), "--event-every",
                      s == &b ? "30" : "0"});
        s->start_veldrum({"FLUSH=5"});
    }
    auto small_and_whole = [&](const Station& s) {
        return s.number("select sum(sps*tqty*4+512)" + s.own() + " and tqty>0") < limit &&
               s.number("select count(*)" + s.own() +
                        " and tbegin+tqty=" + to_string(start + seconds));
    };
    std::map<std::string, long long> seen[2];  // every file seen while it runs, by start
    auto trimmed_to_the_end = [&] {
        for (int i = 0; i < 2; ++i)
            for (const RingFile& f : (i ? b : a).files()) seen[i][f.relative] = f.start;
        return small_and_whole(a) && small_and_whole(b);
    };
    ASSERT_TRUE(wait_until(trimmed_to_the_end, 180000)) << a.log() << b.log();
    ASSERT_EQ(a.stop_veldrum(), 0) << a.log();
    ASSERT_EQ(b.stop_veldrum(), 0) << b.log();
    // Each refused event is given up once, by name, and never stored.
    EXPECT_EQ(b.number("select count(*) from eventlist where sta='" + b.name + "'"), 0);
    const size_t given_up = b.log_count("#Событие не записано в БД: тип 1, ");
    EXPECT_TRUE(given_up > 0 && given_up <= seconds / 30) << b.log();
    for (int i = 0; i < 2; ++i) {
        const Station& s = i ? b : a;
        const std::vector<RingFile> files = s.files();
        EXPECT_TRUE(small_and_whole(s));
        expect_rows_match(s, files);
        long long oldest_left = LLONG_MAX;
        for (const RingFile& f : files)
            oldest_left = std::min(oldest_left, f.start), seen[i].erase(f.relative);
        EXPECT_GT(seen[i].size(), 0u) << "nothing trimmed";
        for (const auto& [name, t] : seen[i]) EXPECT_LE(t, oldest_left) << name << " went first";
        for (int c = 0; c < 4; ++c)
            expect_channel(files, std::string("SHZSHNSHESHX", c * 3, 3), 200, c, start);
    }
    if (!pg_dsn.empty()) clean();
}

// Data directory and index database missing at start, then the table gone
// for a while: files written meanwhile get their rows, none twice.
TEST(RecorderFaults, DataDirectoryAndIndexOutagesAreSurvived) {
    if (!pg_dsn.empty()) GTEST_SKIP() << "runs in the SQLite pass";
    Station s('D');
    ASSERT_EQ(rmdir(s.data_dir.c_str()), 0);
    const std::string later = s.dir + "/later", db = later + "/index.sqlite",
                      old_db = s.dir + "/veldrum-index.sqlite";
    std::string ini = read_file(s.dir + "/odbc.ini");
    ASSERT_NE(ini.find(old_db), std::string::npos) << ini;
    Station::write(s.dir + "/odbc.ini", ini.replace(ini.find(old_db), old_db.size(), db));
    s.start_sim({"--channels", "SHZ:50:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Ошибка подключения к БД#", 20000) &&
                s.wait_log("Ошибка открытия файла '" + s.data_dir + "/", 20000))
        << s.log();
    ASSERT_EQ(mkdir(s.data_dir.c_str(), 0755), 0);
    ASSERT_TRUE(wait_until([&] { return !s.files().empty(); }, 20000)) << s.log();
    const std::string first_file = s.files()[0].relative;
    auto shell = [](const std::string& command) { return system(command.c_str()); };
    // The database appears whole, tables and all.
    ASSERT_EQ(shell("mkdir " + later + ".tmp && sqlite3 " + later + ".tmp/index.sqlite < " +
                    VELDRUM_SOURCE_DIR + "/db/schema.sql && mv " + later + ".tmp " + later),
              0);
    ASSERT_TRUE(s.wait_log("#БД подключена#", 20000)) << s.log();
    auto indexed = [&](const std::string& what, const std::string& where = "") {
        return s.number("select " + what + s.own() + where);
    };
    ASSERT_TRUE(
        wait_until([&] { return indexed("count(*)", " and cpath='" + first_file + "'"); }, 20000))
        << s.log();
    // The table goes away: statements fail, the connection is made again.
    const std::string sqlite = "sqlite3 -cmd '.timeout 10000' " + db + " 'alter table filelist";
    ASSERT_EQ(shell(sqlite + " rename to filelist_away'"), 0);
    ASSERT_TRUE(s.wait_log("no such table", 20000) && s.wait_log("#БД подключена#", 20000, 2))
        << s.log();
    ASSERT_EQ(shell(sqlite + "_away rename to filelist'"), 0);
    const long long before = indexed("sum(tqty)");
    ASSERT_TRUE(wait_until([&] { return indexed("sum(tqty)") > before; }, 20000)) << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    const std::vector<RingFile> files = s.files();
    expect_rows_match(s, files);
    const std::string out = s.sim.text();  // the simulator's first sample time is in it
    ASSERT_NE(out.find(", start "), std::string::npos) << out;
    expect_channel(files, "SHZ", 50, 0, atoll(out.c_str() + out.find(", start ") + 8));
}

}  // namespace
