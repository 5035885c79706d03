// NetBIOS provider over the NetBIOS session service on TCP.
//
// Names live in a per-adapter table and are claimed host-wide by binding an
// abstract Unix socket named after adapter and name, so a second process that
// adds the same name gets NRC_DUPNAME. Sessions are TCP connections keyed by
// the local session number; a RECEIVE blocks in poll on the socket, and a
// HANG UP shuts the socket down, which wakes it.
//
// ASYNCH commands run on completion threads the provider owns: a command
// goes to an idle one, or to a new one when all are busy (a RECEIVE may
// block for minutes), and a thread stays for the next command once its
// completion routine has returned. netbios_shutdown cancels what still
// waits (the cancel token's descriptor is in every poll) and joins them.
#include "platform/netbios.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/descriptor.h"
#include "common/stop_token.h"
#include "platform/netbios_wire.h"
#include "platform/profile.h"

static_assert(NCBNAMSZ == netbios_wire::kNameSize);

namespace {

struct NameEntry {
    int lana;
    UCHAR name[NCBNAMSZ];
    UCHAR num;
    std::unique_ptr<Descriptor> claim;
};

struct Session {
    Descriptor sock;
    std::atomic<bool> hung{false};
    std::mutex recv_lock;  // one RECEIVE at a time on a session
    uint32_t rest = 0;     // bytes of a message not yet delivered (NRC_INCOMP)
};

struct Provider {
    std::mutex lock;
    std::vector<NameEntry> names;
    std::map<int, std::shared_ptr<Session>> sessions;
    int next_lsn = 1;
    int next_num = 2;
    // Requested by netbios_shutdown; replaced once the threads are joined.
    std::shared_ptr<StopToken> cancel = std::make_shared<StopToken>();
};

// The completion threads and the commands waiting for one.
struct Completions {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<NCB*> queue;
    std::vector<std::thread> threads;
    size_t idle = 0;
    bool stopping = false;  // submissions are refused while the threads are joined
};

// Never destroyed: a program that never shuts the provider down (a test)
// leaves its idle completion threads waiting while the process exits.
Provider& provider() {
    static Provider* p = new Provider;
    return *p;
}

Completions& completions() {
    static Completions* c = new Completions;
    return *c;
}

std::shared_ptr<StopToken> cancel_token() {
    Provider& p = provider();
    std::lock_guard<std::mutex> g(p.lock);
    return p.cancel;
}

// Number of network interfaces, or -1 when it cannot be learnt (the look-up
// needs a descriptor of its own).
int adapter_count() {
    struct if_nameindex* list = if_nameindex();
    if (!list) return -1;
    int n = 0;
    for (struct if_nameindex* i = list; i->if_index != 0; ++i) ++n;
    if_freenameindex(list);
    return n;
}

// An adapter seen once stays known, so commands on a live session do not
// fail (and leave the session open) while no descriptor is free.
std::atomic<int> known_adapters{0};

bool lana_exists(UCHAR lana) {
    if (lana < known_adapters.load()) return true;
    int now = adapter_count();
    if (now < 0) return false;
    known_adapters.store(now);
    return lana < now;
}

// A socket or file the provider could not open: out of descriptors or
// memory is no fault of the peer's and passes once they are free again.
UCHAR open_failure() {
    const bool short_of = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
    return short_of ? NRC_NORES : NRC_SYSTEM;
}

bool same_name(const UCHAR* a, const UCHAR* b) { return std::memcmp(a, b, NCBNAMSZ) == 0; }

UCHAR add_name(NCB* ncb) {
    if (!lana_exists(ncb->ncb_lana_num)) return NRC_BRIDGE;
    Provider& p = provider();
    std::lock_guard<std::mutex> g(p.lock);
    for (const NameEntry& e : p.names)
        if (e.lana == ncb->ncb_lana_num && same_name(e.name, ncb->ncb_name)) return NRC_DUPNAME;
    if (p.names.size() >= 254) return NRC_NAMTFUL;

    auto claim = std::make_unique<Descriptor>(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (claim->fd < 0) return open_failure();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    char label[80];
    int len = std::snprintf(label, sizeof label, "veldrum-netbios-%u-", ncb->ncb_lana_num);
    for (int i = 0; i < NCBNAMSZ; ++i)
        len += std::snprintf(label + len, sizeof label - len, "%02X", ncb->ncb_name[i]);
    std::memcpy(addr.sun_path + 1, label, len);  // abstract: leading NUL
    socklen_t alen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    if (bind(claim->fd, reinterpret_cast<sockaddr*>(&addr), alen) != 0)
        return errno == EADDRINUSE ? NRC_DUPNAME : NRC_SYSTEM;

    NameEntry e{};
    e.num = 0;
    e.lana = ncb->ncb_lana_num;
    std::memcpy(e.name, ncb->ncb_name, NCBNAMSZ);
    for (int tries = 0; tries < 256; ++tries) {
        int num = p.next_num;
        p.next_num = p.next_num >= 254 ? 2 : p.next_num + 1;
        bool used = false;
        for (const NameEntry& o : p.names) used = used || o.num == num;
        if (!used) {
            e.num = static_cast<UCHAR>(num);
            break;
        }
    }
    if (e.num == 0) return NRC_NAMTFUL;
    e.claim = std::move(claim);
    ncb->ncb_num = e.num;
    p.names.push_back(std::move(e));
    return NRC_GOODRET;
}

UCHAR delete_name(NCB* ncb) {
    if (!lana_exists(ncb->ncb_lana_num)) return NRC_BRIDGE;
    Provider& p = provider();
    std::lock_guard<std::mutex> g(p.lock);
    for (auto it = p.names.begin(); it != p.names.end(); ++it) {
        if (it->lana == ncb->ncb_lana_num && same_name(it->name, ncb->ncb_name)) {
            p.names.erase(it);
            return NRC_GOODRET;
        }
    }
    return NRC_NOWILD;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline; -1 for no deadline.
int ms_left(bool bounded, Clock::time_point deadline) {
    if (!bounded) return -1;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

enum class Io { ok, timeout, closed, cancelled };

// Waits for `events` on fd until the deadline or the cancel: 1 ready, 0 timed
// out, -1 failed, -2 cancelled.
int wait_ready(int fd, short events, bool bounded, Clock::time_point deadline,
               const StopToken& cancel) {
    for (;;) {
        if (cancel.requested()) return -2;
        // A token without its eventfd (descriptors ran out) is looked at every 100 ms.
        const int left = ms_left(bounded, deadline);
        const bool slice = cancel.fd() < 0 && (left < 0 || left > 100);
        pollfd pfd[2] = {{fd, events, 0}, {cancel.fd(), POLLIN, 0}};
        int r = poll(pfd, 2, slice ? 100 : left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (cancel.requested()) return -2;
        if (r == 0 && slice) continue;
        return r == 0 ? 0 : 1;
    }
}

// Reads exactly n bytes, waiting at most until the deadline.
Io read_full(int fd, uint8_t* out, size_t n, bool bounded, Clock::time_point deadline,
             const StopToken& cancel) {
    size_t got = 0;
    while (got < n) {
        int r = wait_ready(fd, POLLIN, bounded, deadline, cancel);
        if (r == -2) return Io::cancelled;
        if (r < 0) return Io::closed;
        if (r == 0) return Io::timeout;
        ssize_t k = recv(fd, out + got, n - got, 0);
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (k <= 0) return Io::closed;
        got += static_cast<size_t>(k);
    }
    return Io::ok;
}

bool send_full(int fd, const uint8_t* data, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        ssize_t k = send(fd, data + sent, n - sent, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        sent += static_cast<size_t>(k);
    }
    return true;
}

UCHAR call(NCB* ncb) {
    if (!lana_exists(ncb->ncb_lana_num)) return NRC_BRIDGE;
    netbios_wire::Address where;
    errno = 0;  // stays 0 when the file is read and the name is not in it
    if (!netbios_wire::resolve(netbios_wire::lmhosts_path().c_str(), ncb->ncb_callname, &where))
        return errno == EMFILE || errno == ENFILE ? NRC_NORES : NRC_NOCALL;

    bool bounded = ncb->ncb_sto != 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(500 * ncb->ncb_sto);
    const std::shared_ptr<StopToken> cancel = cancel_token();

    auto s = std::make_shared<Session>();
    s->sock.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s->sock.fd < 0) return open_failure();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(where.port);
    addr.sin_addr.s_addr = where.ip;
    if (connect(s->sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) return NRC_NOCALL;
        int r = wait_ready(s->sock.fd, POLLOUT, bounded, deadline, *cancel);
        if (r == -2) return NRC_CMDCAN;
        if (r == 0) return NRC_CMDTMO;
        int err = 0;
        socklen_t elen = sizeof err;
        getsockopt(s->sock.fd, SOL_SOCKET, SO_ERROR, &err, &elen);
        if (r < 0 || err != 0) return NRC_NOCALL;
    }
    int flags = fcntl(s->sock.fd, F_GETFL);
    fcntl(s->sock.fd, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    setsockopt(s->sock.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    uint8_t request[4 + 2 * netbios_wire::kEncodedNameSize];
    netbios_wire::session_request(ncb->ncb_callname, ncb->ncb_name, request);
    if (!send_full(s->sock.fd, request, sizeof request)) return NRC_NOCALL;

    uint8_t head[4];
    Io io = read_full(s->sock.fd, head, 4, bounded, deadline, *cancel);
    if (io == Io::cancelled) return NRC_CMDCAN;
    if (io == Io::timeout) return NRC_CMDTMO;
    if (io != Io::ok || head[0] != netbios_wire::kPositiveResponse) return NRC_NOCALL;

    Provider& p = provider();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.sessions.size() >= 254) return NRC_NORES;
    int lsn = p.next_lsn;
    while (p.sessions.count(lsn)) lsn = lsn >= 254 ? 1 : lsn + 1;
    p.next_lsn = lsn >= 254 ? 1 : lsn + 1;
    p.sessions[lsn] = s;
    ncb->ncb_lsn = static_cast<UCHAR>(lsn);
    return NRC_GOODRET;
}

std::shared_ptr<Session> find_session(UCHAR lsn) {
    Provider& p = provider();
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.sessions.find(lsn);
    return it == p.sessions.end() ? nullptr : it->second;
}

void forget_session(UCHAR lsn, const std::shared_ptr<Session>& s) {
    Provider& p = provider();
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.sessions.find(lsn);
    if (it != p.sessions.end() && it->second == s) p.sessions.erase(it);
}

UCHAR receive(NCB* ncb) {
    if (!lana_exists(ncb->ncb_lana_num)) return NRC_BRIDGE;
    std::shared_ptr<Session> s = find_session(ncb->ncb_lsn);
    if (!s) return NRC_SNUMOUT;
    if (!ncb->ncb_buffer && ncb->ncb_length) return NRC_BUFLEN;
    std::lock_guard<std::mutex> g(s->recv_lock);
    bool bounded = ncb->ncb_rto != 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(500 * ncb->ncb_rto);
    const WORD room = ncb->ncb_length;
    const std::shared_ptr<StopToken> cancel = cancel_token();

    // A cancelled RECEIVE may leave a message half read: the session goes too.
    auto fail = [&](Io io) -> UCHAR {
        ncb->ncb_length = 0;
        if (io == Io::timeout && !s->hung) return NRC_CMDTMO;
        forget_session(ncb->ncb_lsn, s);
        return io == Io::cancelled && !s->hung ? NRC_CMDCAN : NRC_SCLOSED;
    };

    uint32_t length = s->rest;
    while (length == 0) {
        uint8_t head[4];
        Io io = read_full(s->sock.fd, head, 4, bounded, deadline, *cancel);
        if (io != Io::ok || s->hung) return fail(s->hung ? Io::closed : io);
        uint32_t n = (static_cast<uint32_t>(head[1] & 1) << 16) | (head[2] << 8) | head[3];
        if (head[0] == netbios_wire::kSessionMessage) {
            if (n == 0) {  // an empty message is still a message
                ncb->ncb_length = 0;
                return NRC_GOODRET;
            }
            length = n;
        } else {
            // Keep-alives and anything unexpected: skip the body.
            uint8_t skip[512];
            while (n > 0) {
                size_t k = n < sizeof skip ? n : sizeof skip;
                io = read_full(s->sock.fd, skip, k, bounded, deadline, *cancel);
                if (io != Io::ok) return fail(io);
                n -= static_cast<uint32_t>(k);
            }
        }
    }
    uint32_t take = length < room ? length : room;
    Io io = read_full(s->sock.fd, ncb->ncb_buffer, take, bounded, deadline, *cancel);
    if (io != Io::ok || s->hung) {
        s->rest = 0;
        // A message cut in the middle cannot be resumed.
        return fail(io == Io::cancelled ? io : Io::closed);
    }
    s->rest = length - take;
    ncb->ncb_length = static_cast<WORD>(take);
    return s->rest ? NRC_INCOMP : NRC_GOODRET;
}

UCHAR hang_up(NCB* ncb) {
    if (!lana_exists(ncb->ncb_lana_num)) return NRC_BRIDGE;
    std::shared_ptr<Session> s;
    {
        Provider& p = provider();
        std::lock_guard<std::mutex> g(p.lock);
        auto it = p.sessions.find(ncb->ncb_lsn);
        if (it == p.sessions.end()) return NRC_SNUMOUT;
        s = it->second;
        p.sessions.erase(it);
    }
    s->hung = true;
    shutdown(s->sock.fd, SHUT_RDWR);  // wakes an outstanding RECEIVE
    return NRC_GOODRET;
}

UCHAR execute(NCB* ncb) {
    switch (ncb->ncb_command & ~ASYNCH) {
        case NCBRESET:
            return lana_exists(ncb->ncb_lana_num) ? NRC_GOODRET : NRC_BRIDGE;
        case NCBADDNAME:
            return add_name(ncb);
        case NCBDELNAME:
            return delete_name(ncb);
        case NCBCALL:
            return call(ncb);
        case NCBRECV:
            return receive(ncb);
        case NCBHANGUP:
            return hang_up(ncb);
        default:
            return NRC_ILLCMD;
    }
}

void complete(NCB* ncb) {
    UCHAR rc = execute(ncb);
    ncb->ncb_retcode = rc;
    ncb->ncb_cmd_cplt = rc;
    if (ncb->ncb_post) ncb->ncb_post(ncb);
}

void completion_thread() {
    Completions& c = completions();
    std::unique_lock<std::mutex> g(c.lock);
    for (;;) {
        ++c.idle;
        c.ready.wait(g, [&] { return c.stopping || !c.queue.empty(); });
        --c.idle;
        if (c.queue.empty()) return;  // stopping, and nothing left to complete
        NCB* ncb = c.queue.front();
        c.queue.pop_front();
        g.unlock();
        complete(ncb);
        g.lock();
    }
}

// Hands the command to a completion thread; false when none can take it.
bool queue_command(NCB* ncb) {
    Completions& c = completions();
    std::lock_guard<std::mutex> g(c.lock);
    if (c.stopping) return false;
    c.queue.push_back(ncb);
    if (c.queue.size() > c.idle) {
        try {
            c.threads.emplace_back(completion_thread);
        } catch (...) {
            c.queue.pop_back();
            return false;
        }
    }
    c.ready.notify_one();
    return true;
}

}  // namespace

UCHAR Netbios(NCB* ncb) {
    if (!ncb) return NRC_ILLCMD;
    if (!(ncb->ncb_command & ASYNCH)) {
        ncb->ncb_retcode = execute(ncb);
        ncb->ncb_cmd_cplt = ncb->ncb_retcode;
        return ncb->ncb_retcode;
    }
    ncb->ncb_retcode = NRC_PENDING;
    ncb->ncb_cmd_cplt = NRC_PENDING;
    if (!queue_command(ncb)) {  // no thread, or shutting down: refused at once
        ncb->ncb_retcode = NRC_NORES;
        ncb->ncb_cmd_cplt = NRC_NORES;
        return NRC_NORES;
    }
    return NRC_PENDING;
}

void netbios_shutdown() {
    Completions& c = completions();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(c.lock);
        if (c.stopping) return;
        c.stopping = true;
        threads.swap(c.threads);
    }
    cancel_token()->request();
    c.ready.notify_all();
    for (std::thread& t : threads) t.join();
    {
        Provider& p = provider();
        std::lock_guard<std::mutex> g(p.lock);
        p.cancel = std::make_shared<StopToken>();
    }
    std::lock_guard<std::mutex> g(c.lock);
    c.stopping = false;
}
