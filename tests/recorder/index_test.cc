// The file index on SQLite, and on PostgreSQL when VELDRUM_TEST_PG_DSN names a data source;
// names carry quotes, so every statement's quoting meets a real parser.
#include <atomic>

#include "support.h"

using namespace recorder_test;

namespace {

struct IndexTest : Harness, ::testing::WithParamInterface<std::string> {
    void SetUp() override {
        const char* pg = GetParam() == "postgresql" ? getenv("VELDRUM_TEST_PG_DSN") : "KVR";
        if (!pg || !*pg) GTEST_SKIP() << "VELDRUM_TEST_PG_DSN not set";
        dsn = pg, Harness::SetUp();
    }
};

TEST_P(IndexTest, RegisterExtendAndQuotes) {
    const std::string cpath = "13/1'.A'C";
    register_file({"13\\1'.A'C", "A'C", 1084799107, 250, 100, 8, 5, "S'Z"});  // "\\" stored as "/"
    register_file({cpath.c_str(), "A'C", 1084799107, 10, 100, 8, 5, "S'Z"});  // again: one row
    extend_file({cpath.c_str(), "A'C", 1084799107, 500, 100, 8, 5, "S'Z"});
    extend_file({"14/1'", "A'C", 1084802400, 300, 100, 8, 5, "SHZ"});  // no row yet: a whole one
    register_file({"x');delete from filelist;--", "A'C", 1, 1, 1, 1, 5, "Z"});
    register_file({std::string(300, '\'').c_str(), "A'C", 1, 1, 1, 1, 5, "Z"});  // never cut short
    EXPECT_TRUE(index_connected());
    EXPECT_EQ(
        rows("select sta,tbegin,tqty,sps,gain,cpath,ch,creater from filelist order by tbegin"),
        (Rows{"A'C|1|1|1|1|x');delete from filelist;--|Z|VELDRUM",
              "A'C|1084799107|500|100|8|" + cpath + "|S'Z|VELDRUM",
              "A'C|1084802400|300|100|8|14/1'|SHZ|VELDRUM"}));
}

// Another station's older row (stations may share an index): not counted, listed nor deleted.
TEST_P(IndexTest, UnregisterRingSizeAndOldest) {
    EXPECT_EQ(ring_size("A'C"), 0u);  // empty filelist
    Rows oldest, want;
    for (int i = 0; i < 12; ++i) {
        const std::string cpath = "0/'" + std::to_string(i);
        register_file({cpath.c_str(), "A'C", 2000 - i, i == 3 ? 0 : 10, 100, 1, 5, "SHZ"});
        if (i >= 2) want.insert(want.begin(), cpath);  // the tqty 0 row too
    }
    rows("insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values "
         "('XYZ', 2, 1000, 100, 1,'0/''11','SHZ', 5,'VELDRUM')");
    // Each row with tqty > 0 counts sps*tqty*4+512; the row with tqty 0 none.
    EXPECT_EQ(ring_size("A'C"), 11u * 4512u);
    EXPECT_EQ(ring_size("XYZ"), 400512u);
    ASSERT_TRUE(oldest_files("A'C", &oldest));
    EXPECT_EQ(oldest, want);
    for (const std::string& cpath : Rows{"0/'11", "0/no-such-row", std::string(255, '\'')})
        EXPECT_EQ(unregister_file(cpath.c_str(), "A'C"), 1);  // 255 quotes still fit
    EXPECT_EQ(rows("select sta,count(*) from filelist group by sta order by sta"),
              (Rows{"A'C|11", "XYZ|1"}));
}

TEST_P(IndexTest, EventsStoredOnceAndGivenUpWhenRefused) {
    // Types 0 and below are never inserted.
    EventEntry events[kEventTableSize] = {{kT0, 2, 0, 0}, {kT0 + 1, 0, 0, 0}, {kT0 + 2, -1, 0, 0},
                                          {}, {}, {kT0 + 3, 1, 0, 0}};
    for (int pass = 0; pass < 2; ++pass) register_events("AB'C", events, kEventTableSize);
    EXPECT_EQ(rows("select sta,tbegin,event_type from eventlist order by tbegin"),
              (Rows{"AB'C|1084799107|2", "AB'C|1084799110|1"}));

    // A database refusing the inserts stays connected; each event is given up after three passes.
    rows("alter table eventlist rename to eventlist_away");
    events[6] = {kT0 + 4, 3, 0, 0}, events[7] = {kT0 + 5, 3, 0, 0};
    for (int pass = 1; pass <= 3; ++pass) {
        register_events("ABC", events, kEventTableSize);  // connected, the first held nothing back
        EXPECT_EQ(int(index_connected()) * 10 + events[7].attempts, 10 + pass);
    }
    rows("alter table eventlist_away rename to eventlist");
    register_events("ABC", events, kEventTableSize);
    EXPECT_EQ(rows("select count(*) from eventlist where sta='ABC'")[0], "0");
}

// Decoder and recorder share the table: each event stored once (ThreadSanitizer: the lock).
TEST_P(IndexTest, EventTableRaceStoresEachEventOnce) {
    clear_event_table();
    constexpr int kEvents = 300;
    std::atomic<bool> done{false};
    std::thread decoder([&] {
        for (int i = 0; i < kEvents; ++i) record_event(1, 1000 + i);
        done.store(true);
    });
    while (!done.load()) register_events("ABC", event_entries(), kEventTableSize);
    decoder.join();
    register_events("ABC", event_entries(), kEventTableSize);
    // A full table may replace an event before it is stored; none twice.
    EXPECT_EQ(rows("select count(*) from eventlist")[0],
              rows("select count(distinct tbegin) from eventlist")[0]);
    EXPECT_EQ(rows("select max(tbegin), min(event_type) from eventlist")[0],
              std::to_string(1000 + kEvents - 1) + "|1");
}

INSTANTIATE_TEST_SUITE_P(Drivers, IndexTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
