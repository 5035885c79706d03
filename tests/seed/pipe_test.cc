// The record pipe over a real pipe: bounds, dropping, order, short takes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "log_capture.h"
#include "seed/record_pipe.h"

namespace {

std::vector<uint8_t> record(int id, int length = 512) {
    std::vector<uint8_t> r(static_cast<size_t>(length), static_cast<uint8_t>(id));
    std::memcpy(r.data(), &id, sizeof id);
    return r;
}

int id_of(const uint8_t* r) {
    int id;
    std::memcpy(&id, r, sizeof id);
    return id;
}

TEST(RecordPipe, HoldsNinetyThreeThenDropsTheOldest) {
    RecordPipe pipe(60000);
    ASSERT_TRUE(pipe.isOpen());
    for (int i = 0; i < 93; ++i) pipe.put(record(i).data(), 512);
    EXPECT_EQ(pipe.queuedBytes(), 47988);
    pipe.put(record(93).data(), 512);
    EXPECT_EQ(pipe.queuedBytes(), 47988);
    uint8_t buf[512];
    for (int expect = 1; expect <= 93; ++expect) {
        ASSERT_EQ(pipe.take(buf, 512), 512);
        EXPECT_EQ(id_of(buf), expect);
        EXPECT_EQ(buf[511], static_cast<uint8_t>(expect));
    }
    EXPECT_EQ(pipe.queuedBytes(), 0);
}

TEST(RecordPipe, EmptyAndShortTakes) {
    RecordPipe pipe(60000);
    uint8_t buf[512];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(pipe.take(buf, 512), 0);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(pipe.queuedBytes(), 0);

    pipe.put(record(7).data(), 512);
    pipe.put(record(8).data(), 512);
    EXPECT_EQ(pipe.take(buf, 100), 100);  // the rest of record 7 is lost
    EXPECT_EQ(id_of(buf), 7);
    EXPECT_EQ(buf[100], 0xEE);
    EXPECT_EQ(pipe.queuedBytes(), 516);
    EXPECT_EQ(pipe.take(buf, 512), 512);
    EXPECT_EQ(id_of(buf), 8);
}

TEST(RecordPipe, OversizedRecordIsRefused) {
    LogCapture log;
    RecordPipe pipe(60000);
    pipe.put(record(1).data(), 512);
    const auto big = record(2, 48000);
    pipe.put(big.data(), 48000);
    EXPECT_EQ(pipe.queuedBytes(), 516);
    EXPECT_TRUE(log.has("Размер блока данных больше размера буфера. Блок не передан."));
    const auto largest = record(3, 47996);  // exactly at the limit: accepted, drops record 1
    pipe.put(largest.data(), 47996);
    EXPECT_EQ(pipe.queuedBytes(), 48000);
    std::vector<uint8_t> buf(48000);
    EXPECT_EQ(pipe.take(buf.data(), 48000), 47996);
    EXPECT_EQ(id_of(buf.data()), 3);
}

TEST(RecordPipe, RefusalKeepsTheQueueAndALargeRecordDropsAsManyAsNeeded) {
    LogCapture log;
    RecordPipe pipe(60000);
    for (int i = 0; i < 93; ++i) pipe.put(record(i).data(), 512);
    const auto big = record(1000, 48000);
    pipe.put(big.data(), 48000);
    EXPECT_EQ(pipe.queuedBytes(), 47988);
    EXPECT_TRUE(log.has("Размер блока данных больше размера буфера. Блок не передан."));

    // 5004 more bytes need 4992 freed: ten records of 516, not nine.
    const auto large = record(2000, 5000);
    pipe.put(large.data(), 5000);
    EXPECT_EQ(pipe.queuedBytes(), 47988 - 10 * 516 + 5004);
    uint8_t buf[512];
    for (int expect = 10; expect < 93; ++expect) {
        ASSERT_EQ(pipe.take(buf, 512), 512);
        ASSERT_EQ(id_of(buf), expect);
    }
    std::vector<uint8_t> out(5000);
    EXPECT_EQ(pipe.take(out.data(), 5000), 5000);
    EXPECT_EQ(out, large);
    EXPECT_EQ(pipe.queuedBytes(), 0);
}

TEST(RecordPipe, OrderHoldsOverManyTimesThePipeBuffer) {
    // Puts run ahead of takes by a varying margin, so the pipe's own buffer
    // wraps many times with the queue partly full.
    RecordPipe pipe(60000);
    uint8_t buf[512];
    int put = 0, taken = 0;
    for (int round = 0; round < 400; ++round) {
        for (int k = 0; k < round % 7 + 1; ++k, ++put) pipe.put(record(put).data(), 512);
        for (int k = 0; k < (round + 3) % 7 + 1 && taken < put; ++k, ++taken) {
            ASSERT_EQ(pipe.take(buf, 512), 512);
            ASSERT_EQ(id_of(buf), taken);
            ASSERT_EQ(buf[511], static_cast<uint8_t>(taken));
        }
        ASSERT_EQ(pipe.queuedBytes(), (put - taken) * 516);
    }
}

TEST(RecordPipe, BadArgumentsQueueNothing) {
    RecordPipe pipe(60000);
    pipe.put(nullptr, 512);
    pipe.put(record(1).data(), 0);
    pipe.put(record(1).data(), -5);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    pipe.put(record(1).data(), 512);
    EXPECT_EQ(pipe.take(nullptr, 512), 0);
    EXPECT_EQ(pipe.queuedBytes(), 0);
}

TEST(RecordPipe, PipeThatCannotBeCreatedQueuesNothing) {
    // Beyond the kernel's pipe size limit the pipe cannot be sized to capacity.
    RecordPipe pipe(1 << 30);
    EXPECT_FALSE(pipe.isOpen());
    pipe.put(record(1).data(), 512);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    uint8_t buf[512];
    EXPECT_EQ(pipe.take(buf, 512), 0);
}

}  // namespace
