#include "shell/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/app_state.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"
#include "shell/status_server.h"

namespace {

TEST(ConfigTest, StationNameIsUpperCasedAndBoundedForNetbios) {
    // Six bytes fit the NetBIOS names, seven do not; a Cyrillic letter takes two.
    for (auto [in, out] :
         {std::pair{"кев", "КЕВ"}, {"abcdef", "ABCDEF"}, {"abcdefg", ""}, {"абвг", ""}, {"", ""}}) {
        std::string error;
        StationContext station;
        EXPECT_EQ(set_station_name(station, in, &error), *out != '\0') << in;
        EXPECT_STREQ(station.station_name, out) << in;
    }
    EXPECT_EQ(upper_case("abc-xyz 09 абвгдеёжзийклмнопрстуфхцчшщъыьэюя ПРИВЕТ"),
              "ABC-XYZ 09 АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ ПРИВЕТ");
}

// What start-up makes of the command line, VELDRUM.INI and KVR.ini.
std::string summary(const StationContext& station, const StreamRegistry& r) {
    const Config& config = station.config;
    std::string sch;
    for (const std::string& n : station.selected_channels) sch += (sch.empty() ? "" : ",") + n;
    std::ostringstream s;
    s << " odbc=" << config.data_source << " user=" << config.db_user
      << " password=" << config.db_password << " flush=" << config.flush_rounds
      << " data=" << config.data_dir << " port=" << config.liss_port << " sch=" << sch
      << " registered=" << r.channelCount(0) << " lana=" << config.lana
      << " mb=" << config.size_limit / 1048576 << " format=" << config.netbios_name_format
      << " gain=" << config.use_gain << " net=" << config.network
      << " seedlink=" << config.seedlink_port << " ringmb=" << config.seedlink_ring_bytes / 1048576
      << " clients=" << config.seedlink_clients << " latency=" << config.seedlink_latency << " ";
    return s.str();
}

std::string x(size_t n, char c = 'X') { return std::string(n, c); }

TEST(ConfigTest, CommandLineAndIniFilesInTheirPrecedenceAndBounds) {
    const std::string max_mb = std::to_string(kMaxSizeMb);
    // Arguments split at '|', fragments of the summary, and what stderr says, split at '|'.
    const struct { std::string args, ini, kvr, expected, warns; } cases[] = {
        {"odbc=myDsn|user=kvr2|Password=secret|bogus=1|FLUSHX", "", "",
         "odbc=MYDSN user=KVR2 password=SECRET flush=60", ""},
        // The last of a key wins; seconds become rounds of five, rounded down.
        {"USER=A|USER=B|ODBC=X|ODBC=|FLUSH=600", "", "", "user=B odbc= flush=120", ""},
        {"FLUSH=7", "", "", "flush=1", ""},
        // DATA= loses its quotes and one trailing separator, keeps its case;
        // empty or missing defers to KVR.ini, then the default.
        {"data='/srv/Loop'", "", "[DATA]\nDIR=/x\n", "data=/srv/Loop", ""},
        {"DATA=\"/srv/Loop//\"", "", "", "data=/srv/Loop/", ""},
        {"DATA=D:\\LOOP\\", "", "", "data=D:\\LOOP", ""},
        {"", "", "", std::string("data=") + kDefaultDataDir + " lana=0 mb=10 format=0 gain=1", ""},
        {"DATA=", "", "[DATA]\nDIR=/mnt/Ring/\n", "data=/mnt/Ring", ""},
        // Channel lists drop blanks and empty names, keep repeats, register each once.
        {"sch=bhz, bhn;;bhe|SCH=B H Z|SCH=,;", "", "", "sch=BHZ,BHN,BHE,BHZ registered=3", ""},
        // The INI file's SCH is read only with its own SPORT and no SCH= given.
        {"SPORT=4000", "[ABC]\nSPORT=5000\nSCH=SHZ\n", "", "port=4000 sch=", ""},
        {"SPORT=0|SPORT=x", "[abc]\nSPORT= 5000\nSCH=shz, shn\n", "", "port=5000 sch=shz,shn", ""},
        {"SCH=BHZ", "[ABC]\nSCH=SHZ\n", "", "port=0 sch=BHZ", ""},
        {"SCH=BHZ", "[ABC]\nSPORT=5000\nSCH=SHZ\n", "", "port=5000 sch=BHZ", ""},
        {"", "[VELDRUM]\nSIZEMB=8192\n[ABC]\nLANA=3\nNETBIOSNAMEFORMAT=1\nUSEGAIN=0\n", "",
         "lana=3 mb=8192 format=1 gain=0", ""},
        // Each bound with its last valid and first invalid value: a text too long
        // is cut with a note, a number out of range gives the default with one.
        // clang-format off
        {"ODBC=" + x(511) + "|DATA=/" + x(510) + "|USER=" + x(127) + "|PASSWORD=" + x(127), "", "",
         "odbc=" + x(511) + " data=/" + x(510) + " user=" + x(127) + " password=" + x(127), ""},
        // The LISS port is kept as given: the LISS server refuses what is no port.
        {"ODBC=" + x(512) + "|DATA=/" + x(511) + "|USER=" + x(128) + "|PASSWORD=" + x(128) + "|SPORT=65536",
         "", "", "odbc=" + x(511) + " data=/" + x(510) + " user=" + x(127) + " password=" + x(127) + " port=65536",
         "ODBC=: значение длиннее 511|DATA=: значение длиннее 511|USER=: значение длиннее 127|PASSWORD=: значение"},
        {"", "", "[DATA]\nDIR=/" + x(510) + "\n", "data=/" + x(510), ""},
        {"", "", "[DATA]\nDIR=/" + x(511) + "\n", "data=/" + x(510), "[DATA] DIR: значение"},
        // A channel list's name holds 19 characters.
        {"SCH=" + x(19) + "," + x(20, 'Y'), "", "", "sch=" + x(19) + " registered=1", "длиннее 19 символов пропущено"},
        {"SPORT=-1", "[ABC]\nSPORT=5000\n", "", "port=-1", ""},
        {"", "[VELDRUM]\nNETWORK=ab\nSEEDLINK=65535\nSIZEMB=" + max_mb + "\nSLRINGMB=65536\nSLCLIENTS=10000\nSLLATENCY=60\n[ABC]\nSPORT=65535\n",
         "", "net=AB seedlink=65535 mb=" + max_mb + " ringmb=65536 clients=10000 latency=60 port=65535", ""},
        {"", "[VELDRUM]\nNETWORK=ABC\nSEEDLINK=65536\nSIZEMB=" + std::to_string(kMaxSizeMb + 1) + "\nSLRINGMB=65537\nSLCLIENTS=10001\nSLLATENCY=60.01\n",
         "", "net=XX seedlink=0 mb=" + max_mb + " ringmb=64 clients=100 latency=1",
         "NETWORK=ABC не|SEEDLINK=65536 не|слишком велико|SLRINGMB=65537 не|SLCLIENTS=10001 не|SLLATENCY=60.01 не"},
        {"", "[VELDRUM]\nSIZEMB=1\nSLRINGMB=1\nSLCLIENTS=1\nSLLATENCY=0.1\n", "", "mb=1 ringmb=1 clients=1 latency=0.1", ""},
        {"", "[VELDRUM]\nSEEDLINK=-1\nSIZEMB=0\nSLRINGMB=0\nSLCLIENTS=0\nSLLATENCY=0.09\n", "",
         "seedlink=0 mb=10 ringmb=64 clients=100 latency=1", "SEEDLINK=-1 не|SIZEMB=0 не|SLRINGMB=0 не|SLCLIENTS=0 не|SLLATENCY=0.09 не"},
        // Numbers past 64 bits never overflow the byte counts.
        {"", "[VELDRUM]\nSIZEMB=" + x(25, '9') + "\nSLRINGMB=" + x(20, '9') + "\nSLLATENCY=nan\n", "",
         "mb=" + max_mb + " ringmb=64 latency=1", "слишком велико|SLRINGMB=9|SLLATENCY=nan не"},
        // clang-format on
    };
    char pattern[] = "/tmp/config_test.XXXXXX";
    const std::string dir = mkdtemp(pattern), ini = dir + "/VELDRUM.INI", kvr = dir + "/KVR.ini";
    for (const auto& c : cases) {
        StationContext station;
        std::snprintf(station.station_name, sizeof station.station_name, "ABC");
        StreamRegistry registry;  // the precedence depends on its channel count
        registry.findOrAddStation(station.station_name);
        std::ofstream(ini) << c.ini;
        std::ofstream(kvr) << c.kvr;
        std::vector<std::string> args = {"veldrum", "abc"};
        std::istringstream split(c.args);
        for (std::string a; !c.args.empty() && std::getline(split, a, '|');) args.push_back(a);
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        testing::internal::CaptureStderr();
        parse_command_line(station, static_cast<int>(argv.size()), argv.data(), registry);
        read_port_and_channels(station, ini.c_str(), registry);
        read_startup_keys(station, ini.c_str());
        read_data_dir(station.config, kvr.c_str());
        const std::string said = testing::internal::GetCapturedStderr();
        const std::string got = summary(station, registry);
        const std::string label = c.args.substr(0, 40) + c.ini.substr(0, 40) + c.kvr.substr(0, 40);
        std::istringstream fragments(c.expected);
        for (std::string f; fragments >> f;)
            EXPECT_NE(got.find(" " + f + " "), std::string::npos) << label << ": " << f;
        EXPECT_EQ(said.empty(), c.warns.empty()) << label << ": " << said;
        std::istringstream warnings(c.warns);
        for (std::string w; std::getline(warnings, w, '|');)
            EXPECT_NE(said.find(w), std::string::npos) << label << ": " << w;
    }
    std::filesystem::remove_all(dir);
}

// The servers' own checks of the ports the configuration hands them.
TEST(ConfigTest, PortsAtTheirEdges) {
    for (auto [text, expected] : {std::pair{"65535", "127.0.0.1:65535"}, {"1", "127.0.0.1:1"},
                                  {"65536", "refused"}, {"[::1]:65536", "refused"},
                                  {"000065535", "refused"}, {"-1", "refused"}}) {
        std::string host;
        int port = 0;
        bool off = false, ok = parse_http_setting(text, &host, &port, &off);
        EXPECT_EQ(ok ? host + ":" + std::to_string(port) : off ? "off" : "refused", expected);
    }
    // The LISS server refuses what is no port (-1) and serves the highest one.
    RecordPipe pipe(512);
    for (auto [port, result] : {std::pair{65535, 1}, {65536, -1}, {0, -1}, {-1, -1}}) {
        LissServer liss;
        EXPECT_EQ(liss.start(&pipe, port), result) << port;
        liss.stop();
    }
}

}  // namespace
