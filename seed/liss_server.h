// LISS server: serves the queued records to one TCP client at a time on the
// LISS port, back to back, never reading from the client.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "net/listener.h"

class RecordPipe;
class StopToken;

// Intervals of the server; tests shorten them, the service uses the defaults.
struct LissTimings {
    std::chrono::milliseconds idlePoll{1000};
    std::chrono::milliseconds recordPause{200};
    std::chrono::milliseconds noDataLimit{150000};
};

// The client is served on the listener's own thread: while it is, no other
// connection is accepted and the next ones wait in the backlog of 1.
class LissServer {
public:
  // Listens on `port` on every IPv4 address. -1 when the port is 0 or
  // below (no server), 0 when the port cannot be had (said on stderr and
  // in the log), 1 when serving. `clients` (if any) shows whether one is served.
  int start(RecordPipe* pipe, int port, LissTimings timings = {},
            std::atomic<int32_t>* clients = nullptr);
  // Closes the client (with its log line) and the port; prompt, whatever
  // the client does.
  void stop() { listener_.stop(); }
  int port() const { return listener_.port(); }

private:
    void serve(Accepted client);

    RecordPipe* pipe_ = nullptr;
    LissTimings timings_;
    std::atomic<int32_t>* clients_ = nullptr;
    Listener listener_;
};

// Sends the whole buffer on a non-blocking socket, waiting for writability
// with poll; -1 on a send failure, when the socket stays full for longer
// than the limit, or on the stop or when run_flag clears. Returns length
// otherwise.
long sendAll(int fd, const unsigned char* buffer, size_t length, std::chrono::milliseconds limit,
             const StopToken& stop);
