// Addresses, UDP sockets on loopback and platform start-up.
#include "udp_peer.h"
#include "vtr/vtr_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#endif

namespace {

TEST(Address, SetParseAndText) {
    vtr_address address;
    ASSERT_EQ(vtr_address_set_ipv4(&address, VTR_AF_INET, "127.0.0.1", 8899), VTR_SUCCESS);
    EXPECT_EQ(address.length, 16u);
    EXPECT_EQ(address.addr.family, VTR_AF_INET);
    EXPECT_EQ(vtr_address_port(&address), 8899);
    const uint8_t *port = reinterpret_cast<const uint8_t *>(&address.addr.port_be);
    EXPECT_EQ(port[0], 0x22); // network order
    EXPECT_EQ(port[1], 0xC3);
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(&address.addr.addr_be);
    EXPECT_EQ(ip[0], 127);
    EXPECT_EQ(ip[3], 1);
    char text[32];
    EXPECT_STREQ(vtr_address_to_string(&address, text, sizeof text), "127.0.0.1:8899 (len=16)");

    EXPECT_EQ(vtr_address_set_ipv4(&address, VTR_AF_UNSPEC, "127.0.0.1", 1), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_address_set_ipv4(&address, 23, "127.0.0.1", 1), VTR_NOTSUPPORTED);
    EXPECT_EQ(vtr_address_set_ipv4(&address, VTR_AF_INET, "no address", 1), VTR_INVALIDPARAMETER);
}

TEST(Address, ParseIpv4) {
    uint32_t value = 0;
    EXPECT_EQ(vtr_address_parse_ipv4("255.255.255.255", &value), VTR_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(vtr_address_parse_ipv4("10.1.2.3", &value), VTR_SUCCESS);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&value);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[3], 3);
    EXPECT_EQ(vtr_address_parse_ipv4("0.0.0.0", &value), VTR_SUCCESS);
    EXPECT_EQ(value, 0u);
    value = 7;
    EXPECT_EQ(vtr_address_parse_ipv4("localhost", &value), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_address_parse_ipv4("1.2.3.4.5", &value), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_address_parse_ipv4("256.1.1.1", &value), VTR_INVALIDPARAMETER);
    EXPECT_EQ(value, 7u);
}

TEST(Address, TextFormsAreCutOrEmpty) {
    vtr_address address;
    ASSERT_EQ(vtr_address_set_ipv4(&address, VTR_AF_INET, "192.168.100.200", 65535), VTR_SUCCESS);
    char text[50];
    EXPECT_STREQ(vtr_address_to_string(&address, text, sizeof text),
                 "192.168.100.200:65535 (len=16)");
    EXPECT_STREQ(vtr_address_to_string(&address, text, 20), "192.168.100.200:655");
    // The dotted text itself does not fit: empty.
    EXPECT_STREQ(vtr_address_to_string(&address, text, 10), "");
    vtr_address other{};
    EXPECT_STREQ(vtr_address_to_string(&other, text, sizeof text), "");
    EXPECT_EQ(vtr_address_port(&other), 0);

    EXPECT_STREQ(vtr_inet_ntoa(address.addr.addr_be, text, sizeof text), "192.168.100.200");
    EXPECT_EQ(vtr_inet_ntoa(address.addr.addr_be, text, 15), nullptr);
    EXPECT_NE(vtr_inet_ntoa(address.addr.addr_be, text, 16), nullptr);
}

TEST(Address, Equality) {
    vtr_address a, b;
    ASSERT_EQ(vtr_address_set_ipv4(&a, VTR_AF_INET, "127.0.0.1", 8899), VTR_SUCCESS);
    ASSERT_EQ(vtr_address_set_ipv4(&b, VTR_AF_INET, "127.0.0.1", 8899), VTR_SUCCESS);
    EXPECT_TRUE(vtr_address_equal(&a, &b));
    b.addr.port_be = static_cast<uint16_t>(b.addr.port_be + 1);
    EXPECT_FALSE(vtr_address_equal(&a, &b));
    EXPECT_FALSE(vtr_address_equal(&a, nullptr));
    EXPECT_FALSE(vtr_address_equal(nullptr, &a));
    vtr_address empty{};
    EXPECT_FALSE(vtr_address_equal(&empty, &empty));
    // Only the first length-of-a bytes count.
    ASSERT_EQ(vtr_address_set_ipv4(&b, VTR_AF_INET, "127.0.0.2", 8899), VTR_SUCCESS);
    a.length = 4; // family and port
    EXPECT_TRUE(vtr_address_equal(&a, &b));
}

class Socket : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(vtr_platform_init(), VTR_SUCCESS); }
};

TEST_F(Socket, PlatformStartUpCanBeRepeated) { EXPECT_EQ(vtr_platform_init(), VTR_SUCCESS); }

TEST_F(Socket, InvalidHandlesAndLocations) {
    vtr_socket sock = VTR_SOCKET_INVALID;
    EXPECT_FALSE(vtr_socket_is_valid(sock));
    char buffer[8];
    size_t length = sizeof buffer;
    vtr_address address{};
    EXPECT_EQ(vtr_socket_recv(sock, buffer, &length), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_recvfrom(sock, buffer, &length, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_send(sock, buffer, &length), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_sendto(sock, buffer, &length, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_set_blocking(sock, false), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_get_local_address(sock, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_bind(sock, &address), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_close(nullptr), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_open_udp(nullptr, VTR_AF_INET), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_socket_connect_udp(&sock, nullptr), VTR_INVALIDPARAMETER);
    EXPECT_EQ(length, sizeof buffer);
}

TEST_F(Socket, OpenRefusesAnOccupiedLocationAndCloseIsIdempotent) {
    vtr_socket sock = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_SUCCESS);
    ASSERT_TRUE(vtr_socket_is_valid(sock));
    vtr_socket before = sock;
    EXPECT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_INVALIDPARAMETER);
    EXPECT_EQ(sock, before);
#if !defined(_WIN32)
    EXPECT_NE(fcntl(static_cast<int>(sock), F_GETFD) & FD_CLOEXEC, 0);
#endif
    EXPECT_EQ(vtr_socket_close(&sock), VTR_SUCCESS);
    EXPECT_EQ(sock, VTR_SOCKET_INVALID);
    EXPECT_EQ(vtr_socket_close(&sock), VTR_SUCCESS);
}

TEST_F(Socket, EmptyNonBlockingSocketTimesOut) {
    UdpPeer peer;
    char buffer[16];
    size_t length = sizeof buffer;
    EXPECT_EQ(vtr_socket_recv(peer.sock, buffer, &length), VTR_TIMEDOUT);
    EXPECT_EQ(vtr_socket_recvfrom(peer.sock, buffer, &length, nullptr), VTR_TIMEDOUT);
    EXPECT_EQ(length, sizeof buffer);
}

TEST_F(Socket, DatagramsBothWays) {
    UdpPeer server;
    vtr_socket client = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_socket_connect_udp(&client, &server.address), VTR_SUCCESS);
    vtr_address client_address;
    ASSERT_EQ(vtr_socket_get_local_address(client, &client_address), VTR_SUCCESS);

    size_t length = 5;
    ASSERT_EQ(vtr_socket_send(client, "hello", &length), VTR_SUCCESS);
    EXPECT_EQ(length, 5u);
    std::string data;
    vtr_address from{};
    ASSERT_EQ(server.receive(&data, 64, &from), VTR_SUCCESS);
    EXPECT_EQ(data, "hello");
    EXPECT_EQ(from.length, 16u);
    EXPECT_TRUE(vtr_address_equal(&from, &client_address));

    length = 6;
    ASSERT_EQ(vtr_socket_sendto(server.sock, "answer", &length, &from), VTR_SUCCESS);
    EXPECT_EQ(length, 6u);
    ASSERT_EQ(vtr_socket_set_blocking(client, false), VTR_SUCCESS);
    char buffer[64];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    vtr_error error;
    do {
        length = sizeof buffer;
        error = vtr_socket_recv(client, buffer, &length);
        if (error == VTR_TIMEDOUT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    } while (error == VTR_TIMEDOUT && std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(error, VTR_SUCCESS);
    EXPECT_EQ(std::string(buffer, length), "answer");
    // Blocking again: set back without trouble.
    EXPECT_EQ(vtr_socket_set_blocking(client, true), VTR_SUCCESS);
    vtr_socket_close(&client);
}

TEST_F(Socket, DatagramLongerThanTheBufferIsMsgsize) {
    UdpPeer server;
    UdpPeer client;
    std::string big(100, 'x');
    size_t length = big.size();
    ASSERT_EQ(vtr_socket_sendto(client.sock, big.data(), &length, &server.address), VTR_SUCCESS);
    length = 1;
    ASSERT_EQ(vtr_socket_sendto(client.sock, "y", &length, &server.address), VTR_SUCCESS);
    std::string data;
    EXPECT_EQ(server.receive(&data, 10), VTR_MSGSIZE);
    // The long datagram is consumed; the next one arrives whole.
    ASSERT_EQ(server.receive(&data, 10), VTR_SUCCESS);
    EXPECT_EQ(data, "y");
    // A plain receive reports it the same way.
    length = big.size();
    ASSERT_EQ(vtr_socket_sendto(client.sock, big.data(), &length, &server.address), VTR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buffer[10];
    length = sizeof buffer;
    EXPECT_EQ(vtr_socket_recv(server.sock, buffer, &length), VTR_MSGSIZE);
}

// A free loopback port: bound once by the system, then released.
vtr_address closed_port(void) {
    UdpPeer probe;
    return probe.address;
}

vtr_error receive_within(vtr_socket sock, int milliseconds) {
    char buffer[64];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    vtr_error error;
    do {
        size_t length = sizeof buffer;
        error = vtr_socket_recv(sock, buffer, &length);
        if (error == VTR_TIMEDOUT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    } while (error == VTR_TIMEDOUT && std::chrono::steady_clock::now() < deadline);
    return error;
}

TEST_F(Socket, PortUnreachableResetsAConnectedSocket) {
#if defined(_WIN32)
    // Wine does not report port-unreachable on a UDP receive as Windows does; the host's
    // report surfaces instead on a later send, as CONNREFUSED. Nothing here to check.
    GTEST_SKIP() << "no port-unreachable reports on UDP receives under wine";
#endif
    vtr_address target = closed_port();
    vtr_socket sock = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_socket_connect_udp(&sock, &target), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_set_blocking(sock, false), VTR_SUCCESS);
    size_t length = 4;
    ASSERT_EQ(vtr_socket_send(sock, "ping", &length), VTR_SUCCESS);
    EXPECT_EQ(receive_within(sock, 1000), VTR_CONNRESET);
    // Reported once.
    EXPECT_EQ(receive_within(sock, 0), VTR_TIMEDOUT);

    // Two sends before the receive: the second one still goes out and the receive still
    // sees the reset.
    length = 4;
    ASSERT_EQ(vtr_socket_send(sock, "ping", &length), VTR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    length = 4;
    ASSERT_EQ(vtr_socket_send(sock, "pong", &length), VTR_SUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(receive_within(sock, 1000), VTR_CONNRESET);
    vtr_socket_close(&sock);
}

TEST_F(Socket, UnconnectedSocketIgnoresPortUnreachable) {
    vtr_address target = closed_port();
    UdpPeer peer;
    size_t length = 4;
    ASSERT_EQ(vtr_socket_sendto(peer.sock, "ping", &length, &target), VTR_SUCCESS);
    EXPECT_EQ(receive_within(peer.sock, 200), VTR_TIMEDOUT);
}

TEST_F(Socket, FailedConnectLeavesNoSocket) {
    vtr_address address{};
    address.length = 16;
    address.addr.family = 23; // no IPv4 socket of that family
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_error error = vtr_socket_connect_udp(&sock, &address);
    EXPECT_NE(error, VTR_SUCCESS);
    EXPECT_EQ(sock, VTR_SOCKET_INVALID);

    // The socket opens but connecting fails (a truncated address): it is closed again.
    ASSERT_EQ(vtr_address_set_ipv4(&address, VTR_AF_INET, "127.0.0.1", 9), VTR_SUCCESS);
    address.length = 3;
    error = vtr_socket_connect_udp(&sock, &address);
    EXPECT_NE(error, VTR_SUCCESS);
    EXPECT_EQ(sock, VTR_SOCKET_INVALID);
}

TEST_F(Socket, BindToAPortInUse) {
    UdpPeer first;
    vtr_socket second = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_socket_open_udp(&second, VTR_AF_INET), VTR_SUCCESS);
    EXPECT_EQ(vtr_socket_bind(second, &first.address), VTR_ADDRINUSE);
    vtr_socket_close(&second);
}

} // namespace
