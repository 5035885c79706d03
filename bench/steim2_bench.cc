// Steim-2 packing: our encoder against libmseed's packer on the same runs.
// Reports samples per second for both, their ratio, and samples per record.
#include <benchmark/benchmark.h>
#include <libmseed.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "seed/record.h"
#include "seed/steim2.h"

namespace {

constexpr int kRun = 1948;  // what a gathering stream flushes at most
constexpr int kMaxRecords = (kRun + 102) / 103;

enum Signal { kQuiet, kSeismic, kNoisy, kFullScale, kConstant };
const char* const kSignalNames[] = {"quiet", "seismic", "noisy", "fullscale", "constant"};

// 16-bit unsigned samples like the station sends; the classes of their
// differences vary with the signal.
std::vector<int32_t> make_run(Signal s) {
    std::mt19937 rng(1234 + s);
    std::vector<int32_t> v(kRun);
    int32_t x = 32768;
    for (int i = 0; i < kRun; ++i) {
        switch (s) {
            case kQuiet:
                x += static_cast<int32_t>(rng() % 9) - 4;
                break;
            case kSeismic:
                x += static_cast<int32_t>(rng() % 121) - 60;
                break;
            case kNoisy:
                x += static_cast<int32_t>(rng() % 4001) - 2000;
                break;
            case kFullScale:
                x = i % 2 ? 65535 : 0;
                break;
            case kConstant:
                break;
        }
        v[i] = std::clamp(x, 0, 65535);
    }
    return v;
}

void BM_Ours(benchmark::State& state) {
    const auto run = make_run(static_cast<Signal>(state.range(0)));
    SeedFixedHeader h{};
    std::memcpy(&h, "000011D ABC    SHZ  ", 20);
    h.Sample_rate_factor = 100;
    h.Sample_rate_multiplier = 1;
    setHeaderTime(h, 1.1e9);
    Blockette1000 b{1000, 0, 11, 1, 9, 0};
    uint8_t blk[8];
    std::memcpy(blk, &b, 8);
    std::vector<uint8_t> out(flushBufferBytes(kRun));
    unsigned records = 0;
    for (auto _ : state) {
        // The encoder needs zeros wherever it may write: one record per 103
        // samples, rounded up (libmseed clears its own record buffers too).
        std::memset(out.data(), 0, kMaxRecords * 512);
        records = steim2Compress(run.data(), kRun, h, 512, out.data(), 1, 8, blk);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kRun);
    state.counters["samples_per_record"] = static_cast<double>(kRun) / records;
    state.SetLabel(kSignalNames[state.range(0)]);
}

struct Sink {
    long records = 0;
    char last[512];
};

void count_record(char* rec, int len, void* data) {
    auto* s = static_cast<Sink*>(data);
    ++s->records;
    std::memcpy(s->last, rec, static_cast<size_t>(std::min(len, 512)));
}

void BM_Libmseed(benchmark::State& state) {
    const auto run = make_run(static_cast<Signal>(state.range(0)));
    std::vector<int32_t> samples = run;
    MSRecord* msr = msr_init(nullptr);
    std::strcpy(msr->network, "");
    std::strcpy(msr->station, "ABC");
    std::strcpy(msr->location, "");
    std::strcpy(msr->channel, "SHZ");
    msr->dataquality = 'D';
    msr->samprate = 100.0;
    msr->reclen = 512;
    msr->encoding = DE_STEIM2;
    msr->byteorder = 1;
    msr->sampletype = 'i';
    msr->starttime = MS_EPOCH2HPTIME(1100000000);
    Sink sink;
    long records = 0;
    for (auto _ : state) {
        msr->datasamples = samples.data();
        msr->numsamples = kRun;
        msr->sequence_number = 11;
        sink.records = 0;
        int64_t packed = 0;
        msr_pack(msr, count_record, &sink, &packed, 1, 0);
        records = sink.records;
        benchmark::DoNotOptimize(sink.last);
    }
    msr->datasamples = nullptr;  // ours, not libmseed's to free
    msr_free(&msr);
    state.SetItemsProcessed(state.iterations() * kRun);
    state.counters["samples_per_record"] = static_cast<double>(kRun) / records;
    state.SetLabel(kSignalNames[state.range(0)]);
}

// Interleaved, so that both packers see the same load on a shared machine.
int register_all() {
    for (int s = kQuiet; s <= kConstant; ++s) {
        benchmark::RegisterBenchmark("BM_Ours", BM_Ours)->Arg(s);
        benchmark::RegisterBenchmark("BM_Libmseed", BM_Libmseed)->Arg(s);
    }
    return 0;
}

// Console output plus a closing table: ours / libmseed per signal.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const std::string name = r.benchmark_name();
            const bool ours = name.rfind("BM_Ours", 0) == 0;
            const std::string signal = name.substr(name.find('/') + 1);
            Entry& e = table[signal];
            const auto ips = r.counters.find("items_per_second");
            const auto spr = r.counters.find("samples_per_record");
            (ours ? e.oursRate : e.libRate) = ips != r.counters.end() ? double(ips->second) : 0;
            (ours ? e.oursSpr : e.libSpr) = spr != r.counters.end() ? double(spr->second) : 0;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-10s %14s %14s %7s %10s %10s\n", "signal", "ours Ms/s", "libmseed Ms/s",
                    "ratio", "ours s/rec", "lib s/rec");
        for (const auto& [signal, e] : table) {
            const int index = std::stoi(signal);
            std::printf("%-10s %14.1f %14.1f %7.2f %10.1f %10.1f\n", kSignalNames[index],
                        e.oursRate / 1e6, e.libRate / 1e6,
                        e.libRate > 0 ? e.oursRate / e.libRate : 0, e.oursSpr, e.libSpr);
        }
    }

  private:
    struct Entry {
        double oursRate = 0, libRate = 0, oursSpr = 0, libSpr = 0;
    };
    std::map<std::string, Entry> table;
};

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ms_loginit(nullptr, nullptr, nullptr, nullptr);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
