// UDP sockets on loopback.
#include "udp_peer.h"
#include "vtr/vtr_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

TEST(Socket, DatagramsBothWays) {
    UdpPeer server;
    EXPECT_EQ(receive(server.sock, 16, nullptr, 0), "TIMEDOUT"); // would block

    vtr_socket client = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_socket_connect_udp(&client, &server.address), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_set_blocking(client, false), VTR_SUCCESS);
    vtr_address client_address, from{};
    ASSERT_EQ(vtr_socket_get_local_address(client, &client_address), VTR_SUCCESS);
    size_t length = 5;
    ASSERT_EQ(vtr_socket_send(client, "hello", &length), VTR_SUCCESS);
    EXPECT_EQ(receive(server.sock, 64, &from), "hello");
    EXPECT_TRUE(vtr_address_equal(&from, &client_address));
    length = 6;
    ASSERT_EQ(vtr_socket_sendto(server.sock, "answer", &length, &from), VTR_SUCCESS);
    EXPECT_EQ(receive(client, 64), "answer");

    // A datagram longer than the buffer is MSGSIZE and consumed; the next arrives whole.
    for (const std::string &datagram : {std::string(100, 'x'), std::string("y")}) {
        length = datagram.size();
        ASSERT_EQ(vtr_socket_send(client, datagram.data(), &length), VTR_SUCCESS);
    }
    EXPECT_EQ(receive(server.sock, 10, &from), "MSGSIZE");
    EXPECT_EQ(receive(server.sock, 10, &from), "y");
    vtr_socket_close(&client);
}

TEST(Socket, PortUnreachableResetsAConnectedSocketOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "wine reports no port-unreachable on UDP receives";
#endif
    vtr_address closed;
    {
        UdpPeer probe; // a loopback port the system handed out, free again after this
        closed = probe.address;
    }
    vtr_socket sock = VTR_SOCKET_INVALID;
    size_t length = 4;
    ASSERT_EQ(vtr_socket_connect_udp(&sock, &closed), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_set_blocking(sock, false), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_send(sock, "ping", &length), VTR_SUCCESS);
    EXPECT_EQ(receive(sock, 64, nullptr, 1000), "CONNRESET");
    EXPECT_EQ(receive(sock, 64, nullptr, 0), "TIMEDOUT");
    // A send after the report still goes out, and the receive still sees the reset.
    ASSERT_EQ(vtr_socket_send(sock, "ping", &length), VTR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(vtr_socket_send(sock, "pong", &length), VTR_SUCCESS);
    EXPECT_EQ(receive(sock, 64, nullptr, 1000), "CONNRESET");
    vtr_socket_close(&sock);
}

} // namespace
