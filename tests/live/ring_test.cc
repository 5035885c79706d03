// The record ring: sequence numbers that go on across reopening, wrapping
// and resizing; what a kill or a torn slot leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>

#include "live/record_ring.h"
#include "tests/seed/log_capture.h"

namespace {

constexpr uint64_t kSixteenSlots = 4096 + 16 * 528;

std::vector<uint8_t> record_of(uint64_t seq) {
    std::vector<uint8_t> r(kRingRecordLength);
    for (int i = 0; i < kRingRecordLength; ++i) r[i] = static_cast<uint8_t>(seq * 7 + i);
    return r;
}

// Every record from oldest to next is there and is the one appended.
void expect_whole(const RecordRing& ring, uint64_t oldest, uint64_t next) {
    EXPECT_EQ(ring.oldest(), oldest);
    EXPECT_EQ(ring.next(), next);
    std::vector<uint8_t> got(kRingRecordLength);
    EXPECT_FALSE(ring.read(oldest - 1, got.data()));
    EXPECT_FALSE(ring.read(next, got.data()));
    for (uint64_t seq = oldest; seq < next; ++seq) {
        ASSERT_TRUE(ring.read(seq, got.data())) << seq;
        ASSERT_EQ(got, record_of(seq)) << seq;
    }
}

struct RingFile {
    LogCapture log;
    std::string path = log.dir + "/seedlink.ring";
    RecordRing ring;
    void append(int n) {
        for (int i = 0; i < n; ++i) ring.append(record_of(ring.next()).data());
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
    // oldest, next: after the appends
    struct Step { uint64_t size; int append; uint64_t oldest, next; };
    Step steps[] = {
        {kSixteenSlots, 0, 1, 1},
        {kSixteenSlots, 40, 25, 41},  // 16 slots: the oldest went first
        {kSixteenSlots, 3, 28, 44},
        {kSixteenSlots + 1056, 0, 44, 44},  // another size: new, counting on,
        {kSixteenSlots + 1056, 0, 44, 44},  // even while it is still empty
        {kSixteenSlots + 528, 2, 44, 46},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(file.ring.open(file.path, s.size));
        file.append(s.append);
        expect_whole(file.ring, s.oldest, s.next);
        file.ring.close();
    }
    EXPECT_TRUE(file.log.has("размер изменился"));
}

TEST(RecordRing, TornSlotsAreCutWithALogLine) {
    // seq: whose slot is spoiled; oldest, next: after reopening
    struct Case { const char* what; uint64_t seq; int offset; uint64_t oldest, next; };
    const Case cases[] = {
        {"a record cut short after the newest", 11, 16 + 100, 1, 11},
        {"the newest record cut short", 10, 16 + 500, 1, 10},
        {"a head cut short in the middle", 5, 8, 6, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RingFile file;
        ASSERT_TRUE(file.ring.open(file.path, kSixteenSlots));
        file.append(10);
        file.ring.close();
        // A slot whose head names the next record over bytes of nothing.
        if (c.seq == 11) file.spoil(c.seq, 0, "\x0b\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);
        file.spoil(c.seq, c.offset, "\xff\xfe", 2);
        ASSERT_TRUE(file.ring.open(file.path, kSixteenSlots));
        expect_whole(file.ring, c.oldest, c.next);
        EXPECT_TRUE(file.log.has("отброшено повреждённых записей"));
        file.append(1);
        expect_whole(file.ring, c.oldest, c.next + 1);
    }
}

TEST(RecordRing, KilledAppenderLosesNothingItWrote) {
    RingFile file;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!file.ring.open(file.path, kSixteenSlots * 64)) _exit(1);
        for (;;)
            if (file.ring.append(record_of(file.ring.next()).data()) == 5000) (void)!write(pipe_fds[1], "x", 1);
    }
    char x;
    ASSERT_EQ(read(pipe_fds[0], &x, 1), 1);  // the ring has wrapped a few times
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    ASSERT_TRUE(file.ring.open(file.path, kSixteenSlots * 64));
    ASSERT_GT(file.ring.next(), 5000u);
    EXPECT_GE(file.ring.next() - file.ring.oldest(), file.ring.capacity() - 1);  // at most the slot being written is cut
    expect_whole(file.ring, file.ring.oldest(), file.ring.next());
}

}  // namespace
