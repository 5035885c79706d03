// fdsnws-dataselect from ring files: samples per second served into
// Mini-SEED, for a day of 24 channels at 100 samples per second, against
// libmseed packing the same samples read the same way. The ring files are
// made once (stationsim's signal) and kept for later runs.
//
// dataselect_bench [directory]   (default /tmp/veldrum-dataselect-bench)
#include <libmseed.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/descriptor.h"
#include "fdsn/dataselect.h"
#include "recorder/ring_writer.h"
#include "tools/stationsim/signal.h"

namespace {

constexpr int kChannels = 24;
constexpr int kRate = 100;
constexpr int64_t kDay = 86400;
constexpr int64_t kFileSeconds = 43200;  // the writer closes a file after 12 hours
constexpr int64_t kStart = 1772323200;   // 2026-03-01T00:00:00Z
constexpr int kRepeats = 3;

std::string channel_name(int c) {
    char name[8];
    std::snprintf(name, sizeof name, "C%02X", c);
    return name;
}

// The ring files of the day and their index rows, made when missing.
std::vector<IndexRow> make_ring(const std::string& dir) {
    std::vector<IndexRow> rows;
    mkdir(dir.c_str(), 0755);
    std::vector<uint16_t> samples(kFileSeconds * kRate);
    for (int c = 0; c < kChannels; ++c) {
        for (int64_t t = kStart; t < kStart + kDay; t += kFileSeconds) {
            char name[kFileNameSize];
            format_ring_name(name, sizeof name, static_cast<double>(t), channel_name(c).c_str(),
                             "BENCH");
            rows.push_back(IndexRow{name, channel_name(c), t, kFileSeconds, kRate});
            const std::string path = dir + "/" + name;
            struct stat st {};
            const off_t size = kRingHeaderSize + 2 * static_cast<off_t>(samples.size());
            if (stat(path.c_str(), &st) == 0 && st.st_size == size) continue;
            mkdir((dir + "/" + std::string(name, std::strchr(name, '/'))).c_str(), 0755);
            char header[kRingHeaderSize];
            format_ring_header(header, static_cast<double>(t), kFileSeconds, kRate, 1, "BENCH",
                               channel_name(c).c_str(), 0, 65535);
            const int64_t first = (t - kStart) * kRate;
            for (size_t i = 0; i < samples.size(); ++i)
                samples[i] = stationsim::signal_sample(1, c, first + static_cast<int64_t>(i));
            FILE* f = std::fopen(path.c_str(), "wb");
            if (f == nullptr) return {};
            std::fwrite(header, 1, sizeof header, f);
            std::fwrite(samples.data(), 2, samples.size(), f);  // little-endian host
            std::fclose(f);
        }
    }
    return rows;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// CPU time of this thread: on a shared machine, what the work itself took.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Run {
    double seconds = 1e30;
    double cpu = 0;
    int64_t samples = 0;
    int64_t bytes = 0;
};

// Ours: the plan and the record stream, as a request for the whole day.
Run serve_ours(const std::string& dir, const std::vector<IndexRow>& rows,
               std::string* first_records) {
    FdsnRequest request;
    std::string error;
    parse_fdsn_get(FdsnService::kDataselect,
                   {{"start", "2026-03-01T00:00:00"}, {"end", "2026-03-01T23:59:59.99"}}, &request,
                   &error);
    Run run;
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    DataselectPlan plan;
    plan_dataselect(request, rows, dir.c_str(), StationCodes{"XX", "BENCH"}, kMaxRequestSamples,
                    &plan);
    run.samples = plan.samples;
    RecordStream stream(std::move(plan), dir, StationCodes{"XX", "BENCH"});
    const char* data = nullptr;
    size_t size = 0;
    while (stream.next(&data, &size)) {
        run.bytes += static_cast<int64_t>(size);
        if (first_records->empty()) first_records->assign(data, std::min<size_t>(size, 4096));
    }
    run.seconds = seconds_since(t0);
    run.cpu = cpu_seconds() - c0;
    return run;
}

int64_t packed_bytes = 0;
void count_record(char*, int length, void*) { packed_bytes += length; }

// libmseed: the same files read in the same pieces, packed by msr_pack.
Run serve_libmseed(const std::string& dir, const std::vector<IndexRow>& rows) {
    Run run;
    packed_bytes = 0;
    std::vector<int32_t> samples(RecordStream::kChunkSamples);
    MSRecord* msr = msr_init(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    for (const IndexRow& row : rows) {
        Descriptor file;
        const int64_t n = open_ring_file(dir.c_str(), row.cpath, &file);
        std::strcpy(msr->network, "XX");
        std::strcpy(msr->station, "BENCH");
        std::strcpy(msr->location, "");
        std::snprintf(msr->channel, sizeof msr->channel, "%s", row.channel.c_str());
        msr->dataquality = 'D';
        msr->samprate = row.sps;
        msr->reclen = 512;
        msr->encoding = DE_STEIM2;
        msr->byteorder = 1;
        msr->sampletype = 'i';
        for (int64_t at = 0; at < n; at += RecordStream::kChunkSamples) {
            const int64_t got = read_ring_samples(
                file.fd, at, std::min<int64_t>(n - at, RecordStream::kChunkSamples),
                samples.data());
            msr->starttime = MS_EPOCH2HPTIME(row.tbegin) + at * HPTMODULUS / row.sps;
            msr->datasamples = samples.data();
            msr->numsamples = got;
            int64_t packed = 0;
            msr_pack(msr, count_record, nullptr, &packed, 1, 0);
            run.samples += got;
        }
    }
    msr->datasamples = nullptr;  // ours, not libmseed's to free
    msr_free(&msr);
    run.seconds = seconds_since(t0);
    run.cpu = cpu_seconds() - c0;
    run.bytes = packed_bytes;
    return run;
}

// Our first records, decoded by libmseed, carry the signal.
bool verified(const std::string& records) {
    int64_t i = 0;
    for (size_t at = 0; at + 512 <= records.size(); at += 512) {
        std::vector<char> copy(records.begin() + static_cast<long>(at),
                               records.begin() + static_cast<long>(at) + 512);
        MSRecord* msr = nullptr;
        if (msr_unpack(copy.data(), 512, &msr, 1, 0) != MS_NOERROR) return false;
        const int32_t* s = static_cast<const int32_t*>(msr->datasamples);
        for (int64_t k = 0; k < msr->numsamples; ++k, ++i)
            if (s[k] != stationsim::signal_sample(1, 0, i)) {
                msr_free(&msr);
                return false;
            }
        msr_free(&msr);
    }
    return i > 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp/veldrum-dataselect-bench";
    ms_loginit(nullptr, nullptr, nullptr, nullptr);
    std::printf("making the ring in %s (kept for later runs)\n", dir.c_str());
    const std::vector<IndexRow> rows = make_ring(dir);
    if (rows.empty()) return 1;
    Run ours, lib;
    std::string first;
    // Interleaved, best of each, so both see the same load on a shared machine.
    for (int r = 0; r < kRepeats; ++r) {
        first.clear();
        const Run o = serve_ours(dir, rows, &first);
        const Run l = serve_libmseed(dir, rows);
        if (o.seconds < ours.seconds) ours = o;
        if (l.seconds < lib.seconds) lib = l;
    }
    std::printf("\n%-10s %12s %9s %9s %10s %12s\n", "server", "samples", "seconds", "cpu s", "Ms/s",
                "MB of SEED");
    for (const auto& [name, r] : {std::pair<const char*, Run>{"ours", ours}, {"libmseed", lib}})
        std::printf("%-10s %12lld %9.3f %9.3f %10.1f %12.1f\n", name, (long long)r.samples,
                    r.seconds, r.cpu, r.samples / r.seconds / 1e6, r.bytes / 1e6);
    std::printf(
        "ratio %.2f; a day of %d channels at %d sps served in %.3f s (goal: under 1 s); "
        "first records %s\n",
        lib.seconds / ours.seconds, kChannels, kRate, ours.seconds,
        verified(first) ? "decode to the signal" : "DO NOT DECODE TO THE SIGNAL");
    return verified(first) ? 0 : 1;
}
