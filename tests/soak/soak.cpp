// nyx-soak: an API client sends requests without pause for a given time while nyx-sim, in
// this process on 127.0.0.1:8899, switches its faults on in turn. It checks that every
// request ends in exactly one REQUEST_COMPLETED event, that no call hangs, that memory stays
// flat and that, once the faults stop, the cache equals the simulator's state.
// It binds the manager's port: run it in a private network namespace (tools/netns-run).
#include "api/nyx_api.h"
#include "sim/sim.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using u64 = unsigned long long;

// One fault setting of the simulator: the commands that switch it on, the ones repeated
// while it lasts (every `every_ms`), and whether every request must still be answered.
struct Phase {
    const char *name;
    std::vector<const char *> on, repeat;
    int every_ms;
    bool all_answered;
};

// In this order: the faults that keep the connection first; then silence, which (for more
// than 30 s) ends it, and Not connected, which keeps it from coming back. Last the restart:
// a restarted manager has forgotten the client, which answers "Not connected" until the
// client's 30 s silence timeout makes it connect again.
const std::vector<const char *> kStatuses = {"status 257", "status 258", "status 259",
                                             "status 128", "status 129", "status 130"};
const std::vector<Phase> kPhases = {
    {"clean", {}, {}, 0, true},
    {"drop", {"drop 20"}, {}, 0, false},
    {"duplicate", {"dup 30"}, {}, 0, true},
    {"delay", {"delay 0 150"}, {}, 0, true},
    {"statuses", {}, kStatuses, 40, true},
    {"noreply", {"noreply on"}, {}, 0, false},
    {"silence", {"silent on"}, {}, 0, false},
    {"notconnected", {"notconnected on"}, {}, 0, true},
    {"restart", {}, {"socket restart"}, 5000, false},
};
const char *const kAllOff[] = {"drop 0",           "dup 0",       "delay off", "silent off",
                               "notconnected off", "noreply off", "status off"};

struct Figures {
    u64 sent = 0, succeeded = 0, failed = 0, cancelled = 0, refused = 0;
};

// What the event function sees, shared with the requesting thread.
struct Tracker {
    std::mutex mutex;
    std::condition_variable completed;
    bool outstanding = false;
    NyxApiResult result = 0;
    u64 completions = 0, unexpected = 0; // the latter without a request in flight
} g_tracker;

void on_event(const NyxApiEvent *event) {
    std::lock_guard<std::mutex> lock(g_tracker.mutex);
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        ++(g_tracker.outstanding ? g_tracker.completions : g_tracker.unexpected);
        g_tracker.outstanding = false;
        g_tracker.result = event->result;
        g_tracker.completed.notify_all();
    }
}

int64_t now_ms() {
    return std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
}

// The watchdog: every API call and simulator command is stamped; one that lasts too long
// ends the program with a message instead of hanging the test.
struct Watchdog {
    std::atomic<int64_t> since_ms{-1}; // start of the call under way, -1 when none
    std::atomic<const char *> what{""};
    std::atomic<bool> done{false};
    std::thread thread;

    template <class F> auto call(const char *name, F &&f) {
        what = name;
        since_ms = now_ms();
        auto result = f();
        since_ms = -1;
        return result;
    }
} g_watchdog;

long rss_kib() {
    malloc_trim(0);
    long size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

template <class T>
std::vector<T> list(NyxApi *api, NyxApiResult (*lister)(NyxApi *, uint64_t *, T *)) {
    std::vector<T> items(32);
    uint64_t count = items.size();
    items.resize(lister(api, &count, items.data()) == NYXAPI_SUCCESS ? std::min<uint64_t>(count, 32)
                                                                     : 0);
    return items;
}

// A value of the cached choices, or `fallback` when there are none.
template <class T, class V>
NyxApiResult from_list(NyxApi *api, NyxApiResult (*lister)(NyxApi *, uint64_t *, T *),
                       NyxApiResult (*setter)(NyxApi *, V), V fallback, std::minstd_rand &random) {
    std::vector<T> items = list(api, lister);
    return setter(api, items.empty() ? fallback : V(items[random() % items.size()]));
}

using Random = std::minstd_rand;
#define FROM_LIST(lister, setter, fallback)                                                        \
    [](NyxApi *a, Random &r) { return from_list(a, lister, setter, fallback, r); }
NyxApiResult (*const kRequests[])(NyxApi *, Random &) = {
    FROM_LIST(NyxApiAvailableChannelCounts, NyxApiSetChannelCount, 8u),
    FROM_LIST(NyxApiAvailableASIOBufferSizes, NyxApiSetASIOBufferSize, 256u),
    FROM_LIST(NyxApiAvailableCorvoLatenciesMs, NyxApiSetCorvoLatencyMs, 1u),
    FROM_LIST(NyxApiAvailableASIOEncodings, NyxApiSetASIOEncoding, uint16_t{24}),
    FROM_LIST(NyxApiAvailableASIOLatenciesMs, NyxApiSetASIOLatencyMs, 5u),
    [](NyxApi *a, Random &r) { return NyxApiSetRunning(a, r() % 4 == 0); },
    [](NyxApi *a, Random &) { return NyxApiClearDomainCredentials(a); },
    [](NyxApi *a, Random &r) {
        std::vector<NyxApiInterface> choices = list(a, NyxApiAvailableInterfaces);
        return choices.empty() ? NyxApiResult(NYXAPI_INVALID_STATE)
                               : NyxApiSetInterface(a, choices[r() % choices.size()].mac);
    },
    [](NyxApi *a, Random &r) {
        return NyxApiSetAudioInterface(a, r() % 4 == 0 ? NYXAPI_AUDIO_INTERFACE_WDM
                                                       : NYXAPI_AUDIO_INTERFACE_ASIO);
    },
};

template <class T> uint64_t get(NyxApi *api, NyxApiResult (*getter)(NyxApi *, T *)) {
    T value{};
    getter(api, &value);
    return uint64_t(value);
}

struct Soak {
    nyxsim *sim;
    NyxApi *api;
    double patience_seconds;
    std::minstd_rand random;
    u64 lost = 0;

    void sim_command(const char *command) {
        std::string reply;
        g_watchdog.call("nyxsim_command", [&] { return nyxsim_command(sim, command, &reply); });
    }

    // Sends requests without pause for `seconds` under one phase, then switches every fault off.
    void run_phase(const Phase &phase, double seconds, Figures *figures) {
        for (const char *command : phase.on) {
            sim_command(command);
        }
        int64_t end = now_ms() + int64_t(seconds * 1000), next_repeat = now_ms();
        for (size_t repeat_at = 0; now_ms() < end;) {
            if (!phase.repeat.empty() && now_ms() >= next_repeat) {
                sim_command(phase.repeat[repeat_at++ % phase.repeat.size()]);
                next_repeat = now_ms() + phase.every_ms;
            }
            one_request(phase, figures);
        }
        for (const char *command : kAllOff) {
            sim_command(command);
        }
    }

    // Sends one request, if the cache allows one, and waits for its completion.
    void one_request(const Phase &phase, Figures *figures) {
        std::unique_lock<std::mutex> lock(g_tracker.mutex);
        g_tracker.outstanding = true; // before the call: the completion may come first
        lock.unlock();
        const auto request = kRequests[random() % std::size(kRequests)];
        NyxApiResult result = g_watchdog.call("a setter", [&] { return request(api, random); });
        lock.lock();
        if (result != NYXAPI_SUCCESS) {
            g_tracker.outstanding = false;
            lock.unlock();
            ++figures->refused;
            // Refused at once: nothing to wait for. Not connected (or running): do not spin.
            std::this_thread::sleep_for(milliseconds(result == NYXAPI_INVALID_STATE ? 5 : 0));
            return;
        }
        ++figures->sent;
        auto patience = std::chrono::duration<double>(patience_seconds);
        if (!g_tracker.completed.wait_for(lock, patience, [] { return !g_tracker.outstanding; })) {
            // Unanswered: the application gives up. A completion racing the cancel still
            // counts as the one completion; none may follow the cancel.
            lock.unlock();
            g_watchdog.call("NyxApiCancelRequest", [&] { return NyxApiCancelRequest(api); });
            lock.lock();
        }
        if (g_tracker.outstanding) {
            g_tracker.outstanding = false;
            ++figures->cancelled;
            if (phase.all_answered) {
                ++lost;
                std::fprintf(stderr, "nyx-soak: a request unanswered under \"%s\"\n", phase.name);
            }
            return;
        }
        (g_tracker.result == NYXAPI_SUCCESS ? figures->succeeded : figures->failed)++;
    }

    // Every cached value the simulator's state and options decide; empty when equal.
    std::string compare() {
        if (NyxApiGetState(api) != NYXAPI_STATE_CONNECTED) {
            return " not connected";
        }
        nyx_system_state state{};
        nyx_system_options choices{};
        nyxsim_get_state(sim, &state);
        nyxsim_get_options(sim, &choices);
        const nyx_system_config &config = state.config;
        const nyx_latency_option *latency =
            nyx_system_options_find_latency_by_name(&choices, config.latency);
        NyxApiInterface iface{};
        NyxApiDomainInfo domain{};
        NyxApiGetInterface(api, &iface);
        NyxApiGetDomainInfo(api, &domain);
        const struct {
            const char *what;
            uint64_t cached, real;
        } values[] = {
            {"running", get(api, NyxApiGetRunning), config.want_to_run != 0},
            {"status", get(api, NyxApiGetStatus), config.want_to_run ? 1u : state.system_error},
            {"channels", get(api, NyxApiGetChannelCount), config.channels},
            {"audio", get(api, NyxApiGetAudioInterface),
             config.asio.audio_interface == NYX_AUDIO_INTERFACE_WDM ? NYXAPI_AUDIO_INTERFACE_WDM
                                                                    : NYXAPI_AUDIO_INTERFACE_ASIO},
            {"asio_buffer", get(api, NyxApiGetASIOBufferSize), config.asio.asio_buffer_size},
            {"asio_encoding", get(api, NyxApiGetASIOEncoding), config.asio.asio_encoding},
            {"asio_latency", get(api, NyxApiGetASIOLatencyMs), config.asio.asio_latency_us / 1000},
            {"corvo_latency", get(api, NyxApiGetCorvoLatencyMs), latency ? latency->us / 1000 : 0},
            {"interface", std::memcmp(iface.mac, config.interface.mac, 6) != 0, 0},
            {"domain", domain.enrolled, state.domain.enrolled != 0},
            {"channel_choices", list(api, NyxApiAvailableChannelCounts).size(),
             choices.num_channel_counts},
            {"interface_choices", list(api, NyxApiAvailableInterfaces).size(),
             choices.num_interfaces},
        };
        std::string diff;
        for (const auto &v : values) {
            if (v.cached != v.real) {
                diff += " " + std::string(v.what) + "=" + std::to_string(v.cached) + "/" +
                        std::to_string(v.real);
            }
        }
        return diff;
    }
};

} // namespace

int main(int argc, char **argv) {
    std::map<std::string, double> options = {
        {"--seconds", 180},        // the measured run, after the warm-up
        {"--warmup-seconds", 12},  // every phase once, briefly, before the first memory sample
        {"--phase-seconds", 0},    // 0: the run split evenly over the phases
        {"--rss-slack-kib", 512},  // growth of RSS allowed over the run
        {"--patience-seconds", 3}, // a request unanswered this long is cancelled
        {"--seed", 1},
    };
    for (int i = 1; i < argc; i += 2) {
        char *end = nullptr;
        double value = i + 1 < argc ? std::strtod(argv[i + 1], &end) : -1;
        if (options.count(argv[i]) == 0 || end == nullptr || *end != '\0' || value < 0 ||
            (value == 0 && std::strcmp(argv[i], "--patience-seconds") == 0)) {
            std::fprintf(stderr,
                         "usage: nyx-soak [--OPTION VALUE]... (see tests/soak/README.md)\n");
            return 2;
        }
        options[argv[i]] = value;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    nyxsim *sim = nullptr;
    nyxsim_options sim_options;
    sim_options.verbose = std::getenv("NYX_SOAK_TRACE") != nullptr;
    NyxApi *api = nullptr;
    if (nyxsim_new(&sim_options, &sim) != VTR_SUCCESS || nyxsim_start(sim) != VTR_SUCCESS ||
        NyxApiNew(&api) != NYXAPI_SUCCESS) {
        std::fprintf(stderr, "nyx-soak: cannot serve on 127.0.0.1:8899 (run it in a private "
                             "network namespace: tools/netns-run)\n");
        return 2;
    }
    g_watchdog.thread = std::thread([] {
        for (; !g_watchdog.done.load(); std::this_thread::sleep_for(milliseconds(50))) {
            int64_t since = g_watchdog.since_ms.load();
            if (since >= 0 && now_ms() - since > 20000) {
                std::fprintf(stderr, "nyx-soak: FAIL hang: %s has not returned for %lld ms\n",
                             g_watchdog.what.load(), (long long)(now_ms() - since));
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    });
    NyxApiSetEventFn(api, on_event);
    g_watchdog.call("NyxApiStart", [&] { return NyxApiStart(api); });

    Soak soak{sim, api, options["--patience-seconds"],
              std::minstd_rand(unsigned(options["--seed"]))};
    const size_t n = kPhases.size();
    const double phase_seconds = options["--phase-seconds"] > 0
                                     ? options["--phase-seconds"]
                                     : std::max(1.0, options["--seconds"] / n);
    // Warm-up: every phase once, so that every path has made its allocations; all but the
    // restart, whose aftermath would fill the measured run.
    Figures warmup, settle;
    for (size_t i = 0; i + 1 < n; ++i) {
        soak.run_phase(kPhases[i], options["--warmup-seconds"] / (n - 1), &warmup);
    }
    soak.run_phase(kPhases[0], 3, &warmup);
    const long rss_start = rss_kib();
    std::printf("nyx-soak: warm-up done (%llu requests), RSS %ld KiB; %.0f s of phases of %.1f s\n",
                warmup.sent, rss_start, options["--seconds"], phase_seconds);

    // At least one whole round of the phases, however short the run.
    std::vector<Figures> figures(n);
    for (int64_t i = 0, end = now_ms() + int64_t(options["--seconds"] * 1000);
         i < int64_t(n) || now_ms() < end; ++i) {
        soak.run_phase(kPhases[i % n], phase_seconds, &figures[i % n]);
    }
    // Faults off: the handle must come back by itself, its cache equal to the simulator's.
    soak.run_phase(kPhases[0], 5, &settle);
    const std::string diff = soak.compare();
    const long rss_end = rss_kib();
    g_watchdog.call("NyxApiStop", [&] { return NyxApiStop(api), 0; });
    g_watchdog.call("NyxApiDelete", [&] { return NyxApiDelete(api), 0; });
    g_watchdog.done = true;
    g_watchdog.thread.join();
    nyxsim_delete(sim);

    std::printf("\n%-13s %8s %9s %8s %9s %8s\n", "phase", "sent", "succeeded", "failed",
                "cancelled", "refused");
    u64 sent = 0;
    for (size_t i = 0; i < n; ++i) {
        const Figures &f = figures[i];
        std::printf("%-13s %8llu %9llu %8llu %9llu %8llu\n", kPhases[i].name, f.sent, f.succeeded,
                    f.failed, f.cancelled, f.refused);
        sent += f.sent;
    }
    std::printf("completions %llu, without a request in flight %llu, requests lost %llu\n"
                "RSS %ld KiB at the start, %ld KiB at the end (%+ld)\n"
                "cache after the faults: %s\n",
                g_tracker.completions, g_tracker.unexpected, soak.lost, rss_start, rss_end,
                rss_end - rss_start, diff.empty() ? "equal to the simulator" : diff.c_str());
    const std::pair<bool, const char *> failures[] = {
        {g_tracker.unexpected != 0,
         "a completion without a request in flight (reported twice, or after a cancel)"},
        {soak.lost != 0, "a request lost while the simulator answered every request"},
        {sent == 0, "no request was sent"},
        {!diff.empty(), "the cache differs from the simulator's state once the faults stopped"},
        {rss_end - rss_start > options["--rss-slack-kib"], "memory grew"},
    };
    bool ok = true;
    for (const auto &[failed, why] : failures) {
        if (failed) {
            std::printf("FAIL: %s\n", why);
            ok = false;
        }
    }
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
