#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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
    write(  // an editor's byte-order mark hides no section
        "\xEF\xBB\xBF[veldrum]\r\n  log =  /var/log/x  \r\n[ABC]\nSCH=\"BHZ, BHN\"\nDATA='/a b'\nQ=\"x\n"
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

TEST_F(ProfileTest, WritingOneKeyKeepsTheRestOfTheFileItsModeAndLineEnds) {
    struct Case {
        const char* before;  // nullptr: no file yet
        const char* section;
        const char* key;
        const char* after;
    };
    const Case cases[] = {
        {"; c\r\n[VELDRUM]\r\nLOG=/x\r\n\r\n[-listbox-]\r\nwidth=1,2\r\nOther=k\r\n[ABC]\r\nLANA=1\r\n",
         "-LISTBOX-", "Width",
         "; c\r\n[VELDRUM]\r\nLOG=/x\r\n\r\n[-listbox-]\r\nWidth=V\r\nOther=k\r\n[ABC]\r\nLANA=1\r\n"},
        // A new key goes after the section's last line, a new section last.
        {"[VELDRUM]\nLOG=/x\n\n[ABC]\nLANA=1\n", "veldrum", "SIZEMB",
         "[VELDRUM]\nLOG=/x\nSIZEMB=V\n\n[ABC]\nLANA=1\n"},
        {"[ABC]\nLANA=1", "-LISTBOX-", "Width", "[ABC]\nLANA=1\n[-LISTBOX-]\nWidth=V\n"},
        {"\xEF\xBB\xBF[VELDRUM]\nLOG=/x\n", "VELDRUM", "LOG", "\xEF\xBB\xBF[VELDRUM]\nLOG=V\n"},
        {nullptr, "-LISTBOX-", "Width", "[-LISTBOX-]\nWidth=V\n"},  // the first run
    };
    for (const Case& c : cases) {
        std::filesystem::remove(path_);
        if (c.before) {
            write(c.before);
            chmod(path_.c_str(), 0640);
            get("VELDRUM", "LOG");  // read at start
        }
        ASSERT_TRUE(profile_write_string(c.section, c.key, "V", path_.c_str())) << c.after;
        EXPECT_EQ(read(), c.after);
        struct stat st {};
        stat(path_.c_str(), &st);
        if (c.before) {
            EXPECT_EQ(st.st_mode & 07777, 0640u) << c.after;
        }
        path_ += "x";  // the next case is another file, read for the first time
    }
}

// Whatever stands at the path: the file's text, "dir", or "" when nothing.
std::string what_is(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return "dir";
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(ProfileTest, FileInDoubtIsLeftAsItWas) {
    const std::string text = "[VELDRUM]\nLOG=/x\nHTTP=8080\n";
    const std::function<void(const std::string&)> cases[] = {
        // Unreadable when first read (a directory, as no permission is none
        // for root), readable at the write: not replaced by what was not read.
        [&](const std::string& p) {
            std::filesystem::create_directory(p);
            EXPECT_EQ(profile_get_string("VELDRUM", "LOG", "d", p.c_str()), "d");
            std::filesystem::remove(p);
            std::ofstream(p) << text;
        },
        [&](const std::string& p) { std::filesystem::create_directory(p); },
        [&](const std::string& p) { symlink(p.c_str(), p.c_str()); },  // a loop
    };
    int i = 0;
    for (const auto& make : cases) {
        const std::string p = dir_ + "/case" + std::to_string(i++);
        make(p);
        const std::string before = what_is(p);
        EXPECT_FALSE(profile_write_string("-LISTBOX-", "Width", "1", p.c_str())) << p;
        EXPECT_EQ(what_is(p), before) << p;
    }
    EXPECT_FALSE(profile_write_string("S", "K", "v", (dir_ + "/no/such/file.ini").c_str()));
}

TEST_F(ProfileTest, WritingGoesThroughLinksAndNotThroughPlantedFiles) {
    std::filesystem::create_directory(dir_ + "/etc");
    const std::string target = dir_ + "/etc/real.ini", victim = dir_ + "/victim";
    std::ofstream(target) << "[VELDRUM]\nLOG=/x\n";
    chmod(target.c_str(), 0640);
    std::ofstream(victim) << "keep";
    symlink("etc/real.ini", path_.c_str());
    for (const std::string& planted : {target + ".tmp", target + "." + std::to_string(getpid()) + ".0.tmp"})
        symlink(victim.c_str(), planted.c_str());
    ASSERT_TRUE(profile_write_string("-LISTBOX-", "Width", "1", path_.c_str()));
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(read(), "[VELDRUM]\nLOG=/x\n[-LISTBOX-]\nWidth=1\n");
    EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(what_is(victim), "keep");
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
