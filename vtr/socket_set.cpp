// Socket sets of up to 1024 members, in the order they were added.
#include "vtr/vtr_socket.h"

#include <algorithm>

#include <cstring>

void vtr_socket_set_zero(vtr_socket_set *set) {
    if (set != nullptr) {
        set->count = 0;
    }
}

bool vtr_socket_set_contains(const vtr_socket_set *set, vtr_socket sock) {
    if (set == nullptr) {
        return false;
    }
    uint32_t count = std::min<uint32_t>(set->count, VTR_SOCKET_SET_MAX);
    for (uint32_t i = 0; i < count; ++i) {
        if (set->sockets[i] == sock) {
            return true;
        }
    }
    return false;
}

bool vtr_socket_set_add(vtr_socket_set *set, vtr_socket sock) {
    if (set == nullptr) {
        return false;
    }
    if (vtr_socket_set_contains(set, sock)) {
        return true;
    }
    if (set->count >= VTR_SOCKET_SET_MAX) {
        return false;
    }
    set->sockets[set->count++] = sock;
    return true;
}

void vtr_socket_set_remove(vtr_socket_set *set, vtr_socket sock) {
    if (set == nullptr) {
        return;
    }
    uint32_t count = std::min<uint32_t>(set->count, VTR_SOCKET_SET_MAX);
    for (uint32_t i = 0; i < count; ++i) {
        if (set->sockets[i] == sock) {
            std::memmove(&set->sockets[i], &set->sockets[i + 1],
                         (count - i - 1) * sizeof set->sockets[0]);
            set->count = count - 1;
            return;
        }
    }
}
