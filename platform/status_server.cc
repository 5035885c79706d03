// Status page server (cpp-httplib). See status_server.h for the endpoints.
#include "platform/status_server.h"

#include <httplib.h>

#include <arpa/inet.h>

#include <array>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <chrono>

#include "platform/profile.h"
#include "platform/status_page_assets.h"
#include "platform/ui.h"
#include "shell/oplog.h"
#include "shell/status_dialog.h"

namespace {

struct ServerState {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    StatusServerOptions options;
    bool loopback = true;
};

std::mutex server_mutex;
ServerState state;

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
    std::string own = "http://" + lower(host);
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
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json; charset=utf-8");
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

void add_security_headers(httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "same-origin");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self'; style-src 'self'; script-src 'self'; "
                   "frame-ancestors 'none'");
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

void install_routes(httplib::Server& server) {
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        add_security_headers(res);
        // On loopback, a foreign Host means a name rebound to 127.0.0.1 by
        // another site: serve it nothing, not even the snapshot.
        if (state.loopback) {
            std::string host = host_of_authority(req.get_header_value("Host"));
            if (!is_loopback_host(host)) {
                refuse(res, 421, "unexpected Host");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/api/status", [](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_header("Cache-Control", "no-store");
        res.set_content(status_json(), "application/json; charset=utf-8");
    });
    server.Post("/api/flush", [](const httplib::Request& req, httplib::Response& res) {
        if (!allow_post(req, res)) return;
        post_to_ui([] { dialog_command(kFlushButtonId); });
        send_json(res, 200, nlohmann::json{{"ok", true}});
    });
    server.Post("/api/stop", [](const httplib::Request& req, httplib::Response& res) {
        if (!allow_post(req, res)) return;
        if (state.options.post_command) {
            state.options.post_command(kStopMenuCommandId);
            post_to_ui([] { dialog_mark_stopping(); });
        } else {
            dialog_command(kStopMenuCommandId);
        }
        send_json(res, 200, nlohmann::json{{"ok", true}});
    });
    server.Post("/api/widths", [](const httplib::Request& req, httplib::Response& res) {
        if (!allow_post(req, res)) return;
        nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
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
    server.Get("/.*", serve_asset);
}

}  // namespace

bool is_loopback_host(const std::string& host) {
    if (lower(host) == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
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
        if (end == std::string::npos || end + 1 >= value.size() || value[end + 1] != ':') return false;
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
        {"event", {{"active", snap->event_active}, {"lit", snap->lamp_lit},
                   {"countdown", snap->event_countdown}}},
        {"error_text", snap->error_text},
        {"db", {{"connected", connected(snap->db_icon, 111, 112)}, {"icon", snap->db_icon}}},
        {"station_link",
         {{"connected", connected(snap->station_icon, 113, 114)}, {"icon", snap->station_icon}}},
        {"flush_enabled", snap->flush_enabled},
        {"stopping", snap->stopping},
        {"serial", snap->serial},
    };
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int status_server_start(const StatusServerOptions& options) {
    std::lock_guard<std::mutex> lock(server_mutex);
    if (state.server) return 0;
    state.options = options;
    state.loopback = is_loopback_host(options.host);
    state.server = std::make_unique<httplib::Server>();
    // The page's requests are tiny; a big body is not ours.
    state.server->set_payload_max_length(16 * 1024);
    install_routes(*state.server);
    int port = options.port;
    bool bound = false;
    if (port == 0) {
        port = state.server->bind_to_any_port(options.host);
        bound = port > 0;
    } else {
        bound = state.server->bind_to_port(options.host, port);
    }
    if (!bound) {
        std::fprintf(stderr, "status page: cannot listen on %s:%d\n", options.host.c_str(),
                     options.port);
        write_log_linef("Страница состояния: нет доступа к %s:%d", options.host.c_str(),
                        options.port);
        state.server.reset();
        return 0;
    }
    if (!state.loopback && options.token.empty()) {
        std::fprintf(stderr,
                     "status page on %s:%d: HTTPTOKEN is not set, the page's commands are off\n",
                     options.host.c_str(), port);
    }
    httplib::Server* server = state.server.get();
    state.thread = std::thread([server] { server->listen_after_bind(); });
    return port;
}

void status_server_stop() {
    std::lock_guard<std::mutex> lock(server_mutex);
    if (!state.server) return;
    // stop() only reaches a server that is already in its accept loop.
    for (int i = 0; i < 200 && !state.server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    state.server->stop();
    if (state.thread.joinable()) state.thread.join();
    state.server.reset();
    state.options = StatusServerOptions{};
}

int start_status_server_with(const std::string& http_setting, const std::string& token) {
    StatusServerOptions options;
    bool off = false;
    if (!parse_http_setting(http_setting, &options.host, &options.port, &off)) {
        if (off) return 0;
        std::fprintf(stderr, "VELDRUM.INI [VELDRUM] HTTP=%s: expected host:port, port or 0\n",
                     http_setting.c_str());
        write_log_linef("Неверное значение HTTP: %s", http_setting.c_str());
        return 0;
    }
    options.token = token;
    options.post = [](std::function<void()> call) { ui_post_call(std::move(call)); };
    options.post_command = [](int id) { ui_post_command(id); };
    return status_server_start(options) > 0 ? 1 : 0;
}

int start_status_server(const char* ini_file) {
    std::string http = profile_get_string("VELDRUM", "HTTP", "", ini_file);
    std::string token = profile_get_string("VELDRUM", "HTTPTOKEN", "", ini_file);
    return start_status_server_with(http, token);
}

void stop_status_server() { status_server_stop(); }
