// The handle against the simulated manager running in this process: null arguments, a fresh
// handle, connection and cache, setters and their preconditions, calls from the event
// function, many threads, a throwing event function, a flood and steps of the wall clock.
#include "api/nyx_api.h"
#include "api/nyx_api_impl.h"
#include "client/nyx_records.h"
#include "sim/sim.h"
#include "sim/sim_model.h"
#include "vtr/vtr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A clock faster than real time, so that the 3 s keepalive passes quickly.
std::atomic<int64_t> fast_base_us{0}, clock_speed{1}, wall_step_us{0};
Clock::time_point fast_base_steady;

void set_us(vtr_time *now, int64_t us) {
    now->sec = static_cast<int32_t>(us / 1000000);
    now->usec = static_cast<uint32_t>(us % 1000000);
}
void fast_clock(vtr_time *now) {
    auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - fast_base_steady);
    set_us(now, fast_base_us.load() + elapsed.count() * clock_speed.load());
}
// The wall clock runs with the fast clock, moved by a step the test chooses.
void stepped_wall(vtr_time *now) {
    fast_clock(now);
    set_us(now, int64_t{now->sec} * 1000000 + now->usec + wall_step_us.load());
}
void install_fast_clock(int64_t speed) {
    clock_speed.store(speed);
    vtr_time real = {};
    vtr_time_now(&real);
    fast_base_steady = Clock::now();
    fast_base_us.store(int64_t{real.sec} * 1000000 + real.usec);
    vtr_clock_set_hook(fast_clock);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool wait_until(const std::function<bool()> &pred) {
    for (Clock::time_point start = Clock::now(); !pred(); std::this_thread::sleep_for(2ms)) {
        if (seconds_since(start) > 5) {
            return false;
        }
    }
    return true;
}

template <class T, class F> T get(NyxApi *api, F getter) {
    T value{};
    EXPECT_EQ(getter(api, &value), NYXAPI_SUCCESS);
    return value;
}

struct Event {
    NyxApiChanges changes;
    NyxApiResult result;
    NyxApiState state; // as the event function saw it
    bool well_formed;
};
std::function<bool(const Event &)> with(NyxApiChanges flag) {
    return [flag](const Event &e) { return (e.changes & flag) != 0; };
}
bool connected(const Event &e) {
    return e.state == NYXAPI_STATE_CONNECTED;
}

struct Recorder {
    static void on_event(const NyxApiEvent *event) {
        auto *self = static_cast<Recorder *>(NyxApiGetContext(event->api));
        Event e = {event->changes, event->result, NyxApiGetState(event->api),
                   event->size == 32 && event->api == self->api};
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back(e);
    }
    std::vector<Event> since(size_t first) {
        std::lock_guard<std::mutex> guard(lock);
        return std::vector<Event>(events.begin() + std::min(first, events.size()), events.end());
    }
    size_t size() { return since(0).size(); }
    // The first event from `first` on that satisfies pred, once it came (index -1: none).
    std::pair<long, Event> wait(size_t first, const std::function<bool(const Event &)> &pred) {
        std::pair<long, Event> found = {-1, Event{}};
        wait_until([&] {
            std::vector<Event> rest = since(first);
            auto it = std::find_if(rest.begin(), rest.end(), pred);
            found = it == rest.end() ? found : std::pair{long(first + (it - rest.begin())), *it};
            return found.first >= 0;
        });
        return found;
    }
    NyxApi *api = nullptr;
    std::mutex lock;
    std::vector<Event> events;
};

// Every request, with arguments the default options hold.
const uint8_t kMac[6] = {0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01}; // the first of the defaults
NyxApiResult (*const kRequests[])(NyxApi *) = {
    [](NyxApi *a) { return NyxApiSetRunning(a, true); },
    [](NyxApi *a) { return NyxApiSetInterface(a, kMac); },
    [](NyxApi *a) { return NyxApiSetChannelCount(a, 8); },
    [](NyxApi *a) { return NyxApiSetAudioInterface(a, 1); },
    [](NyxApi *a) { return NyxApiSetASIOBufferSize(a, 64); },
    [](NyxApi *a) { return NyxApiSetASIOEncoding(a, 24); },
    [](NyxApi *a) { return NyxApiSetASIOLatencyMs(a, 2); },
    [](NyxApi *a) { return NyxApiSetCorvoLatencyMs(a, 1); },
    NyxApiClearDomainCredentials,
};

class ApiService : public ::testing::Test {
  protected:
    void SetUp() override {
        nyxsim_options options;
        ASSERT_EQ(nyxsim_new(&options, &sim), VTR_SUCCESS);
        ASSERT_EQ(nyxsim_start(sim), VTR_SUCCESS);
        ASSERT_EQ(NyxApiNew(&api), NYXAPI_SUCCESS);
        rec.api = api;
        ASSERT_EQ(NyxApiSetContext(api, &rec), NYXAPI_SUCCESS);
        ASSERT_EQ(NyxApiSetEventFn(api, Recorder::on_event), NYXAPI_SUCCESS);
    }
    void TearDown() override {
        NyxApiDelete(api);
        nyxsim_delete(sim);
        vtr_clock_set_hook(nullptr);
    }

    void connect() {
        ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
        ASSERT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
        ASSERT_GE(rec.wait(0, connected).first, 0);
    }
    void sim_command(const std::string &line) {
        std::string reply;
        ASSERT_EQ(nyxsim_command(sim, line.c_str(), &reply), VTR_SUCCESS) << line << ": " << reply;
    }
    // Changes the manager and waits for the handle to report `flag`.
    void sim_change(const std::string &line, NyxApiChanges flag) {
        size_t mark = rec.size();
        sim_command(line);
        ASSERT_GE(rec.wait(mark, with(flag)).first, 0) << line;
    }
    uint32_t received(uint16_t opcode) { return nyxsim_received_count(sim, opcode); }
    bool becomes(NyxApiState state) {
        return wait_until([&] { return NyxApiGetState(api) == state; });
    }
    bool in_progress() {
        bool busy = false;
        EXPECT_EQ(NyxApiRequestInProgress(api, &busy), NYXAPI_SUCCESS);
        return busy;
    }

    // Every configuration setter with a value the options hold, while the manager does not
    // answer; what was sent is cancelled at once, reaches the manager and raises no event.
    std::vector<NyxApiResult> try_setters() {
        sim_command("noreply on");
        size_t mark = rec.size();
        uint32_t expected = received(0x0110);
        std::vector<NyxApiResult> results;
        for (size_t i = 0; i < 8; ++i) { // all but the domain's credentials
            results.push_back(kRequests[i](api));
            if (results.back() == NYXAPI_SUCCESS) {
                ++expected;
                EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
            }
        }
        EXPECT_TRUE(wait_until([&] { return received(0x0110) == expected; }));
        sim_command("noreply off");
        std::vector<Event> after = rec.since(mark);
        EXPECT_EQ(std::count_if(after.begin(), after.end(), with(NYXAPI_CHANGE_REQUEST_COMPLETED)),
                  0);
        return results;
    }

    // Sends one request; its completion comes alone in an event, followed by one that reports
    // `flag` (when not 0). Returns the completion's result.
    NyxApiResult complete(const std::function<NyxApiResult()> &send, NyxApiChanges flag) {
        size_t mark = rec.size();
        EXPECT_EQ(send(), NYXAPI_SUCCESS);
        auto [done, completion] = rec.wait(mark, with(NYXAPI_CHANGE_REQUEST_COMPLETED));
        EXPECT_EQ(completion.changes, NYXAPI_CHANGE_REQUEST_COMPLETED);
        if (flag != 0 && done >= 0) {
            auto next = rec.wait(done + 1, [](const Event &) { return true; }).second;
            EXPECT_EQ(next.changes & (flag | NYXAPI_CHANGE_REQUEST_COMPLETED), flag);
        }
        EXPECT_FALSE(in_progress());
        return done < 0 ? NyxApiResult{NYXAPI_OTHER} : completion.result;
    }

    nyxsim *sim = nullptr;
    NyxApi *api = nullptr;
    Recorder rec;
};

#define COMPLETE(call, flag) complete([&] { return call; }, flag)

// A null handle and a null out-pointer both give INVALID_PARAMETER.
template <class... T> void null_rules(NyxApi *api, NyxApiResult (*fn)(NyxApi *, T *...), int i) {
    std::tuple<T...> values{};
    auto with_values = [&](T &...v) { return fn(nullptr, &v...); };
    EXPECT_EQ(std::apply(with_values, values), NYXAPI_INVALID_PARAMETER) << i;
    EXPECT_EQ(fn(api, static_cast<T *>(nullptr)...), NYXAPI_INVALID_PARAMETER) << i;
}
template <class... F> void null_rules_of_all(NyxApi *api, F... fns) {
    int i = 0;
    (null_rules(api, fns, i++), ...);
}

TEST_F(ApiService, NullArgumentsAndAFreshHandle) {
    null_rules_of_all(api, NyxApiRequestInProgress, NyxApiGetRunning, NyxApiGetStatus,
                      NyxApiGetInterface, NyxApiGetChannelCount, NyxApiGetAudioInterface,
                      NyxApiGetASIOBufferSize, NyxApiGetASIOEncoding, NyxApiGetASIOLatencyMs,
                      NyxApiGetCorvoLatencyMs, NyxApiGetNetworkStatus, NyxApiGetDeviceName,
                      NyxApiGetDomainInfo, NyxApiGetDeviceLockStatus, NyxApiGetServerVersion,
                      NyxApiAvailableInterfaces, NyxApiAvailableChannelCounts,
                      NyxApiAvailableAudioInterfaces, NyxApiAvailableASIOBufferSizes,
                      NyxApiAvailableASIOEncodings, NyxApiAvailableASIOLatenciesMs,
                      NyxApiAvailableCorvoLatenciesMs);
    for (auto call : kRequests) {
        EXPECT_EQ(call(nullptr), NYXAPI_INVALID_PARAMETER);
        EXPECT_EQ(call(api), NYXAPI_INVALID_STATE); // not connected
    }
    for (auto call : {NyxApiStart, NyxApiCancelRequest}) {
        EXPECT_EQ(call(nullptr), NYXAPI_INVALID_PARAMETER);
    }
    EXPECT_EQ(NyxApiSetContext(nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetEventFn(nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiNew(nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiCollectLogs(nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    // Argument checks come before the connection check.
    EXPECT_EQ(NyxApiSetInterface(api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_NONE), NYXAPI_INVALID_PARAMETER);
    // The exceptions to the null-handle rule.
    NyxApiDelete(nullptr);
    NyxApiStop(nullptr);
    EXPECT_EQ(NyxApiGetContext(nullptr), nullptr);
    EXPECT_EQ(NyxApiGetState(nullptr), 3u);
    EXPECT_EQ(NyxApiGetApiVersion(nullptr).major, 1u);
    // A fresh handle: idle, empty, nothing in flight.
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);
    EXPECT_EQ(NyxApiGetContext(api), &rec);
    uint64_t count = 5;
    EXPECT_EQ(NyxApiAvailableInterfaces(api, &count, nullptr), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(in_progress());
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
}

TEST_F(ApiService, ConnectsAndFillsTheCache) {
    connect();
    std::vector<Event> events = rec.since(0);
    EXPECT_NE(events[0].changes & NYXAPI_CHANGE_STATE, 0u); // away from IDLE
    NyxApiChanges seen = 0;
    for (const Event &e : events) {
        EXPECT_TRUE(e.well_formed);
        EXPECT_EQ(e.result, NYXAPI_SUCCESS);
        seen |= e.changes;
    }
    // Every value of the defaults differs from the empty cache, except running and the lock.
    EXPECT_EQ(seen, 0xFFFFFu & ~(NYXAPI_CHANGE_REQUEST_COMPLETED | NYXAPI_CHANGE_RUNNING |
                                 0x10000u | NYXAPI_CHANGE_DEVICE_LOCK_STATUS))
        << std::hex << seen;
    EXPECT_EQ(NyxApiStart(api), NYXAPI_INVALID_STATE);

    // The list convention: capacity in, total out, never more copied than fits.
    uint32_t out[3] = {0, 0, 9};
    uint64_t count = 2;
    EXPECT_EQ(NyxApiAvailableASIOBufferSizes(api, &count, out), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::vector<uint32_t>(out, out + 3), (std::vector<uint32_t>{32, 64, 9}));
}

TEST_F(ApiService, SettersCheckTheirPreconditionsInOrderAndSendTheirValues) {
    connect();
    using R = std::vector<NyxApiResult>;
    const NyxApiResult S = NYXAPI_SUCCESS, IS = NYXAPI_INVALID_STATE, AD = NYXAPI_ACCESS_DENIED;
    const uint8_t unknown_mac[6] = {9, 9, 9, 9, 9, 9};
    // What the setters send: the reported configuration with their values converted.
    nyx_system_state state = {};
    nyxsim_get_state(sim, &state);
    // The low 16 bits: 65568 is 32.
    EXPECT_EQ(COMPLETE(NyxApiSetChannelCount(api, 65536 + 32), NYXAPI_CHANGE_CHANNEL_COUNT), S);
    EXPECT_EQ(COMPLETE(NyxApiSetCorvoLatencyMs(api, 2), NYXAPI_CHANGE_CORVO_LATENCY), S);
    EXPECT_EQ(COMPLETE(NyxApiSetRunning(api, true), NYXAPI_CHANGE_RUNNING), S);
    nyx_system_config &c = state.config, sent = {};
    c.channels = 32;
    std::snprintf(c.latency, sizeof c.latency, "2 ms");
    c.want_to_run = 1;
    ASSERT_TRUE(nyxsim_last_config(sim, &sent));
    EXPECT_EQ(nyxsim_describe_config(&sent), nyxsim_describe_config(&c));
    uint32_t clears = received(0x0113);
    EXPECT_EQ(COMPLETE(NyxApiClearDomainCredentials(api), 0), S);
    EXPECT_EQ(received(0x0113), clears + 1);
    ASSERT_EQ(COMPLETE(NyxApiSetRunning(api, false), NYXAPI_CHANGE_RUNNING), S);

    // Columns: running, interface, channel count, audio interface, ASIO buffer size, encoding
    // and latency, Corvo latency.
    EXPECT_EQ(try_setters(), (R{S, S, S, S, S, S, S, S}));
    // Choices that the options do not hold, and values that validation rejects.
    EXPECT_EQ((R{NyxApiSetInterface(api, unknown_mac), NyxApiSetCorvoLatencyMs(api, 3),
                 NyxApiSetASIOLatencyMs(api, 3), NyxApiSetChannelCount(api, 7)}),
              R(4, NYXAPI_INVALID_DATA));

    ASSERT_EQ(COMPLETE(NyxApiSetRunning(api, true), NYXAPI_CHANGE_RUNNING), S);
    EXPECT_EQ(try_setters(), (R{S, IS, IS, IS, S, S, S, IS}));
    EXPECT_EQ(NyxApiSetInterface(api, unknown_mac), IS); // the state before the choice
    ASSERT_EQ(COMPLETE(NyxApiSetRunning(api, false), NYXAPI_CHANGE_RUNNING), S);

    ASSERT_EQ(COMPLETE(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM),
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              S);
    EXPECT_EQ(try_setters(), (R{S, S, IS, S, IS, IS, IS, S}));
    // A device lock: for the ASIO values the missing ASIO still decides first.
    sim_change("lock 1", NYXAPI_CHANGE_DEVICE_LOCK_STATUS);
    EXPECT_EQ(try_setters(), (R{AD, S, IS, S, IS, IS, IS, S}));
    ASSERT_EQ(COMPLETE(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_ASIO),
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              S);
    EXPECT_EQ(try_setters(), (R{AD, S, S, S, AD, AD, AD, S}));
    sim_change("lock 0", NYXAPI_CHANGE_DEVICE_LOCK_STATUS);

    // A reachable domain that forbids configuration locks the same; an unreachable one cannot.
    sim_change("domain corp locked", NYXAPI_CHANGE_DOMAIN);
    EXPECT_EQ(try_setters(), (R{AD, S, S, S, AD, AD, AD, S}));
    sim_change("domain corp locked offline", NYXAPI_CHANGE_DOMAIN);
    EXPECT_EQ(try_setters(), (R{S, S, S, S, S, S, S, S}));
}

// Calls from inside the event function: requests on each completion, then a stop; a delete
// on the first other event once `remove` is set.
struct Chain {
    static void on_event(const NyxApiEvent *event) {
        auto *self = static_cast<Chain *>(NyxApiGetContext(event->api));
        NyxApi *api = event->api;
        if ((event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) == 0) {
            if (self->remove && self->removed.fetch_add(1) == 0) {
                NyxApiDelete(api);
            }
            return;
        }
        bool busy = true;
        std::vector<NyxApiResult> &r = self->results;
        r.push_back(NyxApiRequestInProgress(api, &busy));
        r.push_back(busy ? 99 : event->result);
        if (self->completed.load() == 0) { // the second of two is refused as from any thread
            r.push_back(NyxApiSetChannelCount(api, 32));
            r.push_back(NyxApiSetChannelCount(api, 16));
        } else { // takes effect after the event function: a start from here is refused
            NyxApiStop(api);
            r.push_back(NyxApiStart(api));
        }
        self->completed.fetch_add(1);
    }
    std::atomic<bool> remove{false};
    std::atomic<int> removed{0}, completed{0};
    std::vector<NyxApiResult> results; // written by the worker only, read once it is done
};

TEST_F(ApiService, EventFunctionSendsRequestsStopsAndDeletes) {
    connect();
    Chain chain;
    ASSERT_EQ(NyxApiSetContext(api, &chain), NYXAPI_SUCCESS);
    ASSERT_EQ(NyxApiSetEventFn(api, Chain::on_event), NYXAPI_SUCCESS);
    uint32_t disconnects = received(2);
    ASSERT_EQ(NyxApiSetASIOBufferSize(api, 64), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return chain.completed.load() == 2; }));
    const NyxApiResult S = NYXAPI_SUCCESS, IS = NYXAPI_INVALID_STATE;
    EXPECT_EQ(chain.results, (std::vector<NyxApiResult>{S, S, S, IS, S, S, IS}));

    // Stopped from the event function: idle with nothing in flight once it returned; requests
    // fail as a send without socket, and a later start connects anew.
    EXPECT_TRUE(becomes(NYXAPI_STATE_IDLE));
    EXPECT_FALSE(in_progress());
    EXPECT_TRUE(wait_until([&] { return received(2) > disconnects; }));
    for (auto call : kRequests) {
        EXPECT_EQ(call(api), NYXAPI_OTHER);
    }
    EXPECT_FALSE(in_progress());
    uint32_t connects = received(1);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    EXPECT_TRUE(wait_until([&] { return received(1) > connects; }));
    EXPECT_TRUE(becomes(NYXAPI_STATE_CONNECTED));

    // Deleted from the event function: the worker disconnects and frees the handle itself.
    size_t live = nyx_api_live_handles();
    disconnects = received(2);
    chain.remove = true;
    sim_command("speed 100");
    api = nullptr; // no longer ours
    EXPECT_TRUE(wait_until([&] { return nyx_api_live_handles() == live - 1; }));
    EXPECT_TRUE(wait_until([&] { return received(2) > disconnects; }));
    EXPECT_EQ(chain.removed.load(), 1);
}

std::atomic<int> throws{0};
void throwing(const NyxApiEvent *) {
    throws.fetch_add(1);
    throw std::runtime_error("boom");
}

TEST_F(ApiService, ThrowingEventFunctionIsLoggedAndTheWorkerGoesOn) {
    for (int round : {0, 1}) {
        // A second start after the throw: a loop left marked as processing would not process.
        NyxApiStop(api);
        ASSERT_EQ(NyxApiSetEventFn(api, throwing), NYXAPI_SUCCESS);
        int before = throws.load();
        ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
        ASSERT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
        sim_command("speed " + std::to_string(100 + round));
        ASSERT_TRUE(wait_until([&] { return throws.load() > before; }));
        ASSERT_EQ(NyxApiSetEventFn(api, Recorder::on_event), NYXAPI_SUCCESS);
        EXPECT_EQ(
            COMPLETE(NyxApiSetChannelCount(api, 16 + 16 * round), NYXAPI_CHANGE_CHANNEL_COUNT),
            NYXAPI_SUCCESS);
    }
}

// Two workers of one handle would overlap in its event function.
std::atomic<int> inside{0}, overlaps{0};
void counting(const NyxApiEvent *) {
    overlaps.fetch_add(inside.fetch_add(1) != 0);
    std::this_thread::sleep_for(50us);
    inside.fetch_sub(1);
}

TEST_F(ApiService, StartStopAndEventFunctionFromManyThreads) {
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < 30; ++r) {
                if ((r + t) % 2 == 0) {
                    NyxApiResult result = NyxApiStart(api);
                    EXPECT_TRUE(result == NYXAPI_SUCCESS || result == NYXAPI_INVALID_STATE);
                    std::this_thread::sleep_for(std::chrono::milliseconds(r % 5));
                    continue;
                }
                Clock::time_point start = Clock::now();
                NyxApiStop(api);
                // It may wait for another thread's stop or start, never for a worker's wait.
                EXPECT_LT(seconds_since(start), 1.0);
            }
        });
    }
    // Meanwhile the event function and the context change under the running worker.
    std::thread changer([&] {
        const NyxApiEventFn fns[] = {counting, nullptr, [](const NyxApiEvent *e) { counting(e); }};
        for (int i = 0; !done.load(); ++i) {
            NyxApiSetEventFn(api, fns[i % 3]);
            NyxApiSetContext(api, i % 2 ? &done : nullptr);
            std::this_thread::sleep_for(100us);
        }
    });
    for (std::thread &t : threads) {
        t.join();
    }
    done.store(true);
    changer.join();
    EXPECT_EQ(overlaps.load(), 0);

    // Still a working handle.
    NyxApiStop(api);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    EXPECT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
}

// The resident set of this process, in KiB.
long rss_kib() {
    long size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * 4; // pages of 4 KiB
}

// Each line the worker logs costs it this much while `slow` is set: processing a datagram
// takes far longer than the manager needs to send one.
std::atomic<bool> slow{false};
void slow_line(vtr_logger *, const char *, uint32_t, const char *, size_t) {
    if (slow.load()) {
        std::this_thread::sleep_for(10us);
    }
}

TEST_F(ApiService, FloodOutpacingTheLoopHoldsNeitherSettersNorKeepalivesNorStop) {
    install_fast_clock(5);
    vtr_logger *logger = api->impl->logger();
    logger->callback = slow_line;
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
    vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
    connect();
    // The manager repeats its state for `seconds`, far faster than the slowed loop reads.
    auto flood = [&](double seconds) {
        slow.store(true);
        return std::thread([this, seconds] {
            std::string reply;
            for (Clock::time_point start = Clock::now(); seconds_since(start) < seconds;) {
                nyxsim_command(sim, "push state", &reply);
                std::this_thread::sleep_for(50us);
            }
            slow.store(false);
        });
    };
    std::thread flooding = flood(2.5);
    std::this_thread::sleep_for(200ms);
    [[maybe_unused]] long rss_before = rss_kib(); // unread when sanitised
    uint32_t keepalives = received(0);
    for (Clock::time_point phase = Clock::now(); seconds_since(phase) < 1.5;) {
        Clock::time_point start = Clock::now();
        EXPECT_EQ(NyxApiSetASIOBufferSize(api, 64), NYXAPI_SUCCESS);
        EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
        EXPECT_LT(seconds_since(start), 0.8);
        std::this_thread::sleep_for(100ms);
    }
    // Keepalives keep coming: 1.5 s here is 7.5 s of the worker's clock (a loop held by the
    // flood sends none).
    EXPECT_GE(received(0) - keepalives, 1u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(rss_kib() - rss_before, 1024);
#endif
    Clock::time_point start = Clock::now();
    NyxApiStop(api);
    EXPECT_LT(seconds_since(start), 1.0);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    flooding.join();

    // Afterwards the connection is up (a connect reply lost in the flood is retried) and the
    // cache follows the manager again.
    sim_command("speed 100");
    EXPECT_TRUE(wait_until([&] {
        return NyxApiGetState(api) == NYXAPI_STATE_CONNECTED &&
               get<NyxApiNetworkStatus>(api, NyxApiGetNetworkStatus).linkSpeedMbps == 100u;
    }));

    // A delete under a flood returns as quickly as a stop.
    flooding = flood(1.5);
    std::this_thread::sleep_for(300ms);
    start = Clock::now();
    NyxApiDelete(api);
    api = nullptr;
    EXPECT_LT(seconds_since(start), 1.0);
    flooding.join();
}

TEST_F(ApiService, WallClockStepsLeaveTheConnectionAndTheKeepaliveRhythmAlone) {
    // Three times real time: the worker's 500 ms wait cap is then 1.5 s of this clock, so
    // its waits end on the 3 s keepalive timer and not later.
    install_fast_clock(3);
    vtr_wall_clock_set_hook(stepped_wall);
    connect();
    size_t mark = rec.size();
    // When each keepalive reached the manager, in seconds of the timers' clock.
    std::vector<double> arrivals;
    uint32_t seen = received(0);
    for (Clock::time_point start = Clock::now(); arrivals.size() < 5 && seconds_since(start) < 10;
         std::this_thread::sleep_for(1ms)) {
        if (received(0) == seen) {
            continue;
        }
        seen = received(0);
        vtr_time t = {};
        vtr_time_monotonic(&t);
        arrivals.push_back(t.sec + t.usec / 1e6);
        // An hour forwards after the second, an hour behind after the third.
        wall_step_us.store(arrivals.size() == 2   ? 3600ll * 1000000
                           : arrivals.size() == 3 ? -3600ll * 1000000
                                                  : wall_step_us.load());
    }
    wall_step_us.store(0);
    ASSERT_EQ(arrivals.size(), 5u);
    for (size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_NEAR(arrivals[i] - arrivals[i - 1], 3.0, 0.5) << i;
    }
    std::vector<Event> after = rec.since(mark);
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), connected));
}

} // namespace
