// What only tests change in the session.
#pragma once

#include "platform/netbios.h"

// The receive time-out in 500-ms units (250 unless set).
void set_receive_timeout_for_test(UCHAR units);
