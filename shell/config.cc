// Configuration. There are no configuration errors: unknown arguments are
// ignored and text that is no number counts as 0. Values too long for their
// field are cut with a note on stderr.
#include "shell/config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/app_state.h"
#include "common/oplog.h"
#include "platform/profile.h"
#include "seed/stream_registry.h"

namespace {

void copy_value(const char* option, const std::string& value, char* field, size_t size) {
    if (value.size() >= size)
        std::fprintf(stderr, "%s: значение длиннее %zu символов обрезано\n", option, size - 1);
    std::snprintf(field, size, "%s", value.c_str());
}

bool starts_with(const std::string& text, const char* key) {
    return text.compare(0, std::strlen(key), key) == 0;
}

int32_t clamp_int32(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

void trim_trailing_separator(char* dir) {
    size_t n = std::strlen(dir);
    if (n > 0 && (dir[n - 1] == '/' || dir[n - 1] == '\\')) dir[n - 1] = '\0';
}

// A whole number from [VELDRUM] KEY in lo..hi; anything else gives the
// default with a line on stderr.
long long veldrum_number(const char* key, long long fallback, long long lo, long long hi,
                         const char* ini_file) {
    const std::string text = profile_get_string("VELDRUM", key, "", ini_file).substr(0, 64);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || v < lo || v > hi) {
        std::fprintf(stderr, "%s=%s не годится, взято %lld\n", key, text.c_str(), fallback);
        return fallback;
    }
    return v;
}

void read_seedlink_keys(Config& config, const char* ini_file) {
    const std::string network =
        upper_case(profile_get_string("VELDRUM", "NETWORK", "XX", ini_file));
    bool usable = !network.empty() && network.size() <= 2;
    for (char c : network) usable = usable && ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
    if (!usable)
        std::fprintf(stderr, "NETWORK=%s не годится, взято XX\n", network.substr(0, 64).c_str());
    std::snprintf(config.network, sizeof config.network, "%s", usable ? network.c_str() : "XX");
    config.seedlink_port = static_cast<int32_t>(veldrum_number("SEEDLINK", 0, 0, 65535, ini_file));
    config.seedlink_ring_bytes =
        static_cast<uint64_t>(veldrum_number("SLRINGMB", 64, 1, 65536, ini_file)) * 1048576ull;
    const std::string latency =
        profile_get_string("VELDRUM", "SLLATENCY", "1", ini_file).substr(0, 64);
    char* end = nullptr;
    const double seconds = std::strtod(latency.c_str(), &end);
    if (end == latency.c_str() || *end != '\0' || !(seconds >= 0.1 && seconds <= 60)) {
        std::fprintf(stderr, "SLLATENCY=%s не годится, взято 1\n", latency.c_str());
        config.seedlink_latency = 1.0;
    } else {
        config.seedlink_latency = seconds;
    }
    config.seedlink_clients =
        static_cast<int32_t>(veldrum_number("SLCLIENTS", 100, 1, 10000, ini_file));
    config.seedlink_allow = profile_get_string("VELDRUM", "SLALLOW", "", ini_file).substr(0, 4096);
    config.seedlink_tls_port = static_cast<int32_t>(veldrum_number("SLTLS", 0, 0, 65535, ini_file));
    config.https = profile_get_string("VELDRUM", "HTTPS", "", ini_file).substr(0, 300);
    config.tls_cert = profile_get_string("VELDRUM", "TLSCERT", "", ini_file).substr(0, 4096);
    config.tls_key = profile_get_string("VELDRUM", "TLSKEY", "", ini_file).substr(0, 4096);
}

// A decimal number from [VELDRUM] KEY in lo..hi; false when absent or unusable
// (said on stderr).
bool veldrum_decimal(const char* key, double lo, double hi, const char* ini_file, double* out) {
    const std::string text = profile_get_string("VELDRUM", key, "", ini_file).substr(0, 64);
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v >= lo && v <= hi)) {
        std::fprintf(stderr, "%s=%s не годится\n", key, text.c_str());
        return false;
    }
    *out = v;
    return true;
}

void read_station_place(Config& config, const char* ini_file) {
    double lat = 0, lon = 0, elev = 0;
    const bool a = veldrum_decimal("LATITUDE", -90, 90, ini_file, &lat);
    const bool b = veldrum_decimal("LONGITUDE", -180, 180, ini_file, &lon);
    const bool c = veldrum_decimal("ELEVATION", -12000, 9000, ini_file, &elev);
    config.has_coordinates = a && b;
    config.latitude = a ? lat : 0;
    config.longitude = b ? lon : 0;
    config.elevation = c ? elev : 0;
}

}  // namespace

std::string upper_case(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 32);
        } else if ((c == 0xD0 || c == 0xD1) && i + 1 < out.size()) {
            auto d = static_cast<unsigned char>(out[i + 1]);
            if (c == 0xD0 && d >= 0xB0 && d <= 0xBF) {  // а..п
                out[i + 1] = static_cast<char>(d - 0x20);
            } else if (c == 0xD1 && d >= 0x80 && d <= 0x8F) {  // р..я
                out[i] = static_cast<char>(0xD0);
                out[i + 1] = static_cast<char>(d + 0x20);
            } else if (c == 0xD1 && d >= 0x90 && d <= 0x9F) {  // ѐ..џ, ё among them
                out[i] = static_cast<char>(0xD0);
                out[i + 1] = static_cast<char>(d - 0x10);
            }
            ++i;
        }
    }
    return out;
}

bool set_station_name(StationContext& station, const char* argument, std::string* error) {
    std::string name = upper_case(argument ? argument : "");
    if (name.empty()) {
        *error = "Пустое имя станции";
        return false;
    }
    if (name.size() > static_cast<size_t>(kMaxStationNameLength)) {
        *error = "Имя станции '" + name + "' длиннее " + std::to_string(kMaxStationNameLength) +
                 " символов: имя в системе Netbios не поместится";
        return false;
    }
    std::snprintf(station.station_name, sizeof station.station_name, "%s", name.c_str());
    return true;
}

int parse_channel_list(StationContext& station, const char* text, StreamRegistry& registry) {
    if (!text) return 0;
    int taken = 0;
    std::string name;
    for (const char* p = text;; ++p) {
        char c = *p;
        if (c == ',' || c == ';' || c == '\0') {
            if (name.size() > static_cast<size_t>(kMaxChannelListName)) {
                std::fprintf(stderr, "Имя канала '%s' длиннее %d символов пропущено\n",
                             name.c_str(), kMaxChannelListName);
            } else if (!name.empty()) {
                registry.findOrAddChannel(0, name.c_str(), 0.0);
                station.selected_channels.push_back(name);
                ++taken;
            }
            name.clear();
            if (c == '\0') break;
        } else if (c != ' ') {
            name += c;
        }
    }
    return taken;
}

void parse_command_line(StationContext& station, int argc, const char* const* argv,
                        StreamRegistry& registry) {
    Config& config = station.config;
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) continue;
        std::string raw(argv[i], strnlen(argv[i], kArgumentSize - 1));
        std::string arg = upper_case(raw);
        if (starts_with(arg, "ODBC=")) {
            copy_value("ODBC=", arg.substr(5), config.data_source, sizeof config.data_source);
        }
        if (starts_with(arg, "DATA=")) {
            // File names are case-sensitive here: the directory keeps its case.
            std::string dir;
            for (char c : raw.substr(5))
                if (c != '\'' && c != '"') dir += c;
            copy_value("DATA=", dir, config.data_dir, sizeof config.data_dir);
        }
        if (starts_with(arg, "FLUSH=")) {
            long long rounds = parse_decimal(arg.c_str() + 6) / 5;
            if (rounds > 1000000000) rounds = 1000000000;
            config.flush_rounds = rounds < 1 ? 1 : static_cast<int32_t>(rounds);
        }
        if (starts_with(arg, "USER=")) {
            copy_value("USER=", arg.substr(5), config.db_user, sizeof config.db_user);
        }
        if (starts_with(arg, "PASSWORD=")) {
            copy_value("PASSWORD=", arg.substr(9), config.db_password, sizeof config.db_password);
        }
        if (starts_with(arg, "SPORT=")) {
            config.liss_port = clamp_int32(parse_decimal(arg.c_str() + 6));
        }
        if (starts_with(arg, "SCH=")) parse_channel_list(station, arg.c_str() + 4, registry);
    }
}

void read_port_and_channels(StationContext& station, const char* ini_file,
                            StreamRegistry& registry) {
    Config& config = station.config;
    const char* station_name = station.station_name;
    if (config.liss_port != 0) return;
    std::string port = profile_get_string(station_name, "SPORT", "0", ini_file);
    long long value = parse_decimal(port.substr(0, 1024).c_str());
    config.liss_port = clamp_int32(value);
    if (config.liss_port > 0 && registry.channelCount(0) == 0) {
        std::string list = profile_get_string(station_name, "SCH", "", ini_file);
        parse_channel_list(station, list.substr(0, 1024).c_str(), registry);
    }
}

void read_data_dir(Config& config, const char* kvr_ini) {
    if (config.data_dir[0] == '\0') {
        copy_value("[DATA] DIR", profile_get_string("DATA", "DIR", kDefaultDataDir, kvr_ini),
                   config.data_dir, sizeof config.data_dir);
    }
    trim_trailing_separator(config.data_dir);
}

void read_startup_keys(StationContext& station, const char* ini_file) {
    Config& config = station.config;
    const char* station_name = station.station_name;
    std::string lana = profile_get_string(station_name, "LANA", "0", ini_file).substr(0, 64);
    config.lana = static_cast<int16_t>(parse_decimal(lana.c_str()) & 0xFFFF);
    std::string size = profile_get_string("VELDRUM", "SIZEMB", "10", ini_file).substr(0, 64);
    long long mb = parse_decimal(size.c_str());
    if (mb < 1) {
        // 0 would make the trimming delete every file it finds.
        std::fprintf(stderr, "SIZEMB=%lld не годится, взято 10\n", mb);
        mb = 10;
    } else if (mb > kMaxSizeMb) {
        std::fprintf(stderr, "SIZEMB=%lld слишком велико, взято %lld\n", mb, kMaxSizeMb);
        mb = kMaxSizeMb;
    }
    config.size_limit = static_cast<uint64_t>(mb) * 1048576ull;
    config.netbios_name_format = profile_get_int(station_name, "NETBIOSNAMEFORMAT", 0, ini_file);
    config.use_gain = profile_get_int(station_name, "USEGAIN", 1, ini_file);
    read_seedlink_keys(config, ini_file);
    read_station_place(config, ini_file);
}

bool log_init(const char* ini_file) {
    const std::string dir = profile_get_string("VELDRUM", "LOG", "", ini_file);
    if (log_open(dir.c_str())) return true;
    std::fprintf(stderr, "Каталог журнала недоступен: %s\n", dir.c_str());
    return false;
}
