#include "fdsn/fdsn_request.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "common/wildcard.h"

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leap(int64_t y) { return y % 400 == 0 || (y % 4 == 0 && y % 100 != 0); }

int month_length(int64_t y, int m) {
    static const int kLength[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kLength[m - 1];
}

// Exactly `n` digits at text[*at]; moves *at past them.
bool digits(std::string_view text, size_t* at, int n, int* out) {
    if (*at + static_cast<size_t>(n) > text.size()) return false;
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const char c = text[*at + static_cast<size_t>(i)];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *at += static_cast<size_t>(n);
    *out = v;
    return true;
}

bool expect(std::string_view text, size_t* at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    ++*at;
    return true;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool glob(std::string_view pattern, std::string_view code) {
    return wildcard_match(pattern, code, false);
}

enum Field { kNet, kSta, kLoc, kCha };

bool parse_codes(std::string_view text, Field field, CodeFilter* out, std::string* error) {
    static const char* const kNames[] = {"network", "station", "location", "channel"};
    out->patterns.clear();
    if (text.empty()) {
        if (field == kLoc) out->patterns.push_back("");  // blank location
        return true;
    }
    size_t at = 0;
    for (;;) {
        const size_t comma = text.find(',', at);
        const std::string_view item =
            text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
        if (out->patterns.size() >= kMaxCodeItems) {
            *error = std::string("too many ") + kNames[field] + " codes (at most " +
                     std::to_string(kMaxCodeItems) + ")";
            return false;
        }
        if (item.size() > kMaxCodeItemLength) {
            *error = std::string(kNames[field]) + " code too long: at most " +
                     std::to_string(kMaxCodeItemLength) + " characters";
            return false;
        }
        if (field == kLoc && (item == "--" || item.empty())) {
            out->patterns.push_back("");
        } else {
            if (item.empty()) {
                *error = std::string("empty ") + kNames[field] + " code in a list";
                return false;
            }
            for (char c : item) {
                const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '*' || c == '?';
                if (!ok) {
                    *error = std::string(kNames[field]) +
                             " codes hold letters, digits, '*' and '?' only";
                    return false;
                }
            }
            std::string pattern = upper(item);
            if (pattern == "*") {  // matches everything: the whole list does
                out->patterns.clear();
                return true;
            }
            out->patterns.push_back(std::move(pattern));
        }
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    return true;
}

struct ParamSpec {
    const char* name;  // canonical
    const char* alias;
    bool dataselect, availability, station;
};

// Accepted parameters and the services that take them.
constexpr ParamSpec kParams[] = {
    {"network", "net", true, true, true},
    {"station", "sta", true, true, true},
    {"location", "loc", true, true, true},
    {"channel", "cha", true, true, true},
    {"starttime", "start", true, true, true},
    {"endtime", "end", true, true, true},
    {"format", nullptr, true, true, true},
    {"nodata", nullptr, true, true, true},
    {"quality", nullptr, true, true, false},
    {"minimumlength", nullptr, true, false, false},
    {"longestonly", nullptr, true, false, false},
    {"merge", nullptr, false, true, false},
    {"mergegaps", nullptr, false, true, false},
    {"orderby", nullptr, false, true, false},
    {"limit", nullptr, false, true, false},
    {"show", nullptr, false, true, false},
    {"includerestricted", nullptr, false, true, true},
    {"level", nullptr, false, false, true},
    {"startbefore", nullptr, false, false, true},
    {"startafter", nullptr, false, false, true},
    {"endbefore", nullptr, false, false, true},
    {"endafter", nullptr, false, false, true},
    {"minlatitude", "minlat", false, false, true},
    {"maxlatitude", "maxlat", false, false, true},
    {"minlongitude", "minlon", false, false, true},
    {"maxlongitude", "maxlon", false, false, true},
    {"latitude", "lat", false, false, true},
    {"longitude", "lon", false, false, true},
    {"minradius", nullptr, false, false, true},
    {"maxradius", nullptr, false, false, true},
    {"includeavailability", nullptr, false, false, true},
    {"updatedafter", nullptr, false, false, true},
    {"matchtimeseries", nullptr, false, false, true},
};

const ParamSpec* find_param(const std::string& name, FdsnService service) {
    for (const ParamSpec& p : kParams) {
        if (name != p.name && (p.alias == nullptr || name != p.alias)) continue;
        const bool taken = service == FdsnService::kDataselect     ? p.dataselect
                           : service == FdsnService::kAvailability ? p.availability
                                                                   : p.station;
        return taken ? &p : nullptr;
    }
    return nullptr;
}

bool parse_number(const std::string& text, double lo, double hi, double* out) {
    if (text.empty() || text.size() > 32) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool one_of(const std::string& value, std::initializer_list<const char*> choices) {
    for (const char* c : choices)
        if (value == c) return true;
    return false;
}

// Checks an option's value; the codes and times of a selection are
// checked where they are parsed.
bool check_option(FdsnService service, const std::string& name, std::string* value,
                  std::string* error) {
    double number = 0;
    const std::string v = lower(*value);
    auto bad = [&](const char* what) {
        *error = "bad value for " + name + ": " + what;
        return false;
    };
    if (name == "format") {
        if (service == FdsnService::kDataselect && !one_of(v, {"miniseed", "mseed", "miniseed3"}))
            return bad("only miniseed and miniseed3 are served");
        if (service == FdsnService::kAvailability && !one_of(v, {"text", "geocsv", "json"}))
            return bad("text, geocsv or json");
        if (service == FdsnService::kStation && !one_of(v, {"xml", "text"}))
            return bad("xml or text");
        *value = v;
    } else if (name == "nodata") {
        if (v != "204" && v != "404") return bad("204 or 404");
    } else if (name == "quality") {
        if (!one_of(upper(v), {"D", "R", "Q", "M", "B", "*"})) return bad("D, R, Q, M or B");
        *value = upper(v);
    } else if (name == "minimumlength" || name == "mergegaps" || name == "minradius" ||
               name == "maxradius") {
        if (!parse_number(v, 0, 1e10, &number)) return bad("a number of at least 0");
    } else if (name == "minlatitude" || name == "maxlatitude" || name == "latitude") {
        if (!parse_number(v, -90, 90, &number)) return bad("a latitude from -90 to 90");
    } else if (name == "minlongitude" || name == "maxlongitude" || name == "longitude") {
        if (!parse_number(v, -180, 180, &number)) return bad("a longitude from -180 to 180");
    } else if (name == "longestonly" || name == "includerestricted" ||
               name == "includeavailability" || name == "matchtimeseries") {
        if (v != "true" && v != "false") return bad("true or false");
        *value = v;
    } else if (name == "limit") {
        if (!parse_number(v, 1, 1e9, &number) || number != std::floor(number))
            return bad("a whole number of at least 1");
    } else if (name == "merge") {
        size_t at = 0;
        for (;;) {
            const size_t comma = v.find(',', at);
            const std::string item = v.substr(at, comma == std::string::npos ? comma : comma - at);
            if (!one_of(item, {"quality", "samplerate", "overlap"}))
                return bad("a list of quality, samplerate and overlap");
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        *value = v;
    } else if (name == "orderby") {
        if (!one_of(v, {"nslc_time_quality_samplerate", "latestupdate", "latestupdate_desc",
                        "timespancount", "timespancount_desc"}))
            return bad("nslc_time_quality_samplerate, latestupdate[_desc] or timespancount[_desc]");
        *value = v;
    } else if (name == "show") {
        if (v != "latestupdate") return bad("latestupdate");
    } else if (name == "level") {
        if (!one_of(v, {"network", "station", "channel", "response"}))
            return bad("network, station, channel or response");
        *value = v;
    } else if (name == "startbefore" || name == "startafter" || name == "endbefore" ||
               name == "endafter" || name == "updatedafter") {
        FdsnTime t = 0;
        if (!parse_fdsn_time(*value, &t)) return bad("a time like 2024-01-31T12:00:00");
    }
    return true;
}

// Fills a selection from its six fields; false with the reason.
bool parse_selection(const std::string* codes[4], const std::string* start, const std::string* end,
                     Selection* s, std::string* error) {
    const Field fields[4] = {kNet, kSta, kLoc, kCha};
    for (int i = 0; i < 4; ++i) {
        CodeFilter* f = i == 0 ? &s->net : i == 1 ? &s->sta : i == 2 ? &s->loc : &s->cha;
        if (codes[i] != nullptr && !parse_codes(*codes[i], fields[i], f, error)) return false;
    }
    // In POST lines "*" leaves a time open.
    if (start != nullptr && *start == "*") start = nullptr;
    if (end != nullptr && *end == "*") end = nullptr;
    if (start != nullptr && !parse_fdsn_time(*start, &s->start)) {
        *error = "bad start time '" + start->substr(0, 64) + "': use 2024-01-31T12:00:00";
        return false;
    }
    if (end != nullptr && !parse_fdsn_time(*end, &s->end)) {
        *error = "bad end time '" + end->substr(0, 64) + "': use 2024-01-31T12:00:00";
        return false;
    }
    if (s->start > s->end) {
        *error = "start time after end time";
        return false;
    }
    return true;
}

bool take_option(FdsnService service, const std::string& raw_name, std::string value,
                 FdsnRequest* out, std::string* error, std::string* canonical) {
    const std::string name = lower(raw_name);
    const ParamSpec* spec = find_param(name, service);
    if (spec == nullptr) {
        *error = "unknown parameter: " + raw_name.substr(0, 64);
        return false;
    }
    if (value.size() > kMaxValueLength) {
        *error = "value of " + name + " too long";
        return false;
    }
    *canonical = spec->name;
    if (out->options.count(*canonical) != 0) {
        *error = "parameter given twice: " + *canonical;
        return false;
    }
    if (!check_option(service, *canonical, &value, error)) return false;
    if (*canonical == "nodata") out->nodata = value == "404" ? 404 : 204;
    out->options[*canonical] = value;
    return true;
}

bool is_selection_field(const std::string& name) {
    return name == "network" || name == "station" || name == "location" || name == "channel" ||
           name == "starttime" || name == "endtime";
}

}  // namespace

std::vector<std::string> fdsn_parameter_names(FdsnService service) {
    std::vector<std::string> names;
    for (const ParamSpec& p : kParams)
        if (find_param(p.name, service) != nullptr) names.push_back(p.name);
    return names;
}

bool CodeFilter::matches(std::string_view code) const {
    if (patterns.empty()) return true;
    const std::string c = upper(code);
    for (const std::string& p : patterns)
        if (glob(p, c)) return true;
    return false;
}

const std::string* FdsnRequest::option(const char* name) const {
    auto it = options.find(name);
    return it == options.end() ? nullptr : &it->second;
}

bool parse_fdsn_time(std::string_view text, FdsnTime* out) {
    size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, &at, 4, &year) || !expect(text, &at, '-') || year < 1) return false;
    int first = 0;
    size_t mark = at;
    if (digits(text, &at, 3, &first) && (at == text.size() || text[at] == 'T')) {
        // Ordinal date: YYYY-DDD.
        if (first < 1 || first > (leap(year) ? 366 : 365)) return false;
        month = 1;
        day = first;
    } else {
        at = mark;
        if (!digits(text, &at, 2, &month) || !expect(text, &at, '-') || !digits(text, &at, 2, &day))
            return false;
        if (month < 1 || month > 12 || day < 1 || day > month_length(year, month)) return false;
    }
    int64_t micros = 0;
    if (at < text.size() && text[at] == 'T') {
        ++at;
        if (!digits(text, &at, 2, &hour) || !expect(text, &at, ':') ||
            !digits(text, &at, 2, &minute))
            return false;
        if (at < text.size() && text[at] == ':' && (++at, !digits(text, &at, 2, &second)))
            return false;
        if (hour > 23 || minute > 59 || second > 59) return false;
        if (at < text.size() && text[at] == '.') {
            ++at;
            int n = 0;
            int64_t scale = 100000;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
                if (++n > 9) return false;
                if (n <= 6) micros += (text[at] - '0') * scale;
                scale /= 10;
                ++at;
            }
            if (n == 0) return false;
        }
    }
    if (at < text.size() && text[at] == 'Z') ++at;
    if (at != text.size()) return false;
    const int64_t days = days_from_civil(year, month, 1) + (day - 1);
    *out = ((days * 24 + hour) * 60 + minute) * 60 * 1000000 + second * 1000000LL + micros;
    return true;
}

std::string format_fdsn_time(FdsnTime t, int digits_shown) {
    int64_t seconds = t / 1000000;
    int64_t micros = t % 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    // Civil date from days since 1970 (inverse of days_from_civil).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2);
    char text[64];
    if (digits_shown == 3) {
        std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                      (long long)y, (long long)m, (long long)d, (long long)(rest / 3600),
                      (long long)(rest / 60 % 60), (long long)(rest % 60),
                      (long long)(micros / 1000));
    } else {
        std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%06lldZ",
                      (long long)y, (long long)m, (long long)d, (long long)(rest / 3600),
                      (long long)(rest / 60 % 60), (long long)(rest % 60), (long long)micros);
    }
    return text;
}

bool parse_fdsn_get(FdsnService service,
                    const std::vector<std::pair<std::string, std::string>>& params,
                    FdsnRequest* out, std::string* error) {
    *out = FdsnRequest{};
    for (const auto& [name, value] : params) {
        if (name.empty()) continue;  // "a=b&" leaves an empty pair
        std::string canonical;
        if (!take_option(service, name, value, out, error, &canonical)) return false;
    }
    const std::string* codes[4] = {out->option("network"), out->option("station"),
                                   out->option("location"), out->option("channel")};
    Selection s;
    if (!parse_selection(codes, out->option("starttime"), out->option("endtime"), &s, error))
        return false;
    out->selections.push_back(std::move(s));
    return true;
}

bool parse_fdsn_post(FdsnService service, std::string_view body, FdsnRequest* out,
                     std::string* error) {
    *out = FdsnRequest{};
    size_t at = 0;
    int line_number = 0;
    while (at < body.size()) {
        size_t nl = body.find('\n', at);
        std::string_view line = body.substr(at, nl == std::string_view::npos ? nl : nl - at);
        at = nl == std::string_view::npos ? body.size() : nl + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        line = line.substr(first);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            if (!out->selections.empty()) {
                *error = "line " + std::to_string(line_number) +
                         ": parameters come before the selections";
                return false;
            }
            std::string name(line.substr(0, eq));
            std::string value(line.substr(eq + 1));
            while (!name.empty() && name.back() == ' ') name.pop_back();
            const size_t v0 = value.find_first_not_of(' ');
            value = v0 == std::string::npos ? std::string() : value.substr(v0);
            std::string canonical;
            if (!take_option(service, name, value, out, error, &canonical)) return false;
            if (is_selection_field(canonical)) {
                *error = "line " + std::to_string(line_number) + ": " + canonical +
                         " belongs in a selection line";
                return false;
            }
            continue;
        }
        std::vector<std::string> f;
        size_t p = 0;
        while (p < line.size() && f.size() < 7) {
            const size_t q = line.find_first_of(" \t", p);
            f.emplace_back(line.substr(p, q == std::string_view::npos ? q : q - p));
            p = q == std::string_view::npos ? line.size() : line.find_first_not_of(" \t", q);
            if (p == std::string_view::npos) p = line.size();
        }
        if (f.size() != 6) {
            *error = "line " + std::to_string(line_number) +
                     ": a selection is NET STA LOC CHA START END";
            return false;
        }
        if (out->selections.size() >= kMaxSelections) {
            *error = "too many selection lines (at most " + std::to_string(kMaxSelections) + ")";
            return false;
        }
        const std::string* codes[4] = {&f[0], &f[1], &f[2], &f[3]};
        Selection s;
        if (!parse_selection(codes, &f[4], &f[5], &s, error)) {
            *error = "line " + std::to_string(line_number) + ": " + *error;
            return false;
        }
        out->selections.push_back(std::move(s));
    }
    if (out->selections.empty()) {
        *error = "no selection lines in the request body";
        return false;
    }
    return true;
}
