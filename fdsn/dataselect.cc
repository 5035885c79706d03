#include "fdsn/dataselect.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "common/app_state.h"
#include "seed/mseed3.h"
#include "seed/record.h"
#include "seed/record_layout.h"

namespace {

constexpr int64_t kMicros = 1000000;

// floor(a / b) and ceil(a / b) for b > 0, in 128 bits: times in
// microseconds times a rate overflow 64.
int64_t floor_div(__int128 a, __int128 b) {
    __int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return static_cast<int64_t>(q);
}
int64_t ceil_div(__int128 a, __int128 b) { return -floor_div(-a, b); }

bool quality_served(const FdsnRequest& request) {
    const std::string* q = request.option("quality");
    // Our records carry 'D'; M and B ask for the best there is, which is it.
    return q == nullptr || *q == "D" || *q == "M" || *q == "B" || *q == "*";
}

bool codes_match(const Selection& s, const StationCodes& codes) {
    return s.net.matches(codes.network) && s.sta.matches(codes.station) && s.loc.matches("");
}

uint16_t be16_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
// Seconds since 1970 of a global sample number: whole seconds apart from
// the fraction, so that large numbers lose nothing.
double time_of(int64_t sample, int rate) {
    return static_cast<double>(sample / rate) + static_cast<double>(sample % rate) / rate;
}

}  // namespace

StationCodes station_codes(const char* network, const char* station) {
    return StationCodes{network, std::string(station).substr(0, kSeedStationLength)};
}

std::string channel_code(const std::string& name) { return name.substr(0, kSeedChannelLength); }

std::string source_id(const StationCodes& codes, const std::string& channel) {
    return fdsn_source_id(codes.network.c_str(), codes.station.c_str(), "", channel.c_str());
}

PlanResult plan_dataselect(const FdsnRequest& request, const std::vector<IndexRow>& rows,
                           const char* data_dir, const StationCodes& codes, int64_t max_samples,
                           DataselectPlan* plan) {
    *plan = DataselectPlan{};
    if (!quality_served(request)) return PlanResult::kOk;
    // Samples each file holds on disk, looked up once per request.
    std::map<std::string, int64_t> on_disk;
    auto disk_samples = [&](const std::string& cpath) {
        auto it = on_disk.find(cpath);
        if (it != on_disk.end()) return it->second;
        Descriptor file;
        const int64_t n = open_ring_file(data_dir, cpath, &file);
        on_disk[cpath] = n;
        return n;
    };
    // Codes once per row, not once per row and selection.
    std::vector<std::string> channels;
    channels.reserve(rows.size());
    for (const IndexRow& row : rows) channels.push_back(channel_code(row.channel));
    for (const Selection& s : request.selections) {
        if (!codes_match(s, codes)) continue;
        SampleRun run;
        auto close_run = [&]() {
            if (run.count > 0) plan->runs.push_back(std::move(run));
            run = SampleRun{};
        };
        for (size_t k = 0; k < rows.size(); ++k) {
            const IndexRow& row = rows[k];
            const std::string& channel = channels[k];
            if (row.sps <= 0 || row.tqty <= 0 || !s.cha.matches(channel)) continue;
            if (channel != run.channel || row.sps != run.rate) close_run();
            const int64_t r = row.sps;
            const __int128 t0 = static_cast<__int128>(row.tbegin) * kMicros;
            // Window in sample numbers of this file: first >= start, last <= end.
            int64_t first = s.start == kFdsnTimeMin ? 0 : ceil_div((s.start - t0) * r, kMicros);
            int64_t last = s.end == kFdsnTimeMax ? INT64_MAX : floor_div((s.end - t0) * r, kMicros);
            first = std::max<int64_t>(first, 0);
            const int64_t length = std::min<int64_t>(row.tqty * r, disk_samples(row.cpath));
            last = std::min<int64_t>(last, length - 1);
            if (first > last) continue;
            // Global sample numbers tie files together: equal numbers are the
            // same instant, so a file that starts where the run ends goes on
            // with it, and samples the run already has are not sent twice.
            const int64_t global = row.tbegin * r + first;
            const int64_t run_end = run.start_sample + run.count;
            if (run.count > 0 && channel == run.channel && global < run_end) {
                first += run_end - global;
                if (first > last) continue;
            } else if (run.count > 0 && global != run_end) {
                close_run();
            }
            if (run.count == 0) {
                run.channel = channel;
                run.rate = row.sps;
                run.start_sample = row.tbegin * r + first;
            }
            const int64_t count = last - first + 1;
            run.pieces.push_back(RunPiece{row.cpath, first, count});
            run.count += count;
            plan->samples += count;
            if (plan->samples > max_samples) return PlanResult::kTooLarge;
        }
        close_run();
    }
    // minimumlength and longestonly look at whole runs.
    double minimum = 0;
    if (const std::string* m = request.option("minimumlength")) minimum = std::atof(m->c_str());
    const std::string* longest = request.option("longestonly");
    if (minimum > 0 || (longest != nullptr && *longest == "true")) {
        std::map<std::string, size_t> best;  // channel -> index of its longest run
        for (size_t i = 0; i < plan->runs.size(); ++i) {
            const SampleRun& run = plan->runs[i];
            auto it = best.find(run.channel);
            if (it == best.end() || plan->runs[it->second].count < run.count) best[run.channel] = i;
        }
        std::vector<SampleRun> kept;
        plan->samples = 0;
        for (size_t i = 0; i < plan->runs.size(); ++i) {
            SampleRun& run = plan->runs[i];
            if (static_cast<double>(run.count) / run.rate < minimum) continue;
            if (longest != nullptr && *longest == "true" && best[run.channel] != i) continue;
            plan->samples += run.count;
            kept.push_back(std::move(run));
        }
        plan->runs.swap(kept);
    }
    return PlanResult::kOk;
}

RecordStream::RecordStream(DataselectPlan plan, std::string data_dir, StationCodes codes,
                           RecordFormat format)
    : plan_(std::move(plan)),
      data_dir_(std::move(data_dir)),
      codes_(std::move(codes)),
      format_(format) {}

RecordStream::~RecordStream() {
    if (fd_ >= 0) close(fd_);
}

int64_t RecordStream::read_run(const SampleRun& run, int64_t from, int64_t n, int32_t* out) {
    int64_t done = 0;
    int64_t skip = from;
    for (const RunPiece& piece : run.pieces) {
        if (done >= n) break;
        if (skip >= piece.count) {
            skip -= piece.count;
            continue;
        }
        if (piece.cpath != open_path_) {
            if (fd_ >= 0) close(fd_);
            Descriptor file;
            open_ring_file(data_dir_.c_str(), piece.cpath, &file);
            fd_ = file.fd;
            file.fd = -1;
            open_path_ = piece.cpath;
        }
        if (fd_ < 0) return done;
        const int64_t want = std::min(n - done, piece.count - skip);
        const int64_t got = read_ring_samples(fd_, piece.first + skip, want, out + done);
        done += got;
        if (got < want) return done;  // the file shrank: the run ends here
        skip = 0;
    }
    return done;
}

int64_t RecordStream::encode_mseed2(const SampleRun& run, int64_t n, bool last, int64_t sample) {
    if (records_.size() < flushBufferBytes(static_cast<int>(kChunkSamples)))
        records_.assign(flushBufferBytes(static_cast<int>(kChunkSamples)), 0);
    // The encoder writes only the words it fills: what the last call
    // wrote is cleared before this one.
    std::memset(records_.data(), 0, size_t{dirty_} * kSeedRecordLength);
    const unsigned made = buildRecords(codes_.network.c_str(), codes_.station.c_str(),
                                       run.channel.c_str(), run.rate, time_of(sample, run.rate),
                                       samples_.data(), static_cast<int>(n), records_.data());
    const unsigned kept = last || made < 2 ? made : made - 1;
    int64_t consumed = 0;
    for (unsigned r = 0; r < kept; ++r) {
        uint8_t* record = records_.data() + size_t{r} * kSeedRecordLength;
        consumed += be16_at(record + offsetof(SeedFixedHeader, Number_of_samples));
        for (unsigned k = 0, v = sequence_; k < 6; ++k, v /= 10)
            record[5 - k] = static_cast<uint8_t>('0' + v % 10);
        sequence_ = sequence_ >= 999999 ? 1 : sequence_ + 1;
    }
    dirty_ = made;
    sent_ = size_t{kept} * kSeedRecordLength;
    return consumed;
}

int64_t RecordStream::encode_mseed3(const SampleRun& run, int64_t n, bool last, int64_t sample) {
    const std::string sid = source_id(codes_, run.channel);
    records_.clear();
    int64_t done = 0, before_last = 0;
    size_t full = 0;  // bytes of the records before the last one
    while (done < n) {
        full = records_.size();
        before_last = done;
        const int taken = append_mseed3_record(sid, run.rate, time_of(sample + done, run.rate),
                                               samples_.data() + done, static_cast<int>(n - done),
                                               kMseed3RecordBytes, records_);
        if (taken <= 0) {  // no record holds this identifier: nothing to send
            sent_ = 0;
            return n;
        }
        done += taken;
    }
    if (last || full == 0) {
        sent_ = records_.size();
        return done;
    }
    sent_ = full;
    return before_last;
}

bool RecordStream::next(const char** data, size_t* size) {
    while (run_ < plan_.runs.size()) {
        const SampleRun& run = plan_.runs[run_];
        const int64_t left = run.count - position_;
        const int64_t want = std::min(left, kChunkSamples);
        if (samples_.size() < static_cast<size_t>(kChunkSamples)) samples_.resize(kChunkSamples);
        const int64_t n = read_run(run, position_, want, samples_.data());
        if (n <= 0) {  // nothing more on disk for this run
            ++run_;
            position_ = 0;
            continue;
        }
        const bool last = n == left || n < want;
        const int64_t sample = run.start_sample + position_;
        // Within a run the last record of a piece is sent only at the run's
        // end; otherwise its samples begin the next piece, so records stay
        // full across pieces.
        const int64_t consumed = format_ == RecordFormat::kMiniseed3
                                     ? encode_mseed3(run, n, last, sample)
                                     : encode_mseed2(run, n, last, sample);
        *data = reinterpret_cast<const char*>(records_.data());
        *size = sent_;
        position_ += last ? n : consumed;
        if (last) {
            ++run_;
            position_ = 0;
        }
        if (sent_ == 0) continue;  // an empty chunk would end the response
        return true;
    }
    return false;
}
