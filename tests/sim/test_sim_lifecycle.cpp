// The simulator's lifecycle under misuse from several threads, its quit command, forced
// statuses at their limits, the delay fault and a trace that cannot be written.
#include "client/nyx_bodies.h"
#include "sim/sim.h"
#include "sim/sim_bodies.h"
#include "sim/sim_internal.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::unique_ptr<sbcp2_message> connect(sim_peer &peer) {
    peer.send(1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });
    auto reply = peer.receive();
    while (reply && status_of(reply.get()) == 1 && peer.receive(100)) {
        // the options, state and name events of a taken connect
    }
    return reply;
}

// Stops racing each other, socket commands and a delete: no double join, no success for a
// socket change that never happened, no use of a freed simulator.
TEST(SimLifecycle, StopsCommandsAndDeleteFromSeveralThreads) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        nyxsim *sim = started().release(); // deleted at a chosen moment
        const int pause_us = int(random() % 25000);
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&] {
                for (std::string command : {"socket restart", "socket start", "socket stop"}) {
                    std::string reply;
                    vtr_error e = nyxsim_command(sim, command.c_str(), &reply);
                    if (e == VTR_SUCCESS) {
                        // The answer tells the switches right after the change.
                        const char *now = command == "socket stop" ? " closed" : " open";
                        EXPECT_NE(reply.find(now), std::string::npos) << command << ": " << reply;
                    } else {
                        EXPECT_EQ(e, VTR_INVALIDSTATE) << command << ": " << reply;
                    }
                }
            });
        }
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
                nyxsim_stop(sim);
                EXPECT_FALSE(nyxsim_serving(sim));
            });
        }
        for (std::thread &t : threads) {
            t.join();
        }
        // A delete while a command still waits for the serving thread.
        nyxsim_start(sim);
        std::atomic<bool> returned{false};
        std::thread late([sim, &returned] {
            std::string reply;
            vtr_error e = nyxsim_command(sim, "socket restart", &reply);
            EXPECT_TRUE(e == VTR_SUCCESS || e == VTR_INVALIDSTATE) << reply;
            returned = true;
        });
        // A call that has not begun cannot be waited for: the delete comes once it has.
        while (sim->calls.load() == 0 && !returned.load()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us / 4));
        nyxsim_delete(sim);
        late.join();
    }
}

TEST(SimLifecycle, QuitEndsServingAndStartServesAgain) {
    nyxsim *sim = started().release();
    std::string reply;
    EXPECT_EQ(nyxsim_command(sim, "quit", &reply), VTR_SUCCESS);
    EXPECT_FALSE(nyxsim_serving(sim));
    // A socket command after it gives up at once.
    EXPECT_EQ(nyxsim_command(sim, "socket restart", &reply), VTR_INVALIDSTATE);
    EXPECT_EQ(nyxsim_command(sim, "quit", &reply), VTR_INVALIDSTATE);

    ASSERT_EQ(nyxsim_start(sim), VTR_SUCCESS);
    EXPECT_TRUE(nyxsim_serving(sim));
    sim_peer peer(nyxsim_port(sim));
    EXPECT_EQ(status_of(connect(peer).get()), 1);
    nyxsim_delete(sim);
}

// Also the max-clients refusal of a second client.
TEST(SimLifecycle, ForcedStatusReplacesOnlyASuccess) {
    nyxsim_options options;
    options.max_clients = 1;
    nyxsim *sim = started(options).release();
    sim_peer a(nyxsim_port(sim)), b(nyxsim_port(sim));
    connect(a);
    auto forced = [&](const char *force, uint16_t opcode, const sim_peer::Body &body = {}) {
        EXPECT_EQ(nyxsim_command(sim, force, nullptr), VTR_SUCCESS);
        a.send(opcode, body);
        return status_of(a.receive().get());
    };
    EXPECT_EQ(nyxsim_command(sim, "status 1", nullptr), VTR_SUCCESS);
    EXPECT_EQ(status_of(connect(b).get()), 130);
    EXPECT_EQ(nyxsim_client_count(sim), 1u);

    // An unknown configuration and an unknown opcode stay refused; a forced failure replaces
    // a success.
    nyx_system_state before{}, after{};
    nyxsim_get_state(sim, &before);
    nyx_system_config config = before.config;
    config.channels = 3;
    EXPECT_EQ(forced("status 1", 0x0110,
                     [&](sbcp2_message *m) { nyxsim_encode_system_config(m, &config, nullptr); }),
              0x0101);
    nyxsim_get_state(sim, &after);
    EXPECT_EQ(after.config.channels, before.config.channels);
    EXPECT_EQ(forced("status 1", 0x0200), 49);
    EXPECT_EQ(forced("status 128", 0x0111), 128);
    nyxsim_delete(sim);
}

TEST(SimLifecycle, DelayHoldsRepliesBack) {
    nyxsim *sim = started().release();
    sim_peer peer(nyxsim_port(sim));
    connect(peer);
    std::string reply;
    EXPECT_EQ(nyxsim_command(sim, "delay 120", &reply), VTR_SUCCESS);
    EXPECT_EQ(reply, "delay 120-120 ms");
    EXPECT_EQ(nyxsim_command(sim, "delay 5 x", &reply), VTR_INVALIDPARAMETER);
    const auto sent = Clock::now();
    peer.send(0);
    EXPECT_TRUE(peer.quiet(80));
    EXPECT_EQ(status_of(peer.receive(1000).get()), 1);
    EXPECT_GE(Clock::now() - sent, milliseconds(115));
    EXPECT_EQ(nyxsim_command(sim, "delay off", nullptr), VTR_SUCCESS);
    peer.send(0);
    EXPECT_TRUE(peer.receive(50));
    nyxsim_delete(sim);
}

#ifndef _WIN32
// A standard error that nobody reads does not hold up the service.
TEST(SimLifecycle, StuckTraceReaderDoesNotStallTheService) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    // Fill the pipe, then make the next write block.
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    const std::string chunk(4096, 'x');
    while (write(pipe_fds[1], chunk.data(), chunk.size()) > 0) {
    }
    fcntl(pipe_fds[1], F_SETFL, 0);
    fflush(stderr);
    const int saved = dup(2);
    dup2(pipe_fds[1], 2);

    nyxsim_options options;
    options.verbose = true;
    nyxsim *sim = started(options).release();
    sim_peer peer(nyxsim_port(sim));
    auto reply = connect(peer);
    bool answered = reply != nullptr;
    for (int i = 0; i < 20 && answered; ++i) {
        peer.send(0);
        answered = peer.receive(1000) != nullptr;
    }
    std::string ignored;
    const bool commands = nyxsim_command(sim, "show", &ignored) == VTR_SUCCESS;

    std::thread drain([fd = pipe_fds[0]] {
        char buffer[65536];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    nyxsim_delete(sim); // writes what is left into the pipe
    dup2(saved, 2);
    close(saved);
    close(pipe_fds[1]);
    drain.join();
    close(pipe_fds[0]);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(commands);
}
#endif

} // namespace
