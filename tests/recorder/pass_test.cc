// Channel turns: queued blocks joined into pieces, checked through ring files and index rows.
#include "recorder/recorder_pass.h"
#include "support.h"
#include "tests/seed/log_capture.h"

using namespace recorder_test;

namespace {

struct PassTest : Harness {
    // Queues a block at kT0 + dt whose samples are tag * 1000 + i.
    void put(int dt, int n, int tag, int event_type = 0, int channel = 3) {
        auto b = make_block(channel, kT0 + dt, n, [&](int i) { return tag * 1000 + i; });
        b[block_format::kEventType] = uint8_t(event_type);
        put_block(channel, b.data(), int(b.size()), current_roster()->version);
    }
    void turn(bool write_all) { channel_turn(station, *current_roster(), 0, write_all); }
    // "hhmmss|seconds" of every row; each file holds its row's seconds.
    Rows pieces(double rate) {
        Rows out;
        for (const std::string& row : rows("select cpath,tqty from filelist order by cpath")) {
            const size_t bar = row.find('|');
            const int tqty = std::stoi(row.substr(bar + 1));
            EXPECT_EQ(size_of(path(row.substr(0, bar))), 512 + off_t(2 * rate * tqty));
            out.push_back(row.substr(3, 6) + "|" + std::to_string(tqty));
        }
        return out;
    }
};

// Blocks {second, samples} join within 1.1 sample intervals of the last one's end; a repeat or
// a later block starts a new piece, and a piece of the same start rewrites its file.
TEST_F(PassTest, JoinToleranceIsOneSampleInterval) {
    using Case = std::tuple<double, std::vector<std::pair<int, int>>, Rows>;
    for (const auto& [rate, blocks, want] : {
             Case{100, {{0, 99}, {1, 100}}, {"130507|1"}},              // one interval late
             Case{100, {{0, 98}, {1, 100}}, {"130507|0", "130508|1"}},  // two intervals late
             Case{1, {{0, 1}, {2, 1}, {3, 1}}, {"130507|3"}},           // 1 s late at 1 sps
             Case{100, {{0, 50}, {0, 50}, {1, 50}, {1, 50}}, {"130507|0", "130508|0"}},
             Case{100, {{0, 100}, {1, 100}, {2, 100}, {3, 100}, {6, 100}, {6, 100}},
                  {"130507|4", "130513|1"}}}) {
        SCOPED_TRACE(want[0] + " at " + std::to_string(rate));
        rows("delete from filelist"), set_roster_entry(station, 0, 3, "SHZ", rate, 3);
        for (size_t i = 0; i < blocks.size(); ++i) put(blocks[i].first, blocks[i].second, i + 1);
        turn(false);
        EXPECT_EQ(queued_block_count(3), 0);
        EXPECT_EQ(pieces(rate), want);
    }
    // The last case's first file holds blocks 1 to 4 in order.
    const auto first = read_file(path("13/130507-17052004-SHZ.ABC"));
    for (int i : {0, 100, 399})
        EXPECT_EQ(block_format::read_u16((const uint8_t*)first.data() + 512 + 2 * i),
                  1000 * (i / 100 + 1) + i % 100);
}

TEST_F(PassTest, AtMost250BlocksPerTurn) {
    for (int i = 0; i < 300; ++i) put(i, 100, 0);
    turn(false);
    EXPECT_EQ(queued_block_count(3), 50);
    turn(false);  // the rest continues the same file
    EXPECT_EQ(pieces(100), Rows{"130507|300"});
}

TEST_F(PassTest, EventOnlyWaitsForAnEventOrAFlush) {
    set_roster_entry(station, 0, 3, "SHZ", 100.0, 3, 1);
    put(0, 100, 1), turn(false);
    EXPECT_EQ(queued_block_count(3), 1);
    turn(true);  // the flush request
    put(100, 100, 2), put(101, 100, 3, 2);  // an event brings the older block along
    turn(false);
    EXPECT_EQ(pieces(100), (Rows{"130507|1", "130647|2"}));
}

// Rates below 1 sps and channels outside 0..255 write nothing; their blocks are dropped.
TEST_F(PassTest, UnusableRatesAndChannelsAreRefused) {
    set_roster_entry(station, 0, 3, "SHZ", 0.0, 0),
        set_roster_entry(station, 1, -1, "NEG", 100.0, 0);
    set_roster_entry(station, 2, 256, "BIG", 100.0, 0),
        set_roster_entry(station, 3, 4, "FRC", 0.9, 0);
    put(0, 100, 1), put(0, 100, 1, 0, 4);
    make_pass(station);
    EXPECT_FALSE(exists(path("13")));
    EXPECT_EQ(queued_block_count(3) + queued_block_count(4), 0);
}

// A new roster: what is queued is written under the old one first (channel 4, never announced,
// is dropped), the log says so, and the new roster's channels start new files.
TEST_F(PassTest, NewRosterTakesOverAfterTheOldOneIsWritten) {
    LogCapture log;
    put(0, 100, 1), put(0, 100, 1, 0, 4);
    std::vector<RosterEntry> next = test_roster;
    snprintf(next.at(0).name, sizeof next[0].name, "BHZ");  // at(): no false -Warray-bounds
    publish_roster(next);
    put(1, 100, 2);  // would continue the old file under the same roster
    make_pass(station);
    EXPECT_EQ(rows("select cpath,tqty from filelist order by cpath"),
              (Rows{"13/130507-17052004-SHZ.ABC|1", "13/130508-17052004-BHZ.ABC|1"}));
    EXPECT_EQ(queued_block_count(4), 0);
    EXPECT_NE(log.text().find(utf8_to_cp1251("#Состав каналов станции изменился#")),
              std::string::npos);
}

TEST_F(PassTest, PlaceSamplesBufferEdge) {
    uint8_t piece[10] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    auto b = make_block(0, kT0, 4, [](int i) { return 0x0101 * (i + 1); });
    // Starts 3 samples in: positions 3 and 4 fit, 5 and 6 fall outside.
    place_samples(sizeof piece, kT0, piece, kT0 + 3, b.data(), 1.0, 4);
    EXPECT_EQ(piece[5], 0xEE);
    EXPECT_EQ(block_format::read_u16(piece + 6) * 0x10000 + block_format::read_u16(piece + 8),
              0x01010202);
    // An odd capacity holds no half sample; a block before the piece lands nowhere.
    place_samples(9, kT0, piece, kT0 + 4, b.data(), 1.0, 1);
    place_samples(sizeof piece, kT0, piece, kT0 - 1, b.data(), 1.0, 1);
    EXPECT_EQ(block_format::read_u16(piece + 8), 0x0202);
    EXPECT_EQ(piece[0], 0xEE);
}

}  // namespace
