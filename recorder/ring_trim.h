// Keeps the ring of files below the size limit, measured by the file index.
#pragma once

#include <cstdint>

#include "common/station_context.h"

// Deletes the oldest files of this program (up to 10) and their rows while
// the index's measure is at or above the size limit. Recorder thread only.
void trim_ring(const StationContext& station);

// Size of a file by name; false (size 0) when it does not exist.
bool file_size_of(const char* full_path, uint64_t* size);
