#include "live/seedlink_protocol.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "common/calendar.h"
#include "common/json_text.h"
#include "common/wildcard.h"
#include "common/xml_text.h"
#include "seed/mseed3.h"

namespace seedlink {

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string trimmed(const uint8_t* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
}

// Seconds in a SEED sample rate pair (factor, multiplier); 0 when none.
double sample_rate(int factor, int multiplier) {
    if (factor == 0 || multiplier == 0) return 0;
    if (factor > 0 && multiplier > 0) return static_cast<double>(factor) * multiplier;
    if (factor > 0) return static_cast<double>(factor) / -multiplier;
    if (multiplier > 0) return static_cast<double>(multiplier) / -factor;
    return 1.0 / (static_cast<double>(factor) * multiplier);
}

void put_be16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_le(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Digits only, at least one; false otherwise.
bool whole(std::string_view s, int* out) {
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

bool valid_fields(int year, int month, int day, int hour, int minute, int second) {
    return year >= 1900 && year <= 2200 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
           hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

std::string hex6(uint64_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%06llX",
                  static_cast<unsigned long long>(v & kV3SequenceMask));
    return text;
}

// Streams grouped by station ID, the configured station first even when
// the ring holds none of its records yet.
std::map<std::string, std::vector<const StreamSummary*>> by_station(const InfoSource& s) {
    std::map<std::string, std::vector<const StreamSummary*>> out;
    out[s.network + "_" + s.station];
    for (const StreamSummary& st : s.streams) out[st.network + "_" + st.station].push_back(&st);
    return out;
}

// One ASCII log record of an INFO reply: fixed header, blockette 1000 and
// up to 456 bytes of the document from byte 56.
std::string info_record(std::string_view chunk, bool last, double now) {
    constexpr int kDataOffset = 56;
    std::string packet = last ? "SLINFO  " : "SLINFO *";
    uint8_t r[kRecordBytes] = {};
    std::memcpy(r, "000000D INFO   LOGSL", 20);
    CalendarTime t{};
    calendar_from_seconds(std::floor(now), &t);
    put_be16(r + 20, static_cast<unsigned>(t.year));
    put_be16(r + 22, static_cast<unsigned>(t.day_of_year));
    r[24] = static_cast<uint8_t>(t.hour);
    r[25] = static_cast<uint8_t>(t.minute);
    r[26] = static_cast<uint8_t>(t.second);
    put_be16(r + 30, static_cast<unsigned>(chunk.size()));
    r[39] = 1;  // one blockette
    put_be16(r + 44, kDataOffset);
    put_be16(r + 46, 48);
    put_be16(r + 48, 1000);
    r[52] = 0;  // encoding: ASCII text
    r[53] = 1;  // big-endian
    r[54] = 9;  // 2^9 = 512 bytes
    std::memcpy(r + kDataOffset, chunk.data(), chunk.size());
    packet.append(reinterpret_cast<const char*>(r), sizeof r);
    return packet;
}

}  // namespace

bool parse_record(const uint8_t* r, RecordInfo* out) {
    const char quality = static_cast<char>(r[6]);
    if (quality != 'D' && quality != 'R' && quality != 'Q' && quality != 'M') return false;
    // Our records are big-endian; a little-endian one shows an impossible year.
    bool big = true;
    int year = be16(r + 20), day = be16(r + 22);
    if (year < 1900 || year > 2200 || day < 1 || day > 366) {
        big = false;
        year = le16(r + 20);
        day = le16(r + 22);
        if (year < 1900 || year > 2200 || day < 1 || day > 366) return false;
    }
    auto u16 = [big](const uint8_t* p) { return big ? be16(p) : le16(p); };
    if (r[24] > 23 || r[25] > 59 || r[26] > 60) return false;
    out->station = trimmed(r + 8, 5);
    out->location = trimmed(r + 13, 2);
    out->channel = trimmed(r + 15, 3);
    out->network = trimmed(r + 18, 2);
    out->station_id = out->network + "_" + out->station;
    if (out->channel.size() == 3)
        out->stream_id =
            out->location + "_" + out->channel[0] + "_" + out->channel[1] + "_" + out->channel[2];
    else
        out->stream_id = out->location + "_" + out->channel;
    out->type = out->channel == "LOG" ? 'L' : 'D';
    const int samples = u16(r + 30);
    const double rate =
        sample_rate(static_cast<int16_t>(u16(r + 32)), static_cast<int16_t>(u16(r + 34)));
    out->start = calendar_to_seconds(year, 1, 1, r[24], r[25], r[26]) + (day - 1) * 86400.0 +
                 u16(r + 28) / 10000.0;
    // A correction not yet applied (activity bit 1 clear) moves the times.
    if ((r[36] & 0x02) == 0) {
        const uint32_t c = big ? static_cast<uint32_t>(be16(r + 40)) << 16 | be16(r + 42)
                               : static_cast<uint32_t>(le16(r + 42)) << 16 | le16(r + 40);
        out->start += static_cast<int32_t>(c) / 10000.0;
    }
    out->end = rate > 0 ? out->start + samples / rate : out->start;
    return true;
}

namespace {

uint32_t le32(const uint8_t* p) { return static_cast<uint32_t>(le16(p) | le16(p + 2) << 16); }

}  // namespace

bool parse_record3(const uint8_t* r, size_t length, RecordInfo* out) {
    constexpr size_t kHeader = kMseed3HeaderLength;
    if (length < kHeader || r[0] != 'M' || r[1] != 'S' || r[2] != 3) return false;
    const size_t id_length = r[33];
    if (kHeader + id_length > length) return false;
    const int year = le16(r + 8), day = le16(r + 10);
    if (year < 1900 || year > 2200 || day < 1 || day > 366 || r[12] > 23 || r[13] > 59 ||
        r[14] > 60)
        return false;
    // "FDSN:NET_STA_LOC_B_S_SS": the station ID is what comes before the
    // location, the stream ID the rest.
    const std::string id(reinterpret_cast<const char*>(r + kHeader), id_length);
    if (id.compare(0, 5, "FDSN:") != 0) return false;
    std::vector<std::string> codes;
    for (size_t at = 5;;) {
        const size_t cut = id.find('_', at);
        codes.push_back(id.substr(at, cut == std::string::npos ? cut : cut - at));
        if (cut == std::string::npos) break;
        at = cut + 1;
    }
    if (codes.size() != 6) return false;
    out->format = '3';
    out->type = 'D';
    out->network = codes[0];
    out->station = codes[1];
    out->location = codes[2];
    out->channel = codes[3] + codes[4] + codes[5];
    out->station_id = codes[0] + "_" + codes[1];
    out->stream_id = codes[2] + "_" + codes[3] + "_" + codes[4] + "_" + codes[5];
    double rate;
    std::memcpy(&rate, r + 16, sizeof rate);  // little-endian, as the host
    if (rate < 0) rate = -1 / rate;           // a period
    out->start = calendar_to_seconds(year, 1, 1, r[12], r[13], r[14]) + (day - 1) * 86400.0 +
                 le32(r + 4) / 1e9;
    out->end = rate > 0 && std::isfinite(rate) ? out->start + le32(r + 24) / rate : out->start;
    return true;
}

bool glob_match(std::string_view p, std::string_view t) { return wildcard_match(p, t, true); }

bool parse_v3_time(std::string_view text, double* out) {
    int f[6];
    for (int i = 0; i < 6; ++i) {
        const size_t comma = text.find(',');
        if ((comma == std::string_view::npos) != (i == 5)) return false;
        if (!whole(text.substr(0, comma), &f[i])) return false;
        text = i == 5 ? std::string_view() : text.substr(comma + 1);
    }
    if (!valid_fields(f[0], f[1], f[2], f[3], f[4], f[5])) return false;
    *out = calendar_to_seconds(f[0], f[1], f[2], f[3], f[4], f[5]);
    return true;
}

bool parse_v4_time(std::string_view text, double* out) {
    // Date and time fields at fixed places, then an optional fraction and zone.
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != 't') || text[13] != ':' || text[16] != ':')
        return false;
    int year, month, day, hour, minute, second;
    if (!whole(text.substr(0, 4), &year) || !whole(text.substr(5, 2), &month) ||
        !whole(text.substr(8, 2), &day) || !whole(text.substr(11, 2), &hour) ||
        !whole(text.substr(14, 2), &minute) || !whole(text.substr(17, 2), &second))
        return false;
    if (!valid_fields(year, month, day, hour, minute, second)) return false;
    double t = calendar_to_seconds(year, month, day, hour, minute, second);
    std::string_view rest = text.substr(19);
    if (!rest.empty() && rest[0] == '.') {
        size_t n = 1;
        double scale = 0.1;
        for (; n < rest.size() && rest[n] >= '0' && rest[n] <= '9' && n < 16; ++n, scale /= 10)
            t += (rest[n] - '0') * scale;
        if (n == 1) return false;
        rest = rest.substr(n);
    }
    if (rest == "Z" || rest == "z" || rest.empty()) {
        *out = t;
        return true;
    }
    int oh, om;
    if (rest.size() != 6 || (rest[0] != '+' && rest[0] != '-') || rest[3] != ':' ||
        !whole(rest.substr(1, 2), &oh) || !whole(rest.substr(4, 2), &om) || oh > 23 || om > 59)
        return false;
    const double offset = oh * 3600.0 + om * 60.0;
    *out = rest[0] == '+' ? t - offset : t + offset;
    return true;
}

std::string format_v4_time(double t) {
    CalendarTime c{};
    const double whole_seconds = std::floor(t);
    calendar_from_seconds(whole_seconds, &c);
    const int fraction = static_cast<int>(std::lround((t - whole_seconds) * 10000)) % 10000;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%04dZ", c.year, c.month, c.day,
                  c.hour, c.minute, static_cast<int>(c.second), fraction);
    return text;
}

std::string format_v3_time(double t) {
    std::string s = format_v4_time(t);
    s[4] = s[7] = '/';
    s[10] = ' ';
    s.pop_back();
    return s;
}

bool parse_v3_selector(std::string_view arg, Selector* out, std::string* why) {
    *out = Selector{};
    out->text = std::string(arg);
    out->version = 3;
    if (!arg.empty() && arg[0] == '!') {
        out->negate = true;
        arg.remove_prefix(1);
    }
    const size_t dot = arg.find('.');
    std::string_view name = arg.substr(0, dot);
    // Some clients write "*" for every stream.
    if (name == "*") name = "";
    if (dot != std::string_view::npos) {
        const std::string_view type = arg.substr(dot + 1);
        const char t =
            type.size() == 1
                ? static_cast<char>(type[0] >= 'a' && type[0] <= 'z' ? type[0] - 32 : type[0])
                : 0;
        if (t == 0 || std::strchr("DECOTL?", t) == nullptr) {
            *why = "record type is one of D E C O T L";
            return false;
        }
        out->type = t == '?' ? 0 : t;
    }
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '?' || c == '-')) {
            *why = "selector characters are letters, digits, ? and -";
            return false;
        }
    if (name.size() == 5) {
        out->location = std::string(name.substr(0, 2));
        out->channel = std::string(name.substr(2));
    } else if (name.size() == 3 || name.empty()) {
        out->location = "??";
        out->channel = name.empty() ? "???" : std::string(name);
    } else {
        *why = "selector is LLCCC.T, CCC.T or one of them without .T";
        return false;
    }
    return true;
}

bool parse_v4_selector(std::string_view arg, Selector* out, std::string* why) {
    *out = Selector{};
    out->text = std::string(arg);
    out->version = 4;
    if (!arg.empty() && arg[0] == '!') {
        out->negate = true;
        arg.remove_prefix(1);
    }
    const size_t colon = arg.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view filter = arg.substr(colon + 1);
        if (out->negate) {
            *why = "a filter cannot follow !";
            return false;
        }
        if (filter == "3") {
            out->to3 = true;
        } else if (!(filter.size() == 6 && glob_match("native", filter))) {
            *why = "the filters are native and 3";
            return false;
        }
        arg = arg.substr(0, colon);
    }
    const size_t dot = arg.find('.');
    out->stream = std::string(arg.substr(0, dot));
    out->format = dot == std::string_view::npos ? "" : std::string(arg.substr(dot + 1));
    if (out->stream.empty() || out->format.size() > 2) {
        *why = "selector is STREAM[.FORMAT][:native|:3]";
        return false;
    }
    for (char c : arg)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) > '~') {
            *why = "selector is printable ASCII";
            return false;
        }
    return true;
}

namespace {

// A lone letter is taken as the subformat, as older selectors wrote the
// record type (".D"); the format is then the one the connection gets.
bool format_matches(const Selector& s, char format, char type) {
    const bool legacy = s.format.size() == 1 && (s.format[0] < '0' || s.format[0] > '9');
    const std::string code{format, type};
    return legacy ? glob_match(s.format, code.substr(1)) : glob_match(s.format + "*", code);
}

}  // namespace

int selector_format(const Selector& s) {
    if (s.version != 4 || s.negate) return 0;
    const bool two = format_matches(s, '2', 'D'), three = format_matches(s, '3', 'D');
    if (s.to3 || (three && !two)) return 3;
    return two && !three ? 2 : 0;
}

bool selector_matches(const Selector& s, const RecordInfo& r) {
    if (s.version == 4)
        return glob_match(s.stream, r.stream_id) && format_matches(s, r.format, r.type);
    if (s.type != 0 && s.type != r.type) return false;
    std::string location = r.location, channel = r.channel;
    location.resize(2, ' ');
    channel.resize(3, ' ');
    for (int i = 0; i < 2; ++i) {
        const char p = s.location[static_cast<size_t>(i)];
        if (p != '?' && !(p == '-' && location[i] == ' ') && lower(p) != lower(location[i]))
            return false;
    }
    for (int i = 0; i < 3; ++i) {
        const char p = s.channel[static_cast<size_t>(i)];
        if (p != '?' && lower(p) != lower(channel[i])) return false;
    }
    return true;
}

bool selected(const std::vector<Selector>& selectors, const RecordInfo& r) {
    bool any_positive = false, positive_match = false;
    for (const Selector& s : selectors) {
        if (s.negate) {
            if (selector_matches(s, r)) return false;
        } else {
            any_positive = true;
            positive_match = positive_match || selector_matches(s, r);
        }
    }
    return !any_positive || positive_match;
}

std::string v3_packet(uint64_t sequence, const uint8_t* record) {
    std::string p = "SL" + hex6(sequence);
    p.append(reinterpret_cast<const char*>(record), kRecordBytes);
    return p;
}

std::string v4_packet(uint64_t sequence, std::string_view station_id, const uint8_t* record,
                      size_t length, char format) {
    std::string p = "SE";
    p += format;
    p += 'D';
    put_le(p, length, 4);
    put_le(p, sequence, 8);
    const size_t id_length = station_id.size() > 255 ? 255 : station_id.size();
    p += static_cast<char>(id_length);
    p.append(station_id.substr(0, id_length));
    p.append(reinterpret_cast<const char*>(record), length);
    return p;
}

std::string v4_json_packet(char subformat, std::string_view json) {
    std::string p = "SEJ";
    p += subformat;
    put_le(p, json.size(), 4);
    put_le(p, 0, 8);
    p += '\0';
    p.append(json);
    return p;
}

std::string v4_info_json(const InfoSource& s, std::string_view item,
                         std::string_view station_pattern, std::string_view stream_pattern) {
    using Json = nlohmann::ordered_json;
    Json j = {{"software", s.software}, {"organization", s.organization}};
    auto upper = [](std::string_view v) {
        std::string u(v);
        for (char& c : u)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return u;
    };
    const std::string what = upper(item);
    auto add_formats = [&j, &s] {
        j["format"] = {
            {"2", {{"mimetype", "application/vnd.fdsn.mseed"}, {"subformat", {{"D", "data"}}}}}};
        if (s.has3)
            j["format"]["3"] = {{"mimetype", "application/vnd.fdsn.mseed3"},
                                {"subformat", {{"D", "data"}}}};
        j["format"]["J"] = {{"mimetype", "application/json"},
                            {"subformat", {{"I", "seedlink-info"}, {"E", "seedlink-error"}}}};
        j["filter"] = {{"native", "records as stored"}};
        if (s.has3) j["filter"]["3"] = "miniSEED 3, one record per block";
    };
    if (what == "ID") return json_text(j);
    if (what == "FORMATS") {
        add_formats();
        return json_text(j);
    }
    if (what == "CAPABILITIES") {
        j["capability"] = {"SLPROTO:3.1", "SLPROTO:4.0", "TIME", "SEQWILDCARD"};
        return json_text(j);
    }
    if (what == "STATIONS" || what == "STREAMS") {
        const std::string sp = station_pattern.empty() ? "*" : std::string(station_pattern);
        const size_t dot = stream_pattern.find('.');
        const std::string tp =
            stream_pattern.empty() ? "*" : std::string(stream_pattern.substr(0, dot));
        const std::string fp =
            dot == std::string_view::npos ? "*" : std::string(stream_pattern.substr(dot + 1)) + "*";
        add_formats();
        Json stations = Json::array();
        for (const auto& [id, streams] : by_station(s)) {
            if (!glob_match(sp, id)) continue;
            const bool three = s.has3 && s.format == '3';
            Json station = {{"id", id},
                            {"description", s.organization},
                            {"start_seq", three ? s.oldest3 : s.oldest},
                            {"end_seq", three ? s.next3 : s.next},
                            {"backfill", 0}};
            // Each format has its own numbers.
            if (s.has3)
                station["format_seq"] = {{"2", {{"start_seq", s.oldest}, {"end_seq", s.next}}},
                                         {"3", {{"start_seq", s.oldest3}, {"end_seq", s.next3}}}};
            if (what == "STREAMS") {
                Json list = Json::array();
                for (const StreamSummary* st : streams) {
                    if (!glob_match(tp, st->stream_id) ||
                        !glob_match(fp, std::string{st->format, 'D'}))
                        continue;
                    list.push_back({{"id", st->stream_id},
                                    {"format", std::string(1, st->format)},
                                    {"subformat", "D"},
                                    {"origin", "native"},
                                    {"start_time", format_v4_time(st->start)},
                                    {"end_time", format_v4_time(st->end)}});
                }
                station["stream"] = std::move(list);
            }
            stations.push_back(std::move(station));
        }
        j["station"] = std::move(stations);
        return json_text(j);
    }
    if (what == "CONNECTIONS") {
        Json clients = Json::array();
        for (const ConnectionSummary& c : s.connections)
            clients.push_back({{"address", c.address},
                               {"protocol", c.protocol},
                               {"useragent", c.useragent},
                               {"selectors", c.selectors},
                               {"sequence", c.sequence},
                               {"packets", c.packets},
                               {"connected", format_v4_time(c.connected_at)}});
        j["connections"] = {{"client", std::move(clients)}};
        return json_text(j);
    }
    j["error"] = {{"code", "ARGUMENTS"},
                  {"message", "no INFO item " + std::string(item.substr(0, 32))}};
    return json_text(j);
}

std::vector<std::string> v3_info_packets(const InfoSource& s, std::string_view level_text,
                                         double now) {
    std::string level(level_text);
    for (char& c : level)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    static const char* const levels[] = {"ID",   "CAPABILITIES", "STATIONS", "STREAMS",
                                         "GAPS", "CONNECTIONS",  "ALL"};
    bool known = false;
    for (const char* l : levels) known = known || level == l;
    if (!known) return {};
    const bool all = level == "ALL";
    std::string x = "<?xml version=\"1.0\"?>\n<seedlink software=\"" + xml_escape(s.software) +
                    "\" organization=\"" + xml_escape(s.organization) + "\">\n";
    if (level == "CAPABILITIES" || all)
        for (const char* cap :
             {"dialup", "multistation", "window-extraction", "info:id", "info:capabilities",
              "info:stations", "info:streams", "info:connections"})
            x += std::string(" <capability name=\"") + cap + "\"/>\n";
    const bool stations = level == "STATIONS" || level == "STREAMS" || level == "GAPS" ||
                          level == "CONNECTIONS" || all;
    if (stations) {
        for (const auto& [id, streams] : by_station(s)) {
            const size_t cut = id.find('_');
            x += " <station name=\"" + xml_escape(id.substr(cut + 1)) + "\" network=\"" +
                 xml_escape(id.substr(0, cut)) + "\" description=\"" + xml_escape(s.organization) +
                 "\" begin_seq=\"" + hex6(s.oldest) + "\" end_seq=\"" + hex6(s.next) +
                 "\" stream_check=\"enabled\"";
            std::string inner;
            if (level == "STREAMS" || level == "GAPS" || all)
                for (const StreamSummary* st : streams)
                    if (st->format == '2')  // 3.1 clients know no other
                        inner += "  <stream location=\"" + xml_escape(st->location) +
                                 "\" seedname=\"" + xml_escape(st->channel) +
                                 "\" type=\"D\" begin_time=\"" + format_v3_time(st->start) +
                                 "\" end_time=\"" + format_v3_time(st->end) +
                                 "\" begin_recno=\"0\" end_recno=\"0\" gap_check=\"disabled\" "
                                 "gap_treshold=\"0\"/>\n";
            if (level == "CONNECTIONS" || all)
                for (const ConnectionSummary& c : s.connections) {
                    const size_t colon = c.address.rfind(':');
                    inner +=
                        "  <connection host=\"" + xml_escape(c.address.substr(0, colon)) +
                        "\" port=\"" +
                        xml_escape(colon == std::string::npos ? "" : c.address.substr(colon + 1)) +
                        "\" ctime=\"" + format_v3_time(c.connected_at) + "\" begin_seq=\"" +
                        hex6(s.oldest) + "\" current_seq=\"" + hex6(c.sequence) +
                        "\" sequence_gaps=\"0\" txcount=\"" + std::to_string(c.packets) +
                        "\" totBytes=\"" + std::to_string(c.packets * 520) +
                        "\" begin_seq_valid=\"yes\" realtime=\"yes\" end_of_data=\"no\"/>\n";
                }
            x += inner.empty() ? "/>\n" : ">\n" + inner + " </station>\n";
        }
    }
    x += "</seedlink>\n";
    constexpr size_t kChunk = kRecordBytes - 56;
    std::vector<std::string> packets;
    for (size_t at = 0; at < x.size(); at += kChunk)
        packets.push_back(
            info_record(std::string_view(x).substr(at, kChunk), at + kChunk >= x.size(), now));
    return packets;
}

}  // namespace seedlink
