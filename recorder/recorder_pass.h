// One pass of the recorder: events to the index, trimming, channel turns.
#pragma once

void make_pass();
