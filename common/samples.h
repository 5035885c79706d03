// Sample values as the station sends them: 16-bit little-endian words,
// unsigned, 0..65,535. Every reader of values (the SEED service, the live
// feed, the FDSN ring-file reader, the ring file's amplitude range) takes
// them from here, so that no road sign-extends them.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Value of the i-th word at p.
inline uint16_t sample_value(const uint8_t* p, size_t i) {
    return static_cast<uint16_t>(p[2 * i] | p[2 * i + 1] << 8);
}

// The n words at p widened to 32 bits without sign extension into out.
inline void widen_samples(const uint8_t* p, size_t n, int32_t* out) {
    size_t i = 0;
#ifdef __SSE2__
    // SSE2 hosts are little-endian: eight words at a time, zero-extended.
    // The FDSN services widen whole ring files through this.
    for (; i + 8 <= n; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_unpacklo_epi16(v, _mm_setzero_si128()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4),
                         _mm_unpackhi_epi16(v, _mm_setzero_si128()));
    }
#endif
    for (; i < n; ++i) out[i] = sample_value(p, i);
}
