// Helpers shared by the simulator's tests.
#pragma once

#include "sbcp2/sbcp2_message.h"
#include "sim/sim.h"
#include "vtr/vtr_socket.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

inline std::unique_ptr<sbcp2_message> fresh_message(uint16_t opcode) {
    auto msg = std::make_unique<sbcp2_message>();
    sbcp2_message_init_record(msg.get());
    sbcp2_message_init_head(msg.get(), 0x1400, opcode);
    return msg;
}

// Zero for a message that never came.
inline uint16_t opcode_of(const sbcp2_message *m) {
    return m ? sbcp2_message_get_opcode(m->buffer) : 0;
}
inline uint16_t status_of(const sbcp2_message *m) {
    return m ? sbcp2_message_get_status(m->buffer) : 0;
}
inline uint16_t seqnum_of(const sbcp2_message *m) {
    return m ? sbcp2_message_get_seqnum(m->buffer) : 0;
}
inline uint16_t size_of(const sbcp2_message *m) {
    return m ? sbcp2_message_get_size(m->buffer) : 0;
}

// A client of the simulator at the message level: an unconnected UDP socket on an ephemeral
// loopback port.
struct sim_peer {
    using Body = std::function<void(sbcp2_message *)>;
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_address sim{};
    uint16_t seqnum = 0;

    explicit sim_peer(uint16_t port) {
        vtr_platform_init();
        vtr_address any{};
        vtr_address_set_ipv4(&any, VTR_AF_INET, "127.0.0.1", 0);
        vtr_address_set_ipv4(&sim, VTR_AF_INET, "127.0.0.1", port);
        vtr_socket_open_udp(&sock, VTR_AF_INET);
        vtr_socket_bind(sock, &any);
        vtr_socket_set_blocking(sock, false);
    }
    ~sim_peer() { vtr_socket_close(&sock); }
    sim_peer(const sim_peer &) = delete;
    sim_peer &operator=(const sim_peer &) = delete;

    void send_raw(const void *data, size_t length) { vtr_socket_sendto(sock, data, &length, &sim); }

    // Sends a message with the next seqnum and returns that seqnum.
    uint16_t send(uint16_t opcode, const Body &body = {}, uint16_t status = 0) {
        auto msg = fresh_message(opcode);
        if (body)
            body(msg.get());
        sbcp2_message_set_status(msg->buffer, status);
        seqnum = seqnum == 0xffff ? 1 : seqnum + 1;
        sbcp2_message_set_seqnum(msg->buffer, seqnum);
        send_raw(msg->buffer, sbcp2_message_get_size(msg->buffer));
        return seqnum;
    }

    // The next datagram within the timeout, or nullptr.
    std::unique_ptr<sbcp2_message> receive(int timeout_ms = 2000) {
        auto msg = fresh_message(0);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        do {
            size_t length = SBCP2_MAX_MESSAGE;
            vtr_address from{};
            if (vtr_socket_recvfrom(sock, msg->buffer, &length, &from) == VTR_SUCCESS &&
                length >= SBCP2_HEAD_SIZE)
                return msg;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return nullptr;
    }

    // True when nothing arrives for `ms`.
    bool quiet(int ms = 150) { return receive(ms) == nullptr; }
};

struct SimDelete {
    void operator()(nyxsim *sim) const { nyxsim_delete(sim); }
};
using Sim = std::unique_ptr<nyxsim, SimDelete>;

// A simulator serving on an ephemeral port.
inline Sim started(nyxsim_options options = {}) {
    options.port = 0;
    nyxsim *sim = nullptr;
    EXPECT_EQ(nyxsim_new(&options, &sim), VTR_SUCCESS);
    EXPECT_EQ(nyxsim_start(sim), VTR_SUCCESS);
    return Sim(sim);
}
