// Ring files: header bytes, names, append versus new file, the 12-hour cut,
// failed opens and a full disk, each checked on disk and in the SQLite index.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "recorder/file_index.h"
#include "recorder/ring_writer.h"
#include "support.h"

using namespace recorder_test;

namespace {

constexpr double kT0 = 1084799107;  // 2004-05-17 13:05:07 UTC
constexpr size_t kCap = 502 * 100;

const char kExampleHeader[] =
    "[KVR2.0]\r\nData offset=512\r\nStart time=13 05 07\r\nStart date=17 05 2004\r\n"
    "Time duration=00 04 10\r\nData Type=SHORT\r\nSpS=100.000000\r\nGain=3\r\n"
    "Station=ABC\r\nChannels=\"SHZ\"\r\nAmin=65.0\r\nAmax=1200.0\r\n";

TEST(RingHeader, ExampleByteForByte) {
    char h[kRingHeaderSize];
    memset(h, 'x', sizeof h);
    format_ring_header(h, kT0, 250, 100.0, 3, "ABC", "SHZ", 65, 1200);
    size_t n = strlen(kExampleHeader);
    EXPECT_EQ(std::string(h, n), kExampleHeader);
    for (size_t i = n; i < sizeof h; ++i) ASSERT_EQ(h[i], 0) << i;

    format_ring_header(h, kT0, 86400 + 3661, 0.5, 1, "ABCDEFGHIJKLMNO", "S'Z", 0, 65535);
    std::string text(h);
    EXPECT_NE(text.find("Time duration=01 01 01\r\n"), std::string::npos);  // D mod 86400
    EXPECT_NE(text.find("SpS=0.500000\r\n"), std::string::npos);
    EXPECT_NE(text.find("Amin=0.0\r\nAmax=65535.0\r\n"), std::string::npos);
}

TEST(RingHeader, FileNames) {
    char name[256];
    ASSERT_TRUE(format_ring_name(name, sizeof name, kT0, "SHZ", "ABC"));
    EXPECT_STREQ(name, "13/130507-17052004-SHZ.ABC");
    ASSERT_TRUE(format_ring_name(name, sizeof name, kT0, "HZ", "ABCDE"));
    EXPECT_STREQ(name, "13/130507-17052004- HZ.ABCDE");
    ASSERT_TRUE(format_ring_name(name, sizeof name, 1084838399, "LONGNAME", "A"));  // 23:59:59
    EXPECT_STREQ(name, "23/235959-17052004-LONGNAME.  A");
    ASSERT_TRUE(format_ring_name(name, sizeof name, 1084838400, "SHZ", "ABC"));  // 00:00:00
    EXPECT_STREQ(name, "0/000000-18052004-SHZ.ABC");
    EXPECT_FALSE(format_ring_name(name, 10, kT0, "SHZ", "ABC"));
}

class WriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(index_dir().empty());
        query("KVR", "delete from filelist");
        data = make_temp_dir();
        snprintf(config.data_dir, sizeof config.data_dir, "%s", data.c_str());
        config.data_source[0] = '\0';
        config.use_gain = 1;
        snprintf(station_name, sizeof station_name, "ABC");
        set_roster_entry(0, 1, "SHZ", 100.0, 3);
        piece.assign(kCap, 0);
        for (size_t i = 0; i < kCap / 2; ++i) block_format::write_u16(&piece[2 * i], 65 + i % 1136);
        run_flag.store(1);
        start_database_thread();
        ASSERT_TRUE(wait_connected(true));
        wait_helper_threads();
    }
    void TearDown() override {
        close_database();
        remove_tree(data);
    }
    std::string path(const char* relative) { return data + "/" + relative; }
    std::vector<std::string> rows() {
        return query("KVR", "select cpath,tbegin,tqty,sps,gain,ch from filelist order by tbegin");
    }

    std::string data;
    std::vector<uint8_t> piece;
};

TEST_F(WriterTest, NewFileThenAppendThenNewOnGap) {
    write_piece(piece.data(), kCap, kT0, 250, 0);
    std::string file = path("13/130507-17052004-SHZ.ABC");
    std::string bytes = read_file(file);
    ASSERT_EQ(bytes.size(), 50512u);
    EXPECT_EQ(bytes.substr(0, strlen(kExampleHeader)), kExampleHeader);
    EXPECT_EQ(0, memcmp(bytes.data() + 512, piece.data(), 50000));
    EXPECT_EQ(rows(),
              std::vector<std::string>{"13/130507-17052004-SHZ.ABC|1084799107|250|100|8|SHZ"});
    EXPECT_STREQ(channel_roster[0].file_name, "13/130507-17052004-SHZ.ABC");
    EXPECT_EQ(channel_roster[0].file_start_time, kT0);
    EXPECT_EQ(channel_roster[0].file_duration, 250);

    write_piece(piece.data(), kCap, kT0 + 250, 10, 0);  // continues exactly
    EXPECT_EQ(size_of(file), 50512 + 2000);
    EXPECT_EQ(read_file(file).substr(50512), std::string(piece.begin(), piece.begin() + 2000));
    EXPECT_EQ(rows(),
              std::vector<std::string>{"13/130507-17052004-SHZ.ABC|1084799107|260|100|8|SHZ"});

    write_piece(piece.data(), kCap, kT0 + 261, 1, 0);  // one second late: a new file
    EXPECT_EQ(size_of(file), 52512);
    EXPECT_EQ(size_of(path("13/130928-17052004-SHZ.ABC")), 712);
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_STREQ(channel_roster[0].file_name, "13/130928-17052004-SHZ.ABC");
}

TEST_F(WriterTest, TwelveHourCutKeepsTheAppend) {
    write_piece(piece.data(), kCap, kT0, 100, 0);
    channel_roster[0].file_duration = 43190;  // as if appended all day
    write_piece(piece.data(), kCap, kT0 + 43190, 20, 0);
    EXPECT_EQ(size_of(path("13/130507-17052004-SHZ.ABC")), 512 + 20000 + 4000);
    EXPECT_EQ(rows()[0], "13/130507-17052004-SHZ.ABC|1084799107|43210|100|8|SHZ");
    EXPECT_STREQ(channel_roster[0].file_name, "");
    EXPECT_EQ(channel_roster[0].file_start_time, 0);
    EXPECT_EQ(channel_roster[0].file_duration, 0);
    write_piece(piece.data(), kCap, kT0 + 43210, 1, 0);
    EXPECT_TRUE(exists(path("1/010517-18052004-SHZ.ABC")));
}

TEST_F(WriterTest, ZeroSecondsAndNoGain) {
    config.use_gain = 0;
    write_piece(piece.data(), kCap, kT0, 0, 0);
    std::string bytes = read_file(path("13/130507-17052004-SHZ.ABC"));
    ASSERT_EQ(bytes.size(), 512u);
    EXPECT_NE(bytes.find("Time duration=00 00 00\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("Gain=1\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("Amin=65.0\r\nAmax=65.0\r\n"), std::string::npos);  // sample 0
    EXPECT_EQ(rows()[0], "13/130507-17052004-SHZ.ABC|1084799107|0|100|1|SHZ");
    write_piece(piece.data(), kCap, kT0, 0, 0);  // appends nothing
    EXPECT_EQ(size_of(path("13/130507-17052004-SHZ.ABC")), 512);
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(WriterTest, PieceLongerThanTheBufferIsCut) {
    write_piece(piece.data(), kCap, kT0, 300, 0);
    EXPECT_EQ(size_of(path("13/130507-17052004-SHZ.ABC")), 512 + 50200);
    EXPECT_EQ(channel_roster[0].file_duration, 251);
}

TEST_F(WriterTest, FailedOpensChangeNothing) {
    write_piece(piece.data(), kCap, kT0, 10, 0);

    // The current file removed behind the writer's back (the trimming does
    // this when the ring is small): the piece starts a new file, not lost.
    unlink(path("13/130507-17052004-SHZ.ABC").c_str());
    write_piece(piece.data(), kCap, kT0 + 10, 10, 0);
    EXPECT_STREQ(channel_roster[0].file_name, "13/130517-17052004-SHZ.ABC");
    EXPECT_EQ(size_of(path("13/130517-17052004-SHZ.ABC")), 512 + 2000);
    EXPECT_EQ(rows()[1], "13/130517-17052004-SHZ.ABC|1084799117|10|100|8|SHZ");
    RosterEntry before = channel_roster[0];

    // Missing data directory, and one so long the path passes 127 characters.
    snprintf(config.data_dir, sizeof config.data_dir, "%s/missing", data.c_str());
    write_piece(piece.data(), kCap, kT0 + 100, 10, 0);
    std::string deep = data + "/" + std::string(100, 'd');
    mkdir(deep.c_str(), 0777);
    snprintf(config.data_dir, sizeof config.data_dir, "%s", deep.c_str());
    write_piece(piece.data(), kCap, kT0 + 200, 10, 0);
    EXPECT_FALSE(exists(deep + "/13"));
    EXPECT_EQ(0, memcmp(&before, &channel_roster[0], sizeof before));
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(WriterTest, AnotherWritersLockShutsUsOut) {
    write_piece(piece.data(), kCap, kT0, 10, 0);
    int fd = open(path("13/130507-17052004-SHZ.ABC").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    write_piece(piece.data(), kCap, kT0 + 10, 10, 0);
    EXPECT_EQ(size_of(path("13/130507-17052004-SHZ.ABC")), 2512);
    EXPECT_EQ(channel_roster[0].file_duration, 10);
    close(fd);
}

// A file-size limit stands in for a full disk: whatever does not fit is
// lost, files and rows stay consistent, and recording goes on.
TEST_F(WriterTest, FullDiskKeepsFilesAndRowsConsistent) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    write_piece(piece.data(), kCap, kT0, 200, 0);  // 40,512 bytes
    RosterEntry before = channel_roster[0];

    struct rlimit small = saved;
    small.rlim_cur = 41000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    write_piece(piece.data(), kCap, kT0 + 200, 10, 0);  // would reach 42,512: cut back
    EXPECT_EQ(size_of(path("13/130507-17052004-SHZ.ABC")), 40512);
    EXPECT_EQ(0, memcmp(&before, &channel_roster[0], sizeof before));

    small.rlim_cur = 300;  // not even a header fits: the new file is removed
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    write_piece(piece.data(), kCap, kT0 + 300, 10, 0);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_FALSE(exists(path("13/131007-17052004-SHZ.ABC")));
    EXPECT_EQ(0, memcmp(&before, &channel_roster[0], sizeof before));
    EXPECT_EQ(rows(),
              std::vector<std::string>{"13/130507-17052004-SHZ.ABC|1084799107|200|100|8|SHZ"});

    // Space is back: the next piece goes to a new file and gets its row.
    write_piece(piece.data(), kCap, kT0 + 400, 10, 0);
    EXPECT_EQ(size_of(path("13/131147-17052004-SHZ.ABC")), 2512);
    EXPECT_EQ(rows().size(), 2u);
    signal(SIGXFSZ, SIG_DFL);
}

// Index down when files are written: they get their rows at their next
// extension, with the file's own start and whole length.
TEST_F(WriterTest, RowArrivesWithTheNextExtension) {
    close_database();
    write_piece(piece.data(), kCap, kT0, 100, 0);
    EXPECT_TRUE(rows().empty());
    start_database_thread();
    wait_connected(true);
    wait_helper_threads();
    write_piece(piece.data(), kCap, kT0 + 100, 5, 0);
    EXPECT_EQ(rows(),
              std::vector<std::string>{"13/130507-17052004-SHZ.ABC|1084799107|105|100|8|SHZ"});
}

}  // namespace
