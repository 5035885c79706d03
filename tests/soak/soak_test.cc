// A bad day, compressed: broken sessions, silence, malformed messages, the
// index server paused, LISS clients stalling, a flush, then SIGTERM.
// VELDRUM_SOAK_SECONDS: the data's length (default 480 s, sent 4x fast).
#include <httplib.h>

#include <climits>
#include <set>
#include <thread>

#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

long long rss_kib(pid_t pid) {
    return atoll(sh("grep VmRSS: /proc/" + to_string(pid) + "/status | tr -dc 0-9").c_str());
}

// A LISS client that reads, or stalled holds a small buffer, then leaves;
// returns the records read.
int liss_visit(int port, int seconds, bool stalled) {
    const int fd = liss_client::connect_to(port, stalled ? 4096 : 0, 0);
    long long bytes = 0;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    if (stalled) std::this_thread::sleep_until(end);
    for (ssize_t n = 1; fd >= 0 && n != 0 && std::chrono::steady_clock::now() < end;)
        if (liss_client::readable_within(fd, 1000))
            bytes += std::max<ssize_t>(n = recv(fd, buf, sizeof buf, 0), 0);
    if (fd >= 0) close(fd);
    return int(bytes / 512);
}

// The soak's own PostgreSQL, so that pausing it disturbs no other test.
struct PgCluster {
    std::string dir;
    bool run(const std::string& what, const std::string& odbcini = "") const {
        return sh("sh " VELDRUM_SOURCE_DIR "/db/pg-test-cluster.sh " + what + " '" + dir + "' " +
                  odbcini + " >/dev/null 2>&1 && echo ok") == "ok\n";
    }
    ~PgCluster() { run("stop"); }
};

TEST(Soak, BadDayLosesNothingAndEndsClean) {
    const char* given = getenv("VELDRUM_SOAK_SECONDS");
    const long long seconds = given ? std::max(120LL, atoll(given)) : 480, speed = 4, every = 30,
                    start = 1700000000, seed = 7;  // fixed, so the samples are known
    const std::vector<std::pair<std::string, int>> channels = {
        {"SHZ", 100}, {"SHN", 100}, {"SHE", 100}, {"BHZ", 50}, {"LHZ", 20}, {"HHZ", 200}};

    Station s('S');
    chmod(s.dir.c_str(), 0755);  // the database server may run as another user
    PgCluster pg{s.dir + "/pg"};
    const bool with_pg = pg.run("start", "'" + s.dir + "/odbc.ini'");
    if (with_pg) s.dsn = "KVRPG";
    const int liss_port = free_port(), http_port = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + to_string(http_port);
    s.start_veldrum({"FLUSH=5", "SPORT=" + to_string(liss_port)});
    ASSERT_TRUE(s.wait_log("#START#", 20000));
    s.start_sim(
        {"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,BHZ:50:0,LHZ:20:0,HHZ:200:0,EHZ:200:7",
         "--fast", "--speed", to_string(speed), "--start", to_string(start), "--seed",
         to_string(seed), "--seconds", to_string(seconds), "--event-every", to_string(every),
         "--disconnect-every", "100", "--silence-every", "150:4", "--malformed-every", "45"});

    // The schedule runs over the wall-clock length of the stretch.
    const auto t0 = std::chrono::steady_clock::now();
    auto until = [&](double part) {
        std::this_thread::sleep_until(
            t0 + std::chrono::milliseconds(long(seconds / speed * part * 1000)));
    };
    until(0.15);
    int liss_read = liss_visit(liss_port, 4, false);
    until(0.25);
    const long long rss_warm = rss_kib(s.server.pid);
    std::thread stall([&] { liss_visit(liss_port, 8, true); });
    until(0.35);
    const bool paused = with_pg && pg.run("pause");
    until(0.50);
    const bool resumed = with_pg && pg.run("resume");
    const auto flush =
        httplib::Client("127.0.0.1", http_port)
            .Post("/api/flush",
                  httplib::Headers{{"Origin", "http://127.0.0.1:" + to_string(http_port)}}, "",
                  "text/plain");
    stall.join();
    until(0.65);
    liss_read += liss_visit(liss_port, 4, false);
    // The simulator ends by itself once the whole stretch is sent.
    ASSERT_TRUE(s.wait_sim(".." + to_string(start + seconds - 1) + "\n",
                           int(seconds / speed * 1000) + 120000))
        << s.sim.text();
    sleep(8);  // one more pass
    const long long rss_end = rss_kib(s.server.pid);
    const int exit_code = s.stop_veldrum(60000);
    s.sim.stop(5000);

    // The ring files second by second, files against rows, events once.
    const std::vector<RingFile> files = s.files();
    expect_rows_match(s, files);
    for (size_t c = 0; c < channels.size(); ++c)
        expect_channel(files, channels[c].first, channels[c].second, int(c), start, seconds, seed);
    const std::vector<std::string> events = s.rows("select sta, tbegin from eventlist");
    const std::string log = s.log();
    const size_t distinct_events = std::set(events.begin(), events.end()).size();
    const long long losses = count(log, "#Станция отключена#"),
                    connections = count(log, "#БД подключена#"),
                    malformed = count(log, "#Неверный") + count(log, "#Размер остатка блока");
    const std::tuple<const char*, long long, bool> table[] = {
        {"exit code", exit_code, exit_code == 0},
        {"ring files", (long long)files.size(), files.size() >= 1},
        {"events stored", (long long)events.size(),
         (long long)events.size() == (seconds - 1) / every},
        {"events stored twice", (long long)(events.size() - distinct_events),
         events.size() == distinct_events},
        {"session losses logged", losses, losses >= 1},
        {"malformed blocks logged", malformed, malformed >= 1},
        {"LISS records read (two visits)", liss_read, liss_read >= 1},
        {"flush pressed (HTTP status)", flush ? flush->status : 0, flush && flush->status == 200},
        {"database paused and resumed", paused && resumed, paused == with_pg && resumed == with_pg},
        {"database connections", connections, connections >= (with_pg ? 2 : 1)},
        {"STOP lines in the log", (long long)count(log, "STOP"), count(log, "STOP") == 1},
        // Allocator noise aside, memory must not grow with the data.
        {"RSS growth after warm-up (KiB)", rss_end - rss_warm,
         rss_warm > 0 && (kSanitized || rss_end <= rss_warm + std::max(4096LL, rss_warm / 10))},
    };
    printf("\n  soak: %lld s of data, %zu channels, %lld s a second, index %s\n", seconds,
           channels.size() + 1, speed, with_pg ? "PostgreSQL" : "SQLite");
    for (const auto& [what, got, ok] : table) {
        printf("  | %-40s | %8lld |\n", what, got);
        EXPECT_TRUE(ok) << what << ": " << got;
    }
}

}  // namespace
