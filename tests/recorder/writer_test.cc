// Ring files: names, the 12-hour cut, a piece's figures, failed opens; on disk and in the index.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>

#include "recorder/ring_writer.h"
#include "support.h"
#include "tests/seed/log_capture.h"

using namespace recorder_test;

namespace {

constexpr size_t kCap = 502 * 100;
const std::string kFirst = "13/130507-17052004-SHZ.ABC";

TEST(RingHeader, FileNames) {
    char name[64];
    ASSERT_TRUE(format_ring_name(name, sizeof name, kT0 + 39293, "HZ", "A"));  // 00:00:00
    EXPECT_STREQ(name, "0/000000-18052004- HZ.  A");
    EXPECT_FALSE(format_ring_name(name, 10, kT0, "SHZ", "ABC"));
}

struct WriterTest : Harness {
    void write(double t, int32_t seconds) {
        static std::vector<uint8_t> piece = [] {  // samples 65 ... 1200
            std::vector<uint8_t> p(kCap);
            for (size_t i = 0; i < kCap / 2; ++i) block_format::write_u16(&p[2 * i], 65 + i % 1136);
            return p;
        }();
        write_piece(station, current_roster()->entries[0], piece.data(), kCap, t, seconds);
    }
};

// At 1 sps a file of exactly 12 hours is still appended to; one past them closes after it.
TEST_F(WriterTest, TwelveHourCutKeepsTheAppend) {
    set_roster_entry(station, 0, 3, "SHZ", 1.0, 3);
    write(kT0, 25000), write(kT0 + 25000, 18200);
    EXPECT_EQ(current_file(0), kFirst + "|1084799107|43200");
    write(kT0 + 43200, 10);
    EXPECT_EQ(size_of(path(kFirst)), 512 + 2 * 43210);
    EXPECT_EQ(rows(), Rows{kFirst + "|1084799107|43210"});
    EXPECT_EQ(current_file(0), "|0|0");
    write(kT0 + 43210, 1);
    EXPECT_TRUE(exists(path("1/010517-18052004-SHZ.ABC")));
}

// Whole header, a duration cut to the buffer, gain off, a fractional rate; 0 s appends nothing.
TEST_F(WriterTest, PieceFiguresOnDiskAndInTheIndex) {
    using Case = std::tuple<int, double, int32_t, off_t, const char*, const char*>;
    for (const auto& [use_gain, rate, seconds, size, row, header] :
         {Case{1, 100.0, 300, 512 + 50200, "251|100|8",
               "[KVR2.0]\r\nData offset=512\r\nStart time=13 05 07\r\nStart date=17 05 2004\r\n"
               "Time duration=00 04 11\r\nData Type=SHORT\r\nSpS=100.000000\r\nGain=3\r\n"
               "Station=ABC\r\nChannels=\"SHZ\"\r\nAmin=65.0\r\nAmax=1200.0\r\n"},
          Case{0, 100.0, 0, 512, "0|100|1",
               "Gain=1\r\nStation=ABC\r\nChannels=\"SHZ\"\r\nAmin=65.0\r\nAmax=65.0\r\n"},
          Case{1, 50.7, 3, 512 + 304, "3|50|8", "SpS=50.700000\r\nGain=3\r\n"}}) {
        SCOPED_TRACE(row);
        rows("delete from filelist"), config.use_gain = use_gain;
        set_roster_entry(station, 0, 3, "SHZ", rate, 3);
        write(kT0, seconds), write(kT0 + std::atoi(row), 0);
        EXPECT_EQ(size_of(path(kFirst)), size);
        EXPECT_NE(read_file(path(kFirst)).substr(0, 512).find(header), std::string::npos);
        EXPECT_EQ(rows("select tqty,sps,gain from filelist"), Rows{row});
    }
}

// A current file cut, grown or replaced by hand is never appended to: its samples would be served
// at the wrong time. The next piece starts a new file at its own time; the old file and row stay.
TEST_F(WriterTest, FileChangedOutsideStartsANewFile) {
    const std::string next = "13/130517-17052004-SHZ.ABC", old = path(kFirst);
    using Case = std::tuple<const char*, std::string, off_t, const char*>;
    for (const auto& [name, command, size, message] :
         {Case{"cut", "truncate -s 1512 '" + old + "'", 1512, "(1512 байт вместо 2512)"},
          Case{"grown", "printf 'xy' >> '" + old + "'", 2514, "(2514 байт вместо 2512)"},
          Case{"replaced", "cp '" + old + "' '" + old + "~' && mv '" + old + "~' '" + old + "'",
               2512, "заменён вне программы"}}) {
        SCOPED_TRACE(name);
        LogCapture log;
        rows("delete from filelist"), unlink(path(next).c_str()), forget_ring_files();
        write(kT0, 10);
        ASSERT_EQ(system(command.c_str()), 0);
        write(kT0 + 10, 10), write(kT0 + 20, 10);  // the second one appends to the new file
        EXPECT_EQ(size_of(old), size);
        EXPECT_EQ(size_of(path(next)), 512 + 4000);
        EXPECT_EQ(rows(), (Rows{kFirst + "|1084799107|10", next + "|1084799117|20"}));
        EXPECT_TRUE(log.has(message) && log.has(("Файл '" + old + "'").c_str())) << log.text();
    }
}

TEST_F(WriterTest, FailedOpensChangeNothing) {
    // The current file trimmed behind the writer's back: the piece starts a new file.
    write(kT0, 10), unlink(path(kFirst).c_str()), write(kT0 + 10, 10);
    const std::string after = "13/130517-17052004-SHZ.ABC", state = after + "|1084799117|10";
    const Rows before = {kFirst + "|1084799107|10", state};
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(current_file(0), state);

    // None changes files, rows or state: a lock, a path of 128 characters, a full disk.
    int fd = open(path(after).c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    write(kT0 + 20, 10), close(fd);
    const std::string at_100 = "/13/130647-17052004-SHZ.ABC";  // a piece at kT0 + 100
    std::string deep = path(std::string(kMaxRingPath - data.size() - at_100.size(), 'd'));
    mkdir(deep.c_str(), 0777), snprintf(config.data_dir, sizeof config.data_dir, "%s", &deep[0]);
    write(kT0 + 100, 10), snprintf(config.data_dir, sizeof config.data_dir, "%s", data.c_str());
    struct rlimit saved {}, small {};
    getrlimit(RLIMIT_FSIZE, &saved), small = {300, saved.rlim_max}, signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    write(kT0 + 300, 10), setrlimit(RLIMIT_FSIZE, &saved), signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(size_of(path(after)), 2512);
    EXPECT_FALSE(exists(deep + at_100));
    EXPECT_FALSE(exists(path("13/131007-17052004-SHZ.ABC")));
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(current_file(0), state);
    // A path of exactly 127 characters is written.
    deep.pop_back(), mkdir(deep.c_str(), 0777);
    snprintf(config.data_dir, sizeof config.data_dir, "%s", &deep[0]), write(kT0 + 100, 10);
    EXPECT_EQ(deep.size() + at_100.size(), size_t(kMaxRingPath));
    EXPECT_TRUE(exists(deep + at_100));
}

}  // namespace
