#include "platform/profile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/profile_test.XXXXXX";
        dir_ = mkdtemp(pattern), path_ = dir_ + "/VELDRUM.INI";
    }
    void TearDown() override { fs::remove_all(dir_); }
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string read(const std::string& path = "") {
        std::ifstream in(path.empty() ? path_ : path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string get(const char* section, const char* key) {
        return profile_get_string(section, key, "<none>", path_.c_str());
    }
    std::string dir_, path_;
};

TEST_F(ProfileTest, ReadIgnoringCaseTrimmedAndUnquotedWrittenKeepingTheRest) {
    EXPECT_EQ(get("VELDRUM", "LOG"), "<none>");  // no file
    write(                                       // an editor's byte-order mark hides no section
        "\xEF\xBB\xBF[veldrum]\r\n  log =  /var/log/x  \r\n[ABC]\nSCH=\"BHZ, BHN\"\n"
        "DATA='/a b'\nQ=\"x\nEMPTY=\nN=5\n");
    const std::pair<std::string, std::string> cases[] = {
        {get("VELDRUM", "LOG"), "/var/log/x"},
        {get("abc", "sch"), "BHZ, BHN"},
        {get("ABC", "DATA"), "/a b"},
        {get("ABC", "Q"), "\"x"},  // one quote alone stays
        {get("ABC", "EMPTY"), ""},
        {get("NOPE", "LOG"), "<none>"},
        {get("VELDRUM", "N"), "<none>"},  // another section's key
        {std::to_string(profile_get_int("ABC", "N", 10, path_.c_str())), "5"},
        {std::to_string(profile_get_int("ABC", "NO", 7, path_.c_str())), "7"},
    };
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
    for (auto [text, value] : {std::pair{"  -42xyz", -42}, {"+7", 7}, {"abc", 0}, {"", 0}})
        EXPECT_EQ(parse_decimal(text), value) << text;

    // Writing one key keeps the rest of the file (if any: before not null) and its line ends.
    struct { const char *before, *section, *key, *after; } const writes[] = {
        // A new key goes after the section's last line, a new section last.
        {"[VELDRUM]\nLOG=/x\n\n[ABC]\nLANA=1\n", "veldrum", "SIZEMB",
         "[VELDRUM]\nLOG=/x\nSIZEMB=V\n\n[ABC]\nLANA=1\n"},
        {"[ABC]\nLANA=1", "-LISTBOX-", "Width", "[ABC]\nLANA=1\n[-LISTBOX-]\nWidth=V\n"},
        {"\xEF\xBB\xBF[VELDRUM]\nLOG=/x\n", "VELDRUM", "LOG", "\xEF\xBB\xBF[VELDRUM]\nLOG=V\n"},
        {nullptr, "-LISTBOX-", "Width", "[-LISTBOX-]\nWidth=V\n"},  // the first run
        {"[ABC]\r\nLANA=1\r\n[X]\r\n", "abc", "LANA", "[ABC]\r\nLANA=V\r\n[X]\r\n"},  // CR LF kept
    };
    for (const auto& c : writes) {
        path_ += "x";  // each case is another file, read for the first time
        if (c.before) write(c.before);
        ASSERT_TRUE(profile_write_string(c.section, c.key, "V", path_.c_str())) << c.after;
        EXPECT_EQ(read(), c.after);
    }
}

// A file unreadable when first read (a directory: no permission stops root)
// is not replaced by what was not read; nothing is written without a regular
// file; links are followed, files planted at the temporary names are not.
TEST_F(ProfileTest, FileInDoubtIsLeftAndPlantedFilesAreNotWritten) {
    fs::create_directory(path_);
    EXPECT_EQ(get("VELDRUM", "LOG"), "<none>");
    fs::remove(path_);
    write("[VELDRUM]\nLOG=/x\n");
    EXPECT_FALSE(profile_write_string("-LISTBOX-", "Width", "1", path_.c_str()));
    EXPECT_EQ(read(), "[VELDRUM]\nLOG=/x\n");
    const std::string dir = dir_ + "/d", loop = dir_ + "/loop";
    fs::create_directory(dir);
    symlink(loop.c_str(), loop.c_str());
    for (const std::string& p : {dir, loop, dir_ + "/no/such/file.ini"})
        EXPECT_FALSE(profile_write_string("-LISTBOX-", "Width", "1", p.c_str())) << p;
    EXPECT_TRUE(fs::is_directory(dir) && fs::is_symlink(loop));

    fs::create_directory(dir_ + "/etc");
    const std::string target = dir_ + "/etc/real.ini", victim = dir_ + "/victim";
    path_ = dir_ + "/link.ini";
    std::ofstream(target) << "[VELDRUM]\nLOG=/x\n";
    fs::permissions(target, fs::perms(0640));
    std::ofstream(victim) << "keep";
    symlink("etc/real.ini", path_.c_str());
    symlink(victim.c_str(), (target + ".tmp").c_str());
    symlink(victim.c_str(), (target + "." + std::to_string(getpid()) + ".0.tmp").c_str());
    ASSERT_TRUE(profile_write_string("-LISTBOX-", "Width", "1", path_.c_str()));
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(read(), "[VELDRUM]\nLOG=/x\n[-LISTBOX-]\nWidth=1\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    EXPECT_EQ(read(victim), "keep");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/etc"), {}), 3);
}

}  // namespace
