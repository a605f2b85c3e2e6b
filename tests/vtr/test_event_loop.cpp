// The environment, deferred calls, the dispatcher, socket watches and the socket wait.
#include "loop_fixture.h"
#include "udp_peer.h"

#include <chrono>
#include <stdexcept>
#include <vector>

namespace {

// A dispatcher on a bare environment gives it a loop that it then owns (leak-checked).
TEST(Env, DispatcherMakesTheLoopItLacks) {
    vtr_env *env = nullptr;
    ASSERT_EQ(vtr_env_new(0, &env), VTR_SUCCESS);
    vtr_dispatcher *d = nullptr;
    ASSERT_EQ(vtr_dispatcher_new(env, &d), VTR_SUCCESS);
    EXPECT_TRUE(env->loop != nullptr && env->logger == nullptr && env->owned == VTR_ENV_EVENT_LOOP);
    vtr_dispatcher_delete(d);
    vtr_env_delete(env);
}

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

    vtr_error cancel(Probe *c, uint32_t id = 0) {
        return vtr_event_loop_cancel(loop(), id != 0 ? id : c->id, on_call, c);
    }

    std::string prepared_timeout() {
        vtr_time timeout{-1, 0};
        EXPECT_EQ(vtr_dispatcher_prepare(dispatcher, nullptr, &timeout), VTR_SUCCESS);
        return str(timeout);
    }
};

TEST_F(EventLoopTest, DeferredCallsRunAroundTimers) {
    Probe *a = post("a", [&](vtr_timer *) { post("b"); });
    Probe *x = post("x");
    EXPECT_EQ(a->id, 1u);
    EXPECT_EQ(x->id, 2u);
    EXPECT_EQ(cancel(x), VTR_SUCCESS);
    oneshot("t", 0, [&](vtr_timer *) { post("c"); });
    // b was posted during the first run, so it waits for the run after the timers.
    EXPECT_EQ(pass(), "a,t,b,c");
    EXPECT_EQ(probes[3].id, 0x80000001u); // b
    EXPECT_EQ(cancel(a), VTR_NOTFOUND);

    Probe *d = post("d");
    EXPECT_EQ(vtr_event_loop_cancel(loop(), d->id, on_call, a), VTR_NOTFOUND);
    EXPECT_EQ(cancel(d, d->id + 1), VTR_NOTFOUND);
    EXPECT_EQ(pass(), "d");

    // Growth beyond the first capacity keeps order; a call may cancel a later one.
    std::string expected;
    Action cancel_last = [&](vtr_timer *) { EXPECT_EQ(cancel(&probes.back()), VTR_SUCCESS); };
    for (int i = 0; i < 40; ++i) {
        post(std::to_string(i), i == 3 ? cancel_last : Action());
        expected += i == 39 ? "" : std::to_string(i) + (i == 38 ? "" : ",");
    }
    EXPECT_EQ(pass(), expected);

    post("nested", [&](vtr_timer *) {
        EXPECT_EQ(vtr_dispatcher_process(dispatcher, nullptr), VTR_INVALIDSTATE);
    });
    EXPECT_EQ(pass(), "nested");
}

TEST_F(EventLoopTest, TeardownDiscardsQueuedCallsOnly) {
    oneshot("timer", 0);
    post("kept", [&](vtr_timer *) {
        uint32_t id = 0;
        EXPECT_EQ(vtr_event_loop_post(loop(), &id, on_call, nullptr), VTR_NOTINITIALISED);
    });
    EXPECT_EQ(cancel(post("dropped")), VTR_SUCCESS);
    WatchFn never = [](vtr_socket, uint32_t) { ADD_FAILURE(); };
    EXPECT_EQ(vtr_socket_watch(loop(), 5, VTR_WATCH_READ, on_watch, &never, VTR_WATCH_ANY), 0u);
    vtr_event_loop_delete(env->loop);
    env->owned = 0;
    EXPECT_EQ(fired, "kept(discarded)");
}

TEST_F(EventLoopTest, PrepareTimeout) {
    EXPECT_EQ(prepared_timeout(), "60.0");
    oneshot("far", 90000);
    EXPECT_EQ(prepared_timeout(), "60.0");
    fake_clock_now.usec = 300000;
    oneshot("near", 1500);
    EXPECT_EQ(prepared_timeout(), "1.500000");
    advance_ms(2000);
    EXPECT_EQ(prepared_timeout(), "0.0"); // overdue
    EXPECT_EQ(pass(), "near");
    post("queued");
    EXPECT_EQ(prepared_timeout(), "0.0");
}

TEST_F(EventLoopTest, WatchModes) {
    WatchFn fn = [](vtr_socket, uint32_t) {};
    EXPECT_EQ(vtr_socket_watch(loop(), VTR_SOCKET_INVALID, 0, on_watch, &fn, 0),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_watch(loop(), 5, 3, on_watch, &fn, 0), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_watch(loop(), 5, 0, on_watch, &fn, VTR_WATCH_EXISTING), VTR_NOTFOUND);
    EXPECT_EQ(vtr_socket_watch(loop(), 5, 0, on_watch, &fn, VTR_WATCH_NEW), VTR_SUCCESS);
    EXPECT_EQ(vtr_socket_watch(loop(), 5, 0, on_watch, &fn, VTR_WATCH_NEW), VTR_ALREADY);
    EXPECT_EQ(vtr_socket_watch(loop(), 5, 1, on_watch, &fn, VTR_WATCH_NEW), VTR_SUCCESS);
    EXPECT_EQ(vtr_socket_watch(loop(), 6, 0, on_watch, &fn, VTR_WATCH_ANY), VTR_SUCCESS);

    // The caller's own sockets stay; watched ones are merged without duplicates.
    vtr_socket_sets sets{};
    vtr_socket_set_add(&sets.kind[0], 9);
    vtr_socket_set_add(&sets.kind[0], 6);
    ASSERT_EQ(vtr_dispatcher_prepare(dispatcher, &sets, nullptr), VTR_SUCCESS);
    EXPECT_EQ(sets.kind[0].count, 3u);
    EXPECT_EQ(sets.count, 4u);

    EXPECT_EQ(vtr_socket_watch(loop(), 5, 0, nullptr, nullptr, VTR_WATCH_EXISTING), VTR_SUCCESS);
    EXPECT_EQ(vtr_socket_watch(loop(), 5, 0, nullptr, nullptr, VTR_WATCH_EXISTING), VTR_NOTFOUND);
    sets = vtr_socket_sets{};
    ASSERT_EQ(vtr_dispatcher_prepare(dispatcher, &sets, nullptr), VTR_SUCCESS);
    EXPECT_EQ(sets.count, 2u);

    // A full master set refuses further sockets rather than keep watches that never fire.
    for (vtr_socket s = 100; s < 100 + VTR_SOCKET_SET_MAX; ++s) {
        ASSERT_EQ(vtr_socket_watch(loop(), s, 2, on_watch, &fn, VTR_WATCH_NEW), VTR_SUCCESS);
    }
    EXPECT_EQ(vtr_socket_watch(loop(), 50, 2, on_watch, &fn, VTR_WATCH_NEW), VTR_NOBUFS);
}

TEST_F(EventLoopTest, ChangesDuringDispatchWaitForCleanup) {
    WatchFn log = [&](vtr_socket s, uint32_t kind) {
        record(std::to_string(s) + "/" + std::to_string(kind));
    };
    WatchFn first = [&](vtr_socket s, uint32_t kind) {
        log(s, kind);
        // Remove a later watch, add one for a ready socket, and bring a removed one back.
        EXPECT_EQ(vtr_socket_watch(loop(), 2, 0, nullptr, nullptr, VTR_WATCH_EXISTING),
                  VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_watch(loop(), 2, 0, nullptr, nullptr, VTR_WATCH_EXISTING),
                  VTR_NOTFOUND);
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
    // Sockets that fired were taken out; the others stay.
    EXPECT_EQ(ready.kind[0].count, 3u);
    EXPECT_FALSE(vtr_socket_set_contains(&ready.kind[0], 1));

    ASSERT_EQ(vtr_socket_watch(loop(), 1, 0, on_watch, &log, VTR_WATCH_EXISTING), VTR_SUCCESS);
    EXPECT_EQ(pass(&again), "1/0,4/0,3/0,1/1");
}

// Prepare, wait and process, as the worker runs them.
TEST_F(EventLoopTest, WaitKeepsOnlyReadySocketsAndTheirWatchesFire) {
    UdpPeer quiet, busy;
    static vtr_socket_sets sets; // too big for some stacks
    vtr_socket_set_add(&sets.kind[VTR_WATCH_READ], quiet.sock);
    vtr_time short_wait{0, 20000};
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(vtr_socket_wait(&sets.kind[0], nullptr, &short_wait), VTR_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(15));
    EXPECT_EQ(sets.kind[0].count, 0u);
    EXPECT_EQ(vtr_socket_wait(nullptr, nullptr, nullptr), VTR_INVALIDPARAMETER);

    std::vector<vtr_socket> ready;
    WatchFn read = [&](vtr_socket s, uint32_t) {
        ready.push_back(s);
        EXPECT_EQ(receive(s), "hey");
    };
    for (vtr_socket s : {quiet.sock, busy.sock}) {
        ASSERT_EQ(vtr_socket_watch(loop(), s, VTR_WATCH_READ, on_watch, &read, 0), 0u);
    }
    size_t length = 3;
    ASSERT_EQ(vtr_socket_sendto(quiet.sock, "hey", &length, &busy.address), VTR_SUCCESS);
    vtr_socket_set_add(&sets.kind[VTR_WATCH_WRITE], quiet.sock);
    ASSERT_EQ(vtr_dispatcher_prepare(dispatcher, &sets, nullptr), VTR_SUCCESS);
    EXPECT_EQ(sets.count, 3u);
    vtr_time second{1, 0};
    EXPECT_EQ(vtr_socket_wait(&sets.kind[0], &sets.kind[1], &second), VTR_SUCCESS);
    EXPECT_EQ(sets.kind[0].count, 1u);
    EXPECT_EQ(sets.kind[1].count, 1u); // an idle UDP socket can always send
    EXPECT_EQ(vtr_dispatcher_process(dispatcher, &sets), VTR_SUCCESS);
    EXPECT_EQ(ready, std::vector<vtr_socket>{busy.sock});
}

// A callback that throws ends its pass, but the loop stays usable: the next pass runs, what
// the thrower changed takes effect, and the calls its pass could not reach are told so.
TEST_F(EventLoopTest, ACallbackThatThrowsLeavesTheLoopUsable) {
    auto boom = [](vtr_timer *) { throw std::runtime_error("boom"); };
    auto expect_throw = [&] {
        fired.clear();
        EXPECT_THROW(vtr_dispatcher_process(dispatcher, nullptr), std::runtime_error);
    };

    // A periodic timer: it is rescheduled from the pass, and a timer armed by the thrower
    // before it threw is armed too.
    int ticks = 0;
    vtr_timer *tick = periodic("tick", 100, [&](vtr_timer *) {
        if (ticks++ == 0) {
            oneshot("armed-by-tick", 0);
        }
        throw std::runtime_error("boom");
    });
    oneshot("later", 150);
    advance_ms(100);
    expect_throw();
    EXPECT_EQ(fired, "tick");
    EXPECT_EQ(pass(), "armed-by-tick");
    advance_ms(50);
    EXPECT_EQ(pass(), "later");
    advance_ms(50);
    expect_throw();
    EXPECT_EQ(fired, "tick");

    // A deferred call: those queued behind it are discarded, later posts run.
    EXPECT_EQ(vtr_timer_cancel(tick), VTR_SUCCESS);
    post("throws", boom);
    post("behind");
    expect_throw();
    EXPECT_EQ(fired, "throws,behind(discarded)");
    post("after");
    EXPECT_EQ(pass(), "after");

    // A socket watch: removed by its callback before it threw, it is gone afterwards.
    UdpPeer peer;
    static vtr_socket_sets sets;
    WatchFn remove_and_throw = [&](vtr_socket s, uint32_t) {
        EXPECT_EQ(receive(s), "hey");
        vtr_socket_watch(loop(), s, VTR_WATCH_READ, nullptr, nullptr, VTR_WATCH_ANY);
        throw std::runtime_error("boom");
    };
    ASSERT_EQ(vtr_socket_watch(loop(), peer.sock, VTR_WATCH_READ, on_watch, &remove_and_throw, 0),
              0u);
    size_t length = 3;
    ASSERT_EQ(vtr_socket_sendto(peer.sock, "hey", &length, &peer.address), VTR_SUCCESS);
    vtr_socket_set_add(&sets.kind[VTR_WATCH_READ], peer.sock);
    EXPECT_THROW(vtr_dispatcher_process(dispatcher, &sets), std::runtime_error);
    ASSERT_EQ(vtr_socket_sendto(peer.sock, "hey", &length, &peer.address), VTR_SUCCESS);
    vtr_socket_set_add(&sets.kind[VTR_WATCH_READ], peer.sock);
    oneshot("still-fires", 0);
    EXPECT_EQ(pass(&sets), "still-fires");
}

} // namespace
