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
};

RecordRing ring;
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

// Encodes what the stream holds into the ring and empties it; feed_lock held.
void send(const std::string& channel, LiveStream& s) {
    if (s.count == 0) return;
    out.assign(flushBufferBytes(s.count), 0);
    const unsigned records =
        buildRecords(station->config.network, station->station_name, channel.c_str(), s.sample_rate,
                     s.start_time, s.samples, s.count, out.data());
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
        if (++ticks % kTicksPerSync == 0) ring.sync();
        guard.lock();
    }
}

}  // namespace

RecordRing& live_ring() { return ring; }

bool start_live_feed(const StationContext& context) {
    const Config& config = context.config;
    if (config.seedlink_port <= 0) return true;
    station = &context;
    const std::string path = std::string(config.data_dir) + "/seedlink.ring";
    if (!ring.open(path, config.seedlink_ring_bytes)) return false;
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
}

void live_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data) {
    if (!(sample_rate > 0) || samples <= 0 || data == nullptr) return;
    std::lock_guard<std::mutex> guard(feed_lock);
    if (!feeding || !ring.usable()) return;  // a failed ring takes nothing more
    auto found = streams.find(channel);
    if (found == streams.end()) found = streams.emplace(channel, LiveStream{}).first;
    LiveStream& s = found->second;
    // A record holds one rate and samples without a gap between them.
    if (s.count > 0 &&
        (s.sample_rate != sample_rate ||
         !gap_rules::service_continues(time - (s.start_time + s.count / s.sample_rate),
                                       sample_rate)))
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
