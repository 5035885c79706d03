// parse_command_line and the channel-list rule on arbitrary arguments: the
// input is split at NUL bytes into the argument vector after the program
// name; the whole input is also parsed as one channel list.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "seed/stream_registry.h"
#include "common/app_state.h"
#include "shell/config.h"

namespace {

bool terminated(const char* field, size_t size) { return strnlen(field, size) < size; }

void check_selection() {
    for (const std::string& name : selected_channels) {
        if (name.empty() || name.size() > static_cast<size_t>(kMaxChannelListName)) std::abort();
        if (name.find_first_of(" ,;") != std::string::npos) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args{"veldrum"};
    size_t start = 0;
    while (start <= input.size() && args.size() < 64) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos) end = input.size();
        args.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());

    reset_config_for_test();
    StreamRegistry registry;
    std::string error;
    if (set_station_name(argv.size() > 1 ? argv[1] : "", &error)) {
        if (!terminated(station_name, sizeof station_name)) std::abort();
        registry.findOrAddStation(station_name);
    } else if (error.empty()) {
        std::abort();
    } else {
        registry.findOrAddStation("X");
    }
    parse_command_line(static_cast<int>(argv.size()), argv.data(), registry);
    if (config.flush_rounds < 1) std::abort();
    if (!terminated(config.data_source, sizeof config.data_source) ||
        !terminated(config.data_dir, sizeof config.data_dir) ||
        !terminated(config.db_user, sizeof config.db_user) ||
        !terminated(config.db_password, sizeof config.db_password))
        std::abort();
    if (std::strpbrk(config.data_dir, "'\"")) std::abort();
    check_selection();
    if (registry.channelCount(0) > static_cast<int>(selected_channels.size())) std::abort();

    selected_channels.clear();
    parse_channel_list(input.c_str(), registry);
    check_selection();
    (void)upper_case(input);
    reset_config_for_test();
    return 0;
}
