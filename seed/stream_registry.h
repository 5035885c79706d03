// Registry of SEED channel streams, one accumulator per station and channel.
// No lock: stations and channels are added at start-up on the main thread and
// afterwards only on the decoder thread; attachPipe runs once on the recorder.
#pragma once

#include <cstdint>

class RecordPipe;

class StreamRegistry {
public:
    int findOrAddStation(const char* name);
    int findOrAddChannel(int station, const char* name, double sampleRate);
    int channelCount(int station) const;
    void attachPipe(RecordPipe* pipe);
    void appendBlock(const char* station, const char* channel, double sampleRate,
                     double blockTime, int sampleCount, const uint8_t* samples);
    // (the SEED service completes this class)
};

extern StreamRegistry streamRegistry;
