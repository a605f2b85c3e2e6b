// IPv4 UDP sockets, addresses, socket sets, text utilities and platform start-up.
#pragma once

#include "vtr/vtr_error.h"
#include "vtr/vtr_time.h"

#include <cstddef>
#include <cstdint>

// The platform's socket handle (SOCKET on Windows, a descriptor on POSIX).
typedef uintptr_t vtr_socket;
#define VTR_SOCKET_INVALID (~(vtr_socket)0)

enum { VTR_AF_UNSPEC = 0, VTR_AF_INET = 2 };

// The platform's IPv4 socket address, byte for byte (family, port and address in network
// order, zero filler).
struct vtr_sockaddr_in {
    uint16_t family;
    uint16_t port_be;
    uint32_t addr_be;
    uint8_t zero[8];
};
static_assert(sizeof(vtr_sockaddr_in) == 16);

struct vtr_address {
    uint32_t length; // bytes of the socket address in use: 16 for IPv4
    vtr_sockaddr_in addr;
};

vtr_error vtr_address_set_ipv4(vtr_address *address, int family, const char *text, uint16_t port);
// The address in network order.
vtr_error vtr_address_parse_ipv4(const char *text, uint32_t *address_be);
uint16_t vtr_address_port(const vtr_address *address);
bool vtr_address_equal(const vtr_address *a, const vtr_address *b);
char *vtr_inet_ntoa(uint32_t address_be, char *buffer, size_t size);
// "127.0.0.1:8899 (len=16)"; "" for other families.
char *vtr_address_to_string(const vtr_address *address, char *buffer, size_t size);

vtr_error vtr_socket_open_udp(vtr_socket *sock, int family);
vtr_error vtr_socket_connect_udp(vtr_socket *sock, const vtr_address *address);
// Binds an open socket to an address (the simulated manager and tests listen with it).
vtr_error vtr_socket_bind(vtr_socket sock, const vtr_address *address);
vtr_error vtr_socket_close(vtr_socket *sock);
bool vtr_socket_is_valid(vtr_socket sock);
vtr_error vtr_socket_set_blocking(vtr_socket sock, bool blocking);
vtr_error vtr_socket_get_local_address(vtr_socket sock, vtr_address *address);
// On entry *length is the capacity; on success the number of bytes received. Nothing to
// read on a non-blocking socket gives TIMEDOUT; a datagram longer than the buffer gives
// MSGSIZE (and is consumed); a port-unreachable report on a connected socket gives CONNRESET.
vtr_error vtr_socket_recv(vtr_socket sock, void *buffer, size_t *length);
vtr_error vtr_socket_recvfrom(vtr_socket sock, void *buffer, size_t *length, vtr_address *source);
vtr_error vtr_socket_send(vtr_socket sock, const void *data, size_t *length);
vtr_error vtr_socket_sendto(vtr_socket sock, const void *data, size_t *length,
                            const vtr_address *address);

// A set of up to 1024 sockets, as the Windows socket set holds.
enum { VTR_SOCKET_SET_MAX = 1024 };
struct vtr_socket_set {
    uint32_t count;
    vtr_socket sockets[VTR_SOCKET_SET_MAX];
};
void vtr_socket_set_zero(vtr_socket_set *set);
bool vtr_socket_set_contains(const vtr_socket_set *set, vtr_socket sock);
// false when the set is full; adding a member again changes nothing.
bool vtr_socket_set_add(vtr_socket_set *set, vtr_socket sock);
// Later entries move down.
void vtr_socket_set_remove(vtr_socket_set *set, vtr_socket sock);

enum { VTR_WATCH_READ = 0, VTR_WATCH_WRITE = 1, VTR_WATCH_EXCEPT = 2 };

// The three sets of one wait (readable, writable, exception) and their total socket count.
struct vtr_socket_sets {
    vtr_socket_set kind[3];
    uint32_t count;
};

// Waits until a socket of the readable or writable set is ready or the timeout passes
// (select on Windows, poll on POSIX; the exception set is not passed). On return the two
// sets hold only the ready sockets. Timeout passing with nothing ready is SUCCESS with empty
// sets.
vtr_error vtr_socket_wait(vtr_socket_set *readable, vtr_socket_set *writable,
                          const vtr_time *timeout);

// Bounded text copies; the return value is the length the full result would have.
size_t vtr_strlcpy(char *dst, const char *src, size_t size);
size_t vtr_strlcat(char *dst, const char *src, size_t size);
size_t vtr_wcslcpy(char16_t *dst, const char16_t *src, size_t size);

// Once per process, before any socket: Windows sockets 2.2 and the window class on Windows.
vtr_error vtr_platform_init(void);
