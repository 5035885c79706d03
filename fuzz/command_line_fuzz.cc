// parse_command_line and the channel-list rule on arbitrary arguments: the
// input is split at NUL bytes into the argument vector after the program
// name; the whole input is also parsed as one channel list.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/app_state.h"
#include "seed/stream_registry.h"
#include "shell/config.h"

namespace {

// Each fixed field keeps its terminating NUL.
void check_terminated(const auto&... field) {
    if (((strnlen(field, sizeof field) == sizeof field) || ...)) std::abort();
}

void check_selection(const StationContext& station) {
    for (const std::string& name : station.selected_channels)
        if (name.empty() || name.size() > size_t(kMaxChannelListName) ||
            name.find_first_of(" ,;") != name.npos)
            std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args{"veldrum"};
    for (size_t start = 0; start <= input.size() && args.size() < 64;) {
        size_t end = std::min(input.find('\0', start), input.size());
        args.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());

    StationContext station;
    const Config& config = station.config;
    StreamRegistry registry;
    std::string error;
    const bool named = set_station_name(station, argv[1], &error);
    if (named == !error.empty()) std::abort();  // a refusal says why
    check_terminated(station.station_name);
    registry.findOrAddStation(named ? station.station_name : "X");
    parse_command_line(station, static_cast<int>(argv.size()), argv.data(), registry);
    if (config.flush_rounds < 1 || std::strpbrk(config.data_dir, "'\"")) std::abort();
    check_terminated(config.data_source, config.data_dir, config.db_user, config.db_password);
    check_selection(station);
    if (registry.channelCount(0) > static_cast<int>(station.selected_channels.size())) std::abort();

    station.selected_channels.clear();
    parse_channel_list(station, input.c_str(), registry);
    check_selection(station);
    (void)upper_case(input);
    return 0;
}
