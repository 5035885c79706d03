// miniSEED 3 records: a 40-byte little-endian header, the FDSN source
// identifier, no extra headers, then Steim-2 frames (big-endian, as every
// Steim payload is); a CRC-32C over the whole record with its CRC field zero.
// Records may have any length, so one record can carry exactly one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kMseed3HeaderLength = 40;
inline constexpr int kMseed3SamplesOffset = 24;  // uint32, little-endian
inline constexpr int kMseed3CrcOffset = 28;
// Room for a block of a few thousand samples, and never more than a
// client's buffer needs to hold at once.
inline constexpr size_t kMseed3MaxRecord = 16384;

// "FDSN:NET_STA_LOC_B_S_SS": a three-letter channel gives band, source and
// subsource; blanks are dropped from every code.
std::string fdsn_source_id(const char* network, const char* station, const char* location,
                           const char* channel);

// Appends one record to `out` holding as many of the `count` samples (the
// first at `start_time`, seconds since 1970) as fit in `max_bytes`; returns
// how many it took, at least one when count > 0 and max_bytes leaves room
// for the header, the identifier and one frame. The start time is rounded
// to the millisecond as every other road rounds it.
int append_mseed3_record(std::string_view source_id, double sample_rate, double start_time,
                         const int32_t* samples, int count, size_t max_bytes,
                         std::vector<uint8_t>& out);

// Length of the whole record that begins at `p`, from its header; 0 when
// the `n` bytes there do not start a version 3 record of at most
// kMseed3MaxRecord bytes.
size_t mseed3_record_length(const uint8_t* p, size_t n);

// CRC-32C (Castagnoli), as the record's CRC field holds it.
uint32_t crc32c(const uint8_t* p, size_t n);
