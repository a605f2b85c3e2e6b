// Waiting on socket sets with poll, which, unlike select, takes descriptors of any value.
#include "vtr/time_platform.h"
#include "vtr/vtr_socket.h"

#include <algorithm>

#include <cerrno>
#include <climits>
#include <poll.h>

namespace {

uint32_t set_count(const vtr_socket_set *set) {
    if (set == nullptr) {
        return 0;
    }
    return std::min<uint32_t>(set->count, VTR_SOCKET_SET_MAX);
}

int timeout_ms(const vtr_time *timeout) {
    if (timeout == nullptr) {
        return -1;
    }
    if (timeout->sec < 0) {
        return 0;
    }
    uint64_t ms = static_cast<uint64_t>(timeout->sec) * 1000 + (timeout->usec + 999ull) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Keeps the members whose entry reports readiness, in their order.
void keep_ready(vtr_socket_set *set, const pollfd *fds, short events) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < set_count(set); ++i) {
        if ((fds[i].revents & (events | POLLERR | POLLHUP)) != 0) {
            set->sockets[kept++] = set->sockets[i];
        }
    }
    set->count = kept;
}

} // namespace

vtr_error vtr_socket_wait(vtr_socket_set *readable, vtr_socket_set *writable,
                          const vtr_time *timeout) {
    uint32_t nread = set_count(readable);
    uint32_t nwrite = set_count(writable);
    if (nread + nwrite == 0 && timeout == nullptr) {
        return VTR_INVALIDPARAMETER; // nothing could ever end the wait
    }
    pollfd fds[2 * VTR_SOCKET_SET_MAX];
    for (uint32_t i = 0; i < nread + nwrite; ++i) {
        vtr_socket sock = i < nread ? readable->sockets[i] : writable->sockets[i - nread];
        if (sock > static_cast<vtr_socket>(INT_MAX)) {
            return VTR_NOTSOCK;
        }
        fds[i].fd = static_cast<int>(sock);
        fds[i].events = i < nread ? POLLIN : POLLOUT;
        fds[i].revents = 0;
    }
    int ready = poll(fds, nread + nwrite, timeout_ms(timeout));
    if (ready < 0) {
        return errno == EINTR ? VTR_INTERRUPTED : vtr_error_from_last_system();
    }
    for (uint32_t i = 0; i < nread + nwrite; ++i) {
        if ((fds[i].revents & POLLNVAL) != 0) {
            return VTR_NOTSOCK; // what select reports for a handle that is no socket
        }
    }
    if (readable != nullptr) {
        keep_ready(readable, fds, POLLIN);
    }
    if (writable != nullptr) {
        keep_ready(writable, fds + nread, POLLOUT);
    }
    return VTR_SUCCESS;
}
