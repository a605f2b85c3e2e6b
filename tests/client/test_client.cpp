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
void read_clock(vtr_time *now) {
    *now = g_now;
}

struct Change {
    uint32_t kind, status;
    vtr_error result;
    bool operator==(const Change &) const = default;
};
using Changes = std::vector<Change>;
void PrintTo(const Change &c, std::ostream *os) {
    *os << "{kind " << c.kind << ", status " << c.status << ", result " << c.result << "}";
}
using Body = std::function<void(sbcp2_message *)>;

class ClientTest : public ::testing::Test {
  protected:
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    nyx_client *client = nullptr;
    vtr_socket peer = VTR_SOCKET_INVALID;
    vtr_address client_address{};
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<sbcp2_message> rx = std::make_unique<sbcp2_message>();
    Changes changes;

    void SetUp() override {
        ASSERT_EQ(vtr_platform_init(), VTR_SUCCESS);
        vtr_clock_set_hook(read_clock);
        sbcp2_message_init_record(rx.get());
        ASSERT_EQ(vtr_env_new(VTR_ENV_LOGGER | VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
        log = std::make_unique<LogCapture>(env->logger);
        ASSERT_EQ(vtr_dispatcher_new(env, &dispatcher), VTR_SUCCESS);
        vtr_address manager;
        ASSERT_EQ(vtr_address_set_ipv4(&manager, VTR_AF_INET, "127.0.0.1", NYX_MANAGER_PORT),
                  VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_open_udp(&peer, VTR_AF_INET), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_bind(peer, &manager), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_set_blocking(peer, false), VTR_SUCCESS);
        ASSERT_EQ(nyx_client_new(env, &client), VTR_SUCCESS);
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
        self->changes.push_back({kind, nyx_client_get_status(c), nyx_client_get_result(c)});
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
    void pump_idle() {
        pump_until([n = 0]() mutable { return ++n > 5; });
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

    void peer_send(uint16_t opcode, uint16_t status, uint16_t seqnum, const Body &body) {
        auto m = std::make_unique<sbcp2_message>();
        begin_message(m.get(), opcode);
        sbcp2_message_set_status(m->buffer, status);
        sbcp2_message_set_seqnum(m->buffer, seqnum);
        if (body)
            body(m.get());
        size_t length = sbcp2_message_get_size(m->buffer);
        ASSERT_EQ(vtr_socket_sendto(peer, m->buffer, &length, &client_address), VTR_SUCCESS);
    }
    // An event whose body the given builder makes from the arguments.
    template <typename F, typename... A> void event(uint16_t opcode, F build, const A &...args) {
        peer_send(opcode, SBCP2_STATUS_EVENT, 0, [&](sbcp2_message *m) { build(m, args...); });
    }
    // Replies to the client's request, with a state body or none.
    void reply(uint16_t opcode, uint16_t status, const nyx_system_state *state) {
        ASSERT_TRUE(peer_recv(opcode));
        peer_send(opcode, status, rx_seqnum(), [&](sbcp2_message *m) {
            if (state)
                build_state_body(m, *state);
        });
        ASSERT_TRUE(pump_until([&] { return !nyx_client_request_in_progress(client); }));
    }

    // Answers the connect message: version 0x1400, the socket's port, the body's one slot 3.
    void answer_connect() {
        ASSERT_TRUE(peer_recv(NYX_OPCODE_CONNECT));
        const uint16_t port = vtr_address_port(&client_address);
        EXPECT_EQ(sbcp2_message_get_version(rx->buffer), NYX_PROTOCOL_VERSION);
        EXPECT_EQ(std::vector<uint8_t>(rx->buffer + 10, rx->buffer + 24),
                  (std::vector<uint8_t>{uint8_t(port >> 8), uint8_t(port), 0, 0, 0, 0, 0, 0, 0, 0,
                                        0, 1, 0, 3}));
        peer_send(NYX_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE, rx_seqnum(),
                  [](sbcp2_message *m) { build_version_body(m, 4, 12, 3, 1500); });
        ASSERT_TRUE(pump_until([&] { return nyx_client_has_version(client); }));
    }
    // Connected, with options, state and name known.
    void bring_up() {
        ASSERT_EQ(nyx_client_start(client), VTR_SUCCESS);
        answer_connect();
        event(NYX_OPCODE_OPTIONS, build_options_body, make_options());
        event(NYX_OPCODE_STATE, build_state_body, make_state());
        event(NYX_OPCODE_NAME, build_name_body, "studio");
        ASSERT_TRUE(pump_until([&] { return nyx_client_get_name(client) != nullptr; }));
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
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_CONNECTION, 3, 0}, {NYX_CHANGE_VERSION, 3, 0}}));
    const nyx_server_version version{0x0a0a, 4, 12, 3, 1500, "v-text", 0x0707};
    ASSERT_NE(nyx_client_get_version(client), nullptr);
    EXPECT_EQ(std::memcmp(nyx_client_get_version(client), &version, sizeof version), 0);
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE) << "no options yet";

    changes.clear();
    const nyx_system_options options = make_options();
    const nyx_system_state state = make_state();
    event(NYX_OPCODE_OPTIONS, build_options_body, options);
    event(NYX_OPCODE_STATE, build_state_body, state);
    event(NYX_OPCODE_NAME, build_name_body, "studio");
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_name(client) != nullptr; }));
    EXPECT_TRUE(nyx_system_options_equal(nyx_client_get_options(client), &options));
    EXPECT_EQ(std::memcmp(nyx_client_get_state(client), &state, sizeof state), 0);
    EXPECT_STREQ(nyx_client_get_name(client)->name, "studio");
    EXPECT_EQ(
        changes,
        (Changes{{NYX_CHANGE_OPTIONS, 3, 0}, {NYX_CHANGE_STATE, 3, 0}, {NYX_CHANGE_NAME, 3, 0}}));
    EXPECT_TRUE(log->has("nyx_client_on_event: options are:"));
    EXPECT_TRUE(log->has("  Channel Counts (4): 2,8,16,64\n"));
    EXPECT_TRUE(log->has("nyx_client_on_event: name is:"));

    // The same state is logged again but reports nothing; nor does an unknown opcode, nor a
    // body that cannot be decoded, which leaves the stored record alone.
    changes.clear();
    event(NYX_OPCODE_STATE, build_state_body, state);
    event(0x0105, build_state_body, state);
    peer_send(NYX_OPCODE_OPTIONS, 2, 0, [&](sbcp2_message *m) {
        build_options_body(m, options);
        sbcp2_u16_array root{};
        sbcp2_message_get_u16_array(m, 0, &root);
        sbcp2_message_body(m)[sbcp2_u16_array_get(&root, 5) + 1] = 3; // 3 ASIO option slots
    });
    ASSERT_TRUE(pump_until(
        [&] { return log->has_prefix("nyx_client_on_event: Error reading options: "); }));
    EXPECT_EQ(log->count("nyx_client_on_event: state is:"), 2u);
    EXPECT_TRUE(changes.empty());
    EXPECT_TRUE(nyx_system_options_equal(nyx_client_get_options(client), &options));

    nyx_system_state changed = state;
    changed.link_up = 0;
    event(NYX_OPCODE_STATE, build_state_body, changed);
    ASSERT_TRUE(pump_until([&] { return !changes.empty(); }));
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_STATE, 3, 0}}));
    EXPECT_EQ(nyx_client_get_state(client)->link_up, 0u);
}

TEST_F(ClientTest, RequestsAndReplies) {
    bring_up();
    nyx_system_config config = make_config();
    config.channels = 4;
    EXPECT_EQ(nyx_client_set_system_config(client, nullptr), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDDATA);
    EXPECT_FALSE(nyx_client_request_in_progress(client));
    config.channels = 16;
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    EXPECT_TRUE(nyx_client_request_in_progress(client));
    EXPECT_TRUE(
        log->has("nyx_client_set_system_config: Sending SET CONFIG request with config:\n"));
    EXPECT_TRUE(log->has("  Channels: 16\n"));
    EXPECT_TRUE(log->has_prefix("nyx_client_set_system_config: Sent request, request id is "));
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_client_send_plain_request(client, 0x0113), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_client_stop(client), VTR_INVALIDSTATE);

    // The datagram carries exactly the encoded configuration.
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    auto expected = std::make_unique<sbcp2_message>();
    begin_message(expected.get(), NYX_OPCODE_SET_CONFIG);
    ASSERT_EQ(nyx_encode_system_config(expected.get(), &config, nullptr), VTR_SUCCESS);
    const uint16_t size = sbcp2_message_get_size(expected->buffer);
    ASSERT_EQ(sbcp2_message_get_size(rx->buffer), size);
    EXPECT_EQ(std::memcmp(rx->buffer + 20, expected->buffer + 20, size - 20u), 0);

    // Refused, but the state it carries is still taken, before the request completes.
    nyx_system_state refused = make_state();
    refused.system_error = 0x0101;
    peer_send(NYX_OPCODE_SET_CONFIG, NYX_STATUS_INVALID_DATA, rx_seqnum(),
              [&](sbcp2_message *m) { build_state_body(m, refused); });
    ASSERT_TRUE(pump_until([&] { return !nyx_client_request_in_progress(client); }));
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_STATE, 3, VTR_INVALIDDATA},
                                {NYX_CHANGE_REQUEST, 3, VTR_INVALIDDATA}}));
    EXPECT_TRUE(log->has(
        "nyx_client_on_event: SET_CONFIG/CLEAR_SYSTEM_ERROR response status=Invalid Data\n"));
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);

    // A plain request: its reply's body is not read. Nor is an unreadable state kept.
    changes.clear();
    ASSERT_EQ(nyx_client_clear_domain_credentials(client), VTR_SUCCESS);
    EXPECT_TRUE(log->has("nyx_client_send_plain_request: Sending opcode 113 request no config\n"));
    const nyx_system_state other = make_state();
    reply(NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS, SBCP2_STATUS_RESPONSE, &other);
    EXPECT_EQ(sbcp2_message_get_size(rx->buffer), SBCP2_HEAD_SIZE);
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    reply(NYX_OPCODE_SET_CONFIG, SBCP2_STATUS_RESPONSE, nullptr);
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_REQUEST, 3, VTR_SUCCESS},
                                {NYX_CHANGE_REQUEST, 3, VTR_SUCCESS}}));
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);
    EXPECT_EQ(log->count("nyx_client_on_event: SET_CONFIG/CLEAR_SYSTEM_ERROR: state is now:\n"),
              1u);
    EXPECT_TRUE(log->has_prefix("nyx_client_on_event: Error reading state: "));

    // Cancelled: the late reply finds no request and nobody hears of it.
    changes.clear();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    nyx_client_cancel_request(client);
    EXPECT_FALSE(nyx_client_request_in_progress(client));
    peer_send(NYX_OPCODE_SET_CONFIG, SBCP2_STATUS_RESPONSE, rx_seqnum(),
              [&](sbcp2_message *m) { build_state_body(m, other); });
    pump_idle();
    EXPECT_TRUE(changes.empty());
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
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_VERSION, 3, 0},
                                {NYX_CHANGE_OPTIONS, 3, 0},
                                {NYX_CHANGE_NAME, 3, 0},
                                {NYX_CHANGE_STATE, 3, 0},
                                {NYX_CHANGE_CONNECTION, 1, 0}}));
    EXPECT_TRUE(nyx_client_request_in_progress(client));
    EXPECT_EQ(nyx_client_get_state(client), nullptr);

    changes.clear();
    g_now.sec += 3;
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 2; }));
    answer_connect();
    event(NYX_OPCODE_OPTIONS, build_options_body, make_options());
    event(NYX_OPCODE_STATE, build_state_body, make_state());
    ASSERT_TRUE(pump_until([&] { return nyx_client_has_state(client); }));
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_CONNECTION, 2, 0},
                                {NYX_CHANGE_CONNECTION, 3, 0},
                                {NYX_CHANGE_VERSION, 3, 0},
                                {NYX_CHANGE_OPTIONS, 3, 0},
                                {NYX_CHANGE_STATE, 3, 0}}));
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
    EXPECT_EQ(changes, (Changes{{NYX_CHANGE_REQUEST, 3, VTR_CONNRESET},
                                {NYX_CHANGE_VERSION, 3, VTR_CONNRESET},
                                {NYX_CHANGE_OPTIONS, 3, VTR_CONNRESET},
                                {NYX_CHANGE_NAME, 3, VTR_CONNRESET},
                                {NYX_CHANGE_STATE, 3, VTR_CONNRESET},
                                {NYX_CHANGE_CONNECTION, 1, VTR_CONNRESET}}));
    EXPECT_FALSE(nyx_client_request_in_progress(client));
}

} // namespace
