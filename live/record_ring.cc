#include "live/record_ring.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/oplog.h"

namespace {

// File: a header page, then slots of a 16-byte head (sequence number and
// checksum, little-endian) and one record, or one part of one.
constexpr char kMagic[16] = "VELDRUM-SLRING1";
constexpr char kPartsMagic[16] = "VELDRUM-SLRING3";
constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kSlotHead = 16;
constexpr uint64_t kSlotBytes = kSlotHead + kRingRecordLength;
constexpr uint64_t kMinSlots = 16;
// A parts ring holds a few of the longest records at least.
constexpr uint64_t kMinPartSlots = 4 * kRingMaxParts;
// Beyond this a header's slot count is damage, not a ring (1 TiB).
constexpr uint64_t kMaxSlots = (1ull << 40) / kSlotBytes;
// Slots read back at a time when the ring is opened.
constexpr uint64_t kScanSlots = 256;
// The newest records also held in memory (about 16 MiB): live clients and
// those up to some hours behind read them without a system call each.
constexpr uint64_t kMirrorSlots = 32768;
// What a cause of -1 means: the path names something other than a file.
constexpr int kNotAFile = -1;

struct FileHeader {
    char magic[16];
    uint64_t slots;
    uint64_t first;  // the sequence number the ring began at: a resized ring counts on
};

// FNV-1a over the sequence number and the record: enough to tell a whole
// slot from one that a crash cut short or a bit that flipped.
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

off_t slot_offset(uint64_t index) { return static_cast<off_t>(kHeaderBytes + index * kSlotBytes); }

// The sequence number a slot holds whole, 0 when it holds none.
uint64_t whole_seq(const uint8_t* slot) {
    const uint64_t seq = load_u64(slot);
    return seq != 0 && load_u64(slot + 8) == checksum(seq, slot + kSlotHead) ? seq : 0;
}

// The newest whole sequence number in a ring file of another size, so that
// a resized ring goes on counting from there.
uint64_t newest_in_old_file(int fd, uint64_t slots) {
    uint64_t newest = 0;
    uint8_t slot[kSlotBytes];
    for (uint64_t i = 0; i < slots; ++i) {
        if (pread(fd, slot, sizeof slot, slot_offset(i)) != static_cast<ssize_t>(sizeof slot))
            break;
        const uint64_t seq = whole_seq(slot);
        if (seq > newest) newest = seq;
    }
    return newest;
}

uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Parts layout: clears from `whole` every slot of a record that lacks a part
// (damaged, or never written when a crash cut the append short); returns
// how many records were lost, and lowers `newest` below a torn newest
// record, whose number is then given again. `part` holds each slot's part index and count;
// `used`, whether the slot held any bytes. Parts before the first record
// that begins are the tail of one the ring wrote over, not damage.
uint64_t drop_broken_records(std::vector<uint64_t>& whole, const std::vector<uint8_t>& part,
                             const std::vector<bool>& used, uint64_t slots, uint64_t& newest) {
    if (newest == 0) return 0;
    uint64_t broken = 0, start = 0, count = 0, index = 0;
    bool counted = false, started = false, torn_first = false;
    auto forget = [&](uint64_t first, uint64_t end) {
        for (uint64_t s = first; s < end; ++s) whole[s % slots] = 0;
        count = 0;
        if (!counted) ++broken;
        counted = true;
    };
    const uint64_t from = newest >= slots ? newest - slots + 1 : 1;
    for (uint64_t seq = from; seq <= newest; ++seq) {
        const uint64_t i = seq % slots;
        const bool here = whole[i] == seq;
        if (seq == from) torn_first = !here && used[i];
        const uint8_t at = part[2 * i], of = part[2 * i + 1];
        if (here && at == 0 && of > 0) {
            if (count > 0) forget(start, seq);  // the one before lacks its last parts
            counted = false;
            started = true;
            start = seq;
            count = of == 1 ? 0 : of;
            index = 1;
            continue;
        }
        if (here && count > 0 && at == index && of == count) {
            if (++index == count) count = 0;
            continue;
        }
        if (here && !started) continue;
        if (!here && !used[i] && count == 0) continue;  // never written, or cleared before
        if (count > 0)
            forget(start, seq);
        else if (!counted)
            forget(seq, seq);
        whole[i] = 0;
    }
    // The newest record lacks its last parts: the damaged slot after it,
    // counted as the oldest, was the one torn.
    if (count > 0) {
        counted = torn_first;
        forget(start, newest + 1);
        newest = start - 1;
    }
    return broken;
}

bool write_all(int fd, const void* data, size_t n, off_t at) {
    const ssize_t done = pwrite(fd, data, n, at);
    if (done == static_cast<ssize_t>(n)) return true;
    if (done >= 0) errno = ENOSPC;  // a short write to a file: the disk filled
    return false;
}

bool read_all(int fd, void* data, size_t n, off_t at) {
    const ssize_t done = pread(fd, data, n, at);
    if (done == static_cast<ssize_t>(n)) return true;
    if (done >= 0) errno = EIO;  // the file ends early: someone cut it meanwhile
    return false;
}

// The reason in words for the log; a number only for the unexpected.
std::string cause(int error) {
    static const struct {
        int error;
        const char* text;
    } kCauses[] = {{kNotAFile, "это не файл"},       {ENOSPC, "нет места на диске"},
                   {EDQUOT, "превышена квота"},      {EIO, "ошибка ввода-вывода"},
                   {EISDIR, "на его месте каталог"}, {EACCES, "нет доступа"},
                   {EPERM, "нет доступа"},           {EROFS, "диск только для чтения"},
                   {ENOENT, "нет каталога"}};
    if (error == 0) return "";
    for (const auto& c : kCauses)
        if (c.error == error) return std::string(" (") + c.text + ")";
    return " (ошибка " + std::to_string(error) + ")";
}

}  // namespace

RecordRing::~RecordRing() { close(); }

const char* RecordRing::name() const {
    return layout_ == RingLayout::kParts ? "Кольцо записей miniSEED 3" : "Кольцо записей SeedLink";
}

// One line for the first failure only: what follows from it says nothing new.
bool RecordRing::fail(const char* what, int error) {
    if (!failed_.exchange(true))
        write_log_linef("%s: файл '%s' %s%s, %s выключен", name(), path_.c_str(), what,
                        cause(error).c_str(),
                        layout_ == RingLayout::kParts ? "miniSEED 3 в SeedLink" : "SeedLink");
    wake();
    return false;
}

void RecordRing::wake() const {
    const uint64_t one = 1;
    if (wakeup_fd_ < 0) return;
    ssize_t ignored = write(wakeup_fd_, &one, sizeof one);
    (void)ignored;  // a full counter wakes the readers all the same
}

bool RecordRing::open(const std::string& path, uint64_t bytes) {
    close();
    path_ = path;
    uint64_t slots = bytes > kHeaderBytes ? (bytes - kHeaderBytes) / kSlotBytes : 0;
    if (slots < kMinSlots) slots = kMinSlots;
    if (layout_ == RingLayout::kParts && slots < kMinPartSlots) slots = kMinPartSlots;
    if (slots > kMaxSlots) slots = kMaxSlots;
    slots_ = slots;
    size_ = kHeaderBytes + slots * kSlotBytes;

    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return fail("не открывается", errno);
    struct stat st {};
    if (fstat(fd_, &st) != 0) return fail("не открывается", errno);
    if (!S_ISREG(st.st_mode)) return fail("не открывается", kNotAFile);
    wakeup_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    const char* magic = layout_ == RingLayout::kParts ? kPartsMagic : kMagic;
    FileHeader header{};
    const bool known = pread(fd_, &header, sizeof header, 0) == sizeof header &&
                       std::memcmp(header.magic, magic, sizeof kMagic) == 0;
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    const uint64_t expected = header.slots >= kMinSlots && header.slots <= kMaxSlots
                                  ? kHeaderBytes + header.slots * kSlotBytes
                                  : 0;
    uint64_t first = known ? header.first : 1;
    // A file of the wanted length is ours even when its header's slot count
    // was damaged; any other length is a resize or a cut.
    const bool fresh = !known || length != size_;
    if (known && fresh) {
        const uint64_t newest = newest_in_old_file(fd_, header.slots);
        if (newest >= first) first = newest + 1;
        // What was cut off may have been newer, but not by a whole ring: no number twice.
        if (length < expected) first += header.slots;
        if (length != expected)
            write_log_linef("%s: файл '%s' длиной %llu байт вместо %llu, записи начаты заново",
                            name(), path.c_str(), static_cast<unsigned long long>(length),
                            static_cast<unsigned long long>(expected));
        else
            write_log_linef("%s: размер изменился, записи начаты заново", name());
    } else if (!known && length > 0) {
        write_log_linef("%s: файл '%s' не похож на кольцо, записи начаты заново", name(),
                        path.c_str());
    }
    if (!reserve(fresh)) return false;
    if (fresh || header.slots != slots) {
        // A new ring: no slot of the old geometry may be read as one of ours.
        FileHeader head{};
        std::memcpy(head.magic, magic, sizeof kMagic);
        head.slots = slots;
        head.first = first;
        if (!write_all(fd_, &head, sizeof head, 0)) return fail("не записывается", errno);
    }
    return scan(first);
}

// Takes the ring's blocks now, so that a full disk refuses the ring here and
// never under an append. A new file that does not fit is emptied again: the
// space belongs to the recording.
bool RecordRing::reserve(bool fresh) {
    if (fresh && ftruncate(fd_, 0) != 0) return fail("не записывается", errno);
    const int error = posix_fallocate(fd_, 0, static_cast<off_t>(size_));
    if (error == 0) return true;
    if (fresh) (void)!ftruncate(fd_, 0);
    return fail("не размещается на диске", error);
}

// Reads every slot back. The newest whole record fixes where each sequence
// number of the ring lives; a slot that holds its own record whole is kept,
// and any other slot with bytes in it is a record lost: counted and cleared,
// so that a reader finds its number missing and skips it. In the parts
// layout a record lacking a part goes whole, and the count is of records.
bool RecordRing::scan(uint64_t first) {
    std::vector<uint64_t> whole(slots_, 0);
    std::vector<bool> used(slots_, false);
    std::vector<uint8_t> part(layout_ == RingLayout::kParts ? 2 * slots_ : 0);
    std::vector<uint8_t> chunk(kScanSlots * kSlotBytes);
    uint64_t newest = 0;
    for (uint64_t i = 0; i < slots_; i += kScanSlots) {
        const uint64_t n = std::min(kScanSlots, slots_ - i);
        if (!read_all(fd_, chunk.data(), n * kSlotBytes, slot_offset(i)))
            return fail("не читается", errno);
        for (uint64_t j = 0; j < n; ++j) {
            const uint8_t* s = chunk.data() + j * kSlotBytes;
            const uint64_t seq = whole_seq(s);
            if (seq % slots_ == i + j) whole[i + j] = seq;
            if (whole[i + j] > newest) newest = whole[i + j];
            if (!part.empty()) std::memcpy(&part[2 * (i + j)], s + kSlotHead, 2);
            for (uint64_t b = 0; b < kSlotBytes && !used[i + j]; ++b) used[i + j] = s[b] != 0;
        }
    }
    uint64_t dropped = 0;
    for (uint64_t i = 0; i < slots_; ++i) {
        // The newest sequence number that lives in slot i, 0 for none yet.
        const uint64_t back = (newest % slots_ + slots_ - i) % slots_;
        const uint64_t own = back < newest ? newest - back : 0;
        if (own != 0 && whole[i] == own) continue;
        whole[i] = 0;
        if (used[i]) ++dropped;
    }
    if (!part.empty()) dropped = drop_broken_records(whole, part, used, slots_, newest);
    uint64_t oldest = 0;
    const uint8_t blank[kSlotBytes] = {};
    for (uint64_t i = 0; i < slots_; ++i) {
        if (whole[i] != 0) {
            if (oldest == 0 || whole[i] < oldest) oldest = whole[i];
        } else if (used[i] && !write_all(fd_, blank, sizeof blank, slot_offset(i))) {
            return fail("не записывается", errno);
        }
    }
    if (dropped > 0)
        write_log_linef("%s: отброшено повреждённых записей: %llu", name(),
                        static_cast<unsigned long long>(dropped));
    // Records of a ring begun at `first` are numbered from there, so only an
    // empty ring needs it.
    const uint64_t next = newest > 0 ? newest + 1 : first;
    next_.store(next);
    oldest_.store(oldest != 0 ? oldest : next);
    return mirror_from_file();
}

bool RecordRing::mirror_from_file() {
    mirror_slots_ = std::min(slots_, kMirrorSlots);
    mirror_.assign(mirror_slots_ * kSlotBytes, 0);
    const uint64_t next = next_.load();
    const uint64_t from = std::max(oldest_.load(), next > mirror_slots_ ? next - mirror_slots_ : 0);
    for (uint64_t seq = from; seq < next; ++seq)
        if (!read_all(fd_, mirror_.data() + (seq % mirror_slots_) * kSlotBytes, kSlotBytes,
                      slot_offset(seq % slots_)))
            return fail("не читается", errno);
    return true;
}

void RecordRing::close() {
    std::lock_guard<std::mutex> guard(append_lock_);
    if (fd_ >= 0) {
        if (!failed_.load()) fdatasync(fd_);
        ::close(fd_);
    }
    if (wakeup_fd_ >= 0) ::close(wakeup_fd_);
    fd_ = -1;
    wakeup_fd_ = -1;
    slots_ = size_ = mirror_slots_ = 0;
    mirror_.clear();
    mirror_.shrink_to_fit();
    failed_.store(false);
    oldest_.store(1);
    next_.store(1);
}

uint64_t RecordRing::append(const uint8_t* record) {
    if (layout_ != RingLayout::kRecords) return 0;
    return append_slots(record, 1);
}

uint64_t RecordRing::append_record(const uint8_t* record, size_t length) {
    const uint64_t count = (length + kRingPartBytes - 1) / kRingPartBytes;
    if (layout_ != RingLayout::kParts || count == 0 || count > kRingMaxParts) return 0;
    uint8_t parts[kRingMaxParts * kRingRecordLength] = {};
    for (uint64_t k = 0; k < count; ++k) {
        uint8_t* p = parts + k * kRingRecordLength;
        const size_t used = std::min<size_t>(kRingPartBytes, length - k * kRingPartBytes);
        p[0] = static_cast<uint8_t>(k);
        p[1] = static_cast<uint8_t>(count);
        p[2] = static_cast<uint8_t>(used);
        p[3] = static_cast<uint8_t>(used >> 8);
        std::memcpy(p + kRingPartHead, record + k * kRingPartBytes, used);
    }
    return append_slots(parts, count);
}

// Writes `count` records into consecutive slots at once (twice where the
// ring wraps) and publishes them together.
uint64_t RecordRing::append_slots(const uint8_t* records, uint64_t count) {
    std::lock_guard<std::mutex> guard(append_lock_);
    if (!usable()) return 0;
    const uint64_t seq = next_.load();
    // The records the slots held leave before their bytes change.
    if (seq + count - oldest_.load() > slots_) oldest_.store(seq + count - slots_);
    uint8_t slots[kRingMaxParts * kSlotBytes];
    for (uint64_t k = 0; k < count; ++k) {
        const uint8_t* record = records + k * kRingRecordLength;
        uint8_t* slot = slots + k * kSlotBytes;
        store_u64(slot, seq + k);
        store_u64(slot + 8, checksum(seq + k, record));
        std::memcpy(slot + kSlotHead, record, kRingRecordLength);
    }
    const uint64_t at = seq % slots_, before_end = std::min(count, slots_ - at);
    if (!write_all(fd_, slots, before_end * kSlotBytes, slot_offset(at)) ||
        (before_end < count && !write_all(fd_, slots + before_end * kSlotBytes,
                                          (count - before_end) * kSlotBytes, slot_offset(0)))) {
        fail("не записывается", errno);
        return 0;
    }
    {
        std::lock_guard<std::mutex> hold(mirror_lock_);
        for (uint64_t k = 0; k < count; ++k)
            std::memcpy(mirror_.data() + ((seq + k) % mirror_slots_) * kSlotBytes,
                        slots + k * kSlotBytes, kSlotBytes);
        next_.store(seq + count);
    }
    wake();
    return seq;
}

// Copies the slots of `count` records from `seq` on, heads included; false
// when any of them is not yet written or has left the ring. A slot that
// names another number was lost to damage; the caller checks.
bool RecordRing::copy_slots(uint64_t seq, uint64_t count, uint8_t* slots) const {
    if (!usable() || seq < oldest_.load()) return false;
    {
        std::lock_guard<std::mutex> hold(mirror_lock_);
        const uint64_t next = next_.load();
        if (seq + count > next) return false;
        if (seq + mirror_slots_ >= next) {
            for (uint64_t k = 0; k < count; ++k)
                std::memcpy(slots + k * kSlotBytes,
                            mirror_.data() + ((seq + k) % mirror_slots_) * kSlotBytes, kSlotBytes);
            return true;
        }
    }
    const uint64_t at = seq % slots_, before_end = std::min(count, slots_ - at);
    const bool copied =
        read_all(fd_, slots, before_end * kSlotBytes, slot_offset(at)) &&
        (before_end == count || read_all(fd_, slots + before_end * kSlotBytes,
                                         (count - before_end) * kSlotBytes, slot_offset(0)));
    // The copy is a system call, finished before oldest_ is loaded again:
    // a slot the appender began to overwrite meanwhile has left the ring.
    return copied && seq >= oldest_.load();
}

bool RecordRing::read(uint64_t seq, uint8_t* out) const {
    uint8_t slot[kSlotBytes];
    // A cleared slot names no record.
    if (layout_ != RingLayout::kRecords || !copy_slots(seq, 1, slot) || load_u64(slot) != seq)
        return false;
    std::memcpy(out, slot + kSlotHead, kRingRecordLength);
    return true;
}

size_t RecordRing::read_record(uint64_t seq, std::vector<uint8_t>& out, uint64_t* after) const {
    *after = seq + 1;
    uint8_t first[kSlotBytes];
    if (layout_ != RingLayout::kParts || !copy_slots(seq, 1, first) || load_u64(first) != seq)
        return 0;
    const uint8_t at = first[kSlotHead], count = first[kSlotHead + 1];
    if (count == 0 || at >= count) return 0;
    if (at > 0) {
        *after = seq + (count - at);  // inside a record: the next one begins there
        return 0;
    }
    uint8_t slots[kRingMaxParts * kSlotBytes];
    if (count > kRingMaxParts || !copy_slots(seq, count, slots)) return 0;
    out.clear();
    for (uint64_t k = 0; k < count; ++k) {
        const uint8_t* slot = slots + k * kSlotBytes;
        const uint8_t* p = slot + kSlotHead;
        const size_t used = load_u16(p + 2);
        // A part lost: the slot where it should be may begin the next record.
        if (load_u64(slot) != seq + k || p[0] != k || p[1] != count || used > kRingPartBytes) {
            *after = seq + std::max<uint64_t>(k, 1);
            return 0;
        }
        out.insert(out.end(), p + kRingPartHead, p + kRingPartHead + used);
    }
    *after = seq + count;
    return out.size();
}

void RecordRing::sync() {
    // Outside the append lock: appends go on while the pages are written.
    // Only the thread that closes the ring calls this.
    if (!usable()) return;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) != size_) {
        fail("изменён извне", 0);
        return;
    }
    if (fdatasync(fd_) != 0) fail("не сбрасывается на диск", errno);
}
