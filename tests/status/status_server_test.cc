// The status page server on a real loopback socket: what it serves, and the
// commands it refuses (cross-site, foreign Host, missing token), each of
// which must leave the program's flags untouched.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "link/channel_table.h"
#include "platform/status_page_assets.h"
#include "platform/status_server.h"
#include "shell/app_state.h"
#include "shell/status_dialog.h"

namespace {

class ServerTest : public ::testing::Test {
protected:
    void start(const std::string& host, const std::string& token = "") {
        StatusServerOptions o;
        o.host = host;
        o.port = 0;
        o.token = token;
        port = status_server_start(o);
        ASSERT_GT(port, 0);
    }
    void SetUp() override {
        dialog_reset_for_test();
        std::memset(channel_roster, 0, sizeof channel_roster);
        roster_count = 0;
        std::strcpy(station_name, "ABC");
        run_flag.store(1);
        flush_request.store(0);
        dialog_create(nullptr);
    }
    void TearDown() override {
        status_server_stop();
        dialog_reset_for_test();
        roster_count = 0;
    }
    httplib::Headers own_origin() const {
        std::string o = "http://127.0.0.1:" + std::to_string(port);
        return {{"Origin", o}, {"Sec-Fetch-Site", "same-origin"}};
    }
    httplib::Result post(const std::string& path, const httplib::Headers& h,
                         const std::string& body = "{}") {
        httplib::Client c("127.0.0.1", port);
        return c.Post(path.c_str(), h, body, "application/json");
    }
    void expect_untouched() {
        EXPECT_EQ(run_flag.load(), 1);
        EXPECT_EQ(flush_request.load(), 0);
        EXPECT_TRUE(dialog_snapshot()->flush_enabled);
        int w[kColumnCount];
        dialog_column_widths(w);
        for (int v : w) EXPECT_EQ(v, kDefaultColumnWidth);
    }
    int port = 0;
};

TEST(HttpSetting, Forms) {
    std::string host;
    int port = 0;
    bool off = false;
    EXPECT_TRUE(parse_http_setting("", &host, &port, &off));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8660);
    EXPECT_FALSE(parse_http_setting("0", &host, &port, &off));
    EXPECT_TRUE(off);
    EXPECT_TRUE(parse_http_setting("0.0.0.0:9000", &host, &port, &off));
    EXPECT_FALSE(off);
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_EQ(port, 9000);
    EXPECT_TRUE(parse_http_setting("[::1]:8661", &host, &port, &off));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 8661);
    EXPECT_TRUE(parse_http_setting("8662", &host, &port, &off));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8662);
    for (const char* bad : {"host:", ":80", "a:b", "1.2.3.4:70000", "::1:80", "[::1]80", "x:-1"}) {
        EXPECT_FALSE(parse_http_setting(bad, &host, &port, &off)) << bad;
        EXPECT_FALSE(off) << bad;
    }
    EXPECT_TRUE(is_loopback_host("127.0.0.1"));
    EXPECT_TRUE(is_loopback_host("127.1.2.3"));
    EXPECT_TRUE(is_loopback_host("::1"));
    EXPECT_TRUE(is_loopback_host("LocalHost"));
    EXPECT_FALSE(is_loopback_host("0.0.0.0"));
    EXPECT_FALSE(is_loopback_host("192.168.1.5"));
    EXPECT_FALSE(is_loopback_host("evil.example"));
}

TEST_F(ServerTest, ServesPageAssetsAndStatus) {
    start("127.0.0.1");
    roster_count = 1;
    std::snprintf(channel_roster[0].name, kChannelNameSize, "<b>x");
    channel_roster[0].sample_rate = 20;
    dialog_rebuild_channel_list();

    httplib::Client c("127.0.0.1", port);
    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("Сброс буферов"), std::string::npos);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors"),
              std::string::npos);
    for (const char* path : {"/app.js", "/style.css", "/icons/lamp_lit.svg", "/icons/db_off.svg"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 200) << path;
    }
    auto missing = c.Get("/../etc/passwd");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);

    auto st = c.Get("/api/status");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->status, 200);
    // The name travels as a JSON string, never as markup of the page.
    EXPECT_EQ(page->body.find("<b>x"), std::string::npos);
    nlohmann::json j = nlohmann::json::parse(st->body, nullptr, false);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["rows"][0]["name"], "<b>x");
    EXPECT_EQ(j["title"], "[ ABC ] - Сервер дисковой петли");
}

TEST_F(ServerTest, SameOriginCommandsTakeEffect) {
    start("127.0.0.1");
    auto r = post("/api/flush", own_origin());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(flush_request.load(), 1);
    EXPECT_FALSE(dialog_snapshot()->flush_enabled);

    r = post("/api/widths", own_origin(), "[100,0,50,111,111]");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    int w[kColumnCount];
    dialog_column_widths(w);
    EXPECT_EQ(format_saved_widths(w), "100,111,50,111,111");

    // A script without browser headers may use the commands on loopback.
    r = post("/api/stop", {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(run_flag.load(), 0);
}

TEST_F(ServerTest, CrossSitePostsAreRefused) {
    start("127.0.0.1");
    const std::string own = "http://127.0.0.1:" + std::to_string(port);
    const httplib::Headers attempts[] = {
        {{"Origin", "http://evil.example"}},
        {{"Origin", "null"}},
        {{"Origin", "http://127.0.0.1:1"}},
        {{"Sec-Fetch-Site", "cross-site"}},
        {{"Sec-Fetch-Site", "same-site"}, {"Origin", own}},
        {{"Referer", "http://evil.example/page"}},
        {{"Referer", own + ".evil.example/"}},
    };
    for (const char* path : {"/api/stop", "/api/flush", "/api/widths"}) {
        for (const auto& h : attempts) {
            auto r = post(path, h, "[1,2,3,4,5]");
            ASSERT_TRUE(r) << path;
            EXPECT_EQ(r->status, 403) << path;
        }
    }
    expect_untouched();
}

TEST_F(ServerTest, ForeignHostIsRefusedOnLoopback) {
    start("127.0.0.1");
    httplib::Headers h = {{"Host", "evil.example:" + std::to_string(port)},
                          {"Origin", "http://evil.example:" + std::to_string(port)}};
    auto r = post("/api/stop", h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 421);
    httplib::Client c("127.0.0.1", port);
    auto g = c.Get("/api/status", {{"Host", "evil.example"}});
    ASSERT_TRUE(g);
    EXPECT_EQ(g->status, 421);
    expect_untouched();
}

TEST_F(ServerTest, NonLoopbackNeedsTheToken) {
    start("0.0.0.0", "s3cret");
    auto r = post("/api/stop", own_origin());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    auto h = own_origin();
    h.emplace("X-VelDrum-Token", "wrong");
    r = post("/api/flush", h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    r = post("/api/widths", h, "[1,2,3,4,5]");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    expect_untouched();

    auto good = own_origin();
    good.emplace("X-VelDrum-Token", "s3cret");
    r = post("/api/flush", good);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(flush_request.load(), 1);
}

TEST_F(ServerTest, NonLoopbackWithoutTokenHasNoCommands) {
    start("0.0.0.0");
    auto h = own_origin();
    h.emplace("X-VelDrum-Token", "");
    auto r = post("/api/stop", h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    expect_untouched();
    httplib::Client c("127.0.0.1", port);
    auto g = c.Get("/api/status");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->status, 200);
}

TEST_F(ServerTest, MalformedWidthsAreRefused) {
    start("127.0.0.1");
    for (const char* body : {"", "{", "[1,2,3]", "[1,2,3,4,5,6]", "{\"a\":1}", "[1,2,\"3\",4,5]",
                             "[1,2,3,4,1e9]", "[1,2,3,4,-1]", "[1.5,2,3,4,5]"}) {
        auto r = post("/api/widths", own_origin(), body);
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body;
    }
    expect_untouched();
}

TEST(Assets, EmbeddedFilesMatchWebFolder) {
    ASSERT_GT(kStatusPageAssetCount, 0u);
    for (size_t i = 0; i < kStatusPageAssetCount; ++i) {
        const StatusPageAsset& a = kStatusPageAssets[i];
        std::ifstream in(std::string(VELDRUM_SOURCE_DIR) + "/web" + a.path, std::ios::binary);
        ASSERT_TRUE(in) << a.path << ": run cmake -P web/embed.cmake";
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ(ss.str(), std::string(a.data, a.size))
            << a.path << " differs from web/: run cmake -P web/embed.cmake";
    }
    EXPECT_NE(find_status_page_asset("/index.html"), nullptr);
    EXPECT_EQ(find_status_page_asset("/nothing"), nullptr);
}

}  // namespace

namespace {

TEST_F(ServerTest, OversizedOrGarbageRequestsDoNotHurt) {
    start("127.0.0.1");
    auto r = post("/api/widths", own_origin(), std::string(100000, '['));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
    expect_untouched();
    // A raw line of junk on the socket gets an answer or a close, never a hang.
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(5, 0);
    auto g = c.Get("/api/status?x=%ZZ%00");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->status, 200);
}

}  // namespace
