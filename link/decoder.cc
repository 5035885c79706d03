// Walks one received message block by block, in place on the receive buffer
// (NetBIOS completion thread, one message at a time).
#include "link/decoder.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "link/block_format.h"
#include "link/block_queue.h"
#include "link/calendar.h"
#include "link/channel_table.h"
#include "seed/stream_registry.h"
#include "shell/app_state.h"
#include "shell/oplog.h"
#include "shell/status_dialog.h"

using namespace block_format;

namespace {

int32_t decoder_busy = 0;

void report(const char* text) {
    if (isatty(STDERR_FILENO)) {
        ssize_t ignored = write(STDERR_FILENO, "\a", 1);
        (void)ignored;
    }
    dialog_set_error_text(text);
    write_log_line(text);
}

void copy_name(char* dst, const uint8_t* src, int size) {
    int n = 0;
    while (n < size && src[n] != 0) ++n;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

// Only bytes inside the message are read; a group list without its ending
// record, or an entry count beyond the message, stops at the message's end.
void build_from_group(const uint8_t* block, int avail) {
    {
        std::lock_guard<std::recursive_mutex> lock(queue_lock);  // the status view reads the roster
        roster_count = 0;
        for (int g = 0; g < kMaxGroupRecords && roster_count < kChannelCount; ++g) {
            int rec = kHeaderSize + g * kGroupRecordSize;
            if (rec + 6 > avail) break;
            const uint8_t* r = block + rec;
            int16_t rate = read_i16(r);
            if (rate == 0) break;
            int16_t gain = read_i16(r + 2);
            int16_t count = read_i16(r + 4);
            for (int e = 0; e < count && roster_count < kChannelCount; ++e) {
                int off = rec + 6 + e * kGroupEntrySize;
                if (off + kGroupEntrySize > avail) break;
                const uint8_t* p = block + off;
                RosterEntry& entry = channel_roster[roster_count];
                std::memset(&entry, 0, sizeof entry);
                entry.channel = static_cast<int8_t>(p[0]);
                entry.sample_rate = rate;
                entry.gain = gain;
                copy_name(entry.name, p + 1, 8);
                int8_t kind = static_cast<int8_t>(p[9]);
                int32_t event_only = (kind == 7 || (kind == 1 && rate == 200)) ? 1 : 0;
                entry.event_only = event_only;
                if (entry.channel >= 0 && entry.channel < kChannelCount)
                    channel_table[entry.channel].event_only = event_only;
                ++roster_count;
            }
        }
    }
    dialog_rebuild_channel_list();
    roster_pending = 0;
}

void build_from_list(const uint8_t* block, int avail) {
    {
        std::lock_guard<std::recursive_mutex> lock(queue_lock);  // the status view reads the roster
        roster_count = 0;
        int count = avail >= kListCount + 2 ? read_i16(block + kListCount) : 0;
        for (int e = 0; e < count && roster_count < kChannelCount; ++e) {
            int off = kListEntries + e * kListEntrySize;
            if (off + kListEntrySize > avail) break;
            const uint8_t* p = block + off;
            RosterEntry& entry = channel_roster[roster_count];
            std::memset(&entry, 0, sizeof entry);
            entry.channel = read_i16(p + 14);
            entry.sample_rate = static_cast<double>(read_i32(p + 6) / 1000000);
            entry.gain = read_i32(p + 10);
            copy_name(entry.name, p, 6);
            entry.event_only = 0;
            if (entry.channel >= 0 && entry.channel < kChannelCount) channel_table[entry.channel].event_only = 0;
            ++roster_count;
        }
    }
    dialog_rebuild_channel_list();
    roster_pending = 0;
}

void sample_block(const uint8_t* block, int step, bool whole) {
    int16_t channel = read_i16(block + kChannel);
    if (channel < 0 || channel >= kChannelCount) {
        char text[64];
        std::snprintf(text, sizeof text, "Неверный номер канала: %d", channel);
        report(text);
        return;
    }
    if (!whole) return;  // the bytes after the message are not samples
    // What the ring refuses is not sent on either: no record without its file.
    if (!put_block(channel, block, step)) return;
    ChannelSlot& slot = channel_table[channel];
    int8_t event_type = static_cast<int8_t>(block[kEventType]);
    int k = -1;
    {
        // The status view reads the marks and block times under this lock.
        std::lock_guard<std::recursive_mutex> lock(queue_lock);
        slot.event_marked = event_type != 0 ? 1 : 0;
        for (int i = 0; i < roster_count && k < 0; ++i) {
            if (channel_roster[i].channel != channel) continue;
            k = i;
            channel_roster[i].last_block_time = block_time(block);
            channel_roster[i].event_marked = slot.event_marked;
        }
    }
    if (event_type != 0) {
        double t = calendar_to_seconds(read_i16(block + kEventYear), static_cast<int8_t>(block[kEventMonth]),
                                       static_cast<int8_t>(block[kEventDay]), block[kEventHour],
                                       block[kEventMinute], block[kEventSecond]);
        // A garbled year can put the time outside 32 bits: keep it at the edge.
        if (t > 2147483647.0) t = 2147483647.0;
        if (t < -2147483648.0) t = -2147483648.0;
        record_event(event_type, static_cast<int32_t>(t));
        event_countdown.store(10);
        event_active.store(1);
    }
    if (k < 0) return;
    const RosterEntry& entry = channel_roster[k];
    int n = sample_count(block);
    if (selected_channels.empty()) {
        streamRegistry.appendBlock(station_name, entry.name, entry.sample_rate, entry.last_block_time, n,
                                   block + kHeaderSize);
        return;
    }
    for (const std::string& name : selected_channels)
        if (strcasecmp(name.c_str(), entry.name) == 0)
            streamRegistry.appendBlock(station_name, entry.name, entry.sample_rate, entry.last_block_time,
                                       n, block + kHeaderSize);
}

}  // namespace

void decode_message(uint8_t* message, int length) {
    if (decoder_busy) return;
    decoder_busy = 1;
    if (length < 0) length = 0;
    if (length > kMaxMessage) length = kMaxMessage;
    int remaining = length;
    uint8_t* cursor = message;
    while (remaining > 0) {
        // A header that does not fit in the message is not a block.
        uint16_t type = remaining >= 2 ? read_u16(cursor) : 0;
        if (remaining < kHeaderSize && (type == kSampleBlock || type == kChannelGroupBlock ||
                                        type == kChannelListBlock)) {
            type = 0;
        }
        int step = 0;
        if (type == kChannelGroupBlock || type == kChannelListBlock) {
            step = kAnnouncementStep;
            if (roster_pending == 1) {
                if (type == kChannelGroupBlock)
                    build_from_group(cursor, remaining);
                else
                    build_from_list(cursor, remaining);
            }
        } else if (type == kSampleBlock) {
            step = block_length(cursor);
            if (step == 0) break;  // would not advance: report the remainder
            if (roster_pending != 1) sample_block(cursor, step, step <= remaining && kHeaderSize + read_u16(cursor + kDataLength) <= remaining);
        } else {
            report("Неверный тип блока");
            break;
        }
        cursor += step;
        remaining -= step;
    }
    if (remaining != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Размер остатка блока: %d", remaining);
        report(text);
    }
    std::memset(message, 0xFF, length);
    decoder_busy = 0;
}
