// Ring trimming against the SQLite index and real files.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "recorder/file_index.h"
#include "recorder/ring_trim.h"
#include "support.h"

using namespace recorder_test;

namespace {

class TrimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(index_dir().empty());
        query("KVR", "delete from filelist");
        data = make_temp_dir();
        snprintf(config.data_dir, sizeof config.data_dir, "%s", data.c_str());
        snprintf(station_name, sizeof station_name, "ABC");
        config.data_source[0] = '\0';
        run_flag.store(1);
        start_database_thread();
        ASSERT_TRUE(wait_connected(true));
        wait_helper_threads();
    }
    void TearDown() override {
        close_database();
        remove_tree(data);
    }
    // A file of `bytes` bytes in hour directory 0 with a row of 10 s at 100
    // samples per second (4512 bytes in the index's measure).
    void add(const std::string& name, long tbegin, size_t bytes) {
        mkdir((data + "/0").c_str(), 0777);
        std::ofstream(data + "/0/" + name) << std::string(bytes, 'x');
        register_file({("0/" + name).c_str(), "ABC", tbegin, 10, 100, 1, 5, "SHZ"});
    }
    std::vector<std::string> cpaths() {
        return query("KVR", "select cpath from filelist order by tbegin");
    }
    std::string data;
};

TEST_F(TrimTest, BelowTheLimitNothingHappens) {
    add("a", 100, 2512);
    trim_ring(4513);
    EXPECT_EQ(cpaths().size(), 1u);
    EXPECT_TRUE(exists(data + "/0/a"));
}

TEST_F(TrimTest, OldestGoFirstUntilBelowTheLimit) {
    add("c", 300, 2512);
    add("a", 100, 2512);
    add("b", 200, 2512);
    // Measure 13,536 equals the limit: trimming runs. Deleting a leaves
    // 11,024, still at or above 11,024; deleting b leaves 8,512.
    trim_ring(13536 - 2512);
    EXPECT_FALSE(exists(data + "/0/a"));
    EXPECT_FALSE(exists(data + "/0/b"));
    EXPECT_TRUE(exists(data + "/0/c"));
    EXPECT_EQ(cpaths(), std::vector<std::string>{"0/c"});
    EXPECT_TRUE(exists(data + "/0"));  // hour directories stay
}

TEST_F(TrimTest, MissingFileLosesItsRowAndTheNextIsExaminedAtOnce) {
    add("a", 100, 2512);
    add("b", 200, 2512);
    add("c", 300, 2512);
    unlink((data + "/0/a").c_str());
    trim_ring(13536);  // the missing file does not lower the measure
    EXPECT_FALSE(exists(data + "/0/b"));
    EXPECT_EQ(cpaths(), std::vector<std::string>{"0/c"});
}

TEST_F(TrimTest, OtherProgramsAndStrangePathsAreLeftAlone) {
    std::ofstream(data + "/theirs") << "keep";
    query("KVR",
          "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
          "values ('ABC', 1, 100000, 100, 1,'theirs','SHZ', 5,'OTHER')");
    std::string outside = data + "-outside";
    std::ofstream(outside) << "keep";
    std::string climbing = "../" + outside.substr(outside.rfind('/') + 1);
    register_file({climbing.c_str(), "ABC", 2, 10, 100, 1, 5, "SHZ"});
    // A candidate far longer than any ring file's path.
    register_file({std::string(250, 'n').c_str(), "ABC", 3, 10, 100, 1, 5, "SHZ"});
    add("a", 100, 10);
    trim_ring(1);
    EXPECT_TRUE(exists(data + "/theirs"));
    EXPECT_TRUE(exists(outside));
    unlink(outside.c_str());
    EXPECT_FALSE(exists(data + "/0/a"));
    EXPECT_EQ(cpaths(), (std::vector<std::string>{"theirs", climbing}));
}

TEST_F(TrimTest, ConnectionDownMeansNoTrimming) {
    add("a", 100, 2512);
    close_database();
    trim_ring(1);
    EXPECT_TRUE(exists(data + "/0/a"));
}

TEST_F(TrimTest, LimitsBeyondFourGigabytes) {
    // 4097 MB of estimate does not wrap: 5,000,000 s at 100 sps counts 2e9
    // bytes per row.
    query("KVR",
          "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
          "values ('ABC', 1, 5000000, 100, 1,'0/big1','SHZ', 5,'VELDRUM')");
    query("KVR",
          "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
          "values ('ABC', 2, 5000000, 100, 1,'0/big2','SHZ', 5,'VELDRUM')");
    query("KVR",
          "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
          "values ('ABC', 3, 5000000, 100, 1,'0/big3','SHZ', 5,'VELDRUM')");
    EXPECT_EQ(ring_size("ABC"), 3ull * 2000000512ull);
    trim_ring(4097ull * 1048576);  // files missing: every row goes, measure unchanged
    EXPECT_TRUE(cpaths().empty());
    add("a", 100, 10);
    trim_ring(4097ull * 1048576);
    EXPECT_EQ(cpaths(), std::vector<std::string>{"0/a"});
}

}  // namespace
