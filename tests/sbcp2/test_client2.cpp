// The protocol client against a UDP peer on loopback. The event loop is driven by hand and
// the clock is replaced, so the 2 s / 3 s / 30 s intervals pass instantly.
#include "sbcp2/sbcp2_client2.h"
#include "tests/sbcp2/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

vtr_time g_now;
void fake_clock(vtr_time *now) {
    *now = g_now;
}

const uint16_t NONE = 0xFFFF;

struct Seen {
    uint32_t flags, state;
    vtr_error error;
    sbcp2_request *request;
    uint32_t request_in_use;
    uint16_t opcode, status; // of the message, NONE without one
    bool operator==(const Seen &) const = default;
};
using Seens = std::vector<Seen>;

struct Datagram {
    sbcp2_message m{};
    size_t length = 0;
    Datagram() { sbcp2_message_init_record(&m); }
    uint16_t opcode() const { return sbcp2_message_get_opcode(m.buffer); }
    uint16_t seqnum() const { return sbcp2_message_get_seqnum(m.buffer); }
};

class Client2Test : public ::testing::Test {
  protected:
    vtr_env *env = nullptr;
    vtr_dispatcher *disp = nullptr;
    std::unique_ptr<LogCapture> log;
    vtr_socket peer = VTR_SOCKET_INVALID, sock = VTR_SOCKET_INVALID;
    vtr_address client_addr{};
    sbcp2_client2 *client = nullptr;
    sbcp2_client2_config cfg{pre_connect,         0x1400,
                             vtr_time_make(2, 0), vtr_time_make(3, 0),
                             vtr_time_make(3, 0), vtr_time_make(30, 0)};
    std::vector<Seen> seen;
    int hook_calls = 0;

    void SetUp() override {
        ASSERT_EQ(vtr_platform_init(), VTR_SUCCESS);
        g_now = vtr_time_make(1700000000, 0);
        vtr_clock_set_hook(fake_clock);
        ASSERT_EQ(vtr_env_new(VTR_ENV_LOGGER | VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
        log = std::make_unique<LogCapture>(env->logger);
        ASSERT_EQ(vtr_dispatcher_new(env, &disp), VTR_SUCCESS);
        vtr_address addr{};
        ASSERT_EQ(vtr_address_set_ipv4(&addr, VTR_AF_INET, "127.0.0.1", 0), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_open_udp(&peer, VTR_AF_INET), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_bind(peer, &addr), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_get_local_address(peer, &addr), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_set_blocking(peer, false), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_connect_udp(&sock, &addr), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_set_blocking(sock, false), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_get_local_address(sock, &client_addr), VTR_SUCCESS);
        client = sbcp2_client2_new(env, SBCP2_HEADER_FORMAT_20, 1);
        ASSERT_NE(client, nullptr);
        sbcp2_client2_set_event_fn(client, on_event);
        sbcp2_client2_set_context(client, this);
    }
    void TearDown() override {
        sbcp2_client2_delete(client);
        vtr_socket_close(&sock);
        vtr_socket_close(&peer);
        vtr_dispatcher_delete(disp);
        log.reset();
        vtr_env_delete(env);
        vtr_clock_set_hook(nullptr);
    }

    static Client2Test *self(sbcp2_client2 *c) {
        return static_cast<Client2Test *>(sbcp2_client2_get_context(c));
    }
    static void pre_connect(sbcp2_client2 *c, sbcp2_message *tx) {
        self(c)->hook_calls++;
        const uint16_t slot = 7;
        sbcp2_message_append_u16_array(tx, 1, &slot, nullptr);
    }
    static void on_event(sbcp2_client2 *c, const sbcp2_client2_event *e) {
        const uint8_t *h = e->message ? e->message->buffer : nullptr;
        self(c)->seen.push_back({e->flags, sbcp2_client2_get_state(c), e->error, e->request,
                                 e->request ? e->request->in_use : 0,
                                 h ? sbcp2_message_get_opcode(h) : NONE,
                                 h ? sbcp2_message_get_status(h) : NONE});
    }
    uint32_t state() const { return sbcp2_client2_get_state(client); }

    // One pass of the loop, waiting at most wait_ms for a watched socket.
    void pump(int wait_ms = 0) {
        auto sets = std::make_unique<vtr_socket_sets>();
        memset(sets.get(), 0, sizeof(*sets));
        ASSERT_EQ(vtr_dispatcher_prepare(disp, sets.get(), nullptr), VTR_SUCCESS);
        vtr_time timeout{wait_ms / 1000, static_cast<uint32_t>(wait_ms % 1000) * 1000};
        if (sets->count) {
            ASSERT_EQ(vtr_socket_wait(&sets->kind[0], &sets->kind[1], &timeout), VTR_SUCCESS);
        }
        vtr_dispatcher_process(disp, sets.get());
    }
    void deliver() { pump(1000); } // what the peer has just sent
    void advance(int32_t sec, uint32_t usec = 0) {
        g_now = vtr_time_add(g_now, vtr_time_make(sec, usec));
        pump();
    }
    bool peer_recv(Datagram &d, int wait_ms = 1000) {
        const vtr_time tick{0, 5000};
        for (int waited = 0;; waited += 5) {
            d.length = sizeof(d.m.buffer);
            if (vtr_socket_recv(peer, d.m.buffer, &d.length) == VTR_SUCCESS)
                return true;
            if (waited >= wait_ms || vtr_sleep(&tick) != VTR_SUCCESS)
                return false;
        }
    }
    void peer_send_raw(const void *data, size_t length) {
        ASSERT_EQ(vtr_socket_sendto(peer, data, &length, &client_addr), VTR_SUCCESS);
    }
    void peer_send(uint16_t seqnum, uint16_t opcode, uint16_t status) {
        Datagram d;
        sbcp2_message_init_head(&d.m, 0x1400, opcode);
        sbcp2_message_set_seqnum(d.m.buffer, seqnum);
        sbcp2_message_set_status(d.m.buffer, status);
        sbcp2_message_append_u16_array(&d.m, 2, nullptr, nullptr);
        peer_send_raw(d.m.buffer, sbcp2_message_get_size(d.m.buffer));
    }
    // Starts and completes the handshake, then forgets what was seen and logged.
    void connect() {
        ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
        Datagram c;
        ASSERT_TRUE(peer_recv(c));
        peer_send(c.seqnum(), SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
        deliver();
        ASSERT_EQ(state(), SBCP2_STATE_CONNECTED);
        seen.clear();
        log->lines.clear();
    }
};

TEST_F(Client2Test, HandshakeAndReceiveStep) {
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTING);
    EXPECT_TRUE(seen.empty()); // start never calls the owner
    EXPECT_EQ(log->lines, (std::vector<std::string>{
                              "sbcp2_client2_exit_state: exiting state DISCONNECTED\n",
                              "sbcp2_client2_exit_state: exited state DISCONNECTED\n",
                              "sbcp2_client2_enter_state: entering state CONNECTING\n",
                              "sbcp2_client2_send_message sending message (size=0x0018 "
                              "seqnum=0x0001)\n",
                              "sbcp2_client2_enter_state: entered state CONNECTING\n",
                          }));
    // The connect carries seqnum 1, the socket's port, a zero id and the hook's body.
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    uint16_t port = vtr_address_port(&client_addr);
    const uint8_t connect[24] = {
        0x14, 0, 0, 24, 0, 1, 0, 1, 0, 0, uint8_t(port >> 8), uint8_t(port), 0, 0,
        0,    0, 0, 0,  0, 0, 0, 1, 0, 7};
    ASSERT_EQ(c.length, 24u);
    EXPECT_EQ(memcmp(c.m.buffer, connect, 24), 0);

    peer_send(0, 0x0102, SBCP2_STATUS_EVENT); // dropped before the handshake ends
    peer_send(1, SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
    deliver();
    EXPECT_TRUE(log->has("sbcp2_client2_process_event: Got an event!\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_process_internal: Got an internal message!\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_process: read a message (size=26 source=)\n"));
    EXPECT_EQ(seen, (Seens{{1, SBCP2_STATE_CONNECTED, 0, nullptr, 0, 1, 1}}));

    sbcp2_request *r = nullptr, *again = nullptr;
    ASSERT_EQ(sbcp2_request_alloc(client, &r), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_request_alloc(client, &again), VTR_NOBUFS);
    sbcp2_message_init_head(sbcp2_request_message(r), 0x1400, SBCP2_OPCODE_CONNECT);
    EXPECT_EQ(sbcp2_request_send(r), VTR_INVALIDPARAMETER);
    sbcp2_message_init_head(sbcp2_request_message(r), 0x1400, 0x0110);
    ASSERT_EQ(sbcp2_request_send(r), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 2);

    // A duplicate connect reply and a reply to nothing are ignored, malformed datagrams
    // dropped, and the step goes on to the event and the response behind them.
    seen.clear();
    peer_send(1, SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
    peer_send(0x7777, 0x0110, SBCP2_STATUS_RESPONSE);
    peer_send_raw(connect, 10);
    const uint8_t lying[24] = {0x14, 0x00, 0x00, 0x14};
    peer_send_raw(lying, sizeof(lying));
    peer_send(0, 0x0103, SBCP2_STATUS_EVENT);
    peer_send(2, 0x0110, SBCP2_STATUS_RESPONSE);
    deliver();
    const std::string ignored = "sbcp2_client2_process: No active request for message with seqnum ";
    EXPECT_TRUE(log->has(ignored + "0x0001: ignoring message\n"));
    EXPECT_TRUE(log->has(ignored + "0x7777: ignoring message\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_process: message too small for head (10 < 20)\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_process: invalid size in message (msg=20, recved=24)\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_get_next_action_time: finished: invalid parameter\n"));
    // The slot is free again before the owner hears of its response.
    EXPECT_EQ(seen, (Seens{{8, SBCP2_STATE_CONNECTED, 0, nullptr, 0, 0x0103, 2},
                           {4, SBCP2_STATE_CONNECTED, 0, r, 0, 0x0110, 1}}));
    sbcp2_request_release(r); // a free slot is left alone
    ASSERT_EQ(sbcp2_request_alloc(client, &again), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_request_alloc(client, &again), VTR_NOBUFS);
}

TEST_F(Client2Test, RefusedConnectRetriesAfterInterval) {
    sbcp2_id id{{1, 2, 3, 4, 5, 6, 7, 8}, 1234};
    ASSERT_EQ(sbcp2_client2_start(client, &id, sock, &cfg), VTR_SUCCESS);
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    char text[SBCP2_ID_TEXT_SIZE];
    sbcp2_message_get_id(c.m.buffer, &id);
    EXPECT_STREQ(sbcp2_id_to_string(&id, text), "0102030405060708:1234");

    peer_send(c.seqnum(), SBCP2_OPCODE_CONNECT, SBCP2_STATUS_TOO_MANY_CLIENTS);
    deliver();
    // The connect timeout went with CONNECTING; only the retry interval counts now.
    advance(2, 900000);
    EXPECT_FALSE(peer_recv(c, 50));
    advance(0, 100000);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.opcode(), SBCP2_OPCODE_CONNECT);
    EXPECT_EQ(c.seqnum(), 2);
    // No answer within the connect timeout: DISCONNECTED, and a new connect 3 s later.
    advance(2);
    advance(3);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 3);
    EXPECT_EQ(hook_calls, 3);
    EXPECT_EQ(seen, (Seens{{1, SBCP2_STATE_DISCONNECTED, 0, nullptr, 0, 1, 130},
                           {1, SBCP2_STATE_CONNECTING, 0, nullptr, 0, NONE, NONE},
                           {1, SBCP2_STATE_DISCONNECTED, 0, nullptr, 0, NONE, NONE},
                           {1, SBCP2_STATE_CONNECTING, 0, nullptr, 0, NONE, NONE}}));
}

TEST_F(Client2Test, SilenceTimeoutCountsOnlyRealReplies) {
    connect();
    // Answered keepalives carry the connection well past 30 s and call nobody; after the
    // last, "Not connected" replies do not hold it: it ends 30 s later.
    for (int k = 1; k <= 21; k++) {
        advance(3);
        Datagram ka;
        ASSERT_TRUE(peer_recv(ka)) << k;
        EXPECT_EQ(ka.opcode(), SBCP2_OPCODE_KEEPALIVE);
        EXPECT_EQ(ka.length, 20u);
        peer_send(ka.seqnum(), SBCP2_OPCODE_KEEPALIVE,
                  k <= 12 ? SBCP2_STATUS_RESPONSE : SBCP2_STATUS_NOT_CONNECTED);
        deliver();
        ASSERT_TRUE(seen.empty()) << k;
    }
    advance(3);
    EXPECT_EQ(seen, (Seens{{1, SBCP2_STATE_DISCONNECTED, 0, nullptr, 0, NONE, NONE}}));
    EXPECT_TRUE(log->has("sbcp2_client2_handle_keepalive_recv_timeout: server has disappeared, "
                         "disconnecting!\n"));
}

TEST_F(Client2Test, LateKeepaliveIsSkipped) {
    connect();
    Datagram ka;
    advance(6, 500000); // due at +3, fires 3.5 s late
    EXPECT_FALSE(peer_recv(ka, 50));
    EXPECT_TRUE(log->has("sbcp2_client2_handle_keepalive_send_timeout: keepalive transmit "
                         "interval expiry was excessively delayed:3.500000 > 3.000000. NOT "
                         "firing.\n"));
    advance(6); // next due 3 s after that pass, fires exactly 3 s late
    ASSERT_TRUE(peer_recv(ka));
    EXPECT_EQ(ka.opcode(), SBCP2_OPCODE_KEEPALIVE);
}

TEST_F(Client2Test, PortUnreachableDisconnects) {
#ifdef _WIN32
    GTEST_SKIP() << "wine reports no port-unreachable on a connected UDP socket";
#endif
    connect();
    vtr_socket_close(&peer);
    advance(3); // the keepalive meets a closed port
    for (int i = 0; i < 20 && seen.empty(); i++)
        pump(100);
    EXPECT_TRUE(log->has("sbcp2_client2_process: error recving (CONNRESET): disconnecting\n"));
    // A second report while DISCONNECTED must not leave the client without a retry.
    advance(2);
    sbcp2_request *r = nullptr;
    ASSERT_EQ(sbcp2_request_alloc(client, &r), VTR_SUCCESS);
    sbcp2_message_init_head(sbcp2_request_message(r), 0x1400, 0x0110);
    ASSERT_EQ(sbcp2_request_send(r), VTR_SUCCESS);
    for (int i = 0; i < 20 && seen.size() < 2; i++)
        pump(100);
    EXPECT_EQ(seen, (Seens{{1, SBCP2_STATE_DISCONNECTED, VTR_CONNRESET, nullptr, 0, NONE, NONE},
                           {0, SBCP2_STATE_DISCONNECTED, VTR_CONNRESET, nullptr, 0, NONE, NONE}}));
    advance(1);
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    advance(2);
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTING);
}

TEST_F(Client2Test, StopSendsDisconnectAndSeqnumWraps) {
    connect();
    Datagram m, d;
    sbcp2_message_init_head(&m.m, 0x1400, 0x0111);
    vtr_logger_set_overall_level(env->logger, VTR_LOG_NONE);
    for (uint32_t expected = 2; expected <= 0xFFFF; expected++) {
        ASSERT_EQ(sbcp2_client2_send_message(client, &m.m), VTR_SUCCESS);
        ASSERT_EQ(m.seqnum(), expected);
        while ((expected & 0xFF) == 0 && peer_recv(d, 0)) {
        }
    }
    vtr_logger_set_overall_level(env->logger, VTR_LOG_VERBOSE);
    while (peer_recv(d, 0)) {
    }

    sbcp2_client2_stop(client);
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.opcode(), SBCP2_OPCODE_DISCONNECT);
    EXPECT_EQ(d.seqnum(), 1); // 0 is never sent
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(log->has("sbcp2_client2_enter_state: entered state DISCONNECTING, chaining to "
                         "state DISCONNECTED\n"));
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.seqnum(), 1); // a restart counts from 1 again
}

// A peer that sends faster than the loop reads gets a fixed share of each pass: the timers
// of the same pass still run. A stopped client has no socket to send on.
TEST_F(Client2Test, ReadsAtMostABudgetPerPassAndSendsNothingWhenStopped) {
    connect();
    for (int i = 0; i < 100; ++i) {
        peer_send(0, 0x0102, SBCP2_STATUS_EVENT);
    }
    Datagram d;
    g_now = vtr_time_add(g_now, cfg.keepalive_interval);
    deliver();
    EXPECT_EQ(seen.size(), SBCP2_DATAGRAMS_PER_PASS);
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.opcode(), SBCP2_OPCODE_KEEPALIVE);
    deliver();
    EXPECT_EQ(seen.size(), 100u);

    sbcp2_client2_stop(client);
    sbcp2_request *request = nullptr;
    ASSERT_EQ(sbcp2_request_alloc(client, &request), VTR_SUCCESS);
    sbcp2_message_init_head(sbcp2_request_message(request), 0x1400, 0x0110);
    EXPECT_EQ(sbcp2_request_send(request), VTR_NOTSOCK);
    sbcp2_request_release(request);
}

TEST_F(Client2Test, FailedConnectSendStaysInErrorUntilRestarted) {
    vtr_socket loose = VTR_SOCKET_INVALID; // unconnected: the connect cannot be sent
    ASSERT_EQ(vtr_socket_open_udp(&loose, VTR_AF_INET), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_client2_start(client, nullptr, loose, &cfg), VTR_SUCCESS);
    EXPECT_EQ(state(), SBCP2_STATE_ERROR);
    EXPECT_TRUE(log->has("sbcp2_client2_enter_state: error enter state CONNECTING, chaining to "
                         "state ERROR\n"));
    advance(10);
    sbcp2_client2_stop(client);
    EXPECT_EQ(state(), SBCP2_STATE_ERROR);
    EXPECT_TRUE(seen.empty());
    vtr_socket_close(&loose);
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 1);
    sbcp2_client2_stop(client); // a stop while CONNECTING says goodbye too
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.opcode(), SBCP2_OPCODE_DISCONNECT);
}

} // namespace
