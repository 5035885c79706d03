// The SeedLink pieces without sockets: WebSocket handshake and frames, the
// command conversation of both versions, selectors and times.
#include <gtest/gtest.h>

#include "live/seedlink_protocol.h"
#include "live/seedlink_session.h"
#include "live/websocket.h"

namespace {

TEST(WebSocket, FramesTakenWholeOrRefusedAtTheirHeader) {
    auto masked = [](uint8_t first, const std::string& length, const std::string& payload) {
        std::string f = static_cast<char>(first) + length + "\x01\x02\x03\x04";
        for (size_t i = 0; i < payload.size(); ++i) f += static_cast<char>(payload[i] ^ (1 + (i & 3)));
        return f;
    };
    // Unmasked frames, huge lengths and one-byte closes are the SeedLink system test's.
    struct Case { const char* name; std::string bytes; int result; std::string payload; };
    Case cases[] = {
        {"text", masked(0x81, "\x85", "HELLO"), 1, "HELLO"},
        {"16-bit length", masked(0x82, std::string("\xFE\x00\x7E", 3), std::string(126, 'x')), 1, std::string(126, 'x')},
        {"payload still coming", masked(0x81, "\x85", "HELLO").substr(0, 8), 0, ""},
        {"claims 2000 bytes", std::string("\x81\xFE\x07\xD0", 4), -1, ""},
        {"reserved bit", masked(0xC1, "\x85", "HELLO"), -1, ""},
        {"opcode 3", masked(0x83, "\x85", "HELLO"), -1, ""},
        {"fragmented ping", masked(0x09, "\x80", ""), -1, ""},
        {"empty close", masked(0x88, "\x80", ""), 1, ""},
        {"close 1000 with a reason", masked(0x88, "\x84", "\x03\xE8ok"), 1, "\x03\xE8ok"},
        {"close 1005, a code no peer sends", masked(0x88, "\x82", "\x03\xED"), -1, ""},
        {"close 999", masked(0x88, "\x82", "\x03\xE7"), -1, ""},
    };
    for (Case& c : cases) {
        websocket::Frame f;
        const char* why = "";
        const size_t before = c.bytes.size();
        EXPECT_EQ(websocket::take_frame(c.bytes, f, &why), c.result) << c.name;
        if (c.result == 1) { EXPECT_TRUE(f.payload == c.payload && c.bytes.empty()) << c.name; }
        else { EXPECT_EQ(c.bytes.size(), before) << c.name; }  // nothing taken
    }
}

TEST(SeedLinkSession, RepliesOfBothVersionsAndEndStartsTheTransfer) {
    struct Case { std::vector<std::string> commands; std::string replies; };
    Case cases[] = {
        {{"STATION ABC XX", "SELECT BH?.D", "SELECT 00BHZ", "DATA 00002A", "FETCH 1 2024,05,01,12,00,00"},
         "OK\r\nOK\r\nOK\r\nOK\r\nOK\r\n"},
        // 3.1 says a station is not here at once; EXTREPLY adds the reason.
        {{"STATION XYZ", "CAPABILITIES EXTREPLY", "STATION XYZ"},
         "ERROR\r\nOK\r\nERROR ARGUMENTS no such station\r\n"},
        {{"STATION ABC", "SELECT 0BHZ", "SELECT BHZ.X", "DATA 1234567", "TIME 2024,05,01", "TIME 2024,05,01,12,00,00 2024,05,01,11,00,00"},
         "OK\r\nERROR\r\nERROR\r\nERROR\r\nERROR\r\nERROR\r\n"},
        {{"BATCH", "STATION ABC XX", "SELECT BHZ", "DATA", "NOSUCH"}, "OK\r\nERROR\r\n"},
        {{"SLPROTO 4.0", "SELECT *", "STATION XX_*", "SELECT", "SELECT *_B_H_Z.2D:native !*_B_H_N", "SELECT *:3",
          "DATA 18446744073709551615", "DATA 18446744073709551616", "DATA ALL 2024-05-01T12:00:00Z 2024-05-01T13:00:00.5+02:00",
          "FETCH", "USERAGENT slinktool/4.3 libslink/4.0", "AUTH USERPASS a b"},
         "OK\r\nERROR UNEXPECTED SELECT before STATION\r\nOK\r\nERROR ARGUMENTS empty SELECT is not allowed in v4\r\n"
         "OK\r\nERROR UNSUPPORTED miniSEED 3 is not available\r\nOK\r\n"
         "ERROR ARGUMENTS DATA [seq|ALL [start [end]]], times as 2024-05-01T12:00:00Z\r\n"
         "ERROR ARGUMENTS DATA [seq|ALL [start [end]]], times as 2024-05-01T12:00:00Z\r\n"
         "ERROR UNSUPPORTED use DATA with a time window\r\nOK\r\nERROR UNSUPPORTED no authentication here\r\n"},
        // SLPROTO once, first: a second one leaves the version as it was.
        {{"STATION ABC XX", "SLPROTO 4.0"}, "OK\r\nERROR\r\n"},
        {{"SLPROTO 3.1", "SLPROTO 3.1"}, "OK\r\nERROR\r\n"},
        {{"SLPROTO 4.0", "SLPROTO 3.1", "STATION XX_ABC"},
         "OK\r\nERROR UNEXPECTED SLPROTO only once, before other commands\r\nOK\r\n"},
    };
    for (const Case& c : cases) {
        seedlink::Session s("XX_ABC", "org");
        std::vector<std::string> out;
        for (const std::string& command : c.commands) s.command(command, out);
        std::string all;
        for (const std::string& o : out) all += o;
        EXPECT_EQ(all, c.replies) << c.commands.front();
    }
    // END starts the transfer, and only INFO and BYE count after it.
    using seedlink::Effect;
    seedlink::Session s("XX_ABC", "org");
    std::vector<std::string> out;
    const std::pair<const char*, Effect> steps[] = {
        {"HELLO", Effect::kNone},  {"SLPROTO 4.0", Effect::kNone}, {"STATION XX_ABC", Effect::kNone},
        {"DATA 42", Effect::kNone}, {"STATION *", Effect::kNone},  {"END", Effect::kStart},
        {"STATION YY_DEF", Effect::kNone}, {"INFO STREAMS XX_* *_B_H_?", Effect::kInfo}, {"BYE", Effect::kClose}};
    for (const auto& [command, effect] : steps) EXPECT_EQ(s.command(command, out), effect) << command;
    EXPECT_EQ(s.info_stream, "*_B_H_?");
    // The first STATION that takes a station ID decides for it.
    const seedlink::StationRequest* r = s.request_for("XX_ABC");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->sequence, 42u);
    EXPECT_EQ(s.request_for("ZZ_Q"), &s.requests().at(1));
    EXPECT_EQ(s.requests().size(), 2u);
}

TEST(SeedLinkProtocol, SelectorsAndTimes) {
    const seedlink::RecordInfo shz{"", "", "", "SHZ", "", "_S_H_Z"}, bhn{"", "", "00", "BHN", "", "00_B_H_N"};
    struct Case { int version; const char* selector; bool shz, bhn; };
    Case cases[] = {
        {3, "SHZ", true, false},   {3, "--SHZ.D", true, false}, {3, "??B??", false, true},
        {3, "00BH?", false, true}, {3, "BHN.E", false, false},  {3, "!SHZ", false, true},
        {4, "*", true, true},      {4, "_S_H_Z", true, false},  {4, "*_B_*.2D", false, true},
        {4, "*_?_H_?.J", false, false}, {4, "*_B_H_?.D", false, true}, {4, "!00_*", true, false},
    };
    for (const Case& c : cases) {
        seedlink::Selector s;
        std::string why;
        ASSERT_TRUE(c.version == 3 ? seedlink::parse_v3_selector(c.selector, &s, &why)
                                   : seedlink::parse_v4_selector(c.selector, &s, &why))
            << c.selector << ": " << why;
        EXPECT_EQ(seedlink::selected({s}, shz), c.shz) << c.selector;
        EXPECT_EQ(seedlink::selected({s}, bhn), c.bhn) << c.selector;
    }
    // The format a selector asks for; 0 leaves it open (miniSEED 2 then). Mixing is the system test's.
    const std::pair<const char*, int> formats[] = {{"*", 0}, {"*.D", 0}, {"*.*", 0}, {"!*.3D", 0}, {"*.2?", 2},
                                                   {"*.3D", 3}, {"*.3", 3}, {"*:3", 3}, {"*:native", 0}};
    for (const auto& [text, format] : formats) {
        seedlink::Selector s;
        std::string why;
        EXPECT_TRUE(seedlink::parse_v4_selector(text, &s, &why) && seedlink::selector_format(s) == format) << text;
    }
    double t = 0;  // times in Z are the system test's windows
    EXPECT_TRUE(seedlink::parse_v4_time("2024-05-01T15:00:07.000+03:00", &t));
    EXPECT_EQ(t, 1714564807);
    EXPECT_EQ(seedlink::format_v4_time(1714564807.25), "2024-05-01T12:00:07.2500Z");
    for (const char* bad : {"2024,05,01,12,00", "2024,13,01,12,00,00", "2024,05,01,12,00,00,00", "x"})
        EXPECT_FALSE(seedlink::parse_v3_time(bad, &t)) << bad;
    for (const char* bad : {"2024-05-01 12:00:07Z", "2024-05-01T12:00:07.Z", "2024-05-01T12:00:07+3", "2024-05-01T25:00:00Z"})
        EXPECT_FALSE(seedlink::parse_v4_time(bad, &t)) << bad;
}

}  // namespace
