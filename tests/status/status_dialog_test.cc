// The status dialog's model: cell formats, saved widths and the lamp's ticks
// (the rows and their cells are also checked by the browser test).
#include "shell/status_dialog.h"

#include <gtest/gtest.h>

#include "common/calendar.h"
#include "shell/status_dialog_testing.h"

namespace {

TEST(DialogText, CellsStationTextsAndSavedWidths) {
    auto cell = [](auto format, auto v, size_t size = 64) {
        char buf[64];
        format(v, buf, size);
        return std::string(buf);
    };
    auto saved = [](const char* text) {  // "taken:widths" from defaults of 111
        int w[kColumnCount] = {111, 111, 111, 111, 111};
        const int taken = apply_saved_widths(text, w);
        return std::to_string(taken) + ":" + format_saved_widths(w);
    };
    const char field[4] = {'W', 'X', 'Y', 'Z'};  // not NUL-terminated within the field
    const std::pair<std::string, std::string> cases[] = {
        {cell(format_queued_blocks, 7), "007"},
        {cell(format_queued_blocks, 1099), "1099"},
        {cell(format_block_time, 0.0), ""},  // no time before a block
        {cell(format_block_time, -5.0), ""},
        {cell(format_block_time, calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75, 6), "12:05"},
        {station_text_to_utf8("Канал", 64), "Канал"},
        {station_text_to_utf8("\xCA\xE0\xED\xE0\xEB", 15), "Канал"},  // code page 1251
        {station_text_to_utf8("a\tb\x01", 15), "a?b?"},
        {station_text_to_utf8(field, sizeof field), "WXYZ"},
        {saved(nullptr), "0:111,111,111,111,111"},
        {saved("abc,0,-7,x9"), "0:111,111,111,111,111"},
        {saved("1,2,3,4,5,6,7"), "5:1,2,3,4,5"},  // the rest is ignored
        {saved("80px"), "1:80,111,111,111,111"},  // a number with a tail counts
        {saved("99999999999999999999"), "0:111,111,111,111,111"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
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
        EXPECT_EQ(dialog_snapshot()->event_countdown, 0u);
    }
    dialog_reset_for_test();
}

}  // namespace
