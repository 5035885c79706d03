// Channel turns: queued blocks joined into pieces of whole seconds, checked
// through the ring files they produce (index down, so only files).
#include <gtest/gtest.h>

#include "link/block_queue.h"
#include "recorder/file_index.h"
#include "recorder/recorder_pass.h"
#include "support.h"

using namespace recorder_test;

namespace {

constexpr time_t kT0 = 1084799107;  // 2004-05-17 13:05:07 UTC

class PassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        close_database();
        data = make_temp_dir();
        snprintf(config.data_dir, sizeof config.data_dir, "%s", data.c_str());
        snprintf(station_name, sizeof station_name, "ABC");
        config.use_gain = 1;
        flush_request.store(0);
        for (int c = 0; c < kChannelCount; ++c) drain_channel(c);
        set_roster_entry(0, 3, "SHZ", 100.0, 0);
        roster_count = 1;
    }
    void TearDown() override {
        for (int c = 0; c < kChannelCount; ++c) drain_channel(c);
        roster_count = 0;
        remove_tree(data);
    }
    void put(int c, time_t t, int n, int first) {
        auto b = make_block(c, t, n, [&](int i) { return first + i; });
        put_block(c, b.data(), static_cast<int>(b.size()));
    }
    std::string file(const char* relative) { return data + "/" + relative; }
    std::string data;
};

TEST_F(PassTest, ConsecutiveSecondsFormOnePiece) {
    put(3, kT0, 100, 0);
    put(3, kT0 + 1, 100, 100);
    put(3, kT0 + 2, 100, 200);
    put(3, kT0 + 3, 100, 300);   // continues
    put(3, kT0 + 6, 100, 1000);  // two seconds late: a new piece
    put(3, kT0 + 6, 100, 2000);  // a repeat: a new piece again
    channel_turn(0, false);
    std::string first = read_file(file("13/130507-17052004-SHZ.ABC"));
    ASSERT_EQ(first.size(), 512u + 800u);
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(
            block_format::read_u16(reinterpret_cast<const uint8_t*>(first.data()) + 512 + 2 * i),
            i);
    EXPECT_NE(first.find("Time duration=00 00 04"), std::string::npos);
    // Both pieces at 13:05:13 have the same name: the second rewrote the file.
    std::string second = read_file(file("13/130513-17052004-SHZ.ABC"));
    ASSERT_EQ(second.size(), 712u);
    EXPECT_EQ(block_format::read_u16(reinterpret_cast<const uint8_t*>(second.data()) + 512), 2000);
    EXPECT_EQ(channel_table[3].queued_blocks, 0);
}

// A block that starts one sample interval late still joins the piece; two
// intervals late, it starts a new one.
TEST_F(PassTest, JoinToleranceIsOneSampleInterval) {
    for (const auto& [first_samples, joined] : {std::pair{99, true}, std::pair{98, false}}) {
        SCOPED_TRACE(first_samples);
        put(3, kT0, first_samples, 0);
        put(3, kT0 + 1, 100, 500);
        channel_turn(0, false);
        EXPECT_EQ(exists(file("13/130508-17052004-SHZ.ABC")), !joined);
        remove_tree(data + "/13");
        channel_roster[0].file_name[0] = '\0';
    }
}

TEST_F(PassTest, OneSampleBlocksWithinTheTolerance) {
    set_roster_entry(0, 3, "SHZ", 1.0, 0);
    put(3, kT0, 1, 7);
    put(3, kT0 + 2, 1, 9);  // 1 s late: within 1.1 s, placed one further on
    put(3, kT0 + 3, 1, 11);
    channel_turn(0, false);
    // total is 3, so D = 3 seconds: the skipped position keeps its zero and
    // the last sample falls beyond D.
    std::string bytes = read_file(file("13/130507-17052004-SHZ.ABC"));
    ASSERT_EQ(bytes.size(), 512u + 6u);
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data()) + 512;
    EXPECT_EQ(block_format::read_u16(s), 7);
    EXPECT_EQ(block_format::read_u16(s + 2), 0);
    EXPECT_EQ(block_format::read_u16(s + 4), 9);
}

TEST_F(PassTest, HalfSecondBlocksGiveEmptyPieces) {
    put(3, kT0, 50, 0);
    put(3, kT0, 50, 50);
    put(3, kT0 + 1, 50, 100);
    put(3, kT0 + 1, 50, 150);
    channel_turn(0, false);
    EXPECT_EQ(size_of(file("13/130507-17052004-SHZ.ABC")), 512);
    EXPECT_EQ(size_of(file("13/130508-17052004-SHZ.ABC")), 512);
}

TEST_F(PassTest, AtMost250BlocksPerTurn) {
    for (int i = 0; i < 300; ++i) put(3, kT0 + i, 100, 0);
    channel_turn(0, false);
    EXPECT_EQ(size_of(file("13/130507-17052004-SHZ.ABC")), 512 + 250 * 200);
    EXPECT_EQ(channel_table[3].queued_blocks, 50);
    channel_turn(0, false);  // the rest continues the same file
    EXPECT_EQ(size_of(file("13/130507-17052004-SHZ.ABC")), 512 + 300 * 200);
}

TEST_F(PassTest, EventOnlyWaitsForAnEventOrAFlush) {
    set_roster_entry(0, 3, "SHZ", 100.0, 0, 1);
    put(3, kT0, 100, 0);
    channel_turn(0, false);
    EXPECT_EQ(channel_table[3].queued_blocks, 1);
    channel_turn(0, true);  // the flush request
    EXPECT_EQ(channel_table[3].queued_blocks, 0);
    EXPECT_TRUE(exists(file("13/130507-17052004-SHZ.ABC")));

    // An event in a later block brings the older blocks along too.
    put(3, kT0 + 100, 100, 0);
    auto marked = make_block(3, kT0 + 101, 100, [](int) { return 1; });
    marked[block_format::kEventType] = 2;
    put_block(3, marked.data(), static_cast<int>(marked.size()));
    channel_turn(0, false);
    EXPECT_EQ(channel_table[3].queued_blocks, 0);
    EXPECT_EQ(size_of(file("13/130647-17052004-SHZ.ABC")), 512 + 400);
}

TEST_F(PassTest, UnusableRatesAndChannelsAreRefused) {
    set_roster_entry(0, 3, "SHZ", 0.0, 0);
    set_roster_entry(1, -1, "NEG", 100.0, 0);
    set_roster_entry(2, 300, "BIG", 100.0, 0);
    set_roster_entry(3, 4, "FRC", 0.9, 0);
    roster_count = 4;
    put(3, kT0, 100, 0);
    put(4, kT0, 100, 0);
    make_pass();
    EXPECT_FALSE(exists(file("13")));
    EXPECT_EQ(channel_table[3].queued_blocks, 0);  // dropped, never written
}

TEST(PlaceSamples, BufferEdge) {
    uint8_t piece[10];
    memset(piece, 0xEE, sizeof piece);
    auto b = make_block(0, kT0, 4, [](int i) { return 0x0101 * (i + 1); });
    // Starts 3 samples in: positions 3 and 4 fit, 5 and 6 fall outside.
    place_samples(sizeof piece, kT0, piece, kT0 + 3, b.data(), 1.0, 4);
    EXPECT_EQ(piece[5], 0xEE);
    EXPECT_EQ(block_format::read_u16(piece + 6), 0x0101);
    EXPECT_EQ(block_format::read_u16(piece + 8), 0x0202);
    // An odd capacity holds no half sample; a block before the piece lands nowhere.
    place_samples(9, kT0, piece, kT0 + 4, b.data(), 1.0, 1);
    EXPECT_EQ(block_format::read_u16(piece + 8), 0x0202);
    place_samples(sizeof piece, kT0, piece, kT0 - 1, b.data(), 1.0, 1);
    EXPECT_EQ(piece[0], 0xEE);
}

}  // namespace
