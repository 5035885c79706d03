// Status page server. See status_server.h for the endpoints and limits.
//
// Threads: the listeners' accept loops (net/listener.h, which apply
// HTTPALLOW and the connection limits; one for HTTP, one for HTTPS) and one
// thread per connection, which also makes the TLS handshake, bounded by the
// request's read time like any slow client.
// `state` is set up and torn down under server_mutex by start and stop
// only; the connection list and the health slots are guarded by
// conn_mutex. Every wait of every thread also watches the listener's stop
// token, so the stop ends them all at once and joins them before it returns.
#include "shell/status_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "common/json_text.h"
#include "common/oplog.h"
#include "common/station_context.h"
#include "fdsn/fdsn_service.h"
#include "live/seedlink_server.h"
#include "net/listener.h"
#include "net/tls.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "shell/monitoring.h"
#include "shell/status_dialog.h"
#include "shell/status_page_assets.h"

namespace {

using Clock = std::chrono::steady_clock;

// cpp-httplib's request parser and router, fed by our connections. The
// library serves only sockets it accepted itself and has no public call for
// one accepted elsewhere, so this subclass reaches its protected
// process_request; nothing else of it is used.
class PageServer : public httplib::Server {
  public:
    bool serve_request(httplib::Stream& stream, bool last, bool* closed) {
        return process_request(stream, last, *closed, nullptr);
    }
    // Streamed responses (content providers) end when the library's own
    // listening socket is unset; it is only compared with that here, never
    // used, as the library neither listens nor stops.
    void set_running(bool on) { svr_sock_ = on ? 0 : INVALID_SOCKET; }
};

struct Connection {
    int fd = -1;
    std::string address;
    int port = 0;
    Slot slot;  // none in a health slot
    std::thread thread;
    bool health_probe = false;  // in a health slot: GET /api/health only
    bool tls = false;           // came in on the HTTPS port
    bool done = false;
};

struct ServerState {
    std::unique_ptr<PageServer> server;
    StatusServerOptions options;
    bool loopback = true;
};

std::mutex server_mutex;
// The station shown; set before the server listens, for its whole run.
std::atomic<const StationContext*> station{nullptr};
ServerState state;
Listener listener, tls_listener;
// Requested by the stop; every connection's wait watches it.
std::unique_ptr<StopToken> stopping = std::make_unique<StopToken>();

std::mutex conn_mutex;
std::list<Connection> connections;
int probe_count = 0;  // connections in the health slots

// Why a client was cut off; each kind is logged at most once a minute.
enum Cut {
    kCutBusy, kCutHead, kCutSlow, kCutMalformed, kCutStall, kCutRefused, kCutBody, kCutKinds
};
const char* const kCutText[kCutKinds] = {
    "слишком много соединений",    "слишком большой заголовок запроса",
    "запрос не пришёл вовремя",    "неверный запрос",
    "клиент не читает ответ",      "адрес не в списке HTTPALLOW",
    "слишком большое тело запроса"};

void report_cut(Cut kind, const std::string& address) {
    static std::mutex mutex;
    static Clock::time_point last[kCutKinds];
    static bool logged[kCutKinds];
    static unsigned skipped[kCutKinds];
    std::lock_guard<std::mutex> lock(mutex);
    Clock::time_point now = Clock::now();
    if (logged[kind] && now - last[kind] < std::chrono::minutes(1)) {
        ++skipped[kind];
        return;
    }
    if (skipped[kind] > 0) {
        write_log_linef("Страница состояния: %s, %s (и ещё %u)", kCutText[kind], address.c_str(),
                        skipped[kind]);
    } else {
        write_log_linef("Страница состояния: %s, %s", kCutText[kind], address.c_str());
    }
    logged[kind] = true;
    last[kind] = now;
    skipped[kind] = 0;
}

// A response of our own, for a request that never reaches the router: the
// FDSN error text, which reads as plain text to any client.
std::string plain_response(int status, const char* reason, const std::string& detail,
                           const std::string& target) {
    const FdsnResponse error = fdsn_error(status, detail, target);
    char head[256];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %d %s\r\nContent-Type: %s\r\n"
                  "X-Content-Type-Options: nosniff\r\nContent-Length: %zu\r\n"
                  "Connection: close\r\n\r\n",
                  status, reason, error.content_type.c_str(), error.body.size());
    return head + error.body;
}

std::string body_limit_text() {
    return "The request body may hold at most " +
           std::to_string(state.options.limits.max_body_bytes) + " bytes";
}

// Waits for `events` on fd or for the stop. Returns 1 when ready, 0 when the
// deadline passed, -1 on the stop or an error.
int wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int ms = left.count() < 0 ? 0 : int(std::min<long long>(left.count(), 60000));
        pollfd p[2] = {{fd, events, 0}, {stopping->fd(), POLLIN, 0}};
        int r = poll(p, 2, ms);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || p[1].revents != 0) return -1;
        if (r > 0) return 1;
        if (Clock::now() >= deadline) return 0;
    }
}

// One connection as cpp-httplib's Stream. read_head() takes the next
// request's head within the limits; the router then reads it, and at most
// max_body_wire_bytes after it, from the buffer and the socket.
class ConnectionStream final : public httplib::Stream {
  public:
    enum Head { kReady, kNone, kTooLarge, kSlow, kMalformed, kBodyTooLarge, kBadLength };

    ConnectionStream(const Connection& c, Socket& socket, const HttpLimits& limits)
        : fd_(c.fd),
          socket_(socket),
          address_(c.address),
          port_(c.port),
          limits_(limits),
          buf_(limits.max_head_bytes + kChunk) {}

    Head read_head();
    bool slow() const { return slow_; }
    bool stalled() const { return stalled_; }
    void close_after() { close_after_ = true; }
    bool closing() const { return close_after_; }
    bool tls() const { return socket_.tls(); }
    // Our own answer, and a short drain so that its client reads it before
    // the close resets the connection.
    void refuse(int status, const char* reason, const std::string& detail);
    // The head just read asks GET /api/health.
    bool asks_health() const;

    bool is_readable() const override {
        return pos_ < end_ || socket_.buffered() || wait_for(fd_, POLLIN, Clock::now()) == 1;
    }
    bool is_writable() const override {
        return wait_for(fd_, POLLOUT, Clock::now() + ms(limits_.write_stall_ms)) == 1;
    }
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = address_;
        port = port_;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return fd_; }

  private:
    static constexpr size_t kChunk = 4096;
    // A '?' inside the query is legal, but the router splits the target at
    // every '?' and refuses a second one: send it on as %3F. Returns the
    // bytes the head grew by, or -1 when the buffer cannot take them.
    size_t encode_inner_question_marks();
    // The announced body against max_body_bytes, from the head alone, so
    // that a refusal needs no byte of the body.
    Head check_length(size_t head_end) const;
    // The request line's target (quoted in error texts); may be cut short.
    std::string target() const;
    static std::chrono::milliseconds ms(int n) { return std::chrono::milliseconds(n); }
    // What a socket that would block waits for: TLS may need to send while
    // reading, or to read while sending.
    short blocked_on(short plain) const {
        return !socket_.tls() ? plain : socket_.wants_write() ? POLLOUT : POLLIN;
    }
    // Reads what the socket has into the free end of buf_: >0 bytes, 0 at
    // the client's close, -1 on the deadline, the stop or an error.
    ssize_t fill();

    int fd_;
    Socket& socket_;
    std::string address_;
    int port_;
    const HttpLimits& limits_;
    std::vector<char> buf_;
    size_t pos_ = 0, end_ = 0;
    size_t budget_ = 0;  // bytes the router may still read for this request
    Clock::time_point deadline_;
    bool slow_ = false, stalled_ = false, close_after_ = false;
};

// How a head that cannot be served is answered, and which cut it reports.
struct HeadRefusal {
    Cut cut;
    int status;
    const char* reason;
    const char* detail;  // null: the body limit's text
};

const HeadRefusal& head_refusal(ConnectionStream::Head head) {
    static const HeadRefusal kTooLarge{kCutHead, 431, "Request Header Fields Too Large",
                                       "The request head is too large"},
        kSlow{kCutSlow, 408, "Request Timeout", "The request did not arrive in time"},
        kMalformed{kCutMalformed, 400, "Bad Request", "Lines of the request must end with CR LF"},
        kBadLength{kCutMalformed, 400, "Bad Request", "Content-Length must be a number"},
        kBodyTooLarge{kCutBody, 413, "Payload Too Large", nullptr};
    switch (head) {
        case ConnectionStream::kTooLarge: return kTooLarge;
        case ConnectionStream::kSlow: return kSlow;
        case ConnectionStream::kMalformed: return kMalformed;
        case ConnectionStream::kBadLength: return kBadLength;
        default: return kBodyTooLarge;
    }
}

ssize_t ConnectionStream::fill() {
    for (;;) {
        ssize_t n = socket_.read(buf_.data() + end_, buf_.size() - end_);
        if (n >= 0) {
            end_ += size_t(n);
            return n;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int r = wait_for(fd_, blocked_on(POLLIN), deadline_);
        if (r == 0) slow_ = true;
        if (r != 1) return -1;
    }
}

ConnectionStream::Head ConnectionStream::read_head() {
    if (pos_ == end_) {
        pos_ = end_ = 0;
        if (!socket_.buffered() && wait_for(fd_, POLLIN, Clock::now() + ms(limits_.idle_ms)) != 1)
            return kNone;
    } else if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    deadline_ = Clock::now() + ms(limits_.request_read_ms);
    size_t line_start = 0;
    int lines = 0;
    for (size_t i = 0;; ++i) {
        if (i >= limits_.max_head_bytes) return kTooLarge;
        if (i == end_) {
            ssize_t n = fill();
            if (n <= 0) return slow_ ? kSlow : kNone;
        }
        if (buf_[i] != '\n') continue;
        // The router ends a head only at CR LF; a bare LF would let it read on.
        if (i == 0 || buf_[i - 1] != '\r') return kMalformed;
        if (i + 1 - line_start > 2) {
            line_start = i + 1;
            if (++lines > limits_.max_header_count + 1) return kTooLarge;
        } else if (lines > 0) {
            const size_t grown = encode_inner_question_marks();
            if (grown == size_t(-1)) return kTooLarge;
            budget_ = i + grown + 1 + limits_.max_body_wire_bytes;
            return check_length(i + grown + 1);
        } else {
            // An empty line before a request is allowed, and dropped.
            std::memmove(buf_.data(), buf_.data() + 2, end_ - 2);
            end_ -= 2;
            i = size_t(-1);
        }
    }
}

size_t ConnectionStream::encode_inner_question_marks() {
    size_t line_end = 0;
    while (line_end < end_ && buf_[line_end] != '\r') ++line_end;
    size_t first = 0;
    while (first < line_end && buf_[first] != '?') ++first;
    size_t extra = 0;
    for (size_t k = first + 1; k < line_end; ++k) extra += buf_[k] == '?' ? 2 : 0;
    if (extra == 0) return 0;
    if (end_ + extra > buf_.size()) return size_t(-1);
    std::memmove(buf_.data() + line_end + extra, buf_.data() + line_end, end_ - line_end);
    end_ += extra;
    // Right to left, so each character moves once.
    size_t to = line_end + extra;
    for (size_t k = line_end; k-- > first + 1;) {
        if (buf_[k] == '?') {
            buf_[--to] = 'F';
            buf_[--to] = '3';
            buf_[--to] = '%';
        } else {
            buf_[--to] = buf_[k];
        }
    }
    return extra;
}

ConnectionStream::Head ConnectionStream::check_length(size_t head_end) const {
    static const char kName[] = "content-length:";
    const size_t name_size = sizeof kName - 1;
    for (size_t at = 0; at < head_end;) {
        size_t end = at;
        while (end < head_end && buf_[end] != '\r') ++end;
        if (end - at > name_size && strncasecmp(buf_.data() + at, kName, name_size) == 0) {
            size_t k = at + name_size;
            while (k < end && (buf_[k] == ' ' || buf_[k] == '\t')) ++k;
            size_t last = end;
            while (last > k && (buf_[last - 1] == ' ' || buf_[last - 1] == '\t')) --last;
            if (k == last) return kBadLength;
            uint64_t length = 0;
            for (; k < last; ++k) {
                if (buf_[k] < '0' || buf_[k] > '9') return kBadLength;
                length = std::min<uint64_t>(length * 10 + uint64_t(buf_[k] - '0'), 1ULL << 60);
            }
            if (length > limits_.max_body_bytes) return kBodyTooLarge;
        }
        at = end + 2;
    }
    return kReady;
}

std::string ConnectionStream::target() const {
    size_t from = 0;
    while (from < end_ && buf_[from] != ' ' && buf_[from] != '\r') ++from;
    size_t to = ++from;
    while (to < end_ && to - from < 2048 && buf_[to] != ' ' && buf_[to] != '\r') ++to;
    return from < to ? std::string(buf_.data() + from, to - from) : std::string();
}

bool ConnectionStream::asks_health() const {
    static const char kLine[] = "GET /api/health";
    const size_t n = sizeof kLine - 1;
    return end_ > n && std::memcmp(buf_.data(), kLine, n) == 0 &&
           (buf_[n] == ' ' || buf_[n] == '?');
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    if (budget_ == 0) return -1;
    if (pos_ == end_) {
        pos_ = end_ = 0;
        ssize_t n = fill();
        if (n <= 0) return n;
    }
    size_t n = std::min({size, end_ - pos_, budget_});
    std::memcpy(ptr, buf_.data() + pos_, n);
    pos_ += n;
    budget_ -= n;
    return ssize_t(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = socket_.write(ptr + sent, size - sent);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int r = wait_for(fd_, blocked_on(POLLOUT), Clock::now() + ms(limits_.write_stall_ms));
        if (r == 0) stalled_ = true;
        if (r != 1) return -1;
    }
    return ssize_t(sent);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
        getnameinfo(reinterpret_cast<sockaddr*>(&a), len, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0) {
        port = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }
    ip = text;
}

void ConnectionStream::refuse(int status, const char* reason, const std::string& detail) {
    std::string r = plain_response(status, reason, detail, target());
    if (write(r.data(), r.size()) < 0) return;
    shutdown(fd_, SHUT_WR);
    Clock::time_point until = Clock::now() + ms(500);
    char sink[kChunk];
    for (size_t drained = 0; drained < limits_.max_head_bytes * 4;) {
        if (wait_for(fd_, POLLIN, until) != 1) break;
        ssize_t n = recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) break;
        if (n > 0) drained += size_t(n);
    }
}

// The connection the calling thread serves, for handlers that refuse a
// request before its body is read: that body must not pass for the next
// request.
thread_local ConnectionStream* current_stream = nullptr;

void close_after_response() {
    if (current_stream != nullptr) current_stream->close_after();
}

void serve_connection(Connection* c) {
    HttpLimits limits = state.options.limits;
    if (c->health_probe) {
        // One quick request: a health check sends its head at once, and a
        // client that dawdles must not keep the slot from the next check.
        limits.max_requests = 1;
        limits.request_read_ms = std::min(limits.request_read_ms, 1000);
        limits.idle_ms = std::min(limits.idle_ms, 1000);
    }
    Socket socket(c->fd);
    if (c->tls && !socket.start_tls(tls_credentials().context())) limits.max_requests = 0;
    ConnectionStream stream(*c, socket, limits);
    current_stream = &stream;
    for (int n = 0; n < limits.max_requests; ++n) {
        ConnectionStream::Head head = stream.read_head();
        if (c->health_probe && (head != ConnectionStream::kReady || !stream.asks_health())) {
            report_cut(kCutBusy, c->address);
            stream.refuse(503, "Service Unavailable", "Too many connections");
            break;
        }
        if (head == ConnectionStream::kNone) break;
        if (head != ConnectionStream::kReady) {
            const HeadRefusal& r = head_refusal(head);
            report_cut(r.cut, c->address);
            stream.refuse(r.status, r.reason, r.detail ? r.detail : body_limit_text());
            break;
        }
        bool last = n + 1 == limits.max_requests;
        bool closed = false;
        bool ok = state.server->serve_request(stream, last, &closed);
        if (stream.slow()) report_cut(kCutSlow, c->address);
        if (stream.stalled()) report_cut(kCutStall, c->address);
        if (!ok || closed || last || stream.closing()) break;
    }
    current_stream = nullptr;
    if (!socket.tls()) shutdown(c->fd, SHUT_RDWR);
    socket.close();
    c->slot.release();
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (c->health_probe) --probe_count;
    c->done = true;
}

void join_finished() {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> lock(conn_mutex);
        for (auto it = connections.begin(); it != connections.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), connections, it);
            it = next;
        }
    }
    for (Connection& c : finished) c.thread.join();
}

// Starts the connection's thread; without one the socket is closed.
void start_connection(int fd, const Peer& peer, Slot slot, bool probe, bool tls) {
    join_finished();
    std::lock_guard<std::mutex> lock(conn_mutex);
    connections.emplace_back();
    Connection& c = connections.back();
    c.fd = fd;
    c.address = peer.address;
    c.port = peer.port;
    c.slot = std::move(slot);
    c.health_probe = probe;
    c.tls = tls;
    try {
        c.thread = std::thread(serve_connection, &c);
    } catch (const std::system_error&) {
        connections.pop_back();
        close(fd);
        return;
    }
    if (probe) ++probe_count;
}

void admit(Accepted a) { start_connection(a.fd, a.peer, std::move(a.slot), false, false); }
void admit_tls(Accepted a) { start_connection(a.fd, a.peer, std::move(a.slot), false, true); }

// A client the listener refused: 403 for an address not allowed; past the
// limits a loopback client gets a health slot while one is free, the others
// 503 without waiting. On the HTTPS port a refusal in plain text would
// not be read: the socket is closed.
void refuse_client(int fd, const Peer& peer, Refusal why, bool tls) {
    if (fd < 0) return;  // out of descriptors: the listener pauses
    if (why == Refusal::kAddress) {
        report_cut(kCutRefused, peer.address);
        if (tls) {
            close(fd);
            return;
        }
        std::string r = plain_response(403, "Forbidden", "This address is not allowed", "");
        (void)!send(fd, r.data(), r.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        close(fd);
        return;
    }
    bool probe = false;
    if (is_loopback_host(peer.address)) {
        std::lock_guard<std::mutex> lock(conn_mutex);
        probe = probe_count < state.options.limits.health_slots;
    }
    if (probe) {
        start_connection(fd, peer, Slot(), true, tls);
        return;
    }
    report_cut(kCutBusy, peer.address);
    if (tls) {
        close(fd);
        return;
    }
    std::string r = plain_response(503, "Service Unavailable", "Too many connections", "");
    (void)!send(fd, r.data(), r.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
}

// Lower-cased copy, for header values that compare without case.
std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return s;
}

// Host part of a Host header or of an authority ("name:port", "[v6]:port").
std::string host_of_authority(const std::string& authority) {
    if (!authority.empty() && authority[0] == '[') {
        size_t end = authority.find(']');
        return end == std::string::npos ? std::string() : authority.substr(1, end - 1);
    }
    size_t colon = authority.rfind(':');
    return colon == std::string::npos ? authority : authority.substr(0, colon);
}

bool constant_time_equal(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= (unsigned char)(a[i] ^ b[i]);
    return diff == 0;
}

// A browser's POST must name our own origin. Sec-Fetch-Site is decisive when
// present; otherwise Origin, otherwise Referer must be http://<Host>.
// Clients that send none of them (scripts) are not browsers and cannot be
// driven by another site's page.
bool same_origin(const httplib::Request& req, std::string* why) {
    std::string host = req.get_header_value("Host");
    const bool tls = current_stream != nullptr && current_stream->tls();
    std::string own = (tls ? "https://" : "http://") + lower(host);
    if (req.has_header("Sec-Fetch-Site")) {
        std::string site = lower(req.get_header_value("Sec-Fetch-Site"));
        if (site != "same-origin" && site != "none") {
            *why = "cross-site request (Sec-Fetch-Site: " + site + ")";
            return false;
        }
    }
    if (req.has_header("Origin")) {
        std::string origin = lower(req.get_header_value("Origin"));
        if (origin != own) {
            *why = "cross-site request (Origin: " + origin + ")";
            return false;
        }
        return true;
    }
    if (req.has_header("Referer")) {
        std::string referer = lower(req.get_header_value("Referer"));
        if (referer != own && referer.rfind(own + "/", 0) != 0) {
            *why = "cross-site request (Referer)";
            return false;
        }
    }
    return true;
}

void send_json(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json_text(body), "application/json; charset=utf-8");
}

void refuse(httplib::Response& res, int status, const std::string& why) {
    send_json(res, status, nlohmann::json{{"ok", false}, {"error", why}});
}

// Checks every POST; on refusal the response is filled and false returned.
bool allow_post(const httplib::Request& req, httplib::Response& res) {
    std::string why;
    if (!same_origin(req, &why)) {
        refuse(res, 403, why);
        return false;
    }
    if (!state.loopback) {
        const std::string& token = state.options.token;
        if (token.empty()) {
            refuse(res, 403, "commands are off: HTTPTOKEN is not set in VELDRUM.INI");
            return false;
        }
        if (!constant_time_equal(req.get_header_value("X-VelDrum-Token"), token)) {
            refuse(res, 401, "token required");
            return false;
        }
    }
    return true;
}

void post_to_ui(std::function<void()> fn) {
    if (state.options.post) {
        state.options.post(std::move(fn));
    } else {
        fn();
    }
}

// The page's host as the browser named it, for the SeedLink feed's origin;
// empty when it holds anything but a host name or address.
std::string page_host(const httplib::Request& req) {
    const std::string host = host_of_authority(req.get_header_value("Host"));
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr(".-:[]", c) == nullptr)
            return "";
    return host;
}

void add_security_headers(const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "same-origin");
    // The seismograms read the SeedLink feed, on its own port of this host;
    // the plotting library styles its widgets with style elements.
    const Config& config = station.load()->config;
    std::string connect = "connect-src 'self'";
    const std::string host = page_host(req);
    const bool v6 = host.find(':') != std::string::npos && host.front() != '[';
    const std::string named = v6 ? "[" + host + "]" : host;
    if (config.seedlink_port > 0 && !host.empty())
        connect += " ws://" + named + ":" + std::to_string(config.seedlink_port);
    if (config.seedlink_tls_port > 0 && !host.empty())
        connect += " wss://" + named + ":" + std::to_string(config.seedlink_tls_port);
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self'; style-src 'self' 'unsafe-inline'; "
                   "script-src 'self'; " + connect + "; frame-ancestors 'none'");
}

void serve_asset(const httplib::Request& req, httplib::Response& res) {
    std::string path = req.path == "/" ? std::string("/index.html") : req.path;
    const StatusPageAsset* asset = find_status_page_asset(path.c_str());
    if (asset == nullptr) {
        res.status = 404;
        res.set_content("not found", "text/plain; charset=utf-8");
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(asset->data, asset->size, asset->content_type);
}

void error_answer(httplib::Response& res, int status, const std::string& detail,
                  const std::string& target) {
    const FdsnResponse error = fdsn_error(status, detail, target);
    res.status = status;
    res.set_content(error.body, error.content_type.c_str());
}

// Error answers go out uncompressed: ObsPy inflates only successful ones,
// so a compressed 400 would reach its user as junk. The library compresses
// a body it holds but never one of announced length from a provider.
// Errors the library makes itself come without a body: they get the text.
httplib::Server::HandlerResponse uncompressed_error(const httplib::Request& req,
                                                    httplib::Response& res) {
    if (res.body.empty()) {
        res.headers.erase("Content-Type");
        const char* detail = res.status == 404   ? "No such resource"
                             : res.status == 413 ? nullptr
                                                 : "The request could not be read";
        error_answer(res, res.status, detail ? detail : body_limit_text(), req.target);
    }
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    res.set_content_provider(body->size(), type,
                             [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return sink.write(body->data() + offset, length);
                             });
    return httplib::Server::HandlerResponse::Handled;
}

using BodyHandler =
    std::function<void(const httplib::Request&, const std::string& body, httplib::Response&)>;

// A POST route that reads its body itself: the router's own reading holds
// form bodies, which curl and ObsPy send by default, to a smaller limit
// than the rest. Whatever the type, the body may have max_body_bytes.
void post_route(httplib::Server& server, const std::string& path, BodyHandler handler) {
    server.Post(path, [handler](const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& reader) {
        if (req.is_multipart_form_data()) {
            error_answer(res, 415, "Multipart bodies are not accepted", req.target);
            close_after_response();
            return;
        }
        const size_t limit = state.options.limits.max_body_bytes;
        std::string body;
        bool too_large = false;
        const bool read = reader([&](const char* data, size_t n) {
            too_large = body.size() + n > limit;
            if (!too_large) body.append(data, n);
            return !too_large;
        });
        if (!read) {
            if (too_large)
                error_answer(res, 413, body_limit_text(), req.target);
            else
                error_answer(res, 400, "The request body could not be read", req.target);
            close_after_response();
            return;
        }
        handler(req, body, res);
    });
}

// Answers an FDSN call; dataselect's records follow in chunks, one piece of
// records at a time, so the response's memory stays that of one piece.
void serve_fdsn(const httplib::Request& req, const std::string& body, httplib::Response& res,
                FdsnService service, FdsnMethod method) {
    FdsnCall call;
    call.service = service;
    call.method = method;
    call.post = req.method == "POST";
    for (const auto& [name, value] : req.params) call.params.emplace_back(name, value);
    call.body = body;
    call.url = req.target;
    FdsnResponse answer = fdsn_answer(*station.load(), call);
    res.status = answer.status;
    res.set_header("Access-Control-Allow-Origin", "*");
    if (answer.status == 204) return;
    if (!answer.stream) {
        res.set_content(answer.body, answer.content_type.c_str());
        return;
    }
    std::shared_ptr<RecordStream> stream = answer.stream;
    res.set_header("Content-Disposition", "attachment; filename=\"veldrum.mseed\"");
    res.set_chunked_content_provider(answer.content_type,
                                     [stream](size_t, httplib::DataSink& sink) {
                                         const char* data = nullptr;
                                         size_t size = 0;
                                         if (!stream->next(&data, &size)) {
                                             sink.done();
                                             return true;
                                         }
                                         return sink.write(data, size);
                                     });
}

void install_fdsn_routes(httplib::Server& server) {
    struct Route {
        const char* path;
        FdsnService service;
        FdsnMethod method;
    };
    static const Route kRoutes[] = {
        {"/fdsnws/dataselect/1/query", FdsnService::kDataselect, FdsnMethod::kQuery},
        {"/fdsnws/dataselect/1/version", FdsnService::kDataselect, FdsnMethod::kVersion},
        {"/fdsnws/dataselect/1/application.wadl", FdsnService::kDataselect, FdsnMethod::kWadl},
        {"/fdsnws/availability/1/query", FdsnService::kAvailability, FdsnMethod::kQuery},
        {"/fdsnws/availability/1/extent", FdsnService::kAvailability, FdsnMethod::kExtent},
        {"/fdsnws/availability/1/version", FdsnService::kAvailability, FdsnMethod::kVersion},
        {"/fdsnws/availability/1/application.wadl", FdsnService::kAvailability, FdsnMethod::kWadl},
        {"/fdsnws/station/1/query", FdsnService::kStation, FdsnMethod::kQuery},
        {"/fdsnws/station/1/version", FdsnService::kStation, FdsnMethod::kVersion},
        {"/fdsnws/station/1/application.wadl", FdsnService::kStation, FdsnMethod::kWadl},
    };
    for (const Route& route : kRoutes) {
        const FdsnService service = route.service;
        const FdsnMethod method = route.method;
        auto handler = [service, method](const httplib::Request& req, const std::string& body,
                                         httplib::Response& res) {
            serve_fdsn(req, body, res, service, method);
        };
        server.Get(route.path, [handler](const httplib::Request& req, httplib::Response& res) {
            handler(req, std::string(), res);
        });
        if (method == FdsnMethod::kQuery || method == FdsnMethod::kExtent)
            post_route(server, route.path, handler);
    }
    // Anything else below /fdsnws/ is an FDSN 404, not the page's.
    server.Get("/fdsnws/.*", [](const httplib::Request& req, httplib::Response& res) {
        error_answer(res, 404, "No such service or method", req.target);
    });
}

void install_routes(httplib::Server& server) {
    server.set_error_handler(httplib::Server::HandlerWithResponse(uncompressed_error));
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        add_security_headers(req, res);
        // On loopback, a foreign Host means a name rebound to 127.0.0.1 by
        // another site: serve it nothing, not even the snapshot.
        if (state.loopback) {
            std::string host = host_of_authority(req.get_header_value("Host"));
            if (!is_loopback_host(host)) {
                refuse(res, 421, "unexpected Host");
                close_after_response();
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        // A compressed body would be inflated past every limit before a
        // handler saw it; the page never sends one.
        if (req.has_header("Content-Encoding")) {
            refuse(res, 415, "compressed bodies are not accepted");
            close_after_response();
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/api/status", [](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_header("Cache-Control", "no-store");
        res.set_content(status_json(), "application/json; charset=utf-8");
    });
    server.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_content(metrics_text(*station.load()), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/api/health", [](const httplib::Request&, httplib::Response& res) {
        std::string json;
        res.status = health_report(station.load()->config, &json) ? 200 : 503;
        res.set_header("Cache-Control", "no-store");
        res.set_content(json, "application/json");
    });
    post_route(server, "/api/flush", [](const httplib::Request& req, const std::string&,
                                        httplib::Response& res) {
        if (!allow_post(req, res)) return;
        post_to_ui([] { dialog_command(kFlushButtonId); });
        send_json(res, 200, nlohmann::json{{"ok", true}});
    });
    post_route(server, "/api/stop", [](const httplib::Request& req, const std::string&,
                                       httplib::Response& res) {
        if (!allow_post(req, res)) return;
        if (state.options.post_command) state.options.post_command(kStopMenuCommandId);
        post_to_ui([] { dialog_mark_stopping(); });
        send_json(res, 200, nlohmann::json{{"ok", true}});
    });
    post_route(server, "/api/widths", [](const httplib::Request& req, const std::string& text,
                                         httplib::Response& res) {
        if (!allow_post(req, res)) return;
        nlohmann::json body = nlohmann::json::parse(text, nullptr, false);
        if (body.is_discarded() || !body.is_array() || body.size() != kColumnCount) {
            refuse(res, 400, "expected an array of five widths");
            return;
        }
        auto widths = std::make_shared<std::array<int, kColumnCount>>();
        for (int i = 0; i < kColumnCount; ++i) {
            const auto& w = body[size_t(i)];
            if (!w.is_number_integer() || w.get<long long>() < 0 || w.get<long long>() > 100000) {
                refuse(res, 400, "widths must be integers from 0 to 100000");
                return;
            }
            (*widths)[size_t(i)] = int(w.get<long long>());
        }
        post_to_ui([widths] { dialog_set_column_widths(widths->data(), kColumnCount); });
        send_json(res, 200, nlohmann::json{{"ok", true}});
    });
    install_fdsn_routes(server);
    server.Get("/.*", serve_asset);
    // Other bodies are read with the same limit, and then not found.
    post_route(server, "/.*", [](const httplib::Request& req, const std::string&,
                                 httplib::Response& res) {
        error_answer(res, 404, "No such resource", req.target);
    });
}

}  // namespace

bool is_loopback_host(const std::string& host) {
    return lower(host) == "localhost" || is_loopback_address(host);
}

bool parse_http_setting(const std::string& value, std::string* host, int* port, bool* off) {
    *off = false;
    *host = "127.0.0.1";
    *port = 8660;
    if (value.empty()) return true;
    if (value == "0") {
        *off = true;
        return false;
    }
    std::string port_text = value;
    size_t colon = value.rfind(':');
    if (!value.empty() && value[0] == '[') {
        size_t end = value.find(']');
        if (end == std::string::npos || end + 1 >= value.size() || value[end + 1] != ':')
            return false;
        *host = value.substr(1, end - 1);
        port_text = value.substr(end + 2);
    } else if (colon != std::string::npos) {
        if (value.find(':') != colon) return false;  // a bare v6 address needs brackets
        *host = value.substr(0, colon);
        port_text = value.substr(colon + 1);
    }
    if (host->empty() || port_text.empty() || port_text.size() > 5) return false;
    int p = 0;
    for (char c : port_text) {
        if (c < '0' || c > '9') return false;
        p = p * 10 + (c - '0');
    }
    if (p <= 0 || p > 65535) return false;
    *port = p;
    return true;
}

std::string status_json() {
    std::shared_ptr<const StatusSnapshot> snap = dialog_snapshot();
    static const char* const kTitles[kColumnCount] = {"Канал", "Отсч./c", "К-во блоков", "Время",
                                                      "Файл"};
    nlohmann::json columns = nlohmann::json::array();
    for (int i = 0; i < kColumnCount; ++i) {
        columns.push_back({{"title", kTitles[i]}, {"width", snap->widths[i]}});
    }
    nlohmann::json rows = nlohmann::json::array();
    for (const DialogRow& row : snap->rows) {
        rows.push_back({{"name", row.name},
                        {"rate", row.rate},
                        {"queued", row.queued},
                        {"time", row.time},
                        {"file", row.file},
                        {"state_image", row.state_image},
                        {"event_mark", row.state_image == 2}});
    }
    auto connected = [](int icon, int yes, int no) -> nlohmann::json {
        if (icon == yes) return true;
        if (icon == no) return false;
        return nullptr;
    };
    nlohmann::json body = {
        {"station", snap->station},
        {"title", snap->title},
        {"columns", columns},
        {"rows", rows},
        {"event",
         {{"active", snap->event_active},
          {"lit", snap->lamp_lit},
          {"countdown", snap->event_countdown}}},
        {"error_text", snap->error_text},
        {"db", {{"connected", connected(snap->db_icon, 111, 112)}, {"icon", snap->db_icon}}},
        {"station_link",
         {{"connected", connected(snap->station_icon, 113, 114)}, {"icon", snap->station_icon}}},
        {"flush_enabled", snap->flush_enabled},
        {"stopping", snap->stopping},
        {"serial", snap->serial},
    };
    const StationContext& context = *station.load();
    const Config& config = context.config;
    nlohmann::json seedlink = nlohmann::json::array();
    for (const SeedLinkClientView& c : seedlink_clients())
        seedlink.push_back({{"address", c.address},
                            {"protocol", c.protocol},
                            {"selectors", c.selectors},
                            {"sequence", c.sequence},
                            {"lag_seconds", c.lag_seconds}});
    body["seedlink"] = seedlink;
    // The port only while it serves; failed: configured, but the ring or the port would not do.
    body["seedlink_port"] = seedlink_serving() ? config.seedlink_port : 0;
    body["seedlink_failed"] = config.seedlink_port > 0 && !seedlink_serving();
    // The page opened over HTTPS reads the feed here, over wss://.
    body["seedlink_tls_port"] = seedlink_tls_serving() ? config.seedlink_tls_port : 0;
    body["network"] = config.network;
    nlohmann::json health = nlohmann::json::array();
    for (const ChannelHealth& c : channel_health(context))
        health.push_back({{"name", c.name},
                          {"latency_seconds", std::isnan(c.latency) ? nlohmann::json(nullptr) : nlohmann::json(c.latency)},
                          {"gaps_today", c.gaps_today}});
    body["channels"] = health;
    body["ring"] = {{"bytes", context.metrics.ring_bytes.load()},
                    {"limit_bytes", config.size_limit}};
    body["liss_clients"] = context.metrics.liss_clients.load();
    return json_text(body);
}

namespace {

// One listener of the page's server; false (said on stderr and in the log)
// when its address cannot be had.
bool open_listener(Listener& into, const std::string& host, int port, bool tls) {
    const StatusServerOptions& options = state.options;
    ListenerOptions listen;
    listen.host = host;
    listen.port = port;
    listen.allow = AllowList("HTTPALLOW", options.allow, AllowList::Empty::kEveryone);
    listen.max_total = options.limits.max_connections;
    listen.max_per_address = options.limits.max_per_address;
    // Out of descriptors or memory: give the others time to close.
    listen.descriptor_pause = std::chrono::milliseconds(100);
    listen.on_accept = tls ? admit_tls : admit;
    listen.counted_with = tls ? &listener : nullptr;  // the limits hold for both ports
    listen.on_refuse = [tls](int fd, const Peer& peer, Refusal why, int) {
        refuse_client(fd, peer, why, tls);
    };
    if (into.start(std::move(listen))) return true;
    const char* what = tls ? "Страница состояния (HTTPS)" : "Страница состояния";
    std::fprintf(stderr, "%s: нет доступа к %s:%d\n", what, host.c_str(), port);
    write_log_linef("%s: нет доступа к %s:%d", what, host.c_str(), port);
    return false;
}

}  // namespace

int status_server_start(const StationContext& context, const StatusServerOptions& options) {
    std::lock_guard<std::mutex> lock(server_mutex);
    if (state.server) return 0;
    // HTTPS only with a certificate; main has said why there is none.
    const bool https = options.https_port >= 0 && tls_credentials().context() != nullptr;
    if (!options.http && !https) return 0;
    station.store(&context);
    state.options = options;
    state.loopback = (!options.http || is_loopback_host(options.host)) &&
                     (!https || is_loopback_host(options.https_host));
    stopping = std::make_unique<StopToken>();
    state.server = std::make_unique<PageServer>();
    state.server->set_payload_max_length(options.limits.max_body_bytes);
    // What the responses announce in Keep-Alive.
    state.server->set_keep_alive_max_count(size_t(options.limits.max_requests));
    state.server->set_keep_alive_timeout(options.limits.idle_ms / 1000);
    install_routes(*state.server);
    state.server->set_running(true);
    const bool plain_open =
        options.http && open_listener(listener, options.host, options.port, false);
    const bool tls_open =
        https && open_listener(tls_listener, options.https_host, options.https_port, true);
    if (!plain_open && !tls_open) {
        state = ServerState{};
        return 0;
    }
    const int port = plain_open ? listener.port() : tls_listener.port();
    if (!state.loopback && options.token.empty()) {
        std::fprintf(stderr,
                     "status page on %s:%d: HTTPTOKEN is not set, the page's commands are off\n",
                     options.host.c_str(), port);
    }
    return port;
}

void status_server_stop() {
    std::lock_guard<std::mutex> lock(server_mutex);
    if (!state.server) return;
    state.server->set_running(-1);
    // The token stays requested, so every connection's wait ends too.
    stopping->request();
    listener.stop();
    tls_listener.stop();
    std::list<Connection> all;
    {
        std::lock_guard<std::mutex> conn_lock(conn_mutex);
        all.splice(all.end(), connections);
    }
    for (Connection& c : all) c.thread.join();
    state.server.reset();
    state = ServerState{};
}

int start_status_server_with(const StationContext& context, const std::string& http_setting,
                             const std::string& token, const std::string& allow) {
    StatusServerOptions options;
    bool off = false;
    if (!parse_http_setting(http_setting, &options.host, &options.port, &off)) {
        if (!off) {
            std::fprintf(stderr, "Неверное значение HTTP: %s (host:port, port или 0)\n",
                         http_setting.c_str());
            write_log_linef("Неверное значение HTTP: %s", http_setting.c_str());
        }
        options.http = false;
    }
    // HTTPS has no default address: empty or 0 is none.
    const std::string& https = context.config.https;
    if (!https.empty() && https != "0") {
        if (!parse_http_setting(https, &options.https_host, &options.https_port, &off)) {
            std::fprintf(stderr, "Неверное значение HTTPS: %s (host:port, port или 0)\n",
                         https.c_str());
            write_log_linef("Неверное значение HTTPS: %s", https.c_str());
            options.https_port = -1;
        }
    }
    options.token = token;
    options.allow = allow;
    options.post = [](std::function<void()> call) { ui_post_call(std::move(call)); };
    options.post_command = [](int id) { ui_post_command(id); };
    return status_server_start(context, options) > 0 ? 1 : 0;
}

int start_status_server(const StationContext& context, const char* ini_file) {
    std::string http = profile_get_string("VELDRUM", "HTTP", "", ini_file);
    std::string token = profile_get_string("VELDRUM", "HTTPTOKEN", "", ini_file);
    std::string allow = profile_get_string("VELDRUM", "HTTPALLOW", "", ini_file).substr(0, 4096);
    return start_status_server_with(context, http, token, allow);
}

void stop_status_server() { status_server_stop(); }
