// Time values, the replaceable clock, sleep and the ctime-style time text.
#include "vtr/vtr_time.h"
#include "vtr/time_platform.h"

#include <atomic>
#include <ctime>

namespace {

constexpr uint32_t usec_per_sec = 1000000;

std::atomic<vtr_clock_fn> wall_hook{nullptr};
std::atomic<vtr_clock_fn> monotonic_hook{nullptr};

vtr_error read_clock(const std::atomic<vtr_clock_fn> &hook, void (*system)(vtr_time *),
                     vtr_time *now) {
    if (now == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_clock_fn fn = hook.load(std::memory_order_acquire);
    (fn != nullptr ? fn : system)(now);
    return VTR_SUCCESS;
}

// Seconds wrap like the 32-bit counter they are; signed overflow must not be relied on.
int32_t seconds_add(int32_t a, int64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

} // namespace

vtr_time vtr_time_normalise(vtr_time t) {
    return vtr_time{seconds_add(t.sec, t.usec / usec_per_sec), t.usec % usec_per_sec};
}

vtr_time vtr_time_add(vtr_time a, vtr_time b) {
    // 64-bit so that two unnormalised microsecond fields cannot overflow.
    uint64_t usec = static_cast<uint64_t>(a.usec) + b.usec;
    int32_t sec = seconds_add(seconds_add(a.sec, b.sec), static_cast<int64_t>(usec / usec_per_sec));
    return vtr_time{sec, static_cast<uint32_t>(usec % usec_per_sec)};
}

vtr_time vtr_time_sub(vtr_time a, vtr_time b) {
    if (a.usec >= b.usec) {
        return vtr_time{seconds_add(a.sec, -static_cast<int64_t>(b.sec)), a.usec - b.usec};
    }
    uint64_t missing = static_cast<uint64_t>(b.usec) - a.usec;
    uint64_t borrow = (missing + usec_per_sec - 1) / usec_per_sec;
    int32_t sec = seconds_add(seconds_add(a.sec, -static_cast<int64_t>(b.sec)),
                              -static_cast<int64_t>(borrow));
    return vtr_time{sec, static_cast<uint32_t>(borrow * usec_per_sec - missing)};
}

int vtr_time_compare(vtr_time a, vtr_time b) {
    if (a.sec != b.sec) {
        int32_t diff = seconds_add(a.sec, -static_cast<int64_t>(b.sec));
        return diff < 0 ? -1 : 1;
    }
    if (a.usec == b.usec) {
        return 0;
    }
    return a.usec < b.usec ? -1 : 1;
}

vtr_error vtr_time_now(vtr_time *now) {
    return read_clock(wall_hook, vtr_platform_clock, now);
}

vtr_error vtr_time_monotonic(vtr_time *now) {
    return read_clock(monotonic_hook, vtr_platform_monotonic, now);
}

void vtr_clock_set_hook(vtr_clock_fn fn) {
    monotonic_hook.store(fn, std::memory_order_release);
    wall_hook.store(fn, std::memory_order_release);
}

void vtr_wall_clock_set_hook(vtr_clock_fn fn) {
    wall_hook.store(fn, std::memory_order_release);
}

vtr_error vtr_sleep(const vtr_time *time) {
    if (time == nullptr || time->sec < 0 || static_cast<int32_t>(time->usec) < 0) {
        return VTR_INVALIDPARAMETER;
    }
    uint64_t ms = static_cast<uint64_t>(time->sec) * 1000 + (time->usec + 999ull) / 1000;
    return vtr_platform_sleep_ms(ms);
}

char *vtr_time_text(const vtr_time *time, char *buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    vtr_time t{};
    if (time != nullptr) {
        t = *time;
    } else {
        vtr_time_now(&t);
    }
    std::tm local{};
    if (!vtr_platform_localtime(t.sec, &local) ||
        std::strftime(buffer, VTR_TIME_TEXT_SIZE, "%a %b %d %H:%M:%S %Y\n", &local) == 0) {
        buffer[0] = '\0';
        return buffer;
    }
    // strftime pads the day with a zero where the classic form has a blank.
    if (buffer[8] == '0') {
        buffer[8] = ' ';
    }
    return buffer;
}
