// The status page's HTTP server: the status dialog and the tray menu as a
// web page, plus a JSON view of the same snapshot for monitoring scripts.
//
// Threads: the server runs its own listener thread and worker threads; they
// only read dialog_snapshot() and hand commands to the post function, which
// runs them on the user-interface thread. They never touch the tables.
//
// Endpoints: GET / (the page), GET /app.js, /style.css, /icons/*.svg,
// GET /api/status (JSON), POST /api/flush (button 7), POST /api/stop
// (command 40002), POST /api/widths (column widths, JSON array of five).
// Every POST must come from the page itself (same origin); on a
// non-loopback address it must also carry the token in X-VelDrum-Token.
#pragma once

#include <functional>
#include <string>

struct StatusServerOptions {
    std::string host = "127.0.0.1";
    int port = 8660;        // 0 picks a free port (tests)
    std::string token;      // required for POSTs when host is not loopback
    // Runs a piece of work on the UI thread (button 7, width changes);
    // empty: runs it on the calling thread (tests).
    std::function<void(std::function<void()>)> post;
    // Posts a menu command to the main window (40002, the same way as the
    // stop signals); empty: dialog_command on the calling thread.
    std::function<void(int)> post_command;
};

// Parses the [VELDRUM] HTTP value: "host:port", "[v6]:port" or "port";
// empty gives the default 127.0.0.1:8660; "0" switches the server off
// (returns false with *off set). A malformed value returns false too.
bool parse_http_setting(const std::string& value, std::string* host, int* port, bool* off);

// True for 127.0.0.0/8, ::1 and "localhost".
bool is_loopback_host(const std::string& host);

// Starts the server; returns the bound port, or 0 (with a message on stderr
// and in the log) when it cannot listen.
int status_server_start(const StatusServerOptions& options);
void status_server_stop();

// Start-up: starts the server from the [VELDRUM] HTTP and HTTPTOKEN values of
// ini_file (./VELDRUM.INI). Returns 1 when serving, 0 when switched off or
// when the value is malformed or the address cannot be had (message on
// stderr and in the log; the program runs on without a page).
int start_status_server(const char* ini_file = "./VELDRUM.INI");
int start_status_server_with(const std::string& http_setting, const std::string& token);
// Shut-down: stops serving and joins the server's thread.
void stop_status_server();

// The JSON text of /api/status for the current snapshot.
std::string status_json();
