// The private-profile reader and the start-up keys on arbitrary file
// contents; then one key is written and must read back unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/app_state.h"
#include "platform/profile.h"
#include "seed/stream_registry.h"
#include "shell/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Memory-backed when there is one: every run writes and renames the file.
    static const std::string file =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/veldrum-ini-fuzz-" +
        std::to_string(getpid()) + ".ini";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    const char* f = file.c_str();
    // Every call reads the whole file: a few pairs are enough.
    for (const char* s : {"abc", "-LISTBOX-", ""})
        for (const char* k : {"SCH", "Width", ""}) {
            std::string v = profile_get_string(s, k, "<default>", f);
            char small[4];
            size_t n = profile_get_string(s, k, "", small, sizeof small, f);
            if (n >= sizeof small || small[n] != '\0') std::abort();
            (void)profile_get_int(s, k, -7, f);
            (void)parse_decimal(v.c_str());
        }

    StationContext station;
    const Config& config = station.config;
    std::snprintf(station.station_name, sizeof station.station_name, "ABC");
    StreamRegistry registry;
    registry.findOrAddStation(station.station_name);
    read_port_and_channels(station, f, registry);
    read_startup_keys(station, f);
    setenv("WINDIR", "/nonexistent", 1);
    read_data_dir(station.config, f);
    if (config.size_limit == 0 || config.data_dir[sizeof config.data_dir - 1] != '\0') std::abort();
    for (const std::string& name : station.selected_channels)
        if (name.empty() || name.size() > static_cast<size_t>(kMaxChannelListName)) std::abort();

    const char* widths = "80,60,90,150,200";
    if (profile_write_string("-LISTBOX-", "Width", widths, f) &&
        profile_get_string("-LISTBOX-", "Width", "", f) != widths)
        std::abort();
    std::remove(f);
    return 0;
}
