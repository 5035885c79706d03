#include "net/listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

Peer peer_of(const sockaddr_storage& a) {
    Peer p;
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        p.port = ntohs(v6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
            p.v6 = true;
        }
    } else {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        p.port = ntohs(v4.sin_port);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    }
    p.address = text;
    return p;
}

int bind_listen(const sockaddr* at, socklen_t length, int backlog) {
    const int fd = ::socket(at->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1, no = 0;
    // Lets a restarted server take the port while old connections linger.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (at->sa_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (bind(fd, at, length) == 0 && listen(fd, backlog) == 0) return fd;
    close(fd);
    return -1;
}

int open_socket(const std::string& host, int port, int backlog) {
    if (host.empty()) {
        sockaddr_in6 a6{};
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_any;
        a6.sin6_port = htons(static_cast<uint16_t>(port));
        int fd = bind_listen(reinterpret_cast<sockaddr*>(&a6), sizeof a6, backlog);
        if (fd >= 0) return fd;
        // No IPv6 on this host: IPv4 alone.
        sockaddr_in a4{};
        a4.sin_family = AF_INET;
        a4.sin_addr.s_addr = htonl(INADDR_ANY);
        a4.sin_port = htons(static_cast<uint16_t>(port));
        return bind_listen(reinterpret_cast<sockaddr*>(&a4), sizeof a4, backlog);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next)
        fd = bind_listen(ai->ai_addr, ai->ai_addrlen, backlog);
    freeaddrinfo(found);
    return fd;
}

}  // namespace

std::string Peer::name() const {
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

Slot& Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        release();
        owner_ = other.owner_;
        address_ = std::move(other.address_);
        other.owner_ = nullptr;
    }
    return *this;
}

void Slot::release() {
    if (owner_ != nullptr) owner_->release(address_);
    owner_ = nullptr;
}

bool Listener::start(ListenerOptions options) {
    if (thread_.joinable()) return false;
    fd_ = open_socket(options.host, options.port, options.backlog);
    if (fd_ < 0) return false;
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    port_ = getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0 ? peer_of(a).port
                                                                             : options.port;
    options_ = std::move(options);
    stop_ = std::make_unique<StopToken>();
    thread_ = std::thread(&Listener::run, this);
    return true;
}

void Listener::stop() {
    if (!thread_.joinable()) return;
    stop_->request();
    thread_.join();
    close(fd_);
    fd_ = -1;
}

int Listener::held() const {
    std::lock_guard<std::mutex> hold(lock_);
    return total_;
}

void Listener::release(const std::string& address) {
    std::lock_guard<std::mutex> hold(lock_);
    --total_;
    auto it = per_address_.find(address);
    if (it != per_address_.end() && --it->second <= 0) per_address_.erase(it);
}

void Listener::run() {
    while (!stop_->requested()) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stop_->fd(), POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (stop_->requested()) break;
        if ((p[0].revents & POLLIN) == 0) continue;
        sockaddr_storage a{};
        socklen_t length = sizeof a;
        const int fd =
            accept4(fd_, reinterpret_cast<sockaddr*>(&a), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            take(fd, peer_of(a));
            continue;
        }
        // The socket stays readable; the loop rests instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (options_.on_refuse) options_.on_refuse(-1, Peer{}, Refusal::kDescriptors, held());
            stop_->wait_for(options_.descriptor_pause);
        }
    }
}

void Listener::take(int fd, const Peer& peer) {
    Refusal why = Refusal::kAddress;
    int held = 0;
    bool admitted = false;
    Listener& counts = options_.counted_with != nullptr ? *options_.counted_with : *this;
    if (options_.allow.admits(peer.address)) {
        std::lock_guard<std::mutex> hold(counts.lock_);
        auto& per_address = counts.per_address_;
        const int from = per_address.count(peer.address) ? per_address[peer.address] : 0;
        if (options_.max_total > 0 && counts.total_ >= options_.max_total) {
            why = Refusal::kTotal;
            held = counts.total_;
        } else if (options_.max_per_address > 0 && from >= options_.max_per_address) {
            why = Refusal::kPerAddress;
            held = from;
        } else {
            ++counts.total_;
            ++per_address[peer.address];
            admitted = true;
        }
    }
    if (!admitted) {
        if (options_.on_refuse)
            options_.on_refuse(fd, peer, why, held);
        else
            close(fd);
        return;
    }
    Accepted c{fd, peer, Slot(&counts, peer.address)};
    if (options_.on_accept)
        options_.on_accept(std::move(c));
    else
        close(fd);
}
