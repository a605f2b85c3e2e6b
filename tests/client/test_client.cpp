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
void advance(int32_t sec) {
    g_now.sec += sec;
}

struct Change {
    uint32_t kind;
    uint32_t status;
    vtr_error result;
    bool operator==(const Change &) const = default;
};

void PrintTo(const Change &c, std::ostream *os) {
    *os << "{kind " << c.kind << ", status " << c.status << ", result " << c.result << "}";
}

class ClientTest : public ::testing::Test {
  protected:
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    nyx_client *client = nullptr;
    vtr_socket peer = VTR_SOCKET_INVALID;
    vtr_address client_address{};
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<vtr_socket_sets> sets = std::make_unique<vtr_socket_sets>();
    std::unique_ptr<sbcp2_message> rx = std::make_unique<sbcp2_message>();
    std::vector<Change> changes;

    void SetUp() override {
        ASSERT_EQ(vtr_platform_init(), VTR_SUCCESS);
        vtr_clock_set_hook(read_clock);
        ASSERT_EQ(vtr_env_new(VTR_ENV_LOGGER | VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
        log = std::make_unique<LogCapture>(VTR_LOG_VERBOSE, env->logger);
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

    // One pass of the owner's loop: prepare, a short real wait, process.
    void pump() {
        std::memset(sets.get(), 0, sizeof *sets);
        vtr_time timeout{};
        ASSERT_EQ(vtr_dispatcher_prepare(dispatcher, sets.get(), &timeout), VTR_SUCCESS);
        const vtr_time cap{0, 20000};
        if (vtr_time_compare(timeout, cap) > 0) {
            timeout = cap;
        }
        ASSERT_EQ(vtr_socket_wait(&sets->kind[0], &sets->kind[1], &timeout), VTR_SUCCESS);
        ASSERT_EQ(vtr_dispatcher_process(dispatcher, sets.get()), VTR_SUCCESS);
    }

    bool pump_until(const std::function<bool()> &done) {
        for (int i = 0; i < 100 && !done(); i++) {
            pump();
        }
        return done();
    }

    // A few passes for something that should not happen.
    void pump_idle() {
        for (int i = 0; i < 5; i++) {
            pump();
        }
    }

    size_t count_lines(const std::string &line) const {
        size_t n = 0;
        for (const std::string &l : log->lines) {
            n += l == line ? 1 : 0;
        }
        return n;
    }

    // The next datagram the client sent with this opcode; others are passed over.
    bool peer_recv(uint16_t opcode) {
        for (int i = 0; i < 50; i++) {
            vtr_socket_set readable, writable;
            vtr_socket_set_zero(&readable);
            vtr_socket_set_zero(&writable);
            vtr_socket_set_add(&readable, peer);
            const vtr_time timeout{0, 20000};
            if (vtr_socket_wait(&readable, &writable, &timeout) != VTR_SUCCESS) {
                return false;
            }
            sbcp2_message_init_record(rx.get());
            size_t length = sizeof rx->buffer;
            if (vtr_socket_recvfrom(peer, rx->buffer, &length, &client_address) != VTR_SUCCESS) {
                continue;
            }
            if (length >= SBCP2_HEAD_SIZE &&
                sbcp2_message_get_opcode(sbcp2_message_head(rx.get())) == opcode) {
                return true;
            }
        }
        return false;
    }

    uint16_t rx_seqnum() const { return sbcp2_message_get_seqnum(sbcp2_message_head(rx.get())); }

    void peer_send(uint16_t opcode, uint16_t status, uint16_t seqnum,
                   const std::function<void(sbcp2_message *)> &body) {
        auto m = std::make_unique<sbcp2_message>();
        begin_message(m.get(), opcode);
        sbcp2_message_set_status(sbcp2_message_head(m.get()), status);
        sbcp2_message_set_seqnum(sbcp2_message_head(m.get()), seqnum);
        if (body) {
            body(m.get());
        }
        size_t length = sbcp2_message_get_size(sbcp2_message_head(m.get()));
        ASSERT_EQ(vtr_socket_sendto(peer, sbcp2_message_head(m.get()), &length, &client_address),
                  VTR_SUCCESS);
    }

    void send_event(uint16_t opcode, const std::function<void(sbcp2_message *)> &body) {
        peer_send(opcode, SBCP2_STATUS_EVENT, 0, body);
    }

    void send_options(const nyx_system_options &o) {
        send_event(NYX_OPCODE_OPTIONS, [&](sbcp2_message *m) { build_options_body(m, o); });
    }
    void send_state(const nyx_system_state &s) {
        send_event(NYX_OPCODE_STATE, [&](sbcp2_message *m) { build_state_body(m, s); });
    }
    void send_name(const char *name) {
        send_event(NYX_OPCODE_NAME, [&](sbcp2_message *m) { build_name_body(m, name); });
    }

    // Answers the connect message that the client has sent.
    void answer_connect() {
        ASSERT_TRUE(peer_recv(NYX_OPCODE_CONNECT));
        const uint8_t *head = sbcp2_message_head(rx.get());
        EXPECT_EQ(sbcp2_message_get_version(head), NYX_PROTOCOL_VERSION);
        ASSERT_EQ(sbcp2_message_get_size(head), SBCP2_HEAD_SIZE + 4);
        const uint8_t *body = sbcp2_message_body(rx.get());
        EXPECT_EQ(std::vector<uint8_t>(body, body + 4), (std::vector<uint8_t>{0, 1, 0, 3}));
        sbcp2_id id;
        sbcp2_message_get_id(head, &id);
        EXPECT_EQ(id.port, vtr_address_port(&client_address));
        peer_send(NYX_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE, rx_seqnum(),
                  [](sbcp2_message *m) { build_version_body(m, 4, 12, 3, 1500); });
        ASSERT_TRUE(pump_until([&] { return nyx_client_has_version(client); }));
    }

    // Connected, with options, state and optionally a name known.
    void bring_up(bool with_name) {
        ASSERT_EQ(nyx_client_start(client), VTR_SUCCESS);
        answer_connect();
        send_options(make_options());
        send_state(make_state());
        if (with_name) {
            send_name("studio");
        }
        ASSERT_TRUE(pump_until([&] {
            return nyx_client_has_state(client) &&
                   (!with_name || nyx_client_get_name(client) != nullptr);
        }));
        changes.clear();
    }
};

TEST_F(ClientTest, RecordsBecomeKnownFromReplyAndEvents) {
    EXPECT_EQ(nyx_client_get_status(client), NYX_CLIENT_STATUS_NONE);
    EXPECT_EQ(nyx_client_get_version(client), nullptr);
    nyx_system_config config = make_config();
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);

    ASSERT_EQ(nyx_client_start(client), VTR_SUCCESS);
    answer_connect();
    EXPECT_EQ(sbcp2_message_get_seqnum(sbcp2_message_head(rx.get())), 1);
    EXPECT_EQ(changes,
              (std::vector<Change>{{NYX_CHANGE_CONNECTION, 3, 0}, {NYX_CHANGE_VERSION, 3, 0}}));
    const nyx_server_version *version = nyx_client_get_version(client);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->major, 4);
    EXPECT_EQ(version->minor, 12);
    EXPECT_EQ(version->patch, 3);
    EXPECT_EQ(version->build, 1500);
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE) << "no options yet";

    changes.clear();
    const nyx_system_options options = make_options();
    send_options(options);
    ASSERT_TRUE(pump_until([&] { return nyx_client_has_options(client); }));
    EXPECT_TRUE(nyx_system_options_equal(nyx_client_get_options(client), &options));
    EXPECT_TRUE(log->has("nyx_client_on_event: options are:"));
    EXPECT_TRUE(log->has("  Channel Counts (4): 2,8,16,64\n"));

    const nyx_system_state state = make_state();
    send_state(state);
    ASSERT_TRUE(pump_until([&] { return nyx_client_has_state(client); }));
    EXPECT_EQ(std::memcmp(nyx_client_get_state(client), &state, sizeof state), 0);
    send_name("studio");
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_name(client) != nullptr; }));
    EXPECT_STREQ(nyx_client_get_name(client)->name, "studio");
    EXPECT_EQ(changes,
              (std::vector<Change>{
                  {NYX_CHANGE_OPTIONS, 3, 0}, {NYX_CHANGE_STATE, 3, 0}, {NYX_CHANGE_NAME, 3, 0}}));

    // The same state is logged again but reports nothing; so does an unknown opcode.
    changes.clear();
    send_state(state);
    send_event(0x0105, [](sbcp2_message *m) { build_name_body(m, "x"); });
    ASSERT_TRUE(pump_until([&] { return count_lines("nyx_client_on_event: state is:") == 2; }));
    pump_idle();
    EXPECT_TRUE(changes.empty());

    // A body that cannot be decoded leaves the stored record alone.
    send_event(NYX_OPCODE_OPTIONS, [&](sbcp2_message *m) {
        build_options_body(m, options);
        sbcp2_u16_array root{};
        sbcp2_message_get_u16_array(m, 0, &root);
        // The ASIO options group claims 3 slots instead of 4.
        sbcp2_message_body(m)[sbcp2_u16_array_get(&root, 5) + 1] = 3;
    });
    const std::string error_line = "nyx_client_on_event: Error reading options: ";
    ASSERT_TRUE(pump_until([&] {
        for (const std::string &l : log->lines) {
            if (l.compare(0, error_line.size(), error_line) == 0) {
                return true;
            }
        }
        return false;
    }));
    EXPECT_TRUE(nyx_system_options_equal(nyx_client_get_options(client), &options));

    nyx_system_state changed = state;
    changed.link_up = 0;
    send_state(changed);
    ASSERT_TRUE(pump_until([&] { return !changes.empty(); }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_STATE, 3, 0}}));
    EXPECT_EQ(nyx_client_get_state(client)->link_up, 0u);
}

TEST_F(ClientTest, RequestsAndReplies) {
    bring_up(false);
    nyx_system_config config = make_config();
    config.channels = 16;
    EXPECT_EQ(nyx_client_set_system_config(client, nullptr), VTR_INVALIDPARAMETER);
    config.channels = 4;
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDDATA);
    EXPECT_FALSE(nyx_client_request_in_progress(client));
    config.channels = 16;
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    EXPECT_TRUE(nyx_client_request_in_progress(client));
    EXPECT_TRUE(
        log->has("nyx_client_set_system_config: Sending SET CONFIG request with config:\n"));
    EXPECT_TRUE(log->has("  Channels: 16\n"));
    EXPECT_EQ(
        log->lines.back().rfind("nyx_client_set_system_config: Sent request, request id is ", 0),
        0u);

    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_client_send_plain_request(client, 0x0113), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_client_stop(client), VTR_INVALIDSTATE);

    // The datagram carries exactly the encoded configuration.
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    auto expected = std::make_unique<sbcp2_message>();
    begin_message(expected.get(), NYX_OPCODE_SET_CONFIG);
    ASSERT_EQ(nyx_encode_system_config(expected.get(), &config, nullptr), VTR_SUCCESS);
    const uint16_t length = sbcp2_message_body_length(expected.get());
    ASSERT_EQ(sbcp2_message_body_length(rx.get()), length);
    EXPECT_EQ(std::memcmp(sbcp2_message_body(rx.get()), sbcp2_message_body(expected.get()), length),
              0);

    // Refused, but the state it carries is still taken.
    nyx_system_state refused = make_state();
    refused.system_error = 0x0101;
    peer_send(NYX_OPCODE_SET_CONFIG, NYX_STATUS_INVALID_DATA, rx_seqnum(),
              [&](sbcp2_message *m) { build_state_body(m, refused); });
    ASSERT_TRUE(pump_until([&] { return !nyx_client_request_in_progress(client); }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_STATE, 3, VTR_INVALIDDATA},
                                            {NYX_CHANGE_REQUEST, 3, VTR_INVALIDDATA}}));
    EXPECT_TRUE(log->has(
        "nyx_client_on_event: SET_CONFIG/CLEAR_SYSTEM_ERROR response status=Invalid Data\n"));
    EXPECT_TRUE(log->has("nyx_client_on_event: SET_CONFIG/CLEAR_SYSTEM_ERROR: state is now:\n"));
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);

    // A plain request: its reply body is not read.
    changes.clear();
    ASSERT_EQ(nyx_client_clear_domain_credentials(client), VTR_SUCCESS);
    EXPECT_TRUE(log->has("nyx_client_send_plain_request: Sending opcode 113 request no config\n"));
    ASSERT_TRUE(peer_recv(NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS));
    EXPECT_EQ(sbcp2_message_body_length(rx.get()), 0);
    peer_send(NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS, SBCP2_STATUS_RESPONSE, rx_seqnum(),
              [&](sbcp2_message *m) { build_state_body(m, make_state()); });
    ASSERT_TRUE(pump_until([&] { return !nyx_client_request_in_progress(client); }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_REQUEST, 3, VTR_SUCCESS}}));
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);

    // A reply whose state cannot be read completes the request and keeps the state.
    changes.clear();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    peer_send(NYX_OPCODE_SET_CONFIG, SBCP2_STATUS_RESPONSE, rx_seqnum(), nullptr);
    ASSERT_TRUE(pump_until([&] { return !nyx_client_request_in_progress(client); }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_REQUEST, 3, VTR_SUCCESS}}));
    EXPECT_EQ(nyx_client_get_state(client)->system_error, 0x0101);
    EXPECT_EQ(count_lines("nyx_client_on_event: SET_CONFIG/CLEAR_SYSTEM_ERROR: state is now:\n"),
              1u);

    // Cancelled: the late reply finds no request and nobody hears of it.
    changes.clear();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));
    EXPECT_EQ(nyx_client_stop(client), VTR_INVALIDSTATE);
    nyx_client_cancel_request(client);
    EXPECT_FALSE(nyx_client_request_in_progress(client));
    peer_send(NYX_OPCODE_SET_CONFIG, SBCP2_STATUS_RESPONSE, rx_seqnum(),
              [&](sbcp2_message *m) { build_state_body(m, make_state()); });
    pump_idle();
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(nyx_client_stop(client), VTR_SUCCESS);
    EXPECT_TRUE(peer_recv(SBCP2_OPCODE_DISCONNECT));
}

// Silence is not a reset: the request stays in flight while the records are dropped.
TEST_F(ClientTest, SilenceForgetsRecordsAndReconnects) {
    bring_up(true);
    nyx_system_config config = make_config();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(NYX_OPCODE_SET_CONFIG));

    advance(31);
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 1; }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_VERSION, 3, 0},
                                            {NYX_CHANGE_OPTIONS, 3, 0},
                                            {NYX_CHANGE_NAME, 3, 0},
                                            {NYX_CHANGE_STATE, 3, 0},
                                            {NYX_CHANGE_CONNECTION, 1, 0}}));
    EXPECT_TRUE(nyx_client_request_in_progress(client));
    EXPECT_EQ(nyx_client_get_options(client), nullptr);
    EXPECT_EQ(nyx_client_get_state(client), nullptr);
    EXPECT_EQ(nyx_client_get_name(client), nullptr);

    changes.clear();
    advance(3);
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 2; }));
    answer_connect();
    send_options(make_options());
    ASSERT_TRUE(pump_until([&] { return nyx_client_has_options(client); }));
    send_state(make_state());
    ASSERT_TRUE(pump_until([&] { return nyx_client_has_state(client); }));
    send_name("studio");
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_name(client) != nullptr; }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_CONNECTION, 2, 0},
                                            {NYX_CHANGE_CONNECTION, 3, 0},
                                            {NYX_CHANGE_VERSION, 3, 0},
                                            {NYX_CHANGE_OPTIONS, 3, 0},
                                            {NYX_CHANGE_STATE, 3, 0},
                                            {NYX_CHANGE_NAME, 3, 0}}));

    // The unanswered request still blocks the next one until it is cancelled.
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_INVALIDSTATE);
    nyx_client_cancel_request(client);
    EXPECT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
}

TEST_F(ClientTest, ResetEndsRequestInFlight) {
#ifdef _WIN32
    GTEST_SKIP() << "no port-unreachable report here";
#endif
    bring_up(false);
    vtr_socket_close(&peer); // the manager's port is closed now
    nyx_system_config config = make_config();
    ASSERT_EQ(nyx_client_set_system_config(client, &config), VTR_SUCCESS);
    ASSERT_TRUE(pump_until([&] { return nyx_client_get_status(client) == 1; }));
    EXPECT_EQ(changes, (std::vector<Change>{{NYX_CHANGE_REQUEST, 3, VTR_CONNRESET},
                                            {NYX_CHANGE_VERSION, 3, VTR_CONNRESET},
                                            {NYX_CHANGE_OPTIONS, 3, VTR_CONNRESET},
                                            {NYX_CHANGE_STATE, 3, VTR_CONNRESET},
                                            {NYX_CHANGE_CONNECTION, 1, VTR_CONNRESET}}));
    EXPECT_FALSE(nyx_client_request_in_progress(client));
    EXPECT_EQ(nyx_client_get_version(client), nullptr);
}

} // namespace
