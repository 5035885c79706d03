#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The first of OpenSSL's reasons waiting on this thread ("No such file or
// directory", "no start line", "key values mismatch"); the queue emptied.
std::string ssl_reasons() {
    const unsigned long first = ERR_get_error();
    const char* reason = first != 0 ? ERR_reason_error_string(first) : nullptr;
    char code[256] = "unknown error";
    if (first != 0 && ERR_SYSTEM_ERROR(first))
        reason = std::strerror(static_cast<int>(ERR_GET_REASON(first)));
    else if (first != 0 && reason == nullptr)
        ERR_error_string_n(first, code, sizeof code);
    ERR_clear_error();
    return reason != nullptr ? reason : code;
}

}  // namespace

bool TlsCredentials::load(const std::string& cert_file, const std::string& key_file,
                          std::string* why) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        cert_file_ = cert_file;
        key_file_ = key_file;
    }
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        *why = ssl_reasons();
        return false;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // A client gone without close_notify is an ordinary end, not an error.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Output buffers grow and move between tries, and a part sent counts.
    SSL_CTX_set_mode(context.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context.get(), cert_file.c_str()) != 1) {
        *why = cert_file + ": " + ssl_reasons();
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(context.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        *why = key_file + ": " + ssl_reasons();
        return false;
    }
    if (SSL_CTX_check_private_key(context.get()) != 1) {
        *why = key_file + ": " + ssl_reasons();
        return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    context_ = std::move(context);
    return true;
}

bool TlsCredentials::reload(std::string* why) {
    std::string cert, key;
    {
        std::lock_guard<std::mutex> hold(lock_);
        cert = cert_file_;
        key = key_file_;
    }
    if (cert.empty() || key.empty()) {
        *why = "TLSCERT and TLSKEY are not set";
        return false;
    }
    return load(cert, key, why);
}

std::shared_ptr<SSL_CTX> TlsCredentials::context() const {
    std::lock_guard<std::mutex> hold(lock_);
    return context_;
}

void TlsCredentials::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    cert_file_.clear();
    key_file_.clear();
    context_.reset();
}

TlsCredentials& tls_credentials() {
    static TlsCredentials credentials;
    return credentials;
}

bool Socket::start_tls(std::shared_ptr<SSL_CTX> context) {
    if (ssl_ != nullptr || !context) return false;
    ssl_ = SSL_new(context.get());
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
        return false;
    }
    SSL_set_accept_state(ssl_);
    context_ = std::move(context);
    return true;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        ssl_ = other.ssl_;
        context_ = std::move(other.context_);
        wants_write_ = other.wants_write_;
        failure_ = std::move(other.failure_);
        other.fd_ = -1;
        other.ssl_ = nullptr;
    }
    return *this;
}

ssize_t Socket::read(void* buffer, size_t size) {
    if (ssl_ == nullptr) return recv(fd_, buffer, size, MSG_DONTWAIT);
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, 1 << 30)));
    return finish(n, true);
}

ssize_t Socket::write(const void* data, size_t size) {
    if (ssl_ == nullptr) return send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    ERR_clear_error();
    const int n = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
    return finish(n, false);
}

// SSL_read's and SSL_write's result in recv's and send's terms.
ssize_t Socket::finish(int result, bool reading) {
    wants_write_ = false;
    if (result > 0) return result;
    const int saved = errno;
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_WRITE:
            wants_write_ = true;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            if (reading) return 0;
            errno = EPIPE;
            return -1;
        case SSL_ERROR_SYSCALL:
            // The socket's own error; without one, the peer just went.
            if (ERR_peek_error() == 0) {
                if (saved == 0 && reading) return 0;
                errno = saved == 0 ? EPIPE : saved;
                return -1;
            }
            [[fallthrough]];
        default:
            failure_ = ssl_reasons();
            errno = EPROTO;
            return -1;
    }
}

bool Socket::buffered() const { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

void Socket::close() {
    if (ssl_ != nullptr) {
        // Never waited for: a close_notify the socket takes at once, or none.
        if (SSL_is_init_finished(ssl_)) {
            ERR_clear_error();
            SSL_shutdown(ssl_);
        }
        SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
    }
    context_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
