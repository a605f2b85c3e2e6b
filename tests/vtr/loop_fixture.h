// A clock the test moves by hand, and an event loop with a dispatcher on it whose timer
// probes record which callbacks ran, in order.
#pragma once

#include "vtr/vtr_event.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>

inline vtr_time ms_time(uint32_t ms) {
    return vtr_time{int32_t(ms / 1000), (ms % 1000) * 1000};
}

// "seconds.microseconds" as they are, so that an unnormalised value never passes for another.
inline std::string str(vtr_time t) {
    return std::to_string(t.sec) + "." + std::to_string(t.usec);
}

inline vtr_time fake_clock_now{}; // what the clock says while a LoopTest runs

class LoopTest : public ::testing::Test {
  protected:
    using Action = std::function<void(vtr_timer *)>;
    struct Probe {
        LoopTest *test;
        std::string name;
        Action action;
        vtr_time expiry_seen;
        uint32_t id = 0; // a deferred call's
    };

    const vtr_time start{1000000, 0};
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    std::string fired; // names of the callbacks of the current pass
    std::deque<Probe> probes;

    void SetUp() override {
        fake_clock_now = start;
        vtr_clock_set_hook([](vtr_time *now) { *now = fake_clock_now; });
        ASSERT_EQ(vtr_env_new(VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
        ASSERT_EQ(vtr_dispatcher_new(env, &dispatcher), VTR_SUCCESS);
    }
    void TearDown() override {
        vtr_dispatcher_delete(dispatcher);
        vtr_env_delete(env);
        vtr_clock_set_hook(nullptr);
    }
    void advance_ms(uint32_t ms) { fake_clock_now = vtr_time_add(fake_clock_now, ms_time(ms)); }

    vtr_event_loop *loop() { return env->loop; }
    vtr_time at_ms(uint32_t ms) { return vtr_time_add(start, ms_time(ms)); }
    void record(const std::string &name) { fired += (fired.empty() ? "" : ",") + name; }

    static void on_timer(vtr_error status, vtr_timer *timer) {
        auto *p = static_cast<Probe *>(vtr_timer_get_context(timer));
        EXPECT_EQ(status, VTR_SUCCESS);
        p->expiry_seen = vtr_timer_get_expiry(timer);
        p->test->record(p->name);
        if (p->action)
            p->action(timer);
    }

    Probe *probe(const std::string &name, Action action) {
        return &probes.emplace_back(Probe{this, name, std::move(action), {}});
    }

    // Armed from now; the delay is a periodic timer's interval too.
    vtr_timer *oneshot(const std::string &name, uint32_t ms, Action action = {},
                       bool periodic = false) {
        vtr_time delay = ms_time(ms);
        vtr_timer *t = nullptr;
        auto start_timer = periodic ? vtr_timer_start_periodic : vtr_timer_start_oneshot;
        EXPECT_EQ(start_timer(loop(), on_timer, nullptr, &delay, probe(name, action), &t), 0u);
        return t;
    }
    vtr_timer *periodic(const std::string &name, uint32_t ms, Action action = {}) {
        return oneshot(name, ms, std::move(action), true);
    }

    // One processing step; the callbacks it made.
    std::string pass(vtr_socket_sets *ready = nullptr) {
        fired.clear();
        EXPECT_EQ(vtr_dispatcher_process(dispatcher, ready), VTR_SUCCESS);
        return fired;
    }
};
