// Mini-SEED record geometry, shared by the encoder, the record builder and
// every reader of our records (tests, lissdump): a 48-byte fixed header, one
// blockette 1000 at byte 48, Steim-2 data frames from byte 64.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kSeedRecordLength = 512;
inline constexpr int kSeedFrameLength = 64;
inline constexpr int kSeedFirstBlockette = 48;
inline constexpr int kSeedBeginningOfData = 64;
inline constexpr int kSeedX0Offset = 68;
inline constexpr int kSeedXnOffset = 72;
inline constexpr int kSeedStationLength = 5;
inline constexpr int kSeedChannelLength = 3;
inline constexpr int kSeedLocationLength = 2;

// Fixed section of data header. Multi-byte fields are host order in the
// working copy and big-endian in a finished record.
struct SeedFixedHeader {
    char SequenceNumber[6];
    char Data_header_indicator;
    char Reserved_bytes_A;
    char Station_identifier_code[5];
    char Location_identifier[2];
    char Channel_identifier[3];
    char Reserved_bytes_B[2];  // the network code
    uint16_t year;
    uint16_t day;
    uint8_t hours;
    uint8_t minutes;
    uint8_t seconds;
    uint8_t unused;
    uint16_t fract;  // ten-thousandths of a second
    uint16_t Number_of_samples;
    int16_t Sample_rate_factor;
    int16_t Sample_rate_multiplier;
    uint8_t Activity_flags;
    uint8_t IO_flags;
    uint8_t Data_quality_flags;
    uint8_t Number_of_blockettes_follow;
    int32_t Time_correction;
    uint16_t Beginning_of_data;
    uint16_t First_blockette;
};
static_assert(sizeof(SeedFixedHeader) == 48);
static_assert(offsetof(SeedFixedHeader, year) == 20);
static_assert(offsetof(SeedFixedHeader, fract) == 28);
static_assert(offsetof(SeedFixedHeader, Time_correction) == 40);
static_assert(offsetof(SeedFixedHeader, First_blockette) == 46);

struct Blockette1000 {
    uint16_t type;         // 1000
    uint16_t next;         // 0: last blockette
    uint8_t encoding;      // 11: Steim-2
    uint8_t wordOrder;     // 1: big-endian
    uint8_t recordLength;  // power of two: 9 for 512 bytes
    uint8_t reserved;
};
static_assert(sizeof(Blockette1000) == 8);
