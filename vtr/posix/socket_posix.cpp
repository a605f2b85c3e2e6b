// UDP sockets on POSIX descriptors, with the receive errors reported as on Windows.
#include "vtr/core_internal.h"
#include "vtr/vtr_socket.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool to_fd(vtr_socket sock, int *fd) {
    if (sock == VTR_SOCKET_INVALID || sock > static_cast<vtr_socket>(INT_MAX)) {
        return false;
    }
    *fd = static_cast<int>(sock);
    return true;
}

// A connected datagram socket on Linux reports a port-unreachable report on whichever call
// comes next, a send included. Windows reports it only on a receive and sends the datagram
// anyway. A send that meets the report sends again and leaves the report here for the
// socket's next receive.
std::mutex pending_mutex;
std::unordered_set<int> pending_resets;
std::atomic<int> pending_count{0};

void pending_set(int fd) {
    std::lock_guard<std::mutex> lock(pending_mutex);
    if (pending_resets.insert(fd).second) {
        pending_count.fetch_add(1);
    }
}

bool pending_take(int fd) {
    if (pending_count.load() == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(pending_mutex);
    if (pending_resets.erase(fd) == 0) {
        return false;
    }
    pending_count.fetch_sub(1);
    return true;
}

// A receive's errno as the runtime's error: nothing to read is TIMEDOUT and a refused
// datagram (port unreachable on a connected socket) is CONNRESET.
vtr_error receive_error(void) {
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return VTR_TIMEDOUT;
    case ECONNREFUSED:
        return VTR_CONNRESET;
    default:
        return vtr_error_from_last_system();
    }
}

vtr_error receive(vtr_socket sock, void *buffer, size_t *length, vtr_address *source) {
    int fd;
    if (!to_fd(sock, &fd) || buffer == nullptr || length == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (pending_take(fd)) {
        return VTR_CONNRESET;
    }
    iovec iov;
    iov.iov_base = buffer;
    iov.iov_len = *length;
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    if (source != nullptr) {
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
    }
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return receive_error();
    }
    // The rest of a datagram longer than the buffer is gone, as with WSAEMSGSIZE.
    if ((msg.msg_flags & MSG_TRUNC) != 0) {
        return VTR_MSGSIZE;
    }
    if (source != nullptr) {
        vtr_address_from_native(source, &from, msg.msg_namelen);
    }
    *length = static_cast<size_t>(n);
    return VTR_SUCCESS;
}

vtr_error transmit(vtr_socket sock, const void *data, size_t *length, const vtr_address *to) {
    int fd;
    if (!to_fd(sock, &fd) || length == nullptr || (data == nullptr && *length != 0)) {
        return VTR_INVALIDPARAMETER;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        ssize_t n;
        if (to != nullptr) {
            n = sendto(fd, data, *length, MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&to->addr),
                       static_cast<socklen_t>(to->length));
        } else {
            n = send(fd, data, *length, MSG_NOSIGNAL);
        }
        if (n >= 0) {
            *length = static_cast<size_t>(n);
            return VTR_SUCCESS;
        }
        if (errno == ECONNREFUSED) {
            pending_set(fd); // the failed call consumed the report: keep it for the receive
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return VTR_TIMEDOUT;
        }
        return vtr_error_from_last_system();
    }
    return VTR_CONNRESET;
}

vtr_error open_error(void) {
    vtr_error error = vtr_error_from_last_system();
    return error == VTR_SUCCESS ? VTR_INVALIDPARAMETER : error;
}

} // namespace

vtr_error vtr_socket_open_udp(vtr_socket *sock, int family) {
    if (sock == nullptr || *sock != VTR_SOCKET_INVALID) {
        return VTR_INVALIDPARAMETER;
    }
    // An unconnected datagram socket on Linux never reports port-unreachable on a receive,
    // which is the Windows socket with SIO_UDP_CONNRESET switched off.
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return open_error();
    }
    *sock = static_cast<vtr_socket>(fd);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_connect_native(vtr_socket sock, const vtr_address *address) {
    // Connected, a Linux datagram socket reports port-unreachable on the next receive, as the
    // Windows socket does with SIO_UDP_CONNRESET switched on.
    if (connect(static_cast<int>(sock), reinterpret_cast<const sockaddr *>(&address->addr),
                static_cast<socklen_t>(address->length)) != 0) {
        return open_error();
    }
    return VTR_SUCCESS;
}

vtr_error vtr_socket_bind(vtr_socket sock, const vtr_address *address) {
    int fd;
    if (!to_fd(sock, &fd) || address == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address->addr),
             static_cast<socklen_t>(address->length)) != 0) {
        return vtr_error_from_last_system();
    }
    return VTR_SUCCESS;
}

vtr_error vtr_socket_close(vtr_socket *sock) {
    if (sock == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    int fd;
    if (!to_fd(*sock, &fd)) {
        *sock = VTR_SOCKET_INVALID;
        return VTR_SUCCESS;
    }
    pending_take(fd);
    *sock = VTR_SOCKET_INVALID;
    if (close(fd) != 0 && errno != EINTR) {
        return vtr_error_from_last_system();
    }
    return VTR_SUCCESS;
}

bool vtr_socket_is_valid(vtr_socket sock) { return sock != VTR_SOCKET_INVALID; }

vtr_error vtr_socket_set_blocking(vtr_socket sock, bool blocking) {
    int fd;
    if (!to_fd(sock, &fd)) {
        return VTR_INVALIDPARAMETER;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return vtr_error_from_last_system();
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) != 0) {
        return vtr_error_from_last_system();
    }
    return VTR_SUCCESS;
}

vtr_error vtr_socket_get_local_address(vtr_socket sock, vtr_address *address) {
    int fd;
    if (!to_fd(sock, &fd) || address == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return vtr_error_from_last_system();
    }
    vtr_address_from_native(address, &local, length);
    return VTR_SUCCESS;
}

vtr_error vtr_socket_recv(vtr_socket sock, void *buffer, size_t *length) {
    return receive(sock, buffer, length, nullptr);
}

vtr_error vtr_socket_recvfrom(vtr_socket sock, void *buffer, size_t *length, vtr_address *source) {
    return receive(sock, buffer, length, source);
}

vtr_error vtr_socket_send(vtr_socket sock, const void *data, size_t *length) {
    return transmit(sock, data, length, nullptr);
}

vtr_error vtr_socket_sendto(vtr_socket sock, const void *data, size_t *length,
                            const vtr_address *address) {
    if (address == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    return transmit(sock, data, length, address);
}
