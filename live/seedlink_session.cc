#include "live/seedlink_session.h"

#include <algorithm>
#include <utility>

namespace seedlink {

namespace {

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        const size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

bool parse_unsigned(std::string_view s, int base, uint64_t* out) {
    if (s.empty() || s.size() > 20) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return false;
        if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

bool printable_word(std::string_view s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) > '~')
            return false;
    return true;
}

}  // namespace

std::string hello_software() {
    return "SeedLink v4.0 (VelDrum/1.0) :: SLPROTO:4.0 SLPROTO:3.1 CAP EXTREPLY NSWILDCARD BATCH "
           "WS:13";
}

Session::Session(std::string station_id, std::string organization)
    : station_id_(std::move(station_id)), organization_(std::move(organization)) {
    // Built, not assigned from a literal: GCC 12 at -O3 sees a false overlap
    // in the short assignment (-Wrestrict).
    uni_.pattern = std::string(1, '*');
    uni_.text = uni_.pattern;
}

void Session::ok(std::vector<std::string>& out) {
    if (!batch_) out.push_back("OK\r\n");
}

void Session::error(std::vector<std::string>& out, const char* code, const std::string& text) {
    if (batch_) return;
    if (version_ == 3 && !extended_replies_)
        out.push_back("ERROR\r\n");
    else
        out.push_back(std::string("ERROR ") + code + " " + text + "\r\n");
}

StationRequest* Session::current() {
    if (version_ == 3 && !multistation_) return &uni_;
    return requests_.empty() ? nullptr : &requests_.back();
}

const StationRequest* Session::request_for(std::string_view station_id) const {
    if (version_ == 3 && !multistation_) return &uni_;
    for (const StationRequest& r : requests_)
        if (r.accepted && glob_match(r.pattern, station_id)) return &r;
    return nullptr;
}

char Session::format() const {
    for (const StationRequest& r : requests_)
        for (const Selector& s : r.selectors)
            if (selector_format(s) == 3) return '3';
    return '2';
}

std::string Session::describe() const {
    auto one = [](const StationRequest& r) {
        std::string d = r.text;
        for (size_t i = 0; i < r.selectors.size(); ++i) d += (i ? " " : ": ") + r.selectors[i].text;
        return d;
    };
    if (version_ == 3 && !multistation_) return one(uni_);
    std::string all;
    for (const StationRequest& r : requests_)
        if (r.accepted) all += (all.empty() ? "" : "; ") + one(r);
    return all;
}

Effect Session::command(std::string_view line, std::vector<std::string>& out) {
    std::vector<std::string_view> args = split(line);
    if (args.empty()) return Effect::kNone;
    const std::string verb = upper(args[0]);
    args.erase(args.begin());
    if (verb == "BYE") return Effect::kClose;
    if (verb == "INFO") {
        info_item = args.empty() ? "" : upper(args[0].substr(0, 32));
        info_station = args.size() > 1 ? std::string(args[1].substr(0, 64)) : "";
        info_stream = args.size() > 2 ? std::string(args[2].substr(0, 64)) : "";
        return Effect::kInfo;
    }
    // Once data flows only INFO and BYE are taken; the rest is ignored, as
    // a reply would land between packets.
    if (transferring_) return Effect::kNone;
    if (verb == "HELLO") {
        out.push_back(hello_software() + "\r\n" + organization_ + "\r\n");
        return Effect::kNone;
    }
    if (verb == "SLPROTO") {
        if (args.size() != 1 || (args[0] != "4.0" && args[0] != "3.1" && args[0] != "3.0")) {
            error(out, "UNSUPPORTED", "protocol versions are 3.1 and 4.0");
        } else if (any_command_) {
            error(out, "UNEXPECTED", "SLPROTO only once, before other commands");
        } else {
            version_ = args[0] == "4.0" ? 4 : 3;
            any_command_ = true;  // the version is settled for the session
            ok(out);
        }
        return Effect::kNone;
    }
    any_command_ = true;
    if (verb == "USERAGENT") {
        useragent_.clear();
        for (std::string_view a : args) {
            if (!useragent_.empty()) useragent_ += ' ';
            useragent_ += a;
        }
        useragent_.resize(std::min<size_t>(useragent_.size(), 200));
        ok(out);
        return Effect::kNone;
    }
    if (verb == "CAPABILITIES" && version_ == 3) {
        for (std::string_view a : args)
            extended_replies_ = extended_replies_ || upper(a) == "EXTREPLY";
        ok(out);
        return Effect::kNone;
    }
    if (verb == "BATCH" && version_ == 3) {
        ok(out);
        batch_ = true;
        return Effect::kNone;
    }
    if (verb == "STATION") return station(args, out);
    if (verb == "SELECT") return select(args, out);
    if (verb == "DATA" || verb == "FETCH" || verb == "TIME") return data(verb, args, out);
    if (verb == "END") return end(false, out);
    if (verb == "ENDFETCH" && version_ == 4) return end(true, out);
    if (verb == "AUTH") {
        error(out, "UNSUPPORTED", "no authentication here");
        return Effect::kNone;
    }
    const bool was_batch = batch_;
    batch_ = false;  // an unknown command is always answered
    error(out, "UNSUPPORTED", "unknown command");
    batch_ = was_batch;
    return Effect::kNone;
}

Effect Session::station(const std::vector<std::string_view>& args, std::vector<std::string>& out) {
    const bool shape = version_ == 4 ? args.size() == 1 : args.size() == 1 || args.size() == 2;
    if (!shape || !printable_word(args[0]) || (args.size() == 2 && !printable_word(args[1]))) {
        error(out, "ARGUMENTS", version_ == 4 ? "STATION NET_STA" : "STATION STA [NET]");
        return Effect::kNone;
    }
    if (requests_.size() >= kMaxStationRequests) {
        error(out, "LIMIT", "too many STATION commands");
        return Effect::kNone;
    }
    StationRequest r;
    if (version_ == 4) {
        r.pattern = std::string(args[0]);
        r.text = r.pattern;
    } else {
        r.pattern = (args.size() == 2 ? std::string(args[1]) : std::string("*")) + "_" +
                    std::string(args[0]);
        r.text = r.pattern;
    }
    multistation_ = true;
    // 4.0 takes patterns for stations yet to come; 3.1 clients expect to
    // hear at once that a station is not here.
    r.accepted = version_ == 4 || glob_match(r.pattern, station_id_);
    requests_.push_back(std::move(r));
    if (requests_.back().accepted)
        ok(out);
    else
        error(out, "ARGUMENTS", "no such station");
    return Effect::kNone;
}

Effect Session::select(const std::vector<std::string_view>& args, std::vector<std::string>& out) {
    StationRequest* r = current();
    if (r == nullptr) {
        error(out, "UNEXPECTED", "SELECT before STATION");
        return Effect::kNone;
    }
    if (args.empty()) {
        if (version_ == 4) {
            error(out, "ARGUMENTS", "empty SELECT is not allowed in v4");
        } else {
            r->selectors.clear();
            ok(out);
        }
        return Effect::kNone;
    }
    if (r->selectors.size() + args.size() > kMaxSelectors) {
        error(out, "LIMIT", "too many selectors");
        return Effect::kNone;
    }
    std::vector<Selector> parsed;
    for (std::string_view a : args) {
        Selector s;
        std::string why;
        if (!(version_ == 4 ? parse_v4_selector(a, &s, &why) : parse_v3_selector(a, &s, &why))) {
            error(out, "ARGUMENTS", why);
            return Effect::kNone;
        }
        parsed.push_back(std::move(s));
    }
    // One connection, one record format: packets of both would interleave
    // two sequences of numbers.
    bool two = false, three = false;
    for (const StationRequest& q : requests_)
        for (const Selector& s : q.selectors) {
            two = two || selector_format(s) == 2;
            three = three || selector_format(s) == 3;
        }
    for (const Selector& s : parsed) {
        two = two || selector_format(s) == 2;
        three = three || selector_format(s) == 3;
    }
    if (three && !format3_) {
        error(out, "UNSUPPORTED", "miniSEED 3 is not available");
        return Effect::kNone;
    }
    if (two && three) {
        error(out, "ARGUMENTS", "miniSEED 2 and 3 cannot be mixed in one connection");
        return Effect::kNone;
    }
    r->selectors.insert(r->selectors.end(), parsed.begin(), parsed.end());
    ok(out);
    return Effect::kNone;
}

Effect Session::data(std::string_view verb, const std::vector<std::string_view>& args,
                     std::vector<std::string>& out) {
    StationRequest* r = current();
    if (version_ == 4 && verb != "DATA") {
        error(out, "UNSUPPORTED", "use DATA with a time window");
        return Effect::kNone;
    }
    if (r == nullptr) {
        error(out, "UNEXPECTED", "DATA before STATION");
        return Effect::kNone;
    }
    StationRequest next = *r;
    next.start = StationRequest::Start::kNext;
    next.begin = next.end = NAN;
    next.dialup = verb == "FETCH";
    bool good = true;
    if (version_ == 4) {
        good = args.size() <= 3;
        if (good && !args.empty()) {
            if (upper(args[0]) == "ALL") {
                next.start = StationRequest::Start::kAll;
            } else {
                good = parse_unsigned(args[0], 10, &next.sequence);
                next.start = StationRequest::Start::kSequence;
            }
        }
        if (good && args.size() > 1) good = parse_v4_time(args[1], &next.begin);
        if (good && args.size() > 2) good = parse_v4_time(args[2], &next.end);
    } else if (verb == "TIME") {
        next.start = StationRequest::Start::kAll;
        good = !args.empty() && args.size() <= 2 && parse_v3_time(args[0], &next.begin);
        if (good && args.size() == 2) good = parse_v3_time(args[1], &next.end);
    } else {
        good = args.size() <= 2;
        if (good && !args.empty()) {
            good = args[0].size() <= 6 && parse_unsigned(args[0], 16, &next.sequence);
            next.start = StationRequest::Start::kSequence;
            next.sequence24 = true;
        }
        if (good && args.size() == 2) good = parse_v3_time(args[1], &next.begin);
    }
    if (good && !std::isnan(next.begin) && !std::isnan(next.end) && next.end <= next.begin)
        good = false;
    if (!good) {
        error(out, "ARGUMENTS",
              version_ == 4 ? "DATA [seq|ALL [start [end]]], times as 2024-05-01T12:00:00Z"
                            : "sequence in hex, times as 2024,05,01,12,00,00");
        return Effect::kNone;
    }
    *r = std::move(next);
    // 3.1 without STATION: the command itself starts the transfer.
    if (version_ == 3 && !multistation_) {
        transferring_ = true;
        return Effect::kStart;
    }
    ok(out);
    return Effect::kNone;
}

Effect Session::end(bool dialup, std::vector<std::string>& out) {
    (void)out;
    if (dialup)
        for (StationRequest& r : requests_) r.dialup = true;
    transferring_ = true;
    return Effect::kStart;
}

}  // namespace seedlink
