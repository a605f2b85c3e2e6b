// The Windows clock, alertable sleep and local time.
#include "vtr/time_platform.h"

#include <windows.h>

#include <ctime>

namespace {
// 1601-01-01 to 1970-01-01 in 100-nanosecond units.
constexpr uint64_t filetime_unix_epoch = 116444736000000000ull;
// INFINITE is 0xFFFFFFFF; longer sleeps are taken in pieces below it.
constexpr uint64_t longest_sleep_ms = 0xFFFFFFFEull;
} // namespace

void vtr_platform_clock(vtr_time *now) {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    ticks -= filetime_unix_epoch;
    now->sec = static_cast<int32_t>(static_cast<uint32_t>(ticks / 10000000));
    now->usec = static_cast<uint32_t>((ticks % 10000000) / 10);
}

void vtr_platform_monotonic(vtr_time *now) {
    // The counter's frequency is fixed at boot; read it once.
    static const uint64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart > 0 ? f.QuadPart : 1);
    }();
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    now->sec = static_cast<int32_t>(static_cast<uint32_t>(ticks / frequency));
    now->usec = static_cast<uint32_t>((ticks % frequency) * 1000000 / frequency);
}

vtr_error vtr_platform_sleep_ms(uint64_t ms) {
    do {
        DWORD piece = static_cast<DWORD>(ms > longest_sleep_ms ? longest_sleep_ms : ms);
        ms -= piece;
        DWORD result = SleepEx(piece, TRUE);
        if (result != 0) {
            return vtr_error_from_system(result);
        }
    } while (ms > 0);
    return VTR_SUCCESS;
}

bool vtr_platform_localtime(int64_t sec, std::tm *out) {
    time_t t = static_cast<time_t>(sec);
    return localtime_s(out, &t) == 0;
}
