// nyx-sim as a program: command line, control commands on standard input, the trace,
// end of input and signals.
#include "client/nyx_bodies.h"
#include "tests/e2e/process.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

using e2e::milliseconds;
using e2e::Process;

const milliseconds kWait(5000);

// Waits for nyx-sim to listen and returns its port (0 when it did not come up).
uint16_t listening_port(Process &p) {
    const std::string text = "listening on 127.0.0.1:";
    std::optional<size_t> at = p.wait_out(text, 0, kWait);
    if (!at || !p.wait_out("\n", *at, kWait)) {
        return 0;
    }
    return uint16_t(atoi(p.out().c_str() + *at + text.size()));
}

TEST(SimProcess, ServesTakesCommandsOutlivesItsInputAndStopsOnSignal) {
    Process p(
        {NYXSIM_EXE, "--port", "0", "-v", "--state", NYXSIM_SOURCE_DIR "/example-state.conf"});
    uint16_t port = listening_port(p);
    ASSERT_NE(port, 0);
    sim_peer peer(port);
    peer.send(1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(peer.receive());
    }

    // A command that changes the state pushes it; its answer goes to standard output.
    p.write("link up\n");
    auto event = peer.receive();
    ASSERT_TRUE(event);
    nyx_system_state state{};
    ASSERT_EQ(nyx_decode_system_state(event.get(), &state), VTR_SUCCESS);
    EXPECT_EQ(state.link_up, 1u);
    EXPECT_STREQ(state.domain.domain_name, "venue-north"); // from the state file
    EXPECT_TRUE(p.wait_out("pushed state to 1 client(s)", 0, kWait));

    p.write("bogus\nstatus 130\n");
    EXPECT_TRUE(p.wait_err("unknown command \"bogus\"", 0, kWait));
    ASSERT_TRUE(p.wait_out("next reply gets status 130", 0, kWait));
    uint16_t seq = peer.send(0x0111);
    auto reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(reply.get()), 130);
    // The trace names both directions.
    EXPECT_TRUE(p.wait_err("<- 127.0.0.1:", 0, kWait));
    EXPECT_TRUE(p.wait_err(
        "CLEAR_SYSTEM_ERROR(0x0111) Too many clients(130) seq=" + std::to_string(seq), 0, kWait));

    // End of input does not stop it; a signal does.
    p.close_stdin();
    std::this_thread::sleep_for(milliseconds(200));
    peer.send(0);
    reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(reply.get()), 1);
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(kWait), 0);

    Process quitting({NYXSIM_EXE, "--port=0"});
    ASSERT_NE(listening_port(quitting), 0);
    quitting.write("quit\n");
    EXPECT_EQ(quitting.wait_exit(kWait), 0);
}

TEST(SimProcess, CommandLines) {
    for (const char *bad :
         {"--port", "--port=70000", "--port=8x", "--client-timeout=0", "--frobnicate", "--state"}) {
        Process p({NYXSIM_EXE, bad});
        EXPECT_EQ(p.wait_exit(kWait), 2) << bad;
        EXPECT_NE(p.err().find("--help"), std::string::npos) << bad;
    }
    Process missing({NYXSIM_EXE, "--port", "0", "--state", "/nonexistent.conf"});
    EXPECT_EQ(missing.wait_exit(kWait), 1);
    Process print({NYXSIM_EXE, "--print-state"});
    EXPECT_EQ(print.wait_exit(kWait), 0);
    EXPECT_NE(print.out().find("version = 4.2.1.37\n"), std::string::npos);
}

} // namespace
