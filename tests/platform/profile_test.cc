#include "platform/profile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/profile_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/VELDRUM.INI";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string read() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string get(const char* section, const char* key, const char* def = "<none>") {
        return profile_get_string(section, key, def, path_.c_str());
    }
    std::string dir_, path_;
};

TEST_F(ProfileTest, NamesIgnoreCaseAndValuesAreTrimmedAndUnquoted) {
    write(
        "[veldrum]\r\n  log =  /var/log/x  \r\n[ABC]\nSCH=\"BHZ, BHN\"\nDATA='/a b'\nQ=\"x\n"
        "EMPTY=\n");
    EXPECT_EQ(get("VELDRUM", "LOG"), "/var/log/x");
    EXPECT_EQ(get("abc", "sch"), "BHZ, BHN");
    EXPECT_EQ(get("ABC", "DATA"), "/a b");
    EXPECT_EQ(get("ABC", "Q"), "\"x");   // one quote alone stays
    EXPECT_EQ(get("ABC", "EMPTY"), "");  // present but empty is not the default
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesDefault) {
    EXPECT_EQ(get("VELDRUM", "LOG", "dflt"), "dflt");
    write("[VELDRUM]\nLOG=x\n[OTHER]\nSIZEMB=5\n");
    EXPECT_EQ(get("NOPE", "LOG", "d"), "d");
    EXPECT_EQ(get("VELDRUM", "SIZEMB", "10"), "10");  // key of another section
    EXPECT_EQ(profile_get_int("OTHER", "SIZEMB", 10, path_.c_str()), 5);
    EXPECT_EQ(profile_get_int("OTHER", "MISSING", 7, path_.c_str()), 7);
}

TEST_F(ProfileTest, StringIsCutToTheBuffer) {
    write("[S]\nK=abcdef\n");
    char out[4];
    EXPECT_EQ(profile_get_string("S", "K", "", out, sizeof out, path_.c_str()), 3u);
    EXPECT_STREQ(out, "abc");
}

TEST_F(ProfileTest, DecimalConversion) {
    EXPECT_EQ(parse_decimal("  -42xyz"), -42);
    EXPECT_EQ(parse_decimal("+7"), 7);
    EXPECT_EQ(parse_decimal("abc"), 0);
    EXPECT_EQ(parse_decimal(""), 0);
    EXPECT_GT(parse_decimal("99999999999999999999999999"), 0);  // no overflow into negatives
}

TEST_F(ProfileTest, WritingOneKeyKeepsTheRestOfTheFile) {
    const std::string before =
        "; station settings\r\n[VELDRUM]\r\nLOG=/x\r\n\r\n[-listbox-]\r\nwidth=1,2\r\n"
        "Other=keep\r\n[ABC]\r\nLANA=1\r\n";
    write(before);
    ASSERT_TRUE(profile_write_string("-LISTBOX-", "Width", "80,60,90,150,200", path_.c_str()));
    std::string expected = before;
    expected.replace(expected.find("width=1,2"), 9, "Width=80,60,90,150,200");
    EXPECT_EQ(read(), expected);
}

TEST_F(ProfileTest, WritingAddsKeyToExistingSectionOrNewSection) {
    write("[VELDRUM]\nLOG=/x\n\n[ABC]\nLANA=1\n");
    ASSERT_TRUE(profile_write_string("veldrum", "SIZEMB", "20", path_.c_str()));
    ASSERT_TRUE(profile_write_string("-LISTBOX-", "Width", "1,2,3,4,5", path_.c_str()));
    EXPECT_EQ(read(),
              "[VELDRUM]\nLOG=/x\nSIZEMB=20\n\n[ABC]\nLANA=1\n[-LISTBOX-]\nWidth=1,2,3,4,5\n");
    EXPECT_EQ(get("-LISTBOX-", "WIDTH"), "1,2,3,4,5");
}

TEST_F(ProfileTest, WritingCreatesMissingFileAndFailsOnMissingDirectory) {
    ASSERT_TRUE(profile_write_string("-LISTBOX-", "Width", "1", path_.c_str()));
    EXPECT_EQ(read(), "[-LISTBOX-]\nWidth=1\n");
    EXPECT_FALSE(profile_write_string("S", "K", "v", (dir_ + "/no/such/file.ini").c_str()));
}

TEST_F(ProfileTest, ByteOrderMarkHidesNoSectionAndSurvivesAWrite) {
    write("\xEF\xBB\xBF[VELDRUM]\nLOG=/x\n");
    EXPECT_EQ(get("VELDRUM", "LOG"), "/x");
    ASSERT_TRUE(profile_write_string("VELDRUM", "LOG", "/y", path_.c_str()));
    EXPECT_EQ(read(), "\xEF\xBB\xBF[VELDRUM]\nLOG=/y\n");
}

TEST_F(ProfileTest, KvrIniLiesInWindirElseEtc) {
    const char* old = std::getenv("WINDIR");
    std::string saved = old ? old : "";
    setenv("WINDIR", "/opt/win/", 1);
    EXPECT_EQ(kvr_ini_path(), "/opt/win/KVR.ini");
    unsetenv("WINDIR");
    EXPECT_EQ(kvr_ini_path(), "/etc/KVR.ini");
    if (old) setenv("WINDIR", saved.c_str(), 1);
}

}  // namespace
