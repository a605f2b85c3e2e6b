// Waiting on socket sets with select; the sets hold up to 1024 sockets, as ours do.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <windows.h>

#include "vtr/time_platform.h"
#include "vtr/vtr_socket.h"

#include <algorithm>

static_assert(FD_SETSIZE == VTR_SOCKET_SET_MAX);

namespace {

uint32_t set_count(const vtr_socket_set *set) {
    if (set == nullptr) {
        return 0;
    }
    return std::min<uint32_t>(set->count, VTR_SOCKET_SET_MAX);
}

void fill(fd_set *fds, const vtr_socket_set *set) {
    fds->fd_count = set_count(set);
    for (u_int i = 0; i < fds->fd_count; ++i) {
        fds->fd_array[i] = static_cast<SOCKET>(set->sockets[i]);
    }
}

void keep_ready(vtr_socket_set *set, fd_set *fds) {
    if (set == nullptr) {
        return;
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < set_count(set); ++i) {
        if (FD_ISSET(static_cast<SOCKET>(set->sockets[i]), fds)) {
            set->sockets[kept++] = set->sockets[i];
        }
    }
    set->count = kept;
}

} // namespace

vtr_error vtr_socket_wait(vtr_socket_set *readable, vtr_socket_set *writable,
                          const vtr_time *timeout) {
    uint32_t total = set_count(readable) + set_count(writable);
    if (total == 0) {
        // select refuses empty sets; the wait is then only the timeout.
        if (timeout == nullptr) {
            return VTR_INVALIDPARAMETER;
        }
        vtr_time t = vtr_time_normalise(*timeout);
        if (t.sec < 0) {
            return VTR_SUCCESS;
        }
        return vtr_platform_sleep_ms(static_cast<uint64_t>(t.sec) * 1000 + (t.usec + 999u) / 1000);
    }
    fd_set rfds;
    fd_set wfds;
    fill(&rfds, readable);
    fill(&wfds, writable);
    timeval tv{};
    timeval *tvp = nullptr;
    if (timeout != nullptr) {
        vtr_time t = vtr_time_normalise(*timeout);
        if (t.sec >= 0) {
            tv.tv_sec = t.sec;
            tv.tv_usec = static_cast<long>(t.usec);
        }
        tvp = &tv;
    }
    if (select(0, &rfds, &wfds, nullptr, tvp) == SOCKET_ERROR) {
        return vtr_error_from_system(static_cast<uint32_t>(WSAGetLastError()));
    }
    keep_ready(readable, &rfds);
    keep_ready(writable, &wfds);
    return VTR_SUCCESS;
}
