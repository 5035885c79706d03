// WebSocket (RFC 6455) on the SeedLink port, server side: the opening
// handshake and the frames in both directions. No I/O: the server hands in
// what it read and sends what comes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace websocket {

// A browser's upgrade request is well under 1 KiB; cookies of the page's
// site can add a few.
inline constexpr size_t kMaxHeadBytes = 8192;
// Client messages carry one SeedLink command of at most 255 bytes; a frame
// that claims more is refused at its header, before its payload is awaited.
inline constexpr size_t kMaxMessageBytes = 1024;

enum Opcode : uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

// SHA-1 of `data` (20 bytes) and standard base64 with padding.
std::string sha1(std::string_view data);
std::string base64(std::string_view data);
// Sec-WebSocket-Accept for a Sec-WebSocket-Key.
std::string accept_key(std::string_view key);

// True when `bytes` (the start of what a client sent) is an HTTP request line.
bool looks_like_http(std::string_view bytes);

struct Upgrade {
    bool ok = false;
    std::string why;       // when not ok: what was wrong, for the log (Russian)
    std::string protocol;  // the subprotocol chosen, "" when the client named none
    std::string response;  // the bytes to send: 101, or 400/426 when not ok
};

// Answers a complete request head (through the blank line): a GET with
// Upgrade: websocket, Connection: Upgrade, version 13 and a key. The first
// of `protocols` that the client offers is chosen; a client that offers
// only others is refused, since a browser would drop the connection anyway.
Upgrade answer_upgrade(std::string_view head, const std::vector<std::string>& protocols);

struct Frame {
    uint8_t opcode = 0;
    bool fin = false;
    std::string payload;  // unmasked
};

// Takes one frame off the front of `buffer`: 1 with the frame, 0 when more
// bytes are needed, -1 when the frame breaks the protocol: reserved bits,
// an unknown opcode, no mask, a fragmented or long control frame, a length
// over kMaxMessageBytes, a close of 1 byte or with a code no peer may send
// (why says which, in Russian, for the log). The server answers -1 with a
// 1002 close.
int take_frame(std::string& buffer, Frame& out, const char** why);

// A server frame (unmasked, FIN set) around `length` bytes.
std::string frame(uint8_t opcode, const void* data, size_t length);

}  // namespace websocket
