// STUB (spine helper replaces)
#include "recorder/recorder_thread.h"
void start_recorder_thread() {}
