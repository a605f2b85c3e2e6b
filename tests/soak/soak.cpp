// nyx-soak: an API client sends requests without pause for a given time while nyx-sim, in
// this process on 127.0.0.1:8899, switches its faults on in turn. It checks that every
// request ends in exactly one REQUEST_COMPLETED event, that no call hangs, that memory stays
// flat and that, once the faults stop, the cache equals the simulator's state.
// It binds the manager's port: run it in a private network namespace (tools/netns-run).
#include "api/nyx_api.h"
#include "cli/cli.h"
#include "sim/sim.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Options {
    double seconds = 180;       // the measured run, after the warm-up
    double warmup_seconds = 12; // every phase once, briefly, before the first memory sample
    double phase_seconds = 0;   // 0: the run split evenly over the phases
    long rss_slack_kib = 512;
    double patience_seconds = 3; // a request unanswered this long is cancelled
    unsigned seed = 1;
};

// One fault setting of the simulator: the commands that switch it on, the ones repeated
// while it lasts (every `repeat`), and whether every request must still be answered.
struct Phase {
    const char *name;
    std::vector<const char *> on;
    std::vector<const char *> repeat;
    milliseconds every;
    bool all_answered;
};

// In this order: the faults that keep the connection first; then silence, which (for more
// than 30 s) ends it, and Not connected, which keeps it from coming back.
const std::vector<Phase> kPhases = {
    {"clean", {}, {}, milliseconds(0), true},
    {"drop", {"drop 20"}, {}, milliseconds(0), false},
    {"duplicate", {"dup 30"}, {}, milliseconds(0), true},
    {"delay", {"delay 0 150"}, {}, milliseconds(0), true},
    {"statuses",
     {},
     {"status 257", "status 258", "status 259", "status 128", "status 129", "status 130"},
     milliseconds(40),
     true},
    {"noreply", {"noreply on"}, {}, milliseconds(0), false},
    {"silence", {"silent on"}, {}, milliseconds(0), false},
    {"notconnected", {"notconnected on"}, {}, milliseconds(0), true},
    // Last: a restarted manager has forgotten the client, which answers "Not connected" until
    // the client's 30 s silence timeout makes it connect again.
    {"restart", {}, {"socket restart"}, milliseconds(5000), false},
};
const char *const kAllOff[] = {"drop 0",           "dup 0",       "delay off", "silent off",
                               "notconnected off", "noreply off", "status off"};

struct Figures {
    uint64_t sent = 0, succeeded = 0, failed = 0, cancelled = 0, refused = 0;
    double slowest_ms = 0;
};

// What the event function sees, shared with the requesting thread.
struct Tracker {
    std::mutex mutex;
    std::condition_variable completed;
    bool outstanding = false;
    NyxApiResult result = 0;
    uint64_t completions = 0;
    uint64_t unexpected = 0; // completions without a request in flight: lost or doubled
    uint64_t events = 0;
    uint64_t by_result[8] = {}; // completions by result code (7: any other)
} g_tracker;

void on_event(const NyxApiEvent *event) {
    std::lock_guard<std::mutex> lock(g_tracker.mutex);
    ++g_tracker.events;
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        if (!g_tracker.outstanding) {
            ++g_tracker.unexpected;
            return;
        }
        g_tracker.outstanding = false;
        g_tracker.result = event->result;
        ++g_tracker.completions;
        ++g_tracker.by_result[std::min<NyxApiResult>(event->result, 7)];
        g_tracker.completed.notify_all();
    }
}

// The watchdog: every API call and every request is stamped; one that lasts too long ends
// the program with a message instead of hanging the test.
struct Watchdog {
    std::atomic<int64_t> since_ms{-1}; // start of the call under way, -1 when none
    std::atomic<const char *> what{""};
    std::atomic<bool> done{false};
    double slowest_call_ms = 0;
    const char *slowest_call = "none";
    std::thread thread;

    static int64_t now_ms() {
        return std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
    }
    void start(int64_t limit_ms) {
        thread = std::thread([this, limit_ms] {
            while (!done.load()) {
                int64_t since = since_ms.load();
                if (since >= 0 && now_ms() - since > limit_ms) {
                    std::fprintf(stderr, "nyx-soak: FAIL hang: %s has not returned for %lld ms\n",
                                 what.load(), (long long)(now_ms() - since));
                    std::fflush(stderr);
                    std::_Exit(3);
                }
                std::this_thread::sleep_for(milliseconds(50));
            }
        });
    }
    template <class F> auto call(const char *name, F &&f) {
        what = name;
        const int64_t begin = now_ms();
        since_ms = begin;
        auto result = f();
        since_ms = -1;
        if (double(now_ms() - begin) > slowest_call_ms) {
            slowest_call_ms = double(now_ms() - begin);
            slowest_call = name;
        }
        return result;
    }
    void stop() {
        done = true;
        thread.join();
    }
} g_watchdog;

long rss_kib() {
    malloc_trim(0);
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

template <class T>
std::vector<T> list(NyxApi *api, NyxApiResult (*lister)(NyxApi *, uint64_t *, T *)) {
    std::vector<T> items(32);
    uint64_t count = items.size();
    if (g_watchdog.call("a list export", [&] { return lister(api, &count, items.data()); }) !=
        NYXAPI_SUCCESS) {
        count = 0;
    }
    items.resize(std::min<uint64_t>(count, items.size()));
    return items;
}

class Soak {
  public:
    Soak(nyxsim *sim, NyxApi *api, const Options &options)
        : sim_(sim), api_(api), options_(options), random_(options.seed) {}

    // Sends requests without pause until `end`, under one phase; faults stay on afterwards
    // until switch_off.
    void run_phase(const Phase &phase, Clock::time_point end, Figures *figures) {
        for (const char *command : phase.on) {
            sim_command(command);
        }
        Clock::time_point next_repeat = Clock::now();
        size_t repeat_at = 0;
        while (Clock::now() < end) {
            if (!phase.repeat.empty() && Clock::now() >= next_repeat) {
                sim_command(phase.repeat[repeat_at++ % phase.repeat.size()]);
                next_repeat = Clock::now() + phase.every;
            }
            one_request(phase, figures);
        }
    }

    void switch_off() {
        for (const char *command : kAllOff) {
            sim_command(command);
        }
    }

    // Every cached value the simulator's state and options decide; empty when equal.
    std::string compare() {
        nyx_system_state state{};
        nyx_system_options options{};
        nyxsim_get_state(sim_, &state);
        nyxsim_get_options(sim_, &options);
        std::string diff;
        auto expect = [&](const char *what, uint64_t cached, uint64_t real) {
            if (cached != real) {
                diff += std::string(" ") + what + "=" + std::to_string(cached) + "/" +
                        std::to_string(real);
            }
        };
        if (NyxApiGetState(api_) != NYXAPI_STATE_CONNECTED) {
            return " not connected";
        }
        const nyx_system_config &config = state.config;
        bool running = false;
        uint32_t value = 0, status = 0;
        uint16_t encoding = 0;
        NyxApiAudioInterface audio = 0;
        NyxApiGetRunning(api_, &running);
        expect("running", running, config.want_to_run != 0);
        NyxApiGetStatus(api_, &status);
        expect("status", status, config.want_to_run ? 1 : state.system_error);
        NyxApiGetChannelCount(api_, &value);
        expect("channels", value, config.channels);
        NyxApiGetAudioInterface(api_, &audio);
        expect("audio", audio,
               config.asio.audio_interface == NYX_AUDIO_INTERFACE_WDM
                   ? NYXAPI_AUDIO_INTERFACE_WDM
                   : NYXAPI_AUDIO_INTERFACE_ASIO);
        NyxApiGetASIOBufferSize(api_, &value);
        expect("asio_buffer", value, config.asio.asio_buffer_size);
        NyxApiGetASIOEncoding(api_, &encoding);
        expect("asio_encoding", encoding, config.asio.asio_encoding);
        NyxApiGetASIOLatencyMs(api_, &value);
        expect("asio_latency", value, config.asio.asio_latency_us / 1000);
        NyxApiGetCorvoLatencyMs(api_, &value);
        const nyx_latency_option *latency =
            nyx_system_options_find_latency_by_name(&options, config.latency);
        expect("corvo_latency", value, latency ? latency->us / 1000 : 0);
        NyxApiInterface iface{};
        NyxApiGetInterface(api_, &iface);
        expect("interface", std::memcmp(iface.mac, config.interface.mac, 6) != 0, 0);
        NyxApiDomainInfo domain{};
        NyxApiGetDomainInfo(api_, &domain);
        expect("domain", domain.enrolled, state.domain.enrolled != 0);
        expect("channel_choices", list(api_, NyxApiAvailableChannelCounts).size(),
               options.num_channel_counts);
        expect("interface_choices", list(api_, NyxApiAvailableInterfaces).size(),
               options.num_interfaces);
        return diff;
    }

    void sim_command(const char *command) {
        std::string reply;
        // The socket commands wait for the serving thread; nothing else does.
        g_watchdog.call("nyxsim_command", [&] { return nyxsim_command(sim_, command, &reply); });
    }

    // Sends one request, if the cache allows one, and waits for its completion.
    void one_request(const Phase &phase, Figures *figures) {
        NyxApiResult result = send_random();
        if (result != NYXAPI_SUCCESS) {
            ++figures->refused;
            // Refused at once: nothing to wait for. Not connected (or running): do not spin.
            std::this_thread::sleep_for(milliseconds(result == NYXAPI_INVALID_STATE ? 5 : 0));
            return;
        }
        ++figures->sent;
        const auto sent = Clock::now();
        std::unique_lock<std::mutex> lock(g_tracker.mutex);
        const auto patience = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options_.patience_seconds));
        if (g_tracker.completed.wait_for(lock, patience, [] { return !g_tracker.outstanding; })) {
            (g_tracker.result == NYXAPI_SUCCESS ? figures->succeeded : figures->failed)++;
            figures->slowest_ms =
                std::max(figures->slowest_ms,
                         std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            return;
        }
        lock.unlock();
        // Unanswered: the application gives up. A completion racing the cancel still counts
        // as the one completion; none may follow the cancel.
        g_watchdog.call("NyxApiCancelRequest", [&] { return NyxApiCancelRequest(api_); });
        lock.lock();
        if (g_tracker.outstanding) {
            g_tracker.outstanding = false;
            ++figures->cancelled;
            if (phase.all_answered) {
                ++lost_;
                std::fprintf(stderr, "nyx-soak: request lost in phase %s\n", phase.name);
            }
        } else {
            (g_tracker.result == NYXAPI_SUCCESS ? figures->succeeded : figures->failed)++;
        }
    }

    uint64_t lost() const { return lost_; }

  private:
    template <class T> T pick(const std::vector<T> &items, T fallback) {
        return items.empty() ? fallback : items[random_() % items.size()];
    }

    NyxApiResult send_random() {
        // Marked before the call: the completion may come before the setter returns.
        {
            std::lock_guard<std::mutex> lock(g_tracker.mutex);
            g_tracker.outstanding = true;
        }
        NyxApiResult result = NYXAPI_SUCCESS;
        switch (random_() % 10) {
        case 0:
            result = g_watchdog.call("NyxApiSetChannelCount", [&] {
                return NyxApiSetChannelCount(api_,
                                             pick(list(api_, NyxApiAvailableChannelCounts), 8u));
            });
            break;
        case 1:
            result = g_watchdog.call("NyxApiSetASIOBufferSize", [&] {
                return NyxApiSetASIOBufferSize(
                    api_, pick(list(api_, NyxApiAvailableASIOBufferSizes), 256u));
            });
            break;
        case 2:
            result = g_watchdog.call("NyxApiSetCorvoLatencyMs", [&] {
                return NyxApiSetCorvoLatencyMs(
                    api_, pick(list(api_, NyxApiAvailableCorvoLatenciesMs), 1u));
            });
            break;
        case 3:
            result = g_watchdog.call("NyxApiSetASIOEncoding", [&] {
                return NyxApiSetASIOEncoding(
                    api_, pick(list(api_, NyxApiAvailableASIOEncodings), uint16_t{24}));
            });
            break;
        case 4:
            result = g_watchdog.call("NyxApiSetRunning",
                                     [&] { return NyxApiSetRunning(api_, random_() % 4 == 0); });
            break;
        case 5:
            result = g_watchdog.call("NyxApiClearDomainCredentials",
                                     [&] { return NyxApiClearDomainCredentials(api_); });
            break;
        case 6: {
            std::vector<NyxApiInterface> interfaces = list(api_, NyxApiAvailableInterfaces);
            result = g_watchdog.call("NyxApiSetInterface", [&] {
                return interfaces.empty()
                           ? NyxApiResult(NYXAPI_INVALID_STATE)
                           : NyxApiSetInterface(api_,
                                                interfaces[random_() % interfaces.size()].mac);
            });
            break;
        }
        case 7:
            result = g_watchdog.call("NyxApiSetAudioInterface", [&] {
                return NyxApiSetAudioInterface(api_, random_() % 4 == 0
                                                         ? NYXAPI_AUDIO_INTERFACE_WDM
                                                         : NYXAPI_AUDIO_INTERFACE_ASIO);
            });
            break;
        default:
            result = g_watchdog.call("NyxApiSetASIOLatencyMs", [&] {
                return NyxApiSetASIOLatencyMs(api_,
                                              pick(list(api_, NyxApiAvailableASIOLatenciesMs), 5u));
            });
            break;
        }
        if (result != NYXAPI_SUCCESS) {
            std::lock_guard<std::mutex> lock(g_tracker.mutex);
            g_tracker.outstanding = false;
        }
        return result;
    }

    nyxsim *sim_;
    NyxApi *api_;
    Options options_;
    std::minstd_rand random_;
    uint64_t lost_ = 0;
};

bool parse(int argc, char **argv, Options *options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](double *out) {
            if (i + 1 >= argc) {
                return false;
            }
            char *end = nullptr;
            *out = std::strtod(argv[++i], &end);
            return *end == '\0' && *out >= 0;
        };
        double number = 0;
        if (arg == "--seconds" && value(&number)) {
            options->seconds = number;
        } else if (arg == "--warmup-seconds" && value(&number)) {
            options->warmup_seconds = number;
        } else if (arg == "--phase-seconds" && value(&number)) {
            options->phase_seconds = number;
        } else if (arg == "--rss-slack-kib" && value(&number)) {
            options->rss_slack_kib = long(number);
        } else if (arg == "--patience-seconds" && value(&number) && number > 0) {
            options->patience_seconds = number;
        } else if (arg == "--seed" && value(&number)) {
            options->seed = unsigned(number);
        } else {
            std::fprintf(stderr,
                         "usage: nyx-soak [--seconds S] [--warmup-seconds S] [--phase-seconds S]\n"
                         "                [--rss-slack-kib K] [--patience-seconds S] [--seed N]\n");
            return false;
        }
    }
    return true;
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    nyxsim *sim = nullptr;
    nyxsim_options sim_options;
    sim_options.verbose = std::getenv("NYX_SOAK_TRACE") != nullptr;
    if (nyxsim_new(&sim_options, &sim) != VTR_SUCCESS || nyxsim_start(sim) != VTR_SUCCESS) {
        std::fprintf(stderr, "nyx-soak: cannot serve on 127.0.0.1:8899 (run it in a private "
                             "network namespace: tools/netns-run)\n");
        return 2;
    }
    g_watchdog.start(20000);
    NyxApi *api = nullptr;
    if (NyxApiNew(&api) != NYXAPI_SUCCESS) {
        return 2;
    }
    NyxApiSetEventFn(api, on_event);
    g_watchdog.call("NyxApiStart", [&] { return NyxApiStart(api); });
    const auto connect_by = Clock::now() + std::chrono::seconds(10);
    while (NyxApiGetState(api) != NYXAPI_STATE_CONNECTED && Clock::now() < connect_by) {
        std::this_thread::sleep_for(milliseconds(10));
    }

    Soak soak(sim, api, options);
    std::vector<Figures> figures(kPhases.size());
    const double phase_seconds = options.phase_seconds > 0
                                     ? options.phase_seconds
                                     : std::max(1.0, options.seconds / double(kPhases.size()));
    // Warm-up: every phase once, so that every path has made its allocations; all but the
    // restart, whose aftermath would fill the measured run.
    Figures warmup;
    for (const Phase &phase : kPhases) {
        if (&phase == &kPhases.back()) {
            break;
        }
        soak.run_phase(phase, Clock::now() + seconds(options.warmup_seconds / (kPhases.size() - 1)),
                       &warmup);
        soak.switch_off();
    }
    soak.run_phase(kPhases[0], Clock::now() + std::chrono::seconds(3), &warmup);
    const long rss_start = rss_kib();
    std::printf("nyx-soak: warm-up done (%llu requests), RSS %ld KiB; %.0f s of phases of %.1f s\n",
                (unsigned long long)warmup.sent, rss_start, options.seconds, phase_seconds);

    const auto run_end = Clock::now() + seconds(options.seconds);
    // At least one whole round of the phases, however short the run.
    for (size_t n = 0; n < kPhases.size() || Clock::now() < run_end; ++n) {
        const size_t i = n % kPhases.size();
        soak.run_phase(kPhases[i], Clock::now() + seconds(phase_seconds), &figures[i]);
        soak.switch_off();
    }

    // Faults off: the handle must come back by itself, its cache equal to the simulator's.
    Figures settle;
    soak.run_phase(kPhases[0], Clock::now() + std::chrono::seconds(5), &settle);
    const std::string diff = soak.compare();
    soak.run_phase(kPhases[0], Clock::now() + std::chrono::seconds(1), &settle);
    const long rss_end = rss_kib();

    g_watchdog.call("NyxApiStop", [&] {
        NyxApiStop(api);
        return 0;
    });
    g_watchdog.call("NyxApiDelete", [&] {
        NyxApiDelete(api);
        return 0;
    });
    g_watchdog.stop();
    nyxsim_delete(sim);

    Figures total;
    std::printf("\n%-13s %8s %9s %8s %9s %8s %11s\n", "phase", "sent", "succeeded", "failed",
                "cancelled", "refused", "slowest ms");
    for (size_t i = 0; i < kPhases.size(); ++i) {
        const Figures &f = figures[i];
        std::printf("%-13s %8llu %9llu %8llu %9llu %8llu %11.1f\n", kPhases[i].name,
                    (unsigned long long)f.sent, (unsigned long long)f.succeeded,
                    (unsigned long long)f.failed, (unsigned long long)f.cancelled,
                    (unsigned long long)f.refused, f.slowest_ms);
        total.sent += f.sent;
        total.succeeded += f.succeeded;
        total.failed += f.failed;
        total.cancelled += f.cancelled;
        total.refused += f.refused;
    }
    const bool balanced = total.sent == total.succeeded + total.failed + total.cancelled;
    std::printf("%-13s %8llu %9llu %8llu %9llu %8llu\n", "total", (unsigned long long)total.sent,
                (unsigned long long)total.succeeded, (unsigned long long)total.failed,
                (unsigned long long)total.cancelled, (unsigned long long)total.refused);
    std::printf("events %llu, completions %llu, completions without a request %llu, requests "
                "lost %llu\n",
                (unsigned long long)g_tracker.events, (unsigned long long)g_tracker.completions,
                (unsigned long long)g_tracker.unexpected, (unsigned long long)soak.lost());
    std::printf("completions by result:");
    for (size_t r = 0; r < 8; ++r) {
        if (g_tracker.by_result[r] != 0) {
            std::printf(" %s %llu", r == 7 ? "other" : nyxcli::result_name(NyxApiResult(r)),
                        (unsigned long long)g_tracker.by_result[r]);
        }
    }
    std::printf("\n");
    std::printf("slowest call %s, %.0f ms; RSS %ld KiB at the start, %ld KiB at the end (%+ld)\n",
                g_watchdog.slowest_call, g_watchdog.slowest_call_ms, rss_start, rss_end,
                rss_end - rss_start);
    std::printf("cache after the faults: %s\n",
                diff.empty() ? "equal to the simulator" : diff.c_str());

    bool ok = true;
    auto fail = [&](const char *why) {
        std::printf("FAIL: %s\n", why);
        ok = false;
    };
    if (g_tracker.unexpected != 0) {
        fail("a completion without a request in flight (reported twice, or after a cancel)");
    }
    if (soak.lost() != 0) {
        fail("a request lost while the simulator answered every request");
    }
    if (!balanced) {
        fail("requests and their outcomes do not add up");
    }
    if (total.sent == 0) {
        fail("no request was sent");
    }
    if (!diff.empty()) {
        fail("the cache differs from the simulator's state once the faults stopped");
    }
    if (rss_end - rss_start > options.rss_slack_kib) {
        fail("memory grew");
    }
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
