// nyx-sim as a program: a state file, control commands on standard input, end of input and
// signals.
#include "client/nyx_bodies.h"
#include "tests/e2e/process.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace {

using e2e::milliseconds;

TEST(SimProcess, ServesTakesCommandsOutlivesItsInputAndStopsOnSignal) {
    const milliseconds wait(5000);
    e2e::Process p({NYXSIM_EXE, "--port", "0", "--state", NYXSIM_SOURCE_DIR "/example-state.conf"});
    const std::string listening = "listening on 127.0.0.1:";
    std::optional<size_t> at = p.wait_out(listening, 0, wait);
    ASSERT_TRUE(at && p.wait_out("\n", *at, wait));
    sim_peer peer(uint16_t(atoi(p.out().c_str() + *at + listening.size())));
    peer.send(1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(peer.receive());
    }

    // A command that changes the state pushes it to the clients.
    p.write("link up\n");
    auto event = peer.receive();
    nyx_system_state state{};
    ASSERT_TRUE(event && nyx_decode_system_state(event.get(), &state) == VTR_SUCCESS);
    EXPECT_EQ(state.link_up, 1u);
    EXPECT_STREQ(state.domain.domain_name, "venue-north"); // from the state file

    const size_t from = p.out_size();
    p.write("status 130\n");
    ASSERT_TRUE(p.wait_out("130", from, wait));
    peer.send(0x0111);
    auto reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(reply.get()), 130);

    // End of input does not stop it; a signal does.
    p.close_stdin();
    std::this_thread::sleep_for(milliseconds(200));
    peer.send(0);
    reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(reply.get()), 1);
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(wait), 0);
}

TEST(SimProcess, LongCommandLinesAreRefusedAndQuitEnds) {
    const milliseconds wait(5000);
    e2e::Process p({NYXSIM_EXE, "--port", "0"});
    ASSERT_TRUE(p.wait_out("listening on 127.0.0.1:", 0, wait));
    // 16 MiB without a line end would have been held whole; it is read and dropped.
    p.write(std::string(16 << 20, 'x') + "\nlink down\n");
    ASSERT_TRUE(p.wait_err("nyx-sim: command longer than 4096 bytes ignored\n", 0, wait));
    ASSERT_TRUE(p.wait_out("pushed", 0, wait));
    p.write("quit\n");
    EXPECT_EQ(p.wait_exit(wait), 0);
}

} // namespace
