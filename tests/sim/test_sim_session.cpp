// The simulator serving on its own thread, driven from test sockets.
#include "client/nyx_bodies.h"
#include "sim/sim.h"
#include "sim/sim_bodies.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <random>

namespace {

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

    // Connects and takes the reply and the three events.
    void connect(sim_peer &peer) {
        peer.send(1, [](sbcp2_message *m) {
            sbcp2_u16_array root{};
            sbcp2_message_reserve_u16_array(m, 1, &root);
            sbcp2_u16_array_set(&root, 0, 3);
        });
        auto reply = peer.receive();
        ASSERT_TRUE(reply);
        ASSERT_EQ(status_of(reply.get()), 1);
        for (uint16_t opcode : {0x0100, 0x0102, 0x0103}) {
            auto event = peer.receive();
            ASSERT_TRUE(event);
            ASSERT_EQ(opcode_of(event.get()), opcode);
        }
    }

    static uint16_t send_config(sim_peer &peer, const nyx_system_config &config) {
        return peer.send(0x0110, [&](sbcp2_message *m) {
            ASSERT_EQ(nyxsim_encode_system_config(m, &config, nullptr), VTR_SUCCESS);
        });
    }

    nyx_system_config current_config() {
        nyx_system_state state;
        nyxsim_get_state(sim, &state);
        return state.config;
    }

    static nyx_system_state state_of(const sbcp2_message *m) {
        nyx_system_state state{};
        EXPECT_EQ(nyx_decode_system_state(m, &state), VTR_SUCCESS);
        return state;
    }

    // The reply to a request with seqnum `seq`: opcode, status and seqnum checked.
    static std::unique_ptr<sbcp2_message> expect_reply(sim_peer &peer, uint16_t opcode,
                                                       uint16_t seq, uint16_t status) {
        auto reply = peer.receive();
        EXPECT_TRUE(reply);
        if (!reply)
            return reply;
        EXPECT_EQ(opcode_of(reply.get()), opcode);
        EXPECT_EQ(seqnum_of(reply.get()), seq);
        EXPECT_EQ(status_of(reply.get()), status);
        return reply;
    }

    static std::unique_ptr<sbcp2_message> expect_event(sim_peer &peer, uint16_t opcode) {
        auto event = peer.receive();
        EXPECT_TRUE(event);
        if (event) {
            EXPECT_EQ(opcode_of(event.get()), opcode);
            EXPECT_EQ(status_of(event.get()), 2);
        }
        return event;
    }
};

TEST_F(SimSession, ConnectKeepaliveDisconnect) {
    start();
    sim_peer peer(port);
    peer.seqnum = 40;
    uint16_t seq = peer.send(1, [](sbcp2_message *m) { nyx_encode_connect(m, 3); });

    auto reply = expect_reply(peer, 1, seq, 1);
    ASSERT_TRUE(reply);
    nyx_server_version version{};
    ASSERT_EQ(nyx_decode_server_version(reply.get(), &version), VTR_SUCCESS);
    EXPECT_EQ(version.major, 4);
    EXPECT_EQ(version.build, 37);
    sbcp2_id id{};
    sbcp2_message_get_id(sbcp2_message_head(reply.get()), &id);
    EXPECT_EQ(id.port, port);
    EXPECT_EQ(sbcp2_message_get_version(sbcp2_message_head(reply.get())), 0x1400);

    auto options_event = expect_event(peer, 0x0100);
    auto state_event = expect_event(peer, 0x0102);
    auto name_event = expect_event(peer, 0x0103);
    ASSERT_TRUE(options_event && state_event && name_event);
    EXPECT_EQ(seqnum_of(options_event.get()), 1);
    EXPECT_EQ(seqnum_of(name_event.get()), 3);
    nyx_system_options options{}, expected_options{};
    ASSERT_EQ(nyx_decode_system_options(options_event.get(), &options), VTR_SUCCESS);
    nyxsim_get_options(sim, &expected_options);
    EXPECT_TRUE(nyx_system_options_equal(&options, &expected_options));
    nyx_system_state state = state_of(state_event.get()), expected_state;
    nyxsim_get_state(sim, &expected_state);
    EXPECT_TRUE(nyx_system_state_equal(&state, &expected_state));
    nyx_name name{};
    ASSERT_EQ(nyx_decode_name(name_event.get(), &name), VTR_SUCCESS);
    EXPECT_STREQ(name.name, "Studio-PC-Nyx");
    EXPECT_EQ(nyxsim_client_count(sim), 1u);

    seq = peer.send(0);
    reply = expect_reply(peer, 0, seq, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(size_of(reply.get()), 20);
    EXPECT_TRUE(peer.quiet(50));

    seq = peer.send(2);
    expect_reply(peer, 2, seq, 1);
    EXPECT_EQ(nyxsim_client_count(sim), 0u);
    seq = peer.send(0);
    expect_reply(peer, 0, seq, 129);
    EXPECT_EQ(nyxsim_received_count(sim, 0), 2u);
    EXPECT_EQ(nyxsim_received_count(sim, 1), 1u);

    // A fresh connection numbers its events from 1 again.
    connect(peer);
    EXPECT_EQ(nyxsim_client_count(sim), 1u);
}

TEST_F(SimSession, SetConfigAndPlainRequests) {
    start();
    sim_peer a(port), b(port);
    connect(a);
    connect(b);

    nyx_system_config config = current_config();
    config.channels = 16;
    uint16_t seq = send_config(a, config);
    auto reply = expect_reply(a, 0x0110, seq, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(state_of(reply.get()).config.channels, 16);
    EXPECT_EQ(current_config().channels, 16);
    auto event = expect_event(b, 0x0102);
    ASSERT_TRUE(event);
    EXPECT_EQ(state_of(event.get()).config.channels, 16);
    EXPECT_TRUE(a.quiet(100));

    // Not among the options: refused with the current state; nobody else hears of it.
    config.channels = 3;
    seq = send_config(a, config);
    reply = expect_reply(a, 0x0110, seq, 0x0101);
    ASSERT_TRUE(reply);
    EXPECT_EQ(state_of(reply.get()).config.channels, 16);
    nyx_system_config last{};
    ASSERT_TRUE(nyxsim_last_config(sim, &last));
    EXPECT_EQ(last.channels, 3);
    EXPECT_TRUE(b.quiet(100));

    // Started, then a change the running soundcard refuses, then one it takes.
    config = current_config();
    config.want_to_run = 1;
    seq = send_config(a, config);
    reply = expect_reply(a, 0x0110, seq, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(state_of(reply.get()).system_error, 0x0001);
    expect_event(b, 0x0102);
    config.channels = 32;
    seq = send_config(a, config);
    reply = expect_reply(a, 0x0110, seq, 0x0102);
    ASSERT_TRUE(reply);
    EXPECT_EQ(state_of(reply.get()).config.channels, 16);
    config.channels = 16;
    config.asio.asio_buffer_size = 512;
    seq = send_config(a, config);
    expect_reply(a, 0x0110, seq, 1);
    expect_event(b, 0x0102);
    EXPECT_EQ(current_config().asio.asio_buffer_size, 512u);

    // Malformed bodies.
    seq = a.send(0x0110, [](sbcp2_message *m) {
        const uint8_t root_of_8_without_slots[4] = {0x00, 0x08, 0x00, 0x00};
        sbcp2_message_append_bytes(m, 4, root_of_8_without_slots, nullptr);
    });
    reply = expect_reply(a, 0x0110, seq, 0x0101);
    ASSERT_TRUE(reply);
    EXPECT_EQ(state_of(reply.get()).config.asio.asio_buffer_size, 512u);
    seq = a.send(0x0110);
    expect_reply(a, 0x0110, seq, 0x0101);

    // CLEAR_SYSTEM_ERROR: back to running; the others hear of it.
    command("error 0x0301");
    expect_event(a, 0x0102);
    expect_event(b, 0x0102);
    seq = a.send(0x0111);
    reply = expect_reply(a, 0x0111, seq, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(state_of(reply.get()).system_error, 0x0001);
    expect_event(b, 0x0102);

    // Clearing the domain credentials: an empty reply, then the state to everyone.
    command("domain venue locked");
    expect_event(a, 0x0102);
    expect_event(b, 0x0102);
    seq = a.send(0x0113);
    reply = expect_reply(a, 0x0113, seq, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(size_of(reply.get()), 20);
    for (sim_peer *p : {&a, &b}) {
        event = expect_event(*p, 0x0102);
        ASSERT_TRUE(event);
        EXPECT_EQ(state_of(event.get()).domain.enrolled, 0u);
    }

    seq = a.send(0x0200);
    reply = expect_reply(a, 0x0200, seq, 49);
    ASSERT_TRUE(reply);
    EXPECT_EQ(size_of(reply.get()), 20);
    // Replies and events sent to the manager are not answered.
    a.send(0x0110, {}, 1);
    a.send(0x0102, {}, 2);
    EXPECT_TRUE(a.quiet(100));
}

TEST_F(SimSession, StrangersAndSurplusClientsAreRefused) {
    nyxsim_options options;
    options.max_clients = 2;
    start(options);
    sim_peer a(port), b(port), c(port);

    uint16_t seq = c.send(0);
    expect_reply(c, 0, seq, 129);
    seq = c.send(0x0110);
    expect_reply(c, 0x0110, seq, 129);
    seq = c.send(2);
    expect_reply(c, 2, seq, 129);

    connect(a);
    connect(b);
    seq = c.send(1);
    auto reply = expect_reply(c, 1, seq, 130);
    ASSERT_TRUE(reply);
    EXPECT_EQ(size_of(reply.get()), 20);
    EXPECT_TRUE(c.quiet(100));
    EXPECT_EQ(nyxsim_client_count(sim), 2u);

    connect(a); // a known client may connect again when full
    EXPECT_EQ(nyxsim_client_count(sim), 2u);
    b.send(2);
    ASSERT_TRUE(b.receive());
    connect(c);
    EXPECT_EQ(nyxsim_client_count(sim), 2u);
}

TEST_F(SimSession, MalformedDatagramsAreIgnored) {
    start();
    sim_peer a(port), stranger(port);
    connect(a);

    const uint8_t head[20] = {0x14, 0, 0, 30, 0, 1, 0, 0, 0, 0};
    a.send_raw(head, 0);
    a.send_raw(head, 10);
    a.send_raw(head, 20); // size field says 30
    std::vector<uint8_t> big(1500, 0);
    big[3] = 0xdc;
    a.send_raw(big.data(), big.size());
    std::vector<uint8_t> longer(40, 0);
    longer[3] = 20; // size field 20 of 40
    a.send_raw(longer.data(), longer.size());
    EXPECT_TRUE(a.quiet(100));

    // Random SET_CONFIG bodies from a client, random headers from a stranger.
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        a.send(0x0110, [&](sbcp2_message *m) {
            size_t n = random() % 200 & ~size_t(1);
            std::vector<uint8_t> body(n);
            for (auto &v : body)
                v = uint8_t(random() % 4 == 0 ? random() % 200 : random() % 3);
            sbcp2_message_append_bytes(m, uint16_t(n), body.data(), nullptr);
        });
        std::vector<uint8_t> d(20 + random() % 60);
        for (auto &v : d)
            v = uint8_t(random());
        d[2] = uint8_t(d.size() >> 8);
        d[3] = uint8_t(d.size());
        d[8] = 0;
        d[9] = 0;
        stranger.send_raw(d.data(), d.size());
        if (i % 20 == 0) {
            while (a.receive(5)) {
            }
            while (stranger.receive(5)) {
            }
        }
    }
    while (a.receive(100)) {
    }
    uint16_t seq = a.send(0);
    expect_reply(a, 0, seq, 1);
    EXPECT_GT(nyxsim_received_count(sim, 0x0110), 200u);
}

TEST_F(SimSession, SilentClientsAreForgotten) {
    nyxsim_options options;
    options.client_timeout_ms = 300;
    start(options);
    sim_peer talker(port), sleeper(port);
    connect(talker);
    connect(sleeper);
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint16_t seq = talker.send(0);
        expect_reply(talker, 0, seq, 1);
    }
    EXPECT_EQ(nyxsim_client_count(sim), 1u);
    uint16_t seq = sleeper.send(0);
    expect_reply(sleeper, 0, seq, 129);
}

TEST_F(SimSession, ControlCommands) {
    start();
    sim_peer a(port);
    connect(a);

    EXPECT_NE(command("link down").find("pushed state"), std::string::npos);
    auto event = expect_event(a, 0x0102);
    ASSERT_TRUE(event);
    EXPECT_EQ(state_of(event.get()).link_up, 0u);
    command("name B\xc3\xbchne 1");
    event = expect_event(a, 0x0102);
    ASSERT_TRUE(event);
    EXPECT_STREQ(state_of(event.get()).device_name, "B\xc3\xbchne 1");
    expect_event(a, 0x0103);
    command("set channels = 16");
    expect_event(a, 0x0102);
    EXPECT_EQ(command("set channels = 16"), "nothing changed");
    command("set sample_formats = 24");
    expect_event(a, 0x0100);
    command("push all");
    for (uint16_t opcode : {0x0100, 0x0102, 0x0103})
        expect_event(a, opcode);

    command("silent on");
    a.send(0);
    command("link up 100");
    EXPECT_TRUE(a.quiet());
    command("silent off");
    uint16_t seq = a.send(0);
    expect_reply(a, 0, seq, 1);

    command("notconnected on");
    seq = a.send(0);
    expect_reply(a, 0, seq, 129);
    command("notconnected off");

    command("noreply on");
    seq = a.send(0);
    expect_reply(a, 0, seq, 1);
    nyx_system_config config = current_config();
    config.channels = 32;
    send_config(a, config);
    EXPECT_TRUE(a.quiet());
    command("noreply off");

    // A forced status applies to the next request once, and nothing is applied with it.
    command("status 0x0103");
    seq = a.send(0);
    expect_reply(a, 0, seq, 1);
    seq = send_config(a, config);
    expect_reply(a, 0x0110, seq, 0x0103);
    EXPECT_EQ(current_config().channels, 16);
    seq = send_config(a, config);
    expect_reply(a, 0x0110, seq, 1);
    EXPECT_EQ(current_config().channels, 32);

    command("dup 100");
    seq = a.send(0);
    expect_reply(a, 0, seq, 1);
    expect_reply(a, 0, seq, 1);
    command("dup 0");
    command("drop 100");
    a.send(0);
    EXPECT_TRUE(a.quiet());
    command("drop 0");

    command("socket restart");
    EXPECT_EQ(nyxsim_port(sim), port);
    EXPECT_EQ(nyxsim_client_count(sim), 0u);
    seq = a.send(0);
    expect_reply(a, 0, seq, 129);
    command("socket stop");
    a.send(0);
    EXPECT_TRUE(a.quiet());
    command("socket start");
    connect(a);

    std::string reply;
    EXPECT_EQ(nyxsim_command(sim, "bogus", &reply), VTR_NOTFOUND);
    for (const char *bad : {"link sideways", "drop 101", "status", "silent maybe", "domain",
                            "domain x sometimes", "set channels 8", "socket"}) {
        EXPECT_EQ(nyxsim_command(sim, bad, &reply), VTR_INVALIDPARAMETER) << bad;
        EXPECT_EQ(reply.rfind("usage:", 0), 0u) << bad;
    }
    EXPECT_NE(nyxsim_command(sim, "set channels = lots", &reply), VTR_SUCCESS);
    EXPECT_NE(nyxsim_command(sim, "address 1.2.3", &reply), VTR_SUCCESS);
    EXPECT_TRUE(a.quiet(50));
    EXPECT_EQ(nyxsim_command(sim, nullptr, &reply), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyxsim_command(sim, "", &reply), VTR_SUCCESS);
    EXPECT_NE(command("help").find("notconnected"), std::string::npos);
    EXPECT_NE(command("show").find("link_speed = 100\n"), std::string::npos);
}

TEST(SimLifecycle, StartStopAndFiles) {
    nyxsim_options options;
    options.port = 0;
    nyxsim *sim = nullptr;
    ASSERT_EQ(nyxsim_new(&options, &sim), VTR_SUCCESS);
    std::string reply;
    // Commands work before it serves; only the socket needs a running simulator.
    EXPECT_EQ(nyxsim_command(sim, "link down", &reply), VTR_SUCCESS);
    EXPECT_EQ(nyxsim_command(sim, "socket stop", &reply), VTR_INVALIDSTATE);
    EXPECT_EQ(nyxsim_load_file(sim, "/nonexistent/state.conf", &reply), VTR_NOTFOUND);
    EXPECT_NE(reply.find("/nonexistent/state.conf"), std::string::npos);
    ASSERT_EQ(nyxsim_load_file(sim, NYXSIM_SOURCE_DIR "/example-state.conf", &reply), VTR_SUCCESS)
        << reply;
    nyx_system_state state;
    nyxsim_get_state(sim, &state);
    EXPECT_STREQ(state.domain.domain_name, "venue-north");

    ASSERT_EQ(nyxsim_start(sim), VTR_SUCCESS);
    EXPECT_EQ(nyxsim_start(sim), VTR_INVALIDSTATE);
    uint16_t port = nyxsim_port(sim);

    // A second simulator cannot take the same port.
    options.port = port;
    nyxsim *other = nullptr;
    ASSERT_EQ(nyxsim_new(&options, &other), VTR_SUCCESS);
    EXPECT_NE(nyxsim_start(other), VTR_SUCCESS);
    nyxsim_delete(other);

    nyxsim_stop(sim);
    nyxsim_stop(sim);
    ASSERT_EQ(nyxsim_start(sim), VTR_SUCCESS);
    sim_peer peer(nyxsim_port(sim));
    peer.send(1);
    auto reply_msg = peer.receive();
    ASSERT_TRUE(reply_msg);
    EXPECT_EQ(status_of(reply_msg.get()), 1);
    nyxsim_delete(sim);
    nyxsim_delete(nullptr);
    EXPECT_EQ(nyxsim_new(&options, nullptr), VTR_INVALIDPARAMETER);
}

} // namespace
