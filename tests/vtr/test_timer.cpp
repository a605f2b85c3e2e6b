// Time values, the clock, sleep and time text; timers and their passes.
#include "loop_fixture.h"

#include <chrono>
#include <ctime>
#include <string>

#if !defined(_WIN32)
#include <csignal>
#include <sys/time.h>
#endif

namespace {

TEST(Time, ArithmeticAndTheClock) {
    EXPECT_EQ(str(vtr_time_normalise(vtr_time{1, 2500000})), "3.500000");
    // Unnormalised operands whose microseconds would overflow 32 bits.
    EXPECT_EQ(str(vtr_time_add(vtr_time{0, 4000000000u}, vtr_time{0, 4000000000u})), "8000.0");
    EXPECT_EQ(str(vtr_time_sub(vtr_time{5, 200000}, vtr_time{3, 700000})), "1.500000");
    // The borrow is rounded up over the whole microsecond gap.
    EXPECT_EQ(str(vtr_time_sub(vtr_time{5, 0}, vtr_time{0, 2500000})), "2.500000");
    EXPECT_EQ(vtr_time_compare(vtr_time{1, 999999}, vtr_time{2, 0}), -1);
    EXPECT_EQ(vtr_time_compare(vtr_time{2, 5}, vtr_time{2, 5}), 0);
    // Across the 32-bit wrap the later second still compares later.
    EXPECT_EQ(vtr_time_compare(vtr_time{INT32_MIN, 0}, vtr_time{INT32_MAX, 0}), 1);

    vtr_time now{};
    ASSERT_EQ(vtr_time_now(&now), VTR_SUCCESS);
    auto system = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_LT(now.usec, 1000000u);
    EXPECT_NEAR(now.sec + now.usec / 1e6, std::chrono::duration<double>(system).count(), 2.0);
    EXPECT_EQ(vtr_time_now(nullptr), VTR_INVALIDPARAMETER);
    // The C library's ctime form in local time, with the day padded by a blank (wine's pads it
    // with a zero): 6 and 16 December 2026.
    char buffer[VTR_TIME_TEXT_SIZE];
    for (time_t sec : {1796558400, 1796558400 + 10 * 86400}) {
        vtr_time t{static_cast<int32_t>(sec), 0};
        std::string expected = ctime(&sec);
        expected[8] = expected[8] == '0' ? ' ' : expected[8];
        EXPECT_EQ(vtr_time_text(&t, buffer), expected);
    }
}

TEST(Time, SleepRoundsMicrosecondsUp) {
    vtr_time negative{-1, 0};
    EXPECT_EQ(vtr_sleep(&negative), VTR_INVALIDPARAMETER);
    for (uint32_t usec : {1u, 1001u}) {
        vtr_time t{0, usec};
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(vtr_sleep(&t), VTR_SUCCESS);
        auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(took, std::chrono::milliseconds(usec / 1000 + 1));
        EXPECT_LT(took, std::chrono::milliseconds(500));
    }
#if !defined(_WIN32)
    // A signal ends the sleep early, as a completion routine does on Windows.
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 50000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    vtr_time long_sleep{5, 0};
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(vtr_sleep(&long_sleep), VTR_INTERRUPTED);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    sigaction(SIGALRM, &previous, nullptr);
#endif
}

using TimerTest = LoopTest;

TEST_F(TimerTest, FiresInExpiryThenArmingOrder) {
    oneshot("a", 2000);
    oneshot("b", 2000);
    oneshot("c", 1000);
    advance_ms(999);
    EXPECT_EQ(pass(), "");
    advance_ms(1);
    EXPECT_EQ(pass(), "c");
    advance_ms(1000);
    EXPECT_EQ(pass(), "a,b");
    advance_ms(5000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, PeriodicCountsFromThePassThatFiredIt) {
    vtr_timer *p = periodic("p", 3000);
    advance_ms(3500);
    EXPECT_EQ(pass(), "p");
    EXPECT_EQ(str(probes.back().expiry_seen), str(at_ms(3000))); // the expiry that was due
    EXPECT_EQ(str(vtr_timer_get_expiry(p)), str(at_ms(6500)));
    advance_ms(2999);
    EXPECT_EQ(pass(), "");
    advance_ms(1);
    EXPECT_EQ(pass(), "p");
    // Several intervals late: one call, no catching up.
    advance_ms(10000);
    EXPECT_EQ(pass(), "p");
    EXPECT_EQ(pass(), "");
    EXPECT_EQ(vtr_timer_cancel(p), VTR_SUCCESS);
    advance_ms(60000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, CancelDuringPass) {
    vtr_timer *b = nullptr;
    vtr_timer *late = nullptr;
    oneshot("a", 100, [&](vtr_timer *) {
        EXPECT_EQ(vtr_timer_cancel(b), VTR_SUCCESS);    // due, not fired yet
        EXPECT_EQ(vtr_timer_cancel(late), VTR_SUCCESS); // not due
        EXPECT_EQ(vtr_timer_cancel(oneshot("fresh", 0)), VTR_SUCCESS);
    });
    b = oneshot("b", 100);
    oneshot("c", 100, [](vtr_timer *self) { EXPECT_EQ(vtr_timer_cancel(self), VTR_SUCCESS); });
    periodic("p", 100, [](vtr_timer *self) { EXPECT_EQ(vtr_timer_cancel(self), VTR_SUCCESS); });
    late = oneshot("late", 5000);
    advance_ms(100);
    EXPECT_EQ(pass(), "a,c,p");
    advance_ms(10000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, ArmedOrRestartedInCallbackWaitsForNextPass) {
    vtr_timer *later = oneshot("later", 10000);
    oneshot("a", 0, [&](vtr_timer *) {
        oneshot("z", 0);
        EXPECT_EQ(vtr_timer_restart(later, &fake_clock_now, nullptr), VTR_SUCCESS);
    });
    int calls = 0;
    vtr_time zero{0, 0};
    oneshot("self", 0, [&](vtr_timer *self) {
        if (calls++ == 0) {
            EXPECT_EQ(vtr_timer_restart(self, nullptr, &zero), VTR_SUCCESS);
        }
    });
    EXPECT_EQ(pass(), "a,self");
    EXPECT_EQ(pass(), "z,self,later");
    EXPECT_EQ(pass(), "");

    // A periodic timer restarting itself becomes one-shot at the restart's expiry.
    bool restarted = false;
    periodic("p", 1000, [&](vtr_timer *self) {
        vtr_time delay = ms_time(5000);
        EXPECT_TRUE(restarted || vtr_timer_restart(self, nullptr, &delay) == VTR_SUCCESS);
        restarted = true;
    });
    advance_ms(1000);
    EXPECT_EQ(pass(), "p");
    advance_ms(4999);
    EXPECT_EQ(pass(), "");
    advance_ms(1);
    EXPECT_EQ(pass(), "p");
    advance_ms(60000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, AbsoluteTimesRestartAndArguments) {
    vtr_timer *a = oneshot("a", 1000);
    vtr_timer *p = periodic("p", 1000);
    vtr_time base{start.sec, 1500000}; // unnormalised on purpose
    vtr_time delay{0, 600000};
    vtr_timer *t = nullptr;
    ASSERT_EQ(vtr_timer_start_oneshot(loop(), on_timer, &base, &delay, probe("b", {}), &t), 0u);
    ASSERT_EQ(vtr_timer_start_periodic(loop(), on_timer, &base, &delay, probe("q", {}), &t), 0u);
    EXPECT_EQ(str(vtr_timer_get_expiry(t)), str(at_ms(1500))); // then every 0.6 s
    vtr_time three = ms_time(3000);
    EXPECT_EQ(vtr_timer_restart(a, nullptr, nullptr), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_restart(a, nullptr, &three), VTR_SUCCESS);
    EXPECT_EQ(vtr_timer_restart(p, &base, &delay), VTR_SUCCESS); // one-shot at 2.1 s
    advance_ms(1500);
    EXPECT_EQ(pass(), "q");
    advance_ms(600);
    EXPECT_EQ(pass(), "b,p,q");
    EXPECT_EQ(vtr_timer_cancel(t), VTR_SUCCESS);
    advance_ms(900);
    EXPECT_EQ(pass(), "a"); // p is one-shot now

    vtr_time zero{0, 0}, negative{-1, 500000};
    EXPECT_EQ(vtr_timer_start_oneshot(loop(), on_timer, nullptr, nullptr, nullptr, &t),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_start_periodic(loop(), on_timer, nullptr, &zero, nullptr, &t),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_start_periodic(loop(), on_timer, nullptr, &negative, nullptr, &t),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_cancel(nullptr), VTR_INVALIDPARAMETER);
}

} // namespace
