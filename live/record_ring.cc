#include "live/record_ring.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/oplog.h"

namespace {

// File: a header page, then slots of a 16-byte head (sequence number and
// checksum, little-endian) and one record.
constexpr char kMagic[16] = "VELDRUM-SLRING1";
constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kSlotHead = 16;
constexpr uint64_t kSlotBytes = kSlotHead + kRingRecordLength;
constexpr uint64_t kMinSlots = 16;

struct FileHeader {
    char magic[16];
    uint64_t slots;
    uint64_t first;  // the sequence number the ring began at: a resized ring counts on
};

// FNV-1a over the sequence number and the record: enough to tell a whole
// slot from one that a crash cut short.
uint64_t checksum(uint64_t seq, const uint8_t* record) {
    uint64_t h = 14695981039346656037ull;
    auto mix = [&](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (int i = 0; i < 8; ++i) mix(static_cast<uint8_t>(seq >> (8 * i)));
    for (int i = 0; i < kRingRecordLength; ++i) mix(record[i]);
    return h;
}

uint64_t load_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// The newest whole sequence number in a ring file of another size, so that
// a resized ring goes on counting from there.
uint64_t newest_in_old_file(int fd, uint64_t slots) {
    uint64_t newest = 0;
    uint8_t slot[kSlotBytes];
    for (uint64_t i = 0; i < slots; ++i) {
        if (pread(fd, slot, sizeof slot, static_cast<off_t>(kHeaderBytes + i * kSlotBytes)) !=
            static_cast<ssize_t>(sizeof slot))
            break;
        const uint64_t seq = load_u64(slot);
        if (seq > newest && load_u64(slot + 8) == checksum(seq, slot + kSlotHead)) newest = seq;
    }
    return newest;
}

}  // namespace

RecordRing::~RecordRing() { close(); }

uint8_t* RecordRing::slot_at(uint64_t index) const {
    return base_ + kHeaderBytes + index * kSlotBytes;
}

bool RecordRing::open(const std::string& path, uint64_t bytes) {
    close();
    uint64_t slots = bytes > kHeaderBytes ? (bytes - kHeaderBytes) / kSlotBytes : 0;
    if (slots < kMinSlots) slots = kMinSlots;
    const uint64_t size = kHeaderBytes + slots * kSlotBytes;

    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        write_log_linef("Кольцо записей SeedLink: файл '%s' недоступен", path.c_str());
        return false;
    }
    FileHeader header{};
    const bool known = pread(fd_, &header, sizeof header, 0) == sizeof header &&
                       std::memcmp(header.magic, kMagic, sizeof kMagic) == 0;
    if (known && header.slots != slots) {
        const uint64_t newest = newest_in_old_file(fd_, header.slots);
        header.first = (newest >= header.first ? newest + 1 : header.first);
    }
    if (!known) header.first = 1;
    if (!known || header.slots != slots) {
        // A new ring: no slot of the old geometry may be read as one of ours.
        FileHeader fresh{};
        std::memcpy(fresh.magic, kMagic, sizeof kMagic);
        fresh.slots = slots;
        fresh.first = header.first;
        if (ftruncate(fd_, 0) != 0 || ftruncate(fd_, static_cast<off_t>(size)) != 0 ||
            pwrite(fd_, &fresh, sizeof fresh, 0) != sizeof fresh) {
            write_log_linef("Кольцо записей SeedLink: файл '%s' не создан", path.c_str());
            close();
            return false;
        }
        if (known)
            write_log_linef("Кольцо записей SeedLink: размер изменился, записи начаты заново");
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        write_log_linef("Кольцо записей SeedLink: файл '%s' не отображается в память",
                        path.c_str());
        close();
        return false;
    }
    base_ = static_cast<uint8_t*>(map);
    mapped_ = size;
    slots_ = slots;
    wakeup_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const uint64_t newest = scan();
    next_ = newest + 1 > header.first ? newest + 1 : header.first;
    if (oldest_ > next_ || newest == 0) oldest_ = next_;
    return true;
}

// Finds the run of whole records that ends at the newest one; clears the
// slots outside it that fail their checksum, with one log line.
uint64_t RecordRing::scan() {
    uint64_t newest = 0;
    for (uint64_t i = 0; i < slots_; ++i) {
        const uint8_t* s = slot_at(i);
        const uint64_t seq = load_u64(s);
        if (seq != 0 && seq % slots_ == i && seq > newest &&
            load_u64(s + 8) == checksum(seq, s + kSlotHead))
            newest = seq;
    }
    oldest_ = newest + 1;
    for (uint64_t seq = newest; seq > 0 && newest - seq < slots_; --seq) {
        const uint8_t* s = slot_at(seq % slots_);
        if (load_u64(s) != seq || load_u64(s + 8) != checksum(seq, s + kSlotHead)) break;
        oldest_ = seq;
    }
    uint64_t damaged = 0;
    for (uint64_t i = 0; i < slots_; ++i) {
        uint8_t* s = slot_at(i);
        const uint64_t seq = load_u64(s);
        const bool held = seq >= oldest_ && seq <= newest && seq % slots_ == i;
        if (held) continue;
        bool blank = true;
        for (uint64_t b = 0; b < kSlotBytes && blank; ++b) blank = s[b] == 0;
        if (blank) continue;
        if (seq == 0 || load_u64(s + 8) != checksum(seq, s + kSlotHead)) ++damaged;
        std::memset(s, 0, kSlotBytes);
    }
    if (damaged > 0)
        write_log_linef("Кольцо записей SeedLink: отброшено повреждённых записей: %llu",
                        static_cast<unsigned long long>(damaged));
    return newest;
}

void RecordRing::close() {
    std::lock_guard<std::mutex> guard(lock_);
    if (base_ != nullptr) {
        msync(base_, mapped_, MS_SYNC);
        munmap(base_, mapped_);
    }
    if (fd_ >= 0) ::close(fd_);
    if (wakeup_fd_ >= 0) ::close(wakeup_fd_);
    base_ = nullptr;
    mapped_ = 0;
    fd_ = -1;
    wakeup_fd_ = -1;
    slots_ = 0;
    oldest_ = next_ = 1;
}

uint64_t RecordRing::append(const uint8_t* record) {
    uint64_t seq;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (base_ == nullptr) return 0;
        seq = next_++;
        uint8_t* s = slot_at(seq % slots_);
        // The record first, its head last: a slot cut short never checks out.
        std::memcpy(s + kSlotHead, record, kRingRecordLength);
        store_u64(s + 8, checksum(seq, record));
        store_u64(s, seq);
        if (next_ - oldest_ > slots_) oldest_ = next_ - slots_;
    }
    const uint64_t one = 1;
    ssize_t ignored = write(wakeup_fd_, &one, sizeof one);
    (void)ignored;  // a full counter wakes the readers all the same
    return seq;
}

bool RecordRing::read(uint64_t seq, uint8_t* out) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (base_ == nullptr || seq < oldest_ || seq >= next_) return false;
    std::memcpy(out, slot_at(seq % slots_) + kSlotHead, kRingRecordLength);
    return true;
}

uint64_t RecordRing::oldest() const {
    std::lock_guard<std::mutex> guard(lock_);
    return oldest_;
}

uint64_t RecordRing::next() const {
    std::lock_guard<std::mutex> guard(lock_);
    return next_;
}

void RecordRing::sync() {
    // Outside the lock: appends go on while the pages are written. Only the
    // thread that closes the ring calls this.
    if (base_ != nullptr) msync(base_, mapped_, MS_SYNC);
}
