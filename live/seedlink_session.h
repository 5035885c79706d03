// One client's SeedLink conversation, without I/O: command lines in,
// replies and the request for data out. Both protocol versions: 3.1 until
// the client says SLPROTO 4.0. The server owns the socket and the ring.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "live/seedlink_protocol.h"

namespace seedlink {

// Longest command line, terminator included, as both versions define it.
inline constexpr size_t kMaxCommandBytes = 255;
// A client names one station here; a few requests cover wildcards and
// repeats, more is abuse.
inline constexpr size_t kMaxStationRequests = 16;
inline constexpr size_t kMaxSelectors = 64;

// What the first HELLO line says (also the software of INFO).
std::string hello_software();

// One STATION request and what followed it up to the next.
struct StationRequest {
    std::string pattern;  // glob on NET_STA
    std::string text;     // as the client wrote it
    bool accepted = true;
    std::vector<Selector> selectors;
    enum class Start { kNext, kAll, kSequence } start = Start::kNext;
    uint64_t sequence = 0;
    bool sequence24 = false;  // 3.1: six hex digits, to be mapped onto the ring
    double begin = NAN;       // a time window; NAN: open
    double end = NAN;
    bool dialup = false;  // FETCH or ENDFETCH: stop at what is queued
};

enum class Effect {
    kNone,
    kStart,  // data transfer begins
    kInfo,   // the server answers info_item
    kClose,  // after what was queued
};

class Session {
  public:
    Session(std::string station_id, std::string organization);

    // Handles one command line (without its terminator); replies, each one
    // message, go to `out`.
    Effect command(std::string_view line, std::vector<std::string>& out);

    int version() const { return version_; }
    // Whether miniSEED 3 can be selected (its ring is open); false at first.
    void offer_format3(bool offered) { format3_ = offered; }
    // The record format the connection gets: 3 when a selector asked for it.
    char format() const;
    bool transferring() const { return transferring_; }
    const std::vector<StationRequest>& requests() const { return requests_; }
    // The first request whose pattern takes this station ID, or null.
    const StationRequest* request_for(std::string_view station_id) const;
    // "XX_ABC: SHZ.D BH?" for the status page.
    std::string describe() const;
    const std::string& useragent() const { return useragent_; }

    // After Effect::kInfo.
    std::string info_item, info_station, info_stream;

  private:
    void ok(std::vector<std::string>& out);
    void error(std::vector<std::string>& out, const char* code, const std::string& text);
    Effect station(const std::vector<std::string_view>& args, std::vector<std::string>& out);
    Effect select(const std::vector<std::string_view>& args, std::vector<std::string>& out);
    Effect data(std::string_view verb, const std::vector<std::string_view>& args,
                std::vector<std::string>& out);
    Effect end(bool dialup, std::vector<std::string>& out);
    StationRequest* current();

    std::string station_id_, organization_;
    int version_ = 3;
    bool format3_ = false;
    bool multistation_ = false;  // 3.1: a STATION was given
    bool extended_replies_ = false;
    bool batch_ = false;
    bool transferring_ = false;
    bool any_command_ = false;
    std::string useragent_;
    std::vector<StationRequest> requests_;
    StationRequest uni_;  // 3.1 without STATION: the one station
};

}  // namespace seedlink
