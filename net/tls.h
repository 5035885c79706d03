// TLS for the servers: the certificate and key, read from PEM files at start
// and again on SIGHUP, and one connection layer that reads and writes an
// accepted non-blocking socket either plainly or through TLS.
//
// Threads: TlsCredentials is shared by every server; its context is swapped
// whole under a short lock, and each connection keeps the context it was
// accepted with, so a reload changes only the connections after it. A
// Socket belongs to the one thread that serves it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class TlsCredentials {
  public:
    // Reads the certificate chain and the key and checks that they belong
    // together. True on success; false with *why (the file and OpenSSL's
    // reason), the credentials held before left in force.
    bool load(const std::string& cert_file, const std::string& key_file, std::string* why);
    // The same files read again; false (with *why) when none were ever given.
    bool reload(std::string* why);
    // The context for a new connection; null before the first good load.
    std::shared_ptr<SSL_CTX> context() const;
    void clear();

  private:
    mutable std::mutex lock_;
    std::string cert_file_, key_file_;
    std::shared_ptr<SSL_CTX> context_;
};

// The process's credentials ([VELDRUM] TLSCERT and TLSKEY), loaded by main.
TlsCredentials& tls_credentials();

// One accepted non-blocking socket. read and write behave as recv and send
// with MSG_DONTWAIT: the bytes moved; read gives 0 at the peer's close;
// -1 with errno, EAGAIN when it would block. Over TLS the handshake is
// driven by the first reads and writes, so a waiting loop only needs
// wants_write() and buffered() beside the socket's own readiness.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    // TLS over fd with the given context; false when no session could be
    // made (out of memory), and the connection is then plain and unusable.
    bool start_tls(std::shared_ptr<SSL_CTX> context);
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept { *this = std::move(other); }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool tls() const { return ssl_ != nullptr; }
    ssize_t read(void* buffer, size_t size);
    ssize_t write(const void* data, size_t size);
    // The last EAGAIN waits for the socket to take bytes, not to give them
    // (a handshake's reply, say): wait for POLLOUT before trying again.
    bool wants_write() const { return wants_write_; }
    // Bytes already deciphered and waiting: the socket may show nothing.
    bool buffered() const;
    // Why the last call failed over TLS (OpenSSL's reason), else empty.
    const std::string& failure() const { return failure_; }
    // A close_notify when the handshake was done (never waited for), then
    // the socket closed.
    void close();

  private:
    ssize_t finish(int result, bool reading);

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    std::shared_ptr<SSL_CTX> context_;
    bool wants_write_ = false;
    std::string failure_;
};
