// The status page's HTTP server: the status dialog and the tray menu as a
// web page, plus a JSON view of the same snapshot for monitoring scripts.
//
// Threads: the server runs its own listener thread and worker threads; they
// only read dialog_snapshot() and hand commands to the post function, which
// runs them on the user-interface thread. They never touch the tables.
//
// Endpoints: GET / (the page), GET /app.js, /style.css, /icons/*.svg,
// GET /api/status (JSON), POST /api/flush (button 7), POST /api/stop
// (command 40002), POST /api/widths (column widths, JSON array of five),
// and the FDSN web services under /fdsnws/ (fdsn/fdsn_service.h), which
// only read.
// Every POST must come from the page itself (same origin); on a
// non-loopback address it must also carry the token in X-VelDrum-Token.
//
// Connections: the shared listener (net/listener.h), a second one for HTTPS,
// and one thread per connection; the limits below keep any client from holding memory,
// threads or the stop.
// cpp-httplib only parses a request head we have already read and bounded,
// and writes the response through the same connection. A body announced
// past the limit is refused from its head. Error answers (400 and up) are
// never compressed and carry the FDSN error text when they have no body of
// their own.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "common/station_context.h"

struct HttpLimits {
    // Each connection has a thread; the page polls over one or two.
    int max_connections = 64;
    // A browser opens up to 6 per host; the rest is for scripts and probes.
    int max_per_address = 16;
    // Beside those, for loopback connections past them: a second to ask
    // GET /api/health, else 503. A health check still gets its answer while
    // every other slot is held.
    int health_slots = 2;
    // Request line and headers; a browser's are 1-2 KiB, big cookies fit.
    size_t max_head_bytes = 16 * 1024;
    int max_header_count = 100;
    // Decoded body, whatever its type: the page posts a few bytes of JSON,
    // an FDSN POST a few hundred lines.
    size_t max_body_bytes = 16 * 1024;
    // What may follow a head on the wire: the body with its chunk framing.
    size_t max_body_wire_bytes = 64 * 1024;
    int max_requests = 100;  // per connection, then it is closed
    // Wait for the next request on an open connection.
    int idle_ms = 5000;
    // Head and body of one request, from its first byte.
    int request_read_ms = 10000;
    // A response its client stopped reading; a response that moves has no
    // time limit (streamed data).
    int write_stall_ms = 10000;
};

struct StatusServerOptions {
    std::string host = "127.0.0.1";
    int port = 8660;    // 0 picks a free port (tests)
    bool http = true;   // false: HTTPS alone
    // The same routes over TLS, with the process's certificate (net/tls.h);
    // -1: none; 0 picks a free port (tests). Not started without a certificate.
    std::string https_host = "127.0.0.1";
    int https_port = -1;
    std::string token;  // required for POSTs when host is not loopback
    // Client addresses let in beside loopback ("10.0.0.0/8, 192.0.2.7");
    // empty: everyone who can reach the address.
    std::string allow;
    // Runs a piece of work on the UI thread (button 7, width changes);
    // empty: runs it on the calling thread (tests).
    std::function<void(std::function<void()>)> post;
    // Posts a menu command to the main window (40002, the same way as the
    // stop signals); empty: dialog_command on the calling thread.
    std::function<void(int)> post_command;
    HttpLimits limits;
};

// Parses the [VELDRUM] HTTP value: "host:port", "[v6]:port" or "port";
// empty gives the default 127.0.0.1:8660; "0" switches the server off
// (returns false with *off set). A malformed value returns false too.
bool parse_http_setting(const std::string& value, std::string* host, int* port, bool* off);

// True for 127.0.0.0/8, ::1 and "localhost".
bool is_loopback_host(const std::string& host);

// Starts the server for the station (which must outlive it); returns the
// bound port, or 0 (with a message on stderr and in the log) when it cannot listen.
int status_server_start(const StationContext& station, const StatusServerOptions& options);
void status_server_stop();

// Start-up: starts the server from the [VELDRUM] HTTP, HTTPTOKEN and HTTPALLOW values of
// ini_file (./VELDRUM.INI), and HTTPS from the station's configuration. Returns 1 when serving, 0 when switched off or
// when the value is malformed or the address cannot be had (message on
// stderr and in the log; the program runs on without a page).
int start_status_server(const StationContext& station, const char* ini_file = "./VELDRUM.INI");
int start_status_server_with(const StationContext& station, const std::string& http_setting,
                             const std::string& token, const std::string& allow = "");
// Shut-down: closes every connection at once, whatever its client does, and
// joins the server's threads.
void stop_status_server();

// The JSON text of /api/status for the current snapshot.
std::string status_json();
