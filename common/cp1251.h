// Code page 1251: the operation log is written in it, and the station's
// names and texts come in it.
#pragma once

#include <cstddef>
#include <string>

// UTF-8 text as code page 1251; characters without a cp1251 form become '?'.
std::string utf8_to_cp1251(const char* text);

// Station bytes as UTF-8: valid UTF-8 is kept, other bytes are read as
// code page 1251, control characters become '?'.
std::string station_text_to_utf8(const char* text, size_t max_len);
