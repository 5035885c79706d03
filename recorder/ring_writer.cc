#include "recorder/ring_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/descriptor.h"
#include "common/oplog.h"
#include "common/samples.h"
#include "common/station_context.h"
#include "recorder/file_index.h"

namespace {

RingFileState ring_files[kChannelCount];
// The status view copies a name while the recorder writes the entries.
std::mutex ring_files_lock;

// Opens `path` and takes the writers' lock, which closing drops; a file
// locked by another writer counts as one that cannot be opened.
int open_locked(const char* path, int flags, Descriptor* file) {
    file->fd = open(path, flags | O_CLOEXEC, 0666);
    if (file->fd < 0) return 0;
    if (flock(file->fd, LOCK_EX | LOCK_NB) != 0) {
        close(file->fd);
        file->fd = -1;
        return 0;
    }
    return 1;
}

void log_open_error(const char* path) { write_log_linef("Ошибка открытия файла '%s'", path); }

// Full path into `out`; 0 when it is longer than a ring file's path may be.
int full_path_of(const char* data_dir, const char* relative, char* out, size_t size) {
    int n = snprintf(out, size, "%s/%s", data_dir, relative);
    return n >= 0 && n <= kMaxRingPath && static_cast<size_t>(n) < size;
}

// Bytes of D seconds at the entry's rate, cut down to whole seconds that the
// buffer holds.
size_t piece_bytes(double sample_rate, int32_t* duration, size_t capacity) {
    if (*duration < 0 || !(sample_rate > 0)) {
        *duration = 0;
        return 0;
    }
    auto bytes = [&](int32_t d) { return static_cast<double>(std::trunc(2.0 * d * sample_rate)); };
    if (bytes(*duration) > static_cast<double>(capacity)) {
        *duration = static_cast<int32_t>(static_cast<double>(capacity) / (2.0 * sample_rate));
        while (*duration > 0 && bytes(*duration) > static_cast<double>(capacity)) --*duration;
    }
    return static_cast<size_t>(bytes(*duration));
}

// True when the open file is still the one the writer left; a sample's time
// is its offset from the header's start, so samples appended to a file cut,
// grown or replaced by hand would be served at the wrong time.
bool still_ours(int fd, const RingFileState& file_state, const char* path) {
    struct stat st {};
    if (file_state.inode == 0) return false;  // not known since its creation
    if (fstat(fd, &st) != 0) {
        log_open_error(path);
        return false;
    }
    if (st.st_dev != file_state.device || st.st_ino != file_state.inode) {
        write_log_linef("Файл '%s' заменён вне программы, запись продолжена в новом файле", path);
        return false;
    }
    if (st.st_size != file_state.bytes) {
        write_log_linef(
            "Файл '%s' изменён вне программы (%lld байт вместо %lld), запись продолжена в новом "
            "файле",
            path, static_cast<long long>(st.st_size), static_cast<long long>(file_state.bytes));
        return false;
    }
    return true;
}

// False when the piece is to start a new file instead of being lost: the
// current file is gone (the trimming may remove it) or no longer ours.
bool append_piece(const StationContext& station, const RosterEntry& entry,
                  RingFileState& file_state, const uint8_t* piece, size_t length, int32_t duration,
                  int gain_value) {
    char path[kMaxRingPath + 2];
    Descriptor file;
    if (!full_path_of(station.config.data_dir, file_state.name, path, sizeof path)) {
        write_log_linef("Ошибка открытия файла '%s/%s'", station.config.data_dir, file_state.name);
        return true;
    }
    if (!open_locked(path, O_WRONLY, &file)) {  // appending never creates the file
        if (errno == ENOENT) return false;
        log_open_error(path);
        return true;
    }
    if (!still_ours(file.fd, file_state, path)) return false;
    off_t before = lseek(file.fd, 0, SEEK_END);
    if (before < 0 || !write_all(file.fd, piece, length)) {
        // A full disk: leave the file as it was, so the index claims nothing
        // that is not on disk.
        int cut = before >= 0 ? ftruncate(file.fd, before) : -1;
        (void)cut;  // nothing more to do if even that fails
        log_open_error(path);
        return true;
    }
    extend_file({file_state.name, station.station_name, static_cast<long>(file_state.start_time),
                 static_cast<long>(std::trunc(file_state.duration)) + duration,
                 static_cast<int>(entry.sample_rate), gain_value, kRingDataType, entry.name});
    bump(channel_metrics(station.metrics, entry.channel).seconds_written,
         static_cast<uint64_t>(duration));
    std::lock_guard<std::mutex> lock(ring_files_lock);
    file_state.duration += duration;
    file_state.bytes += static_cast<int64_t>(length);
    if (file_state.duration > kMaxFileSeconds) file_state = RingFileState{};
    return true;
}

void create_piece_file(const StationContext& station, const RosterEntry& entry,
                       RingFileState& file_state, const uint8_t* piece, size_t capacity,
                       size_t length, double t, int32_t duration, int gain_field, int gain_value) {
    unsigned amin = capacity >= 2 ? sample_value(piece, 0) : 0;
    unsigned amax = amin;
    for (size_t i = 0; i < length / 2; ++i) {
        unsigned v = sample_value(piece, i);
        if (v < amin) amin = v;
        if (v > amax) amax = v;
    }
    char header[kRingHeaderSize];
    format_ring_header(header, t, duration, entry.sample_rate, gain_field, station.station_name,
                       entry.name, amin, amax);

    CalendarTime start{};
    calendar_from_seconds(t, &start);
    char hour_dir[kMaxRingPath + 2];
    int n = snprintf(hour_dir, sizeof hour_dir, "%s/%d", station.config.data_dir, start.hour);
    if (n > 0 && n <= kMaxRingPath) mkdir(hour_dir, 0777);  // usually exists already

    char relative[kFileNameSize];
    char path[kMaxRingPath + 2];
    if (!format_ring_name(relative, sizeof relative, t, entry.name, station.station_name)) {
        log_open_error(relative);
        return;
    }
    if (!full_path_of(station.config.data_dir, relative, path, sizeof path)) {
        write_log_linef("Ошибка открытия файла '%s/%s'", station.config.data_dir, relative);
        return;
    }
    Descriptor file;
    // Truncated only once the lock is held, so another writer's file is not cut.
    if (!open_locked(path, O_WRONLY | O_CREAT, &file) || ftruncate(file.fd, 0) != 0) {
        log_open_error(path);
        return;
    }
    if (!write_all(file.fd, header, sizeof header) || !write_all(file.fd, piece, length)) {
        unlink(path);
        log_open_error(path);
        return;
    }
    struct stat st {};
    const int known = fstat(file.fd, &st);
    register_file({relative, station.station_name, static_cast<long>(std::trunc(t)), duration,
                   static_cast<int>(entry.sample_rate), gain_value, kRingDataType, entry.name});
    bump(channel_metrics(station.metrics, entry.channel).seconds_written,
         static_cast<uint64_t>(duration));
    std::lock_guard<std::mutex> lock(ring_files_lock);
    snprintf(file_state.name, sizeof file_state.name, "%s", relative);
    file_state.start_time = t;
    file_state.duration = duration;
    file_state.bytes = kRingHeaderSize + static_cast<int64_t>(length);
    // A file whose identity is not known is not appended to: the next piece starts another.
    file_state.device = known == 0 ? st.st_dev : 0;
    file_state.inode = known == 0 ? st.st_ino : 0;
}

}  // namespace

void format_ring_header(char* out, double t, int32_t duration, double sample_rate, int gain_field,
                        const char* station, const char* channel, unsigned amin, unsigned amax) {
    memset(out, 0, kRingHeaderSize);
    CalendarTime start{};
    CalendarTime length{};
    calendar_from_seconds(t, &start);
    calendar_from_seconds(duration, &length);
    snprintf(out, kRingHeaderSize,
             "[KVR2.0]\r\n"
             "Data offset=512\r\n"
             "Start time=%02d %02d %02d\r\n"
             "Start date=%02d %02d %04d\r\n"
             "Time duration=%02d %02d %02d\r\n"
             "Data Type=SHORT\r\n"
             "SpS=%f\r\n"
             "Gain=%d\r\n"
             "Station=%s\r\n"
             "Channels=\"%s\"\r\n"
             "Amin=%u.0\r\n"
             "Amax=%u.0\r\n",
             start.hour, start.minute, static_cast<int>(start.second), start.day, start.month,
             start.year, length.hour, length.minute, static_cast<int>(length.second), sample_rate,
             gain_field, station, channel, amin, amax);
}

int format_ring_name(char* out, size_t size, double t, const char* channel, const char* station) {
    CalendarTime s{};
    calendar_from_seconds(t, &s);
    int n = snprintf(out, size, "%d/%02d%02d%02d-%02d%02d%04d-%3s.%3s", s.hour, s.hour, s.minute,
                     static_cast<int>(s.second), s.day, s.month, s.year, channel, station);
    return n >= 0 && static_cast<size_t>(n) < size;
}

RingFileState current_ring_file(int channel) {
    if (channel < 0 || channel >= kChannelCount) return RingFileState{};
    std::lock_guard<std::mutex> lock(ring_files_lock);
    return ring_files[channel];
}

void forget_ring_files() {
    std::lock_guard<std::mutex> lock(ring_files_lock);
    for (RingFileState& file : ring_files) file = RingFileState{};
}

void write_piece(const StationContext& station, const RosterEntry& entry, const uint8_t* piece,
                 size_t capacity, double t, int32_t duration) {
    if (entry.channel < 0 || entry.channel >= kChannelCount || piece == nullptr) return;
    RingFileState& file = ring_files[entry.channel];
    size_t length = piece_bytes(entry.sample_rate, &duration, capacity);
    int gain_value =
        station.config.use_gain ? static_cast<int>(std::trunc(std::pow(2.0, entry.gain))) : 1;
    int gain_field = station.config.use_gain ? entry.gain : 1;
    if (file.name[0] != '\0' && file.start_time + file.duration == t &&
        append_piece(station, entry, file, piece, length, duration, gain_value))
        return;
    create_piece_file(station, entry, file, piece, capacity, length, t, duration, gain_field,
                      gain_value);
}
