// Walks one received message block by block (NetBIOS completion thread).
#pragma once

#include <cstdint>

void decode_message(uint8_t* message, int length);
