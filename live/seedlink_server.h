// The SeedLink server: SeedLink 3.1 and 4.0, over plain TCP and over
// WebSocket on the same port, to many clients, from the record ring, and
// miniSEED 3 to SeedLink 4.0 clients that select it, from a ring of its own.
//
// Threads: the listener (net/listener.h) accepts on a thread of its own,
// applies SLALLOW and the limits, and queues admitted sockets; one thread
// runs an epoll loop over every client, the ring's wakeup descriptor and a
// wake descriptor (new sockets, the stop); it alone touches the clients. Each client has its own
// cursor in the ring and its own bounded output buffer, so one that stops reading only falls
// behind; when the ring overwrites its cursor it is dropped. The status page reads a copy of the
// client list that the loop publishes under a lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/station_context.h"

class RecordRing;

// Listens on the configured SEEDLINK port (none when 0) and starts the loop.
// False when there is no server: port 0, the ring not open, or the port
// cannot be had (said in the log and on stderr). Clients that select
// miniSEED 3 are served from `ring3` when it is given and open; its failure
// turns off only them.
bool start_seedlink_server(RecordRing& ring, const StationContext& station,
                           RecordRing* ring3 = nullptr);
// Closes every connection and joins the thread.
void stop_seedlink_server();
// True while the port is open: the server started and the ring is usable.
// A ring that fails closes every connection and the port.
bool seedlink_serving();

struct SeedLinkClientView {
    std::string address;    // "127.0.0.1:40000"
    std::string protocol;   // "SeedLink 4.0 WebSocket", "SeedLink 3.1 TCP"
    std::string selectors;  // stations and selectors as requested
    uint64_t sequence;      // of the last packet sent, 0 before the first
    double lag_seconds;     // from the end of that packet's data to now
};
std::vector<SeedLinkClientView> seedlink_clients();
