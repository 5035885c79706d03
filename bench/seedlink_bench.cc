// SeedLink fan-out: records appended to the ring as fast as one thread can,
// served to N real-time clients on loopback, and one client that never
// reads. Reports appends per second (what the feed would see) and packets
// per second delivered to all clients together, per N.
//
// seedlink_bench [RECORDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "live/record_ring.h"
#include "live/seedlink_server.h"
#include "seed/record.h"

namespace {

using Clock = std::chrono::steady_clock;
// A 4.0 packet: 17 header bytes, "XX_BENCH" and the record.
constexpr uint64_t kPacketBytes = 17 + 8 + 512;

int connect_from(int port, uint32_t source) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(source);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    const std::string hello = "SLPROTO 4.0\r\nSTATION *\r\nDATA\r\nEND\r\n";
    send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    char ok[12];
    if (recv(fd, ok, sizeof ok, MSG_WAITALL) != sizeof ok) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const long records = argc > 1 ? std::atol(argv[1]) : 20000;
    static StationContext station;
    Config& config = station.config;
    std::snprintf(station.station_name, sizeof station.station_name, "BENCH");
    config.seedlink_clients = 1000;
    char dir[] = "/tmp/veldrum-slbench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    RecordRing ring;
    if (!ring.open(std::string(dir) + "/seedlink.ring", 64ull * 1048576)) return 1;
    std::vector<uint8_t> record(flushBufferBytes(400));
    std::vector<int32_t> samples(400);
    for (int i = 0; i < 400; ++i) samples[static_cast<size_t>(i)] = (i * 37) % 2000 - 1000;
    buildRecords("XX", "BENCH", "SHZ", 100, 1.7e9, samples.data(), 400, record.data());

    std::printf("%8s %14s %16s %14s\n", "clients", "appends/s", "delivered/s", "per client/s");
    for (const int clients : {1, 10, 50, 100}) {
        const int port = 20000 + clients;
        config.seedlink_port = port;
        if (!start_seedlink_server(ring, station)) return 1;
        std::vector<int> fds;
        for (int i = 0; i < clients; ++i) fds.push_back(connect_from(port, 0x7F000A00u + 1 + static_cast<uint32_t>(i / 10)));
        const int stalled = connect_from(port, 0x7F000B01u);
        std::atomic<uint64_t> bytes{0};
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            std::vector<pollfd> p;
            for (int fd : fds) p.push_back({fd, POLLIN, 0});
            char buffer[65536];
            const uint64_t want = static_cast<uint64_t>(records) * kPacketBytes * fds.size();
            while (reading.load() && bytes.load() < want) {
                if (poll(p.data(), p.size(), 200) <= 0) continue;
                for (const pollfd& q : p)
                    if (q.revents & POLLIN) {
                        const ssize_t n = recv(q.fd, buffer, sizeof buffer, 0);
                        if (n > 0) bytes += static_cast<uint64_t>(n);
                    }
            }
        });
        const Clock::time_point start = Clock::now();
        for (long i = 0; i < records; ++i) ring.append(record.data());
        const double append_seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const uint64_t want = static_cast<uint64_t>(records) * kPacketBytes * fds.size();
        while (bytes.load() < want && Clock::now() - start < std::chrono::seconds(120))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        reading.store(false);
        reader.join();
        const double delivered = static_cast<double>(bytes.load()) / kPacketBytes;
        std::printf("%8d %14.0f %16.0f %14.0f%s\n", clients, records / append_seconds, delivered / seconds,
                    delivered / seconds / clients, bytes.load() < want ? "  (not all delivered)" : "");
        for (int fd : fds) close(fd);
        if (stalled >= 0) close(stalled);
        stop_seedlink_server();
    }
    ring.close();
    std::string command = std::string("rm -rf '") + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
