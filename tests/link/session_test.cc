// The session cycle against a scripted acquisition server on loopback:
// a refused call is called again, a session delivers its messages to the
// decoder, a session lost is hung up and called again, and the shut-down
// hang-up ends the cycle.
#include "link/session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "link/block_format.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "link/station_indicator.h"
#include "platform/netbios_wire.h"
#include "common/app_state.h"
#include "tests/platform/session_peer.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace block_format;

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

using session_peer::read_exact;

void send_packet(int fd, uint8_t type, const std::vector<uint8_t>& body) {
    ASSERT_TRUE(session_peer::send_all(fd, session_peer::packet(type, body)));
}

std::vector<uint8_t> sample_block(int channel) {
    std::vector<uint8_t> b(kHeaderSize + 20, 0);
    write_u16(b.data() + kType, kSampleBlock);
    write_u16(b.data() + kHeaderLength, kHeaderSize);
    write_u16(b.data() + kDataLength, 20);
    write_u16(b.data() + kChannel, static_cast<uint16_t>(channel));
    write_u16(b.data() + kYear, 2026);
    b[kMonth] = 12;
    b[kDay] = 7;
    return b;
}

std::vector<uint8_t> announcement(int channel) {
    std::vector<uint8_t> b(kAnnouncementStep, 0);
    write_u16(b.data(), kChannelGroupBlock);
    write_u16(b.data() + kHeaderSize, 10);     // rate
    write_u16(b.data() + kHeaderSize + 4, 1);  // one channel
    b[kHeaderSize + 6] = static_cast<uint8_t>(channel);
    std::memcpy(b.data() + kHeaderSize + 7, "NBTZ", 4);
    return b;
}

TEST(SessionCycle, CallsAgainReceivesAndRecovers) {
    char tmpl[] = "/tmp/session_test.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::ofstream(dir + "/lmhosts") << "127.0.0.1:" << ntohs(addr.sin_port) << " NBTS.DCH.SRV\n";
    setenv("VELDRUM_LMHOSTS", (dir + "/lmhosts").c_str(), 1);

    LogCapture log;
    std::snprintf(station_name, sizeof station_name, "NBTS");
    config.lana = 0;
    config.netbios_name_format = 1;
    closing.store(0);  // a repeated run in the same process starts open again
    roster_pending = 1;
    roster_count = 0;
    const int channel = 201;

    // Takes the next call; checks the names it carries.
    auto take_call = [&]() -> int {
        pollfd pfd{listener, POLLIN, 0};
        if (poll(&pfd, 1, 10000) != 1) return -1;
        int peer = accept(listener, nullptr, nullptr);
        uint8_t request[4 + 2 * netbios_wire::kEncodedNameSize];
        EXPECT_TRUE(read_exact(peer, request, sizeof request));
        EXPECT_EQ(request[0], netbios_wire::kSessionRequest);
        UCHAR called[NCBNAMSZ], calling[NCBNAMSZ];
        EXPECT_TRUE(netbios_wire::decode_name(request + 4, called));
        EXPECT_TRUE(netbios_wire::decode_name(request + 4 + netbios_wire::kEncodedNameSize, calling));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(called), NCBNAMSZ), "NBTS.DCH.SRV    ");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(calling), NCBNAMSZ), "NBTS.DCH.CLTX1  ");
        return peer;
    };

    call_server(&session_ncb);

    // Refused: reported with the code, and called again.
    int peer = take_call();
    ASSERT_GE(peer, 0);
    send_packet(peer, netbios_wire::kNegativeResponse, {netbios_wire::kCalledNameNotPresent});
    close(peer);
    peer = take_call();
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(log.has("#Код ошибки Netbios: 20#")) << log.text();
    EXPECT_EQ(station_connected.load(), 0);

    // Accepted: each message reaches the decoder, one RECEIVE after another.
    send_packet(peer, netbios_wire::kPositiveResponse, {});
    std::vector<uint8_t> first = announcement(channel);
    std::vector<uint8_t> block = sample_block(channel);
    first.insert(first.end(), block.begin(), block.end());
    send_packet(peer, netbios_wire::kSessionMessage, first);
    send_packet(peer, netbios_wire::kKeepAlive, {});
    send_packet(peer, netbios_wire::kSessionMessage, block);
    ASSERT_TRUE(eventually([&] { return channel_table[channel].queued_blocks == 2; }));
    EXPECT_EQ(roster_count, 1);
    EXPECT_STREQ(channel_roster[0].name, "NBTZ");
    EXPECT_EQ(station_connected.load(), 1);
    EXPECT_GT(session_number, 0);

    // The station goes away: the failed RECEIVE is reported, the session
    // hung up and the station called again.
    close(peer);
    peer = take_call();
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(log.has("#Код ошибки Netbios: 10#")) << log.text();
    send_packet(peer, netbios_wire::kPositiveResponse, {});
    send_packet(peer, netbios_wire::kSessionMessage, block);
    ASSERT_TRUE(eventually([&] { return channel_table[channel].queued_blocks == 3; }));
    EXPECT_EQ(station_connected.load(), 1);

    // Shut-down: the hang-up ends the outstanding RECEIVE and nothing follows.
    close_session();
    ASSERT_TRUE(eventually([] { return station_connected.load() == 0; }));
    uint8_t byte;
    EXPECT_FALSE(read_exact(peer, &byte, 1));
    pollfd pfd{listener, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 300), 0);  // no new call

    close(peer);
    close(listener);
    drain_channel(channel);
    reset_slot_queue(channel);
    roster_count = 0;
    roster_pending = 1;
    unsetenv("VELDRUM_LMHOSTS");
    std::filesystem::remove_all(dir);
}

}  // namespace
