#include "link/block_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "link/block_format.h"
#include "link/channel_table.h"

namespace {

using namespace block_format;

// A sample block of `samples` samples; the first sample carries `tag`.
std::vector<uint8_t> make_block(int samples, uint16_t tag, int8_t event_type = 0) {
    std::vector<uint8_t> block(kHeaderSize + 2 * samples, 0);
    write_u16(block.data() + kType, kSampleBlock);
    write_u16(block.data() + kHeaderLength, kHeaderSize);
    write_u16(block.data() + kDataLength, static_cast<uint16_t>(2 * samples));
    block[kEventType] = static_cast<uint8_t>(event_type);
    if (samples > 0) write_u16(block.data() + kHeaderSize, tag);
    return block;
}

void put(int channel, const std::vector<uint8_t>& block) {
    put_block(channel, block.data(), static_cast<int>(block.size()));
}

uint16_t tag_of(const uint8_t* block) { return read_u16(block + kHeaderSize); }

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
    uint8_t buffer_[30000];
};

TEST_F(BlockQueueTest, TakeDeliversOldestFirstAndExactLength) {
    put(3, make_block(10, 1));
    put(3, make_block(20, 2));
    std::memset(buffer_, 0xEE, sizeof buffer_);
    ASSERT_EQ(take_block(3, buffer_, sizeof buffer_), 1);
    EXPECT_EQ(tag_of(buffer_), 1);
    EXPECT_EQ(buffer_[kHeaderSize + 20], 0xEE);  // nothing past the block's length
    ASSERT_EQ(take_block(3, buffer_, sizeof buffer_), 1);
    EXPECT_EQ(tag_of(buffer_), 2);
    EXPECT_EQ(take_block(3, buffer_, sizeof buffer_), 0);
}

TEST_F(BlockQueueTest, FullRingDropsItsOldestAndWraps) {
    for (int i = 0; i < kBlockRingSize; ++i) put(7, make_block(1, static_cast<uint16_t>(i)));
    const ChannelSlot& slot = channel_table[7];
    EXPECT_EQ(slot.queued_blocks, 1099);
    EXPECT_EQ(slot.read_index, 1);
    EXPECT_EQ(slot.write_index, 0);
    for (int i = 1; i < kBlockRingSize; ++i) {
        ASSERT_EQ(take_block(7, buffer_, sizeof buffer_), 1);
        ASSERT_EQ(tag_of(buffer_), i);
    }
    EXPECT_EQ(take_block(7, buffer_, sizeof buffer_), 0);
    EXPECT_EQ(slot.queued_blocks, 0);
    EXPECT_EQ(slot.read_index, slot.write_index);
}

TEST_F(BlockQueueTest, RosterCopiesFollowEveryOperation) {
    roster_count = 3;
    channel_roster[0].channel = 9;
    channel_roster[1].channel = 4;
    channel_roster[2].channel = 9;  // two entries share slot 9
    put(9, make_block(1, 0));
    put(9, make_block(1, 0));
    EXPECT_EQ(channel_roster[0].queued_blocks, 2);
    EXPECT_EQ(channel_roster[2].queued_blocks, 2);
    EXPECT_EQ(channel_roster[1].queued_blocks, 0);
    take_block(9, buffer_, sizeof buffer_);
    EXPECT_EQ(channel_roster[0].queued_blocks, 1);
    drop_block(9);
    EXPECT_EQ(channel_roster[2].queued_blocks, 0);
    put(200, make_block(1, 0));  // no roster entry: queued, no row changes
    EXPECT_EQ(channel_table[200].queued_blocks, 1);
    EXPECT_EQ(channel_roster[1].queued_blocks, 0);
}

TEST_F(BlockQueueTest, EventScanCrossesTheWrap) {
    ChannelSlot& slot = channel_table[1];
    // Move the ring to read_index 1098 while it is empty.
    for (int i = 0; i < 1098; ++i) {
        put(1, make_block(1, 0));
        drop_block(1);
    }
    ASSERT_EQ(slot.read_index, 1098);
    put(1, make_block(1, 0));
    put(1, make_block(1, 0));
    EXPECT_EQ(has_event_block(1), 0);
    put(1, make_block(1, 0, -3));  // lands at position 0
    EXPECT_EQ(slot.write_index, 1);
    EXPECT_EQ(has_event_block(1), 1);
    drop_block(1);
    drop_block(1);
    EXPECT_EQ(has_event_block(1), 1);
    drop_block(1);
    EXPECT_EQ(has_event_block(1), 0);
}

TEST_F(BlockQueueTest, ChannelsOutsideTheTableAreRefused) {
    for (int c : {-1, 256, 100000}) {
        put(c, make_block(1, 0));
        EXPECT_EQ(has_event_block(c), 0);
        EXPECT_EQ(take_block(c, buffer_, sizeof buffer_), 0);
        EXPECT_EQ(drop_block(c), 0);
        EXPECT_EQ(drain_channel(c), 0);
    }
}

TEST_F(BlockQueueTest, BlockLongerThanTheDestinationIsDropped) {
    put(2, make_block(100, 1));
    put(2, make_block(1, 2));
    uint8_t small[kHeaderSize + 10];
    std::memset(small, 0xEE, sizeof small);
    EXPECT_EQ(take_block(2, small, sizeof small), 0);
    EXPECT_EQ(small[0], 0xEE);  // untouched
    EXPECT_EQ(channel_table[2].queued_blocks, 1);
    ASSERT_EQ(take_block(2, small, sizeof small), 1);
    EXPECT_EQ(tag_of(small), 2);
}

TEST_F(BlockQueueTest, BlocksWhoseHeaderDisagreesWithTheirLengthAreRefused) {
    std::vector<uint8_t> block = make_block(10, 1);
    put_block(4, block.data(), 10);                                  // shorter than a header
    put_block(4, block.data(), static_cast<int>(block.size()) - 2);  // header says more
    EXPECT_EQ(channel_table[4].queued_blocks, 0);
}

TEST_F(BlockQueueTest, DrainEmptiesTheRing) {
    for (int i = 0; i < 5; ++i) put(6, make_block(3, 0));
    EXPECT_EQ(drain_channel(6), 0);
    EXPECT_EQ(channel_table[6].queued_blocks, 0);
    EXPECT_EQ(drop_block(6), 0);
}

// Run in a ThreadSanitizer build (VELDRUM_TSAN) to check the locking; in
// any build it checks that nothing is lost or reordered under contention.
TEST_F(BlockQueueTest, PutAndTakeRaceFromTwoThreads) {
    roster_count = 1;
    channel_roster[0].channel = 11;
    constexpr int kBlocks = 20000;
    std::atomic<bool> producer_done{false};
    std::thread producer([&] {
        for (int i = 0; i < kBlocks; ++i) put(11, make_block(4, static_cast<uint16_t>(i)));
        producer_done = true;
    });
    // A full ring drops its oldest blocks, so some may be lost, but what
    // arrives comes in order and the newest block always arrives.
    int last = -1;
    bool ordered = true;
    std::vector<uint8_t> buffer(30000);
    auto take_all = [&] {
        while (take_block(11, buffer.data(), buffer.size()) == 1) {
            int tag = tag_of(buffer.data());
            ordered = ordered && tag > last;
            last = tag;
        }
    };
    // Only the queue's own calls touch the ring while the producer runs.
    while (last != kBlocks - 1) {
        bool done = producer_done.load();
        take_all();
        if (done) break;
        std::this_thread::yield();
    }
    producer.join();
    take_all();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, kBlocks - 1);
    EXPECT_EQ(channel_roster[0].queued_blocks, 0);
    EXPECT_EQ(channel_table[11].queued_blocks, 0);
}

}  // namespace
