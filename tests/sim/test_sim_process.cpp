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

// Starts nyx-sim on a free port and returns that port (0 when it did not come up).
uint16_t start(Process &p) {
    auto at = p.wait_out("listening on 127.0.0.1:", 0, milliseconds(5000));
    if (!at)
        return 0;
    p.wait_out("\n", *at, milliseconds(2000));
    std::string out = p.out();
    return uint16_t(atoi(out.c_str() + *at + strlen("listening on 127.0.0.1:")));
}

TEST(SimProcess, ServesTakesCommandsOutlivesItsInputAndStopsOnSignal) {
    Process p({NYXSIM_EXE, "--port", "0", "-v", "--max-clients=4"});
    ASSERT_TRUE(p.started());
    uint16_t port = start(p);
    ASSERT_NE(port, 0);

    sim_peer peer(port);
    uint16_t seq = peer.send(1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });
    auto reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(seqnum_of(reply.get()), seq);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(peer.receive());

    p.write("link down\n");
    auto event = peer.receive();
    ASSERT_TRUE(event);
    EXPECT_EQ(opcode_of(event.get()), 0x0102);
    nyx_system_state state{};
    ASSERT_EQ(nyx_decode_system_state(event.get(), &state), VTR_SUCCESS);
    EXPECT_EQ(state.link_up, 0u);
    EXPECT_TRUE(p.wait_out("pushed state to 1 client(s)", 0, milliseconds(2000)));

    p.write("bogus\nstatus 130\n");
    EXPECT_TRUE(p.wait_err("unknown command \"bogus\"", 0, milliseconds(2000)));
    ASSERT_TRUE(p.wait_out("next reply gets status 130", 0, milliseconds(2000)));
    seq = peer.send(0x0111);
    reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(reply.get()), 130);

    // The trace names both directions.
    EXPECT_TRUE(p.wait_err("<- 127.0.0.1:", 0, milliseconds(2000)));
    EXPECT_TRUE(
        p.wait_err("CLEAR_SYSTEM_ERROR(0x0111) Too many clients(130) seq=" + std::to_string(seq), 0,
                   milliseconds(2000)));
    EXPECT_TRUE(p.wait_err("state(0x0102) Event(2)", 0, milliseconds(2000)));

    // End of input does not stop it.
    p.close_stdin();
    std::this_thread::sleep_for(milliseconds(200));
    seq = peer.send(0);
    reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(reply.get()), 1);

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(milliseconds(5000)), 0);
}

TEST(SimProcess, QuitCommandAndStateFiles) {
    Process p({NYXSIM_EXE, "--port=0", "--state", NYXSIM_SOURCE_DIR "/example-state.conf"});
    uint16_t port = start(p);
    ASSERT_NE(port, 0);
    p.write("show\n");
    EXPECT_TRUE(p.wait_out("domain_name = venue-north\n", 0, milliseconds(2000)));
    p.write("quit\n");
    EXPECT_EQ(p.wait_exit(milliseconds(5000)), 0);

    Process print({NYXSIM_EXE, "--print-state"});
    EXPECT_EQ(print.wait_exit(milliseconds(5000)), 0);
    print.settle(milliseconds(50), milliseconds(1000));
    EXPECT_NE(print.out().find("version = 4.2.1.37\n"), std::string::npos);
    EXPECT_EQ(print.out().find("port "), std::string::npos);

    Process interrupted({NYXSIM_EXE, "--port", "0"});
    ASSERT_NE(start(interrupted), 0);
    interrupted.signal(SIGINT);
    EXPECT_EQ(interrupted.wait_exit(milliseconds(5000)), 0);
}

TEST(SimProcess, BadCommandLinesAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port"},
        {"--port", "70000"},
        {"--port", "-1"},
        {"--port", "8x"},
        {"--max-clients", "lots"},
        {"--client-timeout", "0"},
        {"--frobnicate"},
        {"--state"},
        {std::string(5000, 'x')},
    };
    for (const auto &args : bad) {
        std::vector<std::string> argv = {NYXSIM_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        Process p(argv);
        EXPECT_EQ(p.wait_exit(milliseconds(5000)), 2) << args[0];
        p.settle(milliseconds(50), milliseconds(1000));
        EXPECT_NE(p.err().find("--help"), std::string::npos) << args[0];
    }
    Process missing({NYXSIM_EXE, "--port", "0", "--state", "/nonexistent.conf"});
    EXPECT_EQ(missing.wait_exit(milliseconds(5000)), 1);

    Process help({NYXSIM_EXE, "--help"});
    EXPECT_EQ(help.wait_exit(milliseconds(5000)), 0);
    help.settle(milliseconds(50), milliseconds(1000));
    EXPECT_NE(help.out().find("socket stop|start|restart"), std::string::npos);
}

} // namespace
