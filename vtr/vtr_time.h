// Time values, the clock (replaceable by tests), sleep and time text.
#pragma once

#include "vtr/vtr_error.h"

#include <cstdint>

struct vtr_time {
    int32_t sec;
    uint32_t usec; // below 1,000,000 once normalised
};

// Carries whole millions of microseconds into the seconds.
vtr_time vtr_time_normalise(vtr_time t);
vtr_time vtr_time_add(vtr_time a, vtr_time b);
// a - b; borrows ceil((b.usec - a.usec) / 1e6) seconds when a.usec < b.usec.
vtr_time vtr_time_sub(vtr_time a, vtr_time b);
// Sign of a - b: seconds as a signed 32-bit difference, then microseconds.
int vtr_time_compare(vtr_time a, vtr_time b);
inline vtr_time vtr_time_make(int32_t sec, uint32_t usec) {
    return vtr_time{sec, usec};
}

// The wall clock, seconds since 1970-01-01 UTC: only for what shows a date (log lines, file
// names). INVALIDPARAMETER without an output.
vtr_error vtr_time_now(vtr_time *now);
// A clock that never steps, from an arbitrary origin: timers, timeouts and waits read it.
vtr_error vtr_time_monotonic(vtr_time *now);

// Tests replace the clocks. vtr_clock_set_hook replaces both, so one fake time drives the
// timers and the dates alike; vtr_wall_clock_set_hook, called after it, replaces the wall
// clock alone. nullptr restores the system clock.
typedef void (*vtr_clock_fn)(vtr_time *now);
void vtr_clock_set_hook(vtr_clock_fn fn);
void vtr_wall_clock_set_hook(vtr_clock_fn fn);

// Alertable sleep of sec * 1000 + ceil(usec / 1000) ms. Negative values: INVALIDPARAMETER.
vtr_error vtr_sleep(const vtr_time *time);

enum { VTR_TIME_TEXT_SIZE = 26 };
// ctime form in local time ("Sun Dec  6 02:37:35 2026\n"), of the given time or of now.
char *vtr_time_text(const vtr_time *time, char *buffer);
