// Recorder throughput: samples per second from queued blocks to ring files
// and index rows (SQLite through unixODBC), for pieces of 250 one-second
// blocks (appends) and for one piece per block (a new file and row each).
//
// recorder_bench [path/to/db/make-sqlite-dsn.sh]
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "link/block_format.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "recorder/file_index.h"
#include "recorder/recorder_pass.h"

namespace {

std::vector<uint8_t> sample_block(int c, int64_t t, int n) {
    using namespace block_format;
    std::vector<uint8_t> b(64 + 2 * n, 0);
    write_u16(&b[kType], kSampleBlock);
    write_u16(&b[kHeaderLength], 64);
    write_u16(&b[kDataLength], static_cast<uint16_t>(2 * n));
    b[kChannel] = static_cast<uint8_t>(c);
    time_t w = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&w, &tm);
    b[kMinute] = static_cast<uint8_t>(tm.tm_min);
    b[kHour] = static_cast<uint8_t>(tm.tm_hour);
    b[kSecond] = static_cast<uint8_t>(tm.tm_sec);
    write_u16(&b[kYear], static_cast<uint16_t>(tm.tm_year + 1900));
    b[kDay] = static_cast<uint8_t>(tm.tm_mday);
    b[kMonth] = static_cast<uint8_t>(tm.tm_mon + 1);
    for (int i = 0; i < n; ++i) write_u16(&b[64 + 2 * i], static_cast<uint16_t>(i * 7));
    return b;
}

// Runs `passes` passes over 3 channels of `rate` sps; `step` is the time
// between blocks (1: continuous, 2: a gap after every block).
double run(const StationContext& station, int passes, int rate, int step, int64_t* start) {
    int64_t samples = 0;
    double seconds = 0;
    for (int p = 0; p < passes; ++p) {
        for (int k = 0; k < 3; ++k)
            for (int i = 0; i < kBlocksPerTurn; ++i) {
                auto b = sample_block(k, *start + static_cast<int64_t>(i) * step, rate);
                put_block(k, b.data(), static_cast<int>(b.size()));
            }
        *start += static_cast<int64_t>(kBlocksPerTurn) * step;
        auto t0 = std::chrono::steady_clock::now();
        make_pass(station);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        samples += 3LL * kBlocksPerTurn * rate;
    }
    return samples / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const char* script = argc > 1 ? argv[1] : "db/make-sqlite-dsn.sh";
    char dir[] = "/tmp/veldrum-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string command = std::string("sh '") + script + "' '" + dir + "' >/dev/null";
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "cannot create the SQLite DSN with %s\n", script);
        return 1;
    }
    setenv("ODBCINI", (std::string(dir) + "/odbc.ini").c_str(), 1);
    setenv("ODBCSYSINI", dir, 1);
    std::string data = std::string(dir) + "/data";
    mkdir(data.c_str(), 0777);
    static StationContext station;
    snprintf(station.config.data_dir, sizeof station.config.data_dir, "%s", data.c_str());
    snprintf(station.station_name, sizeof station.station_name, "BENCH");
    station.config.size_limit = ~0ull;
    run_flag.store(1);
    start_database_thread(station);
    for (int i = 0; i < 200 && !index_connected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wait_database_thread();
    if (!index_connected()) {
        fprintf(stderr, "no connection to the SQLite index\n");
        return 1;
    }
    const char* names[3] = {"SHZ", "SHN", "SHE"};
    std::vector<RosterEntry> roster(3);
    for (int k = 0; k < 3; ++k) {
        RosterEntry& e = roster[k];
        e = RosterEntry{};
        e.channel = k;
        snprintf(e.name, sizeof e.name, "%s", names[k]);
        e.sample_rate = 100;
    }
    publish_roster(roster);
    int64_t start = 1084799107;
    double appends = run(station, 40, 100, 1, &start);
    double news = run(station, 4, 100, 2, &start);
    printf("recorder, 3 channels at 100 sps, SQLite index:\n");
    printf("  pieces of 250 s (append + extend_file): %.0f samples/s\n", appends);
    printf("  one piece per 1-s block (new file + register_file): %.0f samples/s\n", news);
    std::string cleanup = std::string("rm -rf '") + dir + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
