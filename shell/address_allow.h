// Allow lists of client addresses: "10.0.0.0/8, 192.168.1.7, 2001:db8::/32".
// Loopback clients are always let in; an empty list lets in everyone who
// can reach the listening address.
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

// Whether a client address (as text, IPv4-mapped IPv6 already as IPv4) may
// connect under the list.
bool address_allowed(const std::vector<AddressRange>& ranges, const std::string& address);
