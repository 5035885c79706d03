// What a SeedLink peer can send, through the code that reads it: the input
// as a WebSocket upgrade head, as a stream of WebSocket frames, as command
// lines to a session of each version, and as a ring record's header (both
// formats).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "live/seedlink_protocol.h"
#include "live/seedlink_session.h"
#include "live/websocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    websocket::answer_upgrade(input, {"SeedLink4.0", "SeedLink3.1"});

    std::string frames = input;
    websocket::Frame f;
    const char* why = "";
    while (websocket::take_frame(frames, f, &why) == 1)
        if (f.payload.size() > websocket::kMaxMessageBytes) std::abort();

    for (const char* first : {"", "SLPROTO 4.0"}) {
        seedlink::Session session("XX_ABC", "org");
        session.offer_format3(first[0] != '\0');
        std::vector<std::string> out;
        session.command(first, out);
        size_t start = 0;
        for (size_t i = 0; i <= input.size(); ++i) {
            if (i < input.size() && input[i] != '\r' && input[i] != '\n') continue;
            if (i - start <= seedlink::kMaxCommandBytes) session.command(std::string_view(input).substr(start, i - start), out);
            start = i + 1;
        }
        const seedlink::RecordInfo info{
            .channel = "SHZ", .station_id = "XX_ABC", .stream_id = "_S_H_Z"};
        if (const seedlink::StationRequest* r = session.request_for(info.station_id)) seedlink::selected(r->selectors, info);
        session.describe();
    }

    uint8_t record[seedlink::kRecordBytes] = {};
    std::memcpy(record, data, size < sizeof record ? size : sizeof record);
    seedlink::RecordInfo info;
    if (seedlink::parse_record(record, &info) && !(info.end >= info.start)) std::abort();
    if (seedlink::parse_record3(data, size, &info) && !(info.end >= info.start)) std::abort();
    return 0;
}
