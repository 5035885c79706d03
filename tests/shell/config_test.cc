#include "shell/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/app_state.h"
#include "seed/stream_registry.h"

namespace {

TEST(ConfigTest, StationNameIsUpperCasedAndBoundedForNetbios) {
    std::string error;
    for (auto [in, out] : {std::pair{"кев", "КЕВ"}, {"abcdef", "ABCDEF"}}) {
        EXPECT_TRUE(set_station_name(in, &error)) << in;
        EXPECT_STREQ(station_name, out);
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
      << " gain=" << config.use_gain << " ";
    return s.str();
}

TEST(ConfigTest, CommandLineAndIniFilesInTheirPrecedence) {
    const struct {
        const char *args, *ini, *kvr;  // args split at '|'
        std::string expected;          // fragments of the summary
    } cases[] = {
        {"odbc=myDsn|user=kvr2|Password=secret|bogus=1|FLUSHX", "", "",
         "odbc=MYDSN user=KVR2 password=SECRET flush=60"},
        {"USER=A|USER=B|ODBC=X|ODBC=", "", "", "user=B odbc="},  // the last wins
        // Seconds become rounds of five, rounded down.
        {"FLUSH=7", "", "", "flush=1"},
        {"FLUSH=600", "", "", "flush=120"},
        // DATA= loses its quotes and one trailing separator, keeps its case;
        // empty or missing defers to KVR.ini, then the default.
        {"data='/srv/Loop'", "", "[DATA]\nDIR=/x\n", "data=/srv/Loop"},
        {"DATA=\"/srv/Loop//\"", "", "", "data=/srv/Loop/"},
        {"DATA=D:\\LOOP\\", "", "", "data=D:\\LOOP"},
        {"", "", "", std::string("data=") + kDefaultDataDir + " lana=0 mb=10 format=0 gain=1"},
        {"DATA=", "", "[DATA]\nDIR=/mnt/Ring/\n", "data=/mnt/Ring"},
        // Channel lists drop blanks and empty names, keep repeats, register each once.
        {"sch=bhz, bhn;;bhe|SCH=B H Z|SCH=,;", "", "", "sch=BHZ,BHN,BHE,BHZ registered=3"},
        // The INI file's SCH is read only with its own SPORT and no SCH= given.
        {"SPORT=4000", "[ABC]\nSPORT=5000\nSCH=SHZ\n", "", "port=4000 sch="},
        {"SPORT=0|SPORT=x", "[abc]\nSPORT= 5000\nSCH=shz, shn\n", "", "port=5000 sch=shz,shn"},
        {"SCH=BHZ", "[ABC]\nSCH=SHZ\n", "", "port=0 sch=BHZ"},
        {"SCH=BHZ", "[ABC]\nSPORT=5000\nSCH=SHZ\n", "", "port=5000 sch=BHZ"},
        {"", "[VELDRUM]\nSIZEMB=8192\n[ABC]\nLANA=3\nNETBIOSNAMEFORMAT=1\nUSEGAIN=0\n", "",
         "lana=3 mb=8192 format=1 gain=0"},
        {"", "[VELDRUM]\nSIZEMB=999999999999999\n", "", "mb=" + std::to_string(kMaxSizeMb)},
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
        for (std::string a; *c.args && std::getline(split, a, '|');) args.push_back(a);
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        parse_command_line(static_cast<int>(argv.size()), argv.data(), registry);
        read_port_and_channels(ini.c_str(), registry);
        read_startup_keys(ini.c_str());
        read_data_dir(kvr.c_str());
        const std::string got = summary(registry);
        std::istringstream fragments(c.expected);
        for (std::string f; fragments >> f;)
            EXPECT_NE(got.find(" " + f + " "), std::string::npos) << f << got;
    }
    std::filesystem::remove_all(dir);
    reset_config_for_test();
}

}  // namespace
