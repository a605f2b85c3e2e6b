// A clock the test moves by hand, installed for the lifetime of a FakeClock.
#pragma once

#include "vtr/vtr_time.h"

inline vtr_time fake_clock_now{};

struct FakeClock {
    explicit FakeClock(vtr_time start = vtr_time{1000000, 0}) {
        fake_clock_now = start;
        vtr_clock_set_hook([](vtr_time *now) { *now = fake_clock_now; });
    }
    ~FakeClock() { vtr_clock_set_hook(nullptr); }
    void advance_ms(uint32_t ms) {
        fake_clock_now = vtr_time_add(fake_clock_now, vtr_time{0, ms * 1000});
    }
};

inline vtr_time ms_time(uint32_t ms) {
    return vtr_time{static_cast<int32_t>(ms / 1000), (ms % 1000) * 1000};
}

inline bool time_equal(vtr_time a, vtr_time b) {
    return a.sec == b.sec && a.usec == b.usec;
}
