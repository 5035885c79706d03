#include "seed/mseed3.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#ifdef __x86_64__
#include <nmmintrin.h>
#endif

#include "seed/record.h"
#include "seed/steim2.h"

namespace {

constexpr uint8_t kEncodingSteim2 = 11;

template <typename T>
void put_le(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) {
        for (size_t k = 0; k < sizeof v; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
    } else {
        std::memcpy(p, &v, sizeof v);
    }
}

uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Codes with their blanks dropped; a null code is empty.
std::string squeeze(const char* code) {
    std::string s;
    for (const char* c = code; c != nullptr && *c != '\0'; ++c)
        if (*c != ' ') s += *c;
    return s;
}

// Slicing by eight: eight tables, eight bytes a step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        t[0][i] = c;
    }
    for (int s = 1; s < 8; ++s)
        for (int i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}
constexpr CrcTables kCrcTables = make_crc_tables();

uint32_t crc32c_tables(uint32_t c, const uint8_t* p, size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        const uint32_t lo = get_le32(p) ^ c;
        const uint32_t hi = get_le32(p + 4);
        c = kCrcTables[7][lo & 0xFF] ^ kCrcTables[6][(lo >> 8) & 0xFF] ^
            kCrcTables[5][(lo >> 16) & 0xFF] ^ kCrcTables[4][lo >> 24] ^ kCrcTables[3][hi & 0xFF] ^
            kCrcTables[2][(hi >> 8) & 0xFF] ^ kCrcTables[1][(hi >> 16) & 0xFF] ^
            kCrcTables[0][hi >> 24];
    }
    for (; n > 0; ++p, --n) c = (c >> 8) ^ kCrcTables[0][(c ^ *p) & 0xFF];
    return c;
}

#ifdef __x86_64__
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t c, const uint8_t* p, size_t n) {
    uint64_t c64 = c;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c64 = _mm_crc32_u64(c64, v);
    }
    c = static_cast<uint32_t>(c64);
    for (; n > 0; ++p, --n) c = _mm_crc32_u8(c, *p);
    return c;
}
const bool kHaveSse42 = __builtin_cpu_supports("sse4.2");
#endif

void count_frames(void* context, int, int frames) { *static_cast<int*>(context) = frames; }

}  // namespace

uint32_t crc32c(const uint8_t* p, size_t n) {
#ifdef __x86_64__
    if (kHaveSse42) return ~crc32c_sse42(~0u, p, n);
#endif
    return ~crc32c_tables(~0u, p, n);
}

std::string fdsn_source_id(const char* network, const char* station, const char* location,
                           const char* channel) {
    const std::string c = squeeze(channel);
    // A channel of other than three letters is all source, no band or subsource.
    const std::string b_s_ss =
        c.size() == 3 ? std::string{c[0], '_', c[1], '_', c[2]} : "_" + c + "_";
    return "FDSN:" + squeeze(network) + "_" + squeeze(station) + "_" + squeeze(location) + "_" +
           b_s_ss;
}

int append_mseed3_record(std::string_view source_id, double sample_rate, double start_time,
                         const int32_t* samples, int count, size_t max_bytes,
                         std::vector<uint8_t>& out) {
    if (samples == nullptr || count <= 0 || source_id.size() > 255 ||
        !(sample_rate > 0 && std::isfinite(sample_rate)) || !std::isfinite(start_time))
        return 0;
    const size_t header = kMseed3HeaderLength + source_id.size();
    if (max_bytes > kMseed3MaxRecord) max_bytes = kMseed3MaxRecord;
    if (max_bytes < header + kSeedFrameLength) return 0;
    const int frames = static_cast<int>((max_bytes - header) / kSeedFrameLength);

    const size_t base = out.size();
    out.resize(base + header + static_cast<size_t>(frames) * kSeedFrameLength, 0);
    int used = 0;
    const int taken = steim2EncodeFrames(samples, count, frames, out.data() + base + header, 0, 1,
                                         count_frames, &used);
    const uint32_t data_length = static_cast<uint32_t>(used) * kSeedFrameLength;
    out.resize(base + header + data_length);

    uint8_t* r = out.data() + base;
    const SplitTime t = splitEpochSeconds(start_time);
    r[0] = 'M';
    r[1] = 'S';
    r[2] = 3;
    r[3] = 0;  // flags
    put_le(r + 4, static_cast<uint32_t>(t.millisecond) * 1000000u);
    put_le(r + 8, static_cast<uint16_t>(t.year));
    put_le(r + 10, static_cast<uint16_t>(t.dayOfYear));
    r[12] = static_cast<uint8_t>(t.hour);
    r[13] = static_cast<uint8_t>(t.minute);
    r[14] = static_cast<uint8_t>(t.second);
    r[15] = kEncodingSteim2;
    put_le(r + 16, std::bit_cast<uint64_t>(sample_rate));
    put_le(r + kMseed3SamplesOffset, static_cast<uint32_t>(taken));
    put_le(r + kMseed3CrcOffset, uint32_t{0});
    // Publication version 2 is what quality "D" of our miniSEED 2 records
    // means, so both formats name the same data alike.
    r[32] = 2;
    r[33] = static_cast<uint8_t>(source_id.size());
    put_le(r + 34, uint16_t{0});  // no extra headers
    put_le(r + 36, data_length);
    std::memcpy(r + kMseed3HeaderLength, source_id.data(), source_id.size());
    put_le(r + kMseed3CrcOffset, crc32c(r, header + data_length));
    return taken;
}

size_t mseed3_record_length(const uint8_t* p, size_t n) {
    if (p == nullptr || n < static_cast<size_t>(kMseed3HeaderLength) || p[0] != 'M' ||
        p[1] != 'S' || p[2] != 3)
        return 0;
    const size_t length = kMseed3HeaderLength + size_t{p[33]} +
                          (size_t{p[34]} | size_t{p[35]} << 8) + get_le32(p + 36);
    return length <= kMseed3MaxRecord ? length : 0;
}
