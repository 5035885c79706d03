// SeedLink's pieces without I/O: what a ring record is to a client (station
// ID, stream ID, times), pattern matching, the two time formats, packet
// headers of both protocol versions, and the INFO documents (XML in
// Mini-SEED log records for 3.1, JSON for 4.0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace seedlink {

inline constexpr int kRecordBytes = 512;
inline constexpr int kV3HeaderBytes = 8;  // "SL" and six hex digits
inline constexpr int kV4FixedHeaderBytes = 17;
// 3.1 sequence numbers are six hex digits; the ring's 64-bit numbers are
// sent modulo this and mapped back on resume.
inline constexpr uint64_t kV3SequenceMask = 0xFFFFFF;

// What a client selects on, read from a record's header.
struct RecordInfo {
    std::string network, station, location, channel;  // blanks trimmed
    std::string station_id;                           // NET_STA
    std::string stream_id;                            // LOC_B_S_SS, from a three-letter channel
    char type = 'D';                                  // SeedLink 3 record type: D data, L log
    char format = '2';                                // miniSEED 2 or 3
    double start = 0;                                 // seconds since 1970, UTC
    double end = 0;                                   // time of the sample after the last
};

// False when the bytes are not a record we can read (no sane time or rate).
bool parse_record(const uint8_t* record, RecordInfo* out);
// The same from a miniSEED 3 record of `length` bytes with an FDSN source
// identifier.
bool parse_record3(const uint8_t* record, size_t length, RecordInfo* out);

// Glob with "*" and "?", anchored at both ends, case-insensitive.
bool glob_match(std::string_view pattern, std::string_view text);

// "YYYY,MM,DD,hh,mm,ss" (3.1) and "YYYY-MM-DDThh:mm:ss[.f][Z|+hh:mm]" (4.0);
// false on anything else.
bool parse_v3_time(std::string_view text, double* out);
bool parse_v4_time(std::string_view text, double* out);
// "2024-05-01T12:00:00.0000Z", and "2024/05/01 12:00:00.0000" for 3.1's XML.
std::string format_v4_time(double t);
std::string format_v3_time(double t);

// One SELECT argument, either version.
struct Selector {
    bool negate = false;
    int version = 3;
    std::string location;  // 3.1: two characters, '?' any, '-' blank
    std::string channel;   // 3.1: three characters, '?' any; or a glob
    char type = 0;         // 3.1: record type, 0 any
    std::string stream;    // 4.0: glob on the stream ID
    std::string format;    // 4.0: glob on "2D", anchored at the start only
    bool to3 = false;      // 4.0: the filter ":3"
    std::string text;      // as the client wrote it
};
// The record format a positive selector asks for: 3 when it matches "3D"
// only or filters to 3, 2 when it matches "2D" only, 0 when either serves.
int selector_format(const Selector& s);
// False when the argument is malformed (why says how).
bool parse_v3_selector(std::string_view arg, Selector* out, std::string* why);
bool parse_v4_selector(std::string_view arg, Selector* out, std::string* why);
bool selector_matches(const Selector& s, const RecordInfo& r);
// Selected when some positive selector matches (or there is none) and no
// negative one does.
bool selected(const std::vector<Selector>& selectors, const RecordInfo& r);

// A data packet: header and the 512-byte record.
std::string v3_packet(uint64_t sequence, const uint8_t* record);
std::string v4_packet(uint64_t sequence, std::string_view station_id, const uint8_t* record,
                      size_t length = kRecordBytes, char format = '2');
// A 4.0 JSON packet (format J, subformat I or E).
std::string v4_json_packet(char subformat, std::string_view json);

// What INFO reports.
struct StreamSummary {
    char format = '2';
    std::string network, station, location, channel, stream_id;
    double start = 0, end = 0;
};
struct ConnectionSummary {
    std::string address, protocol, useragent, selectors;
    uint64_t sequence = 0;
    double connected_at = 0;
    uint64_t packets = 0;
};
struct InfoSource {
    std::string software;      // the first HELLO line up to "::", trimmed
    std::string organization;  // the second HELLO line
    std::string network, station;
    uint64_t oldest = 0, next = 0;  // the ring's sequence numbers
    bool has3 = false;              // miniSEED 3 is served, from its own ring
    uint64_t oldest3 = 0, next3 = 0;
    char format = '2';  // whose numbers a station's start_seq and end_seq are
    std::vector<StreamSummary> streams;
    std::vector<ConnectionSummary> connections;
};

// 4.0: the JSON document for item (ID, FORMATS, CAPABILITIES, STATIONS,
// STREAMS, CONNECTIONS) and patterns; an error document for other items.
std::string v4_info_json(const InfoSource& source, std::string_view item,
                         std::string_view station_pattern, std::string_view stream_pattern);
// 3.1: the XML document for level (ID, CAPABILITIES, STATIONS, STREAMS,
// GAPS, CONNECTIONS, ALL), cut into INFO packets ("SLINFO *" before the
// last, "SLINFO  " last), each an ASCII log record; empty for an unknown level.
std::vector<std::string> v3_info_packets(const InfoSource& source, std::string_view level,
                                         double now);

}  // namespace seedlink
