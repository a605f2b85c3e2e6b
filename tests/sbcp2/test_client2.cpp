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

struct Seen {
    uint32_t flags, state;
    vtr_error error;
    sbcp2_request *request;
    uint32_t request_in_use;
    uint16_t opcode, status; // of the message, when there is one
};

struct Datagram {
    sbcp2_message m;
    size_t length = 0;
    Datagram() {
        memset(&m, 0, sizeof(m));
        sbcp2_message_init_record(&m);
    }
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
    sbcp2_client2_config cfg{};
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
        cfg = {pre_connect,         0x1400,
               vtr_time_make(2, 0), vtr_time_make(3, 0),
               vtr_time_make(3, 0), vtr_time_make(30, 0)};
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
                                 h ? sbcp2_message_get_opcode(h) : uint16_t(0xFFFF),
                                 h ? sbcp2_message_get_status(h) : uint16_t(0xFFFF)});
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
        auto sets = std::make_unique<vtr_socket_sets>();
        memset(sets.get(), 0, sizeof(*sets));
        vtr_socket_set_add(&sets->kind[0], peer);
        vtr_time timeout{wait_ms / 1000, static_cast<uint32_t>(wait_ms % 1000) * 1000};
        if (vtr_socket_wait(&sets->kind[0], &sets->kind[1], &timeout) != VTR_SUCCESS ||
            !vtr_socket_set_contains(&sets->kind[0], peer))
            return false;
        d.length = sizeof(d.m.buffer);
        return vtr_socket_recv(peer, d.m.buffer, &d.length) == VTR_SUCCESS;
    }
    bool peer_quiet() {
        Datagram d;
        return !peer_recv(d, 50);
    }
    void peer_drain() {
        uint8_t buffer[SBCP2_MAX_MESSAGE];
        size_t n = sizeof(buffer);
        while (vtr_socket_recv(peer, buffer, &n) == VTR_SUCCESS)
            n = sizeof(buffer);
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
    const std::vector<std::string> start_lines = {
        "sbcp2_client2_exit_state: exiting state DISCONNECTED\n",
        "sbcp2_client2_exit_state: exited state DISCONNECTED\n",
        "sbcp2_client2_enter_state: entering state CONNECTING\n",
        "sbcp2_client2_send_message sending message (size=0x0018 seqnum=0x0001)\n",
        "sbcp2_client2_enter_state: entered state CONNECTING\n",
    };
    EXPECT_EQ(log->lines, start_lines);

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
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTED);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, SBCP2_EVENT_STATE);
    EXPECT_EQ(seen[0].opcode, SBCP2_OPCODE_CONNECT);
    EXPECT_EQ(seen[0].status, SBCP2_STATUS_RESPONSE);

    // A duplicate reply no longer matches; malformed datagrams are dropped and the step goes
    // on to the event behind them.
    seen.clear();
    peer_send(1, SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
    const uint8_t short_one[10] = {0x14, 0};
    peer_send_raw(short_one, sizeof(short_one));
    const uint8_t lying[24] = {0x14, 0x00, 0x00, 0x14};
    peer_send_raw(lying, sizeof(lying));
    peer_send(0, 0x0103, SBCP2_STATUS_EVENT);
    deliver();
    EXPECT_TRUE(log->has("sbcp2_client2_process: No active request for message with seqnum "
                         "0x0001: ignoring message\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_process: message too small for head (10 < 20)\n"));
    EXPECT_TRUE(log->has("sbcp2_client2_process: invalid size in message (msg=20, recved=24)\n"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, SBCP2_EVENT_EVENT);
    EXPECT_EQ(seen[0].opcode, 0x0103);
    EXPECT_TRUE(log->has("sbcp2_client2_get_next_action_time: finished: invalid parameter\n"));

    vtr_time next{5, 5};
    EXPECT_EQ(sbcp2_client2_process(client, &next), VTR_SUCCESS);
    EXPECT_EQ(next.sec + next.usec, 0u);
}

TEST_F(Client2Test, RefusedConnectRetriesAfterInterval) {
    sbcp2_id id{{1, 2, 3, 4, 5, 6, 7, 8}, 1234};
    ASSERT_EQ(sbcp2_client2_start(client, &id, sock, &cfg), VTR_SUCCESS);
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    sbcp2_message_get_id(c.m.buffer, &id);
    EXPECT_EQ(id.port, 1234);
    EXPECT_EQ(id.id[7], 8);

    peer_send(c.seqnum(), SBCP2_OPCODE_CONNECT, SBCP2_STATUS_TOO_MANY_CLIENTS);
    deliver();
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, SBCP2_EVENT_STATE);
    EXPECT_EQ(seen[0].status, SBCP2_STATUS_TOO_MANY_CLIENTS);

    // The connect timeout went with CONNECTING; only the retry interval counts now.
    advance(2, 900000);
    EXPECT_TRUE(peer_quiet());
    EXPECT_EQ(seen.size(), 1u);
    advance(0, 100000);
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTING);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.opcode(), SBCP2_OPCODE_CONNECT);
    EXPECT_EQ(c.seqnum(), 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].flags, SBCP2_EVENT_STATE);

    // No answer within the connect timeout: DISCONNECTED, and a new connect 3 s later.
    advance(2);
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    EXPECT_EQ(seen.size(), 3u);
    advance(3);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 3);
    EXPECT_EQ(hook_calls, 3);
}

TEST_F(Client2Test, SilenceTimeoutIgnoresNotConnectedReplies) {
    connect();
    for (int k = 1; k <= 9; k++) {
        advance(3);
        Datagram ka;
        ASSERT_TRUE(peer_recv(ka)) << k;
        EXPECT_EQ(ka.opcode(), SBCP2_OPCODE_KEEPALIVE);
        EXPECT_EQ(ka.length, 20u);
        peer_send(ka.seqnum(), SBCP2_OPCODE_KEEPALIVE, SBCP2_STATUS_NOT_CONNECTED);
        deliver();
    }
    EXPECT_TRUE(seen.empty());
    advance(3); // 30 s after the handshake
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, SBCP2_EVENT_STATE);
    EXPECT_TRUE(log->has("sbcp2_client2_handle_keepalive_recv_timeout: server has disappeared, "
                         "disconnecting!\n"));

    // Reconnected, with every keepalive answered normally the connection stays.
    peer_drain();
    advance(3);
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    peer_send(c.seqnum(), SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
    deliver();
    seen.clear();
    for (int k = 1; k <= 12; k++) {
        advance(3);
        Datagram ka;
        ASSERT_TRUE(peer_recv(ka)) << k;
        peer_send(ka.seqnum(), SBCP2_OPCODE_KEEPALIVE, SBCP2_STATUS_RESPONSE);
        deliver();
    }
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTED);
    EXPECT_TRUE(seen.empty()); // keepalive replies call nobody
}

TEST_F(Client2Test, LateKeepaliveIsSkipped) {
    connect();
    advance(6, 500000); // due at +3, fires 3.5 s late
    EXPECT_TRUE(peer_quiet());
    EXPECT_TRUE(log->has("sbcp2_client2_handle_keepalive_send_timeout: keepalive transmit "
                         "interval expiry was excessively delayed:3.500000 > 3.000000. NOT "
                         "firing.\n"));
    advance(6); // next due 3 s after that pass, fires exactly 3 s late
    Datagram ka;
    ASSERT_TRUE(peer_recv(ka));
    EXPECT_EQ(ka.opcode(), SBCP2_OPCODE_KEEPALIVE);
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTED);
}

TEST_F(Client2Test, PortUnreachableDisconnects) {
#ifdef _WIN32
    // Wine does not report port-unreachable on a connected UDP socket.
    GTEST_SKIP() << "no port-unreachable report under wine";
#endif
    connect();
    vtr_socket_close(&peer);
    advance(3); // the keepalive meets a closed port
    for (int i = 0; i < 20 && state() == SBCP2_STATE_CONNECTED; i++)
        pump(100);
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, SBCP2_EVENT_STATE);
    EXPECT_TRUE(seen[0].error == VTR_CONNRESET || seen[0].error == VTR_CONNREFUSED);
    EXPECT_TRUE(log->has("sbcp2_client2_process: error recving (CONNRESET): disconnecting\n"));
}

TEST_F(Client2Test, StopSendsDisconnectAndSeqnumWraps) {
    connect();
    Datagram m;
    sbcp2_message_init_head(&m.m, 0x1400, 0x0111);
    vtr_logger_set_overall_level(env->logger, VTR_LOG_NONE);
    for (uint32_t expected = 2; expected <= 0xFFFF; expected++) {
        ASSERT_EQ(sbcp2_client2_send_message(client, &m.m), VTR_SUCCESS);
        ASSERT_EQ(m.seqnum(), expected);
        if ((expected & 0xFF) == 0)
            peer_drain();
    }
    vtr_logger_set_overall_level(env->logger, VTR_LOG_VERBOSE);
    peer_drain();

    sbcp2_client2_stop(client);
    EXPECT_EQ(state(), SBCP2_STATE_DISCONNECTED);
    Datagram d;
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.opcode(), SBCP2_OPCODE_DISCONNECT);
    EXPECT_EQ(d.seqnum(), 1); // 0 is never sent
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(log->has("sbcp2_client2_enter_state: entered state DISCONNECTING, chaining to "
                         "state DISCONNECTED\n"));

    // Stopped, the socket is not watched; a restart counts from 1 and ignores the stale reply.
    peer_send(1, SBCP2_OPCODE_DISCONNECT, SBCP2_STATUS_RESPONSE);
    pump(50);
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.seqnum(), 1);
    deliver();
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTING);
    EXPECT_TRUE(seen.empty());
}

TEST_F(Client2Test, RequestSlotMatchesResponses) {
    connect();
    sbcp2_request *r = nullptr, *again = nullptr;
    ASSERT_EQ(sbcp2_request_alloc(client, &r), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_request_alloc(client, &again), VTR_NOBUFS);
    sbcp2_message *msg = sbcp2_request_message(r);
    sbcp2_message_init_head(msg, 0x1400, SBCP2_OPCODE_CONNECT);
    EXPECT_EQ(sbcp2_request_send(r), VTR_INVALIDPARAMETER);
    sbcp2_message_init_head(msg, 0x1400, 0x0110);
    ASSERT_EQ(sbcp2_request_send(r), VTR_SUCCESS);
    Datagram q;
    ASSERT_TRUE(peer_recv(q));
    EXPECT_EQ(q.opcode(), 0x0110);
    EXPECT_EQ(q.seqnum(), 2);

    peer_send(0x7777, 0x0110, SBCP2_STATUS_RESPONSE);
    peer_send(2, 0x0110, SBCP2_STATUS_RESPONSE);
    deliver();
    EXPECT_TRUE(log->has("sbcp2_client2_process: No active request for message with seqnum "
                         "0x7777: ignoring message\n"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, SBCP2_EVENT_RESPONSE);
    EXPECT_EQ(seen[0].request, r);
    EXPECT_EQ(seen[0].request_in_use, 0u); // freed before the owner hears of it

    ASSERT_EQ(sbcp2_request_alloc(client, &again), VTR_SUCCESS);
    sbcp2_request_release(r);
    sbcp2_request_release(r); // a free slot is left alone
    ASSERT_EQ(sbcp2_request_alloc(client, &again), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_request_alloc(client, &again), VTR_NOBUFS);
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
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTING);
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 1);
}

TEST_F(Client2Test, UnstartedClientAndArguments) {
    sbcp2_client2 *idle = sbcp2_client2_new(env, SBCP2_HEADER_FORMAT_20, 0);
    ASSERT_NE(idle, nullptr);
    sbcp2_request *r = nullptr;
    EXPECT_EQ(sbcp2_request_alloc(idle, &r), VTR_NOTFOUND);
    EXPECT_EQ(sbcp2_client2_start(idle, nullptr, VTR_SOCKET_INVALID, &cfg), VTR_INVALIDPARAMETER);
    sbcp2_client2_stop(idle);
    EXPECT_EQ(sbcp2_client2_get_state(idle), SBCP2_STATE_NONE);
    sbcp2_client2_delete(idle);
    EXPECT_TRUE(log->lines.empty());

    vtr_env *bare = nullptr;
    ASSERT_EQ(vtr_env_new(VTR_ENV_LOGGER, &bare), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_client2_new(bare, SBCP2_HEADER_FORMAT_20, 1), nullptr);
    vtr_env_delete(bare);
    EXPECT_STREQ(sbcp2_client2_state_name(SBCP2_STATE_DISCONNECTING), "DISCONNECTING");
    EXPECT_STREQ(sbcp2_client2_state_name(7), "?");

    // A stop while CONNECTING says goodbye too.
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    sbcp2_client2_stop(client);
    Datagram d;
    ASSERT_TRUE(peer_recv(d));
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.opcode(), SBCP2_OPCODE_DISCONNECT);
}

} // namespace
