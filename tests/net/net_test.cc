// The allow lists and the listener every server uses, on real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <string>
#include <vector>

#include "net/allow_list.h"
#include "net/listener.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace std::chrono_literals;
using Empty = AllowList::Empty;

// Both keys read the same way and fail the same way.
TEST(AllowList, RangesEdgesAndBadEntries) {
    struct Case {
        const char* list;
        const char* address;
        bool admitted;
    };
    const Case cases[] = {
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "10.1.200.3", true},
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "10.2.0.1", false},
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "192.0.2.8", false},
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "2001:db8::5", true},
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "2001:db9::5", false},
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "::1", true},  // loopback, always
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "127.3.0.1", true},
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", "not an address", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},  // a v4 range holds no v6 address
        {"::/0", "2001:db8::1", true},
        {"192.0.2.7/32", "192.0.2.7", true},
        {"192.0.2.7/32", "192.0.2.6", false},
        {"2001:db8::7/128", "2001:db8::7", true},
        {"255.255.255.255", "255.255.255.255", true},
        {"10.0.0.0/7", "11.255.255.255", true},
        {"10.0.0.0/7", "12.0.0.0", false},
    };
    for (const char* key : {"HTTPALLOW", "SLALLOW"}) {
        LogCapture log;
        for (const Case& c : cases)
            EXPECT_EQ(AllowList(key, c.list, Empty::kLoopbackOnly).admits(c.address), c.admitted)
                << key << " " << c.list << " " << c.address;
        // Empty: the status page lets everyone in, SeedLink loopback only.
        EXPECT_TRUE(AllowList(key, " , ", Empty::kEveryone).admits("203.0.113.9"));
        EXPECT_FALSE(AllowList(key, "", Empty::kLoopbackOnly).admits("203.0.113.9"));
        EXPECT_TRUE(AllowList(key, "", Empty::kLoopbackOnly).admits("127.0.0.1"));
        EXPECT_EQ(log.text(), "");
        for (const char* bad : {"10.0.0.0/33", "256.0.0.1", "10.0.0/8", "host.example", "::/129",
                                "1.2.3.4/", "1.2.3.4/-1", "1.2.3.4/1000"}) {
            // A good entry before the bad one is dropped too.
            const AllowList list(key, std::string("203.0.113.0/24, ") + bad, Empty::kEveryone);
            EXPECT_TRUE(list.loopback_only()) << bad;
            EXPECT_FALSE(list.admits("203.0.113.9")) << bad;
            EXPECT_TRUE(list.admits("::1")) << bad;
            EXPECT_TRUE(log.has((std::string(key) + ": '" + bad + "' не адрес и не диапазон").c_str()))
                << log.text();
        }
    }
}

// A loopback client from a chosen source address (any of 127.0.0.0/8).
int connect_from(const char* source, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{AF_INET, 0, {}, {}}, to{AF_INET, htons(uint16_t(port)), {}, {}};
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Events {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Accepted> held;
    std::vector<std::string> seen;  // "A 127.0.0.1" or "R 127.0.0.1 <why> <held>"
    void add(std::string e) {
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(std::move(e));
        changed.notify_all();
    }
    // The nth event, once the listener has had it (a hang guard only).
    std::string at(size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, 30s, [&] { return seen.size() > n; });
        return seen.size() > n ? seen[n] : "none";
    }
};

// Per address and in total, the last place is given and the next refused;
// a released place is given again; the stop ends a client served in place.
TEST(Listener, LimitsHoldAtTheEdgeAndStopEndsAServedClient) {
    Events ev;
    Listener listener;
    ListenerOptions o;
    o.host = "127.0.0.1";
    o.max_total = 3;
    o.max_per_address = 2;
    o.on_accept = [&](Accepted a) {
        ev.add("A " + a.peer.address);
        if (a.peer.address != "127.0.0.9") {
            std::lock_guard<std::mutex> hold(ev.lock);
            ev.held.push_back(std::move(a));
            return;
        }
        // Served in place, as LISS does, until the stop.
        const bool stopped = listener.stop_token().wait_for(60s);
        close(a.fd);
        ev.add(stopped ? "stopped" : "not stopped");
    };
    o.on_refuse = [&](int fd, const Peer& p, Refusal why, int held) {
        close(fd);
        ev.add("R " + p.address + " " + std::to_string(int(why)) + " " + std::to_string(held));
    };
    ASSERT_TRUE(listener.start(std::move(o)));
    const std::string per = std::to_string(int(Refusal::kPerAddress)) + " 2",
                      total = std::to_string(int(Refusal::kTotal)) + " 3";
    const std::pair<const char*, std::string> steps[] = {
        {"127.0.0.1", "A 127.0.0.1"},           {"127.0.0.1", "A 127.0.0.1"},
        {"127.0.0.1", "R 127.0.0.1 " + per},    {"127.0.0.2", "A 127.0.0.2"},
        {"127.0.0.3", "R 127.0.0.3 " + total},  {"", ""},  // one place given back
        {"127.0.0.9", "A 127.0.0.9"},
    };
    std::vector<int> clients;
    size_t n = 0;
    for (const auto& [source, expected] : steps) {
        if (*source == '\0') {
            std::lock_guard<std::mutex> hold(ev.lock);
            ev.held.erase(ev.held.begin());  // its Slot goes with it
            continue;
        }
        clients.push_back(connect_from(source, listener.port()));
        ASSERT_GE(clients.back(), 0) << source;
        EXPECT_EQ(ev.at(n++), expected);
    }
    EXPECT_EQ(listener.held(), 3);
    listener.stop();
    EXPECT_EQ(ev.at(n), "stopped");
    for (Accepted& a : ev.held) close(a.fd);
    ev.held.clear();
    EXPECT_EQ(listener.held(), 0);
    for (int fd : clients) close(fd);
}

}  // namespace
