// Allow lists of client addresses: "10.0.0.0/8, 192.168.1.7, 2001:db8::/32",
// the one reading and the one policy of every service that has such a key.
// Loopback clients are always let in. A list with a bad entry lets in
// loopback only, so a typo never opens a port wider than meant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AddressRange {
    int family = 0;  // AF_INET or AF_INET6
    uint8_t bytes[16] = {};
    int prefix = 0;  // leading bits that must match
};

// Parses a list separated by commas, blanks or semicolons. False, with the
// first unusable item in *bad, when any item is not an address or range.
bool parse_address_ranges(const std::string& text, std::vector<AddressRange>* out,
                          std::string* bad);

// True for 127.0.0.0/8 and ::1 (as text, IPv4-mapped IPv6 already as IPv4).
bool is_loopback_address(const std::string& address);

class AllowList {
public:
    // What an empty list means: the status page lets in everyone who can
    // reach its address, SeedLink loopback only.
    enum class Empty { kEveryone, kLoopbackOnly };

    AllowList() = default;  // lets in everyone
    // Reads the value of INI key `key`; a bad entry is said on stderr and in
    // the log, naming the key and the entry, and leaves loopback only.
    AllowList(const char* key, const std::string& text, Empty empty);

    // Whether a client address (as text, IPv4-mapped IPv6 already as IPv4)
    // may connect.
    bool admits(const std::string& address) const;
    bool loopback_only() const { return loopback_only_; }

private:
    std::vector<AddressRange> ranges_;
    bool loopback_only_ = false;
};
