// Addresses, UDP sockets on loopback and platform start-up.
#include "udp_peer.h"
#include "vtr/vtr_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#endif

namespace {

TEST(Address, SetParseTextAndEquality) {
    vtr_address a, b;
    ASSERT_EQ(vtr_address_set_ipv4(&a, VTR_AF_INET, "127.0.0.1", 8899), VTR_SUCCESS);
    EXPECT_EQ(vtr_address_port(&a), 8899);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&a.addr), 8),
              std::string("\x02\x00\x22\xC3\x7F\x00\x00\x01", 8)); // the port in network order
    char text[50];
    EXPECT_STREQ(vtr_address_to_string(&a, text, 32), "127.0.0.1:8899 (len=16)");
    EXPECT_EQ(vtr_address_set_ipv4(&b, VTR_AF_UNSPEC, "127.0.0.1", 1), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_address_set_ipv4(&b, 23, "127.0.0.1", 1), VTR_NOTSUPPORTED);
    uint32_t value = 7;
    for (const char *bad : {"no address", "1.2.3.4.5", "256.1.1.1"}) {
        EXPECT_EQ(vtr_address_parse_ipv4(bad, &value), VTR_INVALIDPARAMETER) << bad;
        EXPECT_EQ(vtr_address_set_ipv4(&b, VTR_AF_INET, bad, 1), VTR_INVALIDPARAMETER) << bad;
    }
    EXPECT_EQ(value, 7u);
    // The parser's failure value is a valid address of its own.
    EXPECT_EQ(vtr_address_parse_ipv4("255.255.255.255", &value), VTR_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFFFu);

    // Text forms are cut to the buffer, or empty when the dotted address does not fit.
    ASSERT_EQ(vtr_address_set_ipv4(&b, VTR_AF_INET, "192.168.100.200", 65535), VTR_SUCCESS);
    EXPECT_STREQ(vtr_address_to_string(&b, text, sizeof text), "192.168.100.200:65535 (len=16)");
    EXPECT_STREQ(vtr_address_to_string(&b, text, 20), "192.168.100.200:655");
    EXPECT_STREQ(vtr_address_to_string(&b, text, 10), "");
    EXPECT_EQ(vtr_inet_ntoa(b.addr.addr_be, text, 15), nullptr);
    EXPECT_STREQ(vtr_inet_ntoa(b.addr.addr_be, text, 16), "192.168.100.200");

    // Equal when the first length-of-a bytes are, and never without a family.
    EXPECT_FALSE(vtr_address_equal(&a, nullptr));
    ASSERT_EQ(vtr_address_set_ipv4(&b, VTR_AF_INET, "127.0.0.2", 8899), VTR_SUCCESS);
    EXPECT_FALSE(vtr_address_equal(&a, &b));
    a.length = 4; // family and port
    EXPECT_TRUE(vtr_address_equal(&a, &b));
    vtr_address empty{};
    EXPECT_FALSE(vtr_address_equal(&empty, &empty));
    EXPECT_STREQ(vtr_address_to_string(&empty, text, sizeof text), "");
    EXPECT_EQ(vtr_address_port(&empty), 0);
}

TEST(Socket, ArgumentsAndFailuresLeaveNoSocket) {
    ASSERT_EQ(vtr_platform_init(), VTR_SUCCESS);
    vtr_socket sock = VTR_SOCKET_INVALID;
    char buffer[8];
    size_t length = sizeof buffer;
    vtr_address address{};
    EXPECT_EQ(vtr_socket_recv(sock, buffer, &length), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_recvfrom(sock, buffer, &length, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_send(sock, buffer, &length), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_sendto(sock, buffer, &length, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(length, sizeof buffer);

    // A failed connect closes the socket it opened (here for a truncated address), and no
    // UDP socket of family 23 opens at all.
    ASSERT_EQ(vtr_address_set_ipv4(&address, VTR_AF_INET, "127.0.0.1", 9), VTR_SUCCESS);
    address.length = 3;
    for (int family : {int(VTR_AF_INET), 23}) {
        address.addr.family = uint16_t(family);
        EXPECT_NE(vtr_socket_connect_udp(&sock, &address), VTR_SUCCESS);
        EXPECT_EQ(sock, VTR_SOCKET_INVALID);
    }

    // Opening needs a location holding no socket, and leaves an occupied one alone.
    ASSERT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_SUCCESS);
    vtr_socket before = sock;
    EXPECT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_connect_udp(&sock, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(sock, before);
#if !defined(_WIN32)
    EXPECT_NE(fcntl(static_cast<int>(sock), F_GETFD) & FD_CLOEXEC, 0);
#endif
    UdpPeer first;
    EXPECT_EQ(vtr_socket_bind(sock, &first.address), VTR_ADDRINUSE);
    EXPECT_EQ(vtr_socket_close(&sock), VTR_SUCCESS);
    EXPECT_EQ(sock, VTR_SOCKET_INVALID);
    EXPECT_EQ(vtr_socket_close(&sock), VTR_SUCCESS);
}

TEST(Socket, DatagramsBothWays) {
    UdpPeer server;
    char buffer[16];
    size_t length = sizeof buffer;
    EXPECT_EQ(vtr_socket_recv(server.sock, buffer, &length), VTR_TIMEDOUT); // nothing yet
    EXPECT_EQ(length, sizeof buffer);

    vtr_socket client = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_socket_connect_udp(&client, &server.address), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_set_blocking(client, false), VTR_SUCCESS);
    vtr_address client_address, from{};
    ASSERT_EQ(vtr_socket_get_local_address(client, &client_address), VTR_SUCCESS);
    length = 5;
    ASSERT_EQ(vtr_socket_send(client, "hello", &length), VTR_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(receive(server.sock, 64, &from), "hello");
    EXPECT_EQ(from.length, 16u);
    EXPECT_TRUE(vtr_address_equal(&from, &client_address));
    length = 6;
    ASSERT_EQ(vtr_socket_sendto(server.sock, "answer", &length, &from), VTR_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(receive(client, 64), "answer");

    // A datagram longer than the buffer is MSGSIZE and consumed; the next arrives whole.
    std::string big(100, 'x');
    for (const std::string &datagram : {big, std::string("y"), big}) {
        length = datagram.size();
        ASSERT_EQ(vtr_socket_send(client, datagram.data(), &length), VTR_SUCCESS);
    }
    EXPECT_EQ(receive(server.sock, 10, &from), "MSGSIZE");
    EXPECT_EQ(receive(server.sock, 10, &from), "y");
    EXPECT_EQ(receive(server.sock, 10), "MSGSIZE"); // a plain receive too
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
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(receive(sock, 64, nullptr, 1000), "CONNRESET");
    vtr_socket_close(&sock);
}

} // namespace
