// Walks one received message block by block, in place on the receive buffer
// (NetBIOS completion thread, one message at a time).
#include "link/decoder.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/oplog.h"
#include "common/status_report.h"
#include "link/block_format.h"
#include "link/channel_table.h"

using namespace block_format;

namespace {

int32_t decoder_busy = 0;
std::atomic<BlockSink> block_sink{nullptr};

void report(const StatusReport& status, const char* text) {
    if (isatty(STDERR_FILENO)) {
        ssize_t ignored = write(STDERR_FILENO, "\a", 1);
        (void)ignored;
    }
    status.error_text(text);
    write_log_line(text);
}

void copy_name(char* dst, const uint8_t* src, int size) {
    int n = 0;
    while (n < size && src[n] != 0) ++n;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

// The roster an announcement describes, before it is checked and published.
struct Announcement {
    RosterEntry entries[kChannelCount];
    int count = 0;
};

// Only bytes inside the message are read; a group list without its ending
// record, or an entry count beyond the message, stops at the message's end.
void parse_group(const uint8_t* block, int avail, Announcement* out) {
    for (int g = 0; g < kMaxGroupRecords && out->count < kChannelCount; ++g) {
        int rec = kHeaderSize + g * kGroupRecordSize;
        if (rec + kGroupEntries > avail) break;
        const uint8_t* r = block + rec;
        int16_t rate = read_i16(r + kGroupRate);
        if (rate == 0) break;
        int16_t gain = read_i16(r + kGroupGain);
        int16_t count = read_i16(r + kGroupCount);
        for (int e = 0; e < count && out->count < kChannelCount; ++e) {
            int off = rec + kGroupEntries + e * kGroupEntrySize;
            if (off + kGroupEntrySize > avail) break;
            const uint8_t* p = block + off;
            RosterEntry& entry = out->entries[out->count++];
            entry.channel = static_cast<int8_t>(p[0]);
            entry.sample_rate = rate;
            entry.gain = gain;
            copy_name(entry.name, p + kGroupEntryName, kGroupEntryNameSize);
            int8_t kind = static_cast<int8_t>(p[kGroupEntryKind]);
            entry.event_only = (kind == 7 || (kind == 1 && rate == 200)) ? 1 : 0;
        }
    }
}

void parse_list(const uint8_t* block, int avail, Announcement* out) {
    int count = avail >= kListCount + 2 ? read_i16(block + kListCount) : 0;
    for (int e = 0; e < count && out->count < kChannelCount; ++e) {
        int off = kListEntries + e * kListEntrySize;
        if (off + kListEntrySize > avail) break;
        const uint8_t* p = block + off;
        RosterEntry& entry = out->entries[out->count++];
        entry.channel = read_i16(p + kListEntryChannel);
        entry.sample_rate = static_cast<double>(read_i32(p + kListEntryRate) / 1000000);
        entry.gain = read_i32(p + kListEntryGain);
        copy_name(entry.name, p, kListEntryNameSize);
        entry.event_only = 0;
    }
}

// A name becomes part of a file name, a header line and index rows: bytes
// that cannot stand there, or a name that is a path step, are refused.
bool usable_name(const char* name) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* p = name; *p != 0; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr) return false;
    }
    return true;
}

// Drops the entries that cannot be recorded, with one log line each.
void refuse_unusable(Announcement* a) {
    int kept = 0;
    for (int i = 0; i < a->count; ++i) {
        const RosterEntry& e = a->entries[i];
        const char* why = nullptr;
        if (!usable_name(e.name)) why = "недопустимое имя";
        for (int j = 0; j < kept && why == nullptr; ++j)
            if (std::strcmp(a->entries[j].name, e.name) == 0) why = "имя повторяется";
        if (why != nullptr) {
            write_log_linef("Канал %d: %s, канал не записывается", e.channel, why);
            continue;
        }
        a->entries[kept++] = e;
    }
    a->count = kept;
}

bool same_roster(const Announcement& a, const Roster& r) {
    if (static_cast<size_t>(a.count) != r.entries.size()) return false;
    for (int i = 0; i < a.count; ++i) {
        const RosterEntry& x = a.entries[i];
        const RosterEntry& y = r.entries[static_cast<size_t>(i)];
        if (x.channel != y.channel || std::strcmp(x.name, y.name) != 0 ||
            x.sample_rate != y.sample_rate || x.gain != y.gain || x.event_only != y.event_only)
            return false;
    }
    return true;
}

// The first announcement builds the roster. A later one that differs (the
// acquisition server was reconfigured) is published as a new version; the
// recorder writes what is queued under the old one before it takes it up.
// Returns the roster in force after the block.
std::shared_ptr<const Roster> announce(const StatusReport& status,
                                       std::shared_ptr<const Roster> now, const uint8_t* block,
                                       int avail, bool group) {
    static Announcement fresh;
    fresh = Announcement{};
    if (group)
        parse_group(block, avail, &fresh);
    else
        parse_list(block, avail, &fresh);
    refuse_unusable(&fresh);
    if (now->announced && same_roster(fresh, *now)) return now;
    now = publish_roster(std::vector<RosterEntry>(fresh.entries, fresh.entries + fresh.count));
    status.roster_changed();
    return now;
}

void sample_block(const StatusReport& status, const Roster& roster, const uint8_t* block, int step,
                  bool whole) {
    int16_t channel = read_i16(block + kChannel);
    if (channel < 0 || channel >= kChannelCount) {
        char text[64];
        std::snprintf(text, sizeof text, "Неверный номер канала: %d", channel);
        report(status, text);
        return;
    }
    if (!whole) return;  // the bytes after the message are not samples
    DecodedBlock b{};
    b.channel = channel;
    b.entry = roster.find(channel);
    b.roster_version = roster.version;
    b.time = block_time(block);
    b.rate = b.entry != nullptr ? b.entry->sample_rate : 0;
    b.samples = block + kHeaderSize;
    b.sample_count = sample_count(block);
    b.event_type = static_cast<int8_t>(block[kEventType]);
    if (b.event_type != 0) {
        double t = calendar_to_seconds(read_i16(block + kEventYear),
                                       static_cast<int8_t>(block[kEventMonth]),
                                       static_cast<int8_t>(block[kEventDay]), block[kEventHour],
                                       block[kEventMinute], block[kEventSecond]);
        // A garbled year can put the time outside 32 bits: keep it at the edge.
        if (t > 2147483647.0) t = 2147483647.0;
        if (t < -2147483648.0) t = -2147483648.0;
        b.event_time = static_cast<int32_t>(t);
    }
    b.bytes = block;
    b.length = step;
    BlockSink sink = block_sink.load();
    if (sink != nullptr) sink(b);
}

}  // namespace

void set_block_sink(BlockSink sink) { block_sink.store(sink); }

void decode_message(const StatusReport& status, uint8_t* message, int length) {
    if (decoder_busy) return;
    decoder_busy = 1;
    if (length < 0) length = 0;
    if (length > kMaxMessage) length = kMaxMessage;
    int remaining = length;
    uint8_t* cursor = message;
    std::shared_ptr<const Roster> roster = current_roster();
    while (remaining > 0) {
        // A header that does not fit in the message is not a block.
        uint16_t type = remaining >= 2 ? read_u16(cursor) : 0;
        if (remaining < kHeaderSize &&
            (type == kSampleBlock || type == kChannelGroupBlock || type == kChannelListBlock)) {
            type = 0;
        }
        int step = 0;
        if (type == kChannelGroupBlock || type == kChannelListBlock) {
            step = kAnnouncementStep;
            roster = announce(status, roster, cursor, remaining, type == kChannelGroupBlock);
        } else if (type == kSampleBlock) {
            step = block_length(cursor);
            if (step == 0) break;  // would not advance: report the remainder
            if (roster->announced)
                sample_block(
                    status, *roster, cursor, step,
                    step <= remaining && kHeaderSize + read_u16(cursor + kDataLength) <= remaining);
        } else {
            report(status, "Неверный тип блока");
            break;
        }
        cursor += step;
        remaining -= step;
    }
    if (remaining != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Размер остатка блока: %d", remaining);
        report(status, text);
    }
    std::memset(message, 0xFF, length);
    decoder_busy = 0;
}
