// Command line and the two INI files, read once at start-up.
#pragma once

#include <string>

#include "common/station_context.h"
#include "seed/stream_registry.h"

inline constexpr const char* kVeldrumIni = "./VELDRUM.INI";
inline constexpr const char* kDefaultDataDir = "/var/lib/veldrum/data";
inline constexpr int kMaxChannelListName = 19;
inline constexpr size_t kArgumentSize = 1024;
// Largest SIZEMB taken as given (64 TiB); more is clamped to it.
inline constexpr long long kMaxSizeMb = 64ll * 1024 * 1024;

inline constexpr const char* kUsageText =
    "USAGE: VelDrum STATION_NAME [ODBC=DSN name] [DATA=data dir] [FLUSH=seconds] [USER=database "
    "logon user name] [PASSWORD=database logon password] [SPORT=LISS Server port] [SCH=channel "
    "list]";

// UTF-8 upper-casing of Latin and Cyrillic letters; other bytes unchanged.
std::string upper_case(const std::string& text);

// Station name from the first argument: upper-cased into the context.
// false (with the reason in *error) when it is empty or longer than
// kMaxStationNameLength bytes, which the NetBIOS names cannot hold.
bool set_station_name(StationContext& station, const char* argument, std::string* error);

// Applies every option of argv[1..argc-1] to the configuration and the channel list.
void parse_command_line(StationContext& station, int argc, const char* const* argv,
                        StreamRegistry& registry);
// LISS port and, when due, the channel list from [station] of the INI file.
void read_port_and_channels(StationContext& station, const char* ini_file,
                            StreamRegistry& registry);
// Data directory from [DATA] DIR of KVR.ini when no DATA= gave one; then one
// trailing separator is removed.
void read_data_dir(Config& config, const char* kvr_ini);
// LANA, SIZEMB, NETBIOSNAMEFORMAT, USEGAIN, and the [VELDRUM] keys.
void read_startup_keys(StationContext& station, const char* ini_file);

// Registers each name of the list for station 0 and appends it to the
// selected channels; returns the number of names taken.
int parse_channel_list(StationContext& station, const char* text, StreamRegistry& registry);

// Opens the operation log in [VELDRUM] LOG of the INI file (none when it is
// not set); false, said on stderr, when that directory cannot be written to.
bool log_init(const char* ini_file);
