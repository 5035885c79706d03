// Session-service encoding and lmhosts look-up.
#include "platform/netbios_wire.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/profile.h"

namespace netbios_wire {

void encode_name(const uint8_t name[kNameSize], uint8_t out[kEncodedNameSize]) {
    out[0] = 0x20;
    for (int i = 0; i < kNameSize; ++i) {
        out[1 + 2 * i] = static_cast<uint8_t>('A' + (name[i] >> 4));
        out[2 + 2 * i] = static_cast<uint8_t>('A' + (name[i] & 0x0F));
    }
    out[kEncodedNameSize - 1] = 0;
}

bool decode_name(const uint8_t in[kEncodedNameSize], uint8_t name[kNameSize]) {
    if (in[0] != 0x20 || in[kEncodedNameSize - 1] != 0) return false;
    for (int i = 0; i < kNameSize; ++i) {
        int hi = in[1 + 2 * i] - 'A', lo = in[2 + 2 * i] - 'A';
        if (hi < 0 || hi > 15 || lo < 0 || lo > 15) return false;
        name[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return true;
}

void write_header(uint8_t out[4], uint8_t type, uint32_t length) {
    out[0] = type;
    out[1] = static_cast<uint8_t>((length >> 16) & 1);
    out[2] = static_cast<uint8_t>(length >> 8);
    out[3] = static_cast<uint8_t>(length);
}

void session_request(const uint8_t called[kNameSize], const uint8_t calling[kNameSize],
                     uint8_t* out) {
    write_header(out, kSessionRequest, 2 * kEncodedNameSize);
    encode_name(called, out + 4);
    encode_name(calling, out + 4 + kEncodedNameSize);
}

std::string trimmed_name(const uint8_t* name, int size) {
    int n = size;
    while (n > 0 && (name[n - 1] == 0 || name[n - 1] == ' ')) --n;
    std::string s(reinterpret_cast<const char*>(name), n);
    return s;
}

std::string lmhosts_path() {
    const char* env = std::getenv("VELDRUM_LMHOSTS");
    if (env && *env) return env;
    std::string kvr = kvr_ini_path();
    size_t slash = kvr.rfind('/');
    return slash == std::string::npos ? std::string("lmhosts")
                                      : kvr.substr(0, slash + 1) + "lmhosts";
}

static bool same_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool resolve(const char* path, const uint8_t name[kNameSize], Address* out) {
    std::ifstream in(path);
    if (!in) return false;
    const std::string wanted = trimmed_name(name, kNameSize);
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        std::string address, entry;
        if (!(fields >> address >> entry)) continue;
        if (!same_ignoring_case(entry, wanted)) continue;
        uint16_t port = kDefaultPort;
        size_t colon = address.find(':');
        if (colon != std::string::npos) {
            char* end = nullptr;
            long p = std::strtol(address.c_str() + colon + 1, &end, 10);
            if (*end != 0 || p <= 0 || p > 65535) continue;
            port = static_cast<uint16_t>(p);
            address.erase(colon);
        }
        in_addr a{};
        if (inet_pton(AF_INET, address.c_str(), &a) != 1) continue;
        out->ip = a.s_addr;
        out->port = port;
        return true;
    }
    return false;
}

}  // namespace netbios_wire
