// The record ring: sequence numbers that go on across reopening, wrapping
// and resizing; what a kill or a torn slot leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "live/record_ring.h"
#include "tests/seed/log_capture.h"

namespace {

constexpr uint64_t kSixteenSlots = 4096 + 16 * 528;

void fill(uint64_t seq, uint8_t* record) {
    for (int i = 0; i < kRingRecordLength; ++i) record[i] = static_cast<uint8_t>(seq * 7 + i);
}

// Every record from oldest() to next() is there and is the one appended.
void expect_whole(const RecordRing& ring, uint64_t oldest, uint64_t next) {
    EXPECT_EQ(ring.oldest(), oldest);
    EXPECT_EQ(ring.next(), next);
    uint8_t got[kRingRecordLength], want[kRingRecordLength];
    EXPECT_FALSE(ring.read(oldest - 1, got));
    EXPECT_FALSE(ring.read(next, got));
    for (uint64_t seq = oldest; seq < next; ++seq) {
        ASSERT_TRUE(ring.read(seq, got)) << seq;
        fill(seq, want);
        ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << seq;
    }
}

struct RingFile {
    LogCapture log;
    std::string path = log.dir + "/seedlink.ring";
    void append(RecordRing& ring, int n) {
        uint8_t record[kRingRecordLength];
        for (int i = 0; i < n; ++i) {
            fill(ring.next(), record);
            ring.append(record);
        }
    }
    // Overwrites bytes of the slot that holds (or would hold) `seq`.
    void spoil(uint64_t seq, int offset, const char* bytes, int n) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(4096 + (seq % 16) * 528 + offset));
        f.write(bytes, n);
    }
};

TEST(RecordRing, SequencesGoOnAcrossReopeningWrappingAndResizing) {
    RingFile file;
    RecordRing ring;
    ASSERT_TRUE(ring.open(file.path, kSixteenSlots));
    expect_whole(ring, 1, 1);
    file.append(ring, 40);
    expect_whole(ring, 25, 41);  // 16 slots: the oldest went first
    ring.close();

    ASSERT_TRUE(ring.open(file.path, kSixteenSlots));
    expect_whole(ring, 25, 41);
    file.append(ring, 3);
    expect_whole(ring, 28, 44);
    ring.close();

    ASSERT_TRUE(ring.open(file.path, kSixteenSlots + 528));  // another size: new, counting on
    expect_whole(ring, 44, 44);
    EXPECT_TRUE(file.log.has("размер изменился"));
    file.append(ring, 2);
    expect_whole(ring, 44, 46);
}

TEST(RecordRing, TornSlotsAreCutWithALogLine) {
    struct Case {
        const char* what;
        uint64_t seq;  // whose slot is spoiled
        int offset;
        uint64_t oldest, next;  // after reopening
    };
    const Case cases[] = {
        {"a record cut short after the newest", 11, 16 + 100, 1, 11},
        {"the newest record cut short", 10, 16 + 500, 1, 10},
        {"a head cut short in the middle", 5, 8, 6, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RingFile file;
        RecordRing ring;
        ASSERT_TRUE(ring.open(file.path, kSixteenSlots));
        file.append(ring, 10);
        ring.close();
        if (c.seq == 11) {
            // A slot whose head names the next record over bytes of nothing.
            uint8_t head[16] = {11};
            file.spoil(c.seq, 0, reinterpret_cast<const char*>(head), 16);
        }
        file.spoil(c.seq, c.offset, "\xff\xfe", 2);
        ASSERT_TRUE(ring.open(file.path, kSixteenSlots));
        expect_whole(ring, c.oldest, c.next);
        EXPECT_TRUE(file.log.has("отброшено повреждённых записей"));
        file.append(ring, 1);
        expect_whole(ring, c.oldest, c.next + 1);
    }
}

TEST(RecordRing, KilledAppenderLosesNothingItWrote) {
    RingFile file;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RecordRing ring;
        if (!ring.open(file.path, kSixteenSlots * 64)) _exit(1);
        uint8_t record[kRingRecordLength];
        for (;;) {
            fill(ring.next(), record);
            const uint64_t seq = ring.append(record);
            if (seq == 5000) (void)!write(pipe_fds[1], "x", 1);
        }
    }
    char x;
    ASSERT_EQ(read(pipe_fds[0], &x, 1), 1);  // the ring has wrapped a few times
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    RecordRing ring;
    ASSERT_TRUE(ring.open(file.path, kSixteenSlots * 64));
    ASSERT_GT(ring.next(), 5000u);
    const uint64_t held = ring.next() - ring.oldest();
    EXPECT_GE(held, ring.capacity() - 1);  // at most the slot being written is cut
    expect_whole(ring, ring.oldest(), ring.next());
}

}  // namespace
