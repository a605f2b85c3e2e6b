// Socket watches: per kind a list of watches and the master set the owner waits on. Changes
// made while watches are being called are deferred to the cleanup after the calls.
#include "vtr/loop_internal.h"

#include <new>

namespace {

void watch_unlink(vtr_watch_kind &k, vtr_watch *w) {
    (w->prev != nullptr ? w->prev->next : k.head) = w->next;
    (w->next != nullptr ? w->next->prev : k.tail) = w->prev;
}

void watch_free(vtr_watch_kind &k, vtr_watch *w) {
    watch_unlink(k, w);
    vtr_socket_set_remove(&k.master, w->sock);
    delete w;
}

void watch_remove(vtr_watch_sets &sets, vtr_watch *w) {
    vtr_watch_kind &k = sets.kind[w->kind];
    if (sets.dispatching) {
        w->state = VTR_WATCH_REMOVED;
        k.cleanup = true;
        return;
    }
    watch_free(k, w);
}

vtr_watch *watch_find(vtr_watch_kind &k, vtr_socket sock) {
    if (!vtr_socket_set_contains(&k.master, sock)) {
        return nullptr;
    }
    vtr_watch *w = k.head;
    while (w != nullptr && w->sock != sock) {
        w = w->next;
    }
    return w;
}

} // namespace

vtr_error vtr_socket_watch(vtr_event_loop *loop, vtr_socket sock, uint32_t kind, vtr_watch_fn fn,
                           void *context, uint32_t mode) {
    if (loop == nullptr || sock == VTR_SOCKET_INVALID || kind > VTR_WATCH_EXCEPT ||
        mode > VTR_WATCH_NEW) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_watch_sets &sets = loop->watches;
    vtr_watch_kind &k = sets.kind[kind];
    vtr_watch *w = watch_find(k, sock);
    bool live = w != nullptr && w->state != VTR_WATCH_REMOVED;
    if (mode == VTR_WATCH_NEW && live) {
        return VTR_ALREADY;
    }
    if (mode == VTR_WATCH_EXISTING && !live) {
        return VTR_NOTFOUND;
    }

    if (live) {
        if (fn != nullptr) {
            w->fn = fn;
            w->context = context;
        } else {
            watch_remove(sets, w);
        }
        return VTR_SUCCESS;
    }
    if (fn == nullptr) {
        return VTR_SUCCESS;
    }
    if (w != nullptr) {
        // Removed earlier in this dispatch: bring it back, active from the cleanup on.
        w->fn = fn;
        w->context = context;
        w->state = VTR_WATCH_ADDED;
        k.cleanup = true;
        return VTR_SUCCESS;
    }
    // A watch whose socket the master set cannot take would never fire; refuse it instead.
    if (k.master.count >= VTR_SOCKET_SET_MAX) {
        return VTR_NOBUFS;
    }
    w = new (std::nothrow) vtr_watch{};
    if (w == nullptr) {
        return VTR_NOMEMORY;
    }
    w->sock = sock;
    w->kind = kind;
    w->fn = fn;
    w->context = context;
    if (sets.dispatching) {
        w->state = VTR_WATCH_ADDED;
        k.cleanup = true;
    } else {
        w->state = VTR_WATCH_ACTIVE;
    }
    w->prev = k.tail;
    (k.tail != nullptr ? k.tail->next : k.head) = w;
    k.tail = w;
    vtr_socket_set_add(&k.master, sock);
    return VTR_SUCCESS;
}

namespace {

// Ends a dispatch, also one that a throwing callback left: the changes it made settle.
struct DispatchEnd {
    vtr_watch_sets &sets;
    ~DispatchEnd() {
        sets.dispatching = false;
        for (vtr_watch_kind &k : sets.kind) {
            if (!k.cleanup) {
                continue;
            }
            k.cleanup = false;
            vtr_watch *next = nullptr;
            for (vtr_watch *w = k.head; w != nullptr; w = next) {
                next = w->next;
                if (w->state == VTR_WATCH_REMOVED) {
                    watch_free(k, w);
                } else if (w->state == VTR_WATCH_ADDED) {
                    w->state = VTR_WATCH_ACTIVE;
                }
            }
        }
    }
};

} // namespace

vtr_error vtr_watch_sets_dispatch(vtr_event_loop *loop, vtr_socket_sets *ready) {
    vtr_watch_sets &sets = loop->watches;
    DispatchEnd end{sets};
    sets.dispatching = true;
    for (uint32_t kind = 0; kind < 3; ++kind) {
        vtr_socket_set &ready_set = ready->kind[kind];
        // Watches are only marked during the walk, never unlinked, so w->next stays valid.
        for (vtr_watch *w = sets.kind[kind].head; w != nullptr; w = w->next) {
            if (w->state != VTR_WATCH_ACTIVE || !vtr_socket_set_contains(&ready_set, w->sock)) {
                continue;
            }
            vtr_socket_set_remove(&ready_set, w->sock);
            w->fn(VTR_SUCCESS, w->sock, kind, w->context);
        }
    }
    return VTR_SUCCESS;
}

void vtr_watch_sets_clear(vtr_event_loop *loop) {
    for (vtr_watch_kind &k : loop->watches.kind) {
        while (vtr_watch *w = k.head) {
            watch_free(k, w);
        }
        k.cleanup = false;
    }
}
