// Requests of the FDSN web services (dataselect, availability, station):
// the query parameters of a GET or the lines of a POST body, checked and
// turned into selections. Pure parsing, no I/O, so it can be fuzzed alone.
//
// Every limit below is there so that a request cannot make the server
// match, hold or read without bound; crossing one is a 400 with the reason.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class FdsnService { kDataselect, kAvailability, kStation };

// Microseconds since 1970-01-01 UTC; the services' times are exact to it.
using FdsnTime = int64_t;
inline constexpr FdsnTime kFdsnTimeMin = INT64_MIN;
inline constexpr FdsnTime kFdsnTimeMax = INT64_MAX;

// Items in one code list ("SHZ,SHN,S?E"): a client names a few channels.
inline constexpr size_t kMaxCodeItems = 32;
// One item: the longest code is 8 characters (network), a pattern a few more.
inline constexpr size_t kMaxCodeItemLength = 16;
// Selection lines of one POST body (the body itself is bounded by the server).
inline constexpr size_t kMaxSelections = 500;
// Any one parameter's value; the longest legal one is a code list.
inline constexpr size_t kMaxValueLength = kMaxCodeItems * (kMaxCodeItemLength + 1);

// A code list: empty means "any". `*` and `?` are wildcards; "--" stands for
// the blank location code.
struct CodeFilter {
    std::vector<std::string> patterns;
    bool matches(std::string_view code) const;
};

struct Selection {
    CodeFilter net, sta, loc, cha;
    FdsnTime start = kFdsnTimeMin;  // samples at or after
    FdsnTime end = kFdsnTimeMax;    // samples at or before
};

struct FdsnRequest {
    std::vector<Selection> selections;  // at least one
    // Every other parameter by its canonical name ("minlat" -> "minlatitude").
    std::map<std::string, std::string> options;
    int nodata = 204;

    const std::string* option(const char* name) const;
};

// "YYYY-MM-DD", "YYYY-MM-DDThh:mm:ss" with up to 6 decimals, an optional
// "Z"; also "YYYY-DDD" with the same time part. False for anything else.
bool parse_fdsn_time(std::string_view text, FdsnTime* out);
// "YYYY-MM-DDThh:mm:ss.ffffffZ" (digits = 6), or with 3 decimals.
std::string format_fdsn_time(FdsnTime t, int digits = 6);

// The parameters a service takes, by canonical name ("network", "starttime").
std::vector<std::string> fdsn_parameter_names(FdsnService service);

// From the query parameters of a GET (decoded names and values, in order).
// Returns true, or false with the reason in *error (a 400).
bool parse_fdsn_get(FdsnService service,
                    const std::vector<std::pair<std::string, std::string>>& params,
                    FdsnRequest* out, std::string* error);
// From a POST body: "name=value" lines, then "NET STA LOC CHA START END"
// lines ("*" for an open time); blank lines and lines starting with '#'
// are skipped.
bool parse_fdsn_post(FdsnService service, std::string_view body, FdsnRequest* out,
                     std::string* error);
