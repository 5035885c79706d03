// The status dialog's model: cell formats, saved widths, the lamp's ticks and
// the rows and JSON built from the roster.
#include "shell/status_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common/app_state.h"
#include "link/calendar.h"
#include "link/channel_table.h"
#include "shell/status_server.h"

namespace {

const double kBlockTime = calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75;

// The one place that fills the roster, as the decoder and the recorder do.
void set_row(int i, const char* name, double rate, int queued = 0, double time = 0, int marked = 0,
             const char* file = "") {
    RosterEntry& e = channel_roster[i];
    std::snprintf(e.name, sizeof e.name, "%s", name);
    std::snprintf(e.file_name, sizeof e.file_name, "%s", file);
    e.sample_rate = rate;
    e.queued_blocks = queued;
    e.last_block_time = time;
    e.event_marked = marked;
    roster_count = std::max(roster_count, i + 1);
}

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

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dialog_reset_for_test();
        roster_count = 0;
        std::memset(channel_roster, 0, sizeof channel_roster);
        std::strcpy(station_name, "ABC");
        run_flag.store(1);
        flush_request.store(0);
        dialog_create(nullptr);
    }
    void TearDown() override {
        dialog_reset_for_test();
        roster_count = 0;
    }
};

// After the last event the lamp alternates for ten ticks, then stays dark; a
// new event in between starts the ten ticks again.
TEST_F(DialogTest, LampBlinksTenTicksAfterTheLastEvent) {
    for (int retrigger_at : {0, 7}) {
        std::string lamp;
        for (int tick = 0; tick < retrigger_at + 14; ++tick) {
            if (tick == 0 || tick == retrigger_at) {
                event_countdown.store(10);
                event_active.store(1);
            }
            dialog_tick();
            auto s = dialog_snapshot();
            if (tick >= retrigger_at) lamp += s->lamp_lit ? '*' : s->event_active ? '.' : '_';
        }
        EXPECT_TRUE(lamp == "*.*.*.*.*.____" || lamp == ".*.*.*.*.*____") << lamp;
        EXPECT_EQ(event_countdown.load(), 0u);
    }
}

TEST_F(DialogTest, RowsIconsAndButtonFollowTheProgram) {
    dialog_reset_for_test();  // before the dialog exists nothing takes effect
    set_row(0, "SHZ", 20.0);
    dialog_rebuild_channel_list();
    dialog_set_error_text("x");
    dialog_set_db_icon(true);
    EXPECT_TRUE(dialog_snapshot()->rows.empty());
    EXPECT_EQ(dialog_snapshot()->error_text, "");
    EXPECT_EQ(dialog_snapshot()->db_icon, 0);

    dialog_create(nullptr);
    EXPECT_EQ(dialog_snapshot()->title, "[ ABC ] - Сервер дисковой петли");
    set_row(1, "SHN", 20.0);
    set_row(2, "<b>x", 100.0);
    dialog_rebuild_channel_list();
    set_row(1, "SHN", 20.0, 7, kBlockTime, 1, "/data/12/120509-06122026-SHN.ABC");
    dialog_tick();
    auto s = dialog_snapshot();
    ASSERT_EQ(s->rows.size(), 3u);
    const DialogRow& r0 = s->rows[0];
    const DialogRow& r1 = s->rows[1];
    EXPECT_EQ(r0.name + r0.rate + r0.queued + r0.time + r0.file, "SHZ20.000000");
    EXPECT_EQ(r1.name + r1.rate + r1.queued + r1.time + r1.file,
              "SHN20.00000712:05:09  06/12/2026/data/12/120509-06122026-SHN.ABC");
    EXPECT_EQ(s->rows[2].rate, "100.000");
    EXPECT_EQ(r0.state_image * 10 + r1.state_image, 12);
    set_row(1, "SHN", 20.0, 7, kBlockTime, 0);  // a block without the mark
    dialog_tick();
    EXPECT_EQ(dialog_snapshot()->rows[1].state_image, 1);

    for (bool up : {false, true}) {
        dialog_set_db_icon(up);
        dialog_set_station_icon(!up);
        s = dialog_snapshot();
        EXPECT_EQ(s->db_icon, up ? 111 : 112);
        EXPECT_EQ(s->station_icon, up ? 114 : 113);
    }

    EXPECT_TRUE(dialog_snapshot()->flush_enabled);
    dialog_command(kFlushButtonId);
    EXPECT_FALSE(dialog_snapshot()->flush_enabled);
    EXPECT_EQ(flush_request.load(), 1);
    dialog_enable_flush_button();
    EXPECT_TRUE(dialog_snapshot()->flush_enabled);
    dialog_command(kStopMenuCommandId);  // the main window's, not the dialog's
    EXPECT_EQ(run_flag.load(), 1);
    run_flag.store(0);
    dialog_tick();
    EXPECT_TRUE(dialog_snapshot()->stopping);
}

TEST_F(DialogTest, JsonCarriesNamesAsPlainText) {
    set_row(0, "<b>x", 20.0);
    set_row(1, "\xC0\xFF", 1.0);  // code page 1251 bytes, not UTF-8
    dialog_rebuild_channel_list();
    dialog_set_error_text("<script>alert(1)</script>");
    nlohmann::json j = nlohmann::json::parse(status_json(), nullptr, false);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["rows"][0]["name"], "<b>x");
    EXPECT_EQ(j["rows"][1]["name"], "Ая");
    EXPECT_EQ(j["error_text"], "<script>alert(1)</script>");
    EXPECT_EQ(j["station"], "ABC");
    EXPECT_EQ(j["columns"][1]["title"], "Отсч./c");
    EXPECT_TRUE(j["db"]["connected"].is_null());
    EXPECT_EQ(j["rows"][0]["state_image"], 1);
}

}  // namespace
