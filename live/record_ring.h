// The SeedLink feed's record ring: 512-byte Mini-SEED records, each with a
// 64-bit sequence number that only grows, in a fixed-size file, oldest out
// first. The file is mapped; each record goes into its slot with its
// sequence number and a checksum, so that a reopened ring knows where it
// stood and what a crash cut short.
//
// What a stop may lose: after a normal stop or a kill, nothing that was
// appended (the mapping is the page cache). After a power cut, what was
// appended since the last sync (the feed syncs once a second). A slot half
// written when either happened fails its checksum and is cut, with a line
// in the operation log; the sequence numbers go on from the newest whole
// record.
//
// Threads: one appender (the feed), any number of readers; every call takes
// the ring's lock for a copy of at most one record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

inline constexpr int kRingRecordLength = 512;

class RecordRing {
  public:
    RecordRing() = default;
    RecordRing(const RecordRing&) = delete;
    RecordRing& operator=(const RecordRing&) = delete;
    ~RecordRing();

    // Opens the ring file at `path`, `bytes` long (rounded down to whole
    // slots, at least 16 slots), creating it or reading it back. A file of
    // another size is started afresh, its sequence numbers carried on.
    // False, with a line in the log, when the file cannot be used.
    bool open(const std::string& path, uint64_t bytes);
    void close();
    bool is_open() const { return base_ != nullptr; }

    // Stores one record; returns its sequence number (0 when not open).
    uint64_t append(const uint8_t* record);
    // Copies record `seq` into `out` (512 bytes); false when it has left
    // the ring or does not exist yet.
    bool read(uint64_t seq, uint8_t* out) const;
    // The oldest sequence number held; equal to next() when empty.
    uint64_t oldest() const;
    // The sequence number the next record will get (the first is 1).
    uint64_t next() const;
    uint64_t capacity() const { return slots_; }
    // Writes what was appended to the disk.
    void sync();
    // Readable (an eventfd) after every append; a reader drains it.
    int wakeup_fd() const { return wakeup_fd_; }

  private:
    uint8_t* slot_at(uint64_t index) const;
    uint64_t scan();

    mutable std::mutex lock_;
    uint8_t* base_ = nullptr;
    size_t mapped_ = 0;
    int fd_ = -1;
    int wakeup_fd_ = -1;
    uint64_t slots_ = 0;
    uint64_t oldest_ = 1;
    uint64_t next_ = 1;
};
