// lissdump: LISS client that receives 512-byte Mini-SEED records, decodes
// each with libmseed and checks it: record length, blockette 1000, Steim-2
// X0/Xn integrity, sample count, and per channel whether the samples follow
// on from the record before.
//
// The server's record pipe drops the oldest records while no client reads or
// when more than five a second are built, so records missing from a channel
// (a first record other than 000011, a jump in sequence numbers) are counted
// as drops, not as damage.
//
// lissdump HOST PORT [--summary] [--output FILE] [--count N] [--seconds N]
// Exit status: 0 no damaged record (drops allowed), 1 a damaged record, 2
// usage or connection failure.
#include <arpa/inet.h>
#include <libmseed.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

constexpr int kRecordLength = 512;
constexpr int kFirstFrame = 64;  // first data frame: control word, X0, Xn, differences

std::string diagnostics;
void capture(char* message) { diagnostics += message; }

struct Options {
    const char* host = nullptr;
    const char* port = nullptr;
    bool summary = false;
    const char* output = nullptr;
    long count = 0;      // 0: no limit
    double seconds = 0;  // 0: no limit
};

struct ChannelState {
    long records = 0;
    long samples = 0;
    long problems = 0;
    long gaps = 0;   // time gaps where a flush starts
    long drops = 0;  // places where records are missing
    int lastSequence = -1;
    int32_t lastSample = 0;  // Xn of the last record
    hptime_t nextStart = 0;  // expected start of the next record
};

void usage() {
    std::fprintf(
        stderr,
        "usage: lissdump HOST PORT [--summary] [--output FILE] [--count N] [--seconds N]\n");
}

bool parse(int argc, char** argv, Options& o) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--summary") {
            o.summary = true;
        } else if (a == "--output" && hasValue) {
            o.output = argv[++i];
        } else if (a == "--count" && hasValue) {
            o.count = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--seconds" && hasValue) {
            o.seconds = std::strtod(argv[++i], nullptr);
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "lissdump: unknown option %s\n", a.c_str());
            return false;
        } else if (positional == 0) {
            o.host = argv[i];
            ++positional;
        } else if (positional == 1) {
            o.port = argv[i];
            ++positional;
        } else {
            return false;
        }
    }
    return o.host != nullptr && o.port != nullptr && o.count >= 0 && o.seconds >= 0;
}

int connect_to(const char* host, const char* port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, port, &hints, &list);
    if (rc != 0) {
        std::fprintf(stderr, "lissdump: %s:%s: %s\n", host, port, gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) std::fprintf(stderr, "lissdump: cannot connect to %s:%s\n", host, port);
    return fd;
}

enum class Read { Whole, End, Cut, Error };

// Reads one record. End: the stream ended between records or the time ran
// out; Cut: the stream ended inside a record.
Read read_record(int fd, char* rec, std::chrono::steady_clock::time_point deadline, bool timed) {
    int got = 0;
    while (got < kRecordLength) {
        int wait = -1;
        if (timed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Read::End;
            wait = static_cast<int>(left.count());
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, wait);
        if (r == 0) return Read::End;
        if (r < 0) return Read::Error;
        const ssize_t k = recv(fd, rec + got, static_cast<size_t>(kRecordLength - got), 0);
        if (k == 0) return got > 0 ? Read::Cut : Read::End;
        if (k < 0) return Read::Error;
        got += static_cast<int>(k);
    }
    return Read::Whole;
}

int32_t be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<int32_t>((uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) |
                                (uint32_t{u[2]} << 8) | uint32_t{u[3]});
}

int32_t sign_extend(uint32_t v, int bits) {
    return static_cast<int32_t>(v << (32 - bits)) >> (32 - bits);
}

// Whether the record's first Steim-2 difference leads from last to its X0.
// Within a flush the difference chain runs on from record to record; a
// record that starts a flush (or follows lost ones) breaks it.
bool chained(const char* rec, int32_t last) {
    const uint32_t control = static_cast<uint32_t>(be32(rec + kFirstFrame));
    const uint32_t w = static_cast<uint32_t>(be32(rec + kFirstFrame + 12));
    const uint32_t dnib = w >> 30;
    int32_t d = 0;
    switch ((control >> 24) & 3u) {  // the code of word 3
        case 1:                      // four 8-bit differences
            d = sign_extend(w >> 24, 8);
            break;
        case 2:  // dnib 01: one 30-bit, 10: two 15-bit, 11: three 10-bit
            d = dnib == 1   ? sign_extend(w, 30)
                : dnib == 2 ? sign_extend(w >> 15, 15)
                            : sign_extend(w >> 20, 10);
            break;
        case 3:  // dnib 00: five 6-bit, 01: six 5-bit, 10: seven 4-bit
            d = dnib == 0   ? sign_extend(w >> 24, 6)
                : dnib == 1 ? sign_extend(w >> 25, 5)
                            : sign_extend(w >> 24, 4);
            break;
        default:
            return true;  // no difference there: nothing to tell
    }
    return static_cast<uint32_t>(be32(rec + kFirstFrame + 4)) - static_cast<uint32_t>(d) ==
           static_cast<uint32_t>(last);
}

// Appends what libmseed reported about the record, on one line.
void add_diagnostics(std::string& problems) {
    if (diagnostics.empty()) return;
    std::string d = diagnostics;
    for (char& c : d)
        if (c == '\n') c = ' ';
    problems += " libmseed: " + d;
}

// Checks one record; appends each problem to problems. Returns the decoded
// record (caller frees) or null when libmseed cannot read it at all.
MSRecord* check_record(char* rec, std::string& problems) {
    diagnostics.clear();
    char copy[kRecordLength];
    std::memcpy(copy, rec, sizeof copy);
    MSRecord* msr = nullptr;
    const int rc = msr_unpack(copy, kRecordLength, &msr, 1, 1);
    if (rc != MS_NOERROR || msr == nullptr) {
        problems += " undecodable";
        add_diagnostics(problems);
        if (msr != nullptr) msr_free(&msr);
        return nullptr;
    }
    if (msr->reclen != kRecordLength) problems += " reclen=" + std::to_string(msr->reclen);
    if (msr->Blkt1000 == nullptr) {
        problems += " no-blockette-1000";
    } else {
        if (msr->Blkt1000->encoding != DE_STEIM2)
            problems += " encoding=" + std::to_string(msr->Blkt1000->encoding);
        if (msr->Blkt1000->reclen != 9)
            problems += " b1000-reclen=" + std::to_string(msr->Blkt1000->reclen);
        if (msr->Blkt1000->byteorder != 1) problems += " little-endian";
    }
    if (msr->sampletype != 'i' || msr->numsamples != msr->samplecnt || msr->numsamples <= 0) {
        problems += " samples";
    } else {
        const auto* s = static_cast<const int32_t*>(msr->datasamples);
        if (s[0] != be32(rec + kFirstFrame + 4)) problems += " X0";
        if (s[msr->numsamples - 1] != be32(rec + kFirstFrame + 8)) problems += " Xn";
    }
    add_diagnostics(problems);
    return msr;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    ms_loginit(capture, nullptr, capture, nullptr);
    FILE* out = nullptr;
    if (o.output != nullptr) {
        out = std::fopen(o.output, "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "lissdump: cannot write %s: %s\n", o.output, std::strerror(errno));
            return 2;
        }
    }
    const int fd = connect_to(o.host, o.port);
    if (fd < 0) {
        if (out != nullptr) std::fclose(out);
        return 2;
    }

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(o.seconds * 1000));
    std::map<std::string, ChannelState> channels;
    long total = 0;
    long bad = 0;
    char rec[kRecordLength];
    while (o.count == 0 || total < o.count) {
        const Read r = read_record(fd, rec, deadline, o.seconds > 0);
        if (r == Read::Error) std::fprintf(stderr, "lissdump: receive: %s\n", std::strerror(errno));
        if (r == Read::Cut) {
            ++bad;
            std::printf("record %ld: PROBLEM: the stream ended inside it\n", total + 1);
        }
        if (r != Read::Whole) break;
        ++total;
        if (out != nullptr) std::fwrite(rec, 1, sizeof rec, out);
        std::string problems;
        MSRecord* msr = check_record(rec, problems);
        if (msr == nullptr) {
            ++bad;
            std::printf("record %ld: PROBLEM:%s\n", total, problems.c_str());
            continue;
        }
        const std::string name = std::string(msr->station) + "." + msr->channel;
        ChannelState& ch = channels[name];
        // Each flush starts at 000011 and counts on within itself.
        const int seq = msr->sequence_number;
        const bool newFlush = seq == 11;
        const bool follows = ch.records > 0 && seq == ch.lastSequence + 1;
        double off = 0;  // seconds from the end of the channel's last record
        if (ch.records > 0 && msr->samprate > 0)
            off = static_cast<double>(msr->starttime - ch.nextStart) / HPTMODULUS;
        const bool jumped = msr->samprate > 0 && std::fabs(off) > 0.5 / msr->samprate;
        // Losing exactly a flush's worth of records makes the numbers line up
        // again; the broken difference chain tells that from damage.
        const bool linedUp = follows && jumped && !chained(rec, ch.lastSample);
        std::string note;
        if (!newFlush && (!follows || linedUp)) {
            ++ch.drops;
            char t[48] = " drop before this first record";
            if (ch.records > 0) std::snprintf(t, sizeof t, " drop after %06d", ch.lastSequence);
            note = t;
        }
        if (jumped) {
            char t[64];
            std::snprintf(t, sizeof t, " %s %.4f s", off > 0 ? "gap" : "overlap", std::fabs(off));
            note += t;
            if (newFlush) ++ch.gaps;
            // Within one flush the records must follow on exactly.
            if (follows && !linedUp) problems += " discontinuous";
        }
        ch.lastSequence = seq;
        ch.lastSample = be32(rec + kFirstFrame + 8);
        ch.nextStart = msr_endtime(msr) +
                       (msr->samprate > 0 ? static_cast<hptime_t>(HPTMODULUS / msr->samprate) : 0);
        ++ch.records;
        ch.samples += msr->numsamples;
        if (!problems.empty()) {
            ++ch.problems;
            ++bad;
        }
        if (!o.summary || !problems.empty()) {
            char iso[64];
            ms_hptime2isotimestr(msr->starttime, iso, 1);
            std::printf("%06d %s %s n=%lld rate=%g%s%s%s\n", seq, name.c_str(), iso,
                        static_cast<long long>(msr->numsamples), msr->samprate, note.c_str(),
                        problems.empty() ? "" : " PROBLEM:", problems.c_str());
        }
        msr_free(&msr);
    }
    close(fd);
    if (out != nullptr) std::fclose(out);
    long drops = 0;
    for (const auto& [name, ch] : channels) {
        drops += ch.drops;
        if (o.summary)
            std::printf("%s records=%ld samples=%ld gaps=%ld drops=%ld problems=%ld\n",
                        name.c_str(), ch.records, ch.samples, ch.gaps, ch.drops, ch.problems);
    }
    // Drops are the record pipe's design; only damage makes the exit status.
    std::printf("total records=%ld problems=%ld drops=%ld\n", total, bad, drops);
    return bad > 0 ? 1 : 0;
}
