// The dispatcher: prepare gives the owner what to wait on and for how long; process runs
// what became due during the wait.
#include "vtr/loop_internal.h"

#include <new>

struct vtr_dispatcher {
    vtr_env *env;
    vtr_event_loop *loop;
    bool processing;
};

namespace {
// The owner wakes at least this often even with nothing scheduled.
constexpr vtr_time longest_wait{60, 0};
} // namespace

vtr_error vtr_dispatcher_new(vtr_env *env, vtr_dispatcher **dispatcher) {
    if (env == nullptr || dispatcher == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_dispatcher *d = new (std::nothrow) vtr_dispatcher{};
    if (d == nullptr) {
        return VTR_NOMEMORY;
    }
    if (env->loop == nullptr) {
        vtr_error e = vtr_event_loop_new(&env->loop);
        if (e != VTR_SUCCESS) {
            delete d;
            return e;
        }
        env->owned |= VTR_ENV_EVENT_LOOP;
    }
    d->env = env;
    d->loop = env->loop;
    *dispatcher = d;
    return VTR_SUCCESS;
}

void vtr_dispatcher_delete(vtr_dispatcher *dispatcher) {
    delete dispatcher;
}

vtr_error vtr_dispatcher_prepare(vtr_dispatcher *dispatcher, vtr_socket_sets *sets,
                                 vtr_time *timeout) {
    if (dispatcher == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_event_loop *loop = dispatcher->loop;
    if (sets != nullptr) {
        for (uint32_t kind = 0; kind < 3; ++kind) {
            const vtr_socket_set &master = loop->watches.kind[kind].master;
            vtr_socket_set &out = sets->kind[kind];
            for (uint32_t i = 0; i < master.count && out.count < VTR_SOCKET_SET_MAX; ++i) {
                vtr_socket_set_add(&out, master.sockets[i]);
            }
            sets->count += out.count;
        }
    }
    if (timeout != nullptr) {
        vtr_time now{};
        vtr_error e = vtr_time_monotonic(&now);
        if (e != VTR_SUCCESS) {
            return e;
        }
        vtr_time deadline = vtr_time_add(now, longest_wait);
        const vtr_timer *earliest = loop->timers.armed.head;
        if (earliest != nullptr && vtr_time_compare(earliest->expiry, deadline) < 0) {
            deadline = earliest->expiry;
        }
        if (vtr_deferred_queue_waiting(loop)) {
            deadline = vtr_time{0, 0};
        }
        *timeout =
            vtr_time_compare(deadline, now) > 0 ? vtr_time_sub(deadline, now) : vtr_time{0, 0};
    }
    return VTR_SUCCESS;
}

vtr_error vtr_dispatcher_process(vtr_dispatcher *dispatcher, vtr_socket_sets *ready) {
    if (dispatcher == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (dispatcher->processing) {
        return VTR_INVALIDSTATE;
    }
    // Callbacks are C++ and may throw through here: the pass ends, the dispatcher stays usable.
    struct Mark {
        bool &flag;
        ~Mark() { flag = false; }
    } mark{dispatcher->processing};
    dispatcher->processing = true;
    vtr_event_loop *loop = dispatcher->loop;
    vtr_error e = VTR_SUCCESS;
    if (ready != nullptr) {
        e = vtr_watch_sets_dispatch(loop, ready);
    }
    if (e == VTR_SUCCESS) {
        e = vtr_deferred_queue_run(loop);
    }
    if (e == VTR_SUCCESS) {
        vtr_time now{};
        e = vtr_time_monotonic(&now);
        if (e == VTR_SUCCESS) {
            uint32_t fired = 0;
            e = vtr_timer_list_fire(loop, now, &fired);
        }
    }
    if (e == VTR_SUCCESS) {
        e = vtr_deferred_queue_run(loop);
    }
    return e;
}
