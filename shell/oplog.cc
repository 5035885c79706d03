// STUB (spine helper replaces)
#include "shell/oplog.h"
void log_init(const char*) {}
void write_log_line(const char*) {}
void write_log_linef(const char*, ...) {}
