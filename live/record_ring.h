// The SeedLink feed's record ring: 512-byte Mini-SEED records, each with a
// 64-bit sequence number that only grows, in a fixed-size file, oldest out
// first. Each record goes into its slot with its sequence number and a
// checksum, so that a reopened ring knows where it stood and what is damaged.
// The file is read and written with pread and pwrite, never mapped: no file
// cut short and no full disk can end the process.
//
// What each failure costs:
// - a normal stop or a kill: nothing that was appended (it is in the page
//   cache); a kill in the middle of an append, that record.
// - a power cut: what was appended since the last sync (the feed syncs once
//   a second).
// - a damaged slot found at open (a torn write, a flipped bit): its own
//   record. Every intact slot is kept, readers skip the lost sequence
//   number, and one log line counts exactly the records dropped. When the
//   newest record is the one lost, its number is given again.
// - a file of another length than SLRINGMB asks (cut short, grown, or
//   SLRINGMB changed): started afresh with one log line, its sequence
//   numbers carried on past the newest whole record left in it, and a whole
//   ring further when it was cut short, so that no number is given twice.
// - no room on the disk: the ring's blocks are reserved when the file is
//   created or resized, so a full disk refuses it then, never in the middle
//   of an append; a new file that does not fit is given back empty.
// - a file that cannot be opened, reserved, read back, written or synced,
//   or that someone else resizes while it is open (found at the next sync,
//   once a second; meanwhile nothing worse than short reads): unusable
//   until the next start. One log line; append stores nothing, read finds
//   nothing, the wakeup descriptor fires so the SeedLink server sees it and
//   goes off. Recording and LISS do not depend on the ring.
//
// The same ring also holds miniSEED 3 records, which have any length (the
// parts layout): a record spans as many consecutive slots as it needs, each
// slot's record bytes beginning with a part head (part index, part count,
// bytes used), all its slots written at once and published together. The
// record is known by its first slot's sequence number, so numbers have gaps
// where records span slots. A damaged slot costs the record it is part of;
// a reader that lands inside a record skips to the next one that begins.
//
// The newest records (up to 32768, 16 MiB) are also kept in memory, so that
// live clients, who read what was just appended, cost no system call each.
//
// Threads: one appender (the feed, under its own lock), one thread that
// syncs and finally closes, any number of readers. The memory copy and
// next_ change together under mirror_lock_. oldest_ is an atomic that the
// appender moves on before it overwrites a slot of the file; a reader of
// the file copies a slot without a lock and then checks that its record had
// not left the ring meanwhile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

inline constexpr int kRingRecordLength = 512;
// Parts layout: the part head, and the record bytes a slot holds.
inline constexpr int kRingPartHead = 4;
inline constexpr int kRingPartBytes = kRingRecordLength - kRingPartHead;
inline constexpr int kRingMaxParts = 64;

enum class RingLayout { kRecords, kParts };

class RecordRing {
  public:
    explicit RecordRing(RingLayout layout = RingLayout::kRecords) : layout_(layout) {}
    RecordRing(const RecordRing&) = delete;
    RecordRing& operator=(const RecordRing&) = delete;
    ~RecordRing();

    // Opens the ring file at `path`, `bytes` long (rounded down to whole
    // slots, at least 16 slots), creating it or reading it back, and
    // reserves its blocks. False, with one line in the log, when the file
    // cannot be used; the ring is then unusable.
    bool open(const std::string& path, uint64_t bytes);
    void close();
    // Open, and nothing has failed since.
    bool usable() const { return fd_ >= 0 && !failed_.load(); }

    // Stores one record; returns its sequence number, 0 when not usable
    // (a failed write makes the ring unusable, with a line in the log).
    uint64_t append(const uint8_t* record);
    // Copies record `seq` into `out` (512 bytes); false when it has left
    // the ring, does not exist yet, or was lost to damage (skip it then).
    bool read(uint64_t seq, uint8_t* out) const;
    // Parts layout: stores a record of 1 to kRingMaxParts * kRingPartBytes
    // bytes; returns its sequence number, 0 when not usable or too long.
    uint64_t append_record(const uint8_t* record, size_t length);
    // Parts layout: copies the record that begins at slot `seq` into `out`
    // and returns its length; `*after` is where the next record may begin.
    // 0 when no whole record begins there (left the ring, not yet written,
    // a part lost to damage, or `seq` is inside a record); `*after` is then
    // the next slot worth trying.
    size_t read_record(uint64_t seq, std::vector<uint8_t>& out, uint64_t* after) const;
    // The oldest sequence number held; equal to next() when empty.
    uint64_t oldest() const { return oldest_.load(); }
    // The sequence number the next record will get (the first is 1).
    uint64_t next() const { return next_.load(); }
    uint64_t capacity() const { return slots_; }
    // Writes what was appended to the disk; a failure, or a file resized by
    // someone else, makes the ring unusable.
    void sync();
    // Readable (an eventfd) after every append, and when the ring fails; a
    // reader drains it.
    int wakeup_fd() const { return wakeup_fd_; }

  private:
    uint64_t append_slots(const uint8_t* records, uint64_t count);
    bool copy_slots(uint64_t seq, uint64_t count, uint8_t* slots) const;
    const char* name() const;
    bool reserve(bool fresh);
    bool scan(uint64_t first);
    bool mirror_from_file();
    bool fail(const char* what, int error);
    void wake() const;

    const RingLayout layout_;
    std::mutex append_lock_;
    std::string path_;
    int fd_ = -1;
    int wakeup_fd_ = -1;
    uint64_t slots_ = 0;
    uint64_t size_ = 0;
    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> oldest_{1};
    std::atomic<uint64_t> next_{1};
    mutable std::mutex mirror_lock_;
    std::vector<uint8_t> mirror_;  // the newest records' slots, by seq % mirror_slots_
    uint64_t mirror_slots_ = 0;
};
