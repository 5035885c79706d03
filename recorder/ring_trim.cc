#include "recorder/ring_trim.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/app_state.h"
#include "common/station_context.h"
#include "recorder/file_index.h"

namespace {

// A cpath that is absolute or climbs out of the data directory is no ring
// file of ours; it is left alone, file and row.
bool inside_data_dir(const std::string& cpath) {
    if (cpath.empty() || cpath[0] == '/' || cpath[0] == '\\') return false;
    size_t start = 0;
    while (start <= cpath.size()) {
        size_t end = cpath.find_first_of("/\\", start);
        if (end == std::string::npos) end = cpath.size();
        if (cpath.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

bool file_size_of(const char* full_path, uint64_t* size) {
    struct stat st {};
    if (stat(full_path, &st) != 0 || !S_ISREG(st.st_mode)) {
        *size = 0;
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

void trim_ring(const StationContext& station) {
    if (!index_connected()) return;
    const char* station_name = station.station_name;
    const uint64_t size_limit = station.config.size_limit;
    std::atomic<uint64_t>& ring_bytes = station.metrics.ring_bytes;
    uint64_t measure = ring_size(station_name);
    ring_bytes.store(measure, std::memory_order_relaxed);
    if (measure < size_limit) return;
    std::vector<std::string> candidates;
    if (!oldest_files(station_name, &candidates)) return;
    for (const std::string& cpath : candidates) {
        if (inside_data_dir(cpath)) {
            std::string full = std::string(station.config.data_dir) + "/" + cpath;
            for (char& ch : full)
                if (ch == '\\') ch = '/';
            uint64_t size = 0;
            if (file_size_of(full.c_str(), &size)) {
                if (unlink(full.c_str()) == 0) {
                    unregister_file(cpath.c_str(), station_name);
                    measure = size < measure ? measure - size : 0;
                    ring_bytes.store(measure, std::memory_order_relaxed);
                }
            } else {
                unregister_file(cpath.c_str(), station_name);
            }
        }
        if (measure < size_limit) return;
    }
}
