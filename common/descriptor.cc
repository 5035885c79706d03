#include "common/descriptor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

Descriptor::~Descriptor() {
    if (fd >= 0) close(fd);
}

bool write_all(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ssize_t done = write(fd, p, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

bool writable_directory(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, W_OK) == 0;
}
