// The protocol client against a UDP peer on loopback. The event loop is driven by hand and
// the clock is replaced, so the 2 s / 3 s / 30 s intervals pass instantly.
#include "sbcp2/sbcp2_client2.h"
#include "tests/vtr/udp_peer.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

vtr_time g_now;

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
    UdpPeer peer; // the manager
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_address client_addr{};
    sbcp2_client2 *client = nullptr;
    sbcp2_client2_config cfg{pre_connect,         0x1400,
                             vtr_time_make(2, 0), vtr_time_make(3, 0),
                             vtr_time_make(3, 0), vtr_time_make(30, 0)};
    std::vector<std::string> seen; // what the owner was told, as "flags state error [op/status]"

    void SetUp() override {
        g_now = vtr_time_make(1700000000, 0);
        vtr_clock_set_hook([](vtr_time *now) { *now = g_now; });
        ASSERT_EQ(vtr_env_new(VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
        ASSERT_EQ(vtr_dispatcher_new(env, &disp), VTR_SUCCESS);
        ASSERT_EQ(vtr_socket_connect_udp(&sock, &peer.address), VTR_SUCCESS);
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
        vtr_dispatcher_delete(disp);
        vtr_env_delete(env);
        vtr_clock_set_hook(nullptr);
    }

    static void pre_connect(sbcp2_client2 *, sbcp2_message *tx) {
        const uint16_t slot = 7;
        sbcp2_message_append_u16_array(tx, 1, &slot, nullptr);
    }
    static void on_event(sbcp2_client2 *c, const sbcp2_client2_event *e) {
        std::string told = std::to_string(e->flags) + " " +
                           sbcp2_client2_state_name(sbcp2_client2_get_state(c)) + " " +
                           vtr_error_name(e->error);
        if (e->message)
            told += " " + std::to_string(sbcp2_message_get_opcode(e->message->buffer)) + "/" +
                    std::to_string(sbcp2_message_get_status(e->message->buffer));
        if (e->request)
            told += e->request->in_use ? " (request in use)" : " (request)";
        static_cast<Client2Test *>(sbcp2_client2_get_context(c))->seen.push_back(told);
    }
    uint32_t state() const { return sbcp2_client2_get_state(client); }

    // One pass of the loop, waiting at most wait_ms for a watched socket.
    void pump(int wait_ms = 0) {
        auto sets = std::make_unique<vtr_socket_sets>(); // zeroed
        ASSERT_EQ(vtr_dispatcher_prepare(disp, sets.get(), nullptr), VTR_SUCCESS);
        vtr_time timeout{wait_ms / 1000, static_cast<uint32_t>(wait_ms % 1000) * 1000};
        ASSERT_TRUE(sets->count == 0 ||
                    vtr_socket_wait(&sets->kind[0], &sets->kind[1], &timeout) == VTR_SUCCESS);
        vtr_dispatcher_process(disp, sets.get());
    }
    void deliver() { pump(1000); } // what the peer has just sent
    void advance(int32_t sec, uint32_t usec = 0) {
        g_now = vtr_time_add(g_now, vtr_time_make(sec, usec));
        pump();
    }
    bool peer_recv(Datagram &d, int wait_ms = 1000) {
        std::string got = receive(peer.sock, sizeof(d.m.buffer), nullptr, wait_ms);
        memcpy(d.m.buffer, got.data(), d.length = got.size());
        return got.size() >= SBCP2_HEAD_SIZE; // longer than any error's name
    }
    void peer_send_raw(const void *data, size_t length) {
        ASSERT_EQ(vtr_socket_sendto(peer.sock, data, &length, &client_addr), VTR_SUCCESS);
    }
    void peer_send(uint16_t seqnum, uint16_t opcode, uint16_t status) {
        Datagram d;
        sbcp2_message_init_head(&d.m, 0x1400, opcode);
        sbcp2_message_set_seqnum(d.m.buffer, seqnum);
        sbcp2_message_set_status(d.m.buffer, status);
        sbcp2_message_append_u16_array(&d.m, 2, nullptr, nullptr);
        peer_send_raw(d.m.buffer, sbcp2_message_get_size(d.m.buffer));
    }
    // Starts and completes the handshake, then forgets what was seen.
    void connect() {
        ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
        Datagram c;
        ASSERT_TRUE(peer_recv(c));
        peer_send(c.seqnum(), SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
        deliver();
        ASSERT_EQ(state(), SBCP2_STATE_CONNECTED);
        seen.clear();
    }
};

using Told = std::vector<std::string>;

TEST_F(Client2Test, HandshakeAndReceiveStep) {
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    // The connect carries the version, seqnum 1, the socket's port, a zero id and the hook's
    // body.
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    uint16_t port = vtr_address_port(&client_addr);
    const uint8_t connect[24] = {
        0x14, 0, 0, 24, 0, 1, 0, 1, 0, 0, uint8_t(port >> 8), uint8_t(port), 0, 0,
        0,    0, 0, 0,  0, 0, 0, 1, 0, 7};
    EXPECT_TRUE(c.length == 24u && memcmp(c.m.buffer, connect, 24) == 0);
    peer_send(0, 0x0102, SBCP2_STATUS_EVENT); // dropped before the handshake ends
    peer_send(1, SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
    deliver();
    EXPECT_EQ(seen, Told{"1 CONNECTED SUCCESS 1/1"}); // start itself never calls the owner

    sbcp2_request *r = nullptr;
    ASSERT_EQ(sbcp2_request_alloc(client, &r), VTR_SUCCESS);
    sbcp2_message_init_head(sbcp2_request_message(r), 0x1400, 0x0110);
    ASSERT_EQ(sbcp2_request_send(r), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 2);

    // A duplicate connect reply and a reply to nothing are ignored, datagrams truncated or
    // with a size unlike the received one dropped, and the step goes on to the event and the
    // response behind them. The slot is free before the owner hears of its response.
    seen.clear();
    peer_send(1, SBCP2_OPCODE_CONNECT, SBCP2_STATUS_RESPONSE);
    peer_send(0x7777, 0x0110, SBCP2_STATUS_RESPONSE);
    peer_send_raw(connect, 10);
    const uint8_t lying[24] = {0x14, 0x00, 0x00, 0x14};
    peer_send_raw(lying, sizeof(lying));
    peer_send(0, 0x0103, SBCP2_STATUS_EVENT);
    peer_send(2, 0x0110, SBCP2_STATUS_RESPONSE);
    deliver();
    EXPECT_EQ(seen, (Told{"8 CONNECTED SUCCESS 259/2", "4 CONNECTED SUCCESS 272/1 (request)"}));
}

TEST_F(Client2Test, RefusedOrUnansweredConnectRetriesAfterInterval) {
    sbcp2_id id{{1, 2, 3, 4, 5, 6, 7, 8}, 1234};
    ASSERT_EQ(sbcp2_client2_start(client, &id, sock, &cfg), VTR_SUCCESS);
    Datagram c;
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(memcmp(c.m.buffer + 10, "\x04\xd2\x01\x02\x03\x04\x05\x06\x07\x08", 10), 0);
    peer_send(c.seqnum(), SBCP2_OPCODE_CONNECT, SBCP2_STATUS_TOO_MANY_CLIENTS);
    deliver();
    // The connect timeout went with CONNECTING; only the retry interval counts now.
    advance(2, 900000);
    EXPECT_FALSE(peer_recv(c, 50));
    advance(0, 100000);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 2);
    // No answer within the connect timeout: DISCONNECTED, and a new connect 3 s later.
    advance(2);
    advance(3);
    ASSERT_TRUE(peer_recv(c));
    EXPECT_EQ(c.seqnum(), 3);
    EXPECT_EQ(seen, (Told{"1 DISCONNECTED SUCCESS 1/130", "1 CONNECTING SUCCESS",
                          "1 DISCONNECTED SUCCESS", "1 CONNECTING SUCCESS"}));
}

// A peer that sends faster than the loop reads gets a fixed share of each pass: the timers
// of the same pass still run.
TEST_F(Client2Test, KeepalivesTheReadBudgetAndTheSilenceTimeout) {
    connect();
    for (int i = 0; i < 100; ++i)
        peer_send(0, 0x0102, SBCP2_STATUS_EVENT);
    Datagram ka;
    g_now = vtr_time_add(g_now, cfg.keepalive_interval);
    deliver();
    EXPECT_EQ(seen.size(), SBCP2_DATAGRAMS_PER_PASS);
    ASSERT_TRUE(peer_recv(ka) && ka.opcode() == SBCP2_OPCODE_KEEPALIVE);
    deliver();
    EXPECT_EQ(seen.size(), 100u);
    seen.clear();
    // Answered keepalives carry the connection well past 30 s and call nobody; after the
    // last, "Not connected" replies do not hold it: it ends 30 s later.
    for (int k = 1; k <= 21; k++) {
        advance(3);
        ASSERT_TRUE(peer_recv(ka) && ka.opcode() == SBCP2_OPCODE_KEEPALIVE) << k;
        peer_send(ka.seqnum(), SBCP2_OPCODE_KEEPALIVE,
                  k <= 12 ? SBCP2_STATUS_RESPONSE : SBCP2_STATUS_NOT_CONNECTED);
        deliver();
    }
    advance(3);
    EXPECT_EQ(seen, Told{"1 DISCONNECTED SUCCESS"});
}

// A second report while DISCONNECTED must not leave the client without a retry.
TEST_F(Client2Test, PortUnreachableDisconnectsAndARepeatKeepsTheRetry) {
#ifdef _WIN32
    GTEST_SKIP() << "wine reports no port-unreachable on a connected UDP socket";
#endif
    connect();
    vtr_socket_close(&peer.sock);
    Datagram m;
    sbcp2_message_init_head(&m.m, 0x1400, 0x0110);
    advance(3); // the keepalive meets a closed port
    for (int i = 0; i < 20 && seen.empty(); i++)
        pump(100);
    advance(2);
    ASSERT_EQ(sbcp2_client2_send_message(client, &m.m), VTR_SUCCESS);
    for (int i = 0; i < 20 && seen.size() < 2; i++)
        pump(100);
    EXPECT_EQ(seen, (Told{"1 DISCONNECTED CONNRESET", "0 DISCONNECTED CONNRESET"}));
    advance(3);
    EXPECT_EQ(state(), SBCP2_STATE_CONNECTING);
}

TEST_F(Client2Test, StopSendsDisconnectAndSeqnumsWrapAndRestart) {
    connect();
    Datagram m, d;
    sbcp2_message_init_head(&m.m, 0x1400, 0x0111);
    for (uint32_t expected = 2; expected <= 0xFFFF; expected++) {
        ASSERT_EQ(sbcp2_client2_send_message(client, &m.m), VTR_SUCCESS);
        ASSERT_EQ(m.seqnum(), expected); // what does not fit the peer's buffer is dropped
    }
    while (peer_recv(d, 0)) {
    }
    sbcp2_client2_stop(client);
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.opcode(), SBCP2_OPCODE_DISCONNECT);
    EXPECT_EQ(d.seqnum(), 1); // 0 is never sent
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(sbcp2_client2_send_message(client, &m.m), VTR_NOTSOCK); // no socket when stopped
    ASSERT_EQ(sbcp2_client2_start(client, nullptr, sock, &cfg), VTR_SUCCESS);
    ASSERT_TRUE(peer_recv(d));
    EXPECT_EQ(d.seqnum(), 1); // a restart counts from 1 again
}

// A reply whose number came round since the last keepalive answers the request, not it.
TEST_F(Client2Test, AfterTheCounterWrapsAReplyBelongsToTheNewestMessage) {
    connect();
    Datagram ka, m, d;
    advance(3);
    ASSERT_TRUE(peer_recv(ka) && ka.opcode() == SBCP2_OPCODE_KEEPALIVE); // left unanswered
    sbcp2_message_init_head(&m.m, 0x1400, 0x0111);
    for (uint32_t seqnum = ka.seqnum() + 1; seqnum <= 0x10000; seqnum++) // up to 0xFFFF, then 1
        ASSERT_EQ(sbcp2_client2_send_message(client, &m.m), VTR_SUCCESS);
    while (peer_recv(d, 0)) {
    }
    sbcp2_request *r = nullptr;
    ASSERT_EQ(sbcp2_request_alloc(client, &r), VTR_SUCCESS);
    sbcp2_message_init_head(sbcp2_request_message(r), 0x1400, 0x0110);
    ASSERT_EQ(sbcp2_request_send(r), VTR_SUCCESS);
    ASSERT_EQ(sbcp2_message_get_seqnum(sbcp2_request_message(r)->buffer), ka.seqnum());
    peer_send(ka.seqnum(), 0x0110, SBCP2_STATUS_RESPONSE);
    deliver();
    EXPECT_EQ(seen, Told{"4 CONNECTED SUCCESS 272/1 (request)"});
}

} // namespace
