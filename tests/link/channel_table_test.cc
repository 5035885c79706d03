#include "link/channel_table.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class EventTableTest : public ::testing::Test {
  protected:
    void SetUp() override { std::memset(event_table, 0, sizeof event_table); }
    void TearDown() override { std::memset(event_table, 0, sizeof event_table); }
    int used() {
        int n = 0;
        for (const EventEntry& e : event_table) n += e.event_type != 0;
        return n;
    }
};

TEST_F(EventTableTest, SameSecondIsEnteredOnceWithTheFirstType) {
    record_event(3, 1000);
    record_event(-2, 1000);
    EXPECT_EQ(used(), 1);
    EXPECT_EQ(event_table[0].event_type, 3);
    EXPECT_EQ(event_table[0].stored, 0);
}

TEST_F(EventTableTest, FreeEntriesFillFromTheLowestIndex) {
    record_event(1, 10);
    record_event(1, 20);
    event_table[0].event_type = 0;  // a freed entry is reused first
    record_event(2, 30);
    EXPECT_EQ(event_table[0].event_time, 30);
    EXPECT_EQ(event_table[1].event_time, 20);
}

TEST_F(EventTableTest, FullTableReplacesTheOldestLowestIndexFirst) {
    for (int i = 0; i < kEventTableSize; ++i) record_event(1, 5000 - i);
    // Entry 99 holds the oldest time, 4901.
    event_table[99].stored = 1;
    record_event(7, 6000);
    EXPECT_EQ(event_table[99].event_time, 6000);
    EXPECT_EQ(event_table[99].event_type, 7);
    EXPECT_EQ(event_table[99].stored, 0);  // replaced even though stored

    // Two equal oldest times: the lower index goes first.
    event_table[10].event_time = 100;
    event_table[20].event_time = 100;
    record_event(1, 7000);
    EXPECT_EQ(event_table[10].event_time, 7000);
    EXPECT_EQ(event_table[20].event_time, 100);
    record_event(1, 7001);
    EXPECT_EQ(event_table[20].event_time, 7001);
}

TEST_F(EventTableTest, DuplicateTestAlsoAppliesWhenFull) {
    for (int i = 0; i < kEventTableSize; ++i) record_event(1, i);
    record_event(5, 42);
    EXPECT_EQ(event_table[0].event_time, 0);  // nothing replaced
    EXPECT_EQ(event_table[42].event_type, 1);
}

TEST(SlotResetTest, ResetsTouchOnlyTheirFields) {
    ChannelSlot& slot = channel_table[5];
    slot.read_index = 3;
    slot.write_index = 4;
    slot.queued_blocks = 0;
    slot.event_marked = 1;
    slot.event_only = 1;
    reset_slot_queue(5);
    EXPECT_EQ(slot.read_index, 0);
    EXPECT_EQ(slot.write_index, 0);
    EXPECT_EQ(slot.event_marked, 1);
    EXPECT_EQ(reset_slot_marks(5), 1);
    EXPECT_EQ(slot.event_marked, 0);
    EXPECT_EQ(slot.event_only, 1);
    slot.event_only = 0;
    reset_slot_queue(-1);  // out of range: nothing outside the table
    reset_slot_queue(256);
    EXPECT_EQ(reset_slot_marks(256), 1);
}

}  // namespace
