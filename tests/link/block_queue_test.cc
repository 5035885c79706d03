// The block rings and the event table.
#include "link/block_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "link/channel_table.h"
#include "link_blocks.h"

namespace {

using namespace link_blocks;
using Ints = std::vector<int>;

void put(int channel, int samples, int first = 0, int event_type = 0) {
    const Bytes b = sample_block(channel, samples, first, 0, event_type);
    put_block(channel, b.data(), static_cast<int>(b.size()));
}

// The first sample of the oldest block, which is taken; -1 when none is.
int take(int channel, size_t capacity = 30000) {
    std::vector<uint8_t> buffer(capacity);
    return take_block(channel, buffer.data(), capacity) == 1 ? read_u16(&buffer[kHeaderSize]) : -1;
}

struct BlockQueueTest : ::testing::Test {
    void SetUp() override { TearDown(); }
    void TearDown() override {
        for (int c = 0; c < kChannelCount; ++c) drain_channel(c), reset_slot_queue(c);
    }
};

TEST_F(BlockQueueTest, RingKeepsOrderDropsItsOldestWhenFullAndDrainsAndEventTable) {
    uint8_t exact[kHeaderSize + 22];
    std::memset(exact, 0xEE, sizeof exact);
    put(3, 10, 1);
    ASSERT_EQ(take_block(3, exact, kHeaderSize + 20), 1);  // exactly the block's length
    EXPECT_EQ(exact[kHeaderSize + 20], 0xEE);  // nothing past the block's length
    // 1100 put, the newest 1099 kept.
    for (int i = 0; i < 1100; ++i) put(7, 1, i);
    EXPECT_EQ(queued_block_count(7), 1099);
    for (int i = 1; i < 1100; ++i) ASSERT_EQ(take(7), i);
    EXPECT_EQ(take(7), -1);
    // Blocks of a newer roster wait behind the older ones' takes and drains.
    for (uint64_t v : {1, 1, 2, 3}) {
        const Bytes b = sample_block(8, 1, int(v));
        put_block(8, b.data(), int(b.size()), v);
    }
    std::vector<uint8_t> buffer(100);
    EXPECT_EQ(Ints({take_block(8, buffer.data(), 100, 1), drain_channel(8, 2),
                    take_block(8, buffer.data(), 100, 2), queued_block_count(8), take(8)}),
              Ints({1, 0, 0, 1, 3}));
    for (int i = 0; i < 5; ++i) put(6, 3);
    EXPECT_EQ(drain_channel(6) + queued_block_count(6) + drop_block(6), 0);
    put(2, 100, 1);  // longer than the destination: dropped, the destination untouched
    put(2, 1, 2);
    EXPECT_EQ(take(2, kHeaderSize + 10), -1);
    EXPECT_EQ(take(2, kHeaderSize + 10), 2);
    // The event scan crosses the wrap: the event block lands at position 0.
    for (int i = 0; i < kBlockRingSize - 2; ++i) put(1, 1), drop_block(1);
    for (int k = 0; k < 3; ++k) put(1, 1, 10 + k, k == 2 ? -3 : 0);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(has_event_block(1), k < 3);
        EXPECT_EQ(take(1), k < 3 ? 10 + k : -1);
    }

    // The event table: one a second from the lowest index, then replacing the oldest.
    clear_event_table();
    EventEntry* const event_table = event_entries();
    record_event(3, 1000);
    record_event(-2, 1000);  // the same second: ignored
    record_event(1, 20);
    EXPECT_EQ(event_table[0].event_type * 100 + event_table[1].event_type, 301);
    event_table[0].event_type = 0;  // a freed entry is reused first
    record_event(2, 30);
    EXPECT_EQ(event_table[0].event_time, 30);
    for (int i = 2; i < kEventTableSize; ++i) record_event(1, 5000 - i);
    record_event(5, 4990);  // full, but the same second: nothing replaced
    EXPECT_EQ(event_table[10].event_type, 1);
    // Full: the oldest goes even though stored, the lower index among equals.
    event_table[1].stored = 1;
    event_table[10].event_time = event_table[20].event_time = 10;
    for (int t : {6000, 6001, 6002}) record_event(7, t);
    EXPECT_EQ(Ints({event_table[10].event_time, event_table[20].event_time,
                    event_table[1].event_time, event_table[1].stored}),
              Ints({6000, 6001, 6002, 0}));
    clear_event_table();
}

// Run in a ThreadSanitizer build (VELDRUM_TSAN) to check the locking; in
// any build it checks that nothing is lost or reordered under contention.
TEST_F(BlockQueueTest, PutAndTakeRaceFromTwoThreads) {
    constexpr int kBlocks = 20000;
    std::atomic<bool> producer_done{false};
    std::thread producer([&] {
        for (int i = 0; i < kBlocks; ++i) put(11, 4, i);
        producer_done = true;
    });
    // A full ring drops its oldest blocks, so some may be lost, but what
    // arrives comes in order and the newest block always arrives.
    int last = -1;
    bool ordered = true;
    for (bool done = false; !done; std::this_thread::yield()) {
        done = producer_done.load();
        for (int tag; (tag = take(11)) >= 0; last = tag) ordered = ordered && tag > last;
    }
    producer.join();
    EXPECT_TRUE(ordered && last == kBlocks - 1 && queued_block_count(11) == 0) << last;
}

}  // namespace
