// The two process-wide flags, and the configuration's shape (the station's
// context, common/station_context.h, holds the configuration itself).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kStationNameSize = 16;      // 15 characters and the NUL
inline constexpr int kMaxStationNameLength = 6;  // "%s.DCH.CLTX1" must fit 16 bytes

// One word each, shared without a lock by the user-interface thread, the
// recorder and the stop signals; main owns them. run_flag is cleared only by
// "Завершить работу" and set back by the recorder thread.
extern std::atomic<int32_t> run_flag;
// Set by the flush button and the stop command, cleared by the recorder after its pass.
extern std::atomic<int32_t> flush_request;

// Configuration, filled once by start-up from the command line and the INI files.
struct Config {
    char data_source[512] = "";             // ODBC=; empty means "KVR"
    char data_dir[512] = "";                // DATA=, else KVR.ini [DATA] DIR; no trailing separator
    int32_t flush_rounds = 60;              // 5-second waits between two passes
    char db_user[128] = "KVR";              // USER=
    char db_password[128] = "QOR";          // PASSWORD=
    int32_t liss_port = 0;                  // SPORT=, else INI SPORT; <= 0: no LISS server
    int16_t lana = 0;                       // INI LANA
    uint64_t size_limit = 10ull * 1048576;  // INI SIZEMB x 1048576
    int32_t netbios_name_format = 0;        // INI NETBIOSNAMEFORMAT
    int32_t use_gain = 1;                   // INI USEGAIN
    // The SeedLink feed, [VELDRUM] keys.
    char network[3] = "XX";                          // NETWORK: the records' network code
    int32_t seedlink_port = 0;                       // SEEDLINK; 0: no feed, no ring
    uint64_t seedlink_ring_bytes = 64ull * 1048576;  // SLRINGMB x 1048576
    double seedlink_latency = 1.0;                   // SLLATENCY: seconds a record may wait
    int32_t seedlink_clients = 100;                  // SLCLIENTS
    std::string seedlink_allow;                      // SLALLOW: address ranges beside loopback
    int32_t seedlink_tls_port = 0;                   // SLTLS: SeedLink over TLS; 0: none
    // HTTPS: the page's server over TLS, an address like HTTP's; empty: none.
    std::string https;
    std::string tls_cert, tls_key;  // TLSCERT, TLSKEY: PEM files, read again on SIGHUP
    // Where the station stands, for the FDSN station service: [VELDRUM]
    // LATITUDE, LONGITUDE (degrees) and ELEVATION (metres), all three given.
    bool has_coordinates = false;
    double latitude = 0;
    double longitude = 0;
    double elevation = 0;
};
