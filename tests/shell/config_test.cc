#include "shell/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "seed/stream_registry.h"
#include "common/app_state.h"

namespace {

using Names = std::vector<std::string>;

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_config_for_test();
        char pattern[] = "/tmp/config_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        ini_ = dir_ + "/VELDRUM.INI";
        kvr_ = dir_ + "/KVR.ini";
        std::string error;
        ASSERT_TRUE(set_station_name("abc", &error));
        registry_.findOrAddStation(station_name);
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        reset_config_for_test();
    }
    void parse(std::vector<const char*> args) {
        args.insert(args.begin(), "veldrum");
        parse_command_line(static_cast<int>(args.size()), args.data(), registry_);
    }
    void write_ini(const std::string& text) { std::ofstream(ini_) << text; }
    std::string dir_, ini_, kvr_;
    // A registry of each test's own: the precedence depends on its channel count.
    StreamRegistry registry_;
};

TEST_F(ConfigTest, StationNameIsUpperCasedAndBoundedForNetbios) {
    std::string error;
    ASSERT_TRUE(set_station_name("obn", &error));
    EXPECT_STREQ(station_name, "OBN");
    ASSERT_TRUE(set_station_name("кев", &error));  // Cyrillic, 6 bytes
    EXPECT_STREQ(station_name, "КЕВ");
    ASSERT_TRUE(set_station_name("abcdef", &error));
    EXPECT_FALSE(set_station_name("abcdefg", &error));
    EXPECT_NE(error.find("ABCDEFG"), std::string::npos);
    EXPECT_STREQ(station_name, "ABCDEF");  // a refused name changes nothing
    EXPECT_FALSE(set_station_name("", &error));
}

TEST_F(ConfigTest, UpperCasingCoversLatinAndCyrillic) {
    EXPECT_EQ(upper_case("abc-xyz 09"), "ABC-XYZ 09");
    EXPECT_EQ(upper_case("абвгдеёжзийклмнопрстуфхцчшщъыьэюя"), "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ");
    EXPECT_EQ(upper_case("ПРИВЕТ"), "ПРИВЕТ");
}

TEST_F(ConfigTest, OptionsAreRecognisedInAnyCaseAndUpperCased) {
    parse({"abc", "odbc=myDsn", "user=kvr2", "Password=secret", "bogus=1", "FLUSHX"});
    EXPECT_STREQ(config.data_source, "MYDSN");
    EXPECT_STREQ(config.db_user, "KVR2");
    EXPECT_STREQ(config.db_password, "SECRET");
    EXPECT_EQ(config.flush_rounds, 60);  // untouched without FLUSH=
}

TEST_F(ConfigTest, LastOptionWins) {
    parse({"abc", "USER=A", "USER=B", "ODBC=X", "ODBC="});
    EXPECT_STREQ(config.db_user, "B");
    EXPECT_STREQ(config.data_source, "");  // empty means the default data source
}

TEST_F(ConfigTest, FlushSecondsBecomeRoundsOfFiveAtLeastOne) {
    const std::pair<const char*, int> cases[] = {
        {"FLUSH=4", 1}, {"FLUSH=7", 1}, {"FLUSH=600", 120}, {"flush=12", 2},
        {"FLUSH=3", 1}, {"FLUSH=x", 1}, {"FLUSH=-50", 1},   {"FLUSH=99999999999999", 1000000000},
    };
    for (const auto& [arg, rounds] : cases) {
        config = Config{};
        parse({"abc", arg});
        EXPECT_EQ(config.flush_rounds, rounds) << arg;
    }
}

TEST_F(ConfigTest, DataDropsQuotesKeepsCaseAndLosesOneTrailingSeparator) {
    parse({"abc", "data='/srv/Loop'"});
    read_data_dir(kvr_.c_str());
    EXPECT_STREQ(config.data_dir, "/srv/Loop");

    config = Config{};
    parse({"abc", "DATA=\"/srv/Loop//\""});
    read_data_dir(kvr_.c_str());
    EXPECT_STREQ(config.data_dir, "/srv/Loop/");  // only one is removed

    config = Config{};
    parse({"abc", "DATA=D:\\LOOP\\"});
    read_data_dir(kvr_.c_str());
    EXPECT_STREQ(config.data_dir, "D:\\LOOP");
}

TEST_F(ConfigTest, DataDirComesFromKvrIniThenDefault) {
    read_data_dir(kvr_.c_str());
    EXPECT_STREQ(config.data_dir, kDefaultDataDir);

    config = Config{};
    std::ofstream(kvr_) << "[DATA]\nDIR=/mnt/Ring/\n";
    read_data_dir(kvr_.c_str());
    EXPECT_STREQ(config.data_dir, "/mnt/Ring");

    config = Config{};
    parse({"abc", "DATA="});  // an empty value defers to KVR.ini
    read_data_dir(kvr_.c_str());
    EXPECT_STREQ(config.data_dir, "/mnt/Ring");
}

TEST_F(ConfigTest, ChannelListDropsBlanksAndSkipsEmptyNames) {
    parse({"abc", "sch=bhz, bhn;;bhe", "SCH=B H Z", "SCH=,;"});
    EXPECT_EQ(selected_channels, (Names{"BHZ", "BHN", "BHE", "BHZ"}));  // repeats are kept
    EXPECT_EQ(registry_.channelCount(0), 3);                            // registered once
}

TEST_F(ConfigTest, ChannelNamesLongerThanNineteenAreRefused) {
    EXPECT_EQ(parse_channel_list("ABCDEFGHIJKLMNOPQRS,ABCDEFGHIJKLMNOPQRST,X", registry_), 2);
    EXPECT_EQ(registry_.channelCount(0), 2);
    EXPECT_EQ(selected_channels, (Names{"ABCDEFGHIJKLMNOPQRS", "X"}));
}

TEST_F(ConfigTest, CommandLinePortSkipsTheIniFile) {
    write_ini("[ABC]\nSPORT=5000\nSCH=SHZ\n");
    parse({"abc", "SPORT=4000"});
    read_port_and_channels(ini_.c_str(), registry_);
    EXPECT_EQ(config.liss_port, 4000);
    EXPECT_TRUE(selected_channels.empty());  // INI SCH not read, though no SCH= was given
}

TEST_F(ConfigTest, IniPortAndChannelsWhenCommandLineHasNone) {
    write_ini("[abc]\nSPORT= 5000\nSCH=shz, shn\n");
    parse({"abc", "SPORT=0", "SPORT=x"});  // 0 or no number defers to the INI file
    read_port_and_channels(ini_.c_str(), registry_);
    EXPECT_EQ(config.liss_port, 5000);
    EXPECT_EQ(selected_channels, (Names{"shz", "shn"}));  // INI names keep their case
}

TEST_F(ConfigTest, WithoutAnyPortTheIniChannelsAreNotRead) {
    write_ini("[ABC]\nSCH=SHZ\n");
    parse({"abc", "SCH=BHZ"});
    read_port_and_channels(ini_.c_str(), registry_);
    EXPECT_EQ(config.liss_port, 0);
    EXPECT_EQ(selected_channels, (Names{"BHZ"}));
}

TEST_F(ConfigTest, CommandLineChannelsWinOverIniChannels) {
    parse({"abc", "SCH=BHZ"});
    write_ini("[ABC]\nSPORT=5000\nSCH=SHZ\n");
    read_port_and_channels(ini_.c_str(), registry_);
    EXPECT_EQ(config.liss_port, 5000);
    EXPECT_EQ(selected_channels, (Names{"BHZ"}));
}

TEST_F(ConfigTest, StartupKeysWithDefaultsAndLimits) {
    read_startup_keys(ini_.c_str());
    EXPECT_EQ(config.lana, 0);
    EXPECT_EQ(config.size_limit, 10ull * 1048576);
    EXPECT_EQ(config.netbios_name_format, 0);
    EXPECT_EQ(config.use_gain, 1);

    write_ini("[VELDRUM]\nSIZEMB=8192\n[ABC]\nLANA=3\nNETBIOSNAMEFORMAT=1\nUSEGAIN=0\n");
    read_startup_keys(ini_.c_str());
    EXPECT_EQ(config.lana, 3);
    EXPECT_EQ(config.size_limit, 8192ull * 1048576);  // beyond 32 bits
    EXPECT_EQ(config.netbios_name_format, 1);
    EXPECT_EQ(config.use_gain, 0);

    write_ini("[VELDRUM]\nSIZEMB=0\n");
    read_startup_keys(ini_.c_str());
    EXPECT_EQ(config.size_limit, 10ull * 1048576);  // 0 would trim every file
    write_ini("[VELDRUM]\nSIZEMB=999999999999999\n");
    read_startup_keys(ini_.c_str());
    EXPECT_EQ(config.size_limit, static_cast<uint64_t>(kMaxSizeMb) * 1048576);
}

TEST_F(ConfigTest, OverlongValuesAreCutToTheirField) {
    std::string user = "USER=" + std::string(300, 'u');
    parse({"abc", user.c_str()});
    EXPECT_EQ(std::string(config.db_user), std::string(127, 'U'));
}

}  // namespace
