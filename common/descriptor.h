// Descriptors: one owner that closes, writing all of a buffer, and whether
// a directory can take files.
#pragma once

#include <cstddef>

// Owns a descriptor and closes it on scope exit (-1: none).
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int f = -1) : fd(f) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();
};

// Writes all `length` bytes to a blocking descriptor, again after a signal
// or a short write; false on any failure.
bool write_all(int fd, const void* data, size_t length);

// True when path is a directory this process may create files in.
bool writable_directory(const char* path);
