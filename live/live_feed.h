// The live feed: every roster channel's samples as Steim-2 Mini-SEED
// records (512 bytes, blockette 1000, network NETWORK=) in the record ring.
// A record leaves when it is full, at a gap or a change of rate, or when its
// first sample has waited SLLATENCY seconds, so slow channels reach clients
// within about that.
#pragma once

#include <cstdint>

#include "common/station_context.h"

class RecordRing;

// Opens the ring ("seedlink.ring" in the data directory) and starts the
// thread that sends records whose time has come. Nothing when SEEDLINK= is
// 0; false, with a line in the log, when the ring cannot be opened. The
// context must outlive the feed.
bool start_live_feed(const StationContext& context);
void stop_live_feed();

// One block of an announced channel, as main hands it on from the decoder's
// thread; 16-bit little-endian samples.
void live_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data);

// The rings the feed writes; open only while the feed runs. The miniSEED 3
// ring ("seedlink3.ring", as large as the other) holds one record per
// block, appended as the block arrives; a ring that cannot be opened or
// fails leaves miniSEED 2 as it was.
RecordRing& live_ring();
RecordRing& live_ring3();
