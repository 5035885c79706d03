// The NetBIOS provider against a scripted session-service peer on loopback:
// the test listens on TCP, answers the SESSION REQUEST and writes the packets
// by hand; the called name is resolved through an lmhosts file.
#include "platform/netbios.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "tests/platform/session_peer.h"

namespace {

using namespace netbios_wire;

std::mutex done_lock;
std::condition_variable done_cv;
std::set<NCB*> done;  // completions of ASYNCH commands

void on_complete(NCB* ncb) {
    std::lock_guard<std::mutex> g(done_lock);
    done.insert(ncb);
    done_cv.notify_all();
}

bool completed(NCB* ncb, int bound_ms = 10000) {
    std::unique_lock<std::mutex> g(done_lock);
    return done_cv.wait_for(g, std::chrono::milliseconds(bound_ms), [&] { return done.erase(ncb) > 0; });
}

void set_name(UCHAR field[NCBNAMSZ], const char* text, bool blank_padded = false) {
    std::memset(field, blank_padded ? ' ' : 0, NCBNAMSZ);
    std::memcpy(field, text, std::strlen(text));
}

NCB make_ncb(UCHAR command, UCHAR lsn = 0, uint8_t* buffer = nullptr, WORD length = 0, UCHAR rto = 250) {
    NCB n;
    std::memset(&n, 0, sizeof n);
    n.ncb_command = command;
    n.ncb_lsn = lsn;
    n.ncb_buffer = buffer;
    n.ncb_length = length;
    n.ncb_rto = rto;
    n.ncb_sto = 250;
    n.ncb_post = (command & ASYNCH) ? on_complete : nullptr;
    return n;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

void send(int fd, uint8_t type, const std::vector<uint8_t>& body, size_t cut = SIZE_MAX) {
    std::vector<uint8_t> bytes = session_peer::packet(type, body);
    bytes.resize(std::min(cut, bytes.size()));
    ASSERT_TRUE(session_peer::send_all(fd, bytes));
}

class NetbiosTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/netbios_test.XXXXXX";
        dir_ = mkdtemp(tmpl);
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), len), 0);
        ASSERT_EQ(listen(listener_, 4), 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        // Names in lower case: the look-up ignores case and trailing padding.
        std::ofstream(dir_ + "/lmhosts") << "# scripted peer\n127.0.0.1:" << ntohs(addr.sin_port)
                                         << "  nbtp.dch.srv   # the server\n127.0.0.1:1 NBTP.DCH.NONE\n";
        setenv("VELDRUM_LMHOSTS", (dir_ + "/lmhosts").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELDRUM_LMHOSTS");
        close(listener_);
        std::filesystem::remove_all(dir_);
    }
    // Submits an ASYNCH CALL of the peer and takes the connection; the
    // SESSION REQUEST is left in request_.
    int start_call(NCB* ncb, bool blank_padded = false, UCHAR sto = 250) {
        *ncb = make_ncb(NCBCALL | ASYNCH);
        ncb->ncb_sto = sto;
        set_name(ncb->ncb_callname, "NBTP.DCH.SRV", blank_padded);
        set_name(ncb->ncb_name, "NBTP.DCH.CLTX1", blank_padded);
        EXPECT_EQ(Netbios(ncb), NRC_PENDING);
        int peer = accept(listener_, nullptr, nullptr);
        request_.assign(4 + 2 * kEncodedNameSize, 0);
        EXPECT_TRUE(session_peer::read_exact(peer, request_.data(), request_.size()));
        return peer;
    }
    // A session through a positive response; its number is in ncb->ncb_lsn.
    int open_session(NCB* ncb) {
        int peer = start_call(ncb);
        send(peer, kPositiveResponse, {});
        EXPECT_TRUE(completed(ncb));
        EXPECT_EQ(ncb->ncb_retcode, NRC_GOODRET);
        return peer;
    }
    UCHAR receive(UCHAR lsn, uint8_t* buffer, WORD length, UCHAR rto = 250) {
        NCB r = make_ncb(NCBRECV, lsn, buffer, length, rto);
        UCHAR rc = Netbios(&r);
        last_length_ = r.ncb_length;
        return rc;
    }
    UCHAR hang_up(UCHAR lsn) {
        NCB h = make_ncb(NCBHANGUP, lsn);
        return Netbios(&h);
    }
    std::string dir_;
    int listener_ = -1;
    std::vector<uint8_t> request_;
    WORD last_length_ = 0;
};

TEST_F(NetbiosTest, SessionRequestCarriesBothNamesInEitherPadding) {
    for (bool blank_padded : {false, true}) {
        NCB ncb;
        int peer = start_call(&ncb, blank_padded);
        EXPECT_EQ(request_[0], kSessionRequest);
        EXPECT_EQ(request_[2] * 256 + request_[3], 2 * kEncodedNameSize);
        // First-level encoding: 0x20, a nibble + 'A' per half byte, root label.
        const uint8_t* called = request_.data() + 4;
        EXPECT_EQ(called[0] * 256 + called[33], 0x2000);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(called + 1), 4), "EOEC");  // "NB"
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(called + 31), 2), blank_padded ? "CA" : "AA");
        UCHAR name[NCBNAMSZ];
        ASSERT_TRUE(decode_name(called, name));
        EXPECT_EQ(std::memcmp(name, ncb.ncb_callname, NCBNAMSZ), 0);
        ASSERT_TRUE(decode_name(called + kEncodedNameSize, name));
        EXPECT_EQ(std::memcmp(name, ncb.ncb_name, NCBNAMSZ), 0);
        send(peer, kPositiveResponse, {});
        ASSERT_TRUE(completed(&ncb));
        EXPECT_EQ(ncb.ncb_retcode + ncb.ncb_cmd_cplt, NRC_GOODRET);
        EXPECT_GT(ncb.ncb_lsn, 0);
        EXPECT_EQ(hang_up(ncb.ncb_lsn), NRC_GOODRET);
        close(peer);
    }
}

TEST_F(NetbiosTest, RefusedUnreachableOrSilentCallsFail) {
    // A negative response, a peer that hangs up instead of answering, and
    // one that takes the request but never answers.
    for (int peer_does : {0, 1, 2}) {
        NCB ncb;
        int peer = start_call(&ncb, false, peer_does == 2 ? 1 : 250);
        if (peer_does == 0) send(peer, kNegativeResponse, {kCalledNameNotPresent});
        if (peer_does == 1) close(peer);
        ASSERT_TRUE(completed(&ncb));
        EXPECT_EQ(ncb.ncb_retcode, peer_does == 2 ? NRC_CMDTMO : NRC_NOCALL) << peer_does;
        if (peer_does != 1) close(peer);
    }
    // A name missing from lmhosts, one whose address has no listener, and no
    // lmhosts file at all.
    NCB c = make_ncb(NCBCALL);
    set_name(c.ncb_name, "NBTP.DCH.CLTX1");
    for (const char* name : {"NBTP.DCH.ELSEWHERE", "NBTP.DCH.NONE", "NBTP.DCH.SRV"}) {
        if (name[9] == 'S') setenv("VELDRUM_LMHOSTS", (dir_ + "/missing").c_str(), 1);
        set_name(c.ncb_callname, name);
        EXPECT_EQ(Netbios(&c), NRC_NOCALL) << name;
    }
}

// Keep-alives are skipped, messages come whole or, past the buffer, in parts;
// what was sent before the peer closed is still delivered, a cut one is not.
TEST_F(NetbiosTest, MessagesArriveWholeOrInPartsUntilThePeerCloses) {
    NCB ncb;
    int peer = open_session(&ncb);
    const UCHAR lsn = ncb.ncb_lsn;
    std::vector<uint8_t> small = pattern(300, 3), body = pattern(70000, 11), next = pattern(10, 99);
    for (const auto& [type, bytes] : {std::pair{kKeepAlive, std::vector<uint8_t>{}}, {kSessionMessage, small},
                                      {kKeepAlive, {}}, {kSessionMessage, {}}})
        send(peer, type, bytes);
    // 70,000 bytes need the length's 17th bit and exceed any NCB buffer.
    std::thread writer([&] {
        send(peer, kSessionMessage, body);
        send(peer, kSessionMessage, next);
    });
    std::vector<uint8_t> buffer(65535, 0xEE);
    const struct {
        WORD length;
        UCHAR rc;
        const uint8_t* expected;
        WORD got;
    } reads[] = {
        {1000, NRC_GOODRET, small.data(), 300},
        {1000, NRC_GOODRET, nullptr, 0},  // an empty message is a message
        {65535, NRC_INCOMP, body.data(), 65535},
        {4000, NRC_INCOMP, body.data() + 65535, 4000},
        {65535, NRC_GOODRET, body.data() + 69535, 465},
        {65535, NRC_GOODRET, next.data(), 10},  // starts cleanly after the rest
    };
    for (const auto& r : reads) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        EXPECT_EQ(receive(lsn, buffer.data(), r.length), r.rc) << r.length;
        ASSERT_EQ(last_length_, r.got);
        EXPECT_TRUE(!r.got || std::equal(buffer.begin(), buffer.begin() + r.got, r.expected)) << r.length;
        EXPECT_TRUE(r.got == r.length || buffer[r.got] == 0xEE) << r.length;
    }
    writer.join();

    send(peer, kKeepAlive, {});  // no message: does not end the wait
    EXPECT_EQ(receive(lsn, buffer.data(), 200, 1), NRC_CMDTMO);
    EXPECT_EQ(last_length_, 0);
    send(peer, kSessionMessage, {7});
    close(peer);
    EXPECT_EQ(receive(lsn, buffer.data(), 200, 1), NRC_GOODRET);
    EXPECT_EQ(last_length_, 1);
    EXPECT_EQ(receive(lsn, buffer.data(), 200), NRC_SCLOSED);
    EXPECT_EQ(receive(lsn, buffer.data(), 200), NRC_SNUMOUT);  // the session is gone
    EXPECT_EQ(hang_up(lsn), NRC_SNUMOUT);

    peer = open_session(&ncb);
    send(peer, kSessionMessage, pattern(100, 1), 50);  // header promises 100 bytes, 46 come
    close(peer);
    EXPECT_EQ(receive(ncb.ncb_lsn, buffer.data(), 200), NRC_SCLOSED);
    EXPECT_EQ(last_length_, 0);
}

TEST_F(NetbiosTest, HangUpCompletesAnOutstandingReceive) {
    NCB ncb;
    int peer = open_session(&ncb);
    uint8_t buffer[64];
    NCB r = make_ncb(NCBRECV | ASYNCH, ncb.ncb_lsn, buffer, sizeof buffer, 0);  // no bound
    ASSERT_EQ(Netbios(&r), NRC_PENDING);
    EXPECT_FALSE(completed(&r, 200));
    NCB h = make_ncb(NCBHANGUP | ASYNCH, ncb.ncb_lsn);
    ASSERT_EQ(Netbios(&h), NRC_PENDING);
    ASSERT_TRUE(completed(&h));
    EXPECT_EQ(h.ncb_retcode, NRC_GOODRET);
    ASSERT_TRUE(completed(&r));
    EXPECT_EQ(r.ncb_retcode + r.ncb_cmd_cplt, 2 * NRC_SCLOSED);
    EXPECT_FALSE(session_peer::read_exact(peer, buffer, 1));  // the peer sees the end
    close(peer);
}

TEST_F(NetbiosTest, NamesAdaptersSessionsAndCommandsAreChecked) {
    NCB add = make_ncb(NCBADDNAME), other = make_ncb(NCBADDNAME), del = make_ncb(NCBDELNAME);
    set_name(add.ncb_name, "NBTP.DCH.CLTX1", true);
    set_name(other.ncb_name, "NBTP.DCH.CLTX1");  // the NUL-padded form is another name
    std::memcpy(del.ncb_name, add.ncb_name, NCBNAMSZ);
    ASSERT_EQ(Netbios(&add), NRC_GOODRET);
    EXPECT_TRUE(add.ncb_num != 0 && add.ncb_num != 255);
    EXPECT_EQ(Netbios(&add), NRC_DUPNAME);
    EXPECT_EQ(Netbios(&other), NRC_GOODRET);
    EXPECT_NE(other.ncb_num, add.ncb_num);
    EXPECT_EQ(Netbios(&del), NRC_GOODRET);
    EXPECT_NE(Netbios(&del), NRC_GOODRET);  // already gone
    EXPECT_EQ(Netbios(&add), NRC_GOODRET);  // free again: the host-wide claim was released
    EXPECT_EQ(Netbios(&del), NRC_GOODRET);
    std::memcpy(del.ncb_name, other.ncb_name, NCBNAMSZ);
    EXPECT_EQ(Netbios(&del), NRC_GOODRET);

    NCB reset = make_ncb(NCBRESET);
    EXPECT_EQ(Netbios(&reset), NRC_GOODRET);  // adapter 0 is the loopback at least
    for (UCHAR command : {NCBRESET, NCBADDNAME, NCBCALL, NCBRECV, NCBHANGUP, UCHAR(NCBCALL | ASYNCH)}) {
        NCB n = make_ncb(command);
        n.ncb_lana_num = 250;
        set_name(n.ncb_name, "NBTP.DCH.BAD");
        set_name(n.ncb_callname, "NBTP.DCH.SRV");
        const bool asynch = command & ASYNCH;
        EXPECT_EQ(Netbios(&n), asynch ? NRC_PENDING : NRC_BRIDGE) << int(command);
        EXPECT_TRUE(!asynch || completed(&n));  // the refusal comes through the completion
        EXPECT_EQ(n.ncb_retcode, NRC_BRIDGE) << int(command);
    }
    uint8_t buffer[8];
    EXPECT_EQ(receive(251, buffer, sizeof buffer), NRC_SNUMOUT);
    EXPECT_EQ(hang_up(251), NRC_SNUMOUT);
    NCB odd = make_ncb(0x7F);
    EXPECT_EQ(Netbios(&odd), NRC_ILLCMD);
    EXPECT_EQ(Netbios(nullptr), NRC_ILLCMD);
}

}  // namespace
