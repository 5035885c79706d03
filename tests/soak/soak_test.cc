// A bad day, compressed: the simulator sends a fixed stretch of seconds fast,
// breaking the session, going silent and sending malformed messages on the
// way; the index's PostgreSQL server goes down and comes back; LISS clients
// come, stall and leave; the flush button is pressed; the server is stopped by
// SIGTERM. Afterwards every delivered second must be in the ring files once,
// files and rows must match one to one, no event twice, memory flat, exit 0.
//
// VELDRUM_SOAK_SECONDS sets the stretch of data (default 480 seconds, sent at
// four seconds a second); set it to hours for a long run by hand.
#include <arpa/inet.h>
#include <httplib.h>
#include <sys/resource.h>

#include <set>
#include <thread>

#include "tests/system/system_run.h"
#include "tools/stationsim/signal.h"

namespace {

using system_run::Station;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct SimChannel {
    const char* name;
    int rate;
    int kind;
};
constexpr long long kEventEvery = 30;  // seconds between two events
const SimChannel kChannels[] = {{"SHZ", 100, 0}, {"SHN", 100, 0}, {"SHE", 100, 0}, {"BHZ", 50, 0},
                                {"LHZ", 20, 0},  {"HHZ", 200, 0}, {"EHZ", 200, 7}};

long long rss_kib(pid_t pid) {
    std::string status = system_run::read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 6);
}

int connect_liss(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads records for a while and leaves; returns the whole records read.
int liss_visit(int port, int seconds) {
    int fd = connect_liss(port);
    if (fd < 0) return 0;
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    long long bytes = 0;
    char buf[4096];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n > 0) bytes += n;
    }
    close(fd);
    return static_cast<int>(bytes / 512);
}

// A client that connects and never reads.
void liss_stall(int port, int seconds) {
    int fd = connect_liss(port);
    if (fd < 0) return;
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    close(fd);
}

bool press_flush(int port) {
    httplib::Client client("127.0.0.1", port);
    httplib::Headers origin = {{"Origin", "http://127.0.0.1:" + std::to_string(port)}};
    auto res = client.Post("/api/flush", origin, "", "text/plain");
    return res && res->status == 200;
}

// A throwaway PostgreSQL cluster of the soak's own, so that stopping it
// disturbs no other test; empty when PostgreSQL is not installed.
struct PgCluster {
    std::string dir;
    bool up = false;
    std::string script(const char* what, const std::string& odbcini = "") const {
        return std::string("sh '") + VELDRUM_SOURCE_DIR + "/db/pg-test-cluster.sh' " + what + " '" +
               dir + "/pg' " + (odbcini.empty() ? "" : "'" + odbcini + "'") + " >/dev/null 2>&1";
    }
    bool start(const std::string& odbcini) {
        char pattern[] = "/tmp/veldrum-soak-pg-XXXXXX";
        if (!mkdtemp(pattern)) return false;
        dir = pattern;
        chmod(dir.c_str(), 0755);  // the server may run as another user
        up = system(script("start", odbcini).c_str()) == 0;
        return up;
    }
    bool pause() const { return system(script("pause").c_str()) == 0; }
    bool resume() const { return system(script("resume").c_str()) == 0; }
    ~PgCluster() {
        if (dir.empty()) return;
        int rc = system(script("stop").c_str());
        (void)rc;
        rmdir(dir.c_str());
    }
};

TEST(Soak, BadDayLosesNothingAndEndsClean) {
    const char* env_seconds = getenv("VELDRUM_SOAK_SECONDS");
    const long long seconds = env_seconds ? std::max(120LL, std::atoll(env_seconds)) : 480;
    const int speed = 4;
    const long long start = 1700000000;  // fixed, so the samples are known
    const uint32_t seed = 7;

    Station s('S');
    PgCluster pg;
    const bool with_pg = pg.start(s.dir + "/odbc.ini");
    if (with_pg) s.dsn = "KVRPG";
    const int liss_port = system_run::free_port();
    const int http_port = system_run::free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(http_port);

    std::string channels;
    for (const SimChannel& c : kChannels)
        channels += (channels.empty() ? "" : ",") + std::string(c.name) + ":" +
                    std::to_string(c.rate) + ":" + std::to_string(c.kind);
    s.start_veldrum({"FLUSH=5", "SPORT=" + std::to_string(liss_port)});
    ASSERT_TRUE(s.wait_log("#START#", 20000));
    s.start_sim({"--channels", channels, "--fast", "--speed", std::to_string(speed), "--start",
                 std::to_string(start), "--seed", std::to_string(seed), "--seconds",
                 std::to_string(seconds), "--event-every", std::to_string(kEventEvery), "--disconnect-every", "100",
                 "--silence-every", "150:4", "--malformed-every", "45"});

    // The schedule runs over the wall-clock length of the stretch.
    const long long wall = seconds / speed;
    auto t0 = std::chrono::steady_clock::now();
    auto until = [&](double fraction) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(
                                               static_cast<long long>(wall * fraction * 1000)));
    };

    until(0.15);
    int liss_first = liss_visit(liss_port, 4);
    until(0.25);
    const long long rss_warm = rss_kib(s.server.pid);
    std::thread stall([&] { liss_stall(liss_port, 8); });
    until(0.35);
    bool paused = with_pg && pg.pause();
    until(0.50);
    bool resumed = with_pg && pg.resume();
    bool flushed = press_flush(http_port);
    stall.join();
    until(0.65);
    int liss_second = liss_visit(liss_port, 4);

    // The simulator ends by itself once the whole stretch is sent.
    const std::string last = ".." + std::to_string(start + seconds - 1) + "\n";
    ASSERT_TRUE(s.wait_sim(last, static_cast<int>(wall * 1000) + 120000)) << s.sim.text();
    std::this_thread::sleep_for(std::chrono::seconds(8));  // one more pass
    const long long rss_end = rss_kib(s.server.pid);
    const int exit_code = s.stop_veldrum(60000);
    s.stop_sim();

    // What the ring files hold, second by second, against the signal.
    std::vector<system_run::RingFile> files = s.files();
    long long missing = 0, wrong = 0, repeated = 0;
    for (size_t c = 0; c < std::size(kChannels); ++c) {
        if (kChannels[c].kind != 0) continue;
        system_run::ChannelSeconds got = system_run::seconds_of(files, kChannels[c].name);
        repeated += static_cast<long long>(got.repeated.size());
        for (long long i = 0; i < seconds; ++i) {
            auto it = got.by_second.find(start + i);
            if (it == got.by_second.end()) {
                ++missing;
                continue;
            }
            for (int k = 0; k < kChannels[c].rate; ++k)
                if (it->second[k] != stationsim::signal_sample(seed, static_cast<int>(c),
                                                               i * kChannels[c].rate + k)) {
                    ++wrong;
                    break;
                }
        }
    }

    // Files and rows one to one; events once.
    std::multiset<std::string> row_paths;
    for (const std::string& r : s.rows("select cpath from filelist")) row_paths.insert(r);
    long long orphan_rows = 0, files_without_row = 0, duplicate_rows = 0;
    std::set<std::string> file_paths;
    for (const system_run::RingFile& f : files) {
        file_paths.insert(f.relative);
        size_t n = row_paths.count(f.relative);
        if (n == 0) ++files_without_row;
        if (n > 1) duplicate_rows += static_cast<long long>(n - 1);
    }
    for (const std::string& p : row_paths)
        if (!file_paths.count(p)) ++orphan_rows;
    std::vector<std::string> events = s.rows("select sta, tbegin from eventlist");
    std::set<std::string> distinct(events.begin(), events.end());
    const long long duplicate_events = static_cast<long long>(events.size() - distinct.size());

    const std::string log = s.log();
    std::printf("\n  soak: %lld s of data, %zu channels, %d s a second, index %s\n", seconds,
                std::size(kChannels), speed, with_pg ? "PostgreSQL" : "SQLite");
    std::printf("  | check                                  | result |\n");
    std::printf("  |----------------------------------------|--------|\n");
    std::printf("  | continuous seconds expected            | %6lld |\n",
                seconds * 6);
    std::printf("  | seconds missing from the ring files    | %6lld |\n", missing);
    std::printf("  | seconds with wrong samples             | %6lld |\n", wrong);
    std::printf("  | seconds stored twice                   | %6lld |\n", repeated);
    std::printf("  | ring files                             | %6zu |\n", files.size());
    std::printf("  | files without a row                    | %6lld |\n", files_without_row);
    std::printf("  | rows without a file                    | %6lld |\n", orphan_rows);
    std::printf("  | rows duplicated                        | %6lld |\n", duplicate_rows);
    std::printf("  | events sent / stored / duplicated      | %lld/%zu/%lld |\n",
                (seconds - 1) / kEventEvery, events.size(), duplicate_events);
    std::printf("  | session losses logged                  | %6zu |\n",
                s.log_count("#Станция отключена#"));
    std::printf("  | malformed blocks logged                | %6zu |\n",
                s.log_count("#Неверный") + s.log_count("#Размер остатка блока"));
    std::printf("  | database reconnections                 | %6zu |\n",
                s.log_count("#БД подключена#"));
    std::printf("  | LISS records read (two visits)         | %6d |\n", liss_first + liss_second);
    std::printf("  | RSS after warm-up / at end (KiB)       | %lld/%lld |\n", rss_warm, rss_end);
    std::printf("  | exit code                              | %6d |\n\n", exit_code);

    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(files_without_row, 0);
    EXPECT_EQ(orphan_rows, 0);
    EXPECT_EQ(duplicate_rows, 0);
    EXPECT_EQ(duplicate_events, 0);
    EXPECT_EQ(static_cast<long long>(events.size()), (seconds - 1) / kEventEvery);
    EXPECT_GE(s.log_count("#Станция отключена#"), 1u);
    EXPECT_GE(s.log_count("#Неверный") + s.log_count("#Размер остатка блока"), 1u);
    EXPECT_GT(liss_first + liss_second, 0);
    EXPECT_TRUE(flushed);
    if (with_pg) {
        EXPECT_TRUE(paused && resumed);
        EXPECT_GE(s.log_count("#БД подключена#"), 2u) << "no reconnection after the outage";
    }
    // Allocator noise aside, memory must not grow with the data.
    if (!kSanitized) {
        EXPECT_LE(rss_end, rss_warm + std::max(4096LL, rss_warm / 10));
    }
    EXPECT_EQ(log.find("STOP"), log.rfind("STOP"));
}

}  // namespace
