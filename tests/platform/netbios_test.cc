// NetBIOS framing against a scripted session peer on loopback, resolved through lmhosts; the
// system tests drive calls, hang-ups, refusals, time-outs and claimed names.
#include "platform/netbios.h"

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

#include "platform/netbios_wire.h"
#include "tests/seed/liss_client.h"

namespace {

using namespace netbios_wire;

std::mutex lock;
std::condition_variable cv;
std::set<NCB*> done;  // completions of ASYNCH commands
void posted(NCB* ncb) { std::lock_guard g(lock); done.insert(ncb); cv.notify_all(); }

bool completed(NCB* ncb) {
    std::unique_lock<std::mutex> g(lock);
    return cv.wait_for(g, std::chrono::seconds(10), [&] { return done.erase(ncb) > 0; });
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
    return v;
}

// A session-service packet, its first `cut` bytes only if given.
void send(int fd, uint8_t type, const std::vector<uint8_t>& body, size_t cut = SIZE_MAX) {
    std::vector<uint8_t> bytes(4);
    write_header(bytes.data(), type, uint32_t(body.size()));
    bytes.insert(bytes.end(), body.begin(), body.end());
    bytes.resize(std::min(cut, bytes.size()));
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

struct NetbiosTest : ::testing::Test {
    void SetUp() override {
        char tmpl[] = "/tmp/netbios_test.XXXXXX";
        dir_ = mkdtemp(tmpl);
        ASSERT_GE(listener_ = liss_client::connect_to(0), 0);
        // In lower case: the look-up ignores case and trailing padding.
        std::ofstream(dir_ + "/lmhosts")
            << "127.0.0.1:" << liss_client::local_port(listener_) << " nbtp.dch.srv";
        setenv("VELDRUM_LMHOSTS", (dir_ + "/lmhosts").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELDRUM_LMHOSTS"), close(listener_), std::filesystem::remove_all(dir_);
    }
    // Runs a command into n (or a scratch NCB); its length goes to length_.
    UCHAR run(UCHAR command, UCHAR lsn = 0, uint8_t* buffer = nullptr, WORD length = 0,
              UCHAR to = 250, NCB* given = nullptr) {
        NCB scratch, *n = given ? given : &scratch;
        std::memset(n, 0, sizeof *n);
        for (auto [field, text] :
             {std::pair{n->ncb_callname, "NBTP.DCH.SRV"}, {n->ncb_name, "NBTP.DCH.CLTX1"}}) {
            std::memset(field, blank_padded_ ? ' ' : 0, NCBNAMSZ);
            std::memcpy(field, text, std::strlen(text));
        }
        std::tie(n->ncb_command, n->ncb_lsn, n->ncb_buffer, n->ncb_length) =
            std::tie(command, lsn, buffer, length);
        n->ncb_rto = n->ncb_sto = to;
        if (command & ASYNCH) n->ncb_post = posted;
        const UCHAR rc = Netbios(n);
        return length_ = n->ncb_length, rc;
    }
    // ASYNCH CALL; the SESSION REQUEST goes to request_; with an answer, waits for the session.
    int call(NCB* ncb, bool answer = true, UCHAR sto = 250) {
        EXPECT_EQ(run(NCBCALL | ASYNCH, 0, nullptr, 0, sto, ncb), NRC_PENDING);
        int peer = accept(listener_, nullptr, nullptr);
        request_.assign(4 + 2 * kEncodedNameSize, 0);
        EXPECT_TRUE(liss_client::read_exact(peer, request_.data(), request_.size()));
        if (!answer) return peer;
        send(peer, kPositiveResponse, {});
        EXPECT_TRUE(completed(ncb));
        EXPECT_EQ(ncb->ncb_retcode + ncb->ncb_cmd_cplt, NRC_GOODRET);
        EXPECT_GT(ncb->ncb_lsn, 0);
        return peer;
    }
    std::string dir_;
    int listener_ = -1, length_ = 0;
    bool blank_padded_ = false;
    std::vector<uint8_t> request_;
};

// Both names first-level encoded, NUL- or blank-padded; a silent peer times the call out.
TEST_F(NetbiosTest, SessionRequestCarriesBothNamesInEitherPadding) {
    for (bool blank_padded : {false, true}) {
        NCB ncb;
        int peer = (blank_padded_ = blank_padded, call(&ncb));
        EXPECT_EQ(request_[0] * 65536 + request_[2] * 256 + request_[3],
                  kSessionRequest * 65536 + 2 * kEncodedNameSize);
        const uint8_t* called = request_.data() + 4;  // 0x20, a nibble + 'A' each, root label
        const std::string text(reinterpret_cast<const char*>(called), 2 * kEncodedNameSize);
        EXPECT_EQ(called[0] * 256 + called[33], 0x2000);
        EXPECT_EQ(text.substr(1, 4) + text.substr(31, 2), blank_padded ? "EOECCA" : "EOECAA");
        UCHAR name[NCBNAMSZ];
        for (auto [at, want] : {std::pair{called, ncb.ncb_callname},
                                {called + kEncodedNameSize, ncb.ncb_name}})
            EXPECT_TRUE(decode_name(at, name) && std::memcmp(name, want, NCBNAMSZ) == 0);
        EXPECT_EQ(run(NCBHANGUP, ncb.ncb_lsn), NRC_GOODRET);
        close(peer);
    }
    NCB ncb;
    int peer = call(&ncb, false, 1);
    EXPECT_TRUE(completed(&ncb) && ncb.ncb_retcode == NRC_CMDTMO);
    close(peer);

    // Keep-alives are skipped, messages come whole or, past the buffer, in parts;
    // what was sent before the peer closed is still delivered, a cut one is not.
    peer = call(&ncb);
    const UCHAR lsn = ncb.ncb_lsn;
    std::vector<uint8_t> small = pattern(300, 3), body = pattern(70000, 11), next = pattern(10, 99);
    for (const auto& [type, bytes] : {std::pair{kKeepAlive, std::vector<uint8_t>{}},
                                      {kSessionMessage, small}, {kKeepAlive, {}},
                                      {kSessionMessage, {}}})
        send(peer, type, bytes);
    std::thread writer(  // 70,000 bytes need the length's 17th bit and exceed any NCB buffer
        [&] { send(peer, kSessionMessage, body), send(peer, kSessionMessage, next); });
    std::vector<uint8_t> buffer(65535);
    const std::tuple<WORD, UCHAR, const uint8_t*, WORD> reads[] = {  // length, rc, bytes, got
        {1000, NRC_GOODRET, small.data(), 300}, {1000, NRC_GOODRET, nullptr, 0},  // empty is one
        {65535, NRC_INCOMP, body.data(), 65535}, {4000, NRC_INCOMP, body.data() + 65535, 4000},
        {65535, NRC_GOODRET, body.data() + 69535, 465},
        {65535, NRC_GOODRET, next.data(), 10}};  // starts cleanly after the rest
    for (const auto& [length, rc, expected, got] : reads) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), length), rc) << length;
        EXPECT_EQ(length_, got) << length;
        if (length_ != got) break;
        EXPECT_TRUE(!got || std::equal(buffer.begin(), buffer.begin() + got, expected)) << length;
        EXPECT_TRUE(got == length || buffer[got] == 0xEE) << length;
    }
    writer.join();
    if (HasFailure()) return (void)close(peer);

    send(peer, kSessionMessage, {7});
    close(peer);
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200, 1), NRC_GOODRET);
    EXPECT_EQ(length_, 1);
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200), NRC_SCLOSED);
    EXPECT_EQ(run(NCBRECV, lsn, buffer.data(), 200), NRC_SNUMOUT);  // the session is gone

    peer = call(&ncb);
    send(peer, kSessionMessage, pattern(100, 1), 50);  // header promises 100 bytes, 46 come
    close(peer);
    EXPECT_EQ(run(NCBRECV, ncb.ncb_lsn, buffer.data(), 200), NRC_SCLOSED);
    EXPECT_EQ(length_, 0);

    // The shutdown cancels what still waits, a CALL into silence and a RECEIVE on a quiet
    // session, joins their completion threads (so both have completed when it returns) and
    // refuses nothing afterwards.
    NCB session, silent, receive;
    peer = call(&session);
    int quiet = call(&silent, false);
    EXPECT_EQ(run(NCBRECV | ASYNCH, session.ncb_lsn, buffer.data(), 100, 250, &receive),
              NRC_PENDING);
    netbios_shutdown();
    for (NCB* n : {&silent, &receive})  // their threads joined: no wait, no lock
        EXPECT_TRUE(done.erase(n) == 1 && n->ncb_retcode == NRC_CMDCAN) << int(n->ncb_retcode);
    EXPECT_EQ(run(NCBRECV, session.ncb_lsn, buffer.data(), 100), NRC_SNUMOUT);  // closed with it
    close(quiet), close(peer);
    peer = call(&session);
    EXPECT_EQ(run(NCBHANGUP, session.ncb_lsn), NRC_GOODRET);
    close(peer);
}

}  // namespace
