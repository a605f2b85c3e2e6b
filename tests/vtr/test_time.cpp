#include "fake_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <sys/time.h>
#endif

namespace {

#define EXPECT_TIME(t, s, u)                                                                       \
    EXPECT_TRUE(time_equal((t), vtr_time{(s), (u)})) << (t).sec << "." << (t).usec

TEST(Time, Arithmetic) {
    EXPECT_TIME(vtr_time_normalise(vtr_time{1, 2500000}), 3, 500000u);
    // Unnormalised operands whose microseconds would overflow 32 bits.
    EXPECT_TIME(vtr_time_add(vtr_time{0, 4000000000u}, vtr_time{0, 4000000000u}), 8000, 0u);
    EXPECT_TIME(vtr_time_sub(vtr_time{5, 200000}, vtr_time{3, 700000}), 1, 500000u);
    // The borrow is rounded up over the whole microsecond gap.
    EXPECT_TIME(vtr_time_sub(vtr_time{5, 0}, vtr_time{0, 2500000}), 2, 500000u);
    EXPECT_EQ(vtr_time_compare(vtr_time{1, 999999}, vtr_time{2, 0}), -1);
    EXPECT_EQ(vtr_time_compare(vtr_time{2, 5}, vtr_time{2, 5}), 0);
    // Across the 32-bit wrap the later second still compares later.
    EXPECT_EQ(vtr_time_compare(vtr_time{INT32_MIN, 0}, vtr_time{INT32_MAX, 0}), 1);
}

TEST(Time, NowFollowsHookThenSystemClock) {
    vtr_time now{};
    {
        FakeClock clock(vtr_time{42, 7});
        ASSERT_EQ(vtr_time_now(&now), VTR_SUCCESS);
        EXPECT_TIME(now, 42, 7u);
    }
    ASSERT_EQ(vtr_time_now(&now), VTR_SUCCESS);
    auto system_us = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_LT(now.usec, 1000000u);
    EXPECT_NEAR(now.sec + now.usec / 1e6, system_us / 1e6, 2.0);
}

TEST(Time, Sleep) {
    vtr_time negative{-1, 0};
    EXPECT_EQ(vtr_sleep(&negative), VTR_INVALIDPARAMETER);
    vtr_time one_usec{0, 1};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vtr_sleep(&one_usec), VTR_SUCCESS);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1));
    EXPECT_LT(took, std::chrono::milliseconds(500));

#ifndef _WIN32
    // A signal ends the sleep early, as a completion routine does on Windows.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 50000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    vtr_time long_sleep{5, 0};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(vtr_sleep(&long_sleep), VTR_INTERRUPTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    sigaction(SIGALRM, &previous, nullptr);
#endif
}

TEST(Time, TextHasClassicForm) {
    char buffer[VTR_TIME_TEXT_SIZE];
    // Noon UTC on 6 December 2026 is the 5th, 6th or 7th in every time zone.
    vtr_time sixth{1796558400, 0};
    std::string text = vtr_time_text(&sixth, buffer);
    ASSERT_EQ(text.size(), 25u) << text;
    EXPECT_EQ(text.substr(4, 4), "Dec ");
    EXPECT_EQ(text[8], ' ');
    EXPECT_TRUE(text[9] >= '5' && text[9] <= '7') << text;
    EXPECT_EQ(text.substr(19), " 2026\n");

    vtr_time sixteenth{1796558400 + 10 * 86400, 0};
    EXPECT_EQ(std::string(vtr_time_text(&sixteenth, buffer)).substr(8, 2), "16");

    FakeClock clock(sixth); // without a time, the clock's
    EXPECT_EQ(std::string(vtr_time_text(nullptr, buffer)), text);
}

} // namespace
