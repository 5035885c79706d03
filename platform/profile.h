// Private-profile (INI) files: sections in brackets, key=value lines.
// Sections and keys compare without regard to ASCII case; blanks around
// names and values are trimmed; one pair of enclosing quotes is removed from
// a value. A missing file, section or key gives the default.
#pragma once

#include <cstddef>
#include <string>

// Copies the value (or the default) into out, cut to size - 1 bytes; returns
// the number of bytes copied. out is always NUL-terminated when size > 0.
size_t profile_get_string(const char* section, const char* key, const char* default_value,
                          char* out, size_t size, const char* file);
std::string profile_get_string(const char* section, const char* key, const char* default_value,
                               const char* file);
// Decimal value of the key: leading blanks, a sign, digits up to the first
// other character; default when the key is missing, 0 for text without a number.
int profile_get_int(const char* section, const char* key, int default_value, const char* file);
// Writes one key, keeping every other line of the file as it was (with its
// mode, owner, line ends and byte-order mark); creates the section, and the
// file when it is missing. A symbolic link is written through to its target.
// false, with the file untouched, when the file could not be read the first
// time it was asked for or now, is no regular file, or cannot be written.
bool profile_write_string(const char* section, const char* key, const char* value,
                          const char* file);

// Full path of "KVR.ini": in $WINDIR when set, else /etc.
std::string kvr_ini_path();

// Decimal conversion with the rules above (no overflow: clamped to int range).
long long parse_decimal(const char* text);
