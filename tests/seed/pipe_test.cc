// The record pipe over a real pipe: bounds, dropping, order, short takes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "log_capture.h"
#include "seed/record_pipe.h"

namespace {

// A record of `length` bytes filled with its id's low byte, the id first.
std::vector<uint8_t> record(int id, int length = 512) {
    std::vector<uint8_t> r(static_cast<size_t>(length), static_cast<uint8_t>(id));
    std::memcpy(r.data(), &id, sizeof id);
    return r;
}

// Takes one record; its id, or -1 when the take is short or the ends differ.
int take_id(RecordPipe& pipe, int length = 512) {
    std::vector<uint8_t> buf(static_cast<size_t>(length));
    if (pipe.take(buf.data(), length) != length) return -1;
    int id;
    std::memcpy(&id, buf.data(), sizeof id);
    return buf.back() == static_cast<uint8_t>(id) ? id : -1;
}

TEST(RecordPipe, KeepsTheNewestThatFitInOrder) {
    RecordPipe pipe(60000);
    ASSERT_TRUE(pipe.isOpen());
    // Each record takes 516 bytes; 93 fit, the 94th drops the oldest.
    for (int i = 0; i < 94; ++i) pipe.put(record(i).data(), 512);
    EXPECT_EQ(pipe.queuedBytes(), 93 * 516);
    for (int expect = 1; expect <= 93; ++expect) ASSERT_EQ(take_id(pipe), expect);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    // Puts run ahead of takes by a varying margin, so the pipe's own buffer
    // wraps many times with the queue partly full.
    int put = 0, taken = 0;
    for (int round = 0; round < 400; ++round) {
        for (int k = 0; k < round % 7 + 1; ++k, ++put) pipe.put(record(put).data(), 512);
        for (int k = 0; k < (round + 3) % 7 + 1 && taken < put; ++k, ++taken)
            ASSERT_EQ(take_id(pipe), taken);
        ASSERT_EQ(pipe.queuedBytes(), (put - taken) * 516);
    }
}

TEST(RecordPipe, RefusesWhatCannotFitAndDropsAsManyAsNeeded) {
    LogCapture log;
    RecordPipe pipe(60000);
    for (int i = 0; i < 93; ++i) pipe.put(record(i).data(), 512);
    pipe.put(record(1000, 48000).data(), 48000);
    EXPECT_EQ(pipe.queuedBytes(), 93 * 516);  // refused, the queue kept
    EXPECT_TRUE(log.has("Размер блока данных больше размера буфера. Блок не передан."));
    // 5004 more bytes need 4992 freed: ten records of 516, not nine.
    pipe.put(record(2000, 5000).data(), 5000);
    EXPECT_EQ(pipe.queuedBytes(), 83 * 516 + 5004);
    for (int expect = 10; expect < 93; ++expect) ASSERT_EQ(take_id(pipe), expect);
    EXPECT_EQ(take_id(pipe, 5000), 2000);
    // Exactly at the limit: accepted, and the record before it dropped.
    pipe.put(record(1).data(), 512);
    pipe.put(record(3, 47996).data(), 47996);
    EXPECT_EQ(pipe.queuedBytes(), 48000);
    EXPECT_EQ(take_id(pipe, 47996), 3);
    const auto one = record(1);
    pipe.put(nullptr, 512);
    for (int length : {0, -5}) pipe.put(one.data(), length);
    EXPECT_EQ(pipe.queuedBytes(), 0);
}

TEST(RecordPipe, EmptyShortAndFailedTakes) {
    RecordPipe pipe(60000);
    uint8_t buf[512];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(pipe.take(buf, 512), 0);
    EXPECT_EQ(buf[0], 0xEE);
    for (int id : {7, 8}) pipe.put(record(id).data(), 512);
    EXPECT_EQ(pipe.take(buf, 100), 100);  // the rest of record 7 is lost
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(buf[100], 0xEE);
    EXPECT_EQ(pipe.queuedBytes(), 516);
    EXPECT_EQ(pipe.take(nullptr, 512), 0);  // record 8 taken and thrown away
    EXPECT_EQ(pipe.queuedBytes(), 0);
    // Beyond the kernel's pipe size limit the pipe cannot be sized to capacity.
    RecordPipe unopened(1 << 30);
    EXPECT_FALSE(unopened.isOpen());
    unopened.put(record(1).data(), 512);
    EXPECT_EQ(unopened.queuedBytes(), 0);
    EXPECT_EQ(unopened.take(buf, 512), 0);
}

}  // namespace
