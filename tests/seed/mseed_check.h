// Decoding our records with libmseed, with its diagnostics captured so that
// an integrity warning fails the test instead of scrolling by.
#pragma once

#include <gtest/gtest.h>
#include <libmseed.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "seed/record.h"
#include "seed/steim2.h"

struct Decoded {
    bool ok = false;
    std::string station, channel;
    int sequence = 0;
    hptime_t start = 0;
    double rate = 0;
    int encoding = 0, reclen = 0;
    std::vector<int32_t> samples;
    std::string diagnostics;
};

inline Decoded mseed_decode(const uint8_t* record, int length = kSeedRecordLength) {
    static std::string messages;
    static const bool init = [] {
        auto capture = [](char* message) { messages += message; };
        return ms_loginit(capture, nullptr, capture, nullptr), true;
    }();
    (void)init;
    messages.clear();
    Decoded d;
    std::vector<char> copy(record, record + length);
    MSRecord* msr = nullptr;
    // verbose 1 makes libmseed report Steim-2 integrity failures.
    if (msr_unpack(copy.data(), length, &msr, 1, 1) == MS_NOERROR && msr != nullptr) {
        d = {msr->Blkt1000 != nullptr, msr->station, msr->channel, msr->sequence_number,
             msr->starttime, msr->samprate, msr->encoding, msr->reclen, {}, {}};
        if (msr->sampletype == 'i' && msr->datasamples != nullptr) {
            const int32_t* s = static_cast<const int32_t*>(msr->datasamples);
            d.samples.assign(s, s + msr->numsamples);
        }
    }
    if (msr != nullptr) msr_free(&msr);
    d.diagnostics = messages;
    return d;
}

// A template as the record builder makes it.
inline SeedFixedHeader make_template(const char* station, const char* channel, int16_t factor,
                                     int16_t multiplier, double start) {
    SeedFixedHeader h{};
    std::memcpy(&h, "000011D\0          ", 18);  // blank station, location, channel
    std::memcpy(h.Station_identifier_code, station, std::strlen(station));
    std::memcpy(h.Channel_identifier, channel, std::strlen(channel));
    h.Sample_rate_factor = factor, h.Sample_rate_multiplier = multiplier;
    setHeaderTime(h, start);
    return h;
}

// Encodes samples into as many records as they need; returns the records.
inline std::vector<std::vector<uint8_t>> encode(const std::vector<int32_t>& samples,
                                                const SeedFixedHeader& h) {
    std::vector<uint8_t> out((samples.size() / 103 + 2) * kSeedRecordLength, 0);
    Blockette1000 b{1000, 0, 11, 1, 9, 0};
    uint8_t blockette[sizeof b];
    std::memcpy(blockette, &b, sizeof b);
    const unsigned n = steim2Compress(samples.data(), static_cast<int>(samples.size()), h,
                                      kSeedRecordLength, out.data(), 1, sizeof b, blockette);
    std::vector<std::vector<uint8_t>> records;
    for (auto at = out.begin(); records.size() < n; at += kSeedRecordLength)
        records.emplace_back(at, at + kSeedRecordLength);
    EXPECT_EQ(std::count(out.begin() + n * kSeedRecordLength, out.end(), 0),
              out.end() - out.begin() - n * kSeedRecordLength)
        << "the encoder wrote past its records";
    return records;
}
