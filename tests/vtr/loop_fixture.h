// An environment with an event loop and a dispatcher on the fake clock, with timer probes
// that record which callbacks ran, in order.
#pragma once

#include "fake_clock.h"
#include "vtr/vtr_event.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>

class LoopTest : public ::testing::Test {
  protected:
    using Action = std::function<void(vtr_timer *)>;
    struct Probe {
        LoopTest *test;
        std::string name;
        Action action;
        vtr_time expiry_seen;
    };

    FakeClock clock;
    vtr_time start = fake_clock_now;
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    std::string fired; // names of the callbacks of the current pass
    std::deque<Probe> probes;

    void SetUp() override {
        ASSERT_EQ(vtr_env_new(VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
        ASSERT_EQ(vtr_dispatcher_new(env, &dispatcher), VTR_SUCCESS);
    }
    void TearDown() override {
        vtr_dispatcher_delete(dispatcher);
        vtr_env_delete(env);
    }

    vtr_event_loop *loop() { return env->loop; }
    vtr_time at_ms(uint32_t ms) { return vtr_time_add(start, ms_time(ms)); }

    void record(const std::string &name) { fired += (fired.empty() ? "" : ",") + name; }

    static void on_timer(vtr_error status, vtr_timer *timer) {
        auto *p = static_cast<Probe *>(vtr_timer_get_context(timer));
        EXPECT_EQ(status, VTR_SUCCESS);
        p->expiry_seen = vtr_timer_get_expiry(timer);
        p->test->record(p->name);
        if (p->action) {
            p->action(timer);
        }
    }

    Probe *probe(const std::string &name, Action action = {}) {
        probes.push_back(Probe{this, name, std::move(action), {}});
        return &probes.back();
    }

    vtr_timer *oneshot(const std::string &name, uint32_t delay_ms, Action action = {}) {
        vtr_time delay = ms_time(delay_ms);
        vtr_timer *t = nullptr;
        EXPECT_EQ(vtr_timer_start_oneshot(loop(), on_timer, nullptr, &delay,
                                          probe(name, std::move(action)), &t),
                  VTR_SUCCESS);
        return t;
    }

    vtr_timer *periodic(const std::string &name, uint32_t interval_ms, Action action = {}) {
        vtr_time interval = ms_time(interval_ms);
        vtr_timer *t = nullptr;
        EXPECT_EQ(vtr_timer_start_periodic(loop(), on_timer, nullptr, &interval,
                                           probe(name, std::move(action)), &t),
                  VTR_SUCCESS);
        return t;
    }

    // One processing pass; what it called.
    std::string pass(vtr_socket_sets *ready = nullptr) {
        fired.clear();
        EXPECT_EQ(vtr_dispatcher_process(dispatcher, ready), VTR_SUCCESS);
        return fired;
    }
};
