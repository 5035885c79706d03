// Byte layout of the station's data blocks (little-endian, packed). Shared by
// the decoder, the recorder and the station simulator.
#pragma once

#include <cstdint>
#include <cstring>

namespace block_format {

inline constexpr uint16_t kSampleBlock = 0xAA01;
inline constexpr uint16_t kChannelGroupBlock = 0xAB01;
inline constexpr uint16_t kChannelListBlock = 0xAC01;

inline constexpr int kHeaderSize = 64;
inline constexpr int kAnnouncementStep = 464;  // the walk always advances this past 0xAB01/0xAC01
inline constexpr int kMaxMessage = 65535;

// Header offsets.
inline constexpr int kType = 0;
inline constexpr int kHeaderLength = 3;
inline constexpr int kDataLength = 5;
inline constexpr int kChannel = 7;
inline constexpr int kMinute = 11;
inline constexpr int kHour = 12;
inline constexpr int kHundredths = 13;
inline constexpr int kSecond = 14;
inline constexpr int kYear = 17;
inline constexpr int kDay = 19;
inline constexpr int kMonth = 20;
// Event record.
inline constexpr int kEventType = 47;
inline constexpr int kEventMinute = 50;
inline constexpr int kEventHour = 51;
inline constexpr int kEventHundredths = 52;
inline constexpr int kEventSecond = 53;
inline constexpr int kEventYear = 56;
inline constexpr int kEventDay = 58;
inline constexpr int kEventMonth = 59;

// A time in the header (block or event): offsets from its minute byte.
inline constexpr int kTimeHour = 1;
inline constexpr int kTimeHundredths = 2;
inline constexpr int kTimeSecond = 3;
inline constexpr int kTimeYear = 6;  // int16
inline constexpr int kTimeDay = 8;
inline constexpr int kTimeMonth = 9;

// Channel group block: group records of 66 bytes from offset 64, at most 16:
// rate(int16) gain(int16) count(int16), then the entries.
inline constexpr int kGroupRecordSize = 66;
inline constexpr int kMaxGroupRecords = 16;
inline constexpr int kGroupRate = 0;
inline constexpr int kGroupGain = 2;
inline constexpr int kGroupCount = 4;
inline constexpr int kGroupEntries = 6;
inline constexpr int kGroupEntrySize = 10;  // channel(int8) name[8] kind(int8)
inline constexpr int kGroupEntryName = 1;
inline constexpr int kGroupEntryNameSize = 8;
inline constexpr int kGroupEntryKind = 9;
// Channel list block: count(int16) at 64, entries of 16 bytes from 68.
inline constexpr int kListCount = 64;
inline constexpr int kListEntries = 68;
inline constexpr int kListEntrySize = 16;  // name[6] rate(int32) gain(int32) channel(int16)
inline constexpr int kListEntryNameSize = 6;
inline constexpr int kListEntryRate = 6;  // micro-samples per second
inline constexpr int kListEntryGain = 10;
inline constexpr int kListEntryChannel = 14;

inline uint16_t read_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline int16_t read_i16(const uint8_t* p) { return static_cast<int16_t>(read_u16(p)); }
inline int32_t read_i32(const uint8_t* p) {
    uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(v);
}
inline void write_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void write_i32(uint8_t* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

// Length of a sample block: header length + data length.
inline int block_length(const uint8_t* block) {
    return read_u16(block + kHeaderLength) + read_u16(block + kDataLength);
}
// Samples in a sample block: data length / 2; they start at offset 64.
inline int sample_count(const uint8_t* block) { return read_u16(block + kDataLength) / 2; }

}  // namespace block_format

// Time of a sample block's first sample: whole seconds, hundredths above 50 round up.
double block_time(const uint8_t* block);
