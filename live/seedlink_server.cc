#include "live/seedlink_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "common/app_state.h"
#include "common/oplog.h"
#include "live/record_ring.h"
#include "live/seedlink_protocol.h"
#include "live/seedlink_session.h"
#include "live/websocket.h"
#include "net/listener.h"
#include "net/tls.h"

namespace {

using Clock = std::chrono::steady_clock;
using seedlink::Effect;
using seedlink::StationRequest;

// One address gets a share, so that a runaway script cannot take every
// slot; a station's own clients are a handful.
constexpr int kClientsPerAddress = 16;
// A client's queued output is topped up to this (about 120 packets) and no
// further commands are read from it above it.
constexpr size_t kOutputHigh = 64 * 1024;
// About a second of a busy station's packets across a long, slow link.
constexpr int kSocketSendBytes = 128 * 1024;
// Replies that pile up past this belong to a client that sends commands
// and reads nothing.
constexpr size_t kOutputMax = 1024 * 1024;
// Commands read but not yet answered; beyond it the socket is not read.
constexpr size_t kPendingLines = 64;
// Ring records one client may examine in one turn of the loop, so that a
// time window searched from the oldest record does not stall the others.
constexpr int kScanBudget = 1024;
// Handshaking that idles this long is a forgotten or half-open connection.
constexpr auto kHandshakeIdle = std::chrono::seconds(60);
// After END of a dial-up transfer the client is expected to close.
constexpr auto kLingerAfterEnd = std::chrono::seconds(10);
// A window that ends within this of now waits for records still to come.
constexpr double kWindowGraceSeconds = 10;
constexpr auto kTick = std::chrono::milliseconds(200);
// Refusals (address, limits, descriptors) are logged once a minute per kind.
constexpr auto kRefusalLogInterval = std::chrono::seconds(60);
// INFO STREAMS scans the ring; its result serves for this long.
constexpr auto kStreamScanAge = std::chrono::seconds(2);

enum class Mode { kFirst, kRaw, kHttpHead, kWebSocket };

struct Client {
    uint64_t id = 0;
    int fd = -1;
    Socket socket;  // owns fd: plain, or TLS on the SLTLS port
    std::string ip, name;  // "127.0.0.1", "127.0.0.1:40000"
    Mode mode = Mode::kFirst;
    std::string protocol_label;
    std::string in;       // bytes not yet taken
    std::string message;  // a WebSocket message being assembled
    bool in_message = false;
    std::deque<std::string> lines;  // commands to answer
    std::string out;
    size_t out_at = 0;
    std::unique_ptr<seedlink::Session> session;
    bool streaming = false;
    bool ended = false;          // END sent after a dial-up or a window
    bool closing = false;        // closes once `out` is sent
    std::string leave;           // the log's words when it goes
    RecordRing* ring = nullptr;  // of the format it gets, from the start of the transfer
    char format = '2';
    uint64_t cursor = 0;
    std::vector<uint64_t> first_of;  // per request (the uni request last)
    uint64_t last_sequence = 0;
    double last_end = 0;
    uint64_t packets = 0;
    Clock::time_point last_input, ended_at, closing_since;
    double connected_wall = 0;
    uint32_t events = 0;
    Slot slot;  // its place in the listener's counts
};

struct Server {
    RecordRing* ring = nullptr;
    RecordRing* ring3 = nullptr;  // miniSEED 3; null when there is none
    Listener listener, tls_listener;
    std::atomic<bool> tls_serving{false};
    int epoll = -1, wake = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> serving{false};  // listening, and the ring usable
    std::unordered_map<uint64_t, std::unique_ptr<Client>> clients;
    uint64_t next_id = 16;
    // Admitted on the listener's thread, taken in by the loop at its wake.
    std::mutex incoming_lock;
    std::vector<Accepted> incoming, incoming_tls;
    // Touched by the listener's thread only.
    std::map<Refusal, Clock::time_point> refusal_logged;
    std::string station_id, organization;
    std::string network, station;  // the records' codes
    double latency = 1;            // SLLATENCY
    std::vector<seedlink::StreamSummary> streams;
    Clock::time_point streams_at{};
    bool streams_valid = false;
};

Server server;
std::mutex views_lock;
std::vector<SeedLinkClientView> views;

constexpr uint64_t kWakeId = 2, kRingId = 3, kRing3Id = 4;

bool serves3() { return server.ring3 != nullptr && server.ring3->usable(); }

double wall_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void log_refusal(Refusal kind, const std::string& line) {
    const Clock::time_point now = Clock::now();
    auto it = server.refusal_logged.find(kind);
    if (it != server.refusal_logged.end() && now - it->second < kRefusalLogInterval) return;
    server.refusal_logged[kind] = now;
    write_log_line(line.c_str());
}

void queue_message(Client& c, const std::string& bytes) {
    if (c.mode == Mode::kWebSocket)
        c.out += websocket::frame(websocket::kBinary, bytes.data(), bytes.size());
    else
        c.out += bytes;
}

void drop(Client& c, const std::string& why) {
    if (c.leave.empty()) c.leave = why;
    if (!c.closing) c.closing_since = Clock::now();
    c.closing = true;
    c.out.clear();
    c.out_at = 0;
}

// Closes after what is queued has been sent.
void finish(Client& c, const std::string& why) {
    if (c.leave.empty()) c.leave = why;
    if (!c.closing) c.closing_since = Clock::now();
    c.closing = true;
}

void close_client(Client& c) {
    epoll_ctl(server.epoll, EPOLL_CTL_DEL, c.fd, nullptr);
    c.socket.close();
    c.fd = -1;
    c.slot.release();
    write_log_linef("SeedLink: клиент %s %s", c.name.c_str(),
                    c.leave.empty() ? "отключён" : c.leave.c_str());
}

// --- INFO -------------------------------------------------------------

const std::vector<seedlink::StreamSummary>& stream_list() {
    if (server.streams_valid && Clock::now() - server.streams_at < kStreamScanAge)
        return server.streams;
    std::map<std::string, seedlink::StreamSummary> found;
    auto take = [&found](const seedlink::RecordInfo& info) {
        const std::string key = info.format + info.station_id + "/" + info.stream_id;
        auto it = found.find(key);
        if (it == found.end()) {
            found[key] = {info.format,  info.network,   info.station, info.location,
                          info.channel, info.stream_id, info.start,   info.end};
        } else {
            it->second.start = std::min(it->second.start, info.start);
            it->second.end = std::max(it->second.end, info.end);
        }
    };
    uint8_t record[kRingRecordLength];
    const uint64_t end = server.ring->next();
    for (uint64_t s = server.ring->oldest(); s < end; ++s) {
        seedlink::RecordInfo info;
        if (server.ring->read(s, record) && seedlink::parse_record(record, &info)) take(info);
    }
    std::vector<uint8_t> record3;
    for (uint64_t s = serves3() ? server.ring3->oldest() : 0, after = 0;
         serves3() && s < server.ring3->next(); s = after) {
        seedlink::RecordInfo info;
        const size_t n = server.ring3->read_record(s, record3, &after);
        if (n > 0 && seedlink::parse_record3(record3.data(), n, &info)) take(info);
    }
    server.streams.clear();
    for (auto& [key, summary] : found) server.streams.push_back(summary);
    server.streams_at = Clock::now();
    server.streams_valid = true;
    return server.streams;
}

seedlink::InfoSource info_source(bool with_streams, bool with_connections, char format) {
    seedlink::InfoSource s;
    const std::string hello = seedlink::hello_software();
    s.software = hello.substr(0, hello.find(" ::"));
    s.organization = server.organization;
    s.network = server.network;
    s.station = server.station;
    s.oldest = server.ring->oldest();
    s.next = server.ring->next();
    s.has3 = serves3();
    if (s.has3) {
        s.oldest3 = server.ring3->oldest();
        s.next3 = server.ring3->next();
        s.format = format;
    }
    if (with_streams) s.streams = stream_list();
    if (with_connections)
        for (const auto& [id, c] : server.clients) {
            if (!c->session) continue;
            s.connections.push_back({c->name, c->protocol_label, c->session->useragent(),
                                     c->session->describe(), c->last_sequence, c->connected_wall,
                                     c->packets});
        }
    return s;
}

void answer_info(Client& c) {
    const seedlink::Session& session = *c.session;
    const std::string& item = session.info_item;
    const bool streams = item == "STREAMS" || item == "GAPS" || item == "ALL";
    const bool connections = item == "CONNECTIONS" || item == "ALL";
    // A station's numbers are those of the format the client gets, or asks about.
    const std::string& pattern = session.info_stream;
    const size_t dot = pattern.find('.');
    const bool ask3 = dot != std::string::npos &&
                      seedlink::glob_match(pattern.substr(dot + 1) + "*", "3D") &&
                      !seedlink::glob_match(pattern.substr(dot + 1) + "*", "2D");
    const seedlink::InfoSource source =
        info_source(streams, connections, ask3 ? '3' : session.format());
    if (session.version() == 4) {
        static const char* const items[] = {"ID",       "FORMATS", "CAPABILITIES",
                                            "STATIONS", "STREAMS", "CONNECTIONS"};
        bool known = false;
        for (const char* i : items) known = known || item == i;
        const std::string json =
            seedlink::v4_info_json(source, item, session.info_station, session.info_stream);
        queue_message(c, seedlink::v4_json_packet(known ? 'I' : 'E', json));
        return;
    }
    const std::vector<std::string> packets = seedlink::v3_info_packets(source, item, wall_now());
    if (packets.empty()) {
        // Between data packets a reply line would break the stream.
        if (!session.transferring()) queue_message(c, "ERROR\r\n");
        return;
    }
    for (const std::string& p : packets) queue_message(c, p);
}

// --- data transfer ------------------------------------------------------

// Where a request starts in the ring.
uint64_t first_sequence(const StationRequest& r, const RecordRing& ring) {
    const uint64_t oldest = ring.oldest(), next = ring.next();
    switch (r.start) {
        case StationRequest::Start::kNext:
            return next;
        case StationRequest::Start::kAll:
            return oldest;
        case StationRequest::Start::kSequence:
            break;
    }
    uint64_t s = r.sequence;
    if (r.sequence24) {
        // The newest ring number with these low 24 bits, not past next.
        const uint64_t back =
            ((next & seedlink::kV3SequenceMask) - r.sequence) & seedlink::kV3SequenceMask;
        s = back > next ? 0 : next - back;
    }
    // Gone from the ring: from the oldest still here; not yet written: from next.
    if (s < oldest) return oldest;
    return s > next ? next : s;
}

void start_transfer(Client& c) {
    const seedlink::Session& session = *c.session;
    c.format = session.format();
    // Asked for when it was there, and gone since: the pump drops the client.
    c.ring = c.format == '3' ? server.ring3 : server.ring;
    if (c.ring == nullptr) {
        drop(c, "отключён (miniSEED 3 выключен)");
        return;
    }
    c.first_of.clear();
    uint64_t cursor = c.ring->next();
    for (const StationRequest& r : session.requests()) {
        c.first_of.push_back(first_sequence(r, *c.ring));
        if (r.accepted) cursor = std::min(cursor, c.first_of.back());
    }
    if (session.version() == 3 && session.requests().empty()) {
        // 3.1 without STATION: one request for whatever the station ID.
        c.first_of.push_back(first_sequence(*session.request_for(""), *c.ring));
        cursor = c.first_of.back();
    }
    c.cursor = cursor;
    c.streaming = true;
}

uint64_t first_for(const Client& c, const StationRequest* r) {
    const auto& requests = c.session->requests();
    if (!requests.empty() && r >= &requests.front() && r <= &requests.back())
        return c.first_of[static_cast<size_t>(r - &requests.front())];
    return c.first_of.empty() ? 0 : c.first_of.back();
}

bool wanted(const Client& c, uint64_t seq, const seedlink::RecordInfo& info) {
    const StationRequest* r = c.session->request_for(info.station_id);
    if (r == nullptr || seq < first_for(c, r)) return false;
    if (!std::isnan(r->begin) && info.end <= r->begin) return false;
    if (!std::isnan(r->end) && info.start >= r->end) return false;
    return seedlink::selected(r->selectors, info);
}

// True when every request of the client has nothing more to come: dial-up
// ones once the ring is read to its end, windows once their end has passed.
bool transfer_complete(const Client& c) {
    const seedlink::Session& s = *c.session;
    std::vector<const StationRequest*> active;
    if (s.version() == 3 && s.requests().empty()) active.push_back(s.request_for("*"));
    for (const StationRequest& r : s.requests())
        if (r.accepted) active.push_back(&r);
    if (active.empty()) return false;
    const double now = wall_now();
    for (const StationRequest* r : active) {
        const bool window_over =
            !std::isnan(r->end) && now > r->end + server.latency + kWindowGraceSeconds;
        if (!r->dialup && !window_over) return false;
    }
    return true;
}

// A ring record as every client is sent it, read and parsed once however
// many clients take it: with a hundred clients the fan-out, not the
// socket, is what costs. Only the loop's thread touches it.
struct Decoded {
    uint64_t seq = 0;    // 0: nothing here
    uint64_t after = 0;  // where the next record may begin
    bool readable = false;
    std::string record;
    seedlink::RecordInfo info;
    std::string v4, v3;  // the packets, made when first asked for
};
// A few seconds of a busy station; clients further behind read for
// themselves.
constexpr uint64_t kDecodedSlots = 4096;
std::vector<Decoded> decoded[2];  // miniSEED 2, miniSEED 3

// The record at `seq` (miniSEED 3: the one that begins there), or null
// when the ring holds no whole record there: left it, lost to damage, or
// inside a record (then *after says where to try next).
Decoded* decode(const RecordRing& ring, char format, uint64_t seq, uint64_t* after) {
    std::vector<Decoded>& cache = decoded[format == '3' ? 1 : 0];
    if (cache.empty()) cache.resize(kDecodedSlots);
    Decoded& d = cache[seq % kDecodedSlots];
    if (d.seq == seq) {
        *after = d.after;
        return &d;
    }
    static std::vector<uint8_t> bytes;
    size_t n = 0;
    if (format == '3') {
        n = ring.read_record(seq, bytes, after);
    } else {
        bytes.resize(kRingRecordLength);
        n = ring.read(seq, bytes.data()) ? kRingRecordLength : 0;
        *after = seq + 1;
    }
    // A failed read may be the ring failing or moving on: asked again.
    if (n == 0) return nullptr;
    d.seq = seq;
    d.after = *after;
    d.record.assign(reinterpret_cast<const char*>(bytes.data()), n);
    d.info = {};
    d.readable = format == '3' ? seedlink::parse_record3(bytes.data(), n, &d.info)
                               : seedlink::parse_record(bytes.data(), &d.info);
    d.v4.clear();
    d.v3.clear();
    return &d;
}

const std::string& packet_for(const Client& c, Decoded& d) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(d.record.data());
    if (c.session->version() == 4) {
        if (d.v4.empty()) d.v4 = seedlink::v4_packet(d.seq, d.info.station_id, bytes,
                                                      d.record.size(), c.format);
        return d.v4;
    }
    if (d.v3.empty()) d.v3 = seedlink::v3_packet(d.seq, bytes);
    return d.v3;
}

// Tops up the client's output from the ring; false when more records wait
// than this turn's budget allowed.
bool pump(Client& c) {
    if (!c.streaming || c.ended || c.closing) return false;
    RecordRing& ring = *c.ring;
    // Whether the client's place is still in a working ring; drops it when not.
    auto in_ring = [&] {
        if (!ring.usable()) {
            // The miniSEED 2 ring failing ends the loop, which closes every client.
            if (c.format == '3') drop(c, "отключён (miniSEED 3 выключен)");
            return false;
        }
        if (c.cursor < ring.oldest()) {
            drop(c, "отстал и отключён");
            return false;
        }
        return true;
    };
    int budget = kScanBudget;
    while (c.out.size() - c.out_at < kOutputHigh && c.cursor < ring.next()) {
        if (budget-- == 0) return true;
        if (!in_ring()) return false;
        const uint64_t seq = c.cursor;
        uint64_t after = seq + 1;
        Decoded* d = decode(ring, c.format, seq, &after);
        if (d == nullptr && !in_ring()) return false;
        // Lost to damage, or inside a record: on to where the next begins.
        c.cursor = after;
        if (d == nullptr || !d->readable || !wanted(c, seq, d->info)) continue;
        queue_message(c, packet_for(c, *d));
        c.last_sequence = seq;
        c.last_end = d->info.end;
        ++c.packets;
    }
    if (!in_ring()) return false;
    if (c.cursor >= ring.next() && transfer_complete(c)) {
        queue_message(c, "END");
        c.ended = true;
        c.ended_at = Clock::now();
    }
    return false;
}

// --- commands -------------------------------------------------------------

// A command line must be printable ASCII; anything else is not a client of ours.
bool printable(const std::string& line) {
    for (char ch : line) {
        const auto u = static_cast<unsigned char>(ch);
        if ((u < 0x20 && u != '\t') || u > 0x7E) return false;
    }
    return true;
}

void answer_lines(Client& c) {
    while (!c.lines.empty() && !c.closing && c.out.size() - c.out_at < kOutputHigh) {
        const std::string line = std::move(c.lines.front());
        c.lines.pop_front();
        if (!printable(line)) {
            drop(c, "отключён: недопустимые байты в команде");
            return;
        }
        std::vector<std::string> replies;
        const Effect effect = c.session->command(line, replies);
        for (const std::string& r : replies) queue_message(c, r);
        if (effect == Effect::kInfo) answer_info(c);
        if (effect == Effect::kStart) start_transfer(c);
        if (effect == Effect::kClose) finish(c, "отключён");
    }
    if (c.out.size() - c.out_at > kOutputMax) drop(c, "отключён: не читает ответы");
}

// Splits raw bytes into command lines at CR or LF; false when a line is
// longer than a command may be.
bool take_lines(Client& c, std::string& bytes, bool message_end) {
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') continue;
        if (i - start > seedlink::kMaxCommandBytes) return false;
        if (i > start) c.lines.push_back(bytes.substr(start, i - start));
        start = i + 1;
    }
    bytes.erase(0, start);
    if (bytes.size() > seedlink::kMaxCommandBytes) return false;
    // A WebSocket message is one command; its terminator is optional.
    if (message_end && !bytes.empty()) {
        c.lines.push_back(bytes);
        bytes.clear();
    }
    return true;
}

void take_frames(Client& c) {
    websocket::Frame f;
    const char* why = "";
    for (;;) {
        const int got = websocket::take_frame(c.in, f, &why);
        if (got == 0) return;
        if (got < 0) {
            const uint16_t code = htons(1002);
            c.out += websocket::frame(websocket::kClose, &code, 2);
            finish(c, std::string("отключён: неверный кадр WebSocket (") + why + ")");
            return;
        }
        if (f.opcode == websocket::kPing) {
            c.out += websocket::frame(websocket::kPong, f.payload.data(), f.payload.size());
            continue;
        }
        if (f.opcode == websocket::kPong) continue;
        if (f.opcode == websocket::kClose) {
            c.out += websocket::frame(websocket::kClose, f.payload.data(),
                                      std::min<size_t>(f.payload.size(), 2));
            finish(c, "отключён");
            return;
        }
        const bool continuation = f.opcode == websocket::kContinuation;
        if (continuation != c.in_message ||
            c.message.size() + f.payload.size() > websocket::kMaxMessageBytes) {
            const uint16_t code = htons(1002);
            c.out += websocket::frame(websocket::kClose, &code, 2);
            finish(
                c,
                "отключён: неверный кадр WebSocket (сообщение не по порядку или длиннее команды)");
            return;
        }
        c.message += f.payload;
        c.in_message = !f.fin;
        if (f.fin && !take_lines(c, c.message, true)) {
            drop(c, "отключён: слишком длинная команда");
            return;
        }
    }
}

void take_http_head(Client& c) {
    const size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (c.in.size() > websocket::kMaxHeadBytes) {
            c.out += "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n\r\n";
            finish(c, "отключён: запрос WebSocket отклонён (слишком длинный заголовок)");
        }
        return;
    }
    const websocket::Upgrade u = websocket::answer_upgrade(
        std::string_view(c.in).substr(0, end + 4), {"SeedLink4.0", "SeedLink3.1"});
    c.in.erase(0, end + 4);
    c.out += u.response;
    if (!u.ok) {
        finish(c, "отключён: запрос WebSocket отклонён (" + u.why + ")");
        return;
    }
    c.mode = Mode::kWebSocket;
    take_frames(c);
}

void take_input(Client& c) {
    if (c.mode == Mode::kFirst) {
        // "OPTIONS " is the longest verb; a line end or a space decides sooner.
        if (c.in.size() < 8 && c.in.find_first_of("\r\n ") == std::string::npos) return;
        c.mode = websocket::looks_like_http(c.in) ? Mode::kHttpHead : Mode::kRaw;
    }
    if (c.mode == Mode::kHttpHead)
        take_http_head(c);
    else if (c.mode == Mode::kWebSocket)
        take_frames(c);
    else if (!take_lines(c, c.in, false))
        drop(c, "отключён: слишком длинная команда");
    answer_lines(c);
}

// --- sockets ----------------------------------------------------------------

void read_client(Client& c) {
    char buffer[4096];
    while (!c.closing && c.lines.size() < kPendingLines && c.out.size() - c.out_at < kOutputHigh) {
        const ssize_t n = c.socket.read(buffer, sizeof buffer);
        if (n > 0) {
            c.in.append(buffer, static_cast<size_t>(n));
            c.last_input = Clock::now();
            take_input(c);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        drop(c, c.socket.failure().empty() ? "отключён"
                                           : "отключён: ошибка TLS (" + c.socket.failure() + ")");
        return;
    }
}

void write_client(Client& c) {
    while (c.out_at < c.out.size()) {
        const ssize_t n = c.socket.write(c.out.data() + c.out_at, c.out.size() - c.out_at);
        if (n > 0) {
            c.out_at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        drop(c, "отключён");
        return;
    }
    if (c.out_at == c.out.size()) {
        c.out.clear();
        c.out_at = 0;
    } else if (c.out_at > kOutputHigh) {
        c.out.erase(0, c.out_at);
        c.out_at = 0;
    }
}

void update_events(Client& c) {
    uint32_t want = 0;
    if (!c.closing && c.lines.size() < kPendingLines && c.out.size() - c.out_at < kOutputHigh)
        want |= EPOLLIN;
    // TLS may have to send before it can read on (a handshake's reply).
    if (c.out_at < c.out.size() || c.socket.wants_write()) want |= EPOLLOUT;
    if (want == c.events) return;
    epoll_event e{};
    e.events = want;
    e.data.u64 = c.id;
    epoll_ctl(server.epoll, EPOLL_CTL_MOD, c.fd, &e);
    c.events = want;
}

// On the listener's thread: the refusal, logged once a minute per kind.
void refuse(int fd, const Peer& peer, Refusal why, int held) {
    if (fd >= 0) ::close(fd);
    switch (why) {
        case Refusal::kAddress:
            log_refusal(why, "SeedLink: адрес " + peer.address +
                                 " не разрешён (SLALLOW), подключение отклонено");
            break;
        case Refusal::kTotal:
            log_refusal(why, "SeedLink: клиентов уже " + std::to_string(held) +
                                 " (SLCLIENTS), отказано " + peer.address);
            break;
        case Refusal::kPerAddress:
            log_refusal(why, "SeedLink: с адреса " + peer.address + " уже " + std::to_string(held) +
                                 " клиентов, отказано");
            break;
        case Refusal::kDescriptors:
            log_refusal(why, "SeedLink: нет свободных дескрипторов, подключения отложены");
            break;
    }
}

// On a listener's thread: queued for the loop, which is woken.
void queue_incoming(Accepted a, bool tls) {
    {
        std::lock_guard<std::mutex> hold(server.incoming_lock);
        (tls ? server.incoming_tls : server.incoming).push_back(std::move(a));
    }
    const uint64_t one = 1;
    ssize_t written = write(server.wake, &one, sizeof one);
    (void)written;
}

void admit(Accepted a) { queue_incoming(std::move(a), false); }
void admit_tls(Accepted a) { queue_incoming(std::move(a), true); }

void take_incoming() {
    std::vector<Accepted> taken, taken_tls;
    {
        std::lock_guard<std::mutex> hold(server.incoming_lock);
        taken.swap(server.incoming);
        taken_tls.swap(server.incoming_tls);
    }
    // The handshake is not made here: the loop's reads and writes drive it,
    // so a client that stalls in it holds nobody else up.
    const std::shared_ptr<SSL_CTX> context = tls_credentials().context();
    const size_t plain = taken.size();
    for (Accepted& a : taken_tls) taken.push_back(std::move(a));
    for (size_t i = 0; i < taken.size(); ++i) {
        Accepted& a = taken[i];
        const int fd = a.fd;
        const int on = 1, idle = 60, interval = 10, count = 6, send_buffer = kSocketSendBytes;
        // The kernel holds little for a client that stops reading, so the
        // ring, not the socket, is what it falls behind in.
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        // A peer that vanished is found in minutes, not hours.
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        // A batch's last short segment goes at once, not after the client's
        // delayed acknowledgement (40 ms).
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<Client>();
        c->id = server.next_id++;
        c->fd = fd;
        c->socket = Socket(fd);
        if (i >= plain && !c->socket.start_tls(context)) continue;
        c->ip = a.peer.address;
        c->name = a.peer.name();
        c->slot = std::move(a.slot);
        c->session = std::make_unique<seedlink::Session>(server.station_id, server.organization);
        c->session->offer_format3(serves3());
        c->last_input = Clock::now();
        c->connected_wall = wall_now();
        c->events = EPOLLIN;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = c->id;
        if (epoll_ctl(server.epoll, EPOLL_CTL_ADD, fd, &e) != 0) continue;
        write_log_linef("SeedLink: клиент %s подключён%s", c->name.c_str(),
                        c->socket.tls() ? " (TLS)" : "");
        server.clients[c->id] = std::move(c);
    }
}

std::string protocol_label(const Client& c) {
    std::string label = c.session->version() == 4 ? "SeedLink 4.0" : "SeedLink 3.1";
    label += c.mode == Mode::kWebSocket ? " WebSocket" : " TCP";
    if (c.socket.tls()) label += " TLS";
    return c.streaming && c.format == '3' ? label + " miniSEED 3" : label;
}

void housekeeping() {
    const Clock::time_point now = Clock::now();
    std::vector<SeedLinkClientView> fresh;
    const double wall = wall_now();
    for (auto& [id, c] : server.clients) {
        if (!c->streaming && !c->closing && now - c->last_input > kHandshakeIdle)
            drop(*c, "отключён: нет команд 60 с");
        if (c->ended && !c->closing && now - c->ended_at > kLingerAfterEnd) drop(*c, "отключён");
        c->protocol_label = protocol_label(*c);
        fresh.push_back({c->name, c->protocol_label, c->session->describe(), c->last_sequence,
                         c->packets > 0 ? std::max(0.0, wall - c->last_end) : 0.0});
    }
    std::lock_guard<std::mutex> hold(views_lock);
    views.swap(fresh);
}

void drain(int fd) {
    uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

void run_loop() {
    epoll_event events[64];
    Clock::time_point last_tick = Clock::now();
    bool busy = false;
    // An unusable ring ends the loop: the port closes rather than serve a
    // feed that no longer moves.
    while (!server.stopping.load() && server.ring->usable()) {
        const int n =
            epoll_wait(server.epoll, events, 64, busy ? 0 : static_cast<int>(kTick.count()));
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kWakeId) {
                drain(server.wake);
                take_incoming();
            } else if (id == kRingId) {
                drain(server.ring->wakeup_fd());
            } else if (id == kRing3Id) {
                drain(server.ring3->wakeup_fd());
            } else {
                auto it = server.clients.find(id);
                if (it == server.clients.end()) continue;
                Client& c = *it->second;
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR) ||
                    ((events[i].events & EPOLLOUT) && c.socket.wants_write()))
                    read_client(c);
            }
        }
        busy = false;
        for (auto it = server.clients.begin(); it != server.clients.end();) {
            Client& c = *it->second;
            // Deciphered bytes the socket no longer shows as readable.
            if (c.socket.buffered()) read_client(c);
            answer_lines(c);
            busy = pump(c) || busy;
            write_client(c);
            // The socket took everything and the ring has more: another turn at once.
            if (c.streaming && !c.ended && !c.closing && c.out.empty() && c.cursor < c.ring->next())
                busy = true;
            // A client that does not take its last bytes is not waited for long.
            if (c.closing &&
                (c.out_at >= c.out.size() || Clock::now() - c.closing_since > kLingerAfterEnd)) {
                close_client(c);
                it = server.clients.erase(it);
                continue;
            }
            update_events(c);
            ++it;
        }
        if (Clock::now() - last_tick >= kTick) {
            last_tick = Clock::now();
            housekeeping();
        }
    }
    // The port closes first, so that nobody is admitted while the rest go.
    server.listener.stop();
    server.tls_listener.stop();
    server.tls_serving.store(false);
    for (Accepted& a : server.incoming) ::close(a.fd);
    for (Accepted& a : server.incoming_tls) ::close(a.fd);
    server.incoming.clear();
    server.incoming_tls.clear();
    for (auto& [id, c] : server.clients) {
        c->leave = server.stopping.load() ? "отключён (сервер остановлен)"
                                          : "отключён (SeedLink выключен)";
        close_client(*c);
    }
    server.clients.clear();
    server.serving.store(false);
    std::lock_guard<std::mutex> hold(views_lock);
    views.clear();
}

}  // namespace

bool start_seedlink_server(RecordRing& ring, const StationContext& station, RecordRing* ring3) {
    const Config& config = station.config;
    const int port = config.seedlink_port;
    if (port <= 0 || port > 65535 || !ring.usable() || server.thread.joinable()) return false;
    server.ring = &ring;
    server.ring3 = ring3 != nullptr && ring3->usable() ? ring3 : nullptr;
    // A ring opened afresh may give a number again (its torn newest record).
    for (auto& cache : decoded) cache.clear();
    server.epoll = epoll_create1(EPOLL_CLOEXEC);
    server.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ListenerOptions options;
    options.port = port;
    options.backlog = SOMAXCONN;
    options.allow = AllowList("SLALLOW", config.seedlink_allow, AllowList::Empty::kLoopbackOnly);
    options.max_total = config.seedlink_clients;
    options.max_per_address = kClientsPerAddress;
    options.on_accept = admit;
    options.on_refuse = refuse;
    ListenerOptions tls_options = options;
    if (!server.listener.start(std::move(options))) {
        std::fprintf(stderr, "SeedLink: нет доступа к порту %d\n", port);
        write_log_linef("SeedLink: нет доступа к порту %d", port);
        ::close(server.wake);
        ::close(server.epoll);
        server.wake = server.epoll = -1;
        return false;
    }
    server.network = config.network;
    server.station = station.station_name;
    server.latency = config.seedlink_latency;
    server.station_id = server.network + "_" + server.station;
    server.organization = "VelDrum station " + server.station_id;
    const std::pair<int, uint64_t> sources[] = {
        {server.wake, kWakeId},
        {ring.wakeup_fd(), kRingId},
        {server.ring3 != nullptr ? server.ring3->wakeup_fd() : -1, kRing3Id}};
    for (const auto& [fd, id] : sources) {
        if (fd < 0) continue;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = id;
        epoll_ctl(server.epoll, EPOLL_CTL_ADD, fd, &e);
    }
    // TLS beside the plain port, with the certificate main has read (none:
    // main has said why).
    const int tls_port = config.seedlink_tls_port;
    if (tls_port > 0 && tls_credentials().context()) {
        tls_options.port = tls_port;
        tls_options.on_accept = admit_tls;
        tls_options.counted_with = &server.listener;  // SLCLIENTS for both ports
        if (server.tls_listener.start(std::move(tls_options))) {
            server.tls_serving.store(true);
        } else {
            std::fprintf(stderr, "SeedLink: нет доступа к порту TLS %d\n", tls_port);
            write_log_linef("SeedLink: нет доступа к порту TLS %d", tls_port);
        }
    }
    server.stopping.store(false);
    server.streams_valid = false;
    server.serving.store(true);
    server.thread = std::thread(run_loop);
    return true;
}

// Prompt: the loop wakes on the stop at once, the listener on its token.
void stop_seedlink_server() {
    if (!server.thread.joinable()) return;
    server.stopping.store(true);
    const uint64_t one = 1;
    ssize_t written = write(server.wake, &one, sizeof one);
    (void)written;
    server.thread.join();
    ::close(server.wake);
    ::close(server.epoll);
    server.wake = server.epoll = -1;
    server.refusal_logged.clear();
}

bool seedlink_serving() { return server.serving.load(); }

bool seedlink_tls_serving() { return server.serving.load() && server.tls_serving.load(); }

std::vector<SeedLinkClientView> seedlink_clients() {
    std::lock_guard<std::mutex> hold(views_lock);
    return views;
}
