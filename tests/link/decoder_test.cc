// decode_message over crafted messages: the walk's remainder reports, the
// channel checks, the roster from both announcements and the hand-over.
#include "link/decoder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "link/block_format.h"
#include "link/block_queue.h"
#include "common/calendar.h"
#include "link/channel_table.h"
#include "seed/seed_service.h"
#include "seed/stream_registry.h"
#include "common/app_state.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace block_format;
using Bytes = std::vector<uint8_t>;

// 2004-05-17 13:05:ss into the time fields at the given offsets.
void stamp(uint8_t* b, int year, int month, int day, int hour, int minute, int second, int ss) {
    write_u16(b + year, 2004);
    b[month] = 5;
    b[day] = 17;
    b[hour] = 13;
    b[minute] = 5;
    b[second] = static_cast<uint8_t>(ss);
}

Bytes sample_block(int channel, int samples, int hundredths = 0, int8_t event_type = 0) {
    Bytes b(kHeaderSize + 2 * samples, 0);
    write_u16(b.data() + kType, kSampleBlock);
    write_u16(b.data() + kHeaderLength, kHeaderSize);
    write_u16(b.data() + kDataLength, static_cast<uint16_t>(2 * samples));
    write_u16(b.data() + kChannel, static_cast<uint16_t>(channel));
    stamp(b.data(), kYear, kMonth, kDay, kHour, kMinute, kSecond, 7);
    b[kHundredths] = static_cast<uint8_t>(hundredths);
    b[kEventType] = static_cast<uint8_t>(event_type);
    stamp(b.data(), kEventYear, kEventMonth, kEventDay, kEventHour, kEventMinute, kEventSecond, 9);
    for (int i = 0; i < samples; ++i) write_u16(b.data() + kHeaderSize + 2 * i, static_cast<uint16_t>(1000 + i));
    return b;
}

struct GroupChannel {
    int channel;
    std::string name;
    int kind;
};
struct Group {
    int rate, gain;
    std::vector<GroupChannel> channels;
};

// A channel group block of 464 bytes or longer when the groups need it.
Bytes group_block(const std::vector<Group>& groups) {
    Bytes b(kAnnouncementStep, 0);
    write_u16(b.data(), kChannelGroupBlock);
    int off = kHeaderSize;
    for (const Group& g : groups) {
        size_t need = off + 6 + g.channels.size() * kGroupEntrySize;
        if (b.size() < need) b.resize(need, 0);
        write_u16(b.data() + off, static_cast<uint16_t>(g.rate));
        write_u16(b.data() + off + 2, static_cast<uint16_t>(g.gain));
        write_u16(b.data() + off + 4, static_cast<uint16_t>(g.channels.size()));
        for (size_t e = 0; e < g.channels.size(); ++e) {
            uint8_t* p = b.data() + off + 6 + e * kGroupEntrySize;
            p[0] = static_cast<uint8_t>(g.channels[e].channel);
            std::strncpy(reinterpret_cast<char*>(p + 1), g.channels[e].name.c_str(), 8);
            p[9] = static_cast<uint8_t>(g.channels[e].kind);
        }
        off += kGroupRecordSize;
    }
    return b;
}

struct ListChannel {
    std::string name;
    int32_t rate, gain;
    int channel;
};
Bytes list_block(const std::vector<ListChannel>& channels, int count = -1) {
    Bytes b(std::max<size_t>(kAnnouncementStep, kListEntries + channels.size() * kListEntrySize), 0);
    write_u16(b.data(), kChannelListBlock);
    write_u16(b.data() + kListCount, static_cast<uint16_t>(count < 0 ? channels.size() : count));
    for (size_t e = 0; e < channels.size(); ++e) {
        uint8_t* p = b.data() + kListEntries + e * kListEntrySize;
        std::strncpy(reinterpret_cast<char*>(p), channels[e].name.c_str(), 6);
        write_i32(p + 6, channels[e].rate);
        write_i32(p + 10, channels[e].gain);
        write_u16(p + 14, static_cast<uint16_t>(channels[e].channel));
    }
    return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class DecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clear();
        set_sample_sink(seed_take_samples);
        std::snprintf(station_name, sizeof station_name, "DECT");
        streamRegistry.findOrAddStation(station_name);
    }
    void TearDown() override { clear(); }
    static void clear() {
        for (int c = 0; c < kChannelCount; ++c) {
            drain_channel(c);
            reset_slot_queue(c);
            channel_table[c].event_marked = 0;
            channel_table[c].event_only = 0;
        }
        std::memset(channel_roster, 0, sizeof channel_roster);
        std::memset(event_table, 0, sizeof event_table);
        roster_count = 0;
        roster_pending = 1;
        selected_channels.clear();
    }
    // Decodes a copy laid into a receive buffer, as the session does.
    void decode(const Bytes& message, int length = -1) {
        buffer_.assign(65535, 0);
        std::memcpy(buffer_.data(), message.data(), std::min<size_t>(message.size(), buffer_.size()));
        decode_message(buffer_.data(), length < 0 ? static_cast<int>(message.size()) : length);
    }
    void announce() { decode(group_block({{100, 3, {{5, "SHZ", 0}, {6, "SHN", 0}}}})); }
    // The log's texts, in order.
    std::vector<std::string> reports() const {
        std::vector<std::string> out;
        const std::string text = log_.text();
        for (size_t a = text.find("  #"); a != std::string::npos; a = text.find("  #", a + 1)) {
            size_t b = text.find("#\r\n", a + 3);
            if (b == std::string::npos) break;
            out.push_back(text.substr(a + 3, b - a - 3));
        }
        return out;
    }
    static std::string cp(const char* utf8) { return utf8_to_cp1251(utf8); }
    ChannelStream* stream(const char* name) {
        StationStreams* st = streamRegistry.station(streamRegistry.findOrAddStation(station_name));
        for (int i = 0; i < st->channels.size(); ++i)
            if (st->channel(i)->name.equalsIgnoreCase(name)) return st->channel(i);
        return nullptr;
    }
    LogCapture log_;
    Bytes buffer_;
};

TEST_F(DecoderTest, RemainderReports) {
    announce();
    ASSERT_EQ(roster_pending, 0);
    const Bytes two = join({sample_block(5, 100), sample_block(6, 100)});
    ASSERT_EQ(two.size(), 528u);
    decode(two);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(channel_table[5].queued_blocks, 1);
    EXPECT_EQ(channel_table[6].queued_blocks, 1);
    // The receive buffer is cleared behind the message.
    EXPECT_EQ(buffer_[0], 0xFF);
    EXPECT_EQ(buffer_[527], 0xFF);
    EXPECT_EQ(buffer_[528], 0x00);

    decode(join({two, Bytes{0x12, 0x34}}));
    EXPECT_EQ(reports(), (std::vector<std::string>{cp("Неверный тип блока"), cp("Размер остатка блока: 2")}));
    EXPECT_EQ(channel_table[5].queued_blocks, 2);
}

TEST_F(DecoderTest, UnknownTypeReportsTheBytesToTheEnd) {
    announce();
    Bytes odd = sample_block(5, 50);
    write_u16(odd.data(), 0xAD01);
    decode(join({sample_block(5, 10), odd, sample_block(6, 10)}));
    EXPECT_EQ(reports(),
              (std::vector<std::string>{cp("Неверный тип блока"), cp("Размер остатка блока: 248")}));
    EXPECT_EQ(channel_table[5].queued_blocks, 1);
    EXPECT_EQ(channel_table[6].queued_blocks, 0);  // the rest of the message is dropped
}

TEST_F(DecoderTest, LastBlockCutShortIsReportedAndNotQueued) {
    announce();
    Bytes message = join({sample_block(5, 10), sample_block(6, 100)});
    decode(message, static_cast<int>(message.size()) - 10);
    EXPECT_EQ(reports(), (std::vector<std::string>{cp("Размер остатка блока: -10")}));
    EXPECT_EQ(channel_table[5].queued_blocks, 1);
    EXPECT_EQ(channel_table[6].queued_blocks, 0);

    // Lengths that do not advance the walk stop it.
    Bytes stuck = sample_block(5, 0);
    write_u16(stuck.data() + kHeaderLength, 0);
    decode(join({stuck, sample_block(5, 10)}));
    EXPECT_EQ(reports().back(), cp("Размер остатка блока: 148"));
}

TEST_F(DecoderTest, ChannelNumbersOutsideTheTable) {
    announce();
    decode(join({sample_block(300, 10), sample_block(-1, 10), sample_block(255, 10)}));
    EXPECT_EQ(reports(), (std::vector<std::string>{cp("Неверный номер канала: 300"),
                                                   cp("Неверный номер канала: -1")}));
    EXPECT_EQ(channel_table[255].queued_blocks, 1);  // no roster entry, still queued
    EXPECT_EQ(channel_roster[0].last_block_time, 0.0);
}

TEST_F(DecoderTest, SampleBlocksBeforeTheRosterAreSkippedSilently) {
    decode(join({sample_block(5, 10), sample_block(6, 10)}));
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(channel_table[5].queued_blocks, 0);
    EXPECT_EQ(roster_pending, 1);
    // The announcement opens the flow within the same message.
    decode(join({group_block({{100, 3, {{5, "SHZ", 0}}}}), sample_block(5, 10)}));
    EXPECT_EQ(roster_count, 1);
    EXPECT_EQ(channel_table[5].queued_blocks, 1);
    EXPECT_TRUE(reports().empty());
}

TEST_F(DecoderTest, GroupAnnouncementBuildsTheRosterOnce) {
    decode(group_block({{200, 4, {{1, "EHZ", 1}, {2, "EHN", 7}, {3, "EHE", 0}}},
                        {100, 2, {{4, "BHZ", 1}, {5, "FULLNAME", 2}, {-3, "NEG", 0}}},
                        {0, 0, {{9, "AFTER", 0}}}}));
    ASSERT_EQ(roster_count, 6);
    EXPECT_STREQ(channel_roster[0].name, "EHZ");
    EXPECT_EQ(channel_roster[0].sample_rate, 200.0);
    EXPECT_EQ(channel_roster[0].gain, 4);
    EXPECT_EQ(channel_roster[0].event_only, 1);  // kind 1 at 200 per second
    EXPECT_EQ(channel_roster[1].event_only, 1);  // kind 7
    EXPECT_EQ(channel_roster[2].event_only, 0);
    EXPECT_EQ(channel_roster[3].event_only, 0);  // kind 1 at 100 per second
    EXPECT_EQ(channel_table[1].event_only, 1);
    EXPECT_EQ(channel_table[2].event_only, 1);
    EXPECT_EQ(channel_table[4].event_only, 0);
    EXPECT_STREQ(channel_roster[4].name, "FULLNAME");  // 8 characters without a NUL
    EXPECT_EQ(channel_roster[4].sample_rate, 100.0);
    EXPECT_EQ(channel_roster[5].channel, -3);  // kept, no slot touched
    EXPECT_EQ(roster_pending, 0);

    EXPECT_TRUE(reports().empty());
}

// After a reconnect the same announcement changes nothing; another one (the
// acquisition server was reconfigured) replaces the roster, once queued
// blocks are written, and says so.
TEST_F(DecoderTest, ChangedAnnouncementReplacesTheRoster) {
    static int writes;
    writes = 0;
    retire_roster_hook = [] { ++writes; };
    announce();
    decode(join({sample_block(5, 10), group_block({{100, 3, {{5, "SHZ", 0}, {6, "SHN", 0}}}})}));
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(channel_table[5].queued_blocks, 1);
    EXPECT_TRUE(reports().empty());

    decode(group_block({{50, 0, {{7, "OTHER", 0}, {5, "SHZ", 0}}}}));
    retire_roster_hook = nullptr;
    EXPECT_EQ(writes, 1);
    ASSERT_EQ(roster_count, 2);
    EXPECT_STREQ(channel_roster[0].name, "OTHER");
    EXPECT_EQ(channel_roster[1].sample_rate, 50.0);
    EXPECT_EQ(channel_table[5].queued_blocks, 0);  // the old meaning of slot 5 is gone
    EXPECT_EQ(reports(), std::vector<std::string>{cp("Состав каналов станции изменился")});
}

// Names end up in paths, header lines and index rows: what cannot stand
// there, and a repeated name, is refused; the rest of the roster stands.
TEST_F(DecoderTest, UnusableAndRepeatedNamesAreRefused) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"SHZ", true},   {"S'Z", true},    {"S/Z", false},    {"S\\Z", false}, {"..", false},
        {".", false},    {"A\rB", false},  {"A\nB", false},   {"A\x01", false}, {"A\x7f", false},
        {"S\"Z", false}, {"SHZ", false},   {"\xd1\xc7", true}, {"..X", true}};
    std::vector<GroupChannel> entries;
    for (size_t i = 0; i < names.size(); ++i) entries.push_back({int(10 + i), names[i].first, 0});
    decode(group_block({{100, 0, entries}}));
    std::vector<std::string> kept, expected_kept, expected_reports;
    for (int k = 0; k < roster_count; ++k) kept.push_back(channel_roster[k].name);
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].second) {
            expected_kept.push_back(names[i].first);
            continue;
        }
        const bool repeated = names[i].first == "SHZ";
        const std::string text = "Канал " + std::to_string(10 + i) + ": " +
                                 (repeated ? "имя повторяется" : "недопустимое имя") +
                                 ", канал не записывается";
        expected_reports.push_back(cp(text.c_str()));
    }
    EXPECT_EQ(kept, expected_kept);
    EXPECT_EQ(reports(), expected_reports);
    decode(sample_block(12, 10));  // the refused S/Z: queued, served to no one
    EXPECT_EQ(channel_roster[0].last_block_time, 0.0);
}

TEST_F(DecoderTest, EmptyAnnouncementEndsThePendingRoster) {
    decode(list_block({}));
    EXPECT_EQ(roster_pending, 0);
    EXPECT_EQ(roster_count, 0);
    decode(sample_block(5, 10));
    EXPECT_EQ(channel_table[5].queued_blocks, 1);
}

TEST_F(DecoderTest, ListAnnouncementDividesRatesAndStopsAt256) {
    std::vector<ListChannel> channels;
    for (int i = 0; i < 300; ++i) channels.push_back({"C" + std::to_string(i), 100000000, i % 5, i % 256});
    channels[0] = {"SHZ", 100000000, 7, 5};
    channels[1] = {"LOW", 500000, 0, 6};
    channels[2] = {"SIXCHR", 1999999, 0, 7};
    Bytes b = list_block(channels);
    decode(b);
    ASSERT_EQ(roster_count, 256);
    EXPECT_EQ(channel_roster[0].sample_rate, 100.0);
    EXPECT_EQ(channel_roster[0].gain, 7);
    EXPECT_EQ(channel_roster[0].channel, 5);
    EXPECT_EQ(channel_roster[1].sample_rate, 0.0);
    EXPECT_EQ(channel_roster[2].sample_rate, 1.0);
    EXPECT_STREQ(channel_roster[2].name, "SIXCHR");
    EXPECT_EQ(channel_roster[255].channel, 255);
    EXPECT_EQ(channel_roster[255].event_only, 0);
    // The walk steps 464 bytes and meets entry bytes, which are no block.
    ASSERT_GE(reports().size(), 1u);
    EXPECT_EQ(reports()[0], cp("Неверный тип блока"));
}

TEST_F(DecoderTest, AnnouncementCutShortByTheMessageEnd) {
    std::vector<ListChannel> channels;
    for (int i = 0; i < 20; ++i) channels.push_back({"C" + std::to_string(i), 1000000, 0, i});
    Bytes b = list_block(channels);
    // Entries 0..9 whole, entry 10 half inside the message.
    decode(b, kListEntries + 10 * kListEntrySize + 8);
    EXPECT_EQ(roster_count, 10);
    EXPECT_EQ(roster_pending, 0);
    EXPECT_EQ(reports().back(), cp("Размер остатка блока: -228"));

    clear();
    Bytes g = group_block({{100, 0, {{1, "A", 0}, {2, "B", 0}, {3, "C", 0}}}});
    decode(g, kHeaderSize + 6 + 2 * kGroupEntrySize + 3);
    EXPECT_EQ(roster_count, 2);
}

TEST_F(DecoderTest, GroupEntriesStopAt256) {
    std::vector<GroupChannel> many;
    for (int i = 0; i < 300; ++i) many.push_back({i % 128, "X" + std::to_string(i), 0});
    decode(group_block({{20, 0, many}}));
    EXPECT_EQ(roster_count, 256);
}

TEST_F(DecoderTest, SampleBlockStampsEventsAndHandsOverSelectedChannels) {
    decode(group_block({{100, 3, {{5, "SELZ", 0}, {6, "UNSEL", 0}, {5, "TWIN", 0}}}}));
    selected_channels = {"selz"};
    decode(sample_block(5, 40, 51, 3));
    const double t = calendar_to_seconds(2004, 5, 17, 13, 5, 7);
    EXPECT_EQ(channel_roster[0].last_block_time, t + 1);  // hundredths 51 round up
    EXPECT_EQ(channel_roster[0].event_marked, 1);
    EXPECT_EQ(channel_roster[2].last_block_time, 0.0);  // only the first entry of a slot
    EXPECT_EQ(channel_table[5].event_marked, 1);
    EXPECT_EQ(event_table[0].event_type, 3);
    EXPECT_EQ(event_table[0].event_time, static_cast<int32_t>(calendar_to_seconds(2004, 5, 17, 13, 5, 9)));
    // Selected by a name that differs only in case.
    ChannelStream* s = stream("SELZ");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sampleCount, 40);
    EXPECT_EQ(s->startTime, t + 1);
    EXPECT_EQ(s->samples[0], 1000);
    EXPECT_EQ(stream("TWIN"), nullptr);

    decode(sample_block(6, 40, 50));
    EXPECT_EQ(channel_roster[1].last_block_time, t);
    EXPECT_EQ(channel_table[6].event_marked, 0);
    EXPECT_EQ(stream("UNSEL"), nullptr);  // not selected

    decode(sample_block(5, 40, 0, 0));
    EXPECT_EQ(channel_table[5].event_marked, 0);
    EXPECT_EQ(channel_roster[0].event_marked, 0);
}

TEST_F(DecoderTest, EventTimeBeyond32BitsStaysAtTheEdge) {
    announce();
    Bytes b = sample_block(5, 10, 0, -2);
    write_u16(b.data() + kEventYear, static_cast<uint16_t>(-30000));
    decode(b);
    EXPECT_EQ(event_table[0].event_type, -2);  // sign-extended from its byte
    EXPECT_EQ(event_table[0].event_time, INT32_MIN);
    write_u16(b.data() + kEventYear, 30000);
    decode(b);
    EXPECT_EQ(event_table[1].event_time, INT32_MAX);
}

TEST_F(DecoderTest, EmptySelectionHandsEveryChannelOver) {
    decode(group_block({{100, 3, {{8, "DHZ", 0}}}}));
    decode(join({sample_block(8, 30), sample_block(8, 30)}));
    ChannelStream* s = stream("DHZ");
    ASSERT_NE(s, nullptr);
    EXPECT_GT(s->sampleCount, 0);
}

TEST(CalendarLeapYears, KnownCounts) {
    EXPECT_EQ(calendar_to_seconds(2000, 2, 29, 12, 0, 0), 951825600.0);
    EXPECT_EQ(calendar_to_seconds(1970, 1, 1, 0, 0, 0), 0.0);
    // Day after Feb 28 in a century year that is not a leap year.
    EXPECT_EQ(calendar_to_seconds(2100, 3, 1, 0, 0, 0) - calendar_to_seconds(2100, 2, 28, 0, 0, 0), 86400.0);
    EXPECT_EQ(calendar_to_seconds(2000, 3, 1, 0, 0, 0) - calendar_to_seconds(2000, 2, 28, 0, 0, 0), 2 * 86400.0);
}

}  // namespace
