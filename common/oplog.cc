// Operation log. One lock serialises the repeat test and the file access, so
// lines of different threads never interleave. The file is opened and closed
// for every line, so other programs can read it while the server runs.
#include "common/oplog.h"
#include "common/oplog_testing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/descriptor.h"

namespace {

constexpr size_t kLogDirSize = 1024;
constexpr size_t kLastTextSize = 4096;

std::mutex log_lock;
std::atomic<int> log_enabled{0};
char log_dir[kLogDirSize + 2];
char last_text[kLastTextSize];
time_t (*log_clock)() = nullptr;
// A descriptor kept for the log alone: when the process has none free (the
// moment an error most needs recording), its slot is given up to open the
// day's file, and that file is then kept as the reserve.
int reserve_fd = -1;
bool reserve_is_log = false;

int open_log_file(const char* path, bool* from_reserve) {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    int fd = ::open(path, flags, 0666);
    *from_reserve = false;
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || reserve_fd < 0) return fd;
    ::close(reserve_fd);
    reserve_fd = -1;
    fd = ::open(path, flags, 0666);
    *from_reserve = fd >= 0;
    return fd;
}

// Takes a reserve, or trades a log file held as one for /dev/null, so that
// no log file stays open longer than needed.
void keep_reserve() {
    if (reserve_fd >= 0 && !reserve_is_log) {
        // Kept in the lowest free slot: a slot freed below it (a closed
        // socket) would otherwise be the one a full table hands out, beyond
        // the limit, when the reserve is given up for the log.
        const int lower = fcntl(reserve_fd, F_DUPFD_CLOEXEC, 0);
        if (lower >= 0 && lower < reserve_fd) {
            ::close(reserve_fd);
            reserve_fd = lower;
        } else if (lower >= 0) {
            ::close(lower);
        }
        return;
    }
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (reserve_fd >= 0) ::close(reserve_fd);
    reserve_fd = fd;
    reserve_is_log = false;
}

}  // namespace

bool log_open(const char* dir) {
    std::lock_guard<std::mutex> lock(log_lock);
    if (dir == nullptr || dir[0] == '\0') return true;
    size_t n = strnlen(dir, kLogDirSize);  // a longer path is cut
    std::memcpy(log_dir, dir, n);
    log_dir[n] = '\0';
    if (log_dir[n - 1] != '/') std::memcpy(log_dir + n, "/", 2);
    keep_reserve();
    log_enabled.store(1);
    ::mkdir(log_dir, 0777);  // as every line does
    return writable_directory(log_dir);
}

void write_log_line(const char* text) {
    if (!log_enabled.load()) return;
    if (!text) text = "";
    std::lock_guard<std::mutex> lock(log_lock);
    // Longer texts are cut to the size of the repeat buffer.
    char current[kLastTextSize];
    std::snprintf(current, sizeof current, "%s", text);
    if (last_text[0] != '\0' && std::strcmp(current, last_text) == 0) return;

    time_t now = log_clock ? log_clock() : std::time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    std::string line(32, '\0');
    int head =
        std::snprintf(line.data(), line.size(), "%02d:%02d:%02d %02d.%02d.%04d  #", utc.tm_hour,
                      utc.tm_min, utc.tm_sec, utc.tm_mday, utc.tm_mon + 1, utc.tm_year + 1900);
    line.resize(head > 0 ? static_cast<size_t>(head) : 0);
    line += utf8_to_cp1251(current);
    line += "#\r\n";

    char path[kLogDirSize + 32];
    std::snprintf(path, sizeof path, "%s%02d%02d%04d.log", log_dir, utc.tm_mday, utc.tm_mon + 1,
                  utc.tm_year + 1900);
    ::mkdir(log_dir, 0777);  // usually exists already
    bool from_reserve = false;
    int fd = open_log_file(path, &from_reserve);
    // The line is lost, as nobody is there to tell; its repeat is not.
    if (fd < 0) return;
    ssize_t written = ::write(fd, line.data(), line.size());
    if (from_reserve) {
        reserve_fd = fd;
        reserve_is_log = true;
    } else {
        ::close(fd);
        keep_reserve();
    }
    if (written == static_cast<ssize_t>(line.size()))
        std::memcpy(last_text, current, sizeof current);
}

void write_log_linef(const char* format, ...) {
    char text[kLastTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    write_log_line(text);
}

void log_set_clock_for_test(time_t (*clock)()) {
    std::lock_guard<std::mutex> lock(log_lock);
    log_clock = clock;
}

void log_reset_for_test() {
    std::lock_guard<std::mutex> lock(log_lock);
    log_enabled.store(0);
    if (reserve_fd >= 0) ::close(reserve_fd);
    reserve_fd = -1;
    reserve_is_log = false;
    log_dir[0] = '\0';
    last_text[0] = '\0';
    log_clock = nullptr;
}
