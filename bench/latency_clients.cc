// The clients' half of bench/latency.sh: N SeedLink 4.0 clients on loopback
// in this one thread, each asking for one miniSEED format and decoding every
// record it gets. A block (one second of one channel) counts as held by a
// client when a record carrying its last sample has arrived; its latency is
// that moment less the moment stationsim began to send it (its --send-log).
// Client 0 also checks every sample against the simulator's signal.
//
// latency_clients --port P --format 2|3 --clients N --channels C --seconds S
//                 --sends FILE --start EPOCH [--seed N]
// prints "blocks B missing M wrong W skipped K median_ms X p99_ms Y cpu C
// socket_median_ms X' socket_p99_ms Y'" (C: this process's CPU in % of one
// core; X', Y': to when the bytes were in the client's socket, by the
// kernel's receive time stamp, which leaves this process's own delay out).
#include <arpa/inet.h>
#include <fcntl.h>
#include <libmseed.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "tools/stationsim/signal.h"

// libmseed 2 exports its Steim-2 decoder without declaring it; miniSEED 3
// records carry the same frames behind a header that we read ourselves.
extern "C" int msr_decode_steim2(int32_t* input, int inputlength, int samplecount, int32_t* output,
                                 int outputlength, char* srcname, int swapflag);

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

struct Options {
    int port = 0, format = 3, clients = 1, channels = 0, seconds = 30;
    std::string sends;
    long long start = 0;
    uint32_t seed = 1;
};

struct Client {
    int fd = -1;
    std::vector<uint8_t> in;
    size_t used = 0;
    std::vector<long> done;       // by channel: the last second held whole, LONG_MIN before any
    double read = 0, queued = 0;  // when the last read ended; when the kernel had its bytes
};

struct Arrival {
    long second;
    double read, queued;
};

struct Run {
    Options o;
    std::vector<Arrival> arrivals;
    long wrong = 0, bad_records = 0;
    MSRecord* msr = nullptr;
    std::vector<int32_t> frames, samples;
};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }

// One decoded record: channel index (from the "Cxx" codes stationsim uses),
// the first sample's index since the simulator's start, the samples.
struct Record {
    int channel = -1;
    double rate = 0, offset = 0;  // seconds from the simulator's start
    const int32_t* samples = nullptr;
    int count = 0;
};

int channel_index(const char* code) {
    char* end = nullptr;
    const long c = std::strtol(code, &end, 16);
    return end == code + 2 && c >= 0 && c < 256 ? static_cast<int>(c) : -1;
}

bool decode2(Run& run, uint8_t* p, size_t n, Record* r) {
    if (n != 512 || msr_unpack(reinterpret_cast<char*>(p), 512, &run.msr, 1, 0) != MS_NOERROR ||
        run.msr->sampletype != 'i' || std::strlen(run.msr->channel) != 3)
        return false;
    r->channel = channel_index(run.msr->channel + 1);
    r->rate = run.msr->samprate;
    r->offset = static_cast<double>(run.msr->starttime - run.o.start * HPTMODULUS) / HPTMODULUS;
    r->samples = static_cast<const int32_t*>(run.msr->datasamples);
    r->count = static_cast<int>(run.msr->numsamples);
    return true;
}

long days_from_civil(int y, int month, int d) {  // days since 1970-01-01
    y -= month <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The fixed 40-byte header, the identifier, then Steim-2 frames.
bool decode3(Run& run, uint8_t* p, size_t n, Record* r) {
    if (n < 40 || p[0] != 'M' || p[1] != 'S' || p[2] != 3 || p[15] != 11) return false;
    const size_t id_length = p[33], extra = le16(p + 34), payload = le32(p + 36);
    if (40 + id_length + extra + payload != n || payload % 64 != 0 || id_length < 6) return false;
    double rate = 0;
    std::memcpy(&rate, p + 16, 8);
    if (rate < 0) rate = -1 / rate;
    const int count = static_cast<int>(le32(p + 24));
    if (!(rate > 0) || count <= 0 || count > 16384) return false;
    const long days = days_from_civil(le16(p + 8), 1, 1) + le16(p + 10) - 1;
    const long long seconds = days * 86400LL + p[12] * 3600 + p[13] * 60 + p[14];
    // "FDSN:NET_STA_LOC_B_S_SS" ends in "C_x_y" for channel Cxy.
    const char* id = reinterpret_cast<const char*>(p + 40);
    const char code[3] = {id[id_length - 3], id[id_length - 1], 0};
    if (id[id_length - 2] != '_' || id[id_length - 4] != '_') return false;
    run.frames.resize(payload / 4);
    std::memcpy(run.frames.data(), p + 40 + id_length + extra, payload);
    run.samples.resize(static_cast<size_t>(count));
    char name[] = "bench";
    if (msr_decode_steim2(run.frames.data(), static_cast<int>(payload), count, run.samples.data(),
                          count * 4, name, 1) != count)
        return false;
    r->channel = channel_index(code);
    r->rate = rate;
    r->offset = static_cast<double>(seconds - run.o.start) + le32(p + 4) * 1e-9;
    r->samples = run.samples.data();
    r->count = count;
    return true;
}

void take(Run& run, size_t who, Client& c, uint8_t* payload, size_t n) {
    Record r;
    if (!(run.o.format == 2 ? decode2(run, payload, n, &r) : decode3(run, payload, n, &r)) ||
        r.channel < 0 || r.channel >= run.o.channels) {
        ++run.bad_records;
        return;
    }
    const long rate = std::lround(r.rate), first = std::lround(r.offset * r.rate);
    if (who == 0)
        for (int i = 0; i < r.count; ++i)
            run.wrong +=
                r.samples[i] != stationsim::signal_sample(run.o.seed, r.channel, first + i);
    long& done = c.done[static_cast<size_t>(r.channel)];
    if (done == LONG_MIN) done = (first + rate - 1) / rate - 1;  // the first whole block
    for (const long whole = (first + r.count) / rate - 1; done < whole;)
        run.arrivals.push_back({++done, c.read, c.queued});
}

// Takes the SeedLink 4 packets that are whole: "SE", format, subformat,
// payload length (LE 32), sequence (LE 64), station id length and id.
bool drain(Run& run, size_t who, Client& c) {
    size_t at = 0;
    while (c.used - at >= 17) {
        const uint8_t* h = c.in.data() + at;
        if (h[0] != 'S' || h[1] != 'E') return false;
        const size_t payload = le32(h + 4), total = 17 + h[16] + payload;
        if (payload > 65536) return false;
        if (c.used - at < total) break;
        if (h[2] == '0' + run.o.format)
            take(run, who, c, c.in.data() + at + 17 + h[16], payload);
        else
            ++run.bad_records;  // another format than asked for
        at += total;
    }
    std::memmove(c.in.data(), c.in.data() + at, c.used - at);
    c.used -= at;
    return true;
}

int connect_client(const Options& o, int i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000A01u + static_cast<uint32_t>(i / 10));  // a few per address
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_port = htons(static_cast<uint16_t>(o.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string hello =
        "SLPROTO 4.0\r\nSTATION *\r\nSELECT *." + std::to_string(o.format) + "D\r\nDATA\r\nEND\r\n";
    char answers[16];
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != ssize_t(hello.size()) ||
        recv(fd, answers, sizeof answers, MSG_WAITALL) != sizeof answers ||
        std::memcmp(answers, "OK\r\nOK\r\nOK\r\nOK\r\n", 16) != 0) {
        std::fprintf(stderr, "latency_clients: client %d was not served (%s)\n", i,
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--port")
            o->port = std::atoi(v);
        else if (a == "--format")
            o->format = std::atoi(v);
        else if (a == "--clients")
            o->clients = std::atoi(v);
        else if (a == "--channels")
            o->channels = std::atoi(v);
        else if (a == "--seconds")
            o->seconds = std::atoi(v);
        else if (a == "--sends")
            o->sends = v;
        else if (a == "--start")
            o->start = std::atoll(v);
        else if (a == "--seed")
            o->seed = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        else
            return false;
    }
    return o->port > 0 && (o->format == 2 || o->format == 3) && o->clients > 0 && o->channels > 0 &&
           o->channels <= 256 && o->seconds > 5 && !o->sends.empty() && o->start > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Run run;
    if (argc % 2 == 0 || !parse(argc, argv, &run.o)) {
        std::fprintf(stderr,
                     "usage: latency_clients --port P --format 2|3 --clients N --channels C "
                     "--seconds S --sends FILE --start EPOCH [--seed N]\n");
        return 2;
    }
    const Options& o = run.o;
    const int poller = epoll_create1(0);
    std::vector<Client> clients(static_cast<size_t>(o.clients));
    for (size_t i = 0; i < clients.size(); ++i) {
        Client& c = clients[i];
        if ((c.fd = connect_client(o, static_cast<int>(i))) < 0) return 1;
        c.in.resize(1 << 17);
        c.done.assign(static_cast<size_t>(o.channels), LONG_MIN);
        epoll_event e{EPOLLIN, {.u64 = i}};
        epoll_ctl(poller, EPOLL_CTL_ADD, c.fd, &e);
    }
    const double begun = now(), deadline = begun + o.seconds;
    std::vector<epoll_event> events(clients.size());
    while (now() < deadline) {
        const int n = epoll_wait(poller, events.data(), static_cast<int>(events.size()), 100);
        // Every client reads first, then decodes: the time a record is held
        // is when its last byte was read, not after the others' decoding.
        for (int k = 0; k < n; ++k) {
            Client& c = clients[events[k].data.u64];
            iovec space{c.in.data() + c.used, c.in.size() - c.used};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr m{};
            m.msg_iov = &space;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t got = recvmsg(c.fd, &m, 0);
            c.read = c.queued = now();
            const cmsghdr* h = CMSG_FIRSTHDR(&m);
            if (got > 0 && h != nullptr && h->cmsg_type == SCM_TIMESTAMPNS) {
                timespec t{};
                std::memcpy(&t, CMSG_DATA(h), sizeof t);
                c.queued = static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
            }
            if (got == 0) {
                std::fprintf(stderr, "latency_clients: client %zu lost its stream\n",
                             static_cast<size_t>(events[k].data.u64));
                return 1;
            }
            if (got > 0) c.used += static_cast<size_t>(got);
        }
        for (int k = 0; k < n; ++k) {
            const size_t who = events[k].data.u64;
            if (!drain(run, who, clients[who])) {
                std::fprintf(stderr, "latency_clients: client %zu got no SeedLink 4 packet\n", who);
                return 1;
            }
        }
    }
    for (Client& c : clients) close(c.fd);

    // The blocks sent from 2 s after the clients came until 3 s before they go.
    std::map<long, double> sent;
    FILE* f = std::fopen(o.sends.c_str(), "r");
    long long epoch = 0;
    double wall = 0;
    while (f != nullptr && std::fscanf(f, "%lld %lf", &epoch, &wall) == 2)
        if (wall >= begun + 2 && wall <= deadline - 3)
            sent[static_cast<long>(epoch - o.start)] = wall;
    if (f != nullptr) std::fclose(f);
    std::vector<double> latencies, queued;
    for (const Arrival& a : run.arrivals) {
        const auto found = sent.find(a.second);
        if (found == sent.end()) continue;
        latencies.push_back(1000 * (a.read - found->second));
        queued.push_back(1000 * (a.queued - found->second));
    }
    std::sort(latencies.begin(), latencies.end());
    std::sort(queued.begin(), queued.end());
    const long expected = static_cast<long>(sent.size()) * o.channels * o.clients;
    auto rank = [](const std::vector<double>& v, double q) {
        return v.empty() ? NAN
                         : v[std::min(v.size() - 1,
                                      static_cast<size_t>(q * static_cast<double>(v.size())))];
    };
    // Seconds the simulator skipped: veldrum did not take them in time.
    const long skipped = sent.empty() ? 0
                                      : sent.rbegin()->first - sent.begin()->first + 1 -
                                            static_cast<long>(sent.size());
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    const double cpu = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                       (self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1e-6;
    std::printf(
        "blocks %zu missing %ld wrong %ld skipped %ld median_ms %.1f p99_ms %.1f cpu %.1f "
        "socket_median_ms %.1f socket_p99_ms %.1f\n",
        latencies.size(), expected - static_cast<long>(latencies.size()),
        run.wrong + run.bad_records, skipped, rank(latencies, 0.5), rank(latencies, 0.99),
        100 * cpu / o.seconds, rank(queued, 0.5), rank(queued, 0.99));
    return 0;
}
