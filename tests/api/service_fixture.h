// A handle against the simulated manager running in this process, with an event recorder,
// a fast clock and the whole cache as one line of text.
#pragma once

#include "api/nyx_api.h"
#include "client/nyx_records.h"
#include "sim/sim.h"
#include "sim/sim_bodies.h"
#include "sim/sim_model.h"
#include "vtr/vtr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A clock running faster than real time, so that the protocol's 3 s keepalive and its 30 s
// silence pass quickly. Keepalives more than an interval late are skipped, so Linux meets the
// closed port (CONNRESET) only at about 5 times the speed; Windows reports no closed port and
// only the silence ends the connection there.
#ifdef _WIN32
constexpr int64_t kClockSpeed = 20;
#else
constexpr int64_t kClockSpeed = 5;
#endif
std::atomic<int64_t> fast_base_us{0};
std::atomic<int64_t> clock_speed{kClockSpeed};
Clock::time_point fast_base_steady;

void fast_clock(vtr_time *now) {
    int64_t elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - fast_base_steady)
            .count();
    int64_t us = fast_base_us.load() + elapsed * clock_speed.load();
    now->sec = static_cast<int32_t>(us / 1000000);
    now->usec = static_cast<uint32_t>(us % 1000000);
}

void install_fast_clock(int64_t speed = kClockSpeed) {
    clock_speed.store(speed);
    vtr_time real = {};
    vtr_time_now(&real);
    fast_base_steady = Clock::now();
    fast_base_us.store(int64_t{real.sec} * 1000000 + real.usec);
    vtr_clock_set_hook(fast_clock);
}

bool wait_until(const std::function<bool()> &pred) {
    for (Clock::time_point end = Clock::now() + 5s; !pred();) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

template <class T, class F> T get(NyxApi *api, F getter) {
    T value{};
    EXPECT_EQ(getter(api, &value), NYXAPI_SUCCESS);
    return value;
}

template <class F> uint64_t total(NyxApi *api, F lister) {
    uint64_t count = 0;
    EXPECT_EQ(lister(api, &count, nullptr), NYXAPI_SUCCESS);
    return count;
}

std::string text_of(const NyxApiInterface &i) {
    char mac[16];
    std::snprintf(mac, sizeof mac, "/%02x%02x%02x%02x%02x%02x", i.mac[0], i.mac[1], i.mac[2],
                  i.mac[3], i.mac[4], i.mac[5]);
    return std::string(i.name, std::find(i.name, i.name + 64, 0)) + mac;
}

template <class T> std::string text_of(const T &value) {
    return std::to_string(value);
}

template <class T>
std::string list_text(NyxApi *api, NyxApiResult (*lister)(NyxApi *, uint64_t *, T *)) {
    std::vector<T> list(total(api, lister));
    uint64_t count = list.size();
    EXPECT_EQ(lister(api, &count, list.data()), NYXAPI_SUCCESS);
    EXPECT_EQ(count, list.size());
    std::string out;
    for (const T &item : list) {
        out += text_of(item) + ",";
    }
    return out;
}

std::string domain_text(NyxApi *api) {
    NyxApiDomainInfo d = get<NyxApiDomainInfo>(api, NyxApiGetDomainInfo);
    return std::to_string(d.enrolled) + std::to_string(d.connected) +
           std::to_string(d.configurationAllowed) + "/" + d.name;
}

// Every cached value and list of the handle in one line.
[[maybe_unused]] std::string cache_text(NyxApi *api) {
    std::ostringstream out;
    NyxApiVersion v = get<NyxApiVersion>(api, NyxApiGetServerVersion);
    NyxApiNetworkStatus net = get<NyxApiNetworkStatus>(api, NyxApiGetNetworkStatus);
    char name[32] = {};
    EXPECT_EQ(NyxApiGetDeviceName(api, name), NYXAPI_SUCCESS);
    out << "version " << v.major << '.' << v.minor << '.' << v.patch << '.' << v.build
        << " running " << get<bool>(api, NyxApiGetRunning) << " status "
        << get<uint32_t>(api, NyxApiGetStatus) << " if "
        << text_of(get<NyxApiInterface>(api, NyxApiGetInterface)) << " channels "
        << get<uint32_t>(api, NyxApiGetChannelCount) << " audio "
        << get<NyxApiAudioInterface>(api, NyxApiGetAudioInterface) << " asio "
        << get<uint32_t>(api, NyxApiGetASIOBufferSize) << '/'
        << get<uint16_t>(api, NyxApiGetASIOEncoding) << '/'
        << get<uint32_t>(api, NyxApiGetASIOLatencyMs) << " corvo "
        << get<uint32_t>(api, NyxApiGetCorvoLatencyMs) << " link " << int{net.linkUp} << '/'
        << net.linkSpeedMbps << '/' << int{net.ipAddress[0]} << '.' << int{net.ipAddress[1]} << '.'
        << int{net.ipAddress[2]} << '.' << int{net.ipAddress[3]} << " name " << name << " domain "
        << domain_text(api) << " lock " << get<uint32_t>(api, NyxApiGetDeviceLockStatus)
        << " | interfaces " << list_text(api, NyxApiAvailableInterfaces) << " channels "
        << list_text(api, NyxApiAvailableChannelCounts) << " audio "
        << list_text(api, NyxApiAvailableAudioInterfaces) << " asio "
        << list_text(api, NyxApiAvailableASIOBufferSizes) << '/'
        << list_text(api, NyxApiAvailableASIOEncodings) << '/'
        << list_text(api, NyxApiAvailableASIOLatenciesMs) << " corvo "
        << list_text(api, NyxApiAvailableCorvoLatenciesMs);
    return out.str();
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
    NyxApiChanges all_changes() {
        NyxApiChanges all = 0;
        for (const Event &e : since(0)) {
            all |= e.changes;
        }
        return all;
    }
    // Index of the first event from `first` on that satisfies pred, or -1 after 5 s.
    long wait(size_t first, const std::function<bool(const Event &)> &pred) {
        long found = -1;
        wait_until([&] {
            std::vector<Event> rest = since(first);
            auto it = std::find_if(rest.begin(), rest.end(), pred);
            found = it == rest.end() ? -1 : static_cast<long>(first + (it - rest.begin()));
            return found >= 0;
        });
        return found;
    }
    // The event at `index`, once it came; an empty one if it does not.
    Event at(long index) {
        bool there = index >= 0 && wait(index, [](const Event &) { return true; }) == index;
        return there ? since(index)[0] : Event{};
    }

    NyxApi *api = nullptr;
    std::mutex lock;
    std::vector<Event> events;
};

class ApiService : public ::testing::Test {
  protected:
    void SetUp() override {
        nyxsim_options options;
        ASSERT_EQ(nyxsim_new(&options, &sim), VTR_SUCCESS);
        ASSERT_EQ(nyxsim_start(sim), VTR_SUCCESS);
        nyxsim_get_options(sim, &options_);
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
        ASSERT_GE(rec.wait(0, connected), 0);
    }

    void sim_command(const std::string &line) {
        std::string reply;
        ASSERT_EQ(nyxsim_command(sim, line.c_str(), &reply), VTR_SUCCESS) << line << ": " << reply;
    }

    // Changes the manager and waits for the handle to report `flag`.
    void sim_change(const std::string &line, NyxApiChanges flag) {
        size_t mark = rec.size();
        sim_command(line);
        ASSERT_GE(rec.wait(mark, with(flag)), 0) << line;
    }

    uint32_t set_configs() { return nyxsim_received_count(sim, 0x0110); }
    bool becomes(NyxApiState state) {
        return wait_until([&] { return NyxApiGetState(api) == state; });
    }
    bool in_progress() {
        bool busy = false;
        EXPECT_EQ(NyxApiRequestInProgress(api, &busy), NYXAPI_SUCCESS);
        return busy;
    }

    // Tries every configuration setter with a value the options hold, while the manager does
    // not answer; what was sent is cancelled at once. Only what succeeded may reach it.
    std::vector<NyxApiResult> try_setters() {
        const std::function<NyxApiResult()> setters[] = {
            [&] { return NyxApiSetRunning(api, true); },
            [&] { return NyxApiSetInterface(api, options_.interfaces[1].mac); },
            [&] { return NyxApiSetChannelCount(api, 16); },
            [&] { return NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM); },
            [&] { return NyxApiSetASIOBufferSize(api, 64); },
            [&] { return NyxApiSetASIOEncoding(api, 16); },
            [&] { return NyxApiSetASIOLatencyMs(api, 1); },
            [&] { return NyxApiSetCorvoLatencyMs(api, 2); },
        };
        sim_command("noreply on");
        uint32_t expected = set_configs();
        std::vector<NyxApiResult> results;
        for (const auto &send : setters) {
            results.push_back(send());
            if (results.back() == NYXAPI_SUCCESS) {
                ++expected;
                EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
            }
        }
        EXPECT_TRUE(wait_until([&] { return set_configs() >= expected; }));
        EXPECT_EQ(set_configs(), expected);
        sim_command("noreply off");
        return results;
    }

    // Sends one request; its completion comes alone in an event, and the very next event
    // reports `flag` (when not 0). Returns the completion's result.
    NyxApiResult complete(const std::function<NyxApiResult()> &send, NyxApiChanges flag) {
        size_t mark = rec.size();
        EXPECT_EQ(send(), NYXAPI_SUCCESS);
        long done = rec.wait(mark, with(NYXAPI_CHANGE_REQUEST_COMPLETED));
        Event completion = rec.at(done);
        EXPECT_EQ(completion.changes, NYXAPI_CHANGE_REQUEST_COMPLETED);
        if (flag != 0) {
            Event next = rec.at(done < 0 ? -1 : done + 1);
            EXPECT_EQ(next.changes & (flag | NYXAPI_CHANGE_REQUEST_COMPLETED), flag)
                << std::hex << next.changes;
            EXPECT_EQ(next.result, NYXAPI_SUCCESS);
        }
        EXPECT_FALSE(in_progress());
        return done < 0 ? NyxApiResult{NYXAPI_OTHER} : completion.result;
    }

    // The manager receives its last reported configuration with one field changed.
    void expect_one_field(const std::function<NyxApiResult()> &send,
                          const std::function<void(nyx_system_config &)> &change,
                          NyxApiChanges flag) {
        nyx_system_state state = {};
        nyxsim_get_state(sim, &state);
        change(state.config);
        EXPECT_EQ(complete(send, flag), NYXAPI_SUCCESS);
        nyx_system_config sent = {};
        ASSERT_TRUE(nyxsim_last_config(sim, &sent));
        EXPECT_EQ(nyxsim_describe_config(&sent), nyxsim_describe_config(&state.config));
    }

    nyxsim *sim = nullptr;
    nyx_system_options options_ = {};
    NyxApi *api = nullptr;
    Recorder rec;
};

#define COMPLETE(call, flag) complete([&] { return call; }, flag)
#define ONE_FIELD(call, change, flag)                                                              \
    do {                                                                                           \
        SCOPED_TRACE(#call);                                                                       \
        expect_one_field([&] { return call; }, [&](nyx_system_config &c) { change; }, flag);       \
    } while (0)

} // namespace
