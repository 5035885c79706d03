// The block rings, the event table and the slot resets.
#include "link/block_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "link/channel_table.h"
#include "link_blocks.h"

namespace {

using namespace link_blocks;

void put(int channel, const Bytes& block) {
    put_block(channel, block.data(), static_cast<int>(block.size()));
}

// The first sample of the oldest block, which is taken; -1 when none is.
int take(int channel, size_t capacity = 30000) {
    std::vector<uint8_t> buffer(capacity);
    return take_block(channel, buffer.data(), capacity) == 1 ? read_u16(&buffer[kHeaderSize]) : -1;
}

class BlockQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        for (int c = 0; c < kChannelCount; ++c) {
            drain_channel(c);
            reset_slot_queue(c);
        }
        roster_count = 0;
        std::memset(channel_roster, 0, sizeof channel_roster);
    }
};

TEST_F(BlockQueueTest, RingKeepsOrderDropsItsOldestWhenFullAndDrains) {
    uint8_t exact[kHeaderSize + 22];
    std::memset(exact, 0xEE, sizeof exact);
    put(3, sample_block(3, 10, 1));
    ASSERT_EQ(take_block(3, exact, sizeof exact), 1);
    EXPECT_EQ(exact[kHeaderSize + 20], 0xEE);  // nothing past the block's length
    for (int i = 0; i < kBlockRingSize; ++i) put(7, sample_block(7, 1, i));
    EXPECT_EQ(queued_block_count(7), kBlockRingSize - 1);
    for (int i = 1; i < kBlockRingSize; ++i) ASSERT_EQ(take(7), i);
    EXPECT_EQ(take(7), -1);
    EXPECT_EQ(channel_table[7].read_index, channel_table[7].write_index);
    for (int i = 0; i < 5; ++i) put(6, sample_block(6, 3));
    EXPECT_EQ(drain_channel(6), 0);
    EXPECT_EQ(queued_block_count(6), 0);
    EXPECT_EQ(drop_block(6), 0);
}

TEST_F(BlockQueueTest, RosterCopiesFollowEveryOperation) {
    roster_count = 3;
    channel_roster[0].channel = 9;
    channel_roster[1].channel = 4;
    channel_roster[2].channel = 9;  // two entries share slot 9
    put(9, sample_block(9, 1));
    put(9, sample_block(9, 1));
    EXPECT_EQ(channel_roster[0].queued_blocks + channel_roster[2].queued_blocks, 4);
    take(9);
    EXPECT_EQ(channel_roster[0].queued_blocks, 1);
    drop_block(9);
    put(200, sample_block(200, 1));  // no roster entry: queued, no row changes
    EXPECT_EQ(channel_roster[2].queued_blocks + channel_roster[1].queued_blocks, 0);
}

TEST_F(BlockQueueTest, EventScanCrossesTheWrap) {
    for (int i = 0; i < kBlockRingSize - 2; ++i) {  // to the ring's last two positions
        put(1, sample_block(1, 1));
        drop_block(1);
    }
    put(1, sample_block(1, 1));
    put(1, sample_block(1, 1));
    EXPECT_EQ(has_event_block(1), 0);
    put(1, sample_block(1, 1, 0, 0, -3));  // lands at position 0
    for (int expect : {1, 1, 1, 0}) {
        EXPECT_EQ(has_event_block(1), expect);
        drop_block(1);
    }
}

TEST_F(BlockQueueTest, RefusesWhatDoesNotFit) {
    for (int c : {-1, 256, 100000}) {
        put(c, sample_block(0, 1));
        EXPECT_EQ(take(c), -1);
        EXPECT_EQ(has_event_block(c) + drop_block(c) + drain_channel(c), 0) << c;
    }
    // Longer than the destination: dropped, the destination untouched.
    put(2, sample_block(2, 100, 1));
    put(2, sample_block(2, 1, 2));
    EXPECT_EQ(take(2, kHeaderSize + 10), -1);
    EXPECT_EQ(take(2, kHeaderSize + 10), 2);
    // Lengths that disagree with the header.
    const Bytes block = sample_block(4, 10);
    put_block(4, block.data(), 10);
    put_block(4, block.data(), static_cast<int>(block.size()) - 2);
    EXPECT_EQ(queued_block_count(4), 0);
}

// Run in a ThreadSanitizer build (VELDRUM_TSAN) to check the locking; in
// any build it checks that nothing is lost or reordered under contention.
TEST_F(BlockQueueTest, PutAndTakeRaceFromTwoThreads) {
    constexpr int kBlocks = 20000;
    std::atomic<bool> producer_done{false};
    std::thread producer([&] {
        for (int i = 0; i < kBlocks; ++i) put(11, sample_block(11, 4, i));
        producer_done = true;
    });
    // A full ring drops its oldest blocks, so some may be lost, but what
    // arrives comes in order and the newest block always arrives.
    int last = -1;
    bool ordered = true;
    for (bool done = false; !done;) {
        done = producer_done.load();
        for (int tag; (tag = take(11)) >= 0; last = tag) ordered = ordered && tag > last;
        std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, kBlocks - 1);
    EXPECT_EQ(queued_block_count(11), 0);
}

class EventTableTest : public ::testing::Test {
  protected:
    void SetUp() override { std::memset(event_table, 0, sizeof event_table); }
    void TearDown() override { std::memset(event_table, 0, sizeof event_table); }
};

TEST_F(EventTableTest, OneEntryPerSecondEvenWhenFull) {
    record_event(3, 1000);
    record_event(-2, 1000);
    EXPECT_EQ(event_table[0].event_type, 3);
    EXPECT_EQ(event_table[1].event_type, 0);
    for (int i = 1; i < kEventTableSize; ++i) record_event(1, i);
    record_event(5, 42);
    EXPECT_EQ(event_table[42].event_type, 1);  // nothing replaced
    EXPECT_EQ(event_table[1].event_time, 1);
}

TEST_F(EventTableTest, FillsFromTheLowestIndexThenReplacesTheOldest) {
    record_event(1, 10);
    record_event(1, 20);
    event_table[0].event_type = 0;  // a freed entry is reused first
    record_event(2, 30);
    EXPECT_EQ(event_table[0].event_time, 30);
    std::memset(event_table, 0, sizeof event_table);
    for (int i = 0; i < kEventTableSize; ++i) record_event(1, 5000 - i);
    // Entry 99 holds the oldest time, 4901; replaced even though stored.
    event_table[99].stored = 1;
    record_event(7, 6000);
    EXPECT_EQ(event_table[99].event_time, 6000);
    EXPECT_EQ(event_table[99].stored, 0);
    // Two equal oldest times: the lower index goes first.
    event_table[10].event_time = event_table[20].event_time = 1;
    record_event(1, 7000);
    EXPECT_EQ(event_table[10].event_time, 7000);
    record_event(1, 7001);
    EXPECT_EQ(event_table[20].event_time, 7001);
}

TEST(SlotResetTest, ResetsTouchOnlyTheirFields) {
    ChannelSlot& slot = channel_table[5];
    slot.event_marked = slot.event_only = 1;
    slot.read_index = 3, slot.write_index = 4;
    reset_slot_queue(5);
    EXPECT_EQ(slot.read_index + slot.write_index, 0);
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
