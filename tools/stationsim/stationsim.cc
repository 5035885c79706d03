// stationsim: a stand-in for the station's acquisition server. It listens as
// the NetBIOS session server "<STATION>.DCH.SRV" on TCP, announces its
// channels and streams sample blocks of a deterministic signal, in real time
// or as fast as the client takes them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    bool pattern = false;
    double speed = 0;           // fast mode: seconds of data per wall second, 0 = unpaced
    int samples_per_block = 0;  // 0: a block holds rate / blocks_per_second samples
    int blocks_per_second = 1;
    int blocks_per_message = 0;  // 0: as many as fit in one message
    int disconnect_every = 0;
    int silence_every = 0;
    int silence_seconds = 0;
    int malformed_every = 0;
    std::string send_log;

    bool faults() const { return disconnect_every > 0 || silence_every > 0 || malformed_every > 0; }
    int block_samples(const Channel& c) const {
        return samples_per_block > 0 ? samples_per_block : c.rate / blocks_per_second;
    }
};

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: stationsim --station NAME [options]\n"
        "  --port N                 TCP port to listen on (default 139)\n"
        "  --channels LIST          NAME:RATE:KIND[:GAIN],... (default "
        "SHZ:100:0,SHN:100:0,SHE:100:0)\n"
        "                           KIND 7 = event-only, 1 = event-only at 200 sps\n"
        "  --list-block             announce with a channel list block (default: group block)\n"
        "  --blank-padding          the listening name is padded with blanks, not NULs\n"
        "  --realtime | --fast      one second of data per second (default), or as fast as taken\n"
        "  --start EPOCH            time of the first sample (default: now)\n"
        "  --seed N                 seed of the signal (default 1)\n"
        "  --pattern                instead of the signal, a cycle of 100 values from 0 to\n"
        "                           65535: sample i of channel c is pattern_sample(c, i)\n"
        "  --event-every N          mark an event every N seconds (default 0: none)\n"
        "  --seconds N              send N seconds of data, then close (default: no end)\n"
        "  --once                   exit after the first client has gone\n"
        "  --many N:RATE            append N continuous channels at RATE, each named C and its\n"
        "                           channel number in two hex digits (C00 .. CFF)\n"
        "                           (256 channels at most; above 96 the announcement is a\n"
        "                           channel list block, which limits RATE to 2147)\n"
        "  --speed X                with --fast: X seconds of data per wall second (0: unpaced)\n"
        "  --blocks-per-second K    every block holds 1/K s of its channel (RATE divisible by K)\n"
        "  --samples-per-block N    every block holds N samples (each RATE divisible by N)\n"
        "  --blocks-per-message N   at most N blocks in one message (default: all that fit)\n"
        "  --disconnect-every N     close the session after every N seconds sent in it, accept\n"
        "                           again and go on with the next second\n"
        "  --silence-every N:S      after every N seconds of data send nothing for S seconds\n"
        "  --malformed-every N      after every N seconds send one malformed message, in turn:\n"
        "                           unknown block type, channel number 300, a block claiming\n"
        "                           200 data bytes in a message that holds 20\n"
        "  --send-log FILE          a line \"EPOCH WALL\" per second of data: the clock (seconds\n"
        "                           since 1970) just before its first message goes out\n"
        "By default every block holds one second of one channel and one message per\n"
        "second holds one block of every channel; a second that does not fit in\n"
        "65,535 bytes is split over several messages. Sample i of channel c is\n"
        "signal_sample(seed, c, i). With a fault option, --realtime never skips a\n"
        "second: what fell due while disconnected or silent is sent at once.\n"
        "Output lines (EPOCH is the time of a second of data):\n"
        "  stationsim: connected\n"
        "  stationsim: malformed unknown-type|bad-channel|overlong after EPOCH\n"
        "  stationsim: silent S s after EPOCH\n"
        "  stationsim: disconnect after EPOCH\n"
        "  stationsim: delivered FIRST..LAST   (each run of seconds sent in full in a session)\n"
        "  stationsim: N seconds sent\n");
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
    return !out->empty() && out->size() <= 256;
}

bool add_many(const char* text, std::vector<Channel>* out) {
    int n = 0, rate = 0;
    if (std::sscanf(text, "%d:%d", &n, &rate) != 2 || n <= 0 || rate <= 0 || rate > 32000)
        return false;
    if (out->size() + static_cast<size_t>(n) > 256) return false;
    for (int i = 0; i < n; ++i) {
        // Named by channel number, so three characters fit the ring file names.
        char name[12];
        std::snprintf(name, sizeof name, "C%02X", static_cast<unsigned>(out->size()) & 0xFFu);
        Channel ch;
        ch.name = name;
        ch.rate = rate;
        out->push_back(ch);
    }
    return true;
}

bool parse(int argc, char** argv, Options* o) {
    parse_channels("SHZ:100:0,SHN:100:0,SHE:100:0", &o->channels);
    bool defaults = true;  // --many after no --channels replaces the default list
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
                std::fprintf(stderr, "stationsim: bad channel list '%s' (256 channels at most)\n",
                             v);
                return false;
            }
            defaults = false;
        } else if (a == "--many" && (v = value())) {
            if (defaults) o->channels.clear();
            defaults = false;
            if (!add_many(v, &o->channels)) {
                std::fprintf(stderr, "stationsim: bad --many '%s' (N:RATE, 256 channels at most)\n",
                             v);
                return false;
            }
        } else if (a == "--speed" && (v = value())) {
            o->speed = std::atof(v);
        } else if (a == "--blocks-per-second" && (v = value())) {
            o->blocks_per_second = std::atoi(v);
        } else if (a == "--samples-per-block" && (v = value())) {
            o->samples_per_block = std::atoi(v);
        } else if (a == "--blocks-per-message" && (v = value())) {
            o->blocks_per_message = std::atoi(v);
        } else if (a == "--disconnect-every" && (v = value())) {
            o->disconnect_every = std::atoi(v);
        } else if (a == "--silence-every" && (v = value())) {
            if (std::sscanf(v, "%d:%d", &o->silence_every, &o->silence_seconds) != 2 ||
                o->silence_every <= 0 || o->silence_seconds < 0) {
                std::fprintf(stderr, "stationsim: bad --silence-every '%s' (N:S)\n", v);
                return false;
            }
        } else if (a == "--malformed-every" && (v = value())) {
            o->malformed_every = std::atoi(v);
        } else if (a == "--send-log" && (v = value())) {
            o->send_log = v;
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
        } else if (a == "--pattern") {
            o->pattern = true;
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
    if (o->speed < 0 || o->blocks_per_second <= 0 || o->samples_per_block < 0 ||
        o->blocks_per_message < 0 || o->disconnect_every < 0 || o->malformed_every < 0) {
        std::fprintf(stderr, "stationsim: negative or zero value in an option\n");
        return false;
    }
    for (const Channel& c : o->channels) {
        const int n = o->block_samples(c);
        if (n <= 0 || c.rate % n != 0 || bf::kHeaderSize + 2 * n > bf::kMaxMessage) {
            std::fprintf(stderr,
                         "stationsim: channel %s: %d samples per second do not split into blocks\n",
                         c.name.c_str(), c.rate);
            return false;
        }
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
    netbios_wire::write_header(head, netbios_wire::kSessionMessage,
                               static_cast<uint32_t>(body.size()));
    return send_all(fd, head, 4) && send_all(fd, body.data(), body.size());
}

void put_time(uint8_t* p, int minute_off, long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    uint8_t* m = p + minute_off;
    m[0] = static_cast<uint8_t>(tm.tm_min);
    m[bf::kTimeHour] = static_cast<uint8_t>(tm.tm_hour);
    m[bf::kTimeHundredths] = 0;
    m[bf::kTimeSecond] = static_cast<uint8_t>(tm.tm_sec);
    bf::write_u16(m + bf::kTimeYear, static_cast<uint16_t>(tm.tm_year + 1900));
    m[bf::kTimeDay] = static_cast<uint8_t>(tm.tm_mday);
    m[bf::kTimeMonth] = static_cast<uint8_t>(tm.tm_mon + 1);
}

// Group records needed for the channels: one per run of equal rate and gain,
// six channels at most each.
size_t group_records(const Options& o) {
    size_t rec = 0;
    for (size_t i = 0; i < o.channels.size(); ++rec) {
        const Channel& first = o.channels[i];
        int count = 0;
        while (i < o.channels.size() && count < 6 && o.channels[i].rate == first.rate &&
               o.channels[i].gain == first.gain) {
            ++count;
            ++i;
        }
    }
    return rec;
}

// A group block holds 16 records and signed 8-bit channel numbers; more
// channels need the list block, whose entries then run past the 464 bytes
// that the walk steps over (the client reports the rest of that message).
bool uses_list_block(const Options& o) {
    return o.list_block || group_records(o) > static_cast<size_t>(bf::kMaxGroupRecords) ||
           o.channels.size() > 127;
}

std::vector<uint8_t> announcement(const Options& o) {
    std::vector<uint8_t> b(bf::kAnnouncementStep, 0);
    if (uses_list_block(o)) {
        bf::write_u16(b.data(), bf::kChannelListBlock);
        bf::write_u16(b.data() + bf::kListCount, static_cast<uint16_t>(o.channels.size()));
        for (size_t i = 0; i < o.channels.size(); ++i) {
            size_t at = bf::kListEntries + i * bf::kListEntrySize;
            if (at + bf::kListEntrySize > b.size()) b.resize(at + bf::kListEntrySize, 0);
            uint8_t* e = b.data() + at;
            std::strncpy(reinterpret_cast<char*>(e), o.channels[i].name.c_str(),
                         bf::kListEntryNameSize);
            bf::write_i32(e + bf::kListEntryRate, o.channels[i].rate * 1000000);
            bf::write_i32(e + bf::kListEntryGain, o.channels[i].gain);
            bf::write_u16(e + bf::kListEntryChannel, static_cast<uint16_t>(i));
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
            uint8_t* e = r + bf::kGroupEntries + count * bf::kGroupEntrySize;
            e[0] = static_cast<uint8_t>(i);
            std::strncpy(reinterpret_cast<char*>(e + bf::kGroupEntryName),
                         o.channels[i].name.c_str(), bf::kGroupEntryNameSize);
            e[bf::kGroupEntryKind] = static_cast<uint8_t>(o.channels[i].kind);
            ++count;
            ++i;
        }
        bf::write_u16(r + bf::kGroupRate, static_cast<uint16_t>(first.rate));
        bf::write_u16(r + bf::kGroupGain, static_cast<uint16_t>(first.gain));
        bf::write_u16(r + bf::kGroupCount, static_cast<uint16_t>(count));
        ++rec;
    }
    return b;  // the zero rate after the last record ends the list
}

// The messages of one second: every channel's blocks of that second, in time
// order across the channels, packed into messages of at most
// blocks_per_message blocks and 65,535 bytes.
std::vector<std::vector<uint8_t>> second_of_data(const Options& o, long long t,
                                                 long long second_index) {
    const bool event = o.event_every > 0 && second_index % o.event_every == 0 && second_index > 0;
    std::vector<std::vector<uint8_t>> messages(1);
    int in_message = 0;
    int parts = 0;
    for (const Channel& c : o.channels) parts = std::max(parts, c.rate / o.block_samples(c));
    for (int part = 0; part < parts; ++part) {
        for (size_t c = 0; c < o.channels.size(); ++c) {
            const int rate = o.channels[c].rate;
            const int n = o.block_samples(o.channels[c]);
            if (part >= rate / n) continue;
            const size_t size = bf::kHeaderSize + 2 * static_cast<size_t>(n);
            if ((o.blocks_per_message > 0 && in_message >= o.blocks_per_message) ||
                messages.back().size() + size > static_cast<size_t>(bf::kMaxMessage)) {
                messages.emplace_back();
                in_message = 0;
            }
            std::vector<uint8_t>& msg = messages.back();
            const size_t at = msg.size();
            msg.resize(at + size, 0);
            uint8_t* b = msg.data() + at;
            bf::write_u16(b + bf::kType, bf::kSampleBlock);
            bf::write_u16(b + bf::kHeaderLength, bf::kHeaderSize);
            bf::write_u16(b + bf::kDataLength, static_cast<uint16_t>(2 * n));
            bf::write_u16(b + bf::kChannel, static_cast<uint16_t>(c));
            put_time(b, bf::kMinute, t);
            b[bf::kHundredths] = static_cast<uint8_t>(part * n * 100 / rate);
            if (event && part == 0) {
                b[bf::kEventType] = 1;
                put_time(b, bf::kEventMinute, t);
            }
            const int64_t first = second_index * rate + part * n;
            for (int k = 0; k < n; ++k)
                bf::write_u16(
                    b + bf::kHeaderSize + 2 * k,
                    o.pattern ? stationsim::pattern_sample(static_cast<int>(c), first + k)
                              : stationsim::signal_sample(o.seed, static_cast<int>(c), first + k));
            ++in_message;
        }
    }
    return messages;
}

// One message that the client must report and survive, by kind in turn.
std::vector<uint8_t> malformed_message(int kind, long long t, const char** name) {
    std::vector<uint8_t> b(bf::kHeaderSize + 20, 0);
    bf::write_u16(b.data() + bf::kType, bf::kSampleBlock);
    bf::write_u16(b.data() + bf::kHeaderLength, bf::kHeaderSize);
    bf::write_u16(b.data() + bf::kDataLength, 20);
    put_time(b.data(), bf::kMinute, t);
    if (kind == 0) {
        *name = "unknown-type";
        bf::write_u16(b.data() + bf::kType, 0x5A5A);
    } else if (kind == 1) {
        *name = "bad-channel";
        bf::write_u16(b.data() + bf::kChannel, 300);
    } else {
        *name = "overlong";
        bf::write_u16(b.data() + bf::kDataLength, 200);
    }
    return b;
}

// Ends our side of the session and gives the client up to 2 s to read what
// is still in flight and close its side.
void finish_session(int fd) {
    shutdown(fd, SHUT_WR);
    uint8_t sink[4096];
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd);
}

// Reads the SESSION REQUEST; answers positive when the called name is ours.
bool accept_session(int fd, const Options& o) {
    uint8_t head[4];
    if (!recv_all(fd, head, 4) || head[0] != netbios_wire::kSessionRequest) return false;
    size_t len = (static_cast<size_t>(head[1] & 1) << 16) | (head[2] << 8) | head[3];
    std::vector<uint8_t> body(len);
    if (len < 2 * netbios_wire::kEncodedNameSize || !recv_all(fd, body.data(), len)) return false;
    uint8_t called[netbios_wire::kNameSize];
    if (!netbios_wire::decode_name(body.data(), called)) return false;
    uint8_t own[netbios_wire::kNameSize];
    std::memset(own, o.blank_padding ? ' ' : 0, sizeof own);
    std::string text = o.station + ".DCH.SRV";
    std::memcpy(own, text.data(), std::min(text.size(), sizeof own));
    const bool ours = std::memcmp(called, own, netbios_wire::kNameSize) == 0;
    uint8_t reply[5];
    if (ours) {
        netbios_wire::write_header(reply, netbios_wire::kPositiveResponse, 0);
        return send_all(fd, reply, 4);
    }
    std::fprintf(stderr, "stationsim: refused a call for '%s'\n",
                 netbios_wire::trimmed_name(called, netbios_wire::kNameSize).c_str());
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
    // The list block's rate field is samples per second times 1,000,000 in 32 bits.
    for (const Channel& c : o.channels) {
        if (uses_list_block(o) && c.rate > 2147) {
            std::fprintf(stderr,
                         "stationsim: channel %s: a channel list block cannot announce %d samples "
                         "per second\n",
                         c.name.c_str(), c.rate);
            return 2;
        }
    }
    FILE* send_log = nullptr;
    if (!o.send_log.empty() && (send_log = std::fopen(o.send_log.c_str(), "a")) == nullptr) {
        std::fprintf(stderr, "stationsim: cannot open %s: %s\n", o.send_log.c_str(),
                     std::strerror(errno));
        return 1;
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
        std::fprintf(stderr, "stationsim: cannot listen on 127.0.0.1:%d: %s\n", o.port,
                     std::strerror(errno));
        return 1;
    }
    const long long start = o.start > 0 ? o.start : static_cast<long long>(std::time(nullptr));
    long long sent = 0;  // seconds of data sent so far, over all clients
    std::printf("stationsim: %s.DCH.SRV on 127.0.0.1:%d, %zu channels, start %lld\n",
                o.station.c_str(), o.port, o.channels.size(), start);
    std::fflush(stdout);
    const double pace = !o.realtime && o.speed > 0 ? 1.0 / o.speed : 0;
    int malformed_kind = 0;
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
        bool hang_up = false;                             // we end this session ourselves
        long long first = -1, last = -1, in_session = 0;  // the range delivered in a row
        auto next = std::chrono::steady_clock::now();
        while (ok && !hang_up && (o.seconds <= 0 || sent < o.seconds)) {
            if (o.realtime && !o.faults()) {
                // Real time follows the clock: the station sends what is due now.
                sent = static_cast<long long>(std::time(nullptr)) - start;
                if (sent < 0) sent = 0;
            } else if (o.realtime) {
                // Never ahead of the clock; a backlog goes out at once.
                while (static_cast<long long>(std::time(nullptr)) < start + sent)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            } else if (pace > 0) {
                std::this_thread::sleep_until(next);
                next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(pace));
            }
            const std::vector<std::vector<uint8_t>> messages =
                second_of_data(o, start + sent, sent);
            if (send_log != nullptr) {
                timespec now{};
                clock_gettime(CLOCK_REALTIME, &now);
                std::fprintf(send_log, "%lld %lld.%06ld\n", start + sent,
                             static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
                std::fflush(send_log);
            }
            for (const std::vector<uint8_t>& m : messages)
                if (ok) ok = send_message(fd, m);
            if (!ok) break;
            if (first >= 0 && sent != last + 1) {  // real time skipped ahead
                std::printf("stationsim: delivered %lld..%lld\n", start + first, start + last);
                first = -1;
            }
            if (first < 0) first = sent;
            last = sent;
            ++sent;
            ++in_session;
            const long long t = start + sent - 1;
            if (o.malformed_every > 0 && sent % o.malformed_every == 0) {
                const char* name = "";
                ok = send_message(fd, malformed_message(malformed_kind, t, &name));
                malformed_kind = (malformed_kind + 1) % 3;
                std::printf("stationsim: malformed %s after %lld\n", name, t);
                std::fflush(stdout);
            }
            if (ok && o.silence_every > 0 && sent % o.silence_every == 0) {
                std::printf("stationsim: silent %d s after %lld\n", o.silence_seconds, t);
                std::fflush(stdout);
                std::this_thread::sleep_for(std::chrono::seconds(o.silence_seconds));
                next = std::chrono::steady_clock::now();
            }
            if (ok && o.disconnect_every > 0 && in_session % o.disconnect_every == 0) {
                std::printf("stationsim: disconnect after %lld\n", t);
                hang_up = true;
            } else if (o.realtime && !o.faults()) {
                next += std::chrono::seconds(1);
                std::this_thread::sleep_until(next);
            }
        }
        if (first >= 0)
            std::printf("stationsim: delivered %lld..%lld\n", start + first, start + last);
        std::printf("stationsim: %lld seconds sent\n", sent);
        std::fflush(stdout);
        if (ok && hang_up) {
            finish_session(fd);
        } else {
            if (ok) std::this_thread::sleep_for(std::chrono::seconds(2));
            close(fd);
        }
        if (o.once && !hang_up) return 0;
    }
}
