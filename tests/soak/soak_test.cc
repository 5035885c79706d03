// A bad day, compressed: the simulator sends a fixed stretch of seconds fast,
// breaking the session, going silent and sending malformed messages on the
// way; the index's PostgreSQL server goes down and comes back; LISS clients
// come, stall and leave; the flush button is pressed; the server is stopped by
// SIGTERM. Afterwards every delivered second must be in the ring files once,
// files and rows must match one to one, no event twice, memory flat, exit 0.
//
// VELDRUM_SOAK_SECONDS sets the stretch of data (default 480 seconds, sent at
// four seconds a second); set it to hours for a long run by hand.
#include <httplib.h>

#include <climits>
#include <set>
#include <thread>

#include "tests/system/system_run.h"

namespace {

using namespace system_run;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

long long rss_kib(pid_t pid) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atoll(status.c_str() + at + 6);
}

// A LISS client that reads (or, stalled, only holds a small receive
// buffer) for a while and leaves; returns the whole records read.
int liss_visit(int port, int seconds, bool stalled) {
    const int fd = liss_client::connect_once(port, stalled ? 4096 : 0);
    long long bytes = 0;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (ssize_t n = 1; fd >= 0 && n != 0 && std::chrono::steady_clock::now() < end;) {
        n = stalled || !liss_client::readable_within(fd, 1000) ? -1 : recv(fd, buf, sizeof buf, 0);
        bytes += std::max<ssize_t>(n, 0);
        if (stalled) usleep(100000);
    }
    if (fd >= 0) close(fd);
    return int(bytes / 512);
}

// A PostgreSQL cluster of the soak's own, so that stopping it disturbs no
// other test; it does not start when PostgreSQL is not installed.
struct PgCluster {
    std::string dir;
    bool run(const std::string& what, const std::string& odbcini = "") const {
        return system(("sh '" VELDRUM_SOURCE_DIR "/db/pg-test-cluster.sh' " + what + " '" + dir +
                       "' " + odbcini + " >/dev/null 2>&1")
                          .c_str()) == 0;
    }
    ~PgCluster() { run("stop"); }
};

TEST(Soak, BadDayLosesNothingAndEndsClean) {
    const char* given = getenv("VELDRUM_SOAK_SECONDS");
    const long long seconds = given ? std::max(120LL, atoll(given)) : 480, speed = 4, every = 30;
    const long long start = 1700000000;  // fixed, so the samples are known
    const uint32_t seed = 7;
    const std::vector<std::pair<std::string, int>> channels = {
        {"SHZ", 100}, {"SHN", 100}, {"SHE", 100}, {"BHZ", 50}, {"LHZ", 20}, {"HHZ", 200}};

    Station s('S');
    chmod(s.dir.c_str(), 0755);  // the database server may run as another user
    PgCluster pg{s.dir + "/pg"};
    const bool with_pg = pg.run("start", "'" + s.dir + "/odbc.ini'");
    if (with_pg) s.dsn = "KVRPG";
    const int liss_port = free_port(), http_port = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(http_port);
    std::string list = "EHZ:200:7";  // event-only, after the continuous ones
    for (auto it = channels.rbegin(); it != channels.rend(); ++it)
        list = it->first + ":" + std::to_string(it->second) + ":0," + list;
    s.start_veldrum({"FLUSH=5", "SPORT=" + std::to_string(liss_port)});
    ASSERT_TRUE(s.wait_log("#START#", 20000));
    s.start_sim({"--channels", list, "--fast", "--speed", std::to_string(speed), "--start",
                 std::to_string(start), "--seed", std::to_string(seed), "--seconds",
                 std::to_string(seconds), "--event-every", std::to_string(every),
                 "--disconnect-every", "100", "--silence-every", "150:4", "--malformed-every",
                 "45"});

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
    httplib::Headers origin = {{"Origin", "http://127.0.0.1:" + std::to_string(http_port)}};
    const auto flush =
        httplib::Client("127.0.0.1", http_port).Post("/api/flush", origin, "", "text/plain");
    stall.join();
    until(0.65);
    liss_read += liss_visit(liss_port, 4, false);
    // The simulator ends by itself once the whole stretch is sent.
    ASSERT_TRUE(s.wait_sim(".." + std::to_string(start + seconds - 1) + "\n",
                           int(seconds / speed * 1000) + 120000))
        << s.sim.text();
    sleep(8);  // one more pass
    const long long rss_end = rss_kib(s.server.pid);
    const int exit_code = s.stop_veldrum(60000);
    s.stop_sim();

    // What the ring files hold, second by second, against the signal.
    const std::vector<RingFile> files = s.files();
    long long missing = 0, wrong = 0, repeated = 0;
    for (size_t c = 0; c < channels.size(); ++c) {
        const ChannelSeconds got = seconds_of(files, channels[c].first);
        repeated += got.repeated.size();
        wrong += wrong_seconds(got, channels[c].second, int(c), start, seed).size();
        for (long long i = 0; i < seconds; ++i) missing += got.by_second.count(start + i) ? 0 : 1;
    }
    // Files and rows one to one; events once.
    std::multiset<std::string> paths;
    for (const std::string& r : s.rows("select cpath from filelist")) paths.insert(r);
    long long files_without_row = 0, duplicate_rows = 0, orphan_rows = paths.size();
    for (const RingFile& f : files) {
        const long long n = paths.count(f.relative);
        files_without_row += n == 0;
        duplicate_rows += std::max(n - 1, 0LL);
        orphan_rows -= n;
    }
    const std::vector<std::string> events = s.rows("select sta, tbegin from eventlist");
    const std::string log = s.log();

    struct Line {
        const char* what;
        long long got;
        char op;  // '=', '>' at least, '<' at most
        long long want;
    };
    const Line table[] = {
        {"exit code", exit_code, '=', 0},
        {"seconds missing from the ring files", missing, '=', 0},
        {"seconds with wrong samples", wrong, '=', 0},
        {"seconds stored twice", repeated, '=', 0},
        {"ring files", (long long)files.size(), '>', 1},
        {"files without a row", files_without_row, '=', 0},
        {"rows without a file", orphan_rows, '=', 0},
        {"rows duplicated", duplicate_rows, '=', 0},
        {"events stored", (long long)events.size(), '=', (seconds - 1) / every},
        {"events duplicated",
         (long long)(events.size() - std::set(events.begin(), events.end()).size()), '=', 0},
        {"session losses logged", (long long)count(log, "#Станция отключена#"), '>', 1},
        {"malformed blocks logged",
         (long long)(count(log, "#Неверный") + count(log, "#Размер остатка блока")), '>', 1},
        {"LISS records read (two visits)", liss_read, '>', 1},
        {"flush pressed (HTTP status)", flush ? flush->status : 0, '=', 200},
        {"database paused and resumed", paused && resumed, '=', with_pg},
        {"database connections", (long long)count(log, "#БД подключена#"), '>', with_pg ? 2 : 1},
        {"STOP lines in the log", (long long)count(log, "STOP"), '=', 1},
        {"RSS after warm-up (KiB)", rss_warm, '>', 0},
        // Allocator noise aside, memory must not grow with the data.
        {"RSS at end (KiB)", rss_end, '<',
         kSanitized ? LLONG_MAX : rss_warm + std::max(4096LL, rss_warm / 10)},
    };
    printf("\n  soak: %lld s of data, %zu channels, %lld s a second, index %s\n", seconds,
           channels.size() + 1, speed, with_pg ? "PostgreSQL" : "SQLite");
    for (const Line& l : table) {
        printf("  | %-40s | %8lld |\n", l.what, l.got);
        EXPECT_TRUE(l.op == '='   ? l.got == l.want
                    : l.op == '>' ? l.got >= l.want
                                  : l.got <= l.want)
            << l.what << ": " << l.got << ", want " << l.op << l.want;
    }
}

}  // namespace
