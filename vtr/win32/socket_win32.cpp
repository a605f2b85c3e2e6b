// UDP sockets on Windows sockets.
#include "vtr/core_internal.h"
#include "vtr/vtr_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <cstring>

static_assert(sizeof(SOCKET) == sizeof(vtr_socket));
static_assert(INVALID_SOCKET == VTR_SOCKET_INVALID);

namespace {

// Whether a datagram sent to a closed port makes a later receive fail with WSAECONNRESET.
void report_port_unreachable(SOCKET s, BOOL on) {
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &on, sizeof on, nullptr, 0, &returned, nullptr, nullptr);
}

vtr_error open_error(void) {
    vtr_error error = vtr_error_from_last_system();
    return error == VTR_SUCCESS ? VTR_INVALIDPARAMETER : error;
}

int clamp_length(size_t length) {
    return length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length);
}

} // namespace

vtr_error vtr_socket_open_udp(vtr_socket *sock, int family) {
    if (sock == nullptr || *sock != VTR_SOCKET_INVALID) {
        return VTR_INVALIDPARAMETER;
    }
    SOCKET s = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return open_error();
    }
    report_port_unreachable(s, FALSE);
    *sock = static_cast<vtr_socket>(s);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_connect_native(vtr_socket sock, const vtr_address *address) {
    SOCKET s = static_cast<SOCKET>(sock);
    if (connect(s, reinterpret_cast<const sockaddr *>(&address->addr),
                static_cast<int>(address->length)) != 0) {
        return open_error();
    }
    report_port_unreachable(s, TRUE);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_bind(vtr_socket sock, const vtr_address *address) {
    if (sock == VTR_SOCKET_INVALID || address == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (bind(static_cast<SOCKET>(sock), reinterpret_cast<const sockaddr *>(&address->addr),
             static_cast<int>(address->length)) != 0) {
        return vtr_error_from_last_system();
    }
    return VTR_SUCCESS;
}

vtr_error vtr_socket_close(vtr_socket *sock) {
    if (sock == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (*sock == VTR_SOCKET_INVALID) {
        return VTR_SUCCESS;
    }
    SOCKET s = static_cast<SOCKET>(*sock);
    *sock = VTR_SOCKET_INVALID;
    if (closesocket(s) != 0) {
        return vtr_error_from_last_system();
    }
    return VTR_SUCCESS;
}

bool vtr_socket_is_valid(vtr_socket sock) { return sock != VTR_SOCKET_INVALID; }

vtr_error vtr_socket_set_blocking(vtr_socket sock, bool blocking) {
    if (sock == VTR_SOCKET_INVALID) {
        return VTR_INVALIDPARAMETER;
    }
    u_long non_blocking = blocking ? 0 : 1;
    if (ioctlsocket(static_cast<SOCKET>(sock), FIONBIO, &non_blocking) != 0) {
        return vtr_error_from_last_system();
    }
    return VTR_SUCCESS;
}

vtr_error vtr_socket_get_local_address(vtr_socket sock, vtr_address *address) {
    if (sock == VTR_SOCKET_INVALID || address == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    int length = sizeof local;
    if (getsockname(static_cast<SOCKET>(sock), reinterpret_cast<sockaddr *>(&local), &length) !=
        0) {
        return vtr_error_from_last_system();
    }
    vtr_address_from_native(address, &local, static_cast<size_t>(length));
    return VTR_SUCCESS;
}

vtr_error vtr_socket_recv(vtr_socket sock, void *buffer, size_t *length) {
    if (sock == VTR_SOCKET_INVALID || buffer == nullptr || length == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    int n = recv(static_cast<SOCKET>(sock), static_cast<char *>(buffer), clamp_length(*length), 0);
    if (n == SOCKET_ERROR) {
        return vtr_error_from_last_system();
    }
    *length = static_cast<size_t>(n);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_recvfrom(vtr_socket sock, void *buffer, size_t *length, vtr_address *source) {
    if (sock == VTR_SOCKET_INVALID || buffer == nullptr || length == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    int from_length = sizeof from;
    int n = recvfrom(static_cast<SOCKET>(sock), static_cast<char *>(buffer),
                     clamp_length(*length), 0,
                     source != nullptr ? reinterpret_cast<sockaddr *>(&from) : nullptr,
                     source != nullptr ? &from_length : nullptr);
    if (n == SOCKET_ERROR) {
        return vtr_error_from_last_system();
    }
    if (source != nullptr) {
        vtr_address_from_native(source, &from, static_cast<size_t>(from_length));
    }
    *length = static_cast<size_t>(n);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_send(vtr_socket sock, const void *data, size_t *length) {
    if (sock == VTR_SOCKET_INVALID || length == nullptr || (data == nullptr && *length != 0)) {
        return VTR_INVALIDPARAMETER;
    }
    int n = send(static_cast<SOCKET>(sock), static_cast<const char *>(data),
                 clamp_length(*length), 0);
    if (n == SOCKET_ERROR) {
        return vtr_error_from_last_system();
    }
    *length = static_cast<size_t>(n);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_sendto(vtr_socket sock, const void *data, size_t *length,
                            const vtr_address *address) {
    if (sock == VTR_SOCKET_INVALID || length == nullptr || address == nullptr ||
        (data == nullptr && *length != 0)) {
        return VTR_INVALIDPARAMETER;
    }
    int n = sendto(static_cast<SOCKET>(sock), static_cast<const char *>(data),
                   clamp_length(*length), 0, reinterpret_cast<const sockaddr *>(&address->addr),
                   static_cast<int>(address->length));
    if (n == SOCKET_ERROR) {
        return vtr_error_from_last_system();
    }
    *length = static_cast<size_t>(n);
    return VTR_SUCCESS;
}
