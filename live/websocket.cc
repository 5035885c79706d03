#include "live/websocket.h"

#include <cstring>

namespace websocket {

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void sha1_block(uint32_t h[5], const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(p[4 * i]) << 24 | static_cast<uint32_t>(p[4 * i + 1]) << 16 |
               static_cast<uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// True when the comma-separated header value has `token` (any case).
bool has_token(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (iequal(trim(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

// `why` goes to the client, `log` to the operation log.
Upgrade refuse(int status, const char* why, const char* log) {
    Upgrade u;
    u.why = log;
    const char* text = status == 426 ? "Upgrade Required" : "Bad Request";
    u.response = "HTTP/1.1 " + std::to_string(status) + " " + text +
                 "\r\nContent-Type: text/plain\r\nConnection: close\r\n";
    if (status == 426) u.response += "Sec-WebSocket-Version: 13\r\n";
    u.response +=
        "Content-Length: " + std::to_string(std::strlen(why) + 2) + "\r\n\r\n" + why + "\r\n";
    return u;
}

// Codes a peer may put in a close frame: the defined ones except those that
// only name a state (1004 reserved, 1005, 1006, 1015), and 3000..4999.
bool sendable_close_code(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

}  // namespace

std::string sha1(std::string_view data) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    size_t i = 0;
    for (; i + 64 <= data.size(); i += 64)
        sha1_block(h, reinterpret_cast<const uint8_t*>(data.data() + i));
    // The tail, a 1 bit, zeros and the length in bits fill one or two blocks.
    uint8_t tail[128] = {};
    const size_t rest = data.size() - i;
    std::memcpy(tail, data.data() + i, rest);
    tail[rest] = 0x80;
    const size_t blocks = rest + 9 <= 64 ? 1 : 2;
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    for (int b = 0; b < 8; ++b) tail[blocks * 64 - 1 - b] = static_cast<uint8_t>(bits >> (8 * b));
    for (size_t b = 0; b < blocks; ++b) sha1_block(h, tail + 64 * b);
    std::string out(20, '\0');
    for (int w = 0; w < 5; ++w)
        for (int b = 0; b < 4; ++b) out[4 * w + b] = static_cast<char>(h[w] >> (24 - 8 * b));
    return out;
}

std::string base64(std::string_view data) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<uint8_t>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= static_cast<uint8_t>(data[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < data.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? digits[v & 63] : '=';
    }
    return out;
}

std::string accept_key(std::string_view key) {
    std::string text(key);
    text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    return base64(sha1(text));
}

bool looks_like_http(std::string_view bytes) {
    static const char* const verbs[] = {"GET ",    "HEAD ",    "POST ",  "PUT ",
                                        "DELETE ", "OPTIONS ", "TRACE ", "CONNECT "};
    for (const char* v : verbs) {
        const size_t n = std::strlen(v);
        if (bytes.size() >= n && iequal(bytes.substr(0, n), v)) return true;
    }
    return false;
}

Upgrade answer_upgrade(std::string_view head, const std::vector<std::string>& protocols) {
    const size_t first_end = head.find("\r\n");
    if (first_end == std::string_view::npos)
        return refuse(400, "no request line", "нет строки запроса");
    const std::string_view request = head.substr(0, first_end);
    if (request.substr(0, 4) != "GET " || request.size() < 14 ||
        request.substr(request.size() - 9) != " HTTP/1.1")
        return refuse(400, "not a GET over HTTP/1.1", "не GET по HTTP/1.1");
    std::string_view upgrade, connection, version, key, offered;
    std::string_view rest = head.substr(first_end + 2);
    while (!rest.empty()) {
        const size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return refuse(400, "header line without a colon", "строка заголовка без двоеточия");
        const std::string_view name = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        if (iequal(name, "upgrade"))
            upgrade = value;
        else if (iequal(name, "connection"))
            connection = value;
        else if (iequal(name, "sec-websocket-version"))
            version = value;
        else if (iequal(name, "sec-websocket-key"))
            key = value;
        else if (iequal(name, "sec-websocket-protocol"))
            offered = value;
    }
    if (!has_token(upgrade, "websocket") || !has_token(connection, "upgrade"))
        return refuse(426, "only WebSocket is served here", "не запрос WebSocket");
    if (version != "13") return refuse(426, "WebSocket version 13 only", "версия WebSocket не 13");
    // The key is 16 random bytes in base64.
    if (key.size() != 24) return refuse(400, "bad Sec-WebSocket-Key", "неверный Sec-WebSocket-Key");
    Upgrade u;
    if (!offered.empty()) {
        for (const std::string& p : protocols)
            if (has_token(offered, p)) {
                u.protocol = p;
                break;
            }
        if (u.protocol.empty())
            return refuse(400, "no SeedLink subprotocol offered", "нет подпротокола SeedLink");
    }
    u.ok = true;
    u.response =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        accept_key(key) + "\r\n";
    if (!u.protocol.empty()) u.response += "Sec-WebSocket-Protocol: " + u.protocol + "\r\n";
    u.response += "\r\n";
    return u;
}

int take_frame(std::string& buffer, Frame& out, const char** why) {
    const auto* p = reinterpret_cast<const uint8_t*>(buffer.data());
    if (buffer.size() < 2) return 0;
    const uint8_t opcode = p[0] & 0x0F;
    const bool fin = (p[0] & 0x80) != 0;
    if ((p[0] & 0x70) != 0) {
        *why = "зарезервированные биты";
        return -1;
    }
    if (opcode != kContinuation && opcode != kText && opcode != kBinary && opcode != kClose &&
        opcode != kPing && opcode != kPong) {
        *why = "неизвестный код кадра";
        return -1;
    }
    if ((p[1] & 0x80) == 0) {
        *why = "кадр клиента без маски";
        return -1;
    }
    uint64_t length = p[1] & 0x7F;
    size_t at = 2;
    if (length == 126) {
        if (buffer.size() < 4) return 0;
        length = static_cast<uint64_t>(p[2]) << 8 | p[3];
        at = 4;
    } else if (length == 127) {
        if (buffer.size() < 10) return 0;
        length = 0;
        for (int i = 0; i < 8; ++i) length = length << 8 | p[2 + i];
        at = 10;
    }
    if (opcode >= kClose && (!fin || length > 125)) {
        *why = "управляющий кадр разбит или длиннее 125 байт";
        return -1;
    }
    if (length > kMaxMessageBytes) {
        *why = "кадр длиннее команды";
        return -1;
    }
    // A close carries nothing or a 2-byte status code first.
    if (opcode == kClose && length == 1) {
        *why = "кадр закрытия с одним байтом";
        return -1;
    }
    if (buffer.size() < at + 4 + length) return 0;
    const uint8_t* mask = p + at;
    if (opcode == kClose && length >= 2 &&
        !sendable_close_code(
            static_cast<uint16_t>((p[at + 4] ^ mask[0]) << 8 | (p[at + 5] ^ mask[1])))) {
        *why = "недопустимый код закрытия";
        return -1;
    }
    out.opcode = opcode;
    out.fin = fin;
    out.payload.resize(length);
    for (size_t i = 0; i < length; ++i)
        out.payload[i] = static_cast<char>(p[at + 4 + i] ^ mask[i & 3]);
    buffer.erase(0, at + 4 + length);
    return 1;
}

std::string frame(uint8_t opcode, const void* data, size_t length) {
    std::string out;
    out += static_cast<char>(0x80 | opcode);
    if (length < 126) {
        out += static_cast<char>(length);
    } else if (length < 65536) {
        out += static_cast<char>(126);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(length & 0xFF);
    } else {
        out += static_cast<char>(127);
        for (int i = 7; i >= 0; --i)
            out += static_cast<char>((static_cast<uint64_t>(length) >> (8 * i)) & 0xFF);
    }
    out.append(static_cast<const char*>(data), length);
    return out;
}

}  // namespace websocket
