// The file index against the real drivers: SQLite through unixODBC always,
// PostgreSQL (psqlODBC) when VELDRUM_TEST_PG_DSN names a data source in the
// ODBCINI that the test starts with. Station, path and channel names carry
// quotes, so every statement's quoting meets a real parser.
#include <atomic>

#include "support.h"

using namespace recorder_test;
using Rows = std::vector<std::string>;

namespace {

class IndexTest : public Harness, public ::testing::WithParamInterface<std::string> {
  protected:
    void SetUp() override {
        const char* pg = getenv("VELDRUM_TEST_PG_DSN");
        if (GetParam() == "postgresql" && (pg == nullptr || *pg == '\0'))
            GTEST_SKIP() << "VELDRUM_TEST_PG_DSN not set";
        if (GetParam() == "postgresql") dsn = pg;
        Harness::SetUp();
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
    EXPECT_EQ(db_connected.load(), 1);
    EXPECT_EQ(
        rows("select sta,tbegin,tqty,sps,gain,cpath,ch,creater from filelist order by tbegin"),
        (Rows{"A'C|1|1|1|1|x');delete from filelist;--|Z|VELDRUM",
              "A'C|1084799107|500|100|8|" + cpath + "|S'Z|VELDRUM",
              "A'C|1084802400|300|100|8|14/1'|SHZ|VELDRUM"}));
}

// Another station's row on the same index, older than all of ours: neither
// counted, listed nor deleted (stations may share an index).
TEST_P(IndexTest, UnregisterRingSizeAndOldest) {
    EXPECT_EQ(ring_size("A'C"), 0u);  // empty filelist
    for (int i = 0; i < 12; ++i)
        register_file({("0/'" + std::to_string(i)).c_str(), "A'C", 2000 - i, i == 3 ? 0 : 10, 100,
                       1, 5, "SHZ"});
    rows(
        "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values "
        "('XYZ', 2, 1000, 100, 1,'0/''11','SHZ', 5,'VELDRUM')");
    // Each row with tqty > 0 counts sps*tqty*4+512; the row with tqty 0 none.
    EXPECT_EQ(ring_size("A'C"), 11u * 4512u);
    EXPECT_EQ(ring_size("XYZ"), 400512u);
    Rows oldest, want;
    for (int i = 11; i >= 2; --i) want.push_back("0/'" + std::to_string(i));  // the tqty 0 row too
    ASSERT_TRUE(oldest_files("A'C", &oldest));
    EXPECT_EQ(oldest, want);
    for (const std::string& cpath : Rows{"0/'11", "0/no-such-row", std::string(255, '\'')})
        EXPECT_EQ(unregister_file(cpath.c_str(), "A'C"), 1);  // 255 quotes still fit
    EXPECT_EQ(rows("select sta,count(*) from filelist group by sta order by sta"),
              (Rows{"A'C|11", "XYZ|1"}));
}

TEST_P(IndexTest, EventsStoredOnceAndGivenUpWhenRefused) {
    // Types 0 and below are never inserted.
    EventEntry events[kEventTableSize] = {
        {1084799107, 2, 0, 0}, {1084799108, 0, 0, 0}, {1084799109, -1, 0, 0}, {}, {},
        {1084799110, 1, 0, 0}};
    for (int pass = 0; pass < 2; ++pass) register_events("AB'C", events, kEventTableSize);
    EXPECT_EQ(rows("select sta,tbegin,event_type from eventlist order by tbegin"),
              (Rows{"AB'C|1084799107|2", "AB'C|1084799110|1"}));

    // A live database that refuses the inserts: the connection stays up, and
    // each event is given up after three passes instead of being tried for ever.
    rows("alter table eventlist rename to eventlist_away");
    events[6] = {1084799111, 3, 0, 0};
    events[7] = {1084799112, 3, 0, 0};
    for (int pass = 1; pass <= 3; ++pass) {
        register_events("ABC", events, kEventTableSize);
        EXPECT_EQ(db_connected.load(), 1);
        EXPECT_EQ(events[7].attempts, pass);  // the first refusal held nothing back
    }
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

INSTANTIATE_TEST_SUITE_P(Drivers, IndexTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
