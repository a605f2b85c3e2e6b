// The POSIX clock, sleep and local time.
#include "vtr/time_platform.h"

#include <cerrno>
#include <ctime>

void vtr_platform_clock(vtr_time *now) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    now->sec = static_cast<int32_t>(static_cast<uint32_t>(ts.tv_sec));
    now->usec = static_cast<uint32_t>(ts.tv_nsec / 1000);
}

void vtr_platform_monotonic(vtr_time *now) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    now->sec = static_cast<int32_t>(static_cast<uint32_t>(ts.tv_sec));
    now->usec = static_cast<uint32_t>(ts.tv_nsec / 1000);
}

vtr_error vtr_platform_sleep_ms(uint64_t ms) {
    timespec request{};
    request.tv_sec = static_cast<time_t>(ms / 1000);
    request.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    if (nanosleep(&request, nullptr) == 0) {
        return VTR_SUCCESS;
    }
    // A signal plays the part of the completion routine that ends an alertable sleep.
    return errno == EINTR ? VTR_INTERRUPTED : vtr_error_from_last_system();
}

bool vtr_platform_localtime(int64_t sec, std::tm *out) {
    time_t t = static_cast<time_t>(sec);
    return localtime_r(&t, out) != nullptr;
}
