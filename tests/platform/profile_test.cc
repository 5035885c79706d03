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
    std::string read(const std::string& path = "") {
        std::ifstream in(path.empty() ? path_ : path, std::ios::binary);
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
    write(  // an editor's byte-order mark hides no section
        "\xEF\xBB\xBF[veldrum]\r\n  log =  /var/log/x  \r\n[ABC]\nSCH=\"BHZ, BHN\"\n"
        "DATA='/a b'\nQ=\"x\nEMPTY=\n");
    EXPECT_EQ(get("VELDRUM", "LOG"), "/var/log/x");
    EXPECT_EQ(get("abc", "sch"), "BHZ, BHN");
    EXPECT_EQ(get("ABC", "DATA"), "/a b");
    EXPECT_EQ(get("ABC", "Q"), "\"x");   // one quote alone stays
    EXPECT_EQ(get("ABC", "EMPTY"), "");  // present but empty is not the default
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesDefault) {
    EXPECT_EQ(get("VELDRUM", "LOG", "dflt"), "dflt");
    write("[VELDRUM]\nLOG=x\n[OTHER]\nSIZEMB=5\nK=abcdef\n");
    EXPECT_EQ(get("NOPE", "LOG", "d"), "d");
    EXPECT_EQ(get("VELDRUM", "SIZEMB", "10"), "10");  // key of another section
    EXPECT_EQ(profile_get_int("OTHER", "SIZEMB", 10, path_.c_str()), 5);
    EXPECT_EQ(profile_get_int("OTHER", "MISSING", 7, path_.c_str()), 7);
    char out[4];  // a value is cut to the buffer
    EXPECT_EQ(profile_get_string("OTHER", "K", "", out, sizeof out, path_.c_str()), 3u);
    EXPECT_STREQ(out, "abc");
}

TEST_F(ProfileTest, DecimalConversion) {
    EXPECT_EQ(parse_decimal("  -42xyz"), -42);
    EXPECT_EQ(parse_decimal("+7"), 7);
    EXPECT_EQ(parse_decimal("abc"), 0);
    EXPECT_EQ(parse_decimal(""), 0);
    EXPECT_GT(parse_decimal("99999999999999999999999999"), 0);  // no overflow into negatives
}

TEST_F(ProfileTest, WritingOneKeyKeepsTheRestOfTheFileAndItsLineEnds) {
    struct {
        const char *before, *section, *key, *after;  // before nullptr: no file yet
    } const cases[] = {
        {"; c\r\n[VELDRUM]\r\nLOG=/x\r\n\r\n[-listbox-]\r\nwidth=1,2\r\nO=k\r\n[ABC]\r\nA=1\r\n",
         "-LISTBOX-", "Width",
         "; c\r\n[VELDRUM]\r\nLOG=/x\r\n\r\n[-listbox-]\r\nWidth=V\r\nO=k\r\n[ABC]\r\nA=1\r\n"},
        // A new key goes after the section's last line, a new section last.
        {"[VELDRUM]\nLOG=/x\n\n[ABC]\nLANA=1\n", "veldrum", "SIZEMB",
         "[VELDRUM]\nLOG=/x\nSIZEMB=V\n\n[ABC]\nLANA=1\n"},
        {"[ABC]\nLANA=1", "-LISTBOX-", "Width", "[ABC]\nLANA=1\n[-LISTBOX-]\nWidth=V\n"},
        {"\xEF\xBB\xBF[VELDRUM]\nLOG=/x\n", "VELDRUM", "LOG", "\xEF\xBB\xBF[VELDRUM]\nLOG=V\n"},
        {nullptr, "-LISTBOX-", "Width", "[-LISTBOX-]\nWidth=V\n"},  // the first run
    };
    for (const auto& c : cases) {
        std::filesystem::remove(path_);
        if (c.before) write(c.before);
        ASSERT_TRUE(profile_write_string(c.section, c.key, "V", path_.c_str())) << c.after;
        EXPECT_EQ(read(), c.after);
        path_ += "x";  // the next case is another file, read for the first time
    }
}

TEST_F(ProfileTest, FileInDoubtIsLeftAsItWas) {
    // Unreadable when first read (a directory: no permission stops no root),
    // readable at the write: not replaced by what was not read.
    std::filesystem::create_directory(path_);
    EXPECT_EQ(get("VELDRUM", "LOG"), "<none>");
    std::filesystem::remove(path_);
    write("[VELDRUM]\nLOG=/x\n");
    EXPECT_FALSE(profile_write_string("-LISTBOX-", "Width", "1", path_.c_str()));
    EXPECT_EQ(read(), "[VELDRUM]\nLOG=/x\n");
    // No regular file to write into: a directory, a link loop, no directory.
    const std::string dir = dir_ + "/d", loop = dir_ + "/loop";
    std::filesystem::create_directory(dir);
    symlink(loop.c_str(), loop.c_str());
    for (const std::string& p : {dir, loop, dir_ + "/no/such/file.ini"})
        EXPECT_FALSE(profile_write_string("-LISTBOX-", "Width", "1", p.c_str())) << p;
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_TRUE(std::filesystem::is_symlink(loop));
}

TEST_F(ProfileTest, WritingGoesThroughLinksAndNotThroughPlantedFiles) {
    std::filesystem::create_directory(dir_ + "/etc");
    const std::string target = dir_ + "/etc/real.ini", victim = dir_ + "/victim";
    std::ofstream(target) << "[VELDRUM]\nLOG=/x\n";
    std::filesystem::permissions(target, std::filesystem::perms(0640));
    std::ofstream(victim) << "keep";
    symlink("etc/real.ini", path_.c_str());
    symlink(victim.c_str(), (target + ".tmp").c_str());
    symlink(victim.c_str(), (target + "." + std::to_string(getpid()) + ".0.tmp").c_str());
    ASSERT_TRUE(profile_write_string("-LISTBOX-", "Width", "1", path_.c_str()));
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(read(), "[VELDRUM]\nLOG=/x\n[-LISTBOX-]\nWidth=1\n");
    EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(read(victim), "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ + "/etc"), {}), 3);
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
