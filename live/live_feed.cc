#include "live/live_feed.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/app_state.h"
#include "common/gap_rules.h"
#include "common/oplog.h"
#include "common/samples.h"
#include "live/record_ring.h"
#include "seed/mseed3.h"
#include "seed/record.h"

namespace {

// Enough for a few records of the quietest signal; a fuller buffer leaves.
constexpr int kStreamSamples = 4096;
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr int kTicksPerSync = 10;

using Clock = std::chrono::steady_clock;

struct LiveStream {
    double sample_rate = 0;
    double start_time = 0;        // of the first buffered sample
    Clock::time_point waiting{};  // when the first buffered sample arrived
    int count = 0;
    int32_t samples[kStreamSamples];
    std::string source_id;  // of its miniSEED 3 records
};

RecordRing ring;
RecordRing ring3(RingLayout::kParts);
std::vector<int32_t> block;  // under feed_lock: a block's samples for miniSEED 3
std::vector<uint8_t> record3;
std::mutex feed_lock;  // guards streams; the decoder appends, the ticker sends
std::unordered_map<std::string, LiveStream> streams;
std::vector<uint8_t> out;
std::thread ticker;
std::mutex ticker_lock;
std::condition_variable ticker_wake;
bool stopping = false;
bool feeding = false;  // under feed_lock: the ring is open and takes records
// The station fed; set before the ring takes records.
const StationContext* station = nullptr;

// Both formats' records name the station alike: NETWORK=, the station's
// name, the channel, no location.
const char* network_code() { return station->config.network; }
const char* station_code() { return station->station_name; }

// Encodes what the stream holds into the ring and empties it; feed_lock held.
void send(const std::string& channel, LiveStream& s) {
    if (s.count == 0) return;
    out.assign(flushBufferBytes(s.count), 0);
    const unsigned records =
        buildRecords(network_code(), station_code(), channel.c_str(), s.sample_rate, s.start_time,
                     s.samples, s.count, out.data());
    for (unsigned i = 0; i < records; ++i) {
        uint8_t* record = out.data() + static_cast<size_t>(i) * kSeedRecordLength;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06llu",
                      static_cast<unsigned long long>(ring.next() % 1000000));
        std::memcpy(record, digits, 6);
        ring.append(record);
    }
    s.count = 0;
}

void send_waiting(bool all) {
    std::lock_guard<std::mutex> guard(feed_lock);
    const Clock::time_point now = Clock::now();
    const auto latency = std::chrono::duration<double>(station->config.seedlink_latency);
    for (auto& [channel, s] : streams)
        if (s.count > 0 && (all || now - s.waiting >= latency)) send(channel, s);
}

void ticker_main() {
    int ticks = 0;
    std::unique_lock<std::mutex> guard(ticker_lock);
    while (!stopping) {
        ticker_wake.wait_for(guard, kTick);
        guard.unlock();
        send_waiting(false);
        if (++ticks % kTicksPerSync == 0) {
            ring.sync();
            ring3.sync();
        }
        guard.lock();
    }
}

// A block as miniSEED 3 records at once, as many as its length needs;
// feed_lock held.
void send3(const LiveStream& s, double sample_rate, double time, int samples, const uint8_t* data) {
    block.resize(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) block[i] = sample_value(data, static_cast<size_t>(i));
    for (int at = 0; at < samples;) {
        record3.clear();
        const int took =
            append_mseed3_record(s.source_id, sample_rate, time + at / sample_rate,
                                 block.data() + at, samples - at, kMseed3MaxRecord, record3);
        if (took <= 0) return;
        ring3.append_record(record3.data(), record3.size());
        at += took;
    }
}

}  // namespace

RecordRing& live_ring() { return ring; }
RecordRing& live_ring3() { return ring3; }

bool start_live_feed(const StationContext& context) {
    const Config& config = context.config;
    if (config.seedlink_port <= 0) return true;
    station = &context;
    const std::string path = std::string(config.data_dir) + "/seedlink.ring";
    if (!ring.open(path, config.seedlink_ring_bytes)) return false;
    // Without it SeedLink goes on with miniSEED 2 alone; open says why.
    ring3.open(std::string(config.data_dir) + "/seedlink3.ring", config.seedlink_ring_bytes);
    {
        std::lock_guard<std::mutex> guard(feed_lock);
        feeding = true;
    }
    stopping = false;
    ticker = std::thread(ticker_main);
    return true;
}

void stop_live_feed() {
    if (!ticker.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(ticker_lock);
        stopping = true;
    }
    ticker_wake.notify_all();
    ticker.join();
    send_waiting(true);  // a normal stop keeps what was buffered
    std::lock_guard<std::mutex> guard(feed_lock);
    feeding = false;
    ring.close();
    ring3.close();
}

void live_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data) {
    if (!(sample_rate > 0) || samples <= 0 || data == nullptr) return;
    std::lock_guard<std::mutex> guard(feed_lock);
    if (!feeding || !ring.usable()) return;  // a failed ring takes nothing more
    auto found = streams.find(channel);
    if (found == streams.end()) {
        found = streams.emplace(channel, LiveStream{}).first;
        found->second.source_id = fdsn_source_id(network_code(), station_code(), "", channel);
    }
    LiveStream& s = found->second;
    if (ring3.usable()) send3(s, sample_rate, time, samples, data);
    // A record holds one rate and samples without a gap between them.
    if (s.count > 0 && (s.sample_rate != sample_rate ||
                        !gap_rules::service_continues(
                            time - (s.start_time + s.count / s.sample_rate), sample_rate)))
        send(found->first, s);
    for (int i = 0; i < samples; ++i) {
        if (s.count == kStreamSamples) send(found->first, s);
        if (s.count == 0) {
            s.sample_rate = sample_rate;
            s.start_time = time + i / sample_rate;
            s.waiting = Clock::now();
        }
        s.samples[s.count++] = sample_value(data, static_cast<size_t>(i));
    }
}
