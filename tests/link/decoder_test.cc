// decode_message over crafted messages: the walk's remainder reports, the
// channel checks, the roster from both announcements and the hand-over.
#include "link/decoder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "common/app_state.h"
#include "link/block_queue.h"
#include "link/calendar.h"
#include "link/channel_table.h"
#include "link_blocks.h"
#include "seed/seed_service.h"
#include "seed/stream_registry.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace link_blocks;

struct Entry {
    int channel;
    std::string name;
    int kind;  // a group's entry kind; a list's rate in micro-samples per second
    int gain = 0;
};

struct Group {
    int rate, gain;
    std::vector<Entry> entries;
};

// Channel group and channel list blocks, 464 bytes or longer when the
// entries need it.
Bytes group_block(const std::vector<Group>& groups) {
    Bytes b(kAnnouncementStep, 0);
    write_u16(b.data(), kChannelGroupBlock);
    for (size_t g = 0; g < groups.size(); ++g) {
        const size_t at = kHeaderSize + g * kGroupRecordSize;
        b.resize(std::max(b.size(), at + kGroupEntries + groups[g].entries.size() * kGroupEntrySize));
        write_u16(b.data() + at + kGroupRate, static_cast<uint16_t>(groups[g].rate));
        write_u16(b.data() + at + kGroupGain, static_cast<uint16_t>(groups[g].gain));
        write_u16(b.data() + at + kGroupCount, static_cast<uint16_t>(groups[g].entries.size()));
        for (size_t e = 0; e < groups[g].entries.size(); ++e) {
            uint8_t* p = b.data() + at + kGroupEntries + e * kGroupEntrySize;
            p[0] = static_cast<uint8_t>(groups[g].entries[e].channel);
            std::strncpy(reinterpret_cast<char*>(p + kGroupEntryName), groups[g].entries[e].name.c_str(), 8);
            p[kGroupEntryKind] = static_cast<uint8_t>(groups[g].entries[e].kind);
        }
    }
    return b;
}
Bytes list_block(const std::vector<Entry>& entries) {
    Bytes b(std::max<size_t>(kAnnouncementStep, kListEntries + entries.size() * kListEntrySize), 0);
    write_u16(b.data(), kChannelListBlock);
    write_u16(b.data() + kListCount, static_cast<uint16_t>(entries.size()));
    for (size_t e = 0; e < entries.size(); ++e) {
        uint8_t* p = b.data() + kListEntries + e * kListEntrySize;
        std::strncpy(reinterpret_cast<char*>(p), entries[e].name.c_str(), 6);
        write_i32(p + kListEntryRate, entries[e].kind);
        write_i32(p + kListEntryGain, entries[e].gain);
        write_u16(p + kListEntryChannel, static_cast<uint16_t>(entries[e].channel));
    }
    return b;
}

class DecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clear();
        set_sample_sink(seed_take_samples);
    }
    void TearDown() override { clear(); }
    // A fresh station in the stream registry each time.
    static void clear() {
        static int runs = 0;
        std::snprintf(station_name, sizeof station_name, "D%d", ++runs);
        for (int c = 0; c < kChannelCount; ++c) {
            drain_channel(c);
            reset_slot_queue(c);
            channel_table[c].event_marked = channel_table[c].event_only = 0;
        }
        std::memset(channel_roster, 0, sizeof channel_roster);
        std::memset(event_table, 0, sizeof event_table);
        roster_count = 0;
        roster_pending = 1;
        selected_channels.clear();
    }
    // Decodes a copy laid into a receive buffer, as the session does.
    void decode(const Bytes& message, int length = -1) {
        buffer_.assign(kMaxMessage, 0);
        std::memcpy(buffer_.data(), message.data(), message.size());
        decode_message(buffer_.data(), length < 0 ? static_cast<int>(message.size()) : length);
    }
    void announce() { decode(group_block({{100, 3, {{5, "SHZ", 0}, {6, "SHN", 0}}}})); }
    // The log's texts since the last call, in order.
    std::vector<std::string> reports() {
        std::vector<std::string> out;
        const std::string text = log_.text();
        for (size_t a = text.find("  #", seen_); a != std::string::npos; a = text.find("  #", a + 1)) {
            const size_t b = text.find("#\r\n", a + 3);
            out.push_back(text.substr(a + 3, b - a - 3));
            seen_ = b;
        }
        return out;
    }
    static std::vector<std::string> cp(std::initializer_list<const char*> utf8) {
        std::vector<std::string> out;
        for (const char* s : utf8) out.push_back(utf8_to_cp1251(s));
        return out;
    }
    // Samples handed to the SEED service for the channel; -1 when none were.
    static int handed(const char* name) {
        StationStreams* st = streamRegistry.station(streamRegistry.findOrAddStation(station_name));
        for (int i = 0; i < st->channels.size(); ++i)
            if (st->channel(i)->name.equalsIgnoreCase(name)) return st->channel(i)->sampleCount;
        return -1;
    }
    LogCapture log_;
    size_t seen_ = 0;
    Bytes buffer_;
};

TEST_F(DecoderTest, WalkReportsWhatIsLeft) {
    Bytes odd = sample_block(5, 50), stuck = sample_block(5, 0);
    write_u16(odd.data(), 0xAD01);
    write_u16(stuck.data() + kHeaderLength, 0);
    const Bytes two = join({sample_block(5, 10), sample_block(6, 100)});
    const struct {
        const char* what;
        Bytes message;
        int length;
        std::vector<std::string> reports;
        std::vector<int> queued;  // on 5, 6 and 255
    } cases[] = {
        {"two whole blocks", two, -1, {}, {1, 1, 0}},
        {"two stray bytes", join({two, {0x12, 0x34}}), -1, cp({"Неверный тип блока", "Размер остатка блока: 2"}), {1, 1, 0}},
        {"an unknown type drops the rest", join({sample_block(5, 10), odd, sample_block(6, 10)}), -1,
         cp({"Неверный тип блока", "Размер остатка блока: 248"}), {1, 0, 0}},
        {"the last block cut short", two, int(two.size()) - 10, cp({"Размер остатка блока: -10"}), {1, 0, 0}},
        {"a length that does not advance", join({stuck, sample_block(5, 10)}), -1, cp({"Размер остатка блока: 148"}), {0, 0, 0}},
        {"channels outside the table", join({sample_block(300, 10), sample_block(-1, 10), sample_block(255, 10)}), -1,
         cp({"Неверный номер канала: 300", "Неверный номер канала: -1"}), {0, 0, 1}},  // 255: queued, not announced
    };
    for (const auto& c : cases) {
        clear();
        announce();
        decode(c.message, c.length);
        EXPECT_EQ(reports(), c.reports) << c.what;
        EXPECT_EQ(std::vector<int>({queued_block_count(5), queued_block_count(6), queued_block_count(255)}), c.queued)
            << c.what;
        EXPECT_EQ(handed("SHZ"), c.queued[0] ? 10 : -1) << c.what;  // nothing for 255
        EXPECT_EQ(handed("SHN"), c.queued[1] ? 100 : -1) << c.what;
    }
    // The receive buffer is cleared behind the message.
    decode(two);
    EXPECT_EQ(std::vector<int>({buffer_[0], buffer_[two.size() - 1], buffer_[two.size()]}),
              std::vector<int>({0xFF, 0xFF, 0}));
}

TEST_F(DecoderTest, AnnouncementOpensTheFlow) {
    decode(join({sample_block(5, 10), sample_block(6, 10)}));  // skipped silently
    EXPECT_EQ(queued_block_count(5) + roster_count, 0);
    EXPECT_EQ(roster_pending, 1);
    decode(join({group_block({{100, 3, {{5, "SHZ", 0}}}}), sample_block(5, 10)}));
    EXPECT_EQ(roster_count, 1);
    EXPECT_EQ(queued_block_count(5), 1);
    EXPECT_TRUE(reports().empty());
    clear();
    decode(list_block({}));  // an empty announcement ends the wait as well
    EXPECT_EQ(roster_pending + roster_count, 0);
    decode(sample_block(5, 10));
    EXPECT_EQ(queued_block_count(5), 1);
}

TEST_F(DecoderTest, AnnouncementsBuildTheRoster) {
    decode(group_block({{200, 4, {{1, "EHZ", 1}, {2, "EHN", 7}, {3, "EHE", 0}}},
                        {100, 2, {{4, "BHZ", 1}, {5, "FULLNAME", 2}, {-3, "NEG", 0}}},
                        {0, 0, {{9, "AFTER", 0}}}}));  // a group of rate 0 ends the list
    ASSERT_EQ(roster_count, 6);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(roster_pending, 0);
    EXPECT_STREQ(channel_roster[0].name, "EHZ");
    EXPECT_EQ(channel_roster[0].sample_rate, 200.0);
    EXPECT_EQ(channel_roster[0].gain, 4);
    EXPECT_STREQ(channel_roster[4].name, "FULLNAME");  // 8 characters without a NUL
    EXPECT_EQ(channel_roster[4].sample_rate, 100.0);
    EXPECT_EQ(channel_roster[5].channel, -3);  // kept, no slot touched
    // Event-only: kind 7, or kind 1 at 200 per second.
    EXPECT_EQ(std::vector<int>({channel_table[1].event_only, channel_table[2].event_only,
                                channel_table[3].event_only, channel_table[4].event_only}),
              std::vector<int>({1, 1, 0, 0}));

    // List rates are in micro-samples per second; at most 256 entries.
    std::vector<Entry> entries;
    for (int i = 0; i < 300; ++i) entries.push_back({i % 256, "C" + std::to_string(i), 100000000, i % 5});
    entries[0] = {5, "SHZ", 100000000, 7};
    entries[1] = {6, "LOW", 500000};
    entries[2] = {7, "SIXCHR", 1999999};
    clear();
    decode(list_block(entries));
    ASSERT_EQ(roster_count, 256);
    EXPECT_EQ(channel_roster[0].gain, 7);
    EXPECT_EQ(channel_roster[0].channel, 5);
    EXPECT_EQ(std::vector<double>({channel_roster[0].sample_rate, channel_roster[1].sample_rate,
                                   channel_roster[2].sample_rate}),
              std::vector<double>({100.0, 0.0, 1.0}));
    EXPECT_STREQ(channel_roster[2].name, "SIXCHR");
    EXPECT_EQ(channel_roster[255].channel, 255);
    // The walk steps 464 bytes and meets entry bytes, which are no block.
    EXPECT_EQ(reports().at(0), cp({"Неверный тип блока"})[0]);
    std::vector<Entry> many;
    for (int i = 0; i < 300; ++i) many.push_back({i % 128, "X" + std::to_string(i), 0});
    clear();
    decode(group_block({{20, 0, many}}));
    EXPECT_EQ(roster_count, 256);

    // Cut short by the message's end: the whole entries count.
    entries.resize(20);
    clear();
    decode(list_block(entries), kListEntries + 10 * kListEntrySize + 8);
    EXPECT_EQ(roster_count, 10);
    EXPECT_EQ(roster_pending, 0);
    EXPECT_EQ(reports().back(), cp({"Размер остатка блока: -228"})[0]);
    clear();
    decode(group_block({{100, 0, {{1, "A", 0}, {2, "B", 0}, {3, "C", 0}}}}), kHeaderSize + 6 + 2 * kGroupEntrySize + 3);
    EXPECT_EQ(roster_count, 2);
}

// After a reconnect the same announcement changes nothing; another one (the
// acquisition server was reconfigured) replaces the roster, once queued
// blocks are written, and says so.
TEST_F(DecoderTest, ChangedAnnouncementReplacesTheRoster) {
    static int writes;
    writes = 0;
    write_queued_blocks_hook = [] { ++writes; };
    announce();
    decode(join({sample_block(5, 10), group_block({{100, 3, {{5, "SHZ", 0}, {6, "SHN", 0}}}})}));
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(queued_block_count(5), 1);
    EXPECT_TRUE(reports().empty());

    decode(group_block({{50, 0, {{7, "OTHER", 0}, {5, "SHZ", 0}}}}));
    write_queued_blocks_hook = nullptr;
    EXPECT_EQ(writes, 1);
    ASSERT_EQ(roster_count, 2);
    EXPECT_STREQ(channel_roster[0].name, "OTHER");
    EXPECT_EQ(channel_roster[1].sample_rate, 50.0);
    EXPECT_EQ(queued_block_count(5), 0);  // the old meaning of slot 5 is gone
    EXPECT_EQ(reports(), cp({"Состав каналов станции изменился"}));
}

// Names end up in paths, header lines and index rows: what cannot stand
// there, and a repeated name, is refused; the rest of the roster stands.
TEST_F(DecoderTest, UnusableAndRepeatedNamesAreRefused) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"SHZ", true},   {"S'Z", true},   {"S/Z", false},    {"S\\Z", false},  {"..", false},
        {".", false},    {"A\rB", false}, {"A\nB", false},   {"A\x01", false}, {"A\x7f", false},
        {"S\"Z", false}, {"SHZ", false},  {"\xd1\xc7", true}, {"..X", true}};
    std::vector<Entry> entries;
    std::vector<std::string> kept, expected_kept, expected_reports;
    for (size_t i = 0; i < names.size(); ++i) {
        entries.push_back({int(10 + i), names[i].first, 0});
        if (names[i].second) {
            expected_kept.push_back(names[i].first);
            continue;
        }
        const std::string why = names[i].first == "SHZ" ? "имя повторяется" : "недопустимое имя";
        expected_reports.push_back(utf8_to_cp1251(
            ("Канал " + std::to_string(10 + i) + ": " + why + ", канал не записывается").c_str()));
    }
    decode(group_block({{100, 0, entries}}));
    for (int k = 0; k < roster_count; ++k) kept.push_back(channel_roster[k].name);
    EXPECT_EQ(kept, expected_kept);
    EXPECT_EQ(reports(), expected_reports);
    decode(sample_block(12, 10));  // the refused S/Z: queued, handed to no one
    EXPECT_EQ(queued_block_count(12), 1);
    EXPECT_EQ(handed("SHZ") + handed("S/Z"), -2);
}

TEST_F(DecoderTest, SampleBlocksStampEventsAndGoToSelectedChannels) {
    decode(group_block({{100, 3, {{5, "SELZ", 0}, {6, "UNSEL", 0}, {5, "TWIN", 0}}}}));
    selected_channels = {"selz"};  // differs only in case
    const double t = calendar_to_seconds(2004, 5, 17, 13, 5, 7);
    decode(sample_block(5, 40, 1000, 51, 3));
    EXPECT_EQ(channel_roster[0].last_block_time, t + 1);  // hundredths 51 round up
    EXPECT_EQ(channel_roster[0].event_marked, 1);
    EXPECT_EQ(channel_roster[2].last_block_time, 0.0);  // only the first entry of a slot
    EXPECT_EQ(channel_table[5].event_marked, 1);
    EXPECT_EQ(event_table[0].event_type, 3);
    EXPECT_EQ(event_table[0].event_time, int32_t(t + 2));
    ChannelStream* s = streamRegistry.station(streamRegistry.findOrAddStation(station_name))->channel(0);
    EXPECT_EQ(std::string(s->name.c_str()) + " " + std::to_string(s->sampleCount), "SELZ 40");
    EXPECT_EQ(s->startTime, t + 1);
    EXPECT_EQ(s->samples[0], 1000);
    EXPECT_EQ(handed("TWIN"), -1);

    decode(sample_block(6, 40, 1000, 50));
    EXPECT_EQ(channel_roster[1].last_block_time, t);
    EXPECT_EQ(handed("UNSEL"), -1);
    decode(sample_block(5, 40));
    EXPECT_EQ(channel_table[5].event_marked + channel_roster[0].event_marked, 0);
    selected_channels.clear();  // none selected: every channel goes
    decode(sample_block(6, 40, 1000, 50));
    EXPECT_EQ(handed("UNSEL"), 40);

    // Event times beyond 32 bits stay at the edge; the type is sign-extended.
    Bytes b = sample_block(5, 10, 0, 0, -2);
    write_u16(b.data() + kEventYear, static_cast<uint16_t>(-30000));
    decode(b);
    write_u16(b.data() + kEventYear, 30000);
    decode(b);
    EXPECT_EQ(std::vector<int>({event_table[1].event_type, event_table[1].event_time, event_table[2].event_time}),
              std::vector<int>({-2, INT32_MIN, INT32_MAX}));
}

}  // namespace
