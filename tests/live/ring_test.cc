// The record ring: sequence numbers that go on across reopening, wrapping,
// resizing and a file cut short; what a kill, a damaged slot, a full disk
// and a file it cannot use cost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <map>

#include "live/record_ring.h"
#include "tests/seed/log_capture.h"
#include "tests/system/system_run.h"

namespace {

constexpr uint64_t kSixteenSlots = 4096 + 16 * 528;

std::vector<uint8_t> record_of(uint64_t seq) {
    std::vector<uint8_t> r(kRingRecordLength);
    for (int i = 0; i < kRingRecordLength; ++i) r[i] = static_cast<uint8_t>(seq * 7 + i);
    return r;
}

// Every record from oldest to next but `lost` is there and is the one appended.
void expect_held(const RecordRing& ring, uint64_t oldest, uint64_t next, uint64_t lost = 0) {
    EXPECT_EQ(ring.oldest(), oldest);
    EXPECT_EQ(ring.next(), next);
    std::vector<uint8_t> got(kRingRecordLength);
    EXPECT_FALSE(ring.read(oldest - 1, got.data()));
    EXPECT_FALSE(ring.read(next, got.data()));
    for (uint64_t seq = oldest; seq < next; ++seq) {
        ASSERT_EQ(ring.read(seq, got.data()), seq != lost) << seq;
        if (seq != lost) {
            ASSERT_EQ(got, record_of(seq)) << seq;
        }
    }
}

struct RingFile {
    LogCapture log;
    std::string path = log.dir + "/seedlink.ring";
    RecordRing ring;
    void append(int n) {
        for (int i = 0; i < n; ++i) ring.append(record_of(ring.next()).data());
    }
    size_t lines(const char* utf8) const {
        return system_run::count(log.text(), utf8_to_cp1251(utf8));
    }
};

TEST(RecordRing, SequencesGoOnAcrossReopeningWrappingResizingAndCutting) {
    RingFile file;
    // cut: the file's length before opening, 0 for as it is; oldest, next: after the appends
    struct Step { uint64_t size, cut; int append; uint64_t oldest, next; };
    const Step steps[] = {
        {kSixteenSlots, 0, 0, 1, 1},
        {kSixteenSlots, 0, 40, 25, 41},  // 16 slots: the oldest went first
        {kSixteenSlots, 0, 3, 28, 44},
        {kSixteenSlots + 1056, 0, 0, 44, 44},  // another size: new, counting on,
        {kSixteenSlots + 1056, 0, 0, 44, 44},  // even while it is still empty
        {kSixteenSlots + 528, 0, 2, 44, 46},   // 44 and 45 in slots 10 and 11
        // Cut inside slot 11: 44 is the newest left, and 17 slots on no
        // number can have been given yet.
        {kSixteenSlots + 528, 4096 + 11 * 528 + 100, 1, 62, 63},
    };
    for (const Step& s : steps) {
        if (s.cut > 0) {
            ASSERT_EQ(truncate(file.path.c_str(), static_cast<off_t>(s.cut)), 0);
        }
        ASSERT_TRUE(file.ring.open(file.path, s.size));
        file.append(s.append);
        expect_held(file.ring, s.oldest, s.next);
        file.ring.close();
        EXPECT_EQ(std::filesystem::file_size(file.path), s.size);
    }
    EXPECT_GT(file.lines("размер изменился, записи начаты заново"), 0u);
    EXPECT_EQ(file.lines("длиной 10004 байт вместо 13072, записи начаты заново#"), 1u) << file.log.text();
}

TEST(RecordRing, ADamagedSlotCostsItsOwnRecordOnly) {
    // Bits flipped at `offset` of the slot of `seq`, after `appended` records.
    // oldest, next, lost: after reopening.
    struct Case { const char* what; int appended; uint64_t seq; int offset, bits; uint64_t oldest, next, lost; };
    const Case cases[] = {
        {"a bit in a record ten before the newest", 40, 30, 16 + 100, 0x10, 25, 41, 30},
        {"a bit in a middle head", 10, 5, 3, 0x01, 1, 11, 5},
        {"the oldest record's checksum", 40, 25, 8, 0x80, 26, 41, 0},
        {"the newest record torn", 10, 10, 16 + 500, 0xff, 1, 10, 0},
        {"a head begun after the newest", 10, 11, 0, 0x0b, 1, 11, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RingFile file;
        ASSERT_TRUE(file.ring.open(file.path, kSixteenSlots));
        file.append(c.appended);
        file.ring.close();
        const int fd = open(file.path.c_str(), O_RDWR);
        const off_t at = static_cast<off_t>(4096 + (c.seq % 16) * 528 + c.offset);
        uint8_t byte = 0;
        ASSERT_TRUE(pread(fd, &byte, 1, at) == 1 && (byte ^= c.bits, pwrite(fd, &byte, 1, at)) == 1 && close(fd) == 0);
        for (int reopen = 0; reopen < 2; ++reopen) {  // dropped once, counted once
            ASSERT_TRUE(file.ring.open(file.path, kSixteenSlots));
            expect_held(file.ring, c.oldest, c.next, c.lost);
            file.ring.close();
        }
        EXPECT_EQ(file.lines("отброшено повреждённых записей: 1#"), 1u) << file.log.text();
        ASSERT_TRUE(file.ring.open(file.path, kSixteenSlots));
        file.append(1);
        expect_held(file.ring, std::max(c.oldest + 16, c.next + 1) - 16, c.next + 1, c.lost);
    }
}

// miniSEED 3's ring: records of 1 byte to 33 slots, wrapped; what a reader
// finds from the oldest on, and what damage to one part costs at reopening.
TEST(RecordRing, APartsRecordIsWholeOrSkippedAndDamageCostsItsOwnRecord) {
    constexpr uint64_t kPartsSize = 4096 + 256 * 528;
    // Bits flipped at `offset` of `part` of a 33-part record, the newest or one in the middle.
    struct Case { const char* what; bool newest; uint64_t part; int offset; };
    const Case cases[] = {{"a middle part", false, 5, 16 + 100}, {"the newest record's last part torn", true, 32, 16 + 400}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RingFile file;
        RecordRing parts(RingLayout::kParts);
        std::map<uint64_t, std::vector<uint8_t>> appended;  // by sequence number
        ASSERT_TRUE(parts.open(file.path, kPartsSize));
        for (int i = 0; i < 28; ++i) {
            std::vector<uint8_t> r(std::array<size_t, 7>{40, 16384, 509, 3000, 1, 508, 16384}[i % 7], static_cast<uint8_t>(i));
            appended[parts.append_record(r.data(), r.size())] = r;
        }
        // Every record that begins at or after the oldest slot but `lost` is found, and no other.
        auto expect_held = [&](uint64_t lost) {
            std::map<uint64_t, std::vector<uint8_t>> found, wanted;
            std::vector<uint8_t> r;
            for (uint64_t s = parts.oldest(), after = 0; s < parts.next(); s = after)
                if (parts.read_record(s, r, &after) > 0) found[s] = r;
            for (const auto& [seq, record] : appended)
                if (seq >= parts.oldest() && seq != lost) wanted[seq] = record;
            EXPECT_TRUE(found == wanted && !found.empty());
        };
        expect_held(0);  // wrapped: the oldest slot is inside a record
        const uint64_t newest = appended.rbegin()->first, seq = c.newest ? newest : std::prev(appended.end(), 6)->first;
        ASSERT_EQ(appended[seq].size(), 16384u);
        std::vector<uint8_t> r;
        uint64_t after = 0;  // a reader inside the record is sent to the one after it
        EXPECT_TRUE(parts.read_record(seq + 7, r, &after) == 0 && after == seq + 33);
        parts.close();
        const int fd = open(file.path.c_str(), O_RDWR);
        const off_t at = static_cast<off_t>(4096 + ((seq + c.part) % 256) * 528 + c.offset);
        uint8_t byte = 0;
        ASSERT_TRUE(pread(fd, &byte, 1, at) == 1 && (byte ^= 0x10, pwrite(fd, &byte, 1, at)) == 1 && close(fd) == 0);
        for (int reopen = 0; reopen < 2; ++reopen) {  // dropped once, counted once
            ASSERT_TRUE(parts.open(file.path, kPartsSize));
            expect_held(seq);
            // A torn newest record's number is given again, as in the other ring.
            EXPECT_EQ(parts.next(), c.newest ? newest : newest + 33);
            parts.close();
        }
        EXPECT_EQ(file.lines("Кольцо записей miniSEED 3: отброшено повреждённых записей: 1#"), 1u) << file.log.text();
    }
}

// A tmpfs of its own, for a disk that fills.
struct SmallDisk {
    std::string dir;
    bool mounted;
    int fills = 0;
    SmallDisk(const std::string& parent, const char* options)
        : dir(parent + "/disk"), mounted(mkdir(dir.c_str(), 0755) == 0 && mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0) {}
    ~SmallDisk() { umount2(dir.c_str(), MNT_DETACH); }
    void fill() {  // what is left, with a file of its own
        std::ofstream filler(dir + "/filler" + std::to_string(fills++));
        for (const std::string block(4096, 'f'); filler.write(block.data(), block.size());) filler.flush();
    }
};

// A killed appender loses nothing it wrote. Each failure: one line, then nothing stored or
// served. A ring that opens first takes 40 records, with its disk full when it has one of its
// own (its blocks were reserved), and is then cut by someone else.
TEST(RecordRing, FailuresTurnItOffWithOneLineAndAKillCostsNothingWritten) {
    // A directory in its place is the SeedLink system test's.
    struct Case { const char* what; bool small_disk; uint64_t size; const char* line; };
    const Case cases[] = {
        {"cut while open", false, kSixteenSlots, "изменён извне"},
        {"larger than the disk", true, 128 * 1024, "не размещается на диске (нет места на диске)"},
        {"cut while open, its space then taken", true, kSixteenSlots, "не записывается (нет места на диске)"},
    };
    RingFile file;
    SmallDisk disk(file.log.dir, "size=64k");
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!file.ring.open(file.path, kSixteenSlots * 64)) _exit(1);
        for (;;)
            if (file.ring.append(record_of(file.ring.next()).data()) == 5000) (void)!write(pipe_fds[1], "x", 1);
    }
    if (disk.mounted) {  // the same for miniSEED 3's ring, which gives SeedLink up alone
        RecordRing parts(RingLayout::kParts);
        EXPECT_FALSE(parts.open(disk.dir + "/3", kSixteenSlots));
        EXPECT_EQ(parts.append_record(record_of(1).data(), 512), 0u);
        EXPECT_EQ(file.lines("не размещается на диске (нет места на диске), miniSEED 3 в SeedLink выключен#"), 1u);
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
    expect_held(file.ring, file.ring.oldest(), file.ring.next());
    file.ring.close();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.small_disk && !disk.mounted) {
            const char* ci = getenv("CI");
            if (ci != nullptr && std::strcmp(ci, "true") == 0) FAIL() << "cannot mount a tmpfs: " << std::strerror(errno);
            GTEST_SKIP() << "cannot mount a tmpfs here (not root?): " << std::strerror(errno);
        }
        const std::string path = (c.small_disk ? disk.dir : file.log.dir) + "/" + std::to_string(&c - cases);
        if (file.ring.open(path, c.size)) {
            if (c.small_disk) disk.fill();
            file.append(40);
            file.ring.sync();
            expect_held(file.ring, 25, 41);
            ASSERT_EQ(truncate(path.c_str(), 4096), 0);
            if (c.small_disk) disk.fill();
            file.append(2);  // not enough to give the file its length back
            file.ring.sync();
        } else {
            EXPECT_EQ(std::filesystem::file_size(path), 0u);  // the space given back
        }
        EXPECT_FALSE(file.ring.usable());
        EXPECT_EQ(file.ring.append(record_of(1).data()), 0u);
        EXPECT_EQ(file.lines((std::string(c.line) + ", SeedLink выключен#").c_str()), 1u) << file.log.text();
        file.ring.close();
    }
}

}  // namespace
