// LISS server: serves the queued records to one TCP client at a time on the
// LISS port, back to back, never reading from the client.
#pragma once

#include <chrono>
#include <cstddef>

class RecordPipe;

// Intervals of the server; tests shorten them, the service uses the defaults.
struct LissTimings {
    std::chrono::milliseconds acceptPoll{500};
    std::chrono::milliseconds idlePoll{1000};
    std::chrono::milliseconds recordPause{200};
    std::chrono::milliseconds noDataLimit{150000};
};

// Thread procedure: listens on config.liss_port until run_flag clears.
// Returns -1 when the port is 0 or below, 0 otherwise (also when the port
// cannot be bound or listened on, which is said on stderr and in the log).
int lissServerThread(RecordPipe* pipe, LissTimings timings = {});

// Makes every LISS server thread end at its next look (the stop of the
// process; the run flag is set again before the stop command).
void lissRequestStop();

// Sends the whole buffer on a non-blocking socket, waiting for writability
// with poll; -1 on a send failure, when the socket stays full for longer
// than the limit, or when run_flag clears. Returns length otherwise.
long sendAll(int fd, const unsigned char* buffer, size_t length, std::chrono::milliseconds limit,
             std::chrono::milliseconds pollSlice);
