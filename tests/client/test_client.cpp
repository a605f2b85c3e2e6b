// The manager client against a peer socket on 127.0.0.1:8899, with the event loop driven by
// hand and the clock moved by the test.
#include "client/nyx_client.h"
#include "client_test_util.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

vtr_time g_now{1700000000, 0};
const char *const kinds[] = {"request", "connection", "version", "options", "state", "5", "name"};
using Message = std::unique_ptr<sbcp2_message>;

Message state_body(const nyx_system_state &s, uint16_t opcode = NYX_OPCODE_STATE) {
    return encoded(opcode, nyxsim_encode_system_state, s);
}

class ClientTest : public ::testing::Test {
  protected:
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    nyx_client *client = nullptr;
    vtr_socket peer = VTR_SOCKET_INVALID;
    vtr_address client_address{};
    std::unique_ptr<LogCapture> log;
    Message rx = new_message(0);
    std::string changes; // the reports, as "kind/status" with "/error" for a failed result

    void SetUp() override {
        vtr_clock_set_hook([](vtr_time *now) { *now = g_now; });
        vtr_address manager;
        // In order; each step needs the ones before it.
        for (vtr_error step :
             {vtr_platform_init(), vtr_env_new(VTR_ENV_LOGGER | VTR_ENV_EVENT_LOOP, &env),
              vtr_dispatcher_new(env, &dispatcher),
              vtr_address_set_ipv4(&manager, VTR_AF_INET, "127.0.0.1", NYX_MANAGER_PORT),
              vtr_socket_open_udp(&peer, VTR_AF_INET), vtr_socket_bind(peer, &manager),
              vtr_socket_set_blocking(peer, false), nyx_client_new(env, &client)})
            ASSERT_EQ(step, VTR_SUCCESS);
        log = std::make_unique<LogCapture>(env->logger);
        nyx_client_set_context(client, this);
        nyx_client_set_change_fn(client, on_change);
    }
    void TearDown() override {
        nyx_client_delete(client);
        vtr_socket_close(&peer);
        vtr_dispatcher_delete(dispatcher);
        log.reset();
        vtr_env_delete(env);
        vtr_clock_set_hook(nullptr);
    }
    static void on_change(nyx_client *c, uint32_t kind) {
        auto *self = static_cast<ClientTest *>(nyx_client_get_context(c));
        vtr_error result = nyx_client_get_result(c);
        self->changes += std::string(self->changes.empty() ? "" : " ") +
                         (kind < std::size(kinds) ? kinds[kind] : "?") + "/" +
                         std::to_string(nyx_client_get_status(c)) +
                         (result != 0 ? std::string("/") + vtr_error_name(result) : "");
    }
    // Passes of the owner's loop (prepare, a short real wait, process) until done, at most 100.
    bool pump_until(const std::function<bool()> &done) {
        auto sets = std::make_unique<vtr_socket_sets>();
        for (int i = 0; i < 100 && !done(); i++) {
            std::memset(sets.get(), 0, sizeof *sets);
            vtr_time timeout{0, 20000};
            if (vtr_dispatcher_prepare(dispatcher, sets.get(), nullptr) != VTR_SUCCESS ||
                vtr_socket_wait(&sets->kind[0], &sets->kind[1], &timeout) != VTR_SUCCESS ||
                vtr_dispatcher_process(dispatcher, sets.get()) != VTR_SUCCESS)
                return false;
        }
        return done();
    }
    // The next datagram the client sent with this opcode; others are passed over.
    bool peer_recv(uint16_t opcode) {
        const vtr_time tick{0, 5000};
        for (int i = 0; i < 200; i++) {
            size_t length = sizeof rx->buffer;
            if (vtr_socket_recvfrom(peer, rx->buffer, &length, &client_address) != VTR_SUCCESS)
                vtr_sleep(&tick);
            else if (length >= SBCP2_HEAD_SIZE && sbcp2_message_get_opcode(rx->buffer) == opcode)
                return true;
        }
        return false;
    }
    uint16_t rx_seqnum() const { return sbcp2_message_get_seqnum(rx->buffer); }

    void peer_send(Message m, uint16_t status = SBCP2_STATUS_EVENT, uint16_t seqnum = 0) {
        sbcp2_message_set_status(m->buffer, status);
        sbcp2_message_set_seqnum(m->buffer, seqnum);
        size_t length = sbcp2_message_get_size(m->buffer);
        ASSERT_EQ(vtr_socket_sendto(peer, m->buffer, &length, &client_address), VTR_SUCCESS);
    }
    // Replies to the request last received, with a state body or none.
    void reply(uint16_t status, const nyx_system_state *state) {
        const uint16_t opcode = sbcp2_message_get_opcode(rx->buffer);
        peer_send(state ? state_body(*state, opcode) : new_message(opcode), status, rx_seqnum());
        ASSERT_TRUE(pump_until([&] { return !nyx_client_request_in_progress(client); }));
    }
    // Answers the connect message, which carries the socket's port and the body's one slot 3.
    void answer_connect() {
        ASSERT_TRUE(peer_recv(NYX_OPCODE_CONNECT));
        const uint16_t port = vtr_address_port(&client_address);
        // Version 0x1400, size 24, the sequence number, opcode 1, status 0, the port, the id.
        std::vector<uint8_t> expected = from_hex("1400001800000001000000000000000000000000"
                                                 "00010003");
        expected[4] = rx->buffer[4], expected[5] = rx->buffer[5];
        expected[10] = uint8_t(port >> 8), expected[11] = uint8_t(port);
        EXPECT_EQ(std::vector<uint8_t>(rx->buffer, rx->buffer + 24), expected);
        const nyx_server_version version{0x0a0a, 4, 12, 3, 1500, "v-text", 0x0707};
        peer_send(encoded(NYX_OPCODE_CONNECT, nyxsim_encode_server_version, version),
                  SBCP2_STATUS_RESPONSE, rx_seqnum());
        ASSERT_TRUE(pump_until([&] { return nyx_client_has_version(client); }));
    }
    void send_records() {
        peer_send(encoded(NYX_OPCODE_OPTIONS, nyxsim_encode_system_options, make_options()));
        peer_send(state_body(make_state()));
        peer_send(encoded(NYX_OPCODE_NAME, nyxsim_encode_name, nyx_name{"studio"}));
        ASSERT_TRUE(pump_until([&] { return nyx_client_get_name(client) != nullptr; }));
    }
    void bring_up() {
        ASSERT_EQ(nyx_client_start(client), VTR_SUCCESS);
        answer_connect();
        send_records();
        changes.clear();
    }
};

TEST_F(ClientTest, RecordsBecomeKnownFromReplyAndEvents) {
    EXPECT_EQ(nyx_client_get_status(client), NYX_CLIENT_STATUS_NONE);
    nyx_system_config config = make_config();
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);
    ASSERT_EQ(nyx_client_start(client), VTR_SUCCESS);
    answer_connect();
    EXPECT_EQ(rx_seqnum(), 1);
    EXPECT_EQ(changes, "connection/3 version/3");
    EXPECT_EQ(nyx_client_get_version(client)->build, 1500);
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE) << "no options yet";

    changes.clear();
    send_records();
    const nyx_system_options options = make_options();
    const nyx_system_state state = make_state();
    EXPECT_TRUE(nyx_system_options_equal(nyx_client_get_options(client), &options));
    EXPECT_EQ(std::memcmp(nyx_client_get_state(client), &state, sizeof state), 0);
    EXPECT_STREQ(nyx_client_get_name(client)->name, "studio");
    EXPECT_EQ(changes, "options/3 state/3 name/3");

    // The same state is logged again but reports nothing; nor does an unknown opcode, nor a
    // body that cannot be decoded, which leaves the stored record alone.
    changes.clear();
    peer_send(state_body(state));
    peer_send(state_body(state, 0x0105));
    Message bad = encoded(NYX_OPCODE_OPTIONS, nyxsim_encode_system_options, options);
    sbcp2_u16_array root{};
    sbcp2_message_get_u16_array(bad.get(), 0, &root);
    sbcp2_message_body(bad.get())[sbcp2_u16_array_get(&root, 5) + 1] = 3; // 3 ASIO option slots
    peer_send(std::move(bad));
    ASSERT_TRUE(pump_until(
        [&] { return log->has_prefix("nyx_client_on_event: Error reading options: "); }));
    EXPECT_EQ(log->count("nyx_client_on_event: state is:"), 2u);
    EXPECT_EQ(changes, "");
    EXPECT_TRUE(nyx_system_options_equal(nyx_client_get_options(client), &options));

    nyx_system_state changed = state;
    changed.link_up = 0;
    peer_send(state_body(changed));
    ASSERT_TRUE(pump_until([&] { return !changes.empty(); }));
    EXPECT_EQ(changes, "state/3");
    EXPECT_EQ(nyx_client_get_state(client)->link_up, 0u);
}

TEST_F(ClientTest, RequestsAndReplies) {
    bring_up();
    nyx_system_config config = make_config();
    config.channels = 4;
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDDATA);
    config.channels = 16;
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    EXPECT_TRUE(nyx_client_request_in_progress(client));
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_client_send_plain_request(client, 0x0113), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_client_stop(client), VTR_INVALIDSTATE);

    // The datagram carries exactly the encoded configuration.
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    nyx_system_config sent{};
    ASSERT_EQ(nyxsim_decode_system_config(rx.get(), 0, &sent), VTR_SUCCESS);
    EXPECT_EQ(std::memcmp(&sent, &config, sizeof config), 0);

    // Refused, but the state it carries is still taken, before the request completes.
    nyx_system_state refused = make_state();
    refused.system_error = 0x0101;
    reply(NYX_STATUS_INVALID_DATA, &refused);
    EXPECT_EQ(changes, "state/3/INVALIDDATA request/3/INVALIDDATA");
    EXPECT_TRUE(log->has(
        "nyx_client_on_event: SET_CONFIG/CLEAR_SYSTEM_ERROR response status=Invalid Data\n"));
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);

    // A plain request: its reply's body is not read. Nor is an unreadable state kept.
    changes.clear();
    ASSERT_EQ(nyx_client_clear_domain_credentials(client), VTR_SUCCESS);
    const nyx_system_state other = make_state();
    ASSERT_TRUE(peer_recv(NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS));
    reply(SBCP2_STATUS_RESPONSE, &other);
    EXPECT_EQ(sbcp2_message_get_size(rx->buffer), SBCP2_HEAD_SIZE);
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    reply(SBCP2_STATUS_RESPONSE, nullptr);
    EXPECT_EQ(changes, "request/3 request/3");
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);
    EXPECT_TRUE(log->has_prefix("nyx_client_on_event: Error reading state: "));

    // Cancelled: the late reply finds no request and nobody hears of it.
    changes.clear();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    nyx_client_cancel_request(client);
    EXPECT_FALSE(nyx_client_request_in_progress(client));
    reply(SBCP2_STATUS_RESPONSE, &other);
    pump_until([n = 0]() mutable { return ++n > 5; });
    EXPECT_EQ(changes, "");
    EXPECT_EQ(nyx_client_stop(client), VTR_SUCCESS);
    EXPECT_TRUE(peer_recv(SBCP2_OPCODE_DISCONNECT));
}

// Silence is not a reset: the request stays in flight while the records are dropped.
TEST_F(ClientTest, SilenceForgetsRecordsAndReconnects) {
    bring_up();
    nyx_system_config config = make_config();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    g_now.sec += 31;
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 1; }));
    EXPECT_EQ(changes, "version/3 options/3 name/3 state/3 connection/1");
    EXPECT_TRUE(nyx_client_request_in_progress(client));
    EXPECT_EQ(nyx_client_get_state(client), nullptr);

    changes.clear();
    g_now.sec += 3;
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 2; }));
    answer_connect();
    send_records();
    EXPECT_EQ(changes, "connection/2 connection/3 version/3 options/3 state/3 name/3");
    // The unanswered request still blocks the next one until it is cancelled.
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);
    nyx_client_cancel_request(client);
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
}

TEST_F(ClientTest, ResetEndsRequestInFlight) {
#ifdef _WIN32
    GTEST_SKIP() << "no port-unreachable report here";
#endif
    bring_up();
    vtr_socket_close(&peer); // the manager's port is closed now
    nyx_system_config config = make_config();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 1; }));
    EXPECT_EQ(changes, "request/3/CONNRESET version/3/CONNRESET options/3/CONNRESET "
                       "name/3/CONNRESET state/3/CONNRESET connection/1/CONNRESET");
    EXPECT_FALSE(nyx_client_request_in_progress(client));
}

} // namespace
