// The simulator serving on its own thread, driven from test sockets.
#include "client/nyx_bodies.h"
#include "sim/sim.h"
#include "sim/sim_bodies.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

namespace {

using Body = sim_peer::Body;

Body config_body(const nyx_system_config &config) {
    return [config](sbcp2_message *m) { nyxsim_encode_system_config(m, &config, nullptr); };
}
const Body connect_body = [](sbcp2_message *m) { nyx_encode_connect(m, 3); };

// Sends a request (an event when `status` is 2) and checks the answer's opcode, seqnum
// and status.
std::unique_ptr<sbcp2_message> expect(sim_peer &peer, uint16_t opcode, uint16_t status,
                                      const Body &body = {}) {
    uint16_t seq = status == 2 ? 0 : peer.send(opcode, body);
    auto m = peer.receive();
    EXPECT_EQ(opcode_of(m.get()), opcode);
    EXPECT_EQ(status_of(m.get()), status) << opcode;
    EXPECT_TRUE(status == 2 || seqnum_of(m.get()) == seq);
    return m;
}

nyx_system_state state_of(const std::unique_ptr<sbcp2_message> &m) {
    nyx_system_state state{};
    EXPECT_TRUE(m && nyx_decode_system_state(m.get(), &state) == VTR_SUCCESS);
    return state;
}

// Connects and takes the reply and the options, state and name events, numbered from 1.
std::unique_ptr<sbcp2_message> connect(sim_peer &peer) {
    auto reply = expect(peer, 1, 1, connect_body);
    uint16_t seq = 0;
    for (uint16_t opcode : {0x0100, 0x0102, 0x0103}) {
        auto event = expect(peer, opcode, 2);
        EXPECT_EQ(event ? seqnum_of(event.get()) : 0, ++seq);
    }
    return reply;
}

TEST(SimSession, ConnectRequestsAndDisconnect) {
    Sim sim = started();
    const uint16_t port = nyxsim_port(sim.get());
    sim_peer a(port), b(port);
    a.seqnum = 40;
    auto reply = connect(a);
    nyx_server_version version{};
    ASSERT_TRUE(reply && nyx_decode_server_version(reply.get(), &version) == VTR_SUCCESS);
    EXPECT_EQ(version.build, 37);
    connect(b);
    EXPECT_EQ(size_of(expect(a, 0, 1).get()), 20); // keepalive
    EXPECT_TRUE(a.quiet(50));

    // Taken: the reply carries the new state, and the others hear of it.
    nyx_system_state state;
    nyxsim_get_state(sim.get(), &state);
    nyx_system_config config = state.config;
    config.channels = 16;
    EXPECT_EQ(state_of(expect(a, 0x0110, 1, config_body(config))).config.channels, 16);
    EXPECT_EQ(state_of(expect(b, 0x0102, 2)).config.channels, 16);
    EXPECT_TRUE(a.quiet(100));
    // Not among the options, or no body: refused with the current state; nobody else hears.
    config.channels = 3;
    EXPECT_EQ(state_of(expect(a, 0x0110, 0x0101, config_body(config))).config.channels, 16);
    expect(a, 0x0110, 0x0101);
    EXPECT_TRUE(b.quiet(100));
    // An unknown opcode; replies and events sent to the manager are not answered.
    expect(a, 0x0200, 49);
    a.send(0x0110, {}, 1);
    a.send(0x0102, {}, 2);
    EXPECT_TRUE(a.quiet(100));

    // After a disconnect the peer is a stranger; a fresh connection numbers its events anew.
    expect(a, 2, 1);
    EXPECT_EQ(nyxsim_client_count(sim.get()), 1u);
    expect(a, 0, 129);
    connect(a);
    EXPECT_EQ(nyxsim_client_count(sim.get()), 2u);
}

TEST(SimSession, StrangersSurplusSilentAndMalformed) {
    nyxsim_options options;
    options.max_clients = 2;
    options.client_timeout_ms = 400;
    Sim sim = started(options);
    const uint16_t port = nyxsim_port(sim.get());
    sim_peer a(port), b(port), c(port);
    for (uint16_t opcode : {0, 0x0110, 2})
        expect(c, opcode, 129);
    connect(a);
    connect(b);
    EXPECT_EQ(size_of(expect(c, 1, 130, connect_body).get()), 20);
    EXPECT_TRUE(c.quiet(100));
    connect(a); // a known client may connect again when full
    EXPECT_EQ(nyxsim_client_count(sim.get()), 2u);

    // Short, cut, oversized or inconsistent datagrams are ignored.
    const uint8_t head[20] = {0x14, 0, 0, 30, 0, 1, 0, 0, 0, 0};
    std::vector<uint8_t> big(1500, 0);
    big[3] = 0xdc;
    for (auto [data, size] : {std::pair<const uint8_t *, size_t>{head, 0},
                              {head, 10},
                              {head, 20},
                              {big.data(), big.size()}})
        a.send_raw(data, size);
    big[3] = 20;
    a.send_raw(big.data(), 40); // size field 20 of 40
    EXPECT_TRUE(a.quiet(100));

    // One that stays silent is forgotten, which makes room.
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        expect(a, 0, 1);
    }
    EXPECT_EQ(nyxsim_client_count(sim.get()), 1u);
    expect(b, 0, 129);
    connect(c);
}

} // namespace
