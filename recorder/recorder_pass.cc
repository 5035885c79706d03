// STUB (recorder helper replaces)
#include "recorder/recorder_pass.h"
void make_pass() {}
