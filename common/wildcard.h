// Codes matched against patterns of FDSN requests and SeedLink selectors.
#pragma once

#include <string_view>

// `*` any run, `?` one character; no recursion, so a pattern of many stars
// costs at most its length times the text's. ASCII letters compare without
// case when `ignore_case`.
inline bool wildcard_match(std::string_view pattern, std::string_view text, bool ignore_case) {
    auto same = [&](char a, char b) {
        if (ignore_case) {
            if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
            if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
        }
        return a == b;
    };
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}
