// A non-blocking UDP socket bound to an ephemeral loopback port, for the runtime's tests.
#pragma once

#include "vtr/vtr_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

// One datagram (recvfrom when a source is asked for), or the error's name; retried while
// nothing has come for up to wait_ms.
inline std::string receive(vtr_socket sock, size_t capacity = 4096, vtr_address *from = nullptr,
                           int wait_ms = 2000) {
    std::string buffer(capacity, '\0');
    for (int waited = 0;; waited += 5) {
        size_t length = capacity;
        vtr_error error = from != nullptr ? vtr_socket_recvfrom(sock, buffer.data(), &length, from)
                                          : vtr_socket_recv(sock, buffer.data(), &length);
        if (error == VTR_SUCCESS) {
            return buffer.substr(0, length);
        }
        if (error != VTR_TIMEDOUT || waited >= wait_ms) {
            return vtr_error_name(error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct UdpPeer {
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_address address{}; // 127.0.0.1 and the port it got

    UdpPeer() {
        EXPECT_EQ(vtr_platform_init(), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_SUCCESS);
        EXPECT_EQ(vtr_address_set_ipv4(&address, VTR_AF_INET, "127.0.0.1", 0), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_bind(sock, &address), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_get_local_address(sock, &address), VTR_SUCCESS);
        EXPECT_EQ(vtr_socket_set_blocking(sock, false), VTR_SUCCESS);
    }
    ~UdpPeer() { vtr_socket_close(&sock); }
};
