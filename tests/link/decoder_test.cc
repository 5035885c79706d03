// decode_message over crafted messages: the walk's remainder reports, the
// roster from both announcements and the hand-over; and the calendar that
// times the blocks.
#include "link/decoder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/station_context.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "link_blocks.h"
#include "seed/seed_service.h"
#include "seed/stream_registry.h"
#include "tests/seed/log_capture.h"

namespace {

using namespace link_blocks;
using Ints = std::vector<int>;

struct Entry {
    int channel;
    std::string name;
    int kind = 0;  // in a list: the rate in micro-samples per second
};
struct Group {
    int rate, gain;
    std::vector<Entry> entries;
};

// Channel group and channel list blocks, 464 bytes or longer.
Bytes group_block(const std::vector<Group>& groups) {
    Bytes b(kAnnouncementStep, 0);
    write_u16(b.data(), kChannelGroupBlock);
    for (size_t g = 0; g < groups.size(); ++g) {
        const size_t at = kHeaderSize + g * kGroupRecordSize;
        const auto& entries = groups[g].entries;
        b.resize(std::max(b.size(), at + kGroupEntries + entries.size() * kGroupEntrySize));
        write_u16(&b[at + kGroupRate], static_cast<uint16_t>(groups[g].rate));
        write_u16(&b[at + kGroupGain], static_cast<uint16_t>(groups[g].gain));
        write_u16(&b[at + kGroupCount], static_cast<uint16_t>(entries.size()));
        for (size_t e = 0; e < entries.size(); ++e) {
            uint8_t* p = &b[at + kGroupEntries + e * kGroupEntrySize];
            p[0] = static_cast<uint8_t>(entries[e].channel);
            std::strncpy(reinterpret_cast<char*>(p + kGroupEntryName), entries[e].name.c_str(), 8);
            p[kGroupEntryKind] = static_cast<uint8_t>(entries[e].kind);
        }
    }
    return b;
}
Bytes list_block(const std::vector<Entry>& entries) {
    Bytes b(std::max<size_t>(kAnnouncementStep, kListEntries + entries.size() * kListEntrySize));
    write_u16(b.data(), kChannelListBlock);
    write_u16(&b[kListCount], static_cast<uint16_t>(entries.size()));
    for (size_t e = 0; e < entries.size(); ++e) {
        uint8_t* p = &b[kListEntries + e * kListEntrySize];
        std::strncpy(reinterpret_cast<char*>(p), entries[e].name.c_str(), 6);
        write_i32(p + kListEntryRate, entries[e].kind);
        write_i32(p + kListEntryGain, static_cast<int32_t>(e % 5));
        write_u16(p + kListEntryChannel, static_cast<uint16_t>(entries[e].channel));
    }
    return b;
}

std::string cp(const std::string& utf8) { return utf8_to_cp1251(utf8.c_str()); }

// The station of the case being run; a fresh one for each.
std::unique_ptr<StationContext> station;

// What main wires: the block queue, then the SEED service for announced channels.
void wire(const DecodedBlock& b) {
    if (queue_decoded_block(b, station->status) && b.entry != nullptr)
        seed_take_samples(b.entry->name, b.rate, b.time, b.sample_count, b.samples);
}

class DecoderTest : public ::testing::Test {
  protected:
    void SetUp() override { clear(), set_block_sink(wire); }
    void TearDown() override { clear(); }
    // Every slot empty, no roster, and a fresh station in the stream registry.
    static void clear() {
        static int runs = 0;
        auto fresh = std::make_unique<StationContext>();
        std::snprintf(fresh->station_name, sizeof fresh->station_name, "D%d", ++runs);
        start_seed_service(*fresh);
        station = std::move(fresh);
        for (int c = 0; c < kChannelCount; ++c)
            drain_channel(c), reset_slot_queue(c), reset_slot_marks(c);
        publish_roster({}, false), clear_event_table();
    }
    // Decodes a copy laid into a receive buffer, as the session does.
    void decode(const Bytes& message, int length = -1) {
        Bytes buffer(kMaxMessage + 1, 0);  // a walk past the maximum fails the test, not the run
        std::memcpy(buffer.data(), message.data(), message.size());
        decode_message(station->status, buffer.data(),
                       length < 0 ? static_cast<int>(message.size()) : length);
    }
    // The log's texts since the last call, in order.
    std::vector<std::string> reports() {
        std::vector<std::string> out;
        const std::string text = log_.text();
        for (size_t a = text.find("  #", seen_); a != std::string::npos;
             a = text.find("  #", a + 1)) {
            seen_ = text.find("#\r\n", a + 3);
            out.push_back(text.substr(a + 3, seen_ - a - 3));
        }
        return out;
    }
    // The roster as "name@channel:rate:gain" entries, and its size.
    static std::string roster() {
        std::string out;
        const auto r = current_roster();
        for (const RosterEntry& e : r->entries)
            out += std::string(e.name) + "@" + std::to_string(e.channel) + ":" +
                   std::to_string(int(e.sample_rate)) + ":" + std::to_string(e.gain) + " ";
        return out + std::to_string(r->entries.size());
    }
    // The SEED service's stream of the channel; null when none was handed over.
    static const ChannelStream* stream(const char* name) {
        StreamRegistry& streams = seed_streams();
        StationStreams* st = streams.station(streams.findOrAddStation(station->station_name));
        for (int i = 0; i < st->channels.size(); ++i)
            if (st->channel(i)->name.equalsIgnoreCase(name)) return st->channel(i);
        return nullptr;
    }
    static int handed(const char* name) { return stream(name) ? stream(name)->sampleCount : -1; }
    LogCapture log_;
    size_t seen_ = 0;
};

TEST_F(DecoderTest, WalkReportsWhatIsLeft) {
    Bytes odd = sample_block(5, 50), stuck = sample_block(5, 0);
    write_u16(odd.data(), 0xAD01);
    write_u16(&stuck[kHeaderLength], 0);
    const Bytes two = join({sample_block(5, 10), sample_block(6, 100)});
    // Channel 6's 100 samples and an odd last byte: a block that ends with the message.
    Bytes odd_end = sample_block(6, 100);
    write_u16(&odd_end[kDataLength], 201), odd_end.push_back(0);
    const Bytes fits = join({sample_block(5, 10), odd_end});
    const std::string type = "Неверный тип блока", left = "Размер остатка блока: ";
    const struct {
        Bytes message;
        int length;
        std::vector<std::string> reports;
        Ints queued;  // on 5, 6 and 255
    } cases[] = {
        {two, -1, {}, {1, 1, 0}},
        {join({two, {0x12, 0x34}}), -1, {type, left + "2"}, {1, 1, 0}},
        {join({sample_block(5, 10), odd, sample_block(6, 10)}), -1, {type, left + "248"}, {1, 0, 0}},
        {fits, -1, {}, {1, 1, 0}},
        {fits, int(fits.size()) - 1, {left + "-1"}, {1, 0, 0}},  // one byte short
        {join({stuck, sample_block(5, 10)}), -1, {left + "148"}, {0, 0, 0}},
        {join({sample_block(256, 10), sample_block(-1, 10), sample_block(255, 10)}), -1,
         {"Неверный номер канала: 256", "Неверный номер канала: -1"}, {0, 0, 1}},
    };
    for (const auto& c : cases) {
        clear();
        decode(group_block({{100, 3, {{5, "SHZ"}, {6, "SHN"}}}}));
        decode(c.message, c.length);
        std::vector<std::string> expected;
        for (const std::string& r : c.reports) expected.push_back(cp(r));
        EXPECT_EQ(reports(), expected) << expected.size();
        EXPECT_EQ(Ints({queued_block_count(5), queued_block_count(6), queued_block_count(255),
                        handed("SHZ"), handed("SHN")}),
                  Ints({c.queued[0], c.queued[1], c.queued[2], c.queued[0] ? 10 : -1,
                        c.queued[1] ? 100 : -1}));
    }
    // The longest message, 65,535 bytes, is one block; a longer length is cut to it.
    Bytes longest = sample_block(6, 32735);
    write_u16(&longest[kDataLength], 65471), longest.push_back(0);
    decode(longest, kMaxMessage + 1);
    Bytes taken(kMaxMessage);
    EXPECT_EQ(Ints({int(reports().size()), queued_block_count(6),
                    take_block(6, taken.data(), taken.size())}),
              Ints({0, 1, 1}));
}

// Announcements at their edges: 256 roster entries (the 257th dropped), 16 group records (the
// 17th ignored), a group's signed-byte channel numbers, list numbers 255 / 256 / -1.
TEST_F(DecoderTest, AnnouncementsOpenTheFlowBuildTheRosterAndHoldAtTheirEdge) {
    std::vector<Entry> many;  // not "C" + string: GCC 12 warns falsely on it at -O3
    for (int i = 0; i < 257; ++i)
        many.push_back({i % 256, std::to_string(1000 + i).replace(0, 1, "C")});
    std::vector<Group> records;
    for (int g = 0; g < 17; ++g)
        records.push_back({100, 0, {{g, std::string("G") += std::to_string(g)}}});
    const struct {
        Bytes announcement;
        std::string last;  // the last entry and the roster's size
    } cases[] = {
        {list_block(many), "C255@255:0:0 256"},
        {group_block(records), "G15@15:100:0 16"},
        {group_block({{100, 0, {{127, "HI"}, {128, "LO"}, {255, "FF"}}}}), "FF@-1:100:0 3"},
        {list_block({{255, "TOP", 100000000}, {256, "OVER"}, {-1, "NEG"}}), "NEG@-1:0:2 3"},
    };
    for (const auto& c : cases) {
        clear();
        decode(c.announcement);
        const std::string all = roster();
        const size_t cut = all.rfind(' ', all.rfind(' ') - 1);
        EXPECT_EQ(all.substr(cut == std::string::npos ? 0 : cut + 1), c.last) << all;
    }
    // The group's numbers are signed bytes; only 0..255 of a list's numbers have a channel.
    EXPECT_EQ(roster(), "TOP@255:100:0 OVER@256:0:1 NEG@-1:0:2 3");
    const auto r = current_roster();
    EXPECT_EQ(Ints({r->find(255) == &r->entries[0], r->find(256) == nullptr,
                    r->find(-1) == nullptr}),
              Ints({1, 1, 1}));
    reports();
    decode(join({sample_block(255, 10), sample_block(256, 10)}));
    EXPECT_EQ(reports(), std::vector<std::string>{cp("Неверный номер канала: 256")});
    EXPECT_EQ(handed("TOP"), 10);

    clear();
    decode(join({sample_block(5, 10), sample_block(6, 10)}));  // skipped silently
    EXPECT_EQ(queued_block_count(5) + current_roster()->announced, 0);
    decode(join({list_block({}), sample_block(5, 10)}));  // even an empty one opens it
    EXPECT_EQ(Ints({queued_block_count(5), current_roster()->announced}), Ints({1, 1}));

    clear();
    decode(group_block({{200, 4, {{1, "EHZ", 1}, {2, "EHN", 7}, {3, "EHE"}}},
                        {100, 2, {{4, "BHZ", 1}, {5, "FULLNAME", 2}, {-3, "NEG"}}},
                        {0, 0, {{9, "AFTER"}}}}));  // a group of rate 0 ends the list
    EXPECT_TRUE(reports().empty());
    // Names of 8 characters have no NUL; a channel number below 0 is kept.
    EXPECT_EQ(roster(),
              "EHZ@1:200:4 EHN@2:200:4 EHE@3:200:4 BHZ@4:100:2 FULLNAME@5:100:2 NEG@-3:100:2 6");
    // Event-only: kind 7, or kind 1 at 200 per second.
    const auto e = current_roster();
    EXPECT_EQ(Ints({e->find(1)->event_only, e->find(2)->event_only, e->find(3)->event_only,
                    e->find(4)->event_only}),
              Ints({1, 1, 0, 0}));
    // List rates are whole samples per second.
    clear();
    decode(list_block({{5, "SHZ", 100000000}, {6, "LOW", 500000}, {7, "SIXCHR", 1999999}}));
    EXPECT_EQ(roster(), "SHZ@5:100:0 LOW@6:0:1 SIXCHR@7:1:2 3");
}

TEST_F(DecoderTest, SampleBlocksStampEventsGoToSelectedChannelsAndAreTimed) {
    decode(group_block({{100, 3, {{5, "SELZ"}, {6, "UNSEL"}, {5, "TWIN"}}}}));
    station->selected_channels = {"selz", "TWIN"};  // names that differ only in case
    const int32_t t = 1084799107;          // 2004-05-17 13:05:07
    decode(sample_block(5, 40, 1000, 51, 3));
    const EventEntry* event_table = event_entries();
    EXPECT_EQ(Ints({slot_state(5).event_marked, event_table[0].event_type,
                    event_table[0].event_time, handed("SELZ"), handed("TWIN")}),
              Ints({1, 3, t + 2, 40, -1}));  // only the first entry of a slot
    EXPECT_EQ(stream("SELZ")->startTime, t + 1);  // hundredths 51 round up
    decode(sample_block(6, 40));
    EXPECT_EQ(handed("UNSEL"), -1);
    decode(sample_block(5, 40));
    EXPECT_EQ(slot_state(5).event_marked, 0);
    station->selected_channels.clear();  // none selected: every channel goes
    decode(sample_block(6, 40));
    EXPECT_EQ(handed("UNSEL"), 40);
    // Event times beyond 32 bits stay at the edge; the type is sign-extended.
    Bytes b = sample_block(5, 10, 0, 0, -2);
    for (int year : {-30000, 30000}) write_u16(&b[kEventYear], uint16_t(year)), decode(b);
    EXPECT_EQ(Ints({event_table[1].event_type, event_table[1].event_time, event_table[2].event_time}),
              Ints({-2, INT32_MIN, INT32_MAX}));

    // The calendar that times the blocks.
    for (int year : {1901, 1969, 1972, 1999, 2000, 2004, 2100, 2400})
        for (int month : {1, 2, 3, 12}) {
            const int day = month == 2 ? 28 : 31;
            struct tm t {};
            t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = 13, t.tm_min = 5;
            EXPECT_EQ(calendar_to_seconds(year, month, day, 13, 5, 0), double(timegm(&t))) << year;
            // Back again across the ends of 4-, 100- and 400-year cycles.
            CalendarTime c;
            if (year < 1970) continue;
            ASSERT_TRUE(calendar_from_seconds(calendar_to_seconds(year, month, day, 23, 59, 58) + .25, &c));
            EXPECT_EQ(Ints({c.year, c.month, c.day, c.hour, c.minute, int(c.second * 4)}),
                      Ints({year, month, day, 23, 59, 233}));
        }
    EXPECT_EQ(calendar_to_seconds(2026, 0, 1, 0, 0, 0), calendar_to_seconds(2026, 1, 1, 0, 0, 0));
    EXPECT_EQ(calendar_to_seconds(2026, 13, 1, 0, 0, 0), calendar_to_seconds(2026, 12, 1, 0, 0, 0));
    CalendarTime c;
    for (double no_time : {std::nan(""), 1e300, -1e12}) EXPECT_FALSE(calendar_from_seconds(no_time, &c));
    // A block's time: hundredths above 50 round up.
    const double base = calendar_to_seconds(2004, 5, 17, 13, 5, 7);
    for (auto [hundredths, rounded] : {std::pair{0, 0}, {50, 0}, {51, 1}, {99, 1}})
        EXPECT_EQ(block_time(sample_block(1, 0, 0, hundredths).data()), base + rounded) << hundredths;
}

}  // namespace
