// The session cycle against a scripted acquisition server on loopback:
// a refused call is called again, a session delivers its messages to the
// decoder, a session lost is hung up and called again, and the shut-down
// hang-up ends the cycle.
#include "link/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "common/app_state.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "link/station_indicator.h"
#include "link_blocks.h"
#include "tests/platform/session_peer.h"
#include "tests/seed/liss_client.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace link_blocks;
namespace wire = netbios_wire;

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

void send_packet(int fd, uint8_t type, const Bytes& body = {}) {
    ASSERT_TRUE(session_peer::send_all(fd, session_peer::packet(type, body)));
}

TEST(SessionCycle, CallsAgainReceivesAndRecovers) {
    char tmpl[] = "/tmp/session_test.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const int listener = liss_client::listen_loopback();
    std::ofstream(dir + "/lmhosts") << "127.0.0.1:" << liss_client::local_port(listener) << " NBTS.DCH.SRV\n";
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
        if (!liss_client::readable_within(listener, 10000)) return -1;
        const int peer = accept(listener, nullptr, nullptr);
        uint8_t request[4 + 2 * wire::kEncodedNameSize];
        UCHAR called[NCBNAMSZ], calling[NCBNAMSZ];
        EXPECT_TRUE(session_peer::read_exact(peer, request, sizeof request));
        EXPECT_EQ(request[0], wire::kSessionRequest);
        EXPECT_TRUE(wire::decode_name(request + 4, called) &&
                    wire::decode_name(request + 4 + wire::kEncodedNameSize, calling));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(called), NCBNAMSZ), "NBTS.DCH.SRV    ");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(calling), NCBNAMSZ), "NBTS.DCH.CLTX1  ");
        return peer;
    };
    call_server(&session_ncb);

    // Refused: reported with the code, and called again.
    int peer = take_call();
    ASSERT_GE(peer, 0);
    send_packet(peer, wire::kNegativeResponse, {wire::kCalledNameNotPresent});
    close(peer);
    peer = take_call();
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(log.has("#Код ошибки Netbios: 20#")) << log.text();
    EXPECT_EQ(station_connected.load(), 0);

    // Accepted: each message reaches the decoder, one RECEIVE after another.
    Bytes first(kAnnouncementStep, 0);
    write_u16(first.data(), kChannelGroupBlock);
    write_u16(first.data() + kHeaderSize + kGroupRate, 10);
    write_u16(first.data() + kHeaderSize + kGroupCount, 1);
    first[kHeaderSize + kGroupEntries] = static_cast<uint8_t>(channel);
    std::memcpy(&first[kHeaderSize + kGroupEntries + kGroupEntryName], "NBTZ", 4);
    const Bytes block = sample_block(channel, 10);
    send_packet(peer, wire::kPositiveResponse);
    send_packet(peer, wire::kSessionMessage, join({first, block}));
    send_packet(peer, wire::kKeepAlive);
    send_packet(peer, wire::kSessionMessage, block);
    ASSERT_TRUE(eventually([&] { return queued_block_count(channel) == 2; }));
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
    send_packet(peer, wire::kPositiveResponse);
    send_packet(peer, wire::kSessionMessage, block);
    ASSERT_TRUE(eventually([&] { return queued_block_count(channel) == 3; }));
    EXPECT_EQ(station_connected.load(), 1);

    // Shut-down: the hang-up ends the outstanding RECEIVE and nothing follows.
    close_session();
    ASSERT_TRUE(eventually([] { return station_connected.load() == 0; }));
    uint8_t byte;
    EXPECT_FALSE(session_peer::read_exact(peer, &byte, 1));
    EXPECT_FALSE(liss_client::readable_within(listener, 300));  // no new call

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
