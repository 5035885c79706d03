// Latency of the live feed: blocks of 1 s handed to the feed as the decoder
// hands them, once a second per channel, and the time until a SeedLink 4.0
// client on loopback holds the record with the block's samples. Clients run
// in a child process, so that the CPU figure is the feed's and the server's.
//
// seedlink_latency_bench [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "live/live_feed.h"
#include "live/seedlink_server.h"
#include "seed/record_layout.h"

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

int connect_client(int port, uint32_t source) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(source);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string hello = "SLPROTO 4.0\r\nSTATION *\r\nDATA\r\nEND\r\n";
    char ok[12];
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != ssize_t(hello.size()) ||
        recv(fd, ok, sizeof ok, MSG_WAITALL) != sizeof ok) {
        close(fd);
        return -1;
    }
    return fd;
}

bool read_exact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t k = recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Seconds since 1970 of a record's last sample, and its rate, from its header.
double last_sample_time(const uint8_t* r, double* rate) {
    auto be16 = [&](int at) { return (r[at] << 8) | r[at + 1]; };
    const int year = be16(20), day = be16(22);
    long days = 0;
    for (int y = 1970; y < year; ++y)
        days += (y % 4 == 0 && y % 100 != 0) || y % 400 == 0 ? 366 : 365;
    const double start =
        (days + day - 1) * 86400.0 + r[24] * 3600 + r[25] * 60 + r[26] + be16(28) / 10000.0;
    *rate = static_cast<int16_t>(be16(32));
    return start + (be16(30) - 1) / *rate;
}

// The clients' side: every client reads; client 0 notes, for each block of
// each channel, how long after the block was handed over it held all of it.
void clients(int port, int count, double wall0, double data0, int seconds, int out) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) fds.push_back(connect_client(port, 0x7F000A00u + 1 + i / 10));
    std::vector<std::thread> readers;
    std::vector<double> latencies;
    std::map<std::string, long> complete;  // client 0: the last whole block, by channel
    for (int i = 0; i < count; ++i)
        readers.emplace_back([&, i] {
            uint8_t head[17], id[256], record[kSeedRecordLength];
            while (fds[i] >= 0 && read_exact(fds[i], head, sizeof head) &&
                   read_exact(fds[i], id, head[16]) && read_exact(fds[i], record, sizeof record)) {
                if (i != 0) continue;
                double rate = 0;
                const double last = last_sample_time(record, &rate);
                const long whole = std::lround(std::floor(last + 1 / rate - data0 + 1e-6)) - 1;
                long& done = complete[std::string(reinterpret_cast<char*>(record) + 15, 3)];
                for (long block = done + 1; block <= whole; ++block)
                    if (block >= 2 && block < seconds - 1)
                        latencies.push_back(now() - (wall0 + block + 1));
                done = std::max(done, whole);
            }
        });
    sleep(static_cast<unsigned>(seconds + 3));
    for (int fd : fds) shutdown(fd, SHUT_RDWR);
    for (std::thread& t : readers) t.join();
    std::sort(latencies.begin(), latencies.end());
    double figures[3] = {static_cast<double>(latencies.size()), 0, 0};
    if (!latencies.empty()) {
        figures[1] = latencies[latencies.size() / 2];
        figures[2] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    (void)!write(out, figures, sizeof figures);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    static StationContext station;
    Config& config = station.config;
    std::snprintf(station.station_name, sizeof station.station_name, "BENCH");
    char dir[] = "/tmp/veldrum-latency-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    std::snprintf(config.data_dir, sizeof config.data_dir, "%s", dir);
    config.seedlink_latency = 1.0;
    config.seedlink_clients = 1000;
    std::printf("%10s %8s %8s %10s %10s %12s\n", "channels", "sps", "clients", "median s", "99th s",
                "CPU % core");
    struct Load {
        int channels, rate, clients;
    };
    for (const Load load : {Load{24, 100, 1}, Load{256, 200, 1}, Load{256, 200, 100}}) {
        config.seedlink_port = 21000 + load.channels + load.clients;
        std::remove((std::string(dir) + "/seedlink.ring").c_str());
        if (!start_live_feed(station) || !start_seedlink_server(live_ring(), station)) return 1;
        const double wall0 = std::ceil(now()) + 2, data0 = 1.7e9;
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0) return 1;
        const pid_t child = fork();
        if (child == 0) {
            clients(config.seedlink_port, load.clients, wall0, data0, seconds, pipe_fds[1]);
            _exit(0);
        }
        std::vector<uint8_t> block(static_cast<size_t>(2 * load.rate));
        for (int i = 0; i < load.rate; ++i) {
            const int v = static_cast<int>(1000 * std::sin(i * 0.1));
            block[2 * i] = static_cast<uint8_t>(v);
            block[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        }
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        for (int k = 0; k < seconds; ++k) {
            // A block's last sample is in hand a second after its first.
            std::this_thread::sleep_for(std::chrono::duration<double>(wall0 + k + 1 - now()));
            for (int c = 0; c < load.channels; ++c) {
                char name[16];
                std::snprintf(name, sizeof name, "%03d", c);  // a code of three
                live_take_samples(name, load.rate, data0 + k, load.rate, block.data());
            }
        }
        getrusage(RUSAGE_SELF, &after);
        auto cpu = [](const rusage& u) {
            return u.ru_utime.tv_sec + u.ru_stime.tv_sec +
                   (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
        };
        double figures[3] = {0, 0, 0};
        (void)!read(pipe_fds[0], figures, sizeof figures);
        waitpid(child, nullptr, 0);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        stop_seedlink_server();
        stop_live_feed();
        std::printf("%10d %8d %8d %10.3f %10.3f %12.1f\n", load.channels, load.rate, load.clients,
                    figures[1], figures[2], 100 * (cpu(after) - cpu(before)) / seconds);
    }
    std::string command = std::string("rm -rf '") + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
