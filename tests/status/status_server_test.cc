// The status server on loopback: refused commands change nothing, hostile clients are cut off.
#include "shell/status_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "common/app_state.h"
#include "link/station_indicator.h"
#include "platform/ui.h"
#include "platform/ui_testing.h"
#include "recorder/file_index.h"
#include "recorder/file_index_testing.h"
#include "shell/main_window.h"
#include "shell/status_dialog.h"
#include "shell/status_dialog_testing.h"
#include "tests/seed/liss_client.h"

namespace {

using std::chrono::steady_clock;

struct ServerTest : ::testing::Test {
    void start(const std::string& host) {
        status_server_stop();
        StatusServerOptions o;
        o.host = host, o.port = 0, o.post_command = main_window_command, o.limits = limits;
        ASSERT_GT(port = status_server_start(station, o), 0);
        own = "http://127.0.0.1:" + std::to_string(port);
    }
    void SetUp() override {
        dialog_reset_for_test(), std::strcpy(station.station_name, "ABC");
        dialog_take_status_reports(station);
        run_flag.store(1), flush_request.store(0), dialog_create(nullptr);
    }
    void TearDown() override { status_server_stop(), dialog_reset_for_test(); }
    int post(const std::string& path, httplib::Headers h, const std::string& body = "{}") {
        for (auto& [key, value] : h)  // "OWN" stands for the server's own origin
            if (value.rfind("OWN", 0) == 0) value.replace(0, 3, own);
        auto r = httplib::Client("127.0.0.1", port).Post(path, h, body, "application/json");
        return r ? r->status : -1;
    }
    std::string widths() {
        int w[kColumnCount];
        dialog_column_widths(w);
        return format_saved_widths(w);
    }
    HttpLimits limits;
    int port = 0;
    std::string own;
    StationContext station;
};

// Cross-site posts, foreign Hosts (DNS rebinding), no or a wrong token off loopback, bad widths,
// big or compressed bodies: refused, nothing changed; a script's widths are taken.
TEST_F(ServerTest, SettingsFormsRefusedCommandsChangeNothingAndOwnOnesWork) {
    const std::pair<const char*, const char*> forms[] = {
        {"", "127.0.0.1:8660"}, {"0.0.0.0:9000", "0.0.0.0:9000"}, {"[::1]:8661", "::1:8661"},
        {"8662", "127.0.0.1:8662"}, {"0", "off"}, {"host:", "refused"}, {":80", "refused"},
        {"a:b", "refused"}, {"1.2.3.4:70000", "refused"}, {"::1:80", "refused"},
        {"[::1]80", "refused"}, {"x:-1", "refused"}};
    for (const auto& [text, expected] : forms) {
        std::string host;
        int port = 0;
        bool off = false, ok = parse_http_setting(text, &host, &port, &off);
        EXPECT_EQ(ok ? host + ":" + std::to_string(port) : off ? "off" : "refused", expected);
    }
    for (auto [h, loopback] : {std::pair{"127.0.0.1", true}, {"127.1.2.3", true}, {"::1", true},
                               {"LocalHost", true}, {"0.0.0.0", false}, {"evil.example", false}})
        EXPECT_EQ(is_loopback_host(h), loopback) << h;
    struct Case { const char* path; httplib::Headers head; int status; std::string body = "{}"; };
    const Case cases[] = {
        {"flush", {{"Origin", "null"}}, 403}, {"stop", {{"Sec-Fetch-Site", "cross-site"}}, 403},
        {"stop", {{"Origin", "http://evil.example"}}, 403},
        {"flush", {{"Sec-Fetch-Site", "same-site"}, {"Origin", "OWN"}}, 403},
        {"widths", {{"Referer", "http://evil.example/page"}}, 403, "[1,2,3,4,5]"},
        {"stop", {{"Referer", "OWN.evil.example/"}}, 403}, {"flush", {{"Host", "evil:1"}}, 421},
        {"flush", {{"Content-Encoding", "gzip"}}, 415}};
    start("0.0.0.0");  // without a key in VELDRUM.INI commands are off there
    EXPECT_EQ(post("/api/stop", {{"Origin", "OWN"}, {"X-VelDrum-Token", ""}}), 403);
    const std::string ini = testing::TempDir() + "status-" + std::to_string(getpid()) + ".ini";
    std::ofstream(ini) << "[VELDRUM]\nHTTP=0.0.0.0:" << port << "\nHTTPTOKEN=s3cret-key\n";
    status_server_stop();
    ASSERT_EQ(start_status_server(station, ini.c_str()), 1);
    for (const char* path : {"/api/stop", "/api/flush"})
        for (const char* token : {"", "s3cret-kez"})
            EXPECT_EQ(post(path, {{"Origin", "OWN"}, {"X-VelDrum-Token", token}}), 401) << token;
    EXPECT_EQ(post("/api/flush", {{"Origin", "OWN"}, {"X-VelDrum-Token", "s3cret-key"}}), 200);
    std::remove(ini.c_str()), ui_reset_for_test();  // drops the flush posted to no loop
    start("127.0.0.1");
    for (const auto& [path, head, status, body] : cases)
        EXPECT_EQ(post(std::string("/api/") + path, head, body), status) << path << " " << status;
    for (const char* body : {"", "{", "[1,2,3]", "[1,2,3,4,5,6]", "{\"a\":1}", "[1,2,\"3\",4,5]",
                             "[1,2,3,4,1e9]", "[1,2,3,4,-1]", "[1.5,2,3,4,5]"})
        EXPECT_EQ(post("/api/widths", {}, body), 400) << body;
    EXPECT_EQ(run_flag.load() * 10 + flush_request.load(), 10);
    EXPECT_EQ(widths(), "111,111,111,111,111");

    httplib::Client c("127.0.0.1", port);
    EXPECT_EQ(c.Get("/api/status", {{"Host", "evil.example"}})->status, 421);
    EXPECT_EQ(c.Get("/../etc/passwd")->status, 404);
    EXPECT_NE(c.Get("/")->get_header_value("Content-Security-Policy").find("frame-ancestors"),
              std::string::npos);
    EXPECT_EQ(post("/api/widths", {}, "[100,0,50,111,111]"), 200);  // no browser headers
    EXPECT_EQ(widths(), "100,111,50,111,111");                      // 0 keeps its column
}

// A non-blocking client connection from the loopback address `from`, once connected.
int connect_from(const std::string& from, int port) {
    pollfd p{liss_client::connect_from(from.c_str(), port, SOCK_NONBLOCK), POLLOUT, 0};
    return poll(&p, 1, 2000), p.fd;
}

// Sends data while collecting the answer, or waits up to ms for a status line; false if closed.
bool exchange(int fd, const std::string& data, std::string& got, size_t* sent = nullptr,
              int ms = 1000) {
    size_t off = 0;
    for (auto end = steady_clock::now() + std::chrono::milliseconds(ms);
         off < data.size() ||
         (data.empty() && steady_clock::now() < end && got.find("\r\n") == std::string::npos);) {
        pollfd p{fd, short(data.empty() ? POLLIN : POLLIN | POLLOUT), 0};
        poll(&p, 1, 50);
        char buf[4096];
        ssize_t n = (p.revents & POLLIN) ? recv(fd, buf, sizeof buf, 0) : 0;
        if ((p.revents & POLLIN) && n <= 0) return false;
        got.append(buf, size_t(std::max<ssize_t>(n, 0)));
        n = off < data.size() ? send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL) : 0;
        if (n < 0 && errno != EAGAIN) return false;
        off += size_t(std::max<ssize_t>(n, 0));
        if (sent) *sent += size_t(std::max<ssize_t>(n, 0));
    }
    return true;
}
std::string answer(int fd, int ms) { std::string g; exchange(fd, "", g, nullptr, ms); return g; }

// One request on its own connection, with our Host and ObsPy's Accept-Encoding: all the server
// sends until it closes, or 15 s.
std::string ask(int port, const std::string& head, const std::string& body,
                const std::string& from = "127.0.0.1") {
    const int fd = connect_from(from, port);
    std::string got;
    const char* ours = "Host: 127.0.0.1\r\nAccept-Encoding: gzip, deflate\r\n"
                       "Connection: close\r\n\r\n";
    exchange(fd, head + ours + body, got);
    timeval wait{15, 0};
    fcntl(fd, F_SETFL, 0), setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, size_t(n));
    return close(fd), got;
}

// Errors reach a client that asked for gzip as plain FDSN text; one body limit, whatever the
// content type or framing, refused from the head when it is announced. Heads holding memory or
// a connection are cut off (one just inside the limits passes); slow clients block neither the
// page nor the stop; past the address and total limits: refused.
TEST_F(ServerTest, HostileClientsAreCutOffAndLimited) {
    limits.request_read_ms = 1000;  // an answer that waits for the body is a 408
    start("127.0.0.1");
    const size_t limit = limits.max_body_bytes;
    const std::string ds = "POST /fdsnws/dataselect/1/query HTTP/1.1\r\n",
                      te = "Transfer-Encoding: chunked\r\n",
                      form = "Content-Type: application/x-www-form-urlencoded\r\n",
                      big(limit + 1, 'x'), whole(limit, 'x'), too_big = "at most 16384 bytes";
    auto length = [](size_t n) { return "Content-Length: " + std::to_string(n) + "\r\n"; };
    auto chunked = [](const std::string& body) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", body.size());
        return size + body + "\r\n0\r\n\r\n";
    };
    const struct { std::string name, head, body, status, says; } errors[] = {
        {"form, limit + 1", ds + form + length(limit + 1), big, "413", too_big},
        {"text, limit + 1", ds + "Content-Type: text/plain\r\n" + length(limit + 1), big, "413",
         too_big},
        {"form, chunked, limit + 1", ds + form + te, chunked(big), "413", too_big},
        {"form, limit", ds + form + length(limit), whole, "400", "NET STA LOC CHA"},
        {"chunked, limit", ds + te, chunked(whole), "400", "NET STA LOC CHA"},
        {"a gigabyte announced", ds + length(1000000000), "", "413", too_big},
        {"length not a number", ds + "Content-Length: 1e9\r\n", "", "400", "must be a number"}};
    for (const auto& c : errors) {
        const std::string got = ask(port, c.head, c.body);
        const size_t body = got.find("\r\n\r\n");
        EXPECT_EQ(got.substr(0, 12), "HTTP/1.1 " + c.status) << c.name << "\n" << got;
        EXPECT_NE(got.find("Error " + c.status + ": ", body), std::string::npos) << c.name;
        EXPECT_NE(got.find(c.says, body), std::string::npos) << c.name << "\n" << got;
        EXPECT_EQ(got.find("Content-Encoding"), std::string::npos) << c.name;
    }

    const std::string get = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::string full = get, small_headers;  // Host, 97 more and two pads under 8 KiB each
    for (int i = 3; i < limits.max_header_count; ++i) full += "X-" + std::to_string(i) + ": v\r\n";
    size_t pad = (limits.max_head_bytes - full.size() - 20) / 2;
    full += "X-Pad: " + std::string(pad, 'p') +
            "\r\nX-Pad: " + std::string(limits.max_head_bytes - full.size() - 20 - pad, 'p');
    for (int i = 0; i < (1 << 17); ++i) small_headers += "X-A: b\r\n";  // 1 MiB
    const std::tuple<const char*, std::string, std::string, int, int, std::string, const char*>
        cases[] = {  // name, head, unit sent repeat times pause_ms apart, tail, status
            {"200 MB of small headers", get, small_headers, 200, 0, "", "431"},
            {"one header too many", full.substr(0, full.rfind("X-Pad")), "a: b\r\n", 3, 0, "\r\n",
             "431"},
            {"a head of exactly the limits", full, "", 0, 0, "\r\n\r\n", "200"},
            {"one byte too many", full, "p", 1, 0, "\r\n\r\n", "431"},
            {"bare LF", "GET / HTTP/1.1\nHost: 127.0.0.1\n\n", "", 0, 0, "", "400"},
            {"a byte every 100 ms", get, "X", 50, 100, "", "408"}};
    for (const auto& [name, head, unit, repeat, pause_ms, tail, status] : cases) {
        int fd = connect_from("127.0.0.1", port);
        std::string got;
        size_t sent = 0;
        bool open = exchange(fd, head, got, &sent);
        for (int i = 0; open && i < repeat; ++i, usleep(useconds_t(pause_ms) * 1000))
            open = exchange(fd, unit, got, &sent);
        if (open) exchange(fd, tail, got);
        exchange(fd, "", got, nullptr, 3000);
        close(fd);
        EXPECT_EQ(got.substr(0, 12), std::string("HTTP/1.1 ") + status) << name;
        // Cut off early: no more than these bytes can have been held.
        EXPECT_TRUE(repeat < 100 || sent < unit.size() * 10) << name << ": not cut off";
    }

    limits = {};
    start("127.0.0.1");
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {  // 20 from each of 127.0.0.1 ... 127.0.0.10
        slow.push_back(connect_from("127.0.0." + std::to_string(1 + i / 20), port));
        send(slow.back(), "GET / HTTP/1.1\r\nHost: 127.0", 27, MSG_NOSIGNAL);
        if (i != 7) continue;
        // From an address of its own, and closed once answered: a kept-alive
        // connection from 127.0.0.1 would hold a slot the counts below expect free.
        EXPECT_EQ(ask(port, "GET /api/status HTTP/1.1\r\n", "", "127.0.0.11").substr(0, 12),
                  "HTTP/1.1 200")
            << "the page does not answer beside 8 slow clients";
    }
    for (size_t i = 0; i < slow.size(); ++i) {
        bool admitted = i % 20 < size_t(limits.max_per_address) &&
                        i / 20 < size_t(limits.max_connections / limits.max_per_address);
        const std::string got = answer(slow[i], admitted ? 20 : 3000);  // health slots: 1 s
        EXPECT_EQ(got.substr(0, 12), admitted ? "" : "HTTP/1.1 503") << i;
    }
    // Every slot is held, and a health check from loopback still gets its answer.
    update_station_indicator(station.status, true), set_index_connected_for_test(true);
    auto health = httplib::Client("127.0.0.1", port).Get("/api/health");
    EXPECT_TRUE(health && health->status == 200 && health->body.find("ok") != std::string::npos);
    auto status = httplib::Client("127.0.0.1", port).Get("/api/status");
    EXPECT_TRUE(status && status->status == 503) << "a health slot serves more than health";
    update_station_indicator(station.status, false), set_index_connected_for_test(false);
    auto t0 = steady_clock::now();
    status_server_stop();
    // Well below the 10 s a slow client may take: the stop does not wait for them.
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(5));
    for (int fd : slow) {
        EXPECT_EQ(answer(fd, 1000), "") << "still open after the stop";
        close(fd);
    }
}

}  // namespace
