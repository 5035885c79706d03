// Operation log: one file per UTC day in the log directory, one line per call,
// code page 1251 on disk. Callable from any thread; calls before log_open are
// dropped. An immediately repeated non-empty text is written once.
#pragma once

#include "common/cp1251.h"

// Enables the log in `dir` (empty: no log); false when the directory cannot
// be written to.
bool log_open(const char* dir);

// Writes one line "%02d:%02d:%02d %02d.%02d.%04d  #text#" (UTF-8 text in, cp1251 out).
void write_log_line(const char* text);

// printf-style convenience around write_log_line.
void write_log_linef(const char* format, ...) __attribute__((format(printf, 1, 2)));

#include <ctime>
#include <string>
