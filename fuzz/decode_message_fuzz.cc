// decode_message on arbitrary messages. The message is an exact-size heap
// copy, so any read past its end is caught. The first byte chooses whether
// the roster is forgotten first (a fresh run) or kept from the last input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/app_state.h"
#include "common/station_context.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "link/decoder.h"
#include "seed/seed_service.h"

namespace {
StationContext station;

void take_block(const DecodedBlock& b) {
    if (queue_decoded_block(b, station.status) && b.entry != nullptr)
        seed_take_samples(b.entry->name, b.rate, b.time, b.sample_count, b.samples);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    // No recorder walks the rosters here: let each go once it is replaced.
    static const bool walked_by_none = take_first_roster() != nullptr;
    (void)walked_by_none;
    if (data[0] & 1) publish_roster({}, false);
    std::snprintf(station.station_name, sizeof station.station_name, "FUZZ");
    // A fixed selection keeps the stream registry from growing with every
    // random channel name while still exercising the hand-over.
    station.selected_channels = {"SHZ", "shz", "BHN"};
    start_seed_service(station);
    set_block_sink(take_block);

    const size_t n = size - 1;
    auto* message = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    std::memcpy(message, data + 1, n);
    decode_message(station.status, message, static_cast<int>(n));
    for (size_t i = 0; i < n; ++i)
        if (message[i] != 0xFF) std::abort();  // the buffer is cleared behind the walk
    std::free(message);

    if (current_roster()->entries.size() > kChannelCount) std::abort();
    for (int c = 0; c < kChannelCount; ++c) {
        if (queued_block_count(c) < 0 || queued_block_count(c) >= kBlockRingSize) std::abort();
        drain_channel(c), reset_slot_queue(c);
    }
    return 0;
}
