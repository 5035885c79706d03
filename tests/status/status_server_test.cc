// The status page server on a real loopback socket: what it serves, and the
// commands it refuses (cross-site, foreign Host, missing token), each of
// which must leave the program's flags untouched.
#include "shell/status_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/app_state.h"
#include "shell/main_window.h"
#include "shell/status_dialog.h"
#include "shell/status_page_assets.h"

namespace {

using std::chrono::steady_clock;

TEST(HttpSetting, Forms) {
    const std::pair<const char*, const char*> forms[] = {{"", "127.0.0.1:8660"},
                                                         {"0.0.0.0:9000", "0.0.0.0:9000"},
                                                         {"[::1]:8661", "::1:8661"},
                                                         {"8662", "127.0.0.1:8662"},
                                                         {"0", "off"},
                                                         {"host:", "refused"},
                                                         {":80", "refused"},
                                                         {"a:b", "refused"},
                                                         {"1.2.3.4:70000", "refused"},
                                                         {"::1:80", "refused"},
                                                         {"[::1]80", "refused"},
                                                         {"x:-1", "refused"}};
    for (const auto& [text, expected] : forms) {
        std::string host;
        int port = 0;
        bool off = false;
        const bool ok = parse_http_setting(text, &host, &port, &off);
        EXPECT_EQ(ok    ? host + ":" + std::to_string(port)
                  : off ? "off"
                        : "refused",
                  expected)
            << text;
    }
    for (const char* h : {"127.0.0.1", "127.1.2.3", "::1", "LocalHost"})
        EXPECT_TRUE(is_loopback_host(h)) << h;
    for (const char* h : {"0.0.0.0", "192.168.1.5", "evil.example"})
        EXPECT_FALSE(is_loopback_host(h)) << h;
}

class ServerTest : public ::testing::Test {
  protected:
    void start(const std::string& host, const std::string& token = "",
               const HttpLimits& limits = {}) {
        status_server_stop();
        StatusServerOptions o;
        o.host = host;
        o.port = 0;
        o.token = token;
        o.limits = limits;
        o.post_command = main_window_command;  // as the UI thread would run it
        port = status_server_start(o);
        ASSERT_GT(port, 0);
        own = {{"Origin", "http://127.0.0.1:" + std::to_string(port)},
               {"Sec-Fetch-Site", "same-origin"}};
    }
    void SetUp() override {
        dialog_reset_for_test();
        std::strcpy(station_name, "ABC");
        run_flag.store(1);
        flush_request.store(0);
        dialog_create(nullptr);
    }
    void TearDown() override {
        status_server_stop();
        dialog_reset_for_test();
    }
    int post(const std::string& path, const httplib::Headers& h, const std::string& body = "{}") {
        auto r = httplib::Client("127.0.0.1", port).Post(path, h, body, "application/json");
        return r ? r->status : -1;
    }
    int port = 0;
    httplib::Headers own;
};

// Refusals leave the program's flags untouched: cross-site posts, a foreign
// Host on loopback, a missing or wrong token off loopback, bad widths, bodies
// too big or compressed. Then the accepted forms take effect, and every
// embedded file is served as it is in web/.
TEST_F(ServerTest, RefusedCommandsChangeNothingAndOwnOnesWork) {
    auto with = [](httplib::Headers h, const char* key, const char* value) {
        h.emplace(key, value);
        return h;
    };
    const std::vector<const char*> all = {"/api/stop", "/api/flush", "/api/widths"};
    const httplib::Headers OWN = {{"Origin", "OWN"}, {"Sec-Fetch-Site", "same-origin"}};
    const struct {
        const char* host;
        const char* token;
        std::vector<const char*> paths;
        std::vector<httplib::Headers> headers;
        std::vector<std::string> bodies;
        int status;
    } cases[] = {
        {"127.0.0.1",
         "",
         all,
         {{{"Origin", "http://evil.example"}},
          {{"Origin", "null"}},
          {{"Origin", "http://127.0.0.1:1"}},
          {{"Sec-Fetch-Site", "cross-site"}},
          {{"Sec-Fetch-Site", "same-site"}, {"Origin", "OWN"}},
          {{"Referer", "http://evil.example/page"}},
          {{"Referer", "OWN.evil.example/"}}},
         {"[1,2,3,4,5]"},
         403},
        {"127.0.0.1",
         "",
         all,
         {{{"Host", "evil.example:1"}, {"Origin", "http://evil.example:1"}}},
         {"[1,2,3,4,5]"},
         421},
        {"127.0.0.1", "", all, {OWN}, {std::string(100000, '[')}, 413},
        {"127.0.0.1", "", all, {with(OWN, "Content-Encoding", "gzip")}, {"[1,2,3,4,5]"}, 415},
        {"127.0.0.1",
         "",
         {"/api/widths"},
         {OWN},
         {"", "{", "[1,2,3]", "[1,2,3,4,5,6]", "{\"a\":1}", "[1,2,\"3\",4,5]", "[1,2,3,4,1e9]",
          "[1,2,3,4,-1]", "[1.5,2,3,4,5]"},
         400},
        {"0.0.0.0",
         "s3cret",
         all,
         {OWN, with(OWN, "X-VelDrum-Token", "wrong")},
         {"[1,2,3,4,5]"},
         401},
        {"0.0.0.0", "", all, {with(OWN, "X-VelDrum-Token", "")}, {"[1,2,3,4,5]"}, 403},
    };
    int w[kColumnCount];
    for (const auto& c : cases) {
        start(c.host, c.token);
        for (const char* path : c.paths) {
            for (httplib::Headers h : c.headers) {
                for (auto& [key, value] : h)
                    if (value.rfind("OWN", 0) == 0) value.replace(0, 3, own.begin()->second);
                for (const std::string& body : c.bodies)
                    EXPECT_EQ(post(path, h, body), c.status) << path << " " << body.substr(0, 20);
            }
        }
        dialog_column_widths(w);
        EXPECT_EQ(run_flag.load() * 10 + flush_request.load(), 10) << c.status;
        EXPECT_TRUE(dialog_snapshot()->flush_enabled) << c.status;
        EXPECT_EQ(format_saved_widths(w), "111,111,111,111,111") << c.status;
    }
    // Off loopback without a token, reading stays open; on loopback a foreign
    // Host may not even read (DNS rebinding).
    EXPECT_EQ(httplib::Client("127.0.0.1", port).Get("/api/status")->status, 200);
    start("0.0.0.0", "s3cret");
    EXPECT_EQ(post("/api/flush", with(own, "X-VelDrum-Token", "s3cret")), 200);
    EXPECT_EQ(flush_request.load(), 1);
    EXPECT_FALSE(dialog_snapshot()->flush_enabled);
    start("127.0.0.1");
    httplib::Client c("127.0.0.1", port);
    EXPECT_EQ(c.Get("/api/status", {{"Host", "evil.example"}})->status, 421);
    EXPECT_EQ(post("/api/widths", own, "[100,0,50,111,111]"), 200);  // 0 keeps its column
    dialog_column_widths(w);
    EXPECT_EQ(format_saved_widths(w), "100,111,50,111,111");
    EXPECT_EQ(post("/api/stop", {}), 200);  // a script without browser headers
    EXPECT_EQ(run_flag.load(), 0);

    for (size_t i = 0; i < kStatusPageAssetCount; ++i) {
        const std::string path = kStatusPageAssets[i].path;
        std::stringstream file;
        file << std::ifstream(std::string(VELDRUM_SOURCE_DIR) + "/web" + path, std::ios::binary)
                    .rdbuf();
        auto r = c.Get(path == "/index.html" ? "/" : path);
        EXPECT_EQ(r->body, file.str()) << path << " is not embedded byte for byte";
    }
    EXPECT_GT(kStatusPageAssetCount, 3u);
    EXPECT_EQ(c.Get("/")->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(c.Get("/")->get_header_value("Content-Security-Policy").find("frame-ancestors"),
              std::string::npos);
    EXPECT_EQ(c.Get("/../etc/passwd")->status, 404);
    EXPECT_EQ(c.Get("/api/status?x=%ZZ%00")->body, status_json());
}

// A non-blocking client connection from the loopback address `from`.
int connect_from(const std::string& from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{AF_INET, 0, {inet_addr(from.c_str())}, {}};
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 2000);
    return fd;
}

// Sends data while it collects the answer; with no data, waits up to ms for a
// status line. False once the server closed.
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
        if (n > 0) got.append(buf, size_t(n));
        if ((p.revents & POLLIN) && n <= 0) return false;
        n = off < data.size() ? send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL) : 0;
        if (n < 0 && errno != EAGAIN) return false;
        off += std::max<ssize_t>(n, 0);
        if (sent) *sent += std::max<ssize_t>(n, 0);
    }
    return true;
}

long vm_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
    return -1;
}

// Heads that would hold memory or a connection: each is cut off with its
// status, and a head just inside the limits still passes.
TEST_F(ServerTest, HostileHeadsAreCutOff) {
    HttpLimits limits;
    limits.request_read_ms = 1000;
    start("127.0.0.1", "", limits);
    const std::string get = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    // Host, 97 more and two pads (lines stay under the parser's own 8 KiB).
    std::string full = get, small_headers;
    for (int i = 3; i < limits.max_header_count; ++i) full += "X-" + std::to_string(i) + ": v\r\n";
    size_t pad = (limits.max_head_bytes - full.size() - 20) / 2;
    full += "X-Pad: " + std::string(pad, 'p') +
            "\r\nX-Pad: " + std::string(limits.max_head_bytes - full.size() - 20 - pad, 'p');
    for (int i = 0; i < (1 << 17); ++i) small_headers += "X-A: b\r\n";  // 1 MiB
    const struct {
        const char* name;
        std::string head, unit;
        int repeat, pause_ms;
        const char *tail, *status;
    } cases[] = {
        {"200 MB of small headers", get, small_headers, 200, 0, "", "431"},
        {"one header too many", full.substr(0, full.rfind("X-Pad")), "a: b\r\n", 3, 0, "\r\n",
         "431"},
        {"a head of exactly the limits", full, "", 0, 0, "\r\n\r\n", "200"},
        {"one byte too many", full, "p", 1, 0, "\r\n\r\n", "431"},
        {"bare LF", "GET / HTTP/1.1\nHost: 127.0.0.1\n\n", "", 0, 0, "", "400"},
        {"a byte every 100 ms", get, "X", 50, 100, "", "408"},
    };
    for (const auto& c : cases) {
        std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak RSS
        const long rss_before = vm_kb("VmRSS:");
        int fd = connect_from("127.0.0.1", port);
        std::string got;
        size_t sent = 0;
        bool open = exchange(fd, c.head, got, &sent);
        for (int i = 0; open && i < c.repeat; ++i, usleep(useconds_t(c.pause_ms) * 1000))
            open = exchange(fd, c.unit, got, &sent);
        if (open) exchange(fd, c.tail, got);
        exchange(fd, "", got, nullptr, 3000);
        close(fd);
        EXPECT_EQ(got.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.name;
        EXPECT_TRUE(c.repeat < 100 || sent < c.unit.size() * 10) << c.name << ": not cut off";
        EXPECT_TRUE(c.repeat < 100 || vm_kb("VmHWM:") - rss_before < 16 * 1024) << c.name;
    }
}

// Slow clients neither keep the page from others nor delay the stop; past
// the per-address and total limits a connection is refused at once.
TEST_F(ServerTest, SlowClientsHoldNeitherThePageNorTheStop) {
    HttpLimits limits;
    start("127.0.0.1", "", limits);
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {  // 20 from each of 127.0.0.1 ... 127.0.0.10
        slow.push_back(connect_from("127.0.0." + std::to_string(1 + i / 20), port));
        send(slow.back(), "GET / HTTP/1.1\r\nHost: 127.0", 27, MSG_NOSIGNAL);
        if (i != 7) continue;
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(2, 0);
        auto r = c.Get("/api/status");
        EXPECT_TRUE(r && r->status == 200) << "the page does not answer beside 8 slow clients";
    }
    int refused = 0;
    for (size_t i = 0; i < slow.size(); ++i) {
        std::string got;
        exchange(slow[i], "", got, nullptr, 20);
        bool admitted = i % 20 < size_t(limits.max_per_address) &&
                        i / 20 < size_t(limits.max_connections / limits.max_per_address);
        EXPECT_EQ(got.substr(0, 12), admitted ? "" : "HTTP/1.1 503") << i;
        refused += got.rfind("HTTP/1.1 503", 0) == 0;
    }
    EXPECT_EQ(refused, 200 - limits.max_connections);
    auto t0 = steady_clock::now();
    status_server_stop();
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(2));
    for (int fd : slow) {
        std::string got;
        exchange(fd, "", got);
        EXPECT_EQ(got, "") << "still open after the stop";
        close(fd);
    }
}

}  // namespace
