// The NetBIOS provider against a scripted session-service peer on loopback:
// the test thread listens on TCP, answers the SESSION REQUEST and writes the
// packets by hand; the called name is resolved through an lmhosts file.
#include "platform/netbios.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/netbios_wire.h"
#include "tests/platform/session_peer.h"

namespace {

// Completions of ASYNCH commands, collected by ncb_post.
std::mutex done_lock;
std::condition_variable done_cv;
std::set<NCB*> done;

void on_complete(NCB* ncb) {
    std::lock_guard<std::mutex> g(done_lock);
    done.insert(ncb);
    done_cv.notify_all();
}

// Waits for the completion of ncb; false if none came within the bound.
bool completed(NCB* ncb, int bound_ms = 10000) {
    std::unique_lock<std::mutex> g(done_lock);
    bool ok = done_cv.wait_for(g, std::chrono::milliseconds(bound_ms), [&] { return done.count(ncb) > 0; });
    done.erase(ncb);
    return ok;
}

void set_name(UCHAR field[NCBNAMSZ], const char* text, bool blank_padded) {
    std::memset(field, blank_padded ? ' ' : 0, NCBNAMSZ);
    std::memcpy(field, text, std::strlen(text));
}

NCB make_ncb(UCHAR command) {
    NCB ncb;
    std::memset(&ncb, 0, sizeof ncb);
    ncb.ncb_command = command;
    ncb.ncb_rto = 250;
    ncb.ncb_sto = 250;
    return ncb;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }  // and so no copies
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

using session_peer::packet;
using session_peer::read_exact;

void send_all(int fd, const std::vector<uint8_t>& bytes) { ASSERT_TRUE(session_peer::send_all(fd, bytes)); }

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class NetbiosTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/netbios_test.XXXXXX";
        dir_ = mkdtemp(tmpl);
        listener_ = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener_.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener_.fd, 4), 0);
        socklen_t len = sizeof addr;
        getsockname(listener_.fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        // Names in lower case: the look-up ignores case and trailing padding.
        std::ofstream(dir_ + "/lmhosts") << "# scripted peer\n"
                                         << "127.0.0.1:" << port_ << "  nbtp.dch.srv   # the server\n"
                                         << "127.0.0.1:1 NBTP.DCH.NONE\n";
        setenv("VELDRUM_LMHOSTS", (dir_ + "/lmhosts").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELDRUM_LMHOSTS");
        std::filesystem::remove_all(dir_);
    }

    // Submits an ASYNCH CALL of the peer and takes the connection; the
    // SESSION REQUEST is left in *request.
    Fd start_call(NCB* ncb, bool blank_padded, std::vector<uint8_t>* request, UCHAR sto = 250) {
        *ncb = make_ncb(NCBCALL | ASYNCH);
        ncb->ncb_sto = sto;
        set_name(ncb->ncb_callname, "NBTP.DCH.SRV", blank_padded);
        set_name(ncb->ncb_name, "NBTP.DCH.CLTX1", blank_padded);
        ncb->ncb_post = on_complete;
        EXPECT_EQ(Netbios(ncb), NRC_PENDING);
        pollfd pfd{listener_.fd, POLLIN, 0};
        EXPECT_EQ(poll(&pfd, 1, 10000), 1);
        Fd peer(accept(listener_.fd, nullptr, nullptr));
        request->assign(4 + 2 * netbios_wire::kEncodedNameSize, 0);
        EXPECT_TRUE(read_exact(peer.fd, request->data(), request->size()));
        return peer;
    }

    // A session through a positive response; its number is in ncb->ncb_lsn.
    Fd open_session(NCB* ncb) {
        std::vector<uint8_t> request;
        Fd peer = start_call(ncb, false, &request);
        send_all(peer.fd, packet(netbios_wire::kPositiveResponse, {}));
        EXPECT_TRUE(completed(ncb));
        EXPECT_EQ(ncb->ncb_retcode, NRC_GOODRET);
        return peer;
    }

    UCHAR receive(UCHAR lsn, uint8_t* buffer, WORD length, UCHAR rto = 250) {
        NCB r = make_ncb(NCBRECV);
        r.ncb_lsn = lsn;
        r.ncb_buffer = buffer;
        r.ncb_length = length;
        r.ncb_rto = rto;
        UCHAR rc = Netbios(&r);
        last_length_ = r.ncb_length;
        return rc;
    }

    UCHAR hang_up(UCHAR lsn) {
        NCB h = make_ncb(NCBHANGUP);
        h.ncb_lsn = lsn;
        return Netbios(&h);
    }

    std::string dir_;
    Fd listener_;
    uint16_t port_ = 0;
    WORD last_length_ = 0;
};

TEST_F(NetbiosTest, SessionRequestCarriesBothNamesInEitherPadding) {
    for (bool blank_padded : {false, true}) {
        NCB ncb;
        std::vector<uint8_t> request;
        Fd peer = start_call(&ncb, blank_padded, &request);
        EXPECT_EQ(request[0], netbios_wire::kSessionRequest);
        EXPECT_EQ(request[2] * 256 + request[3], 2 * netbios_wire::kEncodedNameSize);
        // First-level encoding: 0x20, a nibble + 'A' per half byte, root label.
        const uint8_t* called = request.data() + 4;
        EXPECT_EQ(called[0], 0x20);
        EXPECT_EQ(called[33], 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(called + 1), 4), "EOEC");  // "NB"
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(called + 31), 2), blank_padded ? "CA" : "AA");
        UCHAR name[NCBNAMSZ];
        ASSERT_TRUE(netbios_wire::decode_name(called, name));
        EXPECT_EQ(std::memcmp(name, ncb.ncb_callname, NCBNAMSZ), 0);
        ASSERT_TRUE(netbios_wire::decode_name(called + netbios_wire::kEncodedNameSize, name));
        EXPECT_EQ(std::memcmp(name, ncb.ncb_name, NCBNAMSZ), 0);

        send_all(peer.fd, packet(netbios_wire::kPositiveResponse, {}));
        ASSERT_TRUE(completed(&ncb));
        EXPECT_EQ(ncb.ncb_retcode, NRC_GOODRET);
        EXPECT_EQ(ncb.ncb_cmd_cplt, NRC_GOODRET);
        EXPECT_GT(ncb.ncb_lsn, 0);
        EXPECT_EQ(hang_up(ncb.ncb_lsn), NRC_GOODRET);
    }
}

TEST_F(NetbiosTest, RefusedUnreachableOrSilentCallsFail) {
    NCB ncb;
    std::vector<uint8_t> request;
    const uint8_t kNotPresent = netbios_wire::kCalledNameNotPresent;
    // A negative response, a peer that hangs up instead of answering, and
    // one that takes the request but never answers.
    for (int peer_does : {0, 1, 2}) {
        Fd peer = start_call(&ncb, false, &request, peer_does == 2 ? 1 : 250);
        if (peer_does == 0)
            send_all(peer.fd, packet(netbios_wire::kNegativeResponse, {kNotPresent}));
        if (peer_does == 1) peer = Fd();
        ASSERT_TRUE(completed(&ncb));
        EXPECT_EQ(ncb.ncb_retcode, peer_does == 2 ? NRC_CMDTMO : NRC_NOCALL) << peer_does;
    }
    // A name missing from lmhosts, one whose address has no listener, and no
    // lmhosts file at all.
    NCB c = make_ncb(NCBCALL);
    set_name(c.ncb_name, "NBTP.DCH.CLTX1", false);
    for (const char* name : {"NBTP.DCH.ELSEWHERE", "NBTP.DCH.NONE", "NBTP.DCH.SRV"}) {
        if (name[9] == 'S') setenv("VELDRUM_LMHOSTS", (dir_ + "/missing").c_str(), 1);  // SRV
        set_name(c.ncb_callname, name, false);
        EXPECT_EQ(Netbios(&c), NRC_NOCALL) << name;
    }
}

TEST_F(NetbiosTest, ReceiveSkipsKeepAlivesAndDeliversWholeMessages) {
    NCB ncb;
    Fd peer = open_session(&ncb);
    std::vector<uint8_t> body = pattern(300, 3);
    using netbios_wire::kKeepAlive, netbios_wire::kSessionMessage;
    for (const auto& p : {packet(kKeepAlive, {}), packet(kSessionMessage, body),
                          packet(kKeepAlive, {}), packet(kSessionMessage, {})})
        send_all(peer.fd, p);

    std::vector<uint8_t> buffer(1000, 0xEE);
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 1000), NRC_GOODRET);
    ASSERT_EQ(last_length_, 300);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), buffer.begin()));
    EXPECT_EQ(buffer[300], 0xEE);
    // An empty message is a message of length 0, not a reason to wait.
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 1000), NRC_GOODRET);
    EXPECT_EQ(last_length_, 0);
    EXPECT_EQ(hang_up(ncb.ncb_lsn), NRC_GOODRET);
}

TEST_F(NetbiosTest, LongMessageComesInPartsWithIncomplete) {
    NCB ncb;
    Fd peer = open_session(&ncb);
    // 70,000 bytes need the length's 17th bit and exceed any NCB buffer.
    std::vector<uint8_t> body = pattern(70000, 11);
    std::vector<uint8_t> next = pattern(10, 99);
    std::vector<uint8_t> bytes = packet(netbios_wire::kSessionMessage, body);
    ASSERT_EQ(bytes[1], 1);
    std::vector<uint8_t> second = packet(netbios_wire::kSessionMessage, next);
    bytes.insert(bytes.end(), second.begin(), second.end());
    std::thread writer([&] { send_all(peer.fd, bytes); });

    std::vector<uint8_t> buffer(65535);
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 65535), NRC_INCOMP);
    ASSERT_EQ(last_length_, 65535);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), body.begin()));
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 4000), NRC_INCOMP);
    ASSERT_EQ(last_length_, 4000);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 4000, body.begin() + 65535));
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 65535), NRC_GOODRET);
    ASSERT_EQ(last_length_, 70000 - 65535 - 4000);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + last_length_, body.begin() + 69535));
    // The following message starts cleanly after the rest.
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 65535), NRC_GOODRET);
    ASSERT_EQ(last_length_, 10);
    EXPECT_TRUE(std::equal(next.begin(), next.end(), buffer.begin()));
    writer.join();
    EXPECT_EQ(hang_up(ncb.ncb_lsn), NRC_GOODRET);
}

TEST_F(NetbiosTest, ReceiveTimesOutWithTheSessionKeptAndEndsWithThePeer) {
    NCB ncb;
    Fd peer = open_session(&ncb);
    const UCHAR lsn = ncb.ncb_lsn;
    uint8_t buffer[200];
    // Keep-alives are no message: they do not end the wait.
    send_all(peer.fd, packet(netbios_wire::kKeepAlive, {}));
    EXPECT_EQ(receive(lsn, buffer, sizeof buffer, 1), NRC_CMDTMO);
    EXPECT_EQ(last_length_, 0);
    // What was sent before the close is still delivered.
    send_all(peer.fd, packet(netbios_wire::kSessionMessage, {7}));
    peer = Fd();
    EXPECT_EQ(receive(lsn, buffer, sizeof buffer, 1), NRC_GOODRET);
    EXPECT_EQ(last_length_, 1);
    EXPECT_EQ(receive(lsn, buffer, sizeof buffer), NRC_SCLOSED);
    // The session is gone: its number is no longer known.
    EXPECT_EQ(receive(lsn, buffer, sizeof buffer), NRC_SNUMOUT);
    EXPECT_EQ(hang_up(lsn), NRC_SNUMOUT);

    peer = open_session(&ncb);
    std::vector<uint8_t> bytes = packet(netbios_wire::kSessionMessage, pattern(100, 1));
    bytes.resize(50);  // header promises 100 bytes, 46 come
    send_all(peer.fd, bytes);
    peer = Fd();
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer, sizeof buffer), NRC_SCLOSED);
    EXPECT_EQ(last_length_, 0);
}

TEST_F(NetbiosTest, HangUpCompletesAnOutstandingReceive) {
    NCB ncb;
    Fd peer = open_session(&ncb);
    uint8_t buffer[64];
    NCB r = make_ncb(NCBRECV | ASYNCH);
    r.ncb_lsn = ncb.ncb_lsn;
    r.ncb_buffer = buffer;
    r.ncb_length = sizeof buffer;
    r.ncb_rto = 0;  // no bound: only the hang-up can end it
    r.ncb_post = on_complete;
    ASSERT_EQ(Netbios(&r), NRC_PENDING);
    EXPECT_FALSE(completed(&r, 200));

    NCB h = make_ncb(NCBHANGUP | ASYNCH);
    h.ncb_lsn = ncb.ncb_lsn;
    h.ncb_post = on_complete;
    ASSERT_EQ(Netbios(&h), NRC_PENDING);
    ASSERT_TRUE(completed(&h));
    EXPECT_EQ(h.ncb_retcode, NRC_GOODRET);
    ASSERT_TRUE(completed(&r));
    EXPECT_EQ(r.ncb_retcode, NRC_SCLOSED);
    EXPECT_EQ(r.ncb_cmd_cplt, NRC_SCLOSED);
    // The peer sees the connection end.
    uint8_t byte;
    EXPECT_FALSE(read_exact(peer.fd, &byte, 1));
}

TEST_F(NetbiosTest, NamesAreClaimedOncePerAdapter) {
    NCB add = make_ncb(NCBADDNAME);
    set_name(add.ncb_name, "NBTP.DCH.CLTX1", true);
    ASSERT_EQ(Netbios(&add), NRC_GOODRET);
    const UCHAR num = add.ncb_num;
    EXPECT_NE(num, 0);
    EXPECT_NE(num, 255);
    EXPECT_EQ(Netbios(&add), NRC_DUPNAME);
    // The NUL-padded form is another 16-byte name.
    NCB other = make_ncb(NCBADDNAME);
    set_name(other.ncb_name, "NBTP.DCH.CLTX1", false);
    EXPECT_EQ(Netbios(&other), NRC_GOODRET);
    EXPECT_NE(other.ncb_num, num);

    NCB del = make_ncb(NCBDELNAME);
    std::memcpy(del.ncb_name, add.ncb_name, NCBNAMSZ);
    EXPECT_EQ(Netbios(&del), NRC_GOODRET);
    EXPECT_NE(Netbios(&del), NRC_GOODRET);  // already gone
    EXPECT_EQ(Netbios(&add), NRC_GOODRET);  // free again, host-wide claim released
    EXPECT_EQ(Netbios(&del), NRC_GOODRET);
    std::memcpy(del.ncb_name, other.ncb_name, NCBNAMSZ);
    EXPECT_EQ(Netbios(&del), NRC_GOODRET);
}

TEST_F(NetbiosTest, UnknownAdapterSessionOrCommandIsRefused) {
    NCB reset = make_ncb(NCBRESET);
    reset.ncb_callname[0] = 10;
    reset.ncb_callname[2] = 20;
    EXPECT_EQ(Netbios(&reset), NRC_GOODRET);  // adapter 0 is the loopback at least
    for (UCHAR command : {NCBRESET, NCBADDNAME, NCBCALL, NCBRECV, NCBHANGUP}) {
        NCB ncb = make_ncb(command);
        ncb.ncb_lana_num = 250;
        set_name(ncb.ncb_name, "NBTP.DCH.BAD", false);
        set_name(ncb.ncb_callname, "NBTP.DCH.SRV", false);
        EXPECT_EQ(Netbios(&ncb), NRC_BRIDGE) << static_cast<int>(command);
        EXPECT_EQ(ncb.ncb_retcode, NRC_BRIDGE);
    }
    // Asynchronously the refusal arrives through the completion.
    NCB ncb = make_ncb(NCBCALL | ASYNCH);
    ncb.ncb_lana_num = 250;
    ncb.ncb_post = on_complete;
    set_name(ncb.ncb_callname, "NBTP.DCH.SRV", false);
    ASSERT_EQ(Netbios(&ncb), NRC_PENDING);
    ASSERT_TRUE(completed(&ncb));
    EXPECT_EQ(ncb.ncb_retcode, NRC_BRIDGE);
    // An unknown session and an unknown command.
    uint8_t buffer[8];
    EXPECT_EQ(receive(251, buffer, sizeof buffer), NRC_SNUMOUT);
    EXPECT_EQ(hang_up(251), NRC_SNUMOUT);
    NCB odd = make_ncb(0x7F);
    EXPECT_EQ(Netbios(&odd), NRC_ILLCMD);
    EXPECT_EQ(Netbios(nullptr), NRC_ILLCMD);
}

}  // namespace
