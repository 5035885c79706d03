#include "fdsn/fdsn_service.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "common/app_state.h"
#include "common/json_text.h"
#include "common/xml_text.h"
#include "link/channel_table.h"

namespace {

constexpr int64_t kMicros = 1000000;
constexpr const char* kVersion = "1.1.0";
constexpr const char* kStationVersion = "1.1.0";
constexpr const char* kAvailabilityVersion = "1.0.0";

FdsnTime now_micros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

const char* reason_of(int status) {
    switch (status) {
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 413:
            return "Request Entity Too Large";
        case 415:
            return "Unsupported Media Type";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

const char* service_name(FdsnService s) {
    return s == FdsnService::kDataselect     ? "dataselect"
           : s == FdsnService::kAvailability ? "availability"
                                             : "station";
}

FdsnResponse no_data(const FdsnRequest& request, const std::string& url) {
    if (request.nodata == 404) return fdsn_error(404, "No data matches the selection", url);
    FdsnResponse r;
    r.status = 204;
    return r;
}

// Seconds that cover [start, end] in microseconds, clamped to what the
// index's 64-bit columns and our arithmetic take.
int64_t seconds_floor(FdsnTime t) {
    if (t == kFdsnTimeMin) return -(1LL << 40);
    return t / kMicros - (t % kMicros < 0 ? 1 : 0);
}
int64_t seconds_ceil(FdsnTime t) {
    if (t == kFdsnTimeMax) return 1LL << 40;
    return -seconds_floor(-t);
}

// The request's overall window, to narrow the index query.
void overall_window(const FdsnRequest& request, int64_t* from, int64_t* to) {
    FdsnTime lo = kFdsnTimeMax, hi = kFdsnTimeMin;
    for (const Selection& s : request.selections) {
        lo = std::min(lo, s.start);
        hi = std::max(hi, s.end);
    }
    *from = seconds_floor(lo);
    *to = seconds_ceil(hi);
}

// --- dataselect ---------------------------------------------------------

// The index's rows for the request's whole window, or the answer when the
// index cannot give them.
std::optional<FdsnResponse> read_rows(const StationContext& ctx, const FdsnRequest& request,
                                      const std::string& url, std::vector<IndexRow>* rows) {
    int64_t from = 0, to = 0;
    overall_window(request, &from, &to);
    const IndexResult got = index_rows(ctx.config, ctx.station_name, from, to, rows);
    if (got == IndexResult::kUnavailable)
        return fdsn_error(503, "The file index cannot be read just now", url);
    if (got == IndexResult::kTooMany)
        return fdsn_error(413, "The selection spans too many ring files; ask for less", url);
    return std::nullopt;
}

FdsnResponse dataselect(const StationContext& ctx, const FdsnRequest& request,
                        const std::string& url) {
    for (const Selection& s : request.selections) {
        const bool open = s.start == kFdsnTimeMin || s.end == kFdsnTimeMax;
        if (open || (s.end - s.start) / kMicros > kMaxWindowSeconds)
            return fdsn_error(413,
                              "The time window must be given and span at most " +
                                  std::to_string(kMaxWindowSeconds / 86400) + " days",
                              url);
    }
    std::vector<IndexRow> rows;
    if (std::optional<FdsnResponse> refused = read_rows(ctx, request, url, &rows)) return *refused;
    DataselectPlan plan;
    const StationCodes codes = station_codes(ctx.config.network, ctx.station_name);
    if (plan_dataselect(request, rows, ctx.config.data_dir, codes, kMaxRequestSamples, &plan) ==
        PlanResult::kTooLarge)
        return fdsn_error(413,
                          "The selection holds more than " + std::to_string(kMaxRequestSamples) +
                              " samples; ask for fewer channels or a shorter window",
                          url);
    if (plan.runs.empty()) return no_data(request, url);
    const std::string* format = request.option("format");
    const bool mseed3 = format != nullptr && *format == "miniseed3";
    FdsnResponse r;
    r.content_type = mseed3 ? "application/vnd.fdsn.mseed3" : "application/vnd.fdsn.mseed";
    r.stream = std::make_shared<RecordStream>(
        std::move(plan), ctx.config.data_dir, codes,
        mseed3 ? RecordFormat::kMiniseed3 : RecordFormat::kMiniseed2);
    return r;
}

// --- availability -------------------------------------------------------

struct Span {
    FdsnTime first = 0;  // time of the first sample
    FdsnTime last = 0;   // time of the last sample
    int rate = 0;
};

struct Source {
    std::string channel;
    int rate = 0;
    std::vector<Span> spans;
    FdsnTime updated = 0;
};

FdsnTime sample_time(int64_t tbegin, int64_t index, int rate) {
    return tbegin * kMicros + static_cast<int64_t>(static_cast<__int128>(index) * kMicros / rate);
}

// Spans of matching files, clipped to each selection's window, merged when
// the next begins within one sample (plus mergegaps) of the last.
std::vector<Source> availability_sources(const FdsnRequest& request,
                                         const std::vector<IndexRow>& rows,
                                         const StationCodes& codes) {
    double gaps = 0;
    if (const std::string* g = request.option("mergegaps")) gaps = std::atof(g->c_str());
    const std::string* quality = request.option("quality");
    std::vector<Source> sources;
    if (quality != nullptr && *quality != "D" && *quality != "M" && *quality != "B" &&
        *quality != "*")
        return sources;
    std::map<std::pair<std::string, int>, Source> by_channel;
    std::vector<std::string> channels;  // codes once per row
    channels.reserve(rows.size());
    for (const IndexRow& row : rows) channels.push_back(channel_code(row.channel));
    for (const Selection& s : request.selections) {
        if (!s.net.matches(codes.network) || !s.sta.matches(codes.station) || !s.loc.matches(""))
            continue;
        for (size_t k = 0; k < rows.size(); ++k) {
            const IndexRow& row = rows[k];
            const std::string& channel = channels[k];
            if (row.sps <= 0 || row.tqty <= 0 || !s.cha.matches(channel)) continue;
            const int64_t n = row.tqty * row.sps;
            const FdsnTime t0 = row.tbegin * kMicros;
            int64_t first = 0, last = n - 1;
            if (s.start != kFdsnTimeMin && s.start > t0)
                first = static_cast<int64_t>(
                    (static_cast<__int128>(s.start - t0) * row.sps + kMicros - 1) / kMicros);
            if (s.end != kFdsnTimeMax)
                last = std::min<int64_t>(
                    last, s.end < t0 ? -1
                                     : static_cast<int64_t>(static_cast<__int128>(s.end - t0) *
                                                            row.sps / kMicros));
            if (first > last) continue;
            Source& src = by_channel[{channel, row.sps}];
            src.channel = channel;
            src.rate = row.sps;
            src.spans.push_back(Span{sample_time(row.tbegin, first, row.sps),
                                     sample_time(row.tbegin, last, row.sps), row.sps});
            src.updated = std::max(src.updated, sample_time(row.tbegin, n, row.sps));
        }
    }
    for (auto& [key, src] : by_channel) {
        std::sort(src.spans.begin(), src.spans.end(),
                  [](const Span& a, const Span& b) { return a.first < b.first; });
        std::vector<Span> merged;
        const FdsnTime tolerance = kMicros / src.rate + static_cast<FdsnTime>(gaps * kMicros);
        for (const Span& span : src.spans) {
            if (!merged.empty() && span.first <= merged.back().last + tolerance) {
                merged.back().last = std::max(merged.back().last, span.last);
            } else {
                merged.push_back(span);
            }
        }
        src.spans.swap(merged);
        sources.push_back(std::move(src));
    }
    return sources;
}

std::string rate_text(int rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(rate));
    return text;
}

FdsnResponse availability(const StationContext& ctx, const FdsnRequest& request, bool extent,
                          const std::string& url) {
    std::vector<IndexRow> rows;
    if (std::optional<FdsnResponse> refused = read_rows(ctx, request, url, &rows)) return *refused;
    std::vector<Source> sources =
        availability_sources(request, rows, station_codes(ctx.config.network, ctx.station_name));
    if (sources.empty()) return no_data(request, url);

    const std::string* merge = request.option("merge");
    const bool no_quality = merge != nullptr && merge->find("quality") != std::string::npos;
    const bool no_rate = merge != nullptr && merge->find("samplerate") != std::string::npos;
    const std::string* show = request.option("show");
    const bool show_updated = extent || (show != nullptr && *show == "latestupdate");
    const std::string order = request.option("orderby") ? *request.option("orderby") : "";
    // One line per span (query) or per source (extent).
    struct Line {
        const Source* src;
        Span span;
        size_t count;
    };
    std::vector<Line> lines;
    for (const Source& src : sources) {
        if (extent) {
            lines.push_back(Line{&src,
                                 Span{src.spans.front().first, src.spans.back().last, src.rate},
                                 src.spans.size()});
        } else {
            for (const Span& span : src.spans) lines.push_back(Line{&src, span, 1});
        }
    }
    std::stable_sort(lines.begin(), lines.end(), [&](const Line& a, const Line& b) {
        if (order == "latestupdate") return a.src->updated < b.src->updated;
        if (order == "latestupdate_desc") return a.src->updated > b.src->updated;
        if (order == "timespancount") return a.count < b.count;
        if (order == "timespancount_desc") return a.count > b.count;
        if (a.src->channel != b.src->channel) return a.src->channel < b.src->channel;
        if (a.span.first != b.span.first) return a.span.first < b.span.first;
        return a.src->rate < b.src->rate;
    });
    if (const std::string* limit = request.option("limit")) {
        const size_t n = static_cast<size_t>(std::atoll(limit->c_str()));
        if (lines.size() > n) lines.resize(n);
    }
    const StationCodes codes = station_codes(ctx.config.network, ctx.station_name);
    const std::string* format = request.option("format");
    FdsnResponse r;
    if (format != nullptr && *format == "json") {
        r.content_type = "application/json";
        using Json = nlohmann::ordered_json;
        // Query: one datasource per source, its spans together; extent: one
        // per source with its earliest and latest.
        std::map<const Source*, std::vector<const Line*>> grouped;
        std::vector<const Source*> order_seen;
        for (const Line& line : lines) {
            if (grouped[line.src].empty()) order_seen.push_back(line.src);
            grouped[line.src].push_back(&line);
        }
        Json datasources = Json::array();
        for (const Source* src : order_seen) {
            Json d = {{"network", codes.network},
                      {"station", codes.station},
                      {"location", ""},
                      {"channel", src->channel}};
            if (!no_quality) d["quality"] = "D";
            if (!no_rate) d["samplerate"] = static_cast<double>(src->rate);
            if (extent) {
                const Line* line = grouped[src].front();
                d["earliest"] = format_fdsn_time(line->span.first);
                d["latest"] = format_fdsn_time(line->span.last);
                d["timespanCount"] = line->count;
                d["updated"] = format_fdsn_time(src->updated);
                d["restriction"] = "OPEN";
            } else {
                if (show_updated) d["updated"] = format_fdsn_time(src->updated);
                Json spans = Json::array();
                for (const Line* line : grouped[src])
                    spans.push_back(Json::array(
                        {format_fdsn_time(line->span.first), format_fdsn_time(line->span.last)}));
                d["timespans"] = std::move(spans);
            }
            datasources.push_back(std::move(d));
        }
        const Json doc = {{"created", format_fdsn_time(now_micros())},
                          {"version", 1.0},
                          {"datasources", std::move(datasources)}};
        r.body = json_text(doc) + "\n";
        return r;
    }
    const bool geocsv = format != nullptr && *format == "geocsv";
    const char sep = geocsv ? '|' : ' ';
    std::vector<std::string> names = {"Network", "Station", "Location", "Channel"};
    std::vector<std::string> units = {"unitless", "unitless", "unitless", "unitless"};
    std::vector<std::string> types = {"string", "string", "string", "string"};
    if (!no_quality)
        names.push_back("Quality"), units.push_back("unitless"), types.push_back("string");
    if (!no_rate) names.push_back("SampleRate"), units.push_back("hertz"), types.push_back("float");
    names.insert(names.end(), {"Earliest", "Latest"});
    units.insert(units.end(), {"ISO_8601", "ISO_8601"});
    types.insert(types.end(), {"datetime", "datetime"});
    if (show_updated)
        names.push_back("Updated"), units.push_back("ISO_8601"), types.push_back("datetime");
    if (extent) {
        names.insert(names.end(), {"TimeSpans", "Restriction"});
        units.insert(units.end(), {"unitless", "unitless"});
        types.insert(types.end(), {"integer", "string"});
    }
    auto joined = [&](const std::vector<std::string>& v) {
        std::string s;
        for (size_t i = 0; i < v.size(); ++i) s += (i ? std::string(1, sep) : "") + v[i];
        return s;
    };
    std::string out;
    if (geocsv) {
        r.content_type = "text/csv; charset=utf-8";
        out = "#dataset: GeoCSV 2.0\n#delimiter: |\n#field_unit: " + joined(units) +
              "\n#field_type: " + joined(types) + "\n" + joined(names) + "\n";
    } else {
        out = "#" + joined(names) + "\n";
    }
    for (const Line& line : lines) {
        std::vector<std::string> f = {codes.network, codes.station, geocsv ? "" : "--",
                                      line.src->channel};
        if (!no_quality) f.push_back("D");
        if (!no_rate) f.push_back(rate_text(line.src->rate));
        f.push_back(format_fdsn_time(line.span.first));
        f.push_back(format_fdsn_time(line.span.last));
        if (show_updated) f.push_back(format_fdsn_time(line.src->updated));
        if (extent) f.insert(f.end(), {std::to_string(line.count), "OPEN"});
        out += joined(f) + "\n";
    }
    r.body = std::move(out);
    return r;
}

// --- station ------------------------------------------------------------

struct StationChannel {
    std::string code;
    int rate = 0;
    FdsnTime start = kFdsnTimeMin;  // first sample in the ring; unknown when MIN
    FdsnTime end = kFdsnTimeMax;    // last sample; open while it is announced
    bool announced = false;
};

// The roster's channels and those the index still has files of.
std::vector<StationChannel> station_channels(const StationContext& ctx, bool* index_ok) {
    std::map<std::string, StationChannel> channels;
    std::vector<IndexRow> rows;
    *index_ok = index_rows(ctx.config, ctx.station_name, -(1LL << 40), 1LL << 40, &rows) ==
                IndexResult::kOk;
    for (const IndexRow& row : rows) {
        if (row.sps <= 0) continue;
        StationChannel& c = channels[channel_code(row.channel)];
        c.code = channel_code(row.channel);
        if (c.rate == 0) c.rate = row.sps;
        const FdsnTime first = row.tbegin * kMicros;
        const FdsnTime last = sample_time(row.tbegin, row.tqty * row.sps - 1, row.sps);
        c.start = c.start == kFdsnTimeMin ? first : std::min(c.start, first);
        c.end = c.end == kFdsnTimeMax ? last : std::max(c.end, last);
    }
    {
        const std::shared_ptr<const Roster> roster = current_roster();
        for (const RosterEntry& entry : roster->entries) {
            const std::string code =
                channel_code(std::string(entry.name, strnlen(entry.name, sizeof entry.name)));
            if (code.empty()) continue;
            StationChannel& c = channels[code];
            c.code = code;
            c.rate = entry.sample_rate >= 1 && entry.sample_rate < 1e6
                         ? static_cast<int>(entry.sample_rate)
                         : 0;
            c.announced = true;
        }
    }
    std::vector<StationChannel> out;
    for (auto& [code, c] : channels) {
        if (c.announced) c.end = kFdsnTimeMax;
        out.push_back(c);
    }
    return out;
}

// Where the station is, from [VELDRUM] LATITUDE, LONGITUDE, ELEVATION.
struct StationPlace {
    bool known = false;
    double latitude = 0, longitude = 0, elevation = 0;
};

StationPlace station_place(const Config& config) {
    StationPlace p;
    p.known = config.has_coordinates;
    p.latitude = config.latitude;
    p.longitude = config.longitude;
    p.elevation = config.elevation;
    return p;
}

bool time_option(const FdsnRequest& request, const char* name, FdsnTime* t) {
    const std::string* v = request.option(name);
    return v != nullptr && parse_fdsn_time(*v, t);
}

// Whether a channel passes the request's time and place constraints.
bool channel_wanted(const FdsnRequest& request, const Selection& s, const StationChannel& c,
                    const StationPlace& place) {
    if (!s.cha.matches(c.code)) return false;
    if (s.start != kFdsnTimeMin && c.end != kFdsnTimeMax && c.end < s.start) return false;
    if (s.end != kFdsnTimeMax && c.start != kFdsnTimeMin && c.start > s.end) return false;
    FdsnTime t = 0;
    if (time_option(request, "startbefore", &t) && !(c.start != kFdsnTimeMin && c.start < t))
        return false;
    if (time_option(request, "startafter", &t) && !(c.start != kFdsnTimeMin && c.start > t))
        return false;
    if (time_option(request, "endbefore", &t) && !(c.end != kFdsnTimeMax && c.end < t))
        return false;
    if (time_option(request, "endafter", &t) && !(c.end == kFdsnTimeMax || c.end > t)) return false;
    const char* box[4] = {"minlatitude", "maxlatitude", "minlongitude", "maxlongitude"};
    for (int i = 0; i < 4; ++i) {
        const std::string* v = request.option(box[i]);
        if (v == nullptr) continue;
        const double limit = std::atof(v->c_str());
        const double value = i < 2 ? place.latitude : place.longitude;
        if (!place.known || (i % 2 == 0 ? value < limit : value > limit)) return false;
    }
    if (request.option("latitude") || request.option("longitude") || request.option("minradius") ||
        request.option("maxradius")) {
        if (!place.known) return false;
        const double kRad = M_PI / 180;
        const double lat =
            request.option("latitude") ? std::atof(request.option("latitude")->c_str()) : 0;
        const double lon =
            request.option("longitude") ? std::atof(request.option("longitude")->c_str()) : 0;
        const double cosd = std::sin(lat * kRad) * std::sin(place.latitude * kRad) +
                            std::cos(lat * kRad) * std::cos(place.latitude * kRad) *
                                std::cos((lon - place.longitude) * kRad);
        const double degrees = std::acos(std::clamp(cosd, -1.0, 1.0)) / kRad;
        const double lo =
            request.option("minradius") ? std::atof(request.option("minradius")->c_str()) : 0;
        const double hi =
            request.option("maxradius") ? std::atof(request.option("maxradius")->c_str()) : 180;
        if (degrees < lo || degrees > hi) return false;
    }
    return true;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", v);
    return text;
}

std::string time_attributes(FdsnTime start, FdsnTime end) {
    std::string a;
    if (start != kFdsnTimeMin) a += " startDate=\"" + format_fdsn_time(start) + "\"";
    if (end != kFdsnTimeMax) a += " endDate=\"" + format_fdsn_time(end) + "\"";
    return a;
}

FdsnResponse station(const StationContext& ctx, const FdsnRequest& request,
                     const std::string& url) {
    const std::string level = request.option("level") ? *request.option("level") : "station";
    if (level == "response")
        return fdsn_error(
            400, "Instrument responses are not known to this server; use level=channel", url);
    bool index_ok = true;
    std::vector<StationChannel> all = station_channels(ctx, &index_ok);
    const StationCodes codes = station_codes(ctx.config.network, ctx.station_name);
    const StationPlace place = station_place(ctx.config);
    std::vector<StationChannel> chosen;
    for (const StationChannel& c : all) {
        bool wanted = false;
        for (const Selection& s : request.selections)
            wanted = wanted || (s.net.matches(codes.network) && s.sta.matches(codes.station) &&
                                s.loc.matches("") && channel_wanted(request, s, c, place));
        if (wanted) chosen.push_back(c);
    }
    if (chosen.empty()) {
        if (!index_ok) return fdsn_error(503, "The file index cannot be read just now", url);
        return no_data(request, url);
    }
    FdsnTime start = kFdsnTimeMax, end = kFdsnTimeMin;
    bool open = false;
    for (const StationChannel& c : chosen) {
        if (c.start != kFdsnTimeMin) start = std::min(start, c.start);
        if (c.end == kFdsnTimeMax)
            open = true;
        else
            end = std::max(end, c.end);
    }
    if (start == kFdsnTimeMax) start = kFdsnTimeMin;
    if (open || end == kFdsnTimeMin) end = kFdsnTimeMax;
    const std::string lat = number(place.latitude), lon = number(place.longitude),
                      elev = number(place.elevation);
    const std::string* format = request.option("format");
    FdsnResponse r;
    if (format != nullptr && *format == "text") {
        auto t = [](FdsnTime v, bool is_start) {
            if (v == (is_start ? kFdsnTimeMin : kFdsnTimeMax)) return std::string();
            return format_fdsn_time(v).substr(0, 19);
        };
        std::string out;
        if (level == "network") {
            out = "#Network|Description|StartTime|EndTime|TotalStations\n" + codes.network +
                  "|VelDrum station " + codes.station + "|" + t(start, true) + "|" + t(end, false) +
                  "|1\n";
        } else if (level == "station") {
            out = "#Network|Station|Latitude|Longitude|Elevation|SiteName|StartTime|EndTime\n" +
                  codes.network + "|" + codes.station + "|" + lat + "|" + lon + "|" + elev + "|" +
                  codes.station + "|" + t(start, true) + "|" + t(end, false) + "\n";
        } else {
            out =
                "#Network|Station|Location|Channel|Latitude|Longitude|Elevation|Depth|Azimuth|"
                "Dip|SensorDescription|Scale|ScaleFreq|ScaleUnits|SampleRate|StartTime|EndTime\n";
            for (const StationChannel& c : chosen)
                out += codes.network + "|" + codes.station + "||" + c.code + "|" + lat + "|" + lon +
                       "|" + elev + "|0||||||" + "|" + std::to_string(c.rate) + "|" +
                       t(c.start, true) + "|" + t(c.end, false) + "\n";
        }
        r.body = std::move(out);
        return r;
    }
    r.content_type = "application/xml";
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<FDSNStationXML xmlns=\"http://www.fdsn.org/xml/station/1\" schemaVersion=\"1.2\">\n"
        "<Source>VelDrum</Source>\n<Created>" +
        format_fdsn_time(now_micros()) + "</Created>\n<Network code=\"" +
        xml_escape(codes.network) + "\"" + time_attributes(start, end) +
        ">\n<Description>VelDrum station " + xml_escape(codes.station) +
        "</Description>\n<TotalNumberStations>1</TotalNumberStations>\n"
        "<SelectedNumberStations>1</SelectedNumberStations>\n";
    if (level != "network") {
        out += "<Station code=\"" + xml_escape(codes.station) + "\"" + time_attributes(start, end) +
               ">\n<Latitude>" + lat + "</Latitude>\n<Longitude>" + lon +
               "</Longitude>\n<Elevation>" + elev + "</Elevation>\n<Site><Name>" +
               xml_escape(codes.station) + "</Name></Site>\n<TotalNumberChannels>" +
               std::to_string(all.size()) + "</TotalNumberChannels>\n<SelectedNumberChannels>" +
               std::to_string(chosen.size()) + "</SelectedNumberChannels>\n";
        if (level == "channel") {
            for (const StationChannel& c : chosen)
                out += "<Channel code=\"" + xml_escape(c.code) + "\" locationCode=\"\"" +
                       time_attributes(c.start, c.end) + ">\n<Latitude>" + lat +
                       "</Latitude>\n<Longitude>" + lon + "</Longitude>\n<Elevation>" + elev +
                       "</Elevation>\n<Depth>0</Depth>\n<SampleRate>" + std::to_string(c.rate) +
                       "</SampleRate>\n</Channel>\n";
        }
        out += "</Station>\n";
    }
    out += "</Network>\n</FDSNStationXML>\n";
    r.body = std::move(out);
    return r;
}

// Clients such as ObsPy read which parameters a service takes from here.
std::string wadl(FdsnService service) {
    const std::string name = service_name(service);
    std::string params;
    for (const std::string& p : fdsn_parameter_names(service)) {
        const bool time = p.find("time") != std::string::npos ||
                          p.find("before") != std::string::npos ||
                          p.find("after") != std::string::npos;
        const bool number = p.find("itude") != std::string::npos ||
                            p.find("radius") != std::string::npos || p == "minimumlength" ||
                            p == "mergegaps" || p == "limit" || p == "nodata";
        params += "<param name=\"" + p + "\" style=\"query\" type=\"" +
                  (time     ? "xs:dateTime"
                   : number ? "xs:double"
                            : "xs:string") +
                  "\"/>\n";
    }
    std::string methods;
    for (const char* path : {"query", "extent"}) {
        if (std::string(path) == "extent" && service != FdsnService::kAvailability) continue;
        methods += "<resource path=\"" + std::string(path) +
                   "\">\n<method name=\"GET\"><request>\n" + params +
                   "</request></method>\n<method name=\"POST\"/>\n</resource>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<application xmlns=\"http://wadl.dev.java.net/2009/02\" "
           "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n<resources base=\"/fdsnws/" +
           name + "/1/\">\n" + methods +
           "<resource path=\"version\"><method name=\"GET\"/></resource>\n"
           "<resource path=\"application.wadl\"><method name=\"GET\"/></resource>\n"
           "</resources>\n</application>\n";
}

}  // namespace

FdsnResponse fdsn_error(int status, const std::string& detail, const std::string& url) {
    FdsnResponse r;
    r.status = status;
    r.body = "Error " + std::to_string(status) + ": " + reason_of(status) + "\n\n" + detail +
             "\n\nUsage details are available from the service's application.wadl\n\n"
             "Request:\n" +
             url.substr(0, 2048) + "\n\nRequest Submitted:\n" + format_fdsn_time(now_micros()) +
             "\n\nService version:\n" + kVersion + "\n";
    return r;
}

FdsnResponse fdsn_answer(const StationContext& ctx, const FdsnCall& call) {
    if (call.method == FdsnMethod::kVersion) {
        FdsnResponse r;
        r.body = call.service == FdsnService::kStation        ? kStationVersion
                 : call.service == FdsnService::kAvailability ? kAvailabilityVersion
                                                              : kVersion;
        r.body += "\n";
        return r;
    }
    if (call.method == FdsnMethod::kWadl) {
        FdsnResponse r;
        r.content_type = "application/xml";
        r.body = wadl(call.service);
        return r;
    }
    FdsnRequest request;
    std::string error;
    const bool parsed = call.post ? parse_fdsn_post(call.service, call.body, &request, &error)
                                  : parse_fdsn_get(call.service, call.params, &request, &error);
    if (!parsed) return fdsn_error(400, error, call.url);
    switch (call.service) {
        case FdsnService::kDataselect:
            return dataselect(ctx, request, call.url);
        case FdsnService::kAvailability:
            return availability(ctx, request, call.method == FdsnMethod::kExtent, call.url);
        case FdsnService::kStation:
            return station(ctx, request, call.url);
    }
    return fdsn_error(400, "unknown service", call.url);
}
