// A non-blocking UDP socket bound to an ephemeral loopback port, for the runtime's tests.
#pragma once

#include "vtr/vtr_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

struct UdpPeer {
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_address address{}; // where it listens: 127.0.0.1 and its port

    UdpPeer() {
        EXPECT_EQ(vtr_platform_init(), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_SUCCESS);
        vtr_address any{};
        EXPECT_EQ(vtr_address_set_ipv4(&any, VTR_AF_INET, "127.0.0.1", 0), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_bind(sock, &any), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_get_local_address(sock, &address), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_set_blocking(sock, false), VTR_SUCCESS);
    }
    ~UdpPeer() { vtr_socket_close(&sock); }
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    // One datagram, waiting up to two seconds for it; TIMEDOUT when none came.
    vtr_error receive(std::string *data, size_t capacity = 4096, vtr_address *from = nullptr) {
        std::string buffer(capacity, '\0');
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (;;) {
            size_t length = capacity;
            vtr_error error = vtr_socket_recvfrom(sock, buffer.data(), &length, from);
            if (error == VTR_SUCCESS) {
                data->assign(buffer.data(), length);
            }
            if (error != VTR_TIMEDOUT || std::chrono::steady_clock::now() > deadline) {
                return error;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};
