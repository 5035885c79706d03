// STUB (spine helper replaces)
#include "link/calendar.h"
double calendar_to_seconds(int, int, int, int, int, int) { return 0; }
bool day_of_year_to_date(int, int, int*, int*) { return false; }
bool calendar_from_seconds(double, CalendarTime*) { return false; }
double block_time(const uint8_t*) { return 0; }
