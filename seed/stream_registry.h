// Registry of SEED channel streams, one accumulator per station and channel.
// No lock: stations and channels are added at start-up on the main thread and
// afterwards only on the decoder thread, which also runs every appendBlock,
// appendChunk and flushStream; attachPipe runs once on the recorder.
#pragma once

#include <cstddef>
#include <cstdint>

class RecordPipe;

// Heap copy of a NUL-terminated string (null when empty); compares
// without regard to the case of ASCII letters.
class OwnedString {
  public:
    OwnedString() = default;
    explicit OwnedString(const char* s) { assign(s); }
    OwnedString(const OwnedString& o) { assign(o.text); }
    OwnedString& operator=(const OwnedString& o) {
        if (this != &o) assign(o.text);
        return *this;
    }
    OwnedString& operator=(const char* s) {
        assign(s);
        return *this;
    }
    ~OwnedString();
    const char* c_str() const { return text != nullptr ? text : ""; }
    bool equalsIgnoreCase(const char* s) const;

  private:
    void assign(const char* s);
    char* text = nullptr;
};

// Growable array of owned pointers: grows by an eighth of its size, at
// least 4 and at most 1024 entries at a time.
template <class T>
class OwnedArray {
  public:
    OwnedArray() = default;
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    ~OwnedArray() {
        for (int i = 0; i < count; ++i) delete items[i];
        delete[] items;
    }
    int size() const { return count; }
    int capacity() const { return cap; }
    T* at(int i) const { return i >= 0 && i < count ? items[i] : nullptr; }
    int append(T* item) {
        if (count == cap) {
            int step = cap / 8;
            if (step < 4) step = 4;
            if (step > 1024) step = 1024;
            T** grown = new T*[static_cast<size_t>(cap + step)];
            for (int i = 0; i < count; ++i) grown[i] = items[i];
            delete[] items;
            items = grown;
            cap += step;
        }
        items[count] = item;
        return count++;
    }

  private:
    T** items = nullptr;
    int count = 0;
    int cap = 0;
};

inline constexpr int kChunkSamples = 2048;
inline constexpr int kContinuationLimit = 1948;
inline constexpr double kSlowRate = 1.0;

struct ChannelStream {
    double sampleRate = 0.0;
    OwnedString name;
    double startTime = 0.0;  // first buffered sample, seconds since 1970; 0 when empty
    double duration = 0.0;   // seconds covered by the buffered samples
    int32_t sampleCount = 0;
    int32_t samples[kChunkSamples] = {};
};

struct StationStreams {
    OwnedString name;
    OwnedArray<ChannelStream> channels;
    ChannelStream* channel(int i) const { return channels.at(i); }
};

class StreamRegistry {
  public:
    // Index of the station, added when no station has that name (ignoring case).
    int findOrAddStation(const char* name);
    // Index of the channel within the station, added empty with the given rate
    // when new; -1 for a station index that does not exist.
    int findOrAddChannel(int station, const char* name, double sampleRate);
    int channelCount(int station) const;
    void attachPipe(RecordPipe* pipe);
    // Hands over one sample block (16-bit little-endian words) in chunks of
    // 2048. Blocks with a rate of 0 or below are skipped: the rate is a divisor.
    void appendBlock(const char* station, const char* channel, double sampleRate, double blockTime,
                     int sampleCount, const uint8_t* samples);
    void appendChunk(const char* station, const char* channel, double sampleRate, double chunkTime,
                     int sampleCount, const uint8_t* samples);

    StationStreams* station(int i) const { return stations.at(i); }
    int stationCount() const { return stations.size(); }

    OwnedArray<StationStreams> stations;
    RecordPipe* pipe = nullptr;
    bool outputEnabled = false;
};

// Encodes the gathered samples of one channel stream into records, queues
// them on the attached pipe and empties the stream. Does nothing while no
// pipe is attached (the stream keeps its samples) or when the indices are bad.
void flushStream(StreamRegistry& registry, int station, int channel);
