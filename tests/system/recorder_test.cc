// The ring recorder end to end: stationsim's signal through veldrum into ring
// files and the file index, read back byte for byte and row for row.
#include <sys/stat.h>
#include <time.h>

#include <climits>
#include <functional>
#include <set>

#include "tests/system/system_run.h"
#include "tools/stationsim/signal.h"

namespace {

using system_run::RingFile;
using system_run::Station;

constexpr uint32_t kSeed = 1;  // stationsim's default

struct SimChannel {
    std::string name;
    int rate;
    int index;  // position in --channels, the signal's channel number
};

std::string text_of(long long v) { return std::to_string(v); }

// The 512 header bytes a file of these fields must begin with.
std::string expected_header(long long start, long long duration, double sps, int gain,
                            const std::string& station, const std::string& channel, unsigned amin,
                            unsigned amax) {
    time_t t = static_cast<time_t>(start);
    struct tm s {};
    gmtime_r(&t, &s);
    long long d = duration % 86400;
    char text[512] = {0};
    snprintf(text, sizeof text,
             "[KVR2.0]\r\nData offset=512\r\nStart time=%02d %02d %02d\r\n"
             "Start date=%02d %02d %04d\r\nTime duration=%02lld %02lld %02lld\r\n"
             "Data Type=SHORT\r\nSpS=%f\r\nGain=%d\r\nStation=%s\r\nChannels=\"%s\"\r\n"
             "Amin=%u.0\r\nAmax=%u.0\r\n",
             s.tm_hour, s.tm_min, s.tm_sec, s.tm_mday, s.tm_mon + 1, s.tm_year + 1900, d / 3600,
             d / 60 % 60, d % 60, sps, gain, station.c_str(), channel.c_str(), amin, amax);
    return std::string(text, sizeof text);
}

// Whole seconds of a channel that differ from what the simulator sent.
std::vector<long long> wrong_seconds(const system_run::ChannelSeconds& got, const SimChannel& c,
                                     long long sim_start) {
    std::vector<long long> wrong;
    for (const auto& [t, samples] : got.by_second) {
        const int64_t first = (t - sim_start) * c.rate;
        bool same = t >= sim_start && samples.size() == static_cast<size_t>(c.rate);
        for (int k = 0; same && k < c.rate; ++k)
            same = samples[k] == stationsim::signal_sample(kSeed, c.index, first + k);
        if (!same) wrong.push_back(t);
    }
    return wrong;
}

// The simulator's first sample time, from its listening line; 0 if absent.
long long sim_start_of(const Station& s) {
    std::string out = s.sim.text();
    size_t at = out.find(", start ");
    return at == std::string::npos ? 0 : std::atoll(out.c_str() + at + 8);
}

// Files of this station only (a hand-made file may lie beside them).
std::vector<RingFile> station_files(const Station& s) {
    std::vector<RingFile> out;
    for (RingFile& f : s.files())
        if (f.relative.size() > s.name.size() &&
            f.relative.compare(f.relative.size() - s.name.size() - 1, std::string::npos, "." + s.name) == 0)
            out.push_back(std::move(f));
    return out;
}

// Relative names of the ring files and the start times their names give,
// without reading the files: cheap enough to poll.
std::map<std::string, long long> ring_names(const std::string& data_dir) {
    std::map<std::string, long long> out;
    for (int hour = 0; hour < 24; ++hour) {
        DIR* d = opendir((data_dir + "/" + std::to_string(hour)).c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            struct tm tm {};
            if (sscanf(e->d_name, "%2d%2d%2d-%2d%2d%4d-", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tm.tm_mday,
                       &tm.tm_mon, &tm.tm_year) != 6)
                continue;
            tm.tm_mon -= 1;
            tm.tm_year -= 1900;
            out[std::to_string(hour) + "/" + e->d_name] = timegm(&tm);
        }
        closedir(d);
    }
    return out;
}

struct Row {
    std::string cpath, ch, sta, creater;
    long long tbegin = 0, tqty = 0, sps = 0, gain = 0, datatype = 0;
};

std::vector<Row> file_rows(const Station& s, const std::string& where) {
    std::vector<Row> rows;
    for (const std::string& line :
         s.rows("select cpath,tbegin,tqty,sps,gain,ch,datatype,creater,sta from filelist where " + where)) {
        std::vector<std::string> f;
        size_t at = 0;
        for (size_t bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1)
            f.push_back(line.substr(at, bar - at));
        f.push_back(line.substr(at));
        if (f.size() != 9) {
            ADD_FAILURE() << "unexpected row: " << line;
            continue;
        }
        Row r;
        r.cpath = f[0];
        r.tbegin = std::atoll(f[1].c_str());
        r.tqty = std::atoll(f[2].c_str());
        r.sps = std::atoll(f[3].c_str());
        r.gain = std::atoll(f[4].c_str());
        r.ch = f[5];
        r.datatype = std::atoll(f[6].c_str());
        r.creater = f[7];
        r.sta = f[8];
        rows.push_back(r);
    }
    return rows;
}

std::string own_rows(const Station& s) { return "sta='" + s.name + "' and creater='VELDRUM'"; }

long long whole_seconds(const RingFile& f) {
    return f.sps >= 1 ? static_cast<long long>(f.samples.size() / static_cast<size_t>(f.sps)) : 0;
}

// Every file of the station has exactly one row that describes it, and
// every row of the station names a file on disk.
void expect_files_and_rows_agree(const Station& s, const std::vector<RingFile>& files) {
    std::vector<Row> rows = file_rows(s, own_rows(s));
    std::map<std::string, int> seen;
    for (const Row& r : rows) ++seen[r.cpath];
    for (const RingFile& f : files) {
        SCOPED_TRACE(f.relative);
        ASSERT_EQ(seen[f.relative], 1);
        for (const Row& r : rows) {
            if (r.cpath != f.relative) continue;
            EXPECT_EQ(r.tbegin, f.start);
            EXPECT_EQ(r.tqty, whole_seconds(f));
            EXPECT_EQ(f.samples.size(), static_cast<size_t>(whole_seconds(f) * static_cast<long long>(f.sps)));
            EXPECT_EQ(r.sps, static_cast<long long>(f.sps));
            EXPECT_EQ(r.ch, f.channel);
            EXPECT_EQ(r.datatype, 5);
        }
    }
    EXPECT_EQ(rows.size(), files.size());
    for (const Row& r : rows)
        EXPECT_TRUE(system_run::exists(s.data_dir + "/" + r.cpath)) << r.cpath;
}

// Seconds of data the index holds for the station, by channel.
long long indexed_seconds(const Station& s, const std::string& channel) {
    long long sum = 0;
    for (const Row& r : file_rows(s, own_rows(s))) sum += r.ch == channel ? r.tqty : 0;
    return sum;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 200) {
        if (done()) return true;
        usleep(200000);
    }
    return false;
}

// veldrum without the root privilege of writing where permissions forbid.
std::vector<std::string> without_override() {
    if (geteuid() != 0) return {};
    return {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"};
}

const std::string kOpenError = "Ошибка открытия файла '";

// Tests on the station's own SQLite index, which the PostgreSQL pass of the
// test run has run already.
#define SQLITE_PASS_ONLY()                                                     \
    if (!system_run::postgres_dsn().empty()) GTEST_SKIP() << "runs in the SQLite pass"

// One fast run of three continuous channels (one with a quote in its name,
// one with a gain) and an event-only one, checked file by file and row by row.
void fast_run_is_recorded_whole(Station& s) {
    const long long start = 1084802370;  // 2004-05-17 13:59:30 UTC
    const long long seconds = 40;
    const std::vector<SimChannel> channels = {
        {"SHZ", 100, 0}, {"S'Z", 50, 1}, {"SHE", 20, 2}, {"EHZ", 200, 3}};
    const std::map<std::string, int> gain = {{"SHZ", 3}, {"S'Z", 0}, {"SHE", 0}, {"EHZ", 0}};
    s.start_sim({"--channels", "SHZ:100:0:3,S'Z:50:0,SHE:20:0,EHZ:200:7", "--fast", "--start",
                 text_of(start), "--seconds", text_of(seconds), "--event-every", "10"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_sim("stationsim: " + text_of(seconds) + " seconds sent", 30000)) << s.log();
    ASSERT_TRUE(wait_until(
        [&] {
            for (const SimChannel& c : channels)
                if (indexed_seconds(s, c.name) < seconds) return false;
            return true;
        },
        40000))
        << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();

    const std::vector<RingFile> files = station_files(s);
    for (const SimChannel& c : channels) {
        SCOPED_TRACE(c.name);
        system_run::ChannelSeconds got = system_run::seconds_of(files, c.name);
        EXPECT_TRUE(got.repeated.empty());
        EXPECT_TRUE(wrong_seconds(got, c, start).empty());
        // Every second delivered is on disk: the continuous channels by
        // themselves, the event-only one because its events (at 10, 20 and
        // 30) bring the blocks before them along.
        for (long long t = start; t < start + seconds; ++t) EXPECT_TRUE(got.by_second.count(t)) << t;
        EXPECT_EQ(got.by_second.size(), static_cast<size_t>(seconds));
    }

    for (const RingFile& f : files) {
        SCOPED_TRACE(f.relative);
        std::string bytes = system_run::read_file(s.data_dir + "/" + f.relative);
        ASSERT_GE(bytes.size(), 512u);
        ASSERT_GT(f.duration, 0);
        ASSERT_LE(f.duration, whole_seconds(f));
        // Amin and Amax of the first piece, the samples taken unsigned.
        unsigned amin = f.samples[0], amax = f.samples[0];
        for (size_t i = 0; i < static_cast<size_t>(f.duration * static_cast<long long>(f.sps)); ++i) {
            amin = std::min<unsigned>(amin, f.samples[i]);
            amax = std::max<unsigned>(amax, f.samples[i]);
        }
        EXPECT_EQ(bytes.substr(0, 512),
                  expected_header(f.start, f.duration, f.sps, gain.at(f.channel), s.name, f.channel,
                                  amin, amax));
        // Name: start hour directory, then hhmmss-ddmmyyyy-channel.station.
        time_t t = static_cast<time_t>(f.start);
        struct tm tm {};
        gmtime_r(&t, &tm);
        char name[64];
        snprintf(name, sizeof name, "%d/%02d%02d%02d-%02d%02d%04d-%3s.%s", tm.tm_hour, tm.tm_hour,
                 tm.tm_min, tm.tm_sec, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, f.channel.c_str(),
                 s.name.c_str());
        EXPECT_EQ(f.relative, name);
    }

    expect_files_and_rows_agree(s, files);
    for (const Row& r : file_rows(s, own_rows(s))) {
        EXPECT_EQ(r.gain, r.ch == "SHZ" ? 8 : 1) << r.cpath;
        EXPECT_EQ(r.sta, s.name);
    }
    EXPECT_EQ(file_rows(s, "sta='" + s.name + "'").size(), file_rows(s, own_rows(s)).size());

    // The quote in a name broke no statement: the log holds no driver error.
    const std::string log = s.log();
    EXPECT_EQ(log.find("rror"), std::string::npos) << log;
    EXPECT_EQ(log.find("Ошибка"), std::string::npos) << log;

    std::vector<std::string> events =
        s.rows("select tbegin,event_type from eventlist where sta='" + s.name + "' order by tbegin");
    EXPECT_EQ(events, (std::vector<std::string>{text_of(start + 10) + "|1", text_of(start + 20) + "|1",
                                                text_of(start + 30) + "|1"}));
}

TEST(RecorderSystem, FastRunIsRecordedWholeAndIndexedSQLite) {
    SQLITE_PASS_ONLY();
    Station s('R');
    fast_run_is_recorded_whole(s);
}

TEST(RecorderSystem, FastRunIsRecordedWholeAndIndexedPostgreSQL) {
    if (system_run::postgres_dsn().empty()) GTEST_SKIP() << "VELDRUM_TEST_PG_DSN not set";
    Station s('P');
    s.dsn = system_run::postgres_dsn();
    auto clean = [&] {
        s.rows("delete from filelist where sta='" + s.name + "'");
        s.rows("delete from eventlist where sta='" + s.name + "'");
    };
    clean();
    fast_run_is_recorded_whole(s);
    clean();
}

// Two stations on one index, each with a ring far smaller than its data:
// each trims only its own oldest files, and files and rows stay one for one.
// Station a also has another program's row and a row whose file was removed
// by hand; station b's events are refused by the database (`refuse` has
// installed a trigger), which must hold back neither its files nor its
// trimming.
void two_stations_trim_their_own_rings(Station& a, Station& b) {
    const long long limit = 1048576;
    const long long start = 1084800000;
    const long long seconds = 900;
    const std::vector<SimChannel> channels = {
        {"SHZ", 200, 0}, {"SHN", 200, 1}, {"SHE", 200, 2}, {"SHX", 200, 3}};
    // Another program's row, older than everything, with its file: neither
    // counted nor deleted.
    FILE* f = fopen((a.data_dir + "/archive.dat").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("kept", f);
    fclose(f);
    a.rows("insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values ('" +
           a.name + "', 900000000, 100000, 200, 1,'archive.dat','SHZ', 5,'ARCHIVE')");
    // A file of ours from an earlier run, removed by hand while the server runs.
    const std::string old_cpath = "0/000000-01012000-OLD." + a.name;
    mkdir((a.data_dir + "/0").c_str(), 0755);
    f = fopen((a.data_dir + "/" + old_cpath).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    a.rows("insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values ('" +
           a.name + "', 946684800, 10, 200, 1,'" + old_cpath + "','OLD', 5,'VELDRUM')");

    for (Station* s : {&a, &b}) {
        s->veldrum_keys["SIZEMB"] = "1";
        s->start_sim({"--channels", "SHZ:200:0,SHN:200:0,SHE:200:0,SHX:200:0", "--fast", "--start",
                      text_of(start), "--seconds", text_of(seconds), "--event-every",
                      s == &b ? "30" : "0"});
        s->start_veldrum({"FLUSH=5"});
        ASSERT_TRUE(s->wait_log("#БД подключена#", 20000)) << s->log();
    }
    ASSERT_EQ(unlink((a.data_dir + "/" + old_cpath).c_str()), 0);

    auto measure = [](const Station& s) {
        std::vector<std::string> r = s.rows(
            "select sum(sps*tqty*4+512) from filelist where tqty>0 and creater='VELDRUM' and sta='" +
            s.name + "'");
        return r.empty() || r[0] == "NULL" ? 0LL : std::atoll(r[0].c_str());
    };
    auto done = [&](const Station& s) {
        for (const Row& r : file_rows(s, own_rows(s)))
            if (r.tbegin + r.tqty == start + seconds) return measure(s) < limit;
        return false;
    };
    // Every file seen while it runs, by start time, to tell which went.
    std::map<std::string, long long> seen[2];
    ASSERT_TRUE(wait_until(
        [&] {
            for (const auto& [name, t] : ring_names(a.data_dir))
                if (name != old_cpath) seen[0][name] = t;
            for (const auto& [name, t] : ring_names(b.data_dir)) seen[1][name] = t;
            return done(a) && done(b);
        },
        180000))
        << a.log() << b.log();
    ASSERT_EQ(a.stop_veldrum(), 0) << a.log();
    ASSERT_EQ(b.stop_veldrum(), 0) << b.log();

    EXPECT_TRUE(file_rows(a, "cpath='" + old_cpath + "'").empty());
    // Each refused event is given up once, by name, and never stored.
    EXPECT_EQ(b.rows("select count(*) from eventlist where sta='" + b.name + "'")[0], "0");
    const size_t given_up = b.log_count("#Событие не записано в БД: тип 1, ");
    EXPECT_GT(given_up, 0u) << b.log();
    EXPECT_LE(given_up, static_cast<size_t>(seconds / 30));
    std::vector<Row> archive = file_rows(a, "creater='ARCHIVE' and sta='" + a.name + "'");
    ASSERT_EQ(archive.size(), 1u);
    EXPECT_EQ(archive[0].tqty, 100000);
    EXPECT_EQ(system_run::read_file(a.data_dir + "/archive.dat"), "kept");

    int i = 0;
    for (Station* s : {&a, &b}) {
        SCOPED_TRACE(s->name);
        EXPECT_LT(measure(*s), limit);
        const std::vector<RingFile> files = station_files(*s);
        expect_files_and_rows_agree(*s, files);
        std::set<std::string> left;
        long long oldest_left = LLONG_MAX;
        for (const RingFile& rf : files) {
            left.insert(rf.relative);
            oldest_left = std::min(oldest_left, rf.start);
        }
        size_t gone = 0;
        for (const auto& [name, t] : seen[i]) {
            if (left.count(name)) continue;
            ++gone;
            EXPECT_LE(t, oldest_left) << name << " went before an older file";
        }
        EXPECT_GT(gone, 0u);
        // Whatever is left is what the simulator sent.
        for (const SimChannel& c : channels)
            EXPECT_TRUE(wrong_seconds(system_run::seconds_of(files, c.name), c, start).empty()) << c.name;
        ++i;
    }
}

TEST(RecorderSystem, TwoStationsOnOneSQLiteIndexTrimTheirOwnRings) {
    SQLITE_PASS_ONLY();
    Station a('M'), b('N');
    b.share_index_of(a);
    a.rows("create trigger refuse_events before insert on eventlist when new.sta='" + b.name +
           "' begin select raise(abort, 'events refused'); end");
    two_stations_trim_their_own_rings(a, b);
}

TEST(RecorderSystem, TwoStationsOnOnePostgreSQLIndexTrimTheirOwnRings) {
    if (system_run::postgres_dsn().empty()) GTEST_SKIP() << "VELDRUM_TEST_PG_DSN not set";
    Station a('M'), b('N');
    a.dsn = b.dsn = system_run::postgres_dsn();
    auto clean = [&] {
        for (Station* s : {&a, &b}) s->rows("delete from filelist where sta='" + s->name + "'");
        a.rows("drop trigger if exists refuse_events on eventlist");
    };
    clean();
    a.rows("create or replace function refuse_events() returns trigger as $$ begin if new.sta = '" +
           b.name + "' then raise exception 'events refused'; end if; return new; end $$ language plpgsql");
    a.rows("create trigger refuse_events before insert on eventlist for each row execute function "
           "refuse_events()");
    two_stations_trim_their_own_rings(a, b);
    clean();
}

// A stop during the wait, with more queued than one pass takes of a channel
// (250 blocks): every queued second reaches the ring files.
TEST(RecorderSystem, StopDuringTheWaitWritesWhatWasQueued) {
    SQLITE_PASS_ONLY();
    Station s('W');
    const long long start = 1084800000, seconds = 600;
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--fast", "--start", text_of(start), "--seconds",
                 text_of(seconds)});
    s.start_veldrum({"FLUSH=300"});
    ASSERT_TRUE(s.wait_sim("stationsim: " + text_of(seconds) + " seconds sent", 30000)) << s.log();
    sleep(1);
    EXPECT_TRUE(station_files(s).empty()) << "a pass ran before the stop";
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();

    const std::vector<RingFile> files = station_files(s);
    for (const SimChannel& c : std::vector<SimChannel>{{"SHZ", 100, 0}, {"SHN", 20, 1}}) {
        SCOPED_TRACE(c.name);
        system_run::ChannelSeconds got = system_run::seconds_of(files, c.name);
        EXPECT_TRUE(got.repeated.empty());
        EXPECT_TRUE(wrong_seconds(got, c, start).empty());
        EXPECT_EQ(got.by_second.size(), static_cast<size_t>(seconds));
    }
    expect_files_and_rows_agree(s, files);
}

// The acquisition server comes back with other channels, among them names
// that cannot stand in a path and a repeated one: the new set is recorded
// without a restart, the refused channels touch nothing, and the page
// lists the new set.
TEST(RecorderSystem, StationReconfiguredIsRecordedWithItsNewChannels) {
    SQLITE_PASS_ONLY();
    Station s('C');
    const int http = system_run::free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(http);
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000)) << s.log();
    sleep(3);
    s.stop_sim();
    s.start_sim({"--channels", "SHZ:100:0,BHZ:50:0,../X:50:0,BHZ:20:0,B\nZ:20:0", "--realtime"});
    ASSERT_TRUE(s.wait_log("#Состав каналов станции изменился#", 15000)) << s.log();
    const std::string log = s.log();
    for (const char* line : {"#Канал 2: недопустимое имя, канал не записывается#",
                             "#Канал 3: имя повторяется, канал не записывается#",
                             "#Канал 4: недопустимое имя, канал не записывается#"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    ASSERT_TRUE(wait_until([&] { return indexed_seconds(s, "BHZ") >= 3; }, 12000)) << s.log();
    const std::string page = system_run::http_get(http, "/api/status");
    EXPECT_NE(page.find("\"name\":\"BHZ\""), std::string::npos) << page;
    EXPECT_EQ(page.find("\"name\":\"SHN\""), std::string::npos) << page;
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();

    const std::vector<RingFile> files = station_files(s);
    expect_files_and_rows_agree(s, files);
    for (const RingFile& f : files) EXPECT_TRUE(f.channel == "SHZ" || f.channel == "SHN" || f.channel == "BHZ") << f.relative;
    EXPECT_FALSE(system_run::exists(s.dir + "/X." + s.name.substr(0, 3))) << "a path outside the data directory";
}

TEST(RecorderFaults, MissingThenReadOnlyDataDirectoryIsLoggedAndSurvived) {
    SQLITE_PASS_ONLY();
    Station s('D');
    ASSERT_EQ(rmdir(s.data_dir.c_str()), 0);
    s.wrapper = without_override();
    s.start_sim({"--channels", "SHZ:50:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log(kOpenError + s.data_dir + "/", 20000)) << s.log();

    // Read-only: the hour directory cannot be made, so neither can the file.
    const size_t missing = s.log_count(kOpenError + s.data_dir + "/");
    ASSERT_EQ(mkdir(s.data_dir.c_str(), 0555), 0);
    ASSERT_TRUE(s.wait_log(kOpenError + s.data_dir + "/", 20000, missing + 1)) << s.log();
    EXPECT_TRUE(station_files(s).empty());

    // Writable again: the next piece starts a file, and the server was
    // receiving all along.
    ASSERT_EQ(chmod(s.data_dir.c_str(), 0755), 0);
    ASSERT_TRUE(wait_until([&] { return indexed_seconds(s, "SHZ") >= 5; }, 20000)) << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    const std::vector<RingFile> files = station_files(s);
    expect_files_and_rows_agree(s, files);
    const long long sim_start = sim_start_of(s);
    ASSERT_GT(sim_start, 0) << s.sim.text();
    EXPECT_TRUE(wrong_seconds(system_run::seconds_of(files, "SHZ"), {"SHZ", 50, 0}, sim_start).empty());
}

TEST(RecorderFaults, IndexUnreachableAtStartRegistersFilesOnTheirNextExtension) {
    SQLITE_PASS_ONLY();
    Station s('U');
    // The index's database lies in a directory that does not exist yet.
    const std::string later = s.dir + "/later";
    std::string ini = system_run::read_file(s.dir + "/odbc.ini");
    const std::string old_db = s.dir + "/veldrum-index.sqlite";
    size_t at = ini.find(old_db);
    ASSERT_NE(at, std::string::npos) << ini;
    ini.replace(at, old_db.size(), later + "/index.sqlite");
    {
        FILE* f = fopen((s.dir + "/odbc.ini").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs(ini.c_str(), f);
        fclose(f);
    }
    s.start_sim({"--channels", "SHZ:50:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Ошибка подключения к БД#", 20000)) << s.log();
    ASSERT_TRUE(wait_until([&] { return !station_files(s).empty(); }, 20000)) << s.log();
    const std::string first_file = station_files(s)[0].relative;

    // The database appears whole, tables and all.
    const std::string ready = s.dir + "/later.tmp";
    mkdir(ready.c_str(), 0755);
    std::string command = "sqlite3 '" + ready + "/index.sqlite' < '" + VELDRUM_SOURCE_DIR +
                          "/db/schema.sql'";
    ASSERT_EQ(system(command.c_str()), 0);
    ASSERT_EQ(rename(ready.c_str(), later.c_str()), 0);
    ASSERT_TRUE(s.wait_log("#БД подключена#", 20000)) << s.log();
    ASSERT_TRUE(wait_until([&] { return !file_rows(s, "cpath='" + first_file + "'").empty(); }, 20000))
        << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    // The file written before the connection has its whole length.
    expect_files_and_rows_agree(s, station_files(s));
}

TEST(RecorderFaults, IndexLostMidRunIsReconnectedWithoutDuplicates) {
    SQLITE_PASS_ONLY();
    Station s('X');
    s.start_sim({"--channels", "SHZ:50:0,SHN:20:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(wait_until([&] { return indexed_seconds(s, "SHN") > 0; }, 20000)) << s.log();
    const std::string db = s.dir + "/veldrum-index.sqlite";
    auto sql = [&](const std::string& text) {
        std::string command = "sqlite3 -cmd '.timeout 10000' '" + db + "' '" + text + "'";
        return system(command.c_str());
    };
    // The table goes away: statements fail, the connection is reset and
    // made again.
    ASSERT_EQ(sql("alter table filelist rename to filelist_away"), 0);
    ASSERT_TRUE(s.wait_log("no such table", 20000)) << s.log();
    ASSERT_TRUE(s.wait_log("#БД подключена#", 20000, 2)) << s.log();
    ASSERT_EQ(sql("alter table filelist_away rename to filelist"), 0);
    const long long before = indexed_seconds(s, "SHN");
    ASSERT_TRUE(wait_until([&] { return indexed_seconds(s, "SHN") > before; }, 20000)) << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    expect_files_and_rows_agree(s, station_files(s));
}

TEST(RecorderFaults, FileSizeLimitLosesThePieceThatDoesNotFit) {
    SQLITE_PASS_ONLY();
    Station s('F');
    // 100 blocks of 512 bytes per file: two pieces of 250 seconds at 40 sps
    // (20,000 bytes each) fit behind a header, a third does not.
    s.wrapper = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 100; exec \"$0\" \"$@\""};
    const long long start = 1084800000;
    // --once: no reconnections after the data, whose log lines would count
    // against the limit too.
    s.start_sim({"--channels", "SHZ:40:0", "--fast", "--start", text_of(start), "--seconds", "1000",
                 "--once"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(wait_until(
        [&] {
            for (const Row& r : file_rows(s, own_rows(s)))
                if (r.tbegin + r.tqty == start + 1000) return true;
            return false;
        },
        60000))
        << s.log();
    ASSERT_EQ(s.stop_veldrum(), 0) << s.log();
    EXPECT_GE(s.log_count(kOpenError + s.data_dir + "/"), 1u) << s.log();

    const std::vector<RingFile> files = station_files(s);
    expect_files_and_rows_agree(s, files);
    system_run::ChannelSeconds got = system_run::seconds_of(files, "SHZ");
    EXPECT_TRUE(wrong_seconds(got, {"SHZ", 40, 0}, start).empty());
    EXPECT_TRUE(got.repeated.empty());
    // What is missing are whole pieces that did not fit behind the file
    // they would have extended; the next piece started a new file.
    const size_t limit = 51200;
    int gaps = 0;
    for (long long t = start; t < start + 1000; ++t) {
        if (got.by_second.count(t)) continue;
        long long end = t;
        while (end < start + 1000 && !got.by_second.count(end)) ++end;
        SCOPED_TRACE("gap from " + text_of(t - start) + " to " + text_of(end - start));
        ++gaps;
        EXPECT_LE(end - t, 250);
        bool extended = false, restarted = end == start + 1000;
        for (const RingFile& f : files) {
            if (f.start <= t - 1 && t - 1 < f.start + whole_seconds(f)) {
                extended = true;
                EXPECT_GT(512 + f.samples.size() * 2 + static_cast<size_t>(end - t) * 80, limit);
            }
            restarted = restarted || f.start == end;
        }
        EXPECT_TRUE(extended);
        EXPECT_TRUE(restarted);
        t = end;
    }
    EXPECT_GE(gaps, 1);
    for (const RingFile& f : files) EXPECT_LE(f.samples.size() * 2 + 512, limit) << f.relative;
}

}  // namespace
