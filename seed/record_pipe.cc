#include "seed/record_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/oplog.h"

RecordPipe::RecordPipe(int32_t cap) : capacity(cap) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        write_log_linef("RecordPipe: pipe2: %s", std::strerror(errno));
        return;
    }
    const int got = fcntl(fds[1], F_SETPIPE_SZ, capacity);
    if (got < capacity) {
        write_log_linef("RecordPipe: F_SETPIPE_SZ %d: %s", capacity, std::strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return;
    }
    readFd = fds[0];
    writeFd = fds[1];
}

RecordPipe::~RecordPipe() {
    if (readFd >= 0) close(readFd);
    if (writeFd >= 0) close(writeFd);
}

bool RecordPipe::readExact(void* dst, size_t n) {
    auto* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
        const ssize_t k = read(readFd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool RecordPipe::writeExact(const void* src, size_t n) {
    auto* p = static_cast<const uint8_t*>(src);
    while (n > 0) {
        const ssize_t k = write(writeFd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void RecordPipe::put(const uint8_t* record, int32_t length) {
    std::lock_guard<std::mutex> guard(lock);
    const double limit = 0.8 * capacity;
    if (static_cast<double>(length) + 4 > limit) {
        write_log_line("Размер блока данных больше размера буфера. Блок не передан.");
        return;
    }
    if (writeFd < 0 || record == nullptr || length <= 0) return;
    while (static_cast<double>(queued) + length + 4 > limit && queued > 0) dropOldest();
    const uint32_t n = static_cast<uint32_t>(length);
    if (!writeExact(&n, sizeof n) || !writeExact(record, n)) {
        write_log_linef("RecordPipe: write: %s", std::strerror(errno));
        return;
    }
    queued += length + 4;
}

void RecordPipe::dropOldest() {
    if (queued <= 0) return;
    uint32_t n = 0;
    if (!readExact(&n, sizeof n)) {
        queued = 0;
        return;
    }
    std::unique_ptr<uint8_t[]> tmp(new uint8_t[n]);
    readExact(tmp.get(), n);
    queued -= static_cast<int32_t>(n) + 4;
}

int32_t RecordPipe::take(uint8_t* buffer, int32_t size) {
    std::lock_guard<std::mutex> guard(lock);
    if (queued <= 0) return 0;
    uint32_t n = 0;
    if (!readExact(&n, sizeof n)) {
        queued = 0;
        return 0;
    }
    std::unique_ptr<uint8_t[]> tmp(new uint8_t[n]);
    readExact(tmp.get(), n);
    queued -= static_cast<int32_t>(n) + 4;
    const int32_t k =
        size < 0 ? 0 : (static_cast<int32_t>(n) < size ? static_cast<int32_t>(n) : size);
    if (buffer != nullptr && k > 0) std::memcpy(buffer, tmp.get(), static_cast<size_t>(k));
    return buffer != nullptr ? k : 0;
}

int32_t RecordPipe::queuedBytes() {
    std::lock_guard<std::mutex> guard(lock);
    return queued;
}
