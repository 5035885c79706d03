// The status dialog's model: cell formats, saved widths and the lamp's ticks
// (the rows built from the roster are checked by the browser test).
#include "shell/status_dialog.h"

#include <gtest/gtest.h>

#include "common/calendar.h"

namespace {

const double kBlockTime = calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75;

template <typename F, typename V>
std::string cell(F format, V v, size_t size = 64) {
    char buf[64];
    format(v, buf, size);
    return buf;
}

TEST(DialogText, CellsAndStationTexts) {
    const char field[4] = {'W', 'X', 'Y', 'Z'};  // not NUL-terminated within the field
    const std::pair<std::string, std::string> cases[] = {
        {cell(format_rate, 20.0), "20.000"},
        {cell(format_rate, 1234.5678), "1234.568"},
        {cell(format_queued_blocks, 7), "007"},
        {cell(format_queued_blocks, 1099), "1099"},
        // Seconds are cut, two blanks before the date; no time before a block.
        {cell(format_block_time, kBlockTime), "12:05:09  06/12/2026"},
        {cell(format_block_time, 0.0), ""},
        {cell(format_block_time, -5.0), ""},
        {cell(format_block_time, kBlockTime, 6), "12:05"},  // cut, never overrun
        {station_text_to_utf8("Канал", 64), "Канал"},
        {station_text_to_utf8("\xCA\xE0\xED\xE0\xEB", 15), "Канал"},  // code page 1251
        {station_text_to_utf8("a\tb\x01", 15), "a?b?"},
        {station_text_to_utf8(field, sizeof field), "WXYZ"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
}

TEST(DialogText, SavedWidthsPartialAndMalformed) {
    const struct {
        const char* text;
        int taken;
        const char* widths;
    } cases[] = {
        {"100,,50", 2, "100,111,50,111,111"},
        {nullptr, 0, "111,111,111,111,111"},
        {"abc,0,-7,x9", 0, "111,111,111,111,111"},
        {"1,2,3,4,5,6,7", 5, "1,2,3,4,5"},  // the rest is ignored
        {"80px", 1, "80,111,111,111,111"},  // a number with a tail counts
        {"99999999999999999999", 0, "111,111,111,111,111"},
    };
    for (const auto& c : cases) {
        int w[kColumnCount] = {111, 111, 111, 111, 111};
        EXPECT_EQ(apply_saved_widths(c.text, w), c.taken) << (c.text ? c.text : "null");
        EXPECT_EQ(format_saved_widths(w), c.widths) << (c.text ? c.text : "null");
    }
}

// After the last event the lamp alternates for ten ticks, then stays dark; a
// new event in between starts the ten ticks again.
TEST(DialogLamp, BlinksTenTicksAfterTheLastEvent) {
    dialog_reset_for_test();
    dialog_create(nullptr);
    for (int retrigger_at : {0, 7}) {
        std::string lamp;
        for (int tick = 0; tick < retrigger_at + 14; ++tick) {
            if (tick == 0 || tick == retrigger_at) dialog_event_seen();
            dialog_tick();
            auto s = dialog_snapshot();
            if (tick >= retrigger_at) lamp += s->lamp_lit ? '*' : s->event_active ? '.' : '_';
        }
        EXPECT_TRUE(lamp == "*.*.*.*.*.____" || lamp == ".*.*.*.*.*____") << lamp;
        EXPECT_EQ(event_countdown.load(), 0u);
    }
    dialog_reset_for_test();
}

}  // namespace
