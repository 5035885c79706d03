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
// checksum, little-endian) and one record.
constexpr char kMagic[16] = "VELDRUM-SLRING1";
constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kSlotHead = 16;
constexpr uint64_t kSlotBytes = kSlotHead + kRingRecordLength;
constexpr uint64_t kMinSlots = 16;
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

// One line for the first failure only: what follows from it says nothing new.
bool RecordRing::fail(const char* what, int error) {
    if (!failed_.exchange(true))
        write_log_linef("Кольцо записей SeedLink: файл '%s' %s%s, SeedLink выключен", path_.c_str(),
                        what, cause(error).c_str());
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
    if (slots > kMaxSlots) slots = kMaxSlots;
    slots_ = slots;
    size_ = kHeaderBytes + slots * kSlotBytes;

    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return fail("не открывается", errno);
    struct stat st {};
    if (fstat(fd_, &st) != 0) return fail("не открывается", errno);
    if (!S_ISREG(st.st_mode)) return fail("не открывается", kNotAFile);
    wakeup_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    FileHeader header{};
    const bool known = pread(fd_, &header, sizeof header, 0) == sizeof header &&
                       std::memcmp(header.magic, kMagic, sizeof kMagic) == 0;
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
            write_log_linef(
                "Кольцо записей SeedLink: файл '%s' длиной %llu байт вместо %llu, записи начаты "
                "заново",
                path.c_str(), static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(expected));
        else
            write_log_linef("Кольцо записей SeedLink: размер изменился, записи начаты заново");
    } else if (!known && length > 0) {
        write_log_linef(
            "Кольцо записей SeedLink: файл '%s' не похож на кольцо, записи начаты заново",
            path.c_str());
    }
    if (!reserve(fresh)) return false;
    if (fresh || header.slots != slots) {
        // A new ring: no slot of the old geometry may be read as one of ours.
        FileHeader head{};
        std::memcpy(head.magic, kMagic, sizeof kMagic);
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
// so that a reader finds its number missing and skips it.
bool RecordRing::scan(uint64_t first) {
    std::vector<uint64_t> whole(slots_, 0);
    std::vector<bool> used(slots_, false);
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
            for (uint64_t b = 0; b < kSlotBytes && !used[i + j]; ++b) used[i + j] = s[b] != 0;
        }
    }
    uint64_t oldest = 0, dropped = 0;
    const uint8_t blank[kSlotBytes] = {};
    for (uint64_t i = 0; i < slots_; ++i) {
        // The newest sequence number that lives in slot i, 0 for none yet.
        const uint64_t back = (newest % slots_ + slots_ - i) % slots_;
        const uint64_t own = back < newest ? newest - back : 0;
        if (own != 0 && whole[i] == own) {
            if (oldest == 0 || own < oldest) oldest = own;
            continue;
        }
        if (!used[i]) continue;
        ++dropped;
        if (!write_all(fd_, blank, sizeof blank, slot_offset(i)))
            return fail("не записывается", errno);
    }
    if (dropped > 0)
        write_log_linef("Кольцо записей SeedLink: отброшено повреждённых записей: %llu",
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
    std::lock_guard<std::mutex> guard(append_lock_);
    if (!usable()) return 0;
    const uint64_t seq = next_.load();
    // The record the slot held leaves before its bytes change.
    if (seq + 1 - oldest_.load() > slots_) oldest_.store(seq + 1 - slots_);
    uint8_t slot[kSlotBytes];
    store_u64(slot, seq);
    store_u64(slot + 8, checksum(seq, record));
    std::memcpy(slot + kSlotHead, record, kRingRecordLength);
    if (!write_all(fd_, slot, sizeof slot, slot_offset(seq % slots_))) {
        fail("не записывается", errno);
        return 0;
    }
    {
        std::lock_guard<std::mutex> hold(mirror_lock_);
        std::memcpy(mirror_.data() + (seq % mirror_slots_) * kSlotBytes, slot, kSlotBytes);
        next_.store(seq + 1);
    }
    wake();
    return seq;
}

bool RecordRing::read(uint64_t seq, uint8_t* out) const {
    if (!usable() || seq < oldest_.load()) return false;
    {
        std::lock_guard<std::mutex> hold(mirror_lock_);
        const uint64_t next = next_.load();
        if (seq >= next) return false;
        if (seq + mirror_slots_ >= next) {
            const uint8_t* m = mirror_.data() + (seq % mirror_slots_) * kSlotBytes;
            if (load_u64(m) != seq) return false;  // lost to damage
            std::memcpy(out, m + kSlotHead, kRingRecordLength);
            return true;
        }
    }
    uint8_t slot[kSlotBytes];
    const bool copied = pread(fd_, slot, sizeof slot, slot_offset(seq % slots_)) ==
                        static_cast<ssize_t>(sizeof slot);
    // The copy is a system call, finished before oldest_ is loaded again.
    // A cleared slot names no record; one the appender began to overwrite
    // while it was copied has left the ring.
    if (!copied || load_u64(slot) != seq || seq < oldest_.load()) return false;
    std::memcpy(out, slot + kSlotHead, kRingRecordLength);
    return true;
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
