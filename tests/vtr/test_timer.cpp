// Time values, the clock and time text; timers and their passes.
#include "loop_fixture.h"

#include <chrono>
#include <ctime>
#include <string>

namespace {

TEST(Time, ArithmeticAndTheClocks) {
    // Unnormalised operands whose microseconds would overflow 32 bits.
    EXPECT_EQ(str(vtr_time_add(vtr_time{0, 4000000000u}, vtr_time{0, 4000000000u})), "8000.0");
    // The borrow is rounded up over the whole microsecond gap.
    EXPECT_EQ(str(vtr_time_sub(vtr_time{5, 0}, vtr_time{0, 2500000})), "2.500000");
    // Across the 32-bit wrap the later second still compares later.
    EXPECT_EQ(vtr_time_compare(vtr_time{INT32_MIN, 0}, vtr_time{INT32_MAX, 0}), 1);

    vtr_time now{};
    ASSERT_EQ(vtr_time_now(&now), VTR_SUCCESS);
    auto system = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(now.sec + now.usec / 1e6, std::chrono::duration<double>(system).count(), 2.0);
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

using TimerTest = LoopTest;

TEST_F(TimerTest, OrderPeriodsAndWallClockSteps) {
    oneshot("a", 2000);
    oneshot("b", 2000);
    oneshot("c", 1000);
    periodic("p", 3000);
    // Steps of the wall clock move no timer.
    vtr_wall_clock_set_hook([](vtr_time *t) { *t = vtr_time{fake_clock_now.sec - 86400, 0}; });
    advance_ms(999);
    EXPECT_EQ(pass(), "");
    advance_ms(1);
    EXPECT_EQ(pass(), "c");
    vtr_wall_clock_set_hook([](vtr_time *t) { *t = vtr_time{fake_clock_now.sec + 86400, 0}; });
    EXPECT_EQ(pass(), "");
    advance_ms(1000);
    EXPECT_EQ(pass(), "a,b"); // expiry, then arming order
    vtr_clock_set_hook([](vtr_time *now) { *now = fake_clock_now; });

    // A periodic timer counts from the pass that fired it, and never catches up.
    advance_ms(1500);
    EXPECT_EQ(pass(), "p");
    EXPECT_EQ(str(probes[3].expiry_seen), str(at_ms(3000))); // the expiry that was due
    advance_ms(2999);
    EXPECT_EQ(pass(), "");
    advance_ms(1);
    EXPECT_EQ(pass(), "p");
    advance_ms(10000);
    EXPECT_EQ(pass(), "p");
    EXPECT_EQ(pass(), "");
}

// Cancels, arming and restarts from a callback; the new expiries wait for the next pass.
TEST_F(TimerTest, ChangesFromCallbacks) {
    vtr_timer *b = nullptr, *late = nullptr;
    oneshot("a", 100, [&](vtr_timer *) {
        EXPECT_EQ(vtr_timer_cancel(b), VTR_SUCCESS);    // due, not fired yet
        EXPECT_EQ(vtr_timer_cancel(late), VTR_SUCCESS); // not due
    });
    b = oneshot("b", 100);
    periodic("p", 100, [](vtr_timer *self) { EXPECT_EQ(vtr_timer_cancel(self), VTR_SUCCESS); });
    late = oneshot("late", 5000);
    advance_ms(100);
    EXPECT_EQ(pass(), "a,p");
    advance_ms(10000);
    EXPECT_EQ(pass(), "");

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
}

TEST_F(TimerTest, AbsoluteTimesAndRestarts) {
    vtr_timer *a = oneshot("a", 1000);
    vtr_timer *p = periodic("p", 1000);
    vtr_time base{start.sec, 1500000}; // unnormalised on purpose
    vtr_time delay{0, 600000};
    vtr_timer *t = nullptr;
    ASSERT_EQ(vtr_timer_start_periodic(loop(), on_timer, &base, &delay, probe("q", {}), &t), 0u);
    EXPECT_EQ(str(vtr_timer_get_expiry(t)), str(at_ms(1500))); // then every 0.6 s
    vtr_time three = ms_time(3000);
    EXPECT_EQ(vtr_timer_restart(a, nullptr, &three), VTR_SUCCESS);
    EXPECT_EQ(vtr_timer_restart(p, &base, &delay), VTR_SUCCESS); // one-shot at 2.1 s
    advance_ms(1500);
    EXPECT_EQ(pass(), "q");
    advance_ms(600);
    EXPECT_EQ(pass(), "p,q");
    EXPECT_EQ(vtr_timer_cancel(t), VTR_SUCCESS); // and a cancelled periodic one never again
    advance_ms(900);
    EXPECT_EQ(pass(), "a"); // p is one-shot now
}

} // namespace
