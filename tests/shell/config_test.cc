#include "shell/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/app_state.h"
#include "recorder/ring_writer.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"
#include "shell/config_testing.h"
#include "shell/status_server.h"

namespace {

TEST(ConfigTest, StationNameIsUpperCasedAndBoundedForNetbios) {
    const struct {
        const char* in;
        const char* out;  // nullptr: refused
    } cases[] = {{"кев", "КЕВ"}, {"abcdef", "ABCDEF"}, {"abcdefg", nullptr},
                 {"", nullptr},  {"абв", "АБВ"},       {"абвг", nullptr}};  // bytes, not letters
    for (const auto& c : cases) {
        std::string error;
        station_name[0] = '\0';
        EXPECT_EQ(set_station_name(c.in, &error), c.out != nullptr) << c.in;
        EXPECT_STREQ(station_name, c.out ? c.out : "") << c.in;
        EXPECT_EQ(error.empty(), c.out != nullptr) << c.in;
    }
    EXPECT_EQ(upper_case("abc-xyz 09 абвгдеёжзийклмнопрстуфхцчшщъыьэюя ПРИВЕТ"),
              "ABC-XYZ 09 АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ ПРИВЕТ");
}

// What start-up makes of the command line, VELDRUM.INI and KVR.ini.
std::string summary(const StreamRegistry& r) {
    std::string sch;
    for (const std::string& n : selected_channels) sch += (sch.empty() ? "" : ",") + n;
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
    const struct {
        std::string args, ini, kvr;  // args split at '|'
        std::string expected;        // fragments of the summary
        const char* warns;           // on stderr; "" for nothing
    } cases[] = {
        {"odbc=myDsn|user=kvr2|Password=secret|bogus=1|FLUSHX", "", "",
         "odbc=MYDSN user=KVR2 password=SECRET flush=60", ""},
        {"USER=A|USER=B|ODBC=X|ODBC=", "", "", "user=B odbc=", ""},  // the last wins
        // Seconds become rounds of five, rounded down.
        {"FLUSH=7", "", "", "flush=1", ""},
        {"FLUSH=600", "", "", "flush=120", ""},
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
        // Each fixed-size text: the longest that fits, then one more, cut with a note.
        {"ODBC=" + x(511), "", "", "odbc=" + x(511), ""},
        {"ODBC=" + x(512), "", "", "odbc=" + x(511), "ODBC=: значение длиннее 511"},
        {"DATA=/" + x(510), "", "", "data=/" + x(510), ""},
        {"DATA=/" + x(511), "", "", "data=/" + x(510), "DATA=: значение длиннее 511"},
        {"", "", "[DATA]\nDIR=/" + x(510) + "\n", "data=/" + x(510), ""},
        {"", "", "[DATA]\nDIR=/" + x(511) + "\n", "data=/" + x(510), "[DATA] DIR: значение"},
        {"USER=" + x(127) + "|PASSWORD=" + x(127), "", "",
         "user=" + x(127) + " password=" + x(127), ""},
        {"USER=" + x(128), "", "", "user=" + x(127), "USER=: значение длиннее 127"},
        {"PASSWORD=" + x(128), "", "", "password=" + x(127), "PASSWORD=: значение длиннее 127"},
        {"", "[VELDRUM]\nNETWORK=ab\n", "", "net=AB", ""},
        {"", "[VELDRUM]\nNETWORK=ABC\n", "", "net=XX", "NETWORK=ABC не годится"},
        // A channel list's name holds 19 characters.
        {"SCH=" + x(19) + "," + x(20, 'Y'), "", "", "sch=" + x(19) + " registered=1",
         "длиннее 19 символов пропущено"},
        // Ports: the LISS port is kept as given (the LISS server refuses what
        // is no port), SEEDLINK outside 0..65535 is off.
        {"SPORT=65536", "", "", "port=65536", ""},
        {"SPORT=-1", "[ABC]\nSPORT=5000\n", "", "port=-1", ""},
        {"", "[ABC]\nSPORT=65535\n", "", "port=65535", ""},
        {"", "[VELDRUM]\nSEEDLINK=65535\n", "", "seedlink=65535", ""},
        {"", "[VELDRUM]\nSEEDLINK=65536\n", "", "seedlink=0", "SEEDLINK=65536 не годится"},
        {"", "[VELDRUM]\nSEEDLINK=-1\n", "", "seedlink=0", "SEEDLINK=-1 не годится"},
        // Sizes: the largest taken, then one more; the bytes never overflow.
        {"", "[VELDRUM]\nSIZEMB=" + max_mb + "\n", "", "mb=" + max_mb, ""},
        {"", "[VELDRUM]\nSIZEMB=" + std::to_string(kMaxSizeMb + 1) + "\n", "", "mb=" + max_mb,
         "слишком велико"},
        {"", "[VELDRUM]\nSIZEMB=99999999999999999999999\n", "", "mb=" + max_mb, "слишком велико"},
        {"", "[VELDRUM]\nSIZEMB=0\n", "", "mb=10", "SIZEMB=0 не годится"},
        {"", "[VELDRUM]\nSLRINGMB=65536\n", "", "ringmb=65536", ""},
        {"", "[VELDRUM]\nSLRINGMB=65537\n", "", "ringmb=64", "SLRINGMB=65537 не годится"},
        {"", "[VELDRUM]\nSLRINGMB=99999999999999999999\n", "", "ringmb=64", "не годится"},
        {"", "[VELDRUM]\nSLRINGMB=0\n", "", "ringmb=64", "SLRINGMB=0 не годится"},
        {"", "[VELDRUM]\nSLCLIENTS=10000\n", "", "clients=10000", ""},
        {"", "[VELDRUM]\nSLCLIENTS=10001\n", "", "clients=100", "SLCLIENTS=10001 не годится"},
        {"", "[VELDRUM]\nSLCLIENTS=0\n", "", "clients=100", "SLCLIENTS=0 не годится"},
        {"", "[VELDRUM]\nSLLATENCY=60\n", "", "latency=60", ""},
        {"", "[VELDRUM]\nSLLATENCY=0.1\n", "", "latency=0.1", ""},
        {"", "[VELDRUM]\nSLLATENCY=60.01\n", "", "latency=1", "SLLATENCY=60.01 не годится"},
        {"", "[VELDRUM]\nSLLATENCY=0.09\n", "", "latency=1", "SLLATENCY=0.09 не годится"},
        {"", "[VELDRUM]\nSLLATENCY=nan\n", "", "latency=1", "SLLATENCY=nan не годится"},
    };
    char pattern[] = "/tmp/config_test.XXXXXX";
    const std::string dir = mkdtemp(pattern), ini = dir + "/VELDRUM.INI", kvr = dir + "/KVR.ini";
    for (const auto& c : cases) {
        reset_config_for_test();
        std::string error;
        ASSERT_TRUE(set_station_name("abc", &error));
        StreamRegistry registry;  // the precedence depends on its channel count
        registry.findOrAddStation(station_name);
        std::ofstream(ini) << c.ini;
        std::ofstream(kvr) << c.kvr;
        std::vector<std::string> args = {"veldrum", "abc"};
        std::istringstream split(c.args);
        for (std::string a; !c.args.empty() && std::getline(split, a, '|');) args.push_back(a);
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        testing::internal::CaptureStderr();
        parse_command_line(static_cast<int>(argv.size()), argv.data(), registry);
        read_port_and_channels(ini.c_str(), registry);
        read_startup_keys(ini.c_str());
        read_data_dir(kvr.c_str());
        const std::string said = testing::internal::GetCapturedStderr();
        const std::string got = summary(registry);
        const std::string label = c.args.substr(0, 40) + c.ini.substr(0, 40) + c.kvr.substr(0, 40);
        std::istringstream fragments(c.expected);
        for (std::string f; fragments >> f;)
            EXPECT_NE(got.find(" " + f + " "), std::string::npos) << label << ": " << f;
        if (*c.warns == '\0')
            EXPECT_EQ(said, "") << label;
        else
            EXPECT_NE(said.find(c.warns), std::string::npos) << label << ": " << said;
    }
    std::filesystem::remove_all(dir);
    reset_config_for_test();
}

// The servers' own checks of what the configuration hands them.
TEST(ConfigTest, PortsAtTheirEdges) {
    const struct {
        const char* http;
        bool ok, off;
        int port;
    } http[] = {{"", true, false, 8660},           {"65535", true, false, 65535},
                {"65536", false, false, 0},        {"1", true, false, 1},
                {"0", false, true, 0},             {"-1", false, false, 0},
                {"h:65535", true, false, 65535},   {"[::1]:65536", false, false, 0},
                {"000065535", false, false, 0}};  // more digits than a port has
    for (const auto& c : http) {
        std::string host;
        int port = 0;
        bool off = false;
        EXPECT_EQ(parse_http_setting(c.http, &host, &port, &off), c.ok) << c.http;
        EXPECT_EQ(off, c.off) << c.http;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.http;
        }
    }
    // The LISS server refuses what is no port (-1) and tries the others;
    // with the run flag down it returns as soon as it has tried.
    RecordPipe pipe(512);
    const int32_t saved = run_flag.exchange(0);
    for (auto [port, result] : {std::pair{65535, 0}, {65536, -1}, {0, -1}, {-1, -1}}) {
        config.liss_port = port;
        EXPECT_EQ(lissServerThread(&pipe), result) << port;
    }
    run_flag.store(saved);
    reset_config_for_test();
}

// DATA= decides the ring files' full paths, which hold 127 characters.
TEST(ConfigTest, RingPathAtItsEdgeThroughData) {
    char pattern[] = "/tmp/config_ring.XXXXXX";
    const std::string base = mkdtemp(pattern);
    const double t = 1084799107;  // 13:05:07
    char relative[64];
    ASSERT_TRUE(format_ring_name(relative, sizeof relative, t, "SHZ", "ABC"));
    std::vector<uint8_t> piece(200, 1);
    for (int extra : {0, 1}) {
        // base "/" padding "/" relative: 127 characters, then 128.
        const size_t pad = kMaxRingPath - base.size() - 2 - std::strlen(relative) + extra;
        const std::string data = base + "/" + x(pad, 'd');
        ASSERT_EQ(mkdir(data.c_str(), 0777), 0);
        reset_config_for_test();
        std::string error;
        ASSERT_TRUE(set_station_name("abc", &error));
        const std::string arg = "DATA=" + data;
        const char* argv[] = {"veldrum", "abc", arg.c_str()};
        parse_command_line(3, argv);
        forget_ring_files();
        const RosterEntry entry{1, "SHZ", 100.0, 0, 0};
        write_piece(entry, 0, piece.data(), piece.size(), t, 1);
        const std::string file = data + "/" + relative;
        EXPECT_EQ(file.size(), size_t(kMaxRingPath) + extra);
        EXPECT_EQ(std::filesystem::exists(file), extra == 0) << file;
        EXPECT_EQ(current_ring_file(0).name[0] != '\0', extra == 0);
    }
    forget_ring_files();
    std::filesystem::remove_all(base);
    reset_config_for_test();
}

}  // namespace
