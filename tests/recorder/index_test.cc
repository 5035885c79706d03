// The file index against the real drivers: SQLite through unixODBC always,
// PostgreSQL (psqlODBC) when VELDRUM_TEST_PG_DSN names a data source in the
// ODBCINI that the test starts with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "recorder/file_index.h"
#include "support.h"

using namespace recorder_test;

namespace {

class IndexTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        ASSERT_FALSE(index_dir().empty());
        if (GetParam() == "sqlite") {
            dsn = "KVR";
        } else {
            const char* pg = getenv("VELDRUM_TEST_PG_DSN");
            if (pg == nullptr || *pg == '\0') GTEST_SKIP() << "VELDRUM_TEST_PG_DSN not set";
            dsn = pg;
        }
        query(dsn, "delete from filelist");
        query(dsn, "delete from eventlist");
        snprintf(config.data_source, sizeof config.data_source, "%s",
                 GetParam() == "sqlite" ? "" : dsn.c_str());  // empty means "KVR"
        run_flag.store(1);
        start_database_thread();
        ASSERT_TRUE(wait_connected(true));
        wait_helper_threads();
    }
    void TearDown() override {
        run_flag.store(0);  // a database thread still retrying ends
        wait_helper_threads();
        close_database();
        remove_tree(dir);
    }
    std::vector<std::string> rows(const std::string& sql) { return query(dsn, sql); }

    std::string dir;
    std::string dsn;
};

TEST_P(IndexTest, RegisterExtendAndQuotes) {
    // A quote in the channel name and a backslash in the path.
    register_file({"13\\130507-17052004-S'Z.ABC", "ABC", 1084799107, 250, 100, 8, 5, "S'Z"});
    EXPECT_EQ(db_connected.load(), 1);
    auto r = rows("select sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater from filelist");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], "ABC|1084799107|250|100|8|13/130507-17052004-S'Z.ABC|S'Z|5|VELDRUM");

    // The same file registered again keeps one row.
    register_file({"13/130507-17052004-S'Z.ABC", "ABC", 1084799107, 10, 100, 8, 5, "S'Z"});
    EXPECT_EQ(rows("select count(*) from filelist")[0], "1");

    extend_file({"13/130507-17052004-S'Z.ABC", "ABC", 1084799107, 500, 100, 8, 5, "S'Z"});
    EXPECT_EQ(rows("select tqty from filelist")[0], "500");
    EXPECT_EQ(db_connected.load(), 1);

    // A file without a row gets a full one with the given start and length.
    extend_file({"14/140000-17052004-SHZ.ABC", "ABC", 1084802400, 300, 100, 8, 5, "SHZ"});
    EXPECT_EQ(rows("select tbegin,tqty from filelist where ch='SHZ'"),
              std::vector<std::string>{"1084802400|300"});

    // A value that tries to extend the statement stays a value.
    register_file({"x');delete from filelist;--", "ABC", 1, 1, 1, 1, 5, "Z"});
    EXPECT_EQ(rows("select count(*) from filelist")[0], "3");
    EXPECT_EQ(rows("select cpath from filelist where ch='Z'")[0], "x');delete from filelist;--");
}

TEST_P(IndexTest, UnregisterRingSizeAndOldest) {
    EXPECT_EQ(ring_size("ABC"), 0u);  // empty filelist
    for (int i = 0; i < 12; ++i) {
        std::string path = "0/f" + std::to_string(i);
        register_file({path.c_str(), "ABC", 2000 - i, i == 3 ? 0 : 10, 100, 1, 5, "SHZ"});
    }
    // Another program's row and another station's rows on the same index,
    // older than all of ours: neither counted, listed nor deleted.
    rows(
        "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
        "values ('ABC', 1, 1000, 100, 1,'other','SHZ', 5,'OTHER')");
    register_file({"0/xyz", "XYZ", 1, 1000, 100, 1, 5, "SHZ"});
    rows(
        "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
        "values ('XYZ', 2, 1000, 100, 1,'0/f11','SHZ', 5,'VELDRUM')");
    // 11 rows with tqty > 0 count 100*10*4+512 each; the row with tqty 0 not at all.
    EXPECT_EQ(ring_size("ABC"), 11u * 4512u);
    EXPECT_EQ(ring_size("XYZ"), 2u * 400512u);

    std::vector<std::string> oldest;
    ASSERT_TRUE(oldest_files("ABC", &oldest));
    ASSERT_EQ(oldest.size(), 10u);
    EXPECT_EQ(oldest[0], "0/f11");
    EXPECT_EQ(oldest[9], "0/f2");  // the tqty 0 row is a candidate too (0/f3 at [8])
    EXPECT_EQ(oldest[8], "0/f3");

    EXPECT_EQ(unregister_file("0/f11", "ABC"), 1);
    EXPECT_EQ(unregister_file("0/no-such-row", "ABC"), 1);
    EXPECT_EQ(unregister_file("0/xyz", "ABC"), 1);
    EXPECT_EQ(db_connected.load(), 1);
    EXPECT_EQ(rows("select count(*) from filelist where creater='VELDRUM' and sta='ABC'")[0], "11");
    EXPECT_EQ(rows("select cpath from filelist where sta='XYZ' order by tbegin"),
              (std::vector<std::string>{"0/xyz", "0/f11"}));
    EXPECT_EQ(rows("select count(*) from filelist where creater='OTHER'")[0], "1");
}

TEST_P(IndexTest, EventsStoredOnceAndGivenUpWhenRefused) {
    EventEntry events[kEventTableSize] = {};
    events[0] = {1084799107, 2, 0, 0};
    events[1] = {1084799108, 0, 0, 0};  // no event type: never inserted
    events[2] = {1084799109, -1, 0, 0};
    events[5] = {1084799110, 1, 0, 0};
    register_events("AB'C", events, kEventTableSize);
    register_events("AB'C", events, kEventTableSize);
    EXPECT_EQ(rows("select sta,tbegin,event_type from eventlist order by tbegin"),
              (std::vector<std::string>{"AB'C|1084799107|2", "AB'C|1084799110|1"}));
    EXPECT_EQ(events[0].stored, 1);
    EXPECT_EQ(events[1].stored, 0);

    // A live database that refuses the inserts: the connection stays up, so
    // files are still registered, and each event is given up after a few
    // passes instead of being tried for ever.
    rows("alter table eventlist rename to eventlist_away");
    events[6] = {1084799111, 3, 0, 0};
    events[7] = {1084799112, 3, 0, 0};
    for (int pass = 1; pass <= 3; ++pass) {
        register_events("ABC", events, kEventTableSize);
        EXPECT_EQ(db_connected.load(), 1);
        EXPECT_EQ(events[7].attempts, pass);  // the first failure held nothing back
    }
    EXPECT_EQ(events[6].stored, 1);
    EXPECT_EQ(events[7].stored, 1);
    register_file({"0/a", "ABC", 100, 10, 100, 1, 5, "SHZ"});
    EXPECT_EQ(rows("select count(*) from filelist")[0], "1");
    rows("alter table eventlist_away rename to eventlist");
    register_events("ABC", events, kEventTableSize);
    EXPECT_EQ(rows("select count(*) from eventlist where sta='ABC'")[0], "0");
}

// The decoder enters events while the recorder stores them: each event is
// stored once, none is torn (ThreadSanitizer watches the table's lock).
TEST_P(IndexTest, EventTableRaceStoresEachEventOnce) {
    std::memset(event_table, 0, sizeof event_table);
    constexpr int kEvents = 300;
    std::atomic<bool> done{false};
    std::thread decoder([&] {
        for (int i = 0; i < kEvents; ++i) record_event(1, 1000 + i);
        done.store(true);
    });
    while (!done.load()) register_events("ABC", event_table, kEventTableSize);
    decoder.join();
    register_events("ABC", event_table, kEventTableSize);
    // A full table may replace an event before it is stored; none twice.
    EXPECT_EQ(rows("select count(*) from eventlist")[0],
              rows("select count(distinct tbegin) from eventlist")[0]);
    EXPECT_EQ(rows("select max(tbegin), min(event_type) from eventlist")[0],
              std::to_string(1000 + kEvents - 1) + "|1");
}

// The index failing in the middle of a run: the failed registration resets
// the connection, the database thread reconnects, and the file's next
// extension registers it once.
TEST_P(IndexTest, ReconnectAfterAFailedRegistrationDuplicatesNothing) {
    register_file({"0/a", "ABC", 100, 10, 100, 1, 5, "SHZ"});
    rows("alter table filelist rename to filelist_away");
    register_file({"0/b", "ABC", 200, 10, 100, 1, 5, "SHZ"});
    EXPECT_EQ(db_connected.load(), 0);
    extend_file({"0/a", "ABC", 100, 20, 100, 1, 5, "SHZ"});  // skipped while down
    ASSERT_TRUE(wait_connected(true));
    wait_helper_threads();
    rows("alter table filelist_away rename to filelist");
    extend_file({"0/b", "ABC", 200, 20, 100, 1, 5, "SHZ"});
    extend_file({"0/b", "ABC", 200, 30, 100, 1, 5, "SHZ"});
    extend_file({"0/a", "ABC", 100, 30, 100, 1, 5, "SHZ"});
    EXPECT_EQ(rows("select cpath,tbegin,tqty from filelist order by tbegin"),
              (std::vector<std::string>{"0/a|100|30", "0/b|200|30"}));
}

TEST_P(IndexTest, EverythingWaitsWhileDown) {
    close_database();
    register_file({"0/a", "ABC", 1, 1, 1, 1, 5, "SHZ"});
    EXPECT_EQ(ring_size("ABC"), 0u);
    std::vector<std::string> oldest{"stale"};
    EXPECT_FALSE(oldest_files("ABC", &oldest));
    EXPECT_TRUE(oldest.empty());
    EXPECT_EQ(rows("select count(*) from filelist")[0], "0");
}

INSTANTIATE_TEST_SUITE_P(Drivers, IndexTest, ::testing::Values("sqlite", "postgresql"));

TEST(IndexStatements, TextsAsSent) {
    char t[1024];
    ASSERT_TRUE(format_register_delete(t, sizeof t, "13/130507-17052004-SHZ.ABC"));
    EXPECT_STREQ(t, "delete from filelist where cpath='13/130507-17052004-SHZ.ABC'");
    ASSERT_TRUE(format_register_insert(t, sizeof t, "ABC", 1084799107, 250, 100, 8,
                                       "13/130507-17052004-SHZ.ABC", "SHZ", 5));
    EXPECT_STREQ(t,
                 "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) "
                 "values ('ABC', 1084799107, 250, 100, 8,'13/130507-17052004-SHZ.ABC','SHZ', "
                 "5,'VELDRUM')");
    ASSERT_TRUE(format_extend_count(t, sizeof t, "a"));
    EXPECT_STREQ(t, "select count(*) from filelist where cpath='a'");
    ASSERT_TRUE(format_extend_update(t, sizeof t, 7, "a", "ABC", "S'Z"));
    EXPECT_STREQ(t, "update filelist set tqty=7 where cpath='a' and sta='ABC' and ch='S''Z'");
    ASSERT_TRUE(format_event_insert(t, sizeof t, "ABC", 1084799107, 2));
    EXPECT_STREQ(t, "insert into eventlist (sta,tbegin,event_type)  values ('ABC', 1084799107, 2)");
    ASSERT_TRUE(format_unregister(t, sizeof t, "a", "ABC"));
    EXPECT_STREQ(t, "delete  from filelist where cpath='a' and sta='ABC'");
    ASSERT_TRUE(format_ring_size(t, sizeof t, "ABC"));
    EXPECT_STREQ(t,
                 "select sum(sps*tqty*4+512) as DLSize from filelist where tqty>0. and "
                 "creater='VELDRUM' and sta='ABC'");
    ASSERT_TRUE(format_oldest_files(t, sizeof t, "ABC"));
    EXPECT_STREQ(t, "select cpath from filelist where creater='VELDRUM' and sta='ABC' order by tbegin");
}

TEST(IndexStatements, QuotingBounds) {
    char out[8];
    EXPECT_TRUE(quote_sql("a'b", out, sizeof out));
    EXPECT_STREQ(out, "a''b");
    EXPECT_EQ(quote_sql("''''''", out, sizeof out), 0);  // needs 13 bytes
    EXPECT_STREQ(out, "");
    // A 255-character cpath of quotes still fits the statement buffer.
    std::string quotes(255, '\'');
    char t[1024];
    EXPECT_TRUE(format_unregister(t, sizeof t, quotes.c_str(), "ABC"));
    EXPECT_EQ(strlen(t), strlen("delete  from filelist where cpath='' and sta='ABC'") + 510);
}

}  // namespace
