// The ring recorder end to end: stationsim's signal through veldrum into ring
// files and the file index, read back byte for byte and row for row.
#include <httplib.h>
#include <sys/stat.h>

#include <set>

#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

// The 512 header bytes a file of these fields must begin with: Amin and
// Amax are those of its first piece, the samples taken unsigned.
std::string expected_header(const RingFile& f, int gain, const std::string& station) {
    const time_t start = f.start;
    const tm s = *gmtime(&start);
    const long long d = f.duration % 86400;
    const auto first = f.samples.begin(), end = first + f.duration * (long long)f.sps;
    char text[512] = {0};
    snprintf(
        text, sizeof text,
        "[KVR2.0]\r\nData offset=512\r\nStart time=%02d %02d %02d\r\nStart date=%02d %02d "
        "%04d\r\nTime duration=%02lld %02lld %02lld\r\nData Type=SHORT\r\nSpS=%f\r\nGain=%d\r\n"
        "Station=%s\r\nChannels=\"%s\"\r\nAmin=%u.0\r\nAmax=%u.0\r\n",
        s.tm_hour, s.tm_min, s.tm_sec, s.tm_mday, s.tm_mon + 1, s.tm_year + 1900, d / 3600,
        d / 60 % 60, d % 60, f.sps, gain, station.c_str(), f.channel.c_str(),
        unsigned(*std::min_element(first, end)), unsigned(*std::max_element(first, end)));
    return std::string(text, sizeof text);
}

std::string own(const Station& s) {
    return " from filelist where sta='" + s.name + "' and creater='VELDRUM'";
}
long long number(const std::vector<std::string>& rows) {
    return rows.empty() ? 0 : atoll(rows[0].c_str());
}
long long indexed_seconds(const Station& s, std::string channel) {
    for (size_t at = 0; (at = channel.find('\'', at)) != std::string::npos; at += 2)
        channel.insert(at, "'");
    return number(s.rows("select sum(tqty)" + own(s) + " and ch='" + channel + "'"));
}
bool indexed_to(const Station& s, long long end) {
    return number(s.rows("select count(*)" + own(s) + " and tbegin+tqty=" + to_string(end))) > 0;
}

// The station's files and rows are one for one, each row describing its file.
void expect_rows_match(const Station& s, const std::vector<RingFile>& files) {
    std::multiset<std::string> want, got;
    for (const RingFile& f : files) {
        EXPECT_EQ(f.samples.size(), size_t(f.seconds() * f.sps)) << f.relative;
        want.insert(f.relative + "|" + to_string(f.start) + "|" + to_string(f.seconds()) + "|" +
                    to_string(int(f.sps)) + "|" + f.channel + "|5");
    }
    for (const std::string& r : s.rows("select cpath,tbegin,tqty,sps,ch,datatype" + own(s)))
        got.insert(r);
    EXPECT_EQ(got, want);
}

// Every second of the channel once, as the simulator sent it from start,
// and (count > 0) exactly count of them from start.
void expect_channel(const std::vector<RingFile>& files, const std::string& channel, int rate,
                    int index, long long start, long long count = 0) {
    const ChannelSeconds got = seconds_of(files, channel);
    EXPECT_EQ(got.repeated, std::vector<long long>{}) << channel;
    EXPECT_EQ(wrong_seconds(got, rate, index, start), std::vector<long long>{}) << channel;
    EXPECT_TRUE(count == 0 ||
                (got.by_second.size() == size_t(count) && got.by_second.begin()->first == start &&
                 got.by_second.rbegin()->first == start + count - 1))
        << channel << " has " << got.by_second.size() << " seconds";
}

#define SQLITE_PASS_ONLY() \
    if (!postgres_dsn().empty()) GTEST_SKIP() << "runs in the SQLite pass"

// One fast run of three continuous channels (one with a quote in its name,
// one with a gain) and an event-only one, checked file by file and row by
// row on the SQLite index, or in the PostgreSQL pass on that one.
TEST(RecorderSystem, FastRunIsRecordedWholeAndIndexed) {
    Station s('R');
    s.dsn = postgres_dsn().empty() ? s.dsn : postgres_dsn();
    const std::string mine = " where sta='" + s.name + "'";
    auto clean = [&] {
        s.rows("delete from filelist" + mine), s.rows("delete from eventlist" + mine);
    };
    clean();
    const long long start = 1084802370, seconds = 40;  // 2004-05-17 13:59:30 UTC
    const std::pair<std::string, int> channels[] = {
        {"SHZ", 100}, {"S'Z", 50}, {"SHE", 20}, {"EHZ", 200}};
    s.start_sim({"--channels", "SHZ:100:0:3,S'Z:50:0,SHE:20:0,EHZ:200:7", "--fast", "--start",
                 to_string(start), "--seconds", to_string(seconds), "--event-every", "10"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_sim("stationsim: " + to_string(seconds) + " seconds sent", 30000));
    ASSERT_TRUE(wait_until(
        [&] {
            return std::all_of(std::begin(channels), std::end(channels),
                               [&](auto& c) { return indexed_seconds(s, c.first) >= seconds; });
        },
        40000))
        << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    // Every second is on disk: the continuous channels by themselves, the
    // event-only one as its events (at 10, 20 and 30 s) bring earlier blocks along.
    const std::vector<RingFile> files = s.files();
    for (int i = 0; i < 4; ++i)
        expect_channel(files, channels[i].first, channels[i].second, i, start, seconds);
    for (const RingFile& f : files) {
        ASSERT_TRUE(f.duration > 0 && f.duration <= f.seconds()) << f.relative;
        EXPECT_EQ(f.header, expected_header(f, f.channel == "SHZ" ? 3 : 0, s.name));
        // Under the start hour, hhmmss-ddmmyyyy-channel.station.
        char name[32];
        const time_t t = f.start;
        strftime(name, sizeof name, "%-H/%H%M%S-%d%m%Y-", gmtime(&t));
        EXPECT_EQ(f.relative, name + f.channel + "." + s.name);
    }
    expect_rows_match(s, files);
    // Gain code 3 is 8 in the index, and every row of the station is ours.
    const auto kinds = s.rows("select distinct ch,gain,creater from filelist" + mine);
    EXPECT_EQ(std::set<std::string>(kinds.begin(), kinds.end()),
              (std::set<std::string>{"SHZ|8|VELDRUM", "S'Z|1|VELDRUM", "SHE|1|VELDRUM",
                                     "EHZ|1|VELDRUM"}));
    // The quote in a name broke no statement: the log holds no driver error.
    EXPECT_EQ(count(s.log(), "rror") + count(s.log(), "Ошибка"), 0u) << s.log();
    EXPECT_EQ(s.rows("select tbegin,event_type from eventlist" + mine + " order by tbegin"),
              (std::vector<std::string>{to_string(start + 10) + "|1", to_string(start + 20) + "|1",
                                        to_string(start + 30) + "|1"}));
    clean();
}

// Two stations on one index, each with a ring far smaller than its data,
// trim only their own oldest files, files and rows one for one. Station a
// also has another program's row and a row whose file was removed by hand;
// b's events are refused by a trigger, which must hold back neither its
// files nor its trimming.
TEST(RecorderSystem, TwoStationsOnOneIndexTrimTheirOwnRings) {
    Station a('M'), b('N');
    const std::string pg = postgres_dsn();
    auto clean = [&] {
        for (Station* s : {&a, &b}) s->rows("delete from filelist where sta='" + s->name + "'");
        a.rows("drop trigger if exists refuse_events on eventlist");
    };
    if (pg.empty()) {
        for (const char* f : {"/odbc.ini", "/odbcinst.ini"})
            Station::write(b.dir + f, read_file(a.dir + f));
        a.rows("create trigger refuse_events before insert on eventlist when new.sta='" + b.name +
               "' begin select raise(abort, 'events refused'); end");
    } else {
        a.dsn = b.dsn = pg;
        clean();
        a.rows(
            "create or replace function refuse_events() returns trigger as $$ begin if new.sta='" +
            b.name +
            "' then raise exception 'events refused'; end if; return new; end $$ language plpgsql");
        a.rows(
            "create trigger refuse_events before insert on eventlist for each row execute function "
            "refuse_events()");
    }
    const long long limit = 1048576, start = 1084800000, seconds = 900;
    // Another program's row, older than everything, with its file: neither
    // counted nor deleted; and a file of ours, removed by hand once running.
    const std::string insert =
        "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values ('" +
        a.name + "',";
    const std::string old_cpath = "0/000000-01012000-OLD." + a.name;
    Station::write(a.data_dir + "/archive.dat", "kept");
    mkdir((a.data_dir + "/0").c_str(), 0755);
    Station::write(a.data_dir + "/" + old_cpath, "");
    a.rows(insert + "900000000,100000,200,1,'archive.dat','SHZ',5,'ARCHIVE')");
    a.rows(insert + "946684800,10,200,1,'" + old_cpath + "','OLD',5,'VELDRUM')");
    for (Station* s : {&a, &b}) {
        s->veldrum_keys["SIZEMB"] = "1";
        s->start_sim({"--channels", "SHZ:200:0,SHN:200:0,SHE:200:0,SHX:200:0", "--fast", "--start",
                      to_string(start), "--seconds", to_string(seconds), "--event-every",
                      s == &b ? "30" : "0"});
        s->start_veldrum({"FLUSH=5"});
        ASSERT_TRUE(s->wait_log("#БД подключена#", 20000)) << s->log();
    }
    ASSERT_EQ(unlink((a.data_dir + "/" + old_cpath).c_str()), 0);
    auto measure = [](const Station& s) {
        return number(s.rows("select sum(sps*tqty*4+512)" + own(s) + " and tqty>0"));
    };
    // Every file seen while it runs, with its start, to tell which went.
    std::map<std::string, long long> seen[2];
    ASSERT_TRUE(wait_until(
        [&] {
            for (int i = 0; i < 2; ++i)
                for (const RingFile& f : (i ? b : a).files()) seen[i][f.relative] = f.start;
            return measure(a) < limit && measure(b) < limit && indexed_to(a, start + seconds) &&
                   indexed_to(b, start + seconds);
        },
        180000))
        << a.log() << b.log();
    ASSERT_EQ(a.stop_veldrum(), 0) << a.log();
    ASSERT_EQ(b.stop_veldrum(), 0) << b.log();
    EXPECT_EQ(a.rows("select 1 from filelist where cpath='" + old_cpath + "'").size(), 0u);
    EXPECT_EQ(a.rows("select tqty from filelist where creater='ARCHIVE' and sta='" + a.name + "'"),
              std::vector<std::string>{"100000"});
    EXPECT_EQ(read_file(a.data_dir + "/archive.dat"), "kept");
    // Each refused event is given up once, by name, and never stored.
    EXPECT_EQ(number(b.rows("select count(*) from eventlist where sta='" + b.name + "'")), 0);
    const size_t given_up = b.log_count("#Событие не записано в БД: тип 1, ");
    EXPECT_TRUE(given_up > 0 && given_up <= seconds / 30) << b.log();
    for (int i = 0; i < 2; ++i) {
        const Station& s = i ? b : a;
        const std::vector<RingFile> files = s.files();
        EXPECT_LT(measure(s), limit);
        expect_rows_match(s, files);
        long long oldest_left = LLONG_MAX;
        for (const RingFile& f : files) oldest_left = std::min(oldest_left, f.start);
        for (const RingFile& f : files) seen[i].erase(f.relative);
        EXPECT_GT(seen[i].size(), 0u) << "nothing trimmed";
        for (const auto& [name, t] : seen[i])
            EXPECT_LE(t, oldest_left) << name << " went before an older file";
        // Whatever is left is what the simulator sent.
        for (int c = 0; c < 4; ++c)
            expect_channel(files, std::string("SHZSHNSHESHX", c * 3, 3), 200, c, start);
    }
    if (!pg.empty()) clean();
}

// A stop during the wait, with more queued than one pass takes of a channel
// (250 blocks): every queued second reaches the ring files.
TEST(RecorderSystem, StopDuringTheWaitWritesWhatWasQueued) {
    SQLITE_PASS_ONLY();
    Station s('W');
    const long long start = 1084800000, seconds = 600;
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--fast", "--start", to_string(start),
                 "--seconds", to_string(seconds)});
    s.start_veldrum({"FLUSH=300"});
    ASSERT_TRUE(s.wait_sim("stationsim: " + to_string(seconds) + " seconds sent", 30000));
    sleep(1);
    EXPECT_TRUE(s.files().empty()) << "a pass ran before the stop";
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    const std::vector<RingFile> files = s.files();
    expect_channel(files, "SHZ", 100, 0, start, seconds);
    expect_channel(files, "SHN", 20, 1, start, seconds);
    expect_rows_match(s, files);
}

// The acquisition server comes back with other channels, among them names
// that cannot stand in a path and a repeated one: the new set is recorded
// without a restart, the refused channels touch nothing, and the page lists
// the new set.
TEST(RecorderSystem, StationReconfiguredIsRecordedWithItsNewChannels) {
    SQLITE_PASS_ONLY();
    Station s('C');
    const int http = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + to_string(http);
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000)) << s.log();
    sleep(3);
    s.stop_sim();
    s.start_sim({"--channels", "SHZ:100:0,BHZ:50:0,../X:50:0,BHZ:20:0,B\nZ:20:0", "--realtime"});
    ASSERT_TRUE(s.wait_log("#Состав каналов станции изменился#", 15000)) << s.log();
    for (const char* line : {"#Канал 2: недопустимое имя, канал не записывается#",
                             "#Канал 3: имя повторяется, канал не записывается#",
                             "#Канал 4: недопустимое имя, канал не записывается#"})
        EXPECT_GT(s.log_count(line), 0u) << line << "\n" << s.log();
    ASSERT_TRUE(wait_until([&] { return indexed_seconds(s, "BHZ") >= 3; }, 12000)) << s.log();
    const auto page = httplib::Client("127.0.0.1", http).Get("/api/status");
    ASSERT_TRUE(page);
    EXPECT_TRUE(count(page->body, "\"name\":\"BHZ\"") > 0 && count(page->body, "\"SHN\"") == 0)
        << page->body;
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    const std::vector<RingFile> files = s.files();
    expect_rows_match(s, files);
    for (const RingFile& f : files)
        EXPECT_TRUE(f.channel == "SHZ" || f.channel == "SHN" || f.channel == "BHZ") << f.relative;
    EXPECT_FALSE(exists(s.dir + "/X." + s.name.substr(0, 3))) << "outside the data directory";
}

// The data directory missing, then read-only, then back, while the index's
// database does not exist yet; then the database appears, and later loses
// its table for a while. The server survives it all, says so, registers the
// files written meanwhile on their next extension and duplicates no row.
TEST(RecorderFaults, DataDirectoryAndIndexOutagesAreSurvived) {
    SQLITE_PASS_ONLY();
    Station s('D');
    ASSERT_EQ(rmdir(s.data_dir.c_str()), 0);
    // Without root's privilege of writing where permissions forbid.
    if (geteuid() == 0)
        s.wrapper = {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"};
    const std::string later = s.dir + "/later", db = later + "/index.sqlite",
                      old_db = s.dir + "/veldrum-index.sqlite";
    std::string ini = read_file(s.dir + "/odbc.ini");
    ASSERT_NE(ini.find(old_db), std::string::npos) << ini;
    Station::write(s.dir + "/odbc.ini", ini.replace(ini.find(old_db), old_db.size(), db));
    s.start_sim({"--channels", "SHZ:50:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    const std::string open_error = "Ошибка открытия файла '" + s.data_dir + "/";
    ASSERT_TRUE(s.wait_log("#Ошибка подключения к БД#", 20000) && s.wait_log(open_error, 20000))
        << s.log();
    // Read-only: the hour directory cannot be made, so neither can the file.
    ASSERT_EQ(mkdir(s.data_dir.c_str(), 0555), 0);
    ASSERT_TRUE(s.wait_log(open_error, 20000, s.log_count(open_error) + 1)) << s.log();
    EXPECT_TRUE(s.files().empty());
    ASSERT_EQ(chmod(s.data_dir.c_str(), 0755), 0);
    ASSERT_TRUE(wait_until([&] { return !s.files().empty(); }, 20000)) << s.log();
    const std::string first_file = s.files()[0].relative;
    // The database appears whole, tables and all.
    ASSERT_EQ(system(("mkdir " + later + ".tmp && sqlite3 " + later +
                      ".tmp/index.sqlite < " VELDRUM_SOURCE_DIR "/db/schema.sql && mv " + later +
                      ".tmp " + later)
                         .c_str()),
              0);
    ASSERT_TRUE(s.wait_log("#БД подключена#", 20000)) << s.log();
    ASSERT_TRUE(wait_until(
        [&] {
            return number(s.rows("select count(*)" + own(s) + " and cpath='" + first_file + "'")) ==
                   1;
        },
        20000))
        << s.log();
    // The table goes away: statements fail, the connection is made again.
    auto sql = [&](const char* text) {
        return system(("sqlite3 -cmd '.timeout 10000' " + db + " '" + text + "'").c_str());
    };
    ASSERT_EQ(sql("alter table filelist rename to filelist_away"), 0);
    ASSERT_TRUE(s.wait_log("no such table", 20000) && s.wait_log("#БД подключена#", 20000, 2))
        << s.log();
    ASSERT_EQ(sql("alter table filelist_away rename to filelist"), 0);
    const long long before = indexed_seconds(s, "SHZ");
    ASSERT_TRUE(wait_until([&] { return indexed_seconds(s, "SHZ") > before; }, 20000)) << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    const std::vector<RingFile> files = s.files();
    expect_rows_match(s, files);
    const std::string out = s.sim.text();  // the simulator's first sample time is in it
    ASSERT_NE(out.find(", start "), std::string::npos) << out;
    expect_channel(files, "SHZ", 50, 0, atoll(out.c_str() + out.find(", start ") + 8));
}

// A file size limit of 100 blocks of 512 bytes: two pieces of 250 seconds at
// 40 sps (20,000 bytes each) fit behind a header, a third does not. What is
// lost are whole pieces that did not fit; the next piece starts a new file.
TEST(RecorderFaults, FileSizeLimitLosesThePieceThatDoesNotFit) {
    SQLITE_PASS_ONLY();
    Station s('F');
    s.wrapper = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 100; exec \"$0\" \"$@\""};
    const long long start = 1084800000, end = start + 1000, limit = 51200;
    // --once: no calls after the data, whose log lines would count against the limit too.
    s.start_sim({"--channels", "SHZ:40:0", "--fast", "--start", to_string(start), "--seconds",
                 "1000", "--once"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(wait_until([&] { return indexed_to(s, end); }, 60000)) << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    EXPECT_GE(s.log_count("Ошибка открытия файла '" + s.data_dir + "/"), 1u) << s.log();
    const std::vector<RingFile> files = s.files();
    expect_rows_match(s, files);
    expect_channel(files, "SHZ", 40, 0, start);
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files[0].start, start);
    int gaps = 0;
    for (size_t k = 0; k < files.size(); ++k) {
        const long long size = 512 + files[k].samples.size() * 2;
        const long long gap =
            (k + 1 < files.size() ? files[k + 1].start : end) - files[k].start - files[k].seconds();
        EXPECT_LE(size, limit) << files[k].relative;
        EXPECT_TRUE(gap == 0 || (gap > 0 && gap <= 250 && size + gap * 80 > limit))
            << files[k].relative << " is followed by a gap of " << gap << " s";
        gaps += gap > 0;
    }
    EXPECT_GE(gaps, 1);
}

}  // namespace
