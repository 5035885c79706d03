// Pieces of the NetBIOS session service shared by the provider, the station
// simulator and the tests: packet types, first-level name encoding, lmhosts.
#pragma once

#include <cstdint>
#include <string>

namespace netbios_wire {

inline constexpr uint8_t kSessionMessage = 0x00;
inline constexpr uint8_t kSessionRequest = 0x81;
inline constexpr uint8_t kPositiveResponse = 0x82;
inline constexpr uint8_t kNegativeResponse = 0x83;
inline constexpr uint8_t kKeepAlive = 0x85;
inline constexpr uint8_t kCalledNameNotPresent = 0x82;  // negative response error code
inline constexpr int kEncodedNameSize = 34;  // length byte 0x20, 32 letters, root label 0
inline constexpr uint16_t kDefaultPort = 139;
inline constexpr int kNameSize = 16;  // a NetBIOS name, padded

// First-level encoding of a 16-byte name: each nibble + 'A'.
void encode_name(const uint8_t name[kNameSize], uint8_t out[kEncodedNameSize]);
// Reverse; false when the bytes are not an encoded 16-byte name.
bool decode_name(const uint8_t in[kEncodedNameSize], uint8_t name[kNameSize]);

// 4-byte header: type, flags (bit 0 is bit 16 of the length), length big-endian.
void write_header(uint8_t out[4], uint8_t type, uint32_t length);

// SESSION REQUEST of 4 + 68 bytes: called name, then calling name.
void session_request(const uint8_t called[kNameSize], const uint8_t calling[kNameSize],
                     uint8_t* out);

// A name as text without its trailing NULs and blanks.
std::string trimmed_name(const uint8_t* name, int size);

struct Address {
    uint32_t ip;    // network byte order
    uint16_t port;  // host byte order
};

// Path of lmhosts: VELDRUM_LMHOSTS when set, else beside KVR.ini.
std::string lmhosts_path();
// Looks up a name in an lmhosts file (lines "ADDRESS NAME", # comments;
// ADDRESS a.b.c.d or a.b.c.d:port). Names compare trimmed, ignoring case.
bool resolve(const char* path, const uint8_t name[kNameSize], Address* out);

}  // namespace netbios_wire
