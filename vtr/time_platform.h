// What each platform back end supplies to the shared time code.
#pragma once

#include "vtr/vtr_time.h"

#include <cstdint>
#include <ctime>

// The system clock, seconds since 1970-01-01 UTC.
void vtr_platform_clock(vtr_time *now);
// A clock unaffected by changes of the system time.
void vtr_platform_monotonic(vtr_time *now);
// Alertable sleep; an early wake-up by the system is INTERRUPTED.
vtr_error vtr_platform_sleep_ms(uint64_t ms);
// Thread-safe local time; false when the platform cannot represent the time.
bool vtr_platform_localtime(int64_t sec, std::tm *out);
