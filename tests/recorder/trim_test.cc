// Ring trimming against the SQLite index and real files.
#include <algorithm>

#include "recorder/ring_trim.h"
#include "support.h"

using namespace recorder_test;

namespace {

struct TrimTest : Harness {
    // A file of `bytes` bytes in hour 0, its row 10 s at 100 sps (4512 in the index's measure).
    void add(const std::string& name, long tbegin, size_t bytes) {
        mkdir(path("0").c_str(), 0777);
        std::ofstream(path("0/" + name)) << std::string(bytes, 'x');
        register_file({("0/" + name).c_str(), "ABC", tbegin, 10, 100, 1, 5, "SHZ"});
    }
    void trim(uint64_t limit) { config.size_limit = limit, trim_ring(station); }
    Rows cpaths() { return rows("select cpath from filelist order by tbegin"); }
};

// Files a, b, c (measure 13,536) go oldest first from a measure equal to the limit until it is
// below; a missing file loses its row without lowering the measure.
TEST_F(TrimTest, OldestGoFirstUntilBelowTheLimit) {
    using Case = std::tuple<uint64_t, bool, Rows>;
    for (const auto& [limit, a_missing, left] :
         {Case{13537, false, {"0/a", "0/b", "0/c"}}, Case{13536, false, {"0/b", "0/c"}},
          Case{11024, false, {"0/c"}}, Case{13536, true, {"0/c"}}}) {
        SCOPED_TRACE(limit);
        rows("delete from filelist"), add("c", 300, 2512), add("a", 100, 2512), add("b", 200, 2512);
        if (a_missing) unlink(path("0/a").c_str());
        trim(limit);
        EXPECT_EQ(cpaths(), left);
        for (const char* name : {"0/a", "0/b", "0/c"})
            EXPECT_EQ(exists(path(name)), std::count(left.begin(), left.end(), name) == 1) << name;
    }
    EXPECT_TRUE(exists(path("0")));  // hour directories stay
}

// A path outside the data directory keeps its file and row; one longer than
// any ring file's path is a missing file. With the index down nothing goes.
TEST_F(TrimTest, StrangePathsAndADownIndexAreLeftAlone) {
    const std::string outside = data + "-outside", climbing = "../" + outside.substr(5);
    std::ofstream(outside) << "keep";
    register_file({climbing.c_str(), "ABC", 2, 10, 100, 1, 5, "SHZ"});
    register_file({std::string(250, 'n').c_str(), "ABC", 3, 10, 100, 1, 5, "SHZ"});
    add("a", 100, 10), trim(1);
    EXPECT_TRUE(exists(outside));
    EXPECT_EQ(cpaths(), Rows{climbing});
    unlink(outside.c_str()), add("b", 200, 10), close_database(), trim(1);
    EXPECT_TRUE(exists(path("0/b")));
}

// 4097 MB of estimate does not wrap: 5,000,000 s at 100 sps count 2e9 bytes a row.
TEST_F(TrimTest, LimitsBeyondFourGigabytes) {
    for (const char* row : {"1,'0/big1'", "2,'0/big2'", "3,'0/big3'"})
        rows(std::string("insert into filelist (sta,tbegin,cpath,tqty,sps,gain,ch,datatype,creater)"
                         " values ('ABC', ") + row + ", 5000000, 100, 1,'SHZ', 5,'VELDRUM')");
    EXPECT_EQ(ring_size("ABC"), 3ull * 2000000512ull);
    trim(4097ull * 1048576);  // files missing: every row goes, measure unchanged
    EXPECT_TRUE(cpaths().empty());
    add("a", 100, 10), trim(4097ull * 1048576);
    EXPECT_EQ(cpaths(), Rows{"0/a"});
}

}  // namespace
