// lissdump: LISS client that receives 512-byte Mini-SEED records, decodes
// each with libmseed and checks it: record length, blockette 1000, Steim-2
// X0/Xn integrity, sequence numbers and time continuity per channel.
//
// lissdump HOST PORT [--summary] [--output FILE] [--count N] [--seconds N]
// Exit status: 0 all records good, 1 a record had a problem, 2 usage or
// connection failure.
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
    long gaps = 0;
    int lastSequence = -1;
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

// 1: a whole record; 0: the stream ended or the time ran out; -1: error.
int read_record(int fd, char* rec, std::chrono::steady_clock::time_point deadline, bool timed) {
    int got = 0;
    while (got < kRecordLength) {
        int wait = -1;
        if (timed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return 0;
            wait = static_cast<int>(left.count());
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, wait);
        if (r == 0) return 0;
        if (r < 0) return -1;
        const ssize_t k = recv(fd, rec + got, static_cast<size_t>(kRecordLength - got), 0);
        if (k == 0) {
            if (got > 0)
                std::fprintf(stderr, "lissdump: stream ended inside a record (%d bytes)\n", got);
            return 0;
        }
        if (k < 0) return -1;
        got += static_cast<int>(k);
    }
    return 1;
}

int32_t be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<int32_t>((uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) |
                                (uint32_t{u[2]} << 8) | uint32_t{u[3]});
}

// Checks one record; appends each problem to problems. Returns the decoded
// record (caller frees) or null when libmseed cannot read it at all.
MSRecord* check_record(char* rec, std::string& problems) {
    diagnostics.clear();
    char copy[kRecordLength];
    std::memcpy(copy, rec, sizeof copy);
    MSRecord* msr = nullptr;
    if (msr_unpack(copy, kRecordLength, &msr, 1, 1) != MS_NOERROR || msr == nullptr) {
        problems += " undecodable";
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
        if (s[0] != be32(rec + 68)) problems += " X0";
        if (s[msr->numsamples - 1] != be32(rec + 72)) problems += " Xn";
    }
    if (!diagnostics.empty()) {
        std::string d = diagnostics;
        for (char& c : d)
            if (c == '\n') c = ' ';
        problems += " libmseed: " + d;
    }
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
        const int r = read_record(fd, rec, deadline, o.seconds > 0);
        if (r < 0) std::fprintf(stderr, "lissdump: receive: %s\n", std::strerror(errno));
        if (r <= 0) break;
        ++total;
        if (out != nullptr) std::fwrite(rec, 1, sizeof rec, out);
        std::string problems;
        MSRecord* msr = check_record(rec, problems);
        if (msr == nullptr) {
            ++bad;
            std::printf("record %ld:%s\n", total, problems.c_str());
            continue;
        }
        const std::string name = std::string(msr->station) + "." + msr->channel;
        ChannelState& ch = channels[name];
        // Each flush starts at 000011 and counts on within itself.
        const int seq = msr->sequence_number;
        const bool newFlush = seq == 11;
        if (ch.lastSequence >= 0 && !newFlush && seq != ch.lastSequence + 1)
            problems += " sequence " + std::to_string(ch.lastSequence) + "->" + std::to_string(seq);
        if (ch.lastSequence < 0 && !newFlush) problems += " first-sequence=" + std::to_string(seq);
        std::string note;
        if (ch.records > 0 && msr->samprate > 0) {
            const double off = static_cast<double>(msr->starttime - ch.nextStart) / HPTMODULUS;
            if (std::fabs(off) > 0.5 / msr->samprate) {
                char t[64];
                std::snprintf(t, sizeof t, " %s %.4f s", off > 0 ? "gap" : "overlap",
                              std::fabs(off));
                note = t;
                ++ch.gaps;
                // Within one flush the records must follow on exactly.
                if (!newFlush) problems += " discontinuous";
            }
        }
        ch.lastSequence = seq;
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
    if (o.summary) {
        for (const auto& [name, ch] : channels)
            std::printf("%s records=%ld samples=%ld gaps=%ld problems=%ld\n", name.c_str(),
                        ch.records, ch.samples, ch.gaps, ch.problems);
        std::printf("total records=%ld problems=%ld\n", total, bad);
    }
    return bad > 0 ? 1 : 0;
}
