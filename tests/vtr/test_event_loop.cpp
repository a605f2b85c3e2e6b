// Deferred calls, the dispatcher and socket watches.
#include "loop_fixture.h"

#include <stdexcept>

namespace {

using WatchFn = std::function<void(vtr_socket, uint32_t)>;

void on_watch(vtr_error status, vtr_socket sock, uint32_t kind, void *context) {
    EXPECT_EQ(status, VTR_SUCCESS);
    (*static_cast<WatchFn *>(context))(sock, kind);
}

class EventLoopTest : public LoopTest {
  protected:
    // A deferred call is a probe too, whose action gets no timer.
    static void on_call(int discarded, vtr_event_loop *, uint32_t id, void *context) {
        auto *p = static_cast<Probe *>(context);
        EXPECT_EQ(id, p->id);
        static_cast<EventLoopTest *>(p->test)->record(p->name + (discarded ? "(discarded)" : ""));
        if (p->action) {
            p->action(nullptr);
        }
    }

    Probe *post(const std::string &name, Action action = {}) {
        Probe *p = probe(name, std::move(action));
        EXPECT_EQ(vtr_event_loop_post(loop(), &p->id, on_call, p), VTR_SUCCESS);
        return p;
    }

    vtr_error cancel(Probe *c) { return vtr_event_loop_cancel(loop(), c->id, on_call, c); }

    std::string prepared_timeout() {
        vtr_time timeout{-1, 0};
        EXPECT_EQ(vtr_dispatcher_prepare(dispatcher, nullptr, &timeout), VTR_SUCCESS);
        return str(timeout);
    }
};

TEST_F(EventLoopTest, DeferredCallsAndTimeouts) {
    Probe *a = post("a", [&](vtr_timer *) { post("b"); });
    EXPECT_EQ(cancel(post("x")), VTR_SUCCESS);
    EXPECT_EQ(prepared_timeout(), "0.0"); // something queued
    oneshot("t", 0, [&](vtr_timer *) { post("c"); });
    // b was posted during the first run, so it waits for the run after the timers.
    EXPECT_EQ(pass(), "a,t,b,c");
    EXPECT_EQ(cancel(a), VTR_NOTFOUND);

    // Growth beyond the first capacity keeps order; a call may cancel a later one.
    std::string expected = "0";
    Action cancel_last = [&](vtr_timer *) { EXPECT_EQ(cancel(&probes.back()), VTR_SUCCESS); };
    for (int i = 0; i < 40; ++i) {
        post(std::to_string(i), i == 3 ? cancel_last : Action());
        expected += i == 0 || i == 39 ? "" : "," + std::to_string(i);
    }
    EXPECT_EQ(pass(), expected);
    post("nested", [&](vtr_timer *) {
        EXPECT_EQ(vtr_dispatcher_process(dispatcher, nullptr), VTR_INVALIDSTATE);
    });
    EXPECT_EQ(pass(), "nested");

    // The wait is capped at a minute, and nothing when a timer is overdue.
    EXPECT_EQ(prepared_timeout(), "60.0");
    fake_clock_now.usec = 300000;
    oneshot("near", 1500);
    EXPECT_EQ(prepared_timeout(), "1.500000");
    advance_ms(2000);
    EXPECT_EQ(prepared_timeout(), "0.0");
}

TEST_F(EventLoopTest, ChangesDuringDispatchWaitForCleanup) {
    WatchFn log = [&](vtr_socket s, uint32_t kind) {
        record(std::to_string(s) + "/" + std::to_string(kind));
    };
    WatchFn first = [&](vtr_socket s, uint32_t kind) {
        log(s, kind);
        // Remove a later watch, add one for a ready socket, and bring a removed one back.
        EXPECT_EQ(vtr_socket_watch(loop(), 2, 0, nullptr, nullptr, VTR_WATCH_EXISTING), 0u);
        EXPECT_EQ(vtr_socket_watch(loop(), 3, 0, on_watch, &log, VTR_WATCH_NEW), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_watch(loop(), 4, 0, nullptr, nullptr, VTR_WATCH_ANY), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_watch(loop(), 4, 0, on_watch, &log, VTR_WATCH_NEW), VTR_SUCCESS);
    };
    for (vtr_socket s : {1, 2, 4}) {
        ASSERT_EQ(vtr_socket_watch(loop(), s, 0, on_watch, s == 1 ? &first : &log, 0), 0u);
    }
    ASSERT_EQ(vtr_socket_watch(loop(), 1, 1, on_watch, &log, 0), VTR_SUCCESS);

    vtr_socket_sets ready{};
    for (vtr_socket s : {1, 2, 3, 4}) {
        vtr_socket_set_add(&ready.kind[0], s);
    }
    vtr_socket_set_add(&ready.kind[1], 1);
    vtr_socket_sets again = ready;
    EXPECT_EQ(pass(&ready), "1/0,1/1");
    EXPECT_FALSE(vtr_socket_set_contains(&ready.kind[0], 1)); // taken out once it fired

    ASSERT_EQ(vtr_socket_watch(loop(), 1, 0, on_watch, &log, VTR_WATCH_EXISTING), VTR_SUCCESS);
    EXPECT_EQ(pass(&again), "1/0,4/0,3/0,1/1");

    // A full master set refuses further sockets rather than keep watches that never fire.
    for (vtr_socket s = 100; s < 100 + VTR_SOCKET_SET_MAX; ++s) {
        ASSERT_EQ(vtr_socket_watch(loop(), s, 2, on_watch, &log, VTR_WATCH_NEW), VTR_SUCCESS);
    }
    EXPECT_EQ(vtr_socket_watch(loop(), 50, 2, on_watch, &log, VTR_WATCH_NEW), VTR_NOBUFS);
}

// A callback that throws ends its pass, but the loop stays usable: the next pass runs, what
// the thrower changed takes effect, and the calls its pass could not reach are told so.
TEST_F(EventLoopTest, ACallbackThatThrowsLeavesTheLoopUsable) {
    auto expect_throw = [&] {
        fired.clear();
        EXPECT_THROW(vtr_dispatcher_process(dispatcher, nullptr), std::runtime_error);
        return fired;
    };

    // A periodic timer is rescheduled from the pass; what it armed before it threw is armed.
    int ticks = 0;
    vtr_timer *tick = periodic("tick", 100, [&](vtr_timer *) {
        if (ticks++ == 0)
            oneshot("armed-by-tick", 0);
        throw std::runtime_error("boom");
    });
    oneshot("later", 150);
    advance_ms(100);
    EXPECT_EQ(expect_throw(), "tick");
    EXPECT_EQ(pass(), "armed-by-tick");
    advance_ms(50);
    EXPECT_EQ(pass(), "later");
    advance_ms(50);
    EXPECT_EQ(expect_throw(), "tick");

    // A deferred call: those queued behind it are discarded, later posts run.
    EXPECT_EQ(vtr_timer_cancel(tick), VTR_SUCCESS);
    post("throws", [](vtr_timer *) { throw std::runtime_error("boom"); });
    post("behind");
    EXPECT_EQ(expect_throw(), "throws,behind(discarded)");
    post("after");
    EXPECT_EQ(pass(), "after");
}

} // namespace
