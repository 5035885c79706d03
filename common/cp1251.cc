// Code page 1251, the operation log's and the station's own texts, both ways.
#include "common/cp1251.h"

#include <cstdint>
#include <cstring>

namespace {

// cp1251 bytes 0x80..0xBF for the characters outside the main Cyrillic block
// (0x98 has none); 0xC0..0xFF are U+0410..U+044F in order.
constexpr uint16_t kHighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

char cp1251_of(uint32_t code) {
    if (code < 0x80) return static_cast<char>(code);
    if (code >= 0x0410 && code <= 0x044F) return static_cast<char>(0xC0 + (code - 0x0410));
    for (int i = 0; i < 64; ++i)
        if (kHighHalf[i] == code && code != 0xFFFD) return static_cast<char>(0x80 + i);
    return '?';
}

// Appends one code point as UTF-8.
void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Length of a valid UTF-8 sequence at p (at most n bytes), 0 when invalid.
size_t utf8_sequence(const unsigned char* p, size_t n) {
    size_t len = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (len == 0 || len > n || p[0] > 0xF4) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    if (len == 3 && p[0] == 0xE0 && p[1] < 0xA0) return 0;
    if (len == 3 && p[0] == 0xED && p[1] >= 0xA0) return 0;
    if (len == 4 && p[0] == 0xF0 && p[1] < 0x90) return 0;
    if (len == 4 && p[0] == 0xF4 && p[1] >= 0x90) return 0;
    return len;
}

}  // namespace

std::string utf8_to_cp1251(const char* text) {
    std::string out;
    if (!text) return out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t code = *p;
        int extra = 0;
        if (code >= 0xF0 && code < 0xF8) {
            code &= 0x07;
            extra = 3;
        } else if (code >= 0xE0) {
            code &= 0x0F;
            extra = 2;
        } else if (code >= 0xC0) {
            code &= 0x1F;
            extra = 1;
        } else if (code >= 0x80) {
            out += '?';  // stray continuation byte
            ++p;
            continue;
        }
        ++p;
        bool valid = code < 0x80 || extra > 0;
        for (int i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (*p & 0x3F);
            ++p;
        }
        out += valid ? cp1251_of(code) : '?';
    }
    return out;
}

std::string station_text_to_utf8(const char* text, size_t max_len) {
    std::string out;
    if (text == nullptr) return out;
    size_t n = strnlen(text, max_len);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x20 || c == 0x7F) {
            out += '?';
            ++i;
        } else if (c < 0x80) {
            out += char(c);
            ++i;
        } else if (size_t len = utf8_sequence(p + i, n - i); len > 0) {
            out.append(text + i, len);
            i += len;
        } else {
            append_utf8(out, c >= 0xC0 ? 0x0410 + (c - 0xC0) : kHighHalf[c - 0x80]);
            ++i;
        }
    }
    return out;
}
