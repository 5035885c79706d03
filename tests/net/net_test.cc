// The allow lists and the listener every server uses, on real loopback sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>

#include "net/listener.h"
#include "tests/seed/liss_client.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace std::chrono_literals;
using Empty = AllowList::Empty;

// Both keys read the same way and fail the same way: loopback only, one line.
TEST(AllowList, RangesEdgesAndBadEntries) {
    const std::tuple<const char*, std::vector<const char*>, std::vector<const char*>> cases[] = {
        {"10.1.0.0/16, 192.0.2.7;2001:db8::/32", {"10.1.200.3", "2001:db8::5", "::1", "127.3.0.1"},
         {"10.2.0.1", "192.0.2.8", "2001:db9::5", "not an address"}},
        {"0.0.0.0/0", {"203.0.113.9"}, {"2001:db8::1"}},  // a v4 range holds no v6 address
        {"::/0 192.0.2.7/32", {"2001:db8::1", "192.0.2.7"}, {"192.0.2.6"}},
        {"2001:db8::7/128 255.255.255.255", {"2001:db8::7", "255.255.255.255"}, {"2001:db8::8"}},
        {"10.0.0.0/7", {"11.255.255.255"}, {"12.0.0.0", "9.255.255.255"}},
        {"", {"127.0.0.1"}, {"203.0.113.9"}},  // SeedLink's empty list
    };
    for (const char* key : {"HTTPALLOW", "SLALLOW"}) {
        LogCapture log;
        for (const auto& [list, in, out] : cases) {
            const AllowList allow(key, list, Empty::kLoopbackOnly);
            for (const char* a : in) EXPECT_TRUE(allow.admits(a)) << list << " " << a;
            for (const char* a : out) EXPECT_FALSE(allow.admits(a)) << list << " " << a;
        }
        EXPECT_TRUE(AllowList(key, " , ", Empty::kEveryone).admits("203.0.113.9"));
        EXPECT_EQ(log.text(), "");
        for (const char* bad : {"10.0.0.0/33", "256.0.0.1", "10.0.0/8", "host.example", "::/129",
                                "1.2.3.4/", "1.2.3.4/-1", "1.2.3.4/1000"}) {
            // The good entry before the bad one goes with it.
            const AllowList allow(key, std::string("203.0.113.0/24, ") + bad, Empty::kEveryone);
            EXPECT_TRUE(allow.loopback_only() && allow.admits("::1") && !allow.admits("203.0.113.9"))
                << bad;
            EXPECT_TRUE(log.has((std::string(key) + ": '" + bad + "' не адрес и не диапазон").c_str()))
                << log.text();
        }
    }
}

// Per address and in total the last place is given and the next refused, on
// either of two ports counted together; a released place is given again; the
// stop ends a client served in place.
TEST(Listener, LimitsHoldAtTheEdgeAndStopEndsAServedClient) {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Accepted> held;
    std::vector<std::string> seen;
    auto note = [&](std::string e) {
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(std::move(e)), changed.notify_all();
    };
    auto event = [&](size_t n) {  // the nth, once the listener has had it (a hang guard only)
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, 30s, [&] { return seen.size() > n; });
        return seen.size() > n ? seen[n] : "none";
    };
    Listener listener;
    ListenerOptions o;
    o.host = "127.0.0.1", o.max_total = 3, o.max_per_address = 2;
    o.on_accept = [&](Accepted a) {
        note("A " + a.peer.address);
        if (a.peer.address == "127.0.0.9") {  // served in place, as LISS does, until the stop
            note(listener.stop_token().wait_for(60s) ? "stopped" : "not stopped");
            close(a.fd);
            return;
        }
        std::lock_guard<std::mutex> hold(lock);
        held.push_back(std::move(a));
    };
    o.on_refuse = [&](int fd, const Peer& p, Refusal why, int count) {
        close(fd);
        note("R " + p.address + (why == Refusal::kTotal ? " total " : " per address ") +
             std::to_string(count));
    };
    ListenerOptions beside = o;  // a second port in the same counts: 127.0.0.4 comes there
    beside.counted_with = &listener;
    ASSERT_TRUE(listener.start(std::move(o)));
    Listener second;
    ASSERT_TRUE(second.start(std::move(beside)));
    const std::pair<const char*, const char*> steps[] = {
        {"127.0.0.1", "A 127.0.0.1"}, {"127.0.0.1", "A 127.0.0.1"},
        {"127.0.0.1", "R 127.0.0.1 per address 2"}, {"127.0.0.2", "A 127.0.0.2"},
        {"127.0.0.3", "R 127.0.0.3 total 3"}, {"127.0.0.4", "R 127.0.0.4 total 3"},
        {nullptr, nullptr},  // one place given back
        {"127.0.0.9", "A 127.0.0.9"}, {nullptr, "stopped"}};
    std::vector<int> clients;
    size_t n = 0;
    for (const auto& [source, expected] : steps) {
        if (source != nullptr) {
            const int port = (std::string(source) == "127.0.0.4" ? second : listener).port();
            clients.push_back(liss_client::connect_from(source, port));
            ASSERT_GE(clients.back(), 0) << source;
        } else if (expected == nullptr) {
            std::lock_guard<std::mutex> hold(lock);
            close(held.front().fd), held.erase(held.begin());  // its Slot goes with it
            continue;
        } else {
            EXPECT_EQ(listener.held(), 3);
            listener.stop();
        }
        EXPECT_EQ(event(n++), expected);
    }
    for (Accepted& a : held) close(a.fd);
    held.clear();
    EXPECT_EQ(listener.held(), 0);
    for (int fd : clients) close(fd);
}

}  // namespace
