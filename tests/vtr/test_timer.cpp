#include "loop_fixture.h"

namespace {

using TimerTest = LoopTest;

TEST_F(TimerTest, FiresInExpiryThenArmingOrder) {
    oneshot("a", 2000);
    oneshot("b", 2000);
    oneshot("c", 1000);
    clock.advance_ms(999);
    EXPECT_EQ(pass(), "");
    clock.advance_ms(1);
    EXPECT_EQ(pass(), "c");
    clock.advance_ms(1000);
    EXPECT_EQ(pass(), "a,b");
    clock.advance_ms(5000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, PeriodicCountsFromThePassThatFiredIt) {
    vtr_timer *p = periodic("p", 3000);
    clock.advance_ms(3500);
    EXPECT_EQ(pass(), "p");
    EXPECT_TRUE(time_equal(probes.back().expiry_seen, at_ms(3000)));
    EXPECT_TRUE(time_equal(vtr_timer_get_expiry(p), at_ms(6500)));
    clock.advance_ms(2999);
    EXPECT_EQ(pass(), "");
    clock.advance_ms(1);
    EXPECT_EQ(pass(), "p");
    // Several intervals late: one call, no catching up.
    clock.advance_ms(10000);
    EXPECT_EQ(pass(), "p");
    EXPECT_EQ(pass(), "");
    EXPECT_EQ(vtr_timer_cancel(p), VTR_SUCCESS);
    clock.advance_ms(60000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, CancelDuringPass) {
    vtr_timer *b = nullptr;
    vtr_timer *late = nullptr;
    oneshot("a", 100, [&](vtr_timer *) {
        EXPECT_EQ(vtr_timer_cancel(b), VTR_SUCCESS);
        EXPECT_EQ(vtr_timer_cancel(late), VTR_SUCCESS);
        EXPECT_EQ(vtr_timer_cancel(oneshot("fresh", 0)), VTR_SUCCESS);
    });
    b = oneshot("b", 100);
    oneshot("c", 100, [](vtr_timer *self) { EXPECT_EQ(vtr_timer_cancel(self), VTR_SUCCESS); });
    periodic("p", 100, [](vtr_timer *self) { EXPECT_EQ(vtr_timer_cancel(self), VTR_SUCCESS); });
    late = oneshot("late", 5000);
    clock.advance_ms(100);
    EXPECT_EQ(pass(), "a,c,p");
    clock.advance_ms(10000);
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
    clock.advance_ms(1000);
    EXPECT_EQ(pass(), "p");
    clock.advance_ms(4999);
    EXPECT_EQ(pass(), "");
    clock.advance_ms(1);
    EXPECT_EQ(pass(), "p");
    clock.advance_ms(60000);
    EXPECT_EQ(pass(), "");
}

TEST_F(TimerTest, RestartAndArguments) {
    vtr_timer *a = oneshot("a", 1000);
    oneshot("b", 2000);
    vtr_timer *p = periodic("p", 1000);
    vtr_time three = ms_time(3000);
    EXPECT_EQ(vtr_timer_restart(a, nullptr, &three), VTR_SUCCESS);
    vtr_time base{start.sec, 1500000}; // unnormalised on purpose
    vtr_time delay{0, 600000};
    EXPECT_EQ(vtr_timer_restart(p, &base, &delay), VTR_SUCCESS);
    EXPECT_TRUE(time_equal(vtr_timer_get_expiry(p), at_ms(2100)));
    clock.advance_ms(2100);
    EXPECT_EQ(pass(), "b,p");
    clock.advance_ms(900);
    EXPECT_EQ(pass(), "a"); // p is one-shot now
    EXPECT_EQ(vtr_timer_restart(p, nullptr, nullptr), VTR_INVALIDPARAMETER);

    vtr_timer *t = nullptr;
    vtr_time zero{0, 0};
    vtr_time negative{-1, 500000};
    EXPECT_EQ(vtr_timer_start_oneshot(loop(), on_timer, nullptr, nullptr, nullptr, &t),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_start_periodic(loop(), on_timer, nullptr, &zero, nullptr, &t),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_start_periodic(loop(), on_timer, nullptr, &negative, nullptr, &t),
              VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_timer_cancel(nullptr), VTR_INVALIDPARAMETER);
}

} // namespace
