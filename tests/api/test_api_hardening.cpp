// The handle at its edges: calls from the event function, start, stop and delete from many
// threads, a throwing event function, a flood from the manager and steps of the wall clock.
#include "api/nyx_api_impl.h"
#include "service_fixture.h"

#include <fstream>
#include <stdexcept>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Its own name: a suite's fixture must be one class in the whole program.
class ApiEdges : public ApiService {};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The resident set of this process, in KiB.
long rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// What the handle's logger writes at Error and above.
struct ErrorLog {
    static void on_line(vtr_logger *, const char *, uint32_t, const char *text, size_t length) {
        std::lock_guard<std::mutex> guard(lock);
        lines.append(text, length);
    }
    static bool has(const std::string &text) {
        std::lock_guard<std::mutex> guard(lock);
        return lines.find(text) != std::string::npos;
    }
    static void attach(NyxApi *api, uint32_t level, vtr_log_callback fn = on_line) {
        vtr_logger *logger = api->impl->env->logger;
        logger->callback = fn;
        vtr_logger_set_level(logger, VTR_SINK_CALLBACK, level);
        vtr_logger_set_overall_level(logger, level);
    }
    static inline std::mutex lock;
    static inline std::string lines;
};

// An event function that chains requests from inside itself and may stop the handle.
struct Chain {
    static void on_event(const NyxApiEvent *event) {
        auto *self = static_cast<Chain *>(NyxApiGetContext(event->api));
        if ((event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) == 0) {
            return;
        }
        bool busy = true;
        self->results.push_back(NyxApiRequestInProgress(event->api, &busy));
        self->results.push_back(busy ? 99 : event->result);
        if (self->next < self->steps.size()) {
            self->results.push_back(self->steps[self->next++](event->api));
        } else if (self->stop) {
            NyxApiStop(event->api);
            // Takes effect after the event function: a start from here is refused.
            self->results.push_back(NyxApiStart(event->api));
        }
        self->completed.fetch_add(1);
    }
    std::vector<std::function<NyxApiResult(NyxApi *)>> steps;
    size_t next = 0;
    bool stop = false;
    std::vector<NyxApiResult> results; // written by the worker only, read once it is done
    std::atomic<int> completed{0};
};

std::atomic<int> deletes_from_event{0};
void delete_from_event(const NyxApiEvent *event) {
    if (deletes_from_event.fetch_add(1) == 0) {
        NyxApiDelete(event->api);
    }
}

TEST_F(ApiEdges, EventFunctionSendsRequestsStopsAndDeletes) {
    connect();
    Chain chain;
    chain.steps = {
        [](NyxApi *api) { return NyxApiSetASIOBufferSize(api, 128); },
        [](NyxApi *api) { return NyxApiClearDomainCredentials(api); },
        [](NyxApi *api) {
            // The second of two requests is refused as from any thread, then one goes out.
            NyxApiResult busy = NyxApiSetChannelCount(api, 16) == NYXAPI_SUCCESS
                                    ? NyxApiSetChannelCount(api, 32)
                                    : NyxApiResult{NYXAPI_OTHER};
            NyxApiCancelRequest(api);
            return busy == NYXAPI_INVALID_STATE ? NyxApiSetChannelCount(api, 32) : busy;
        },
    };
    ASSERT_EQ(NyxApiSetContext(api, &chain), NYXAPI_SUCCESS);
    ASSERT_EQ(NyxApiSetEventFn(api, Chain::on_event), NYXAPI_SUCCESS);
    uint32_t clears = nyxsim_received_count(sim, 0x0113);
    ASSERT_EQ(NyxApiSetASIOBufferSize(api, 64), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return chain.completed.load() == 4; }));
    const NyxApiResult S = NYXAPI_SUCCESS;
    EXPECT_EQ(chain.results, (std::vector<NyxApiResult>{S, S, S, S, S, S, S, S, S, S, S}));
    EXPECT_EQ(nyxsim_received_count(sim, 0x0113), clears + 1);
    EXPECT_TRUE(wait_until([&] { return get<uint32_t>(api, NyxApiGetChannelCount) == 32; }));

    // Stopped from the event function: idle with nothing in flight once it returned, and a
    // later start connects anew.
    chain.stop = true;
    uint32_t connects = nyxsim_received_count(sim, 1);
    uint32_t disconnects = nyxsim_received_count(sim, 2);
    ASSERT_EQ(NyxApiSetASIOBufferSize(api, 256), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return chain.completed.load() == 5; }));
    EXPECT_TRUE(becomes(NYXAPI_STATE_IDLE));
    EXPECT_FALSE(in_progress());
    EXPECT_EQ(chain.results.back(), NYXAPI_INVALID_STATE);
    EXPECT_TRUE(wait_until([&] { return nyxsim_received_count(sim, 2) > disconnects; }));
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    EXPECT_TRUE(wait_until([&] { return nyxsim_received_count(sim, 1) > connects; }));
    EXPECT_TRUE(becomes(NYXAPI_STATE_CONNECTED));

    // Deleted from the event function: the worker disconnects and frees the handle itself.
    size_t live = nyx_api_live_handles();
    disconnects = nyxsim_received_count(sim, 2);
    ASSERT_EQ(NyxApiSetEventFn(api, delete_from_event), NYXAPI_SUCCESS);
    sim_command("speed 100");
    api = nullptr; // no longer ours
    EXPECT_TRUE(wait_until([&] { return nyx_api_live_handles() == live - 1; }));
    EXPECT_TRUE(wait_until([&] { return nyxsim_received_count(sim, 2) > disconnects; }));
    EXPECT_EQ(deletes_from_event.load(), 1);
}

TEST_F(ApiEdges, RequestsAfterStopFailAsASendWithoutSocket) {
    connect();
    NyxApiStop(api);
    for (const auto &[what, call] : std::vector<std::pair<std::string, NyxApiResult (*)(NyxApi *)>>{
             {"running", [](NyxApi *a) { return NyxApiSetRunning(a, true); }},
             {"channels", [](NyxApi *a) { return NyxApiSetChannelCount(a, 16); }},
             {"buffer", [](NyxApi *a) { return NyxApiSetASIOBufferSize(a, 64); }},
             {"corvo", [](NyxApi *a) { return NyxApiSetCorvoLatencyMs(a, 2); }},
             {"domain", NyxApiClearDomainCredentials},
         }) {
        EXPECT_EQ(call(api), NYXAPI_OTHER) << what;
    }
    EXPECT_FALSE(in_progress());
}

std::atomic<int> throws{0};
void throwing(const NyxApiEvent *) {
    throws.fetch_add(1);
    throw std::runtime_error("boom");
}

TEST_F(ApiEdges, ThrowingEventFunctionIsLoggedAndTheWorkerGoesOn) {
    ErrorLog::attach(api, VTR_LOG_ERROR);
    ASSERT_EQ(NyxApiSetEventFn(api, throwing), NYXAPI_SUCCESS);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
    EXPECT_TRUE(
        wait_until([] { return ErrorLog::has("NyxApiImpl::raise: caught exception: boom\n"); }));
    ASSERT_EQ(NyxApiSetEventFn(api, Recorder::on_event), NYXAPI_SUCCESS);
    EXPECT_EQ(COMPLETE(NyxApiSetChannelCount(api, 16), NYXAPI_CHANGE_CHANNEL_COUNT),
              NYXAPI_SUCCESS);

    // Restarted, the worker processes again (a loop left marked as processing would not).
    NyxApiStop(api);
    ASSERT_EQ(NyxApiSetEventFn(api, throwing), NYXAPI_SUCCESS);
    int before = throws.load();
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    sim_command("speed 100");
    ASSERT_TRUE(wait_until([&] { return throws.load() > before; }));
    ASSERT_EQ(NyxApiSetEventFn(api, Recorder::on_event), NYXAPI_SUCCESS);
    EXPECT_EQ(COMPLETE(NyxApiSetChannelCount(api, 32), NYXAPI_CHANGE_CHANNEL_COUNT),
              NYXAPI_SUCCESS);
}

// Two workers of one handle would overlap in its event function.
std::atomic<int> inside{0};
std::atomic<int> overlaps{0};
void counting(const NyxApiEvent *) {
    if (inside.fetch_add(1) != 0) {
        overlaps.fetch_add(1);
    }
    std::this_thread::sleep_for(50us);
    inside.fetch_sub(1);
}
void counting_too(const NyxApiEvent *event) {
    counting(event);
}

TEST_F(ApiEdges, StartStopAndEventFunctionFromManyThreads) {
    constexpr int kThreads = 4, kRounds = 30;
    std::atomic<int64_t> slowest_stop_us{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                if ((r + t) % 2 == 0) {
                    NyxApiResult result = NyxApiStart(api);
                    EXPECT_TRUE(result == NYXAPI_SUCCESS || result == NYXAPI_INVALID_STATE);
                    std::this_thread::sleep_for(std::chrono::milliseconds(r % 5));
                } else {
                    Clock::time_point start = Clock::now();
                    NyxApiStop(api);
                    int64_t us =
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start)
                            .count();
                    int64_t seen = slowest_stop_us.load();
                    while (us > seen && !slowest_stop_us.compare_exchange_weak(seen, us)) {
                    }
                }
            }
        });
    }
    // Meanwhile the event function and the context change under the running worker.
    std::thread changer([&] {
        const NyxApiEventFn fns[] = {counting, nullptr, counting_too};
        for (int i = 0; !done.load(); ++i) {
            NyxApiSetEventFn(api, fns[i % 3]);
            NyxApiSetContext(api, i % 2 ? &done : nullptr);
            NyxApiGetState(api);
            std::this_thread::sleep_for(100us);
        }
    });
    for (std::thread &t : threads) {
        t.join();
    }
    done.store(true);
    changer.join();
    EXPECT_EQ(overlaps.load(), 0);
    // A stop may wait for another thread's stop or start, never for a worker's wait.
    EXPECT_LT(slowest_stop_us.load(), 1000000);

    // Still a working handle.
    NyxApiStop(api);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);
    ASSERT_EQ(NyxApiSetEventFn(api, Recorder::on_event), NYXAPI_SUCCESS);
    ASSERT_EQ(NyxApiSetContext(api, &rec), NYXAPI_SUCCESS);
    uint32_t connects = nyxsim_received_count(sim, 1);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return nyxsim_received_count(sim, 1) > connects; }));
    EXPECT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
    // A request sent before the new connection is through may be refused; the next one not.
    EXPECT_TRUE(wait_until([&] {
        if (get<uint32_t>(api, NyxApiGetChannelCount) == 16) {
            return true;
        }
        if (!in_progress()) {
            NyxApiSetChannelCount(api, 16);
        }
        return false;
    }));
}

// Each line the worker logs costs it this much while `slow` is set: processing a datagram
// takes far longer than the manager needs to send one.
std::atomic<bool> slow{false};
void slow_line(vtr_logger *, const char *, uint32_t, const char *, size_t) {
    if (slow.load()) {
        std::this_thread::sleep_for(10us);
    }
}

TEST_F(ApiEdges, FloodOutpacingTheLoopHoldsNeitherSettersNorKeepalivesNorStop) {
    install_fast_clock();
    ErrorLog::attach(api, VTR_LOG_VERBOSE, slow_line);
    connect();
    // The manager repeats its state for `seconds`, far faster than the slowed loop reads.
    auto flood = [&](double seconds) {
        return std::thread([this, seconds] {
            std::string reply;
            for (Clock::time_point start = Clock::now(); seconds_since(start) < seconds;) {
                nyxsim_command(sim, "push state", &reply);
                std::this_thread::sleep_for(50us);
            }
        });
    };
    slow.store(true);
    std::thread flooding = flood(2.5);
    std::this_thread::sleep_for(200ms);
    long rss_before = rss_kib();
    uint32_t keepalives = nyxsim_received_count(sim, 0);
    vtr_time sim_start = {};
    vtr_time_monotonic(&sim_start);

    double slowest_setter = 0;
    Clock::time_point phase = Clock::now();
    for (uint32_t size = 64; seconds_since(phase) < 1.5; size = size == 64 ? 128 : 64) {
        Clock::time_point start = Clock::now();
        EXPECT_EQ(NyxApiSetASIOBufferSize(api, size), NYXAPI_SUCCESS);
        EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
        slowest_setter = std::max(slowest_setter, seconds_since(start));
        std::this_thread::sleep_for(100ms);
    }
    vtr_time sim_now = {};
    vtr_time_monotonic(&sim_now);
    int32_t sim_seconds = vtr_time_sub(sim_now, sim_start).sec;
    // Keepalives keep coming: the fast clock stretches the worker's real waits, so count on
    // one per 6 s of it rather than per 3 s (a loop held by the flood sends none).
    EXPECT_GE(nyxsim_received_count(sim, 0) - keepalives, static_cast<uint32_t>(sim_seconds / 6))
        << sim_seconds << " s";
    EXPECT_LT(slowest_setter, 0.8);
    if (!kSanitized) {
        EXPECT_LT(rss_kib() - rss_before, 1024);
    }
    Clock::time_point start = Clock::now();
    NyxApiStop(api);
    EXPECT_LT(seconds_since(start), 1.0);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    flooding.join();
    slow.store(false);

    // Afterwards the connection is up (a connect reply lost in the flood is retried) and the
    // cache follows the manager again.
    sim_command("speed 100");
    nyx_system_state state = {};
    nyxsim_get_state(sim, &state);
    EXPECT_TRUE(wait_until([&] {
        return NyxApiGetState(api) == NYXAPI_STATE_CONNECTED &&
               get<uint32_t>(api, NyxApiGetASIOBufferSize) == state.config.asio.asio_buffer_size &&
               get<uint32_t>(api, NyxApiGetChannelCount) == state.config.channels &&
               get<NyxApiNetworkStatus>(api, NyxApiGetNetworkStatus).linkSpeedMbps == 100u;
    }));

    // A delete under a flood returns as quickly as a stop.
    slow.store(true);
    flooding = flood(1.5);
    std::this_thread::sleep_for(300ms);
    start = Clock::now();
    NyxApiDelete(api);
    api = nullptr;
    EXPECT_LT(seconds_since(start), 1.0);
    flooding.join();
    slow.store(false);
}

// The wall clock runs with the fast clock, moved by a step the test chooses.
std::atomic<int64_t> wall_step_us{0};
void stepped_wall(vtr_time *now) {
    fast_clock(now);
    int64_t us = int64_t{now->sec} * 1000000 + now->usec + wall_step_us.load();
    now->sec = static_cast<int32_t>(us / 1000000);
    now->usec = static_cast<uint32_t>(us % 1000000);
}

TEST_F(ApiEdges, WallClockStepsLeaveTheConnectionAndTheKeepaliveRhythmAlone) {
    // Three times real time: the worker's 500 ms wait cap is then 1.5 s of this clock, so
    // its waits end on the 3 s keepalive timer and not later.
    install_fast_clock(3);
    vtr_wall_clock_set_hook(stepped_wall);
    connect();
    size_t mark = rec.size();
    // When each keepalive reached the manager, in seconds of the timers' clock.
    std::vector<double> arrivals;
    uint32_t seen = nyxsim_received_count(sim, 0);
    for (Clock::time_point start = Clock::now(); arrivals.size() < 5 && seconds_since(start) < 10;
         std::this_thread::sleep_for(1ms)) {
        uint32_t now_seen = nyxsim_received_count(sim, 0);
        if (now_seen == seen) {
            continue;
        }
        seen = now_seen;
        vtr_time t = {};
        vtr_time_monotonic(&t);
        arrivals.push_back(t.sec + t.usec / 1e6);
        if (arrivals.size() == 2) {
            wall_step_us.store(3600ll * 1000000); // an hour forwards
        } else if (arrivals.size() == 3) {
            wall_step_us.store(-3600ll * 1000000); // and back, an hour behind
        }
    }
    wall_step_us.store(0);
    ASSERT_EQ(arrivals.size(), 5u);
    for (size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_NEAR(arrivals[i] - arrivals[i - 1], 3.0, 0.5) << i;
    }
    std::vector<Event> after = rec.since(mark);
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), connected));
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_CONNECTED);
}

} // namespace
