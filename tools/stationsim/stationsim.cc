// stationsim: a stand-in for the station's acquisition server. It listens as
// the NetBIOS session server "<STATION>.DCH.SRV" on TCP, announces its
// channels and streams sample blocks of a deterministic signal, in real time
// or as fast as the client takes them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "link/block_format.h"
#include "platform/netbios_wire.h"
#include "tools/stationsim/signal.h"

namespace bf = block_format;

namespace {

struct Channel {
    std::string name;
    int rate = 100;
    int kind = 0;
    int gain = 0;
};

struct Options {
    std::string station;
    int port = 139;
    std::vector<Channel> channels;
    bool list_block = false;
    bool blank_padding = false;
    bool realtime = true;
    long long start = 0;
    uint32_t seed = 1;
    int event_every = 0;
    long long seconds = 0;
    bool once = false;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: stationsim --station NAME [options]\n"
                 "  --port N                 TCP port to listen on (default 139)\n"
                 "  --channels LIST          NAME:RATE:KIND[:GAIN],... (default SHZ:100:0,SHN:100:0,SHE:100:0)\n"
                 "                           KIND 7 = event-only, 1 = event-only at 200 sps\n"
                 "  --list-block             announce with a channel list block (default: group block)\n"
                 "  --blank-padding          the listening name is padded with blanks, not NULs\n"
                 "  --realtime | --fast      one second of data per second (default), or as fast as taken\n"
                 "  --start EPOCH            time of the first sample (default: now)\n"
                 "  --seed N                 seed of the signal (default 1)\n"
                 "  --event-every N          mark an event every N seconds (default 0: none)\n"
                 "  --seconds N              send N seconds of data, then close (default: no end)\n"
                 "  --once                   exit after the first client has gone\n"
                 "Every block holds one second of one channel; one message per second holds\n"
                 "one block of every channel. Sample i of channel c is signal_sample(seed, c, i).\n");
}

bool parse_channels(const char* text, std::vector<Channel>* out) {
    out->clear();
    std::string all(text);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        Channel ch;
        char name[16] = "";
        int n = std::sscanf(item.c_str(), "%15[^:]:%d:%d:%d", name, &ch.rate, &ch.kind, &ch.gain);
        if (n < 2 || ch.rate <= 0 || ch.rate > 32000) return false;
        ch.name = name;
        out->push_back(ch);
    }
    return !out->empty() && out->size() <= 96;
}

bool parse(int argc, char** argv, Options* o) {
    parse_channels("SHZ:100:0,SHN:100:0,SHE:100:0", &o->channels);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--station" && (v = value())) {
            o->station = v;
        } else if (a == "--port" && (v = value())) {
            o->port = std::atoi(v);
        } else if (a == "--channels" && (v = value())) {
            if (!parse_channels(v, &o->channels)) {
                std::fprintf(stderr, "stationsim: bad channel list '%s'\n", v);
                return false;
            }
        } else if (a == "--list-block") {
            o->list_block = true;
        } else if (a == "--blank-padding") {
            o->blank_padding = true;
        } else if (a == "--realtime") {
            o->realtime = true;
        } else if (a == "--fast") {
            o->realtime = false;
        } else if (a == "--start" && (v = value())) {
            o->start = std::atoll(v);
        } else if (a == "--seed" && (v = value())) {
            o->seed = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--event-every" && (v = value())) {
            o->event_every = std::atoi(v);
        } else if (a == "--seconds" && (v = value())) {
            o->seconds = std::atoll(v);
        } else if (a == "--once") {
            o->once = true;
        } else {
            std::fprintf(stderr, "stationsim: unknown or incomplete option %s\n", a.c_str());
            return false;
        }
    }
    if (o->station.empty() || o->station.size() > 6) {
        std::fprintf(stderr, "stationsim: --station NAME (1 to 6 characters) is required\n");
        return false;
    }
    if (o->port <= 0 || o->port > 65535) {
        std::fprintf(stderr, "stationsim: bad port\n");
        return false;
    }
    return true;
}

bool send_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool recv_all(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool send_message(int fd, const std::vector<uint8_t>& body) {
    uint8_t head[4];
    netbios_wire::write_header(head, netbios_wire::kSessionMessage, static_cast<uint32_t>(body.size()));
    return send_all(fd, head, 4) && send_all(fd, body.data(), body.size());
}

void put_time(uint8_t* p, int minute_off, long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    // minute, hour, hundredths, second at +0..+3; year at +6; day, month at +8, +9
    p[minute_off + 0] = static_cast<uint8_t>(tm.tm_min);
    p[minute_off + 1] = static_cast<uint8_t>(tm.tm_hour);
    p[minute_off + 2] = 0;
    p[minute_off + 3] = static_cast<uint8_t>(tm.tm_sec);
    bf::write_u16(p + minute_off + 6, static_cast<uint16_t>(tm.tm_year + 1900));
    p[minute_off + 8] = static_cast<uint8_t>(tm.tm_mday);
    p[minute_off + 9] = static_cast<uint8_t>(tm.tm_mon + 1);
}

std::vector<uint8_t> announcement(const Options& o) {
    std::vector<uint8_t> b(bf::kAnnouncementStep, 0);
    if (o.list_block) {
        bf::write_u16(b.data(), bf::kChannelListBlock);
        bf::write_u16(b.data() + bf::kListCount, static_cast<uint16_t>(o.channels.size()));
        for (size_t i = 0; i < o.channels.size(); ++i) {
            size_t at = bf::kListEntries + i * bf::kListEntrySize;
            if (at + bf::kListEntrySize > b.size()) b.resize(at + bf::kListEntrySize, 0);
            uint8_t* e = b.data() + at;
            std::strncpy(reinterpret_cast<char*>(e), o.channels[i].name.c_str(), 6);
            bf::write_i32(e + 6, o.channels[i].rate * 1000000);
            bf::write_i32(e + 10, o.channels[i].gain);
            bf::write_u16(e + 14, static_cast<uint16_t>(i));
        }
        return b;
    }
    bf::write_u16(b.data(), bf::kChannelGroupBlock);
    // One group record per run of channels with the same rate and gain, six at most.
    size_t rec = 0;
    for (size_t i = 0; i < o.channels.size();) {
        size_t at = bf::kHeaderSize + rec * bf::kGroupRecordSize;
        if (at + bf::kGroupRecordSize + 2 > b.size()) b.resize(at + bf::kGroupRecordSize + 2, 0);
        uint8_t* r = b.data() + at;
        const Channel& first = o.channels[i];
        int count = 0;
        while (i < o.channels.size() && count < 6 && o.channels[i].rate == first.rate &&
               o.channels[i].gain == first.gain) {
            uint8_t* e = r + 6 + count * bf::kGroupEntrySize;
            e[0] = static_cast<uint8_t>(i);
            std::strncpy(reinterpret_cast<char*>(e + 1), o.channels[i].name.c_str(), 8);
            e[9] = static_cast<uint8_t>(o.channels[i].kind);
            ++count;
            ++i;
        }
        bf::write_u16(r, static_cast<uint16_t>(first.rate));
        bf::write_u16(r + 2, static_cast<uint16_t>(first.gain));
        bf::write_u16(r + 4, static_cast<uint16_t>(count));
        ++rec;
    }
    return b;  // the zero rate after the last record ends the list
}

// One message: one block of one second for every channel.
std::vector<uint8_t> second_of_data(const Options& o, long long t, long long second_index) {
    std::vector<uint8_t> msg;
    const bool event = o.event_every > 0 && second_index % o.event_every == 0 && second_index > 0;
    for (size_t c = 0; c < o.channels.size(); ++c) {
        const int n = o.channels[c].rate;
        std::vector<uint8_t> b(bf::kHeaderSize + 2 * n, 0);
        bf::write_u16(b.data() + bf::kType, bf::kSampleBlock);
        bf::write_u16(b.data() + bf::kHeaderLength, bf::kHeaderSize);
        bf::write_u16(b.data() + bf::kDataLength, static_cast<uint16_t>(2 * n));
        bf::write_u16(b.data() + bf::kChannel, static_cast<uint16_t>(c));
        put_time(b.data(), bf::kMinute, t);
        if (event) {
            b[bf::kEventType] = 1;
            put_time(b.data(), bf::kEventMinute, t);
        }
        const int64_t first = second_index * n;
        for (int k = 0; k < n; ++k)
            bf::write_u16(b.data() + bf::kHeaderSize + 2 * k,
                          stationsim::signal_sample(o.seed, static_cast<int>(c), first + k));
        msg.insert(msg.end(), b.begin(), b.end());
    }
    return msg;
}

// Reads the SESSION REQUEST; answers positive when the called name is ours.
bool accept_session(int fd, const Options& o) {
    uint8_t head[4];
    if (!recv_all(fd, head, 4) || head[0] != netbios_wire::kSessionRequest) return false;
    size_t len = (static_cast<size_t>(head[1] & 1) << 16) | (head[2] << 8) | head[3];
    std::vector<uint8_t> body(len);
    if (len < 2 * netbios_wire::kEncodedNameSize || !recv_all(fd, body.data(), len)) return false;
    UCHAR called[NCBNAMSZ];
    if (!netbios_wire::decode_name(body.data(), called)) return false;
    UCHAR own[NCBNAMSZ];
    std::memset(own, o.blank_padding ? ' ' : 0, sizeof own);
    std::string text = o.station + ".DCH.SRV";
    std::memcpy(own, text.data(), std::min(text.size(), sizeof own));
    const bool ours = std::memcmp(called, own, NCBNAMSZ) == 0;
    uint8_t reply[5];
    if (ours) {
        netbios_wire::write_header(reply, netbios_wire::kPositiveResponse, 0);
        return send_all(fd, reply, 4);
    }
    std::fprintf(stderr, "stationsim: refused a call for '%s'\n",
                 netbios_wire::trimmed_name(called, NCBNAMSZ).c_str());
    netbios_wire::write_header(reply, netbios_wire::kNegativeResponse, 1);
    reply[4] = netbios_wire::kCalledNameNotPresent;
    send_all(fd, reply, 5);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        usage(stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(o.port));
    if (bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(ls, 1) != 0) {
        std::fprintf(stderr, "stationsim: cannot listen on 127.0.0.1:%d: %s\n", o.port, std::strerror(errno));
        return 1;
    }
    const long long start = o.start > 0 ? o.start : static_cast<long long>(std::time(nullptr));
    long long sent = 0;  // seconds of data sent so far, over all clients
    std::printf("stationsim: %s.DCH.SRV on 127.0.0.1:%d, %zu channels, start %lld\n",
                o.station.c_str(), o.port, o.channels.size(), start);
    std::fflush(stdout);
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) continue;
        if (!accept_session(fd, o)) {
            close(fd);
            continue;
        }
        std::printf("stationsim: connected\n");
        std::fflush(stdout);
        bool ok = send_message(fd, announcement(o));
        auto next = std::chrono::steady_clock::now();
        while (ok && (o.seconds <= 0 || sent < o.seconds)) {
            if (o.realtime) {
                // Real time follows the clock: the station sends what is due now.
                sent = static_cast<long long>(std::time(nullptr)) - start;
                if (sent < 0) sent = 0;
            }
            ok = send_message(fd, second_of_data(o, start + sent, sent));
            if (!ok) break;
            ++sent;
            if (o.realtime) {
                next += std::chrono::seconds(1);
                std::this_thread::sleep_until(next);
            }
        }
        std::printf("stationsim: %lld seconds sent\n", sent);
        std::fflush(stdout);
        if (ok) std::this_thread::sleep_for(std::chrono::seconds(2));
        close(fd);
        if (o.once) return 0;
    }
}
