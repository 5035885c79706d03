// The NetBIOS provider against a scripted session-service peer on loopback:
// the test listens on TCP, answers the SESSION REQUEST and writes the packets
// by hand; the called name is resolved through an lmhosts file. The session
// cycle and the system tests cover refusals, hang-ups and claimed names.
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
#include <tuple>

#include "tests/platform/session_peer.h"

namespace {

using namespace netbios_wire;

std::mutex lock;
std::condition_variable cv;
std::set<NCB*> done;  // completions of ASYNCH commands

void on_complete(NCB* ncb) {
    std::lock_guard<std::mutex> g(lock);
    done.insert(ncb);
    cv.notify_all();
}

bool completed(NCB* ncb) {
    std::unique_lock<std::mutex> g(lock);
    return cv.wait_for(g, std::chrono::seconds(10), [&] { return done.erase(ncb) > 0; });
}

void set_name(UCHAR field[NCBNAMSZ], const char* text, bool blank_padded = false) {
    std::memset(field, blank_padded ? ' ' : 0, NCBNAMSZ);
    std::memcpy(field, text, std::strlen(text));
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
        std::ofstream(dir_ + "/lmhosts")
            << "# scripted peer\n127.0.0.1:" << ntohs(addr.sin_port)
            << "  nbtp.dch.srv   # the server\n127.0.0.1:1 NBTP.DCH.NONE\n";
        setenv("VELDRUM_LMHOSTS", (dir_ + "/lmhosts").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELDRUM_LMHOSTS");
        close(listener_);
        std::filesystem::remove_all(dir_);
    }
    // Runs a command; the length it gives back is left in length_.
    UCHAR run(NCB* n, UCHAR command, UCHAR lsn = 0, uint8_t* buffer = nullptr, WORD length = 0,
              UCHAR to = 250) {
        std::memset(n, 0, sizeof *n);
        set_name(n->ncb_callname, "NBTP.DCH.SRV", blank_padded_);
        set_name(n->ncb_name, "NBTP.DCH.CLTX1", blank_padded_);
        std::tie(n->ncb_command, n->ncb_lsn, n->ncb_buffer, n->ncb_length) =
            std::tie(command, lsn, buffer, length);
        n->ncb_rto = n->ncb_sto = to;
        n->ncb_post = (command & ASYNCH) ? on_complete : nullptr;
        UCHAR rc = Netbios(n);
        length_ = n->ncb_length;
        return rc;
    }
    UCHAR run(UCHAR command, UCHAR lsn = 0, uint8_t* buffer = nullptr, WORD length = 0,
              UCHAR to = 250) {
        NCB n;
        return run(&n, command, lsn, buffer, length, to);
    }
    // Submits an ASYNCH CALL and takes the connection; the SESSION REQUEST
    // is left in request_.
    int start_call(NCB* ncb, UCHAR sto = 250) {
        EXPECT_EQ(run(ncb, NCBCALL | ASYNCH, 0, nullptr, 0, sto), NRC_PENDING);
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
        EXPECT_EQ(ncb->ncb_retcode + ncb->ncb_cmd_cplt, NRC_GOODRET);
        EXPECT_GT(ncb->ncb_lsn, 0);
        return peer;
    }
    std::string dir_;
    int listener_ = -1;
    bool blank_padded_ = false;
    std::vector<uint8_t> request_;
    WORD length_ = 0;
};

TEST_F(NetbiosTest, SessionRequestCarriesBothNamesInEitherPadding) {
    for (bool blank_padded : {false, true}) {
        NCB ncb;
        blank_padded_ = blank_padded;
        int peer = start_call(&ncb);
        EXPECT_EQ(request_[0], kSessionRequest);
        EXPECT_EQ(request_[2] * 256 + request_[3], 2 * kEncodedNameSize);
        // First-level encoding: 0x20, a nibble + 'A' per half byte, root label.
        const uint8_t* called = request_.data() + 4;
        EXPECT_EQ(called[0] * 256 + called[33], 0x2000);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(called + 1), 4), "EOEC");  // "NB"
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(called + 31), 2),
                  blank_padded ? "CA" : "AA");
        UCHAR name[NCBNAMSZ];
        ASSERT_TRUE(decode_name(called, name));
        EXPECT_EQ(std::memcmp(name, ncb.ncb_callname, NCBNAMSZ), 0);
        ASSERT_TRUE(decode_name(called + kEncodedNameSize, name));
        EXPECT_EQ(std::memcmp(name, ncb.ncb_name, NCBNAMSZ), 0);
        send(peer, kPositiveResponse, {});
        ASSERT_TRUE(completed(&ncb));
        EXPECT_EQ(run(NCBHANGUP, ncb.ncb_lsn), NRC_GOODRET);
        close(peer);
    }
}

// A peer that hangs up instead of answering and one that never answers; a
// name missing from lmhosts, one whose address has no listener, no lmhosts.
TEST_F(NetbiosTest, RefusedUnreachableOrSilentCallsFail) {
    for (bool silent : {false, true}) {
        NCB ncb;
        int peer = start_call(&ncb, silent ? 1 : 250);
        if (!silent) close(peer);
        ASSERT_TRUE(completed(&ncb));
        EXPECT_EQ(ncb.ncb_retcode, silent ? NRC_CMDTMO : NRC_NOCALL);
        if (silent) close(peer);
    }
    for (const char* name : {"NBTP.DCH.ELSEWHERE", "NBTP.DCH.NONE", "NBTP.DCH.SRV"}) {
        if (name[9] == 'S') setenv("VELDRUM_LMHOSTS", (dir_ + "/missing").c_str(), 1);
        NCB c;
        run(&c, 0x7F);  // an unknown command, refused; fills the names
        EXPECT_EQ(c.ncb_retcode, NRC_ILLCMD);
        set_name(c.ncb_callname, name);
        c.ncb_command = NCBCALL;
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
    for (const auto& [type, bytes] : {std::pair{kKeepAlive, std::vector<uint8_t>{}},
                                      {kSessionMessage, small},
                                      {kKeepAlive, {}},
                                      {kSessionMessage, {}}})
        send(peer, type, bytes);
    // 70,000 bytes need the length's 17th bit and exceed any NCB buffer.
    std::thread writer([&] {
        send(peer, kSessionMessage, body);
        send(peer, kSessionMessage, next);
    });
    std::vector<uint8_t> buffer(65535);
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
        EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), r.length), r.rc) << r.length;
        EXPECT_EQ(length_, r.got) << r.length;
        if (length_ != r.got) break;
        EXPECT_TRUE(!r.got || std::equal(buffer.begin(), buffer.begin() + r.got, r.expected))
            << r.length;
        EXPECT_TRUE(r.got == r.length || buffer[r.got] == 0xEE) << r.length;
    }
    writer.join();
    if (HasFailure()) return (void)close(peer);

    send(peer, kKeepAlive, {});  // no message: does not end the wait
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200, 1), NRC_CMDTMO);
    EXPECT_EQ(length_, 0);
    send(peer, kSessionMessage, {7});
    close(peer);
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200, 1), NRC_GOODRET);
    EXPECT_EQ(length_, 1);
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200), NRC_SCLOSED);
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200), NRC_SNUMOUT);  // the session is gone
    EXPECT_EQ(run(NCBHANGUP, lsn), NRC_SNUMOUT);

    peer = open_session(&ncb);
    send(peer, kSessionMessage, pattern(100, 1), 50);  // header promises 100 bytes, 46 come
    close(peer);
    EXPECT_EQ(run(NCBRECV, ncb.ncb_lsn, buffer.data(), 200), NRC_SCLOSED);
    EXPECT_EQ(length_, 0);
}

// A deleted name is free again; the NUL-padded form is another name; an
// adapter that is not there refuses an ASYNCH call through its completion.
TEST_F(NetbiosTest, NamesAndAdaptersAreChecked) {
    NCB add, other, del;
    blank_padded_ = true;
    ASSERT_EQ(run(&add, NCBADDNAME), NRC_GOODRET);
    EXPECT_TRUE(add.ncb_num != 0 && add.ncb_num != 255);
    EXPECT_EQ(run(&del, NCBDELNAME), NRC_GOODRET);
    EXPECT_NE(Netbios(&del), NRC_GOODRET);  // already gone
    EXPECT_EQ(Netbios(&add), NRC_GOODRET);
    EXPECT_EQ(Netbios(&add), NRC_DUPNAME);
    blank_padded_ = false;
    EXPECT_EQ(run(&other, NCBADDNAME), NRC_GOODRET);
    EXPECT_NE(other.ncb_num, add.ncb_num);
    for (bool blank_padded : {true, false}) {
        blank_padded_ = blank_padded;
        EXPECT_EQ(run(NCBDELNAME), NRC_GOODRET);
    }
    NCB call;
    std::memset(&call, 0, sizeof call);
    call.ncb_command = NCBCALL | ASYNCH;
    call.ncb_lana_num = 250;
    call.ncb_post = on_complete;
    set_name(call.ncb_callname, "NBTP.DCH.SRV");
    ASSERT_EQ(Netbios(&call), NRC_PENDING);
    ASSERT_TRUE(completed(&call));
    EXPECT_EQ(call.ncb_retcode, NRC_BRIDGE);
    EXPECT_EQ(Netbios(nullptr), NRC_ILLCMD);
}

}  // namespace
