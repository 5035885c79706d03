// One listening TCP socket and its accept loop, the same for every service:
// the allow list, the connection limits, and a prompt stop.
//
// Threads: start() runs the accept loop on a thread of its own, which waits
// on the socket and on the stop token at once and never polls. It calls the
// service's handlers; a handler may keep the socket (a thread per
// connection, a queue into an event loop) or serve it in place (one client
// at a time), as long as it watches stop_token(). The counts behind the
// limits are kept under a lock: a connection's Slot may be released on any
// thread. stop() requests the stop, joins the thread and closes the socket.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/stop_token.h"
#include "net/allow_list.h"

// A client's address as text (IPv4-mapped IPv6 as IPv4) and its port.
struct Peer {
    std::string address;
    int port = 0;
    bool v6 = false;  // a real IPv6 address
    // "192.0.2.7:40000" or "[2001:db8::5]:40000".
    std::string name() const;
};

class Listener;

// A connection's place in the counts; given back when released or destroyed.
class Slot {
public:
    Slot() = default;
    Slot(Listener* owner, std::string address) : owner_(owner), address_(std::move(address)) {}
    Slot(Slot&& other) noexcept { *this = std::move(other); }
    Slot& operator=(Slot&& other) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { release(); }
    void release();

private:
    Listener* owner_ = nullptr;
    std::string address_;
};

// An admitted connection: a non-blocking socket the handler now owns.
struct Accepted {
    int fd = -1;
    Peer peer;
    Slot slot;
};

enum class Refusal {
    kAddress,      // not in the allow list
    kTotal,        // max_total connections are held
    kPerAddress,   // max_per_address connections from this address are held
    kDescriptors,  // accept failed for want of descriptors or memory (fd -1)
};

struct ListenerOptions {
    std::string host;  // empty: any address, IPv6 with IPv4 beside it, else IPv4
    int port = 0;      // 0: any free port
    int backlog = 128;
    AllowList allow;
    int max_total = 0;        // 0: no limit
    int max_per_address = 0;  // 0: no limit
    // Another listener whose counts this one's connections join (a TLS port
    // beside its plain one), so that the limits hold for both together.
    Listener* counted_with = nullptr;
    // After a failed accept for want of descriptors, the others get this
    // long to close some before the next try.
    std::chrono::milliseconds descriptor_pause{200};
    // An admitted connection. Called on the accept thread.
    std::function<void(Accepted)> on_accept;
    // A refused one: the handler owns fd (-1 for kDescriptors) and closes
    // it, after any answer of its own; `held` is the count that is full.
    // None: the socket is closed at once.
    std::function<void(int fd, const Peer& peer, Refusal why, int held)> on_refuse;
};

class Listener {
public:
    Listener() = default;
    ~Listener() { stop(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds and listens (SO_REUSEADDR), then starts the accept loop. False
    // when the address cannot be had; the caller says so in its own words.
    bool start(ListenerOptions options);
    // Requests the stop, joins the accept loop and closes the socket. The
    // token stays requested until the next start, for the handlers' waits.
    void stop();
    int port() const { return port_; }
    const StopToken& stop_token() const { return *stop_; }
    // Connections admitted and not yet released.
    int held() const;

private:
    friend class Slot;
    void release(const std::string& address);
    void run();
    void take(int fd, const Peer& peer);

    ListenerOptions options_;
    int fd_ = -1;
    int port_ = 0;
    std::unique_ptr<StopToken> stop_ = std::make_unique<StopToken>();
    std::thread thread_;
    mutable std::mutex lock_;
    int total_ = 0;
    std::map<std::string, int> per_address_;
};
