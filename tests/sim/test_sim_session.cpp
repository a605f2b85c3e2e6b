// The simulator serving on its own thread, driven from test sockets.
#include "client/nyx_bodies.h"
#include "sim/sim.h"
#include "sim/sim_bodies.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

namespace {

using Body = std::function<void(sbcp2_message *)>;

Body config_body(const nyx_system_config &config) {
    return [config](sbcp2_message *m) {
        ASSERT_EQ(nyxsim_encode_system_config(m, &config, nullptr), VTR_SUCCESS);
    };
}

// Sends a request and checks the reply's opcode, seqnum and status.
std::unique_ptr<sbcp2_message> request(sim_peer &peer, uint16_t opcode, uint16_t status,
                                       const Body &body = {}) {
    uint16_t seq = peer.send(opcode, body);
    auto reply = peer.receive();
    EXPECT_TRUE(reply) << opcode;
    if (reply) {
        EXPECT_EQ(opcode_of(reply.get()), opcode);
        EXPECT_EQ(seqnum_of(reply.get()), seq);
        EXPECT_EQ(status_of(reply.get()), status);
    }
    return reply;
}

std::unique_ptr<sbcp2_message> expect_event(sim_peer &peer, uint16_t opcode) {
    auto event = peer.receive();
    EXPECT_TRUE(event) << opcode;
    if (event) {
        EXPECT_EQ(opcode_of(event.get()), opcode);
        EXPECT_EQ(status_of(event.get()), 2);
    }
    return event;
}

nyx_system_state state_of(const std::unique_ptr<sbcp2_message> &m) {
    nyx_system_state state{};
    if (m) {
        EXPECT_EQ(nyx_decode_system_state(m.get(), &state), VTR_SUCCESS);
    }
    return state;
}

// Connects and takes the reply and the three events, numbered from 1.
void connect(sim_peer &peer) {
    request(peer, 1, 1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });
    uint16_t seq = 0;
    for (uint16_t opcode : {0x0100, 0x0102, 0x0103}) {
        auto event = expect_event(peer, opcode);
        ASSERT_TRUE(event);
        EXPECT_EQ(seqnum_of(event.get()), ++seq);
    }
}

class SimSession : public ::testing::Test {
  protected:
    nyxsim *sim = nullptr;
    uint16_t port = 0;

    void start(nyxsim_options options = {}) {
        options.port = 0;
        ASSERT_EQ(nyxsim_new(&options, &sim), VTR_SUCCESS);
        ASSERT_EQ(nyxsim_start(sim), VTR_SUCCESS);
        port = nyxsim_port(sim);
        ASSERT_NE(port, 0);
    }
    void TearDown() override { nyxsim_delete(sim); }

    std::string command(const char *line) {
        std::string reply;
        EXPECT_EQ(nyxsim_command(sim, line, &reply), VTR_SUCCESS) << line << ": " << reply;
        return reply;
    }
    nyx_system_config current_config() {
        nyx_system_state state;
        nyxsim_get_state(sim, &state);
        return state.config;
    }
};

TEST_F(SimSession, ConnectRequestsAndDisconnect) {
    start();
    sim_peer a(port), b(port);
    a.seqnum = 40;
    auto reply = request(a, 1, 1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });
    ASSERT_TRUE(reply);
    nyx_server_version version{};
    ASSERT_EQ(nyx_decode_server_version(reply.get(), &version), VTR_SUCCESS);
    EXPECT_EQ(version.build, 37);
    sbcp2_id id{};
    sbcp2_message_get_id(sbcp2_message_head(reply.get()), &id);
    EXPECT_EQ(id.port, port);
    EXPECT_EQ(sbcp2_message_get_version(sbcp2_message_head(reply.get())), 0x1400);
    expect_event(a, 0x0100);
    nyx_system_state expected, state = state_of(expect_event(a, 0x0102));
    nyxsim_get_state(sim, &expected);
    EXPECT_TRUE(nyx_system_state_equal(&state, &expected));
    EXPECT_EQ(seqnum_of(expect_event(a, 0x0103).get()), 3);
    connect(b);
    EXPECT_EQ(size_of(request(a, 0, 1).get()), 20); // keepalive
    EXPECT_TRUE(a.quiet(50));

    // Taken: the reply carries the new state, and the others hear of it.
    nyx_system_config config = current_config();
    config.channels = 16;
    EXPECT_EQ(state_of(request(a, 0x0110, 1, config_body(config))).config.channels, 16);
    EXPECT_EQ(state_of(expect_event(b, 0x0102)).config.channels, 16);
    EXPECT_TRUE(a.quiet(100));
    // Not among the options, or no body: refused with the current state; nobody else hears.
    config.channels = 3;
    EXPECT_EQ(state_of(request(a, 0x0110, 0x0101, config_body(config))).config.channels, 16);
    ASSERT_TRUE(nyxsim_last_config(sim, &config));
    EXPECT_EQ(config.channels, 3);
    request(a, 0x0110, 0x0101);
    EXPECT_TRUE(b.quiet(100));
    // Started, then a change the running soundcard refuses.
    config = current_config();
    config.want_to_run = 1;
    EXPECT_EQ(state_of(request(a, 0x0110, 1, config_body(config))).system_error, 0x0001);
    expect_event(b, 0x0102);
    config.channels = 32;
    EXPECT_EQ(state_of(request(a, 0x0110, 0x0102, config_body(config))).config.channels, 16);

    // CLEAR_SYSTEM_ERROR: back to running; the others hear of it.
    command("error 0x0301");
    expect_event(a, 0x0102);
    expect_event(b, 0x0102);
    EXPECT_EQ(state_of(request(a, 0x0111, 1)).system_error, 0x0001);
    expect_event(b, 0x0102);
    // Clearing the domain credentials: an empty reply, then the state to everyone.
    command("domain venue locked");
    expect_event(a, 0x0102);
    expect_event(b, 0x0102);
    EXPECT_EQ(size_of(request(a, 0x0113, 1).get()), 20);
    EXPECT_EQ(state_of(expect_event(a, 0x0102)).domain.enrolled, 0u);
    EXPECT_EQ(state_of(expect_event(b, 0x0102)).domain.enrolled, 0u);

    // An unknown opcode; replies and events sent to the manager are not answered.
    request(a, 0x0200, 49);
    a.send(0x0110, {}, 1);
    a.send(0x0102, {}, 2);
    EXPECT_TRUE(a.quiet(100));

    // After a disconnect the peer is a stranger; a fresh connection numbers its events anew.
    request(a, 2, 1);
    EXPECT_EQ(nyxsim_client_count(sim), 1u);
    request(a, 0, 129);
    connect(a);
    EXPECT_EQ(nyxsim_client_count(sim), 2u);
}

TEST_F(SimSession, StrangersSurplusAndSilentClientsAreRefused) {
    nyxsim_options options;
    options.max_clients = 2;
    options.client_timeout_ms = 300;
    start(options);
    sim_peer a(port), b(port), c(port);
    for (uint16_t opcode : {0, 0x0110, 2}) {
        request(c, opcode, 129);
    }
    connect(a);
    connect(b);
    EXPECT_EQ(size_of(request(c, 1, 130).get()), 20);
    EXPECT_TRUE(c.quiet(100));
    connect(a); // a known client may connect again when full
    EXPECT_EQ(nyxsim_client_count(sim), 2u);

    // One that stays silent is forgotten, which makes room.
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        request(a, 0, 1);
    }
    EXPECT_EQ(nyxsim_client_count(sim), 1u);
    request(b, 0, 129);
    connect(c);
}

TEST_F(SimSession, MalformedDatagramsAreIgnored) {
    start();
    sim_peer a(port);
    connect(a);
    const uint8_t head[20] = {0x14, 0, 0, 30, 0, 1, 0, 0, 0, 0};
    a.send_raw(head, 0);
    a.send_raw(head, 10);
    a.send_raw(head, 20); // size field says 30
    std::vector<uint8_t> big(1500, 0);
    big[3] = 0xdc;
    a.send_raw(big.data(), big.size());
    big[3] = 20; // size field 20 of 40
    a.send_raw(big.data(), 40);
    EXPECT_TRUE(a.quiet(100));

    request(a, 0, 1);
}

TEST_F(SimSession, ControlCommands) {
    start();
    sim_peer a(port);
    connect(a);
    command("notconnected on");
    request(a, 0, 129);
    command("notconnected off");

    // A forced status applies to the next request once, and nothing is applied with it.
    nyx_system_config config = current_config();
    config.channels = 32;
    command("status 0x0103");
    request(a, 0x0110, 0x0103, config_body(config));
    EXPECT_EQ(current_config().channels, 8);
    request(a, 0x0110, 1, config_body(config));
    EXPECT_EQ(command("set channels = 32"), "nothing changed");

    command("dup 100");
    request(a, 0, 1);
    auto again = a.receive();
    ASSERT_TRUE(again);
    EXPECT_EQ(seqnum_of(again.get()), a.seqnum);
    command("dup 0");
    command("drop 100");
    a.send(0);
    EXPECT_TRUE(a.quiet());
    command("drop 0");

    command("socket restart");
    EXPECT_EQ(nyxsim_port(sim), port);
    EXPECT_EQ(nyxsim_client_count(sim), 0u);
    request(a, 0, 129);

    std::string reply;
    EXPECT_EQ(nyxsim_command(sim, "bogus", &reply), VTR_NOTFOUND);
    for (const char *bad : {"link sideways", "drop 101", "status", "silent maybe", "domain",
                            "domain x sometimes", "set channels 8", "socket"}) {
        EXPECT_EQ(nyxsim_command(sim, bad, &reply), VTR_INVALIDPARAMETER) << bad;
        EXPECT_EQ(reply.rfind("usage:", 0), 0u) << bad;
    }
    EXPECT_NE(nyxsim_command(sim, "set channels = lots", &reply), VTR_SUCCESS);
    EXPECT_TRUE(a.quiet(50));
}

} // namespace
