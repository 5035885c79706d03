#include "net/allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "common/oplog.h"

namespace {

bool parse_address(const std::string& text, AddressRange* r) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        r->family = AF_INET;
        std::memcpy(r->bytes, &v4, 4);
        r->prefix = 32;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        r->family = AF_INET6;
        std::memcpy(r->bytes, &v6, 16);
        r->prefix = 128;
        return true;
    }
    return false;
}

bool prefix_equal(const uint8_t* a, const uint8_t* b, int bits) {
    const int whole = bits / 8;
    if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
    const int rest = bits % 8;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

bool loopback(const AddressRange& a) {
    if (a.family == AF_INET) return a.bytes[0] == 127;
    static const uint8_t kLoop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.bytes, kLoop, 16) == 0;
}

}  // namespace

bool parse_address_ranges(const std::string& text, std::vector<AddressRange>* out,
                          std::string* bad) {
    out->clear();
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of(",; \t", at);
        const std::string item = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (item.empty()) continue;
        AddressRange r;
        const size_t slash = item.find('/');
        if (!parse_address(item.substr(0, slash), &r)) {
            *bad = item;
            return false;
        }
        if (slash != std::string::npos) {
            const std::string bits = item.substr(slash + 1);
            const int max = r.family == AF_INET ? 32 : 128;
            int n = 0;
            bool ok = !bits.empty() && bits.size() <= 3;
            for (char c : bits) ok = ok && c >= '0' && c <= '9' && (n = n * 10 + (c - '0')) >= 0;
            if (!ok || n > max) {
                *bad = item;
                return false;
            }
            r.prefix = n;
        }
        out->push_back(r);
    }
    return true;
}

bool is_loopback_address(const std::string& address) {
    AddressRange a;
    return parse_address(address, &a) && loopback(a);
}

AllowList::AllowList(const char* key, const std::string& text, Empty empty) {
    std::string bad;
    if (!parse_address_ranges(text, &ranges_, &bad)) {
        std::fprintf(stderr, "%s: '%.64s' не адрес и не диапазон\n", key, bad.c_str());
        write_log_linef("%s: '%.64s' не адрес и не диапазон", key, bad.c_str());
        ranges_.clear();
        loopback_only_ = true;
        return;
    }
    loopback_only_ = ranges_.empty() && empty == Empty::kLoopbackOnly;
}

bool AllowList::admits(const std::string& address) const {
    if (ranges_.empty() && !loopback_only_) return true;
    AddressRange client;
    if (!parse_address(address, &client)) return false;
    if (loopback(client)) return true;
    for (const AddressRange& r : ranges_)
        if (r.family == client.family && prefix_equal(r.bytes, client.bytes, r.prefix)) return true;
    return false;
}
