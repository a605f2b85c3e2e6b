// The handle against the simulated manager running in this process: connection, events,
// cache, setters and their preconditions, loss of the manager and reconnection.
#include "api/nyx_api.h"
#include "client/nyx_records.h"
#include "sim/sim.h"
#include "vtr/vtr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A clock running faster than real time from its installation on, so that the protocol's 3 s
// keepalive and retry and its 30 s silence pass in a fraction of that. The worker still waits
// in real time, at most 500 ms, and a keepalive more than an interval late is skipped, so
// keepalives go out only up to about 5 times the speed: Linux then sees the closed port
// (CONNRESET) at the next keepalive. Windows reports no closed port, so only the silence ends
// the connection there, and a faster clock keeps that short.
#ifdef _WIN32
constexpr int64_t kClockSpeed = 20;
#else
constexpr int64_t kClockSpeed = 5;
#endif
std::atomic<int64_t> fast_base_us{0};
Clock::time_point fast_base_steady;

void fast_clock(vtr_time *now) {
    int64_t elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - fast_base_steady)
            .count();
    int64_t us = fast_base_us.load() + elapsed * kClockSpeed;
    now->sec = static_cast<int32_t>(us / 1000000);
    now->usec = static_cast<uint32_t>(us % 1000000);
}

void install_fast_clock() {
    vtr_time real = {};
    vtr_time_now(&real);
    fast_base_steady = Clock::now();
    fast_base_us.store(int64_t{real.sec} * 1000000 + real.usec);
    vtr_clock_set_hook(fast_clock);
}

struct Event {
    NyxApiChanges changes;
    NyxApiResult result;
    NyxApiState state;
    // What the getters showed from inside the event function.
    NyxApiVersion version;
    uint64_t interfaces;
    uint64_t corvo_latencies;
    bool well_formed;
};

class Recorder {
  public:
    static void on_event(const NyxApiEvent *event) {
        auto *self = static_cast<Recorder *>(NyxApiGetContext(event->api));
        Event e = {};
        e.changes = event->changes;
        e.result = event->result;
        e.state = NyxApiGetState(event->api);
        NyxApiGetServerVersion(event->api, &e.version);
        NyxApiAvailableInterfaces(event->api, &e.interfaces, nullptr);
        NyxApiAvailableCorvoLatenciesMs(event->api, &e.corvo_latencies, nullptr);
        e.well_formed = event->size == 32 && event->api == self->api;
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back(e);
        self->cv.notify_all();
    }

    size_t size() {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    }
    std::vector<Event> since(size_t first) {
        std::lock_guard<std::mutex> guard(lock);
        return std::vector<Event>(events.begin() + std::min(first, events.size()), events.end());
    }
    // Waits until an event from index `first` on satisfies pred; returns its index or -1.
    long wait(size_t first, const std::function<bool(const Event &)> &pred,
              std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> guard(lock);
        long found = -1;
        cv.wait_for(guard, timeout, [&] {
            for (size_t i = first; i < events.size(); ++i) {
                if (pred(events[i])) {
                    found = static_cast<long>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    NyxApi *api = nullptr;

  private:
    std::mutex lock;
    std::condition_variable cv;
    std::vector<Event> events;
};

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5000ms) {
    Clock::time_point end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool config_equal(const nyx_system_config &a, const nyx_system_config &b) {
    return a.channels == b.channels && nyx_interface_equal(&a.interface, &b.interface) &&
           a.sample_rate == b.sample_rate && a.sample_format == b.sample_format &&
           a.pullup == b.pullup && std::strncmp(a.latency, b.latency, sizeof a.latency) == 0 &&
           a.want_to_run == b.want_to_run && a.asio.audio_interface == b.asio.audio_interface &&
           a.asio.asio_latency_us == b.asio.asio_latency_us &&
           a.asio.asio_buffer_size == b.asio.asio_buffer_size &&
           a.asio.asio_encoding == b.asio.asio_encoding;
}

template <class T, class F> std::vector<T> list_of(NyxApi *api, F export_fn) {
    uint64_t count = 0;
    EXPECT_EQ(export_fn(api, &count, nullptr), NYXAPI_SUCCESS);
    std::vector<T> out(count);
    EXPECT_EQ(export_fn(api, &count, out.data()), NYXAPI_SUCCESS);
    EXPECT_EQ(count, out.size());
    return out;
}

class ApiService : public ::testing::Test {
  protected:
    void SetUp() override {
        if (use_fast_clock) {
            install_fast_clock();
        }
        nyxsim_options options;
        ASSERT_EQ(nyxsim_new(&options, &sim), VTR_SUCCESS);
        if (!state_file.empty()) {
            std::string message;
            ASSERT_EQ(nyxsim_load_file(sim, state_file.c_str(), &message), VTR_SUCCESS) << message;
        }
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
        ASSERT_TRUE(wait_until([&] { return NyxApiGetState(api) == NYXAPI_STATE_CONNECTED; }));
        // The connecting step's own event is in before anything else happens.
        ASSERT_GE(rec.wait(0, [](const Event &e) { return e.state == NYXAPI_STATE_CONNECTED; }), 0);
    }

    void sim_command(const std::string &line) {
        std::string reply;
        ASSERT_EQ(nyxsim_command(sim, line.c_str(), &reply), VTR_SUCCESS) << line << ": " << reply;
    }

    // Changes one state key of the manager and waits for the handle to report `flag`.
    void sim_set(const std::string &key, const std::string &value, NyxApiChanges flag) {
        size_t mark = rec.size();
        sim_command("set " + key + " = " + value);
        ASSERT_GE(rec.wait(mark, [&](const Event &e) { return (e.changes & flag) != 0; }), 0)
            << key;
    }

    void sim_answers(bool on) { sim_command(on ? "noreply off" : "noreply on"); }

    nyx_system_config sim_config() {
        nyx_system_state state = {};
        nyxsim_get_state(sim, &state);
        return state.config;
    }

    // Sends one request and waits for its completion, then for the event of what it changed.
    // Returns the completion's result.
    NyxApiResult complete(const std::function<NyxApiResult()> &send, NyxApiChanges flag) {
        size_t mark = rec.size();
        NyxApiResult sent = send();
        EXPECT_EQ(sent, NYXAPI_SUCCESS);
        if (sent != NYXAPI_SUCCESS) {
            return sent;
        }
        long done = rec.wait(mark, [](const Event &e) {
            return (e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED) != 0;
        });
        EXPECT_GE(done, 0);
        if (done < 0) {
            return NYXAPI_OTHER;
        }
        std::vector<Event> after = rec.since(static_cast<size_t>(done));
        EXPECT_EQ(after[0].changes, NYXAPI_CHANGE_REQUEST_COMPLETED); // alone in its event
        if (flag != 0) {
            long change = rec.wait(done + 1, [](const Event &) { return true; });
            EXPECT_EQ(change, done + 1);
            if (change == done + 1) {
                Event e = rec.since(static_cast<size_t>(change))[0];
                EXPECT_NE(e.changes & flag, 0u) << std::hex << e.changes;
                EXPECT_EQ(e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED, 0u);
                EXPECT_EQ(e.result, NYXAPI_SUCCESS);
            }
        }
        bool busy = true;
        EXPECT_EQ(NyxApiRequestInProgress(api, &busy), NYXAPI_SUCCESS);
        EXPECT_FALSE(busy);
        return after[0].result;
    }

    // A setter that changes one field: the manager receives its last reported configuration
    // with that field, and only that field, changed.
    void expect_one_field(const char *what, const std::function<NyxApiResult()> &send,
                          const std::function<void(nyx_system_config &)> &change,
                          NyxApiChanges flag) {
        SCOPED_TRACE(what);
        nyx_system_config expected = sim_config();
        change(expected);
        EXPECT_EQ(complete(send, flag), NYXAPI_SUCCESS);
        nyx_system_config sent = {};
        ASSERT_TRUE(nyxsim_last_config(sim, &sent));
        EXPECT_TRUE(config_equal(sent, expected));
        EXPECT_TRUE(config_equal(sim_config(), expected));
    }

    static inline bool use_fast_clock = false;
    static inline std::string state_file;
    nyxsim *sim = nullptr;
    NyxApi *api = nullptr;
    Recorder rec;
};

class ApiServiceFastClock : public ApiService {
  protected:
    static void SetUpTestSuite() { use_fast_clock = true; }
    static void TearDownTestSuite() { use_fast_clock = false; }
};

TEST_F(ApiService, ConnectsOnlyWithVersionOptionsAndStateAndFillsTheCache) {
    connect();
    std::vector<Event> events = rec.since(0);
    NyxApiChanges seen = 0;
    for (const Event &e : events) {
        EXPECT_TRUE(e.well_formed);
        EXPECT_EQ(e.result, NYXAPI_SUCCESS);
        EXPECT_EQ(e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED, 0u);
        if (e.state == NYXAPI_STATE_CONNECTED) {
            EXPECT_NE(e.version.major, 0u);
            EXPECT_EQ(e.interfaces, 3u);
            EXPECT_EQ(e.corvo_latencies, 5u);
        }
        seen |= e.changes;
    }
    for (NyxApiChanges flag :
         {NYXAPI_CHANGE_STATE, NYXAPI_CHANGE_INFO, NYXAPI_CHANGE_AVAILABLE_INTERFACES,
          NYXAPI_CHANGE_INTERFACE, NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS,
          NYXAPI_CHANGE_CHANNEL_COUNT, NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES,
          NYXAPI_CHANGE_AUDIO_INTERFACE, NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS,
          NYXAPI_CHANGE_ASIO_PARAMETER, NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES,
          NYXAPI_CHANGE_CORVO_LATENCY, NYXAPI_CHANGE_NETWORK_STATUS, NYXAPI_CHANGE_DEVICE_NAME,
          NYXAPI_CHANGE_STATUS}) {
        EXPECT_NE(seen & flag, 0u) << std::hex << flag;
    }

    nyx_system_options options = {};
    nyxsim_get_options(sim, &options);
    nyx_system_state state = {};
    nyxsim_get_state(sim, &state);

    NyxApiVersion version = {};
    NyxApiGetServerVersion(api, &version);
    EXPECT_EQ(version.major, 4u);
    EXPECT_EQ(version.minor, 2u);
    EXPECT_EQ(version.patch, 1u);
    EXPECT_EQ(version.build, 37u);

    auto interfaces = list_of<NyxApiInterface>(api, NyxApiAvailableInterfaces);
    ASSERT_EQ(interfaces.size(), options.num_interfaces);
    for (size_t i = 0; i < interfaces.size(); ++i) {
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(interfaces[i].name)),
                  std::u16string(options.interfaces[i].name));
        EXPECT_EQ(std::memcmp(interfaces[i].mac, options.interfaces[i].mac, 6), 0);
    }
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableChannelCounts),
              (std::vector<uint32_t>{2, 4, 8, 16, 32, 64}));
    EXPECT_EQ(list_of<NyxApiAudioInterface>(api, NyxApiAvailableAudioInterfaces),
              (std::vector<NyxApiAudioInterface>{NYXAPI_AUDIO_INTERFACE_WDM,
                                                 NYXAPI_AUDIO_INTERFACE_ASIO}));
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableASIOBufferSizes),
              (std::vector<uint32_t>{32, 64, 128, 256, 512, 1024, 2048}));
    EXPECT_EQ(list_of<uint16_t>(api, NyxApiAvailableASIOEncodings),
              (std::vector<uint16_t>{16, 24, 32}));
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableASIOLatenciesMs),
              (std::vector<uint32_t>{1, 2, 5, 10, 20}));
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableCorvoLatenciesMs),
              (std::vector<uint32_t>{1, 2, 5, 10, 20}));

    bool running = true;
    uint32_t u32 = 0;
    uint16_t u16 = 0;
    NyxApiAudioInterface audio = 0;
    NyxApiInterface iface = {};
    NyxApiGetRunning(api, &running);
    EXPECT_FALSE(running);
    NyxApiGetStatus(api, &u32);
    EXPECT_EQ(u32, state.system_error);
    NyxApiGetInterface(api, &iface);
    EXPECT_EQ(std::memcmp(iface.mac, state.config.interface.mac, 6), 0);
    NyxApiGetChannelCount(api, &u32);
    EXPECT_EQ(u32, 8u);
    NyxApiGetAudioInterface(api, &audio);
    EXPECT_EQ(audio, NYXAPI_AUDIO_INTERFACE_ASIO);
    NyxApiGetASIOBufferSize(api, &u32);
    EXPECT_EQ(u32, 256u);
    NyxApiGetASIOEncoding(api, &u16);
    EXPECT_EQ(u16, 24u);
    NyxApiGetASIOLatencyMs(api, &u32);
    EXPECT_EQ(u32, 5u);
    NyxApiGetCorvoLatencyMs(api, &u32);
    EXPECT_EQ(u32, 1u);
    NyxApiNetworkStatus net = {};
    NyxApiGetNetworkStatus(api, &net);
    EXPECT_EQ(net.linkUp, 1u);
    EXPECT_EQ(net.linkSpeedMbps, 1000u);
    EXPECT_EQ(net.ipAddress[0], 192u);
    EXPECT_EQ(net.ipAddress[3], 42u);
    char name[32];
    NyxApiGetDeviceName(api, name);
    EXPECT_STREQ(name, "Studio-PC-Nyx");
    NyxApiDomainInfo domain = {};
    NyxApiGetDomainInfo(api, &domain);
    EXPECT_EQ(domain.enrolled, 0u);
    EXPECT_EQ(domain.configurationAllowed, 1u);
    NyxApiGetDeviceLockStatus(api, &u32);
    EXPECT_EQ(u32, 0u);

    // The list convention: capacity in, total out.
    uint32_t sizes[10];
    std::fill(std::begin(sizes), std::end(sizes), 0xDEADu);
    uint64_t count = 0;
    EXPECT_EQ(NyxApiAvailableASIOBufferSizes(api, &count, sizes), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(sizes[0], 0xDEADu);
    count = 2;
    EXPECT_EQ(NyxApiAvailableASIOBufferSizes(api, &count, sizes), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(sizes[1], 64u);
    EXPECT_EQ(sizes[2], 0xDEADu);
    count = 10;
    EXPECT_EQ(NyxApiAvailableASIOBufferSizes(api, &count, sizes), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(sizes[6], 2048u);
    EXPECT_EQ(sizes[7], 0xDEADu);
}

TEST_F(ApiService, EverySetterChangesOneFieldOfTheReportedConfiguration) {
    connect();
    const uint8_t *second_mac = nullptr;
    nyx_system_options options = {};
    nyxsim_get_options(sim, &options);
    second_mac = options.interfaces[1].mac;

    // The low 16 bits: 65568 is 32.
    expect_one_field(
        "channel count", [&] { return NyxApiSetChannelCount(api, 65536 + 32); },
        [](nyx_system_config &c) { c.channels = 32; }, NYXAPI_CHANGE_CHANNEL_COUNT);
    expect_one_field(
        "buffer size", [&] { return NyxApiSetASIOBufferSize(api, 64); },
        [](nyx_system_config &c) { c.asio.asio_buffer_size = 64; }, NYXAPI_CHANGE_ASIO_PARAMETER);
    expect_one_field(
        "encoding", [&] { return NyxApiSetASIOEncoding(api, 32); },
        [](nyx_system_config &c) { c.asio.asio_encoding = 32; }, NYXAPI_CHANGE_ASIO_PARAMETER);
    expect_one_field(
        "asio latency", [&] { return NyxApiSetASIOLatencyMs(api, 10); },
        [](nyx_system_config &c) { c.asio.asio_latency_us = 10000; }, NYXAPI_CHANGE_ASIO_PARAMETER);
    expect_one_field(
        "corvo latency", [&] { return NyxApiSetCorvoLatencyMs(api, 2); },
        [](nyx_system_config &c) { std::snprintf(c.latency, sizeof c.latency, "2 ms"); },
        NYXAPI_CHANGE_CORVO_LATENCY);
    expect_one_field(
        "interface", [&] { return NyxApiSetInterface(api, second_mac); },
        [&](nyx_system_config &c) { c.interface = options.interfaces[1]; },
        NYXAPI_CHANGE_INTERFACE);
    expect_one_field(
        "audio interface", [&] { return NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM); },
        [](nyx_system_config &c) { c.asio.audio_interface = NYX_AUDIO_INTERFACE_WDM; },
        NYXAPI_CHANGE_AUDIO_INTERFACE);
    // Any non-zero value other than WDM selects ASIO.
    expect_one_field(
        "audio interface 3", [&] { return NyxApiSetAudioInterface(api, 3); },
        [](nyx_system_config &c) { c.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO; },
        NYXAPI_CHANGE_AUDIO_INTERFACE);
    expect_one_field(
        "start", [&] { return NyxApiSetRunning(api, true); },
        [](nyx_system_config &c) { c.want_to_run = 1; }, NYXAPI_CHANGE_RUNNING);
    bool running = false;
    uint32_t status = 0;
    NyxApiGetRunning(api, &running);
    NyxApiGetStatus(api, &status);
    EXPECT_TRUE(running);
    EXPECT_EQ(status, 1u);
    expect_one_field(
        "stop", [&] { return NyxApiSetRunning(api, false); },
        [](nyx_system_config &c) { c.want_to_run = 0; }, NYXAPI_CHANGE_RUNNING);

    uint32_t clears = nyxsim_received_count(sim, 0x0113);
    EXPECT_EQ(complete([&] { return NyxApiClearDomainCredentials(api); }, 0), NYXAPI_SUCCESS);
    EXPECT_EQ(nyxsim_received_count(sim, 0x0113), clears + 1);
}

TEST_F(ApiService, PreconditionsRefuseWithoutSending) {
    connect();
    uint32_t sent = nyxsim_received_count(sim, 0x0110);
    const uint8_t unknown_mac[6] = {9, 9, 9, 9, 9, 9};

    // Choices that the options do not hold.
    EXPECT_EQ(NyxApiSetInterface(api, unknown_mac), NYXAPI_INVALID_DATA);
    EXPECT_EQ(NyxApiSetCorvoLatencyMs(api, 3), NYXAPI_INVALID_DATA);
    EXPECT_EQ(NyxApiSetASIOLatencyMs(api, 3), NYXAPI_INVALID_DATA);
    EXPECT_EQ(NyxApiSetChannelCount(api, 7), NYXAPI_INVALID_DATA);

    // Running: only start/stop and the ASIO parameters may change.
    ASSERT_EQ(complete([&] { return NyxApiSetRunning(api, true); }, NYXAPI_CHANGE_RUNNING),
              NYXAPI_SUCCESS);
    sent = nyxsim_received_count(sim, 0x0110);
    EXPECT_EQ(NyxApiSetInterface(api, unknown_mac), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetCorvoLatencyMs(api, 2), NYXAPI_INVALID_STATE);
    EXPECT_EQ(nyxsim_received_count(sim, 0x0110), sent);
    EXPECT_EQ(
        complete([&] { return NyxApiSetASIOBufferSize(api, 512); }, NYXAPI_CHANGE_ASIO_PARAMETER),
        NYXAPI_SUCCESS);
    ASSERT_EQ(complete([&] { return NyxApiSetRunning(api, false); }, NYXAPI_CHANGE_RUNNING),
              NYXAPI_SUCCESS);

    // WDM: no channel count and no ASIO parameters.
    ASSERT_EQ(complete([&] { return NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM); },
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              NYXAPI_SUCCESS);
    sent = nyxsim_received_count(sim, 0x0110);
    EXPECT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetASIOBufferSize(api, 64), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetASIOEncoding(api, 16), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetASIOLatencyMs(api, 1), NYXAPI_INVALID_STATE);
    EXPECT_EQ(nyxsim_received_count(sim, 0x0110), sent);
    ASSERT_EQ(complete([&] { return NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_ASIO); },
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              NYXAPI_SUCCESS);

    // A device lock, then a domain lock, forbid start/stop and the ASIO parameters.
    sim_set("device_lock_status", "1", NYXAPI_CHANGE_DEVICE_LOCK_STATUS);
    sent = nyxsim_received_count(sim, 0x0110);
    EXPECT_EQ(NyxApiSetRunning(api, true), NYXAPI_ACCESS_DENIED);
    EXPECT_EQ(NyxApiSetASIOBufferSize(api, 64), NYXAPI_ACCESS_DENIED);
    EXPECT_EQ(NyxApiSetASIOEncoding(api, 16), NYXAPI_ACCESS_DENIED);
    EXPECT_EQ(NyxApiSetASIOLatencyMs(api, 1), NYXAPI_ACCESS_DENIED);
    EXPECT_EQ(nyxsim_received_count(sim, 0x0110), sent);
    sim_set("device_lock_status", "0", NYXAPI_CHANGE_DEVICE_LOCK_STATUS);

    sim_set("domain_enrolled", "1", NYXAPI_CHANGE_DOMAIN);
    sim_set("domain_connected", "1", NYXAPI_CHANGE_DOMAIN);
    sim_set("domain_config_allowed", "0", NYXAPI_CHANGE_DOMAIN);
    NyxApiDomainInfo domain = {};
    NyxApiGetDomainInfo(api, &domain);
    EXPECT_EQ(domain.configurationAllowed, 0u);
    EXPECT_EQ(NyxApiSetRunning(api, true), NYXAPI_ACCESS_DENIED);
    EXPECT_EQ(NyxApiSetASIOEncoding(api, 16), NYXAPI_ACCESS_DENIED);
    // An unreachable domain server cannot forbid anything.
    sim_set("domain_connected", "0", NYXAPI_CHANGE_DOMAIN);
    NyxApiGetDomainInfo(api, &domain);
    EXPECT_EQ(domain.enrolled, 1u);
    EXPECT_EQ(domain.connected, 0u);
    EXPECT_EQ(domain.configurationAllowed, 1u);
    EXPECT_EQ(
        complete([&] { return NyxApiSetASIOEncoding(api, 16); }, NYXAPI_CHANGE_ASIO_PARAMETER),
        NYXAPI_SUCCESS);
}

TEST_F(ApiService, MergesReportOnlyWhatChanged) {
    connect();
    // Latencies read in whole milliseconds; the state's latency is looked up by name.
    sim_set("latencies", "a @ 1000, b @ 1999, c @ 1500", NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES);
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableCorvoLatenciesMs),
              (std::vector<uint32_t>{1, 1, 1}));
    uint32_t ms = 99;
    sim_set("latency", "zzz", NYXAPI_CHANGE_CORVO_LATENCY);
    NyxApiGetCorvoLatencyMs(api, &ms);
    EXPECT_EQ(ms, 0u);
    sim_set("latency", "c", NYXAPI_CHANGE_CORVO_LATENCY);
    NyxApiGetCorvoLatencyMs(api, &ms);
    EXPECT_EQ(ms, 1u);
    // Two options of the same microseconds: the first one's name is sent.
    sim_set("latencies", "b @ 2000, a @ 1000, c @ 1000", NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES);
    EXPECT_EQ(complete([&] { return NyxApiSetCorvoLatencyMs(api, 1); }, 0), NYXAPI_SUCCESS);
    nyx_system_config sent = {};
    ASSERT_TRUE(nyxsim_last_config(sim, &sent));
    EXPECT_STREQ(sent.latency, "a");

    // No ASIO choices at all still leaves both audio interfaces.
    sim_set("asio_buffer_sizes", "", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS);
    sim_set("asio_latencies", "1500, 2999", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS);
    EXPECT_TRUE(list_of<uint32_t>(api, NyxApiAvailableASIOBufferSizes).empty());
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableASIOLatenciesMs),
              (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(list_of<NyxApiAudioInterface>(api, NyxApiAvailableAudioInterfaces).size(), 2u);

    // The same state again, or a name event alone, raise nothing: the next event is only
    // the link speed.
    size_t mark = rec.size();
    sim_command("push state");
    sim_command("set name = Other-Name");
    sim_set("link_speed", "100", NYXAPI_CHANGE_NETWORK_STATUS);
    std::vector<Event> after = rec.since(mark);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].changes, NYXAPI_CHANGE_NETWORK_STATUS);
    NyxApiNetworkStatus net = {};
    NyxApiGetNetworkStatus(api, &net);
    EXPECT_EQ(net.linkSpeedMbps, 100u);
}

TEST_F(ApiService, OneRequestAtATimeUntilCancelled) {
    connect();
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS); // nothing in flight
    sim_answers(false);
    size_t mark = rec.size();
    ASSERT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_SUCCESS);
    bool busy = false;
    EXPECT_EQ(NyxApiRequestInProgress(api, &busy), NYXAPI_SUCCESS);
    EXPECT_TRUE(busy);
    EXPECT_EQ(NyxApiSetChannelCount(api, 32), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiClearDomainCredentials(api), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
    EXPECT_EQ(NyxApiRequestInProgress(api, &busy), NYXAPI_SUCCESS);
    EXPECT_FALSE(busy);

    sim_answers(true);
    EXPECT_EQ(complete([&] { return NyxApiSetChannelCount(api, 32); }, NYXAPI_CHANGE_CHANNEL_COUNT),
              NYXAPI_SUCCESS);
    // The cancelled request never raised an event of its own.
    int completions = 0;
    for (const Event &e : rec.since(mark)) {
        completions += (e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED) != 0;
    }
    EXPECT_EQ(completions, 1);
    uint32_t count = 0;
    NyxApiGetChannelCount(api, &count);
    EXPECT_EQ(count, 32u);
}

TEST_F(ApiService, NoEventFunctionStillFillsTheCache) {
    ASSERT_EQ(NyxApiSetEventFn(api, nullptr), NYXAPI_SUCCESS);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return NyxApiGetState(api) == NYXAPI_STATE_CONNECTED; }));
    uint32_t count = 0;
    NyxApiGetChannelCount(api, &count);
    EXPECT_EQ(count, 8u);
    // A request still completes; only nobody hears about it.
    ASSERT_EQ(NyxApiSetChannelCount(api, 4), NYXAPI_SUCCESS);
    EXPECT_TRUE(wait_until([&] {
        NyxApiGetChannelCount(api, &count);
        return count == 4;
    }));
    EXPECT_EQ(rec.size(), 0u);
}

TEST_F(ApiService, StartTwiceStopAndRestart) {
    connect();
    EXPECT_EQ(NyxApiStart(api), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_CONNECTED);
    NyxApiStop(api);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);

    // A restarted handle connects anew and takes requests again.
    uint32_t connects = nyxsim_received_count(sim, 1);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return nyxsim_received_count(sim, 1) > connects; }));
    ASSERT_TRUE(wait_until([&] { return NyxApiGetState(api) == NYXAPI_STATE_CONNECTED; }));
    EXPECT_EQ(complete([&] { return NyxApiSetChannelCount(api, 16); }, NYXAPI_CHANGE_CHANNEL_COUNT),
              NYXAPI_SUCCESS);
}

TEST_F(ApiService, StopAndDeleteWithARequestInFlight) {
    connect();
    sim_answers(false);
    ASSERT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_SUCCESS);
    Clock::time_point start = Clock::now();
    NyxApiStop(api);
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);
    bool busy = false;
    EXPECT_EQ(NyxApiRequestInProgress(api, &busy), NYXAPI_SUCCESS);
    EXPECT_TRUE(busy); // the client refused to stop under it; nothing is lost

    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return NyxApiGetState(api) == NYXAPI_STATE_CONNECTED; }));
    start = Clock::now();
    NyxApiDelete(api);
    api = nullptr;
    EXPECT_LT(Clock::now() - start, 1500ms);
}

TEST_F(ApiServiceFastClock, LostManagerEmptiesTheCacheAndReconnects) {
    connect();
    ASSERT_EQ(complete([&] { return NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM); },
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              NYXAPI_SUCCESS);

    size_t mark = rec.size();
    sim_command("socket stop");
    long lost = rec.wait(mark, [](const Event &e) { return e.state != NYXAPI_STATE_CONNECTED; });
    ASSERT_GE(lost, 0);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_DISCONNECTED);
    NyxApiChanges changes = 0;
    for (const Event &e : rec.since(mark)) {
        changes |= e.changes;
    }
    for (NyxApiChanges flag :
         {NYXAPI_CHANGE_STATE, NYXAPI_CHANGE_INFO, NYXAPI_CHANGE_AVAILABLE_INTERFACES,
          NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS, NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES,
          NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS, NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES,
          NYXAPI_CHANGE_AUDIO_INTERFACE, NYXAPI_CHANGE_NETWORK_STATUS}) {
        EXPECT_NE(changes & flag, 0u) << std::hex << flag;
    }
    EXPECT_EQ(changes & NYXAPI_CHANGE_DEVICE_NAME, 0u);

    EXPECT_TRUE(list_of<NyxApiInterface>(api, NyxApiAvailableInterfaces).empty());
    EXPECT_TRUE(list_of<uint32_t>(api, NyxApiAvailableChannelCounts).empty());
    EXPECT_TRUE(list_of<NyxApiAudioInterface>(api, NyxApiAvailableAudioInterfaces).empty());
    EXPECT_TRUE(list_of<uint32_t>(api, NyxApiAvailableASIOBufferSizes).empty());
    EXPECT_TRUE(list_of<uint16_t>(api, NyxApiAvailableASIOEncodings).empty());
    EXPECT_TRUE(list_of<uint32_t>(api, NyxApiAvailableASIOLatenciesMs).empty());
    EXPECT_TRUE(list_of<uint32_t>(api, NyxApiAvailableCorvoLatenciesMs).empty());
    NyxApiVersion version = {1, 1, 1, 1};
    NyxApiGetServerVersion(api, &version);
    EXPECT_EQ(version.major + version.minor + version.patch + version.build, 0u);
    NyxApiAudioInterface audio = 0;
    NyxApiGetAudioInterface(api, &audio);
    EXPECT_EQ(audio, NYXAPI_AUDIO_INTERFACE_ASIO);
    uint32_t status = 99;
    NyxApiGetStatus(api, &status);
    EXPECT_EQ(status, 0u);
    char name[32];
    NyxApiGetDeviceName(api, name);
    EXPECT_STREQ(name, "Studio-PC-Nyx");
    EXPECT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_INVALID_STATE);

    mark = rec.size();
    sim_command("socket start");
    ASSERT_GE(rec.wait(mark, [](const Event &e) { return e.state == NYXAPI_STATE_CONNECTED; }), 0);
    EXPECT_EQ(list_of<uint32_t>(api, NyxApiAvailableChannelCounts).size(), 6u);
}

TEST_F(ApiServiceFastClock, LostManagerWithARequestInFlight) {
    connect();
    sim_answers(false);
    size_t mark = rec.size();
    ASSERT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_SUCCESS);
    sim_command("socket stop");
    ASSERT_GE(rec.wait(mark, [](const Event &e) { return e.state != NYXAPI_STATE_CONNECTED; }), 0);
    bool busy = false;
    NyxApiRequestInProgress(api, &busy);
#ifdef _WIN32
    // No port-unreachable report here: the silence ends the connection, the request stays.
    EXPECT_TRUE(busy);
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
#else
    // The reset ends the request with a failed completion before the state event.
    long done = rec.wait(
        mark, [](const Event &e) { return (e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED) != 0; });
    ASSERT_GE(done, 0);
    EXPECT_EQ(rec.since(static_cast<size_t>(done))[0].result, NYXAPI_OTHER);
    EXPECT_FALSE(busy);
#endif
}

} // namespace
