// The status dialog's model: cell formats, the lamp's tick logic, the saved
// column widths and the rows built from the roster.
#include "shell/status_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/calendar.h"
#include "link/channel_table.h"
#include "shell/status_server.h"
#include "common/app_state.h"

namespace {

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

    static void add_channel(const char* name, double rate) {
        RosterEntry& e = channel_roster[roster_count++];
        std::snprintf(e.name, sizeof e.name, "%s", name);
        e.sample_rate = rate;
    }
};

std::string text_of(void (*format)(double, char*, size_t), double v) {
    char buf[64];
    format(v, buf, sizeof buf);
    return buf;
}

TEST(CellFormat, RateQueuedAndTime) {
    for (auto [v, text] : {std::pair{20.0, "20.000"}, {0.5, "0.500"}, {1234.5678, "1234.568"}})
        EXPECT_EQ(text_of(format_rate, v), text);
    for (auto [n, text] : {std::pair{7, "007"}, {1099, "1099"}, {0, "000"}}) {
        char buf[16];
        format_queued_blocks(n, buf, sizeof buf);
        EXPECT_STREQ(buf, text);
    }
    // 12:05:09.75 on 6 December 2026: seconds are cut, two blanks before the date.
    double t = calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75;
    EXPECT_EQ(text_of(format_block_time, t), "12:05:09  06/12/2026");
    EXPECT_EQ(text_of(format_block_time, 0.0), "");
    EXPECT_EQ(text_of(format_block_time, -5.0), "");

    // A short buffer is cut, never overrun.
    char small[6];
    format_block_time(t, small, sizeof small);
    EXPECT_STREQ(small, "12:05");
}

TEST(SavedWidths, PartialAndMalformedTexts) {
    // From the defaults: how many widths a text gives, and the widths after.
    const struct {
        const char* text;
        int taken;
        const char* widths;
    } cases[] = {
        {"100,,50", 2, "100,111,50,111,111"},
        {"", 0, "111,111,111,111,111"},
        {nullptr, 0, "111,111,111,111,111"},
        {"abc,0,-7,x9", 0, "111,111,111,111,111"},
        // More than five pieces: the rest is ignored; a number with a tail counts.
        {"1,2,3,4,5,6,7", 5, "1,2,3,4,5"},
        {"80px", 1, "80,111,111,111,111"},
        {"99999999999999999999", 0, "111,111,111,111,111"},  // absurd
    };
    for (const auto& c : cases) {
        int w[kColumnCount] = {111, 111, 111, 111, 111};
        EXPECT_EQ(apply_saved_widths(c.text, w), c.taken) << (c.text ? c.text : "null");
        EXPECT_EQ(format_saved_widths(w), c.widths) << (c.text ? c.text : "null");
    }
}

TEST(StationText, Utf8KeptCp1251Converted) {
    EXPECT_EQ(station_text_to_utf8("SHZ", 15), "SHZ");
    EXPECT_EQ(station_text_to_utf8("Канал", 64), "Канал");
    const char cp1251[] = "\xCA\xE0\xED\xE0\xEB";  // "Канал" in code page 1251
    EXPECT_EQ(station_text_to_utf8(cp1251, 15), "Канал");
    EXPECT_EQ(station_text_to_utf8("a\tb\x01", 15), "a?b?");
    // Not NUL-terminated within the field: stops at the field's end.
    char field[4] = {'W', 'X', 'Y', 'Z'};
    EXPECT_EQ(station_text_to_utf8(field, sizeof field), "WXYZ");
}

TEST_F(DialogTest, LampBlinksTenTicksThenStaysDark) {
    event_countdown.store(10);
    event_active.store(1);
    int lit = 0, dark = 0;
    bool previous = false;
    for (int tick = 1; tick <= 10; ++tick) {
        dialog_tick();
        auto s = dialog_snapshot();
        EXPECT_TRUE(s->event_active) << "tick " << tick;
        if (tick > 1) {
            EXPECT_NE(s->lamp_lit, previous) << "the lamp alternates, tick " << tick;
        }
        previous = s->lamp_lit;
        (s->lamp_lit ? lit : dark)++;
    }
    EXPECT_EQ(lit, 5);
    EXPECT_EQ(dark, 5);
    dialog_tick();  // eleventh: the countdown is spent, the flag clears
    EXPECT_FALSE(dialog_snapshot()->event_active);
    EXPECT_FALSE(dialog_snapshot()->lamp_lit);
    for (int tick = 0; tick < 5; ++tick) dialog_tick();
    EXPECT_FALSE(dialog_snapshot()->lamp_lit);
    EXPECT_EQ(event_countdown.load(), 0u);
}

TEST_F(DialogTest, RetriggerRestartsTheTenTicks) {
    event_countdown.store(10);
    event_active.store(1);
    for (int tick = 0; tick < 7; ++tick) dialog_tick();
    event_countdown.store(10);  // a new event-marked block
    event_active.store(1);
    for (int tick = 0; tick < 10; ++tick) {
        dialog_tick();
        EXPECT_TRUE(dialog_snapshot()->event_active) << "tick " << tick;
    }
    dialog_tick();
    EXPECT_FALSE(dialog_snapshot()->event_active);
}

TEST_F(DialogTest, RowsFollowTheRosterAndItsRefresh) {
    EXPECT_TRUE(dialog_snapshot()->rows.empty());
    add_channel("SHZ", 20.0);
    add_channel("SHN", 20.0);
    add_channel("<b>x", 100.0);
    dialog_rebuild_channel_list();
    auto s = dialog_snapshot();
    ASSERT_EQ(s->rows.size(), 3u);
    EXPECT_EQ(s->rows[0].name, "SHZ");
    EXPECT_EQ(s->rows[2].name, "<b>x");
    EXPECT_EQ(s->rows[0].rate, "20.000");
    EXPECT_EQ(s->rows[2].rate, "100.000");
    for (const DialogRow& r : s->rows) {
        EXPECT_EQ(r.state_image, 1);
        EXPECT_EQ(r.time, "");
    }

    channel_roster[1].queued_blocks = 7;
    channel_roster[1].last_block_time = calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75;
    channel_roster[1].event_marked = 1;
    std::snprintf(channel_roster[1].file_name, kFileNameSize, "/data/12/120509-06122026-SHN.ABC");
    dialog_tick();
    s = dialog_snapshot();
    EXPECT_EQ(s->rows[0].queued, "000");
    EXPECT_EQ(s->rows[1].queued, "007");
    EXPECT_EQ(s->rows[1].time, "12:05:09  06/12/2026");
    EXPECT_EQ(s->rows[1].file, "/data/12/120509-06122026-SHN.ABC");
    EXPECT_EQ(s->rows[1].state_image, 2);
    EXPECT_EQ(s->rows[0].state_image, 1);

    channel_roster[1].event_marked = 0;  // a block without the mark
    dialog_tick();
    EXPECT_EQ(dialog_snapshot()->rows[1].state_image, 1);
}

TEST_F(DialogTest, FlushButton) {
    EXPECT_TRUE(dialog_snapshot()->flush_enabled);
    dialog_command(kFlushButtonId);
    EXPECT_FALSE(dialog_snapshot()->flush_enabled);
    EXPECT_EQ(flush_request.load(), 1);
    EXPECT_EQ(run_flag.load(), 1);
    dialog_enable_flush_button();
    EXPECT_TRUE(dialog_snapshot()->flush_enabled);

    dialog_command(kStopMenuCommandId);  // not the dialog's: the main window's
    EXPECT_EQ(run_flag.load(), 1);
    run_flag.store(0);  // what the main window does with it
    dialog_tick();
    EXPECT_TRUE(dialog_snapshot()->stopping);
}

TEST_F(DialogTest, IconsErrorTextAndTitle) {
    EXPECT_EQ(dialog_snapshot()->db_icon, 0);
    EXPECT_EQ(dialog_snapshot()->station_icon, 0);
    EXPECT_EQ(dialog_snapshot()->title, "[ ABC ] - Сервер дисковой петли");
    for (bool up : {false, true}) {
        const char* text = up ? "Неверный тип блока" : "Код ошибки Netbios: 24";
        dialog_set_db_icon(up);
        dialog_set_station_icon(!up);
        dialog_set_error_text(text);
        auto s = dialog_snapshot();
        EXPECT_EQ(s->db_icon, up ? 111 : 112);
        EXPECT_EQ(s->station_icon, up ? 114 : 113);
        EXPECT_EQ(s->error_text, text);
    }
}

TEST_F(DialogTest, NothingHappensBeforeTheDialogExists) {
    dialog_reset_for_test();
    add_channel("SHZ", 20.0);
    dialog_rebuild_channel_list();
    dialog_set_error_text("x");
    dialog_set_db_icon(true);
    auto s = dialog_snapshot();
    EXPECT_TRUE(s->rows.empty());
    EXPECT_EQ(s->error_text, "");
    EXPECT_EQ(s->db_icon, 0);
}

TEST_F(DialogTest, WidthsFromThePage) {
    int w[kColumnCount];
    dialog_column_widths(w);
    for (int v : w) EXPECT_EQ(v, kDefaultColumnWidth);
    int page[kColumnCount] = {150, 0, 90, -3, 200};
    dialog_set_column_widths(page, kColumnCount);
    dialog_column_widths(w);
    EXPECT_EQ(format_saved_widths(w), "150,111,90,111,200");
}

TEST_F(DialogTest, JsonCarriesNamesAsPlainText) {
    add_channel("<b>x", 20.0);
    add_channel("\xC0\xFF", 1.0);  // code page 1251 bytes, not UTF-8
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

namespace {

// The saved widths travel through a real INI file in a fresh directory.
class WidthFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dialog_reset_for_test();
        char pattern[] = "/tmp/veldrum-widths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ini = dir + "/VELDRUM.INI";
    }
    void TearDown() override {
        dialog_reset_for_test();
        std::remove(ini.c_str());
        rmdir(dir.c_str());
    }
    void write(const std::string& text) {
        FILE* f = std::fopen(ini.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::string dir, ini;
};

TEST_F(WidthFileTest, RestoredAtCreationSavedByStop) {
    write("[VELDRUM]\nLANA=0\n[-LISTBOX-]\nWidth=100,,50\n");
    dialog_create(ini.c_str());
    EXPECT_EQ(format_saved_widths(dialog_snapshot()->widths), "100,111,50,111,111");

    int page[kColumnCount] = {120, 0, 0, 0, 300};
    dialog_set_column_widths(page, kColumnCount);
    ASSERT_TRUE(dialog_save_column_widths(ini.c_str()));
    dialog_reset_for_test();
    dialog_create(ini.c_str());
    int back[kColumnCount];
    dialog_column_widths(back);
    EXPECT_EQ(format_saved_widths(back), "120,111,50,111,300");
    // The rest of the file is kept.
    std::stringstream text;
    text << std::ifstream(ini).rdbuf();
    EXPECT_NE(text.str().find("LANA=0"), std::string::npos);
}

TEST_F(WidthFileTest, MissingFileOrKeyKeepsDefaults) {
    for (const char* text : {"", "[-LISTBOX-]\nWidth=\n"}) {  // "": no file at all
        if (*text) write(text);
        dialog_reset_for_test();
        dialog_create(ini.c_str());
        for (int v : dialog_snapshot()->widths) EXPECT_EQ(v, kDefaultColumnWidth);
    }
}

TEST_F(WidthFileTest, ServerSwitchedOffOrMalformedSetting) {
    write("[VELDRUM]\nHTTP=0\n");
    EXPECT_EQ(start_status_server(ini.c_str()), 0);
    write("[VELDRUM]\nHTTP=localhost:\n");
    EXPECT_EQ(start_status_server(ini.c_str()), 0);
    stop_status_server();  // harmless without a server
}

}  // namespace
