// The runtime environment and its event loop: timers, socket watches, deferred calls and the
// dispatcher whose prepare and process steps surround the owner's wait.
#pragma once

#include "vtr/vtr_error.h"
#include "vtr/vtr_log.h"
#include "vtr/vtr_socket.h"
#include "vtr/vtr_time.h"

#include <cstdint>

struct vtr_event_loop;
struct vtr_timer;
struct vtr_dispatcher;

enum : uint32_t {
    VTR_ENV_LOGGER = 2,
    VTR_ENV_EVENT_LOOP = 4,
};

struct vtr_env {
    vtr_logger *logger;
    vtr_event_loop *loop;
    uint32_t owned; // VTR_ENV_* bits of what this environment created and destroys
};

vtr_error vtr_env_new(uint32_t flags, vtr_env **env);
void vtr_env_delete(vtr_env *env);

vtr_error vtr_event_loop_new(vtr_event_loop **loop);
void vtr_event_loop_delete(vtr_event_loop *loop);

// Timer states.
enum : uint32_t {
    VTR_TIMER_ARMED = 0,
    VTR_TIMER_CREATED_IN_PASS = 1,
    VTR_TIMER_TO_FREE = 2,
    VTR_TIMER_PERIODIC_FIRED = 3,
    VTR_TIMER_RESTARTED_IN_PASS = 4,
};

typedef void (*vtr_timer_fn)(vtr_error status, vtr_timer *timer);

vtr_error vtr_timer_start_oneshot(vtr_event_loop *loop, vtr_timer_fn fn, const vtr_time *absolute,
                                  const vtr_time *delay, void *context, vtr_timer **timer);
vtr_error vtr_timer_start_periodic(vtr_event_loop *loop, vtr_timer_fn fn, const vtr_time *first,
                                   const vtr_time *interval, void *context, vtr_timer **timer);
vtr_error vtr_timer_cancel(vtr_timer *timer);
vtr_error vtr_timer_restart(vtr_timer *timer, const vtr_time *absolute, const vtr_time *delay);
vtr_time vtr_timer_get_expiry(const vtr_timer *timer);
void *vtr_timer_get_context(const vtr_timer *timer);

// Watch modes.
enum : uint32_t {
    VTR_WATCH_ANY = 0,
    VTR_WATCH_EXISTING = 1,
    VTR_WATCH_NEW = 2,
};

typedef void (*vtr_watch_fn)(vtr_error status, vtr_socket sock, uint32_t kind, void *context);

// Adds, changes (with a callback) or removes (without one) the watch of a socket in a kind
// (VTR_WATCH_READ, VTR_WATCH_WRITE, VTR_WATCH_EXCEPT).
vtr_error vtr_socket_watch(vtr_event_loop *loop, vtr_socket sock, uint32_t kind, vtr_watch_fn fn,
                           void *context, uint32_t mode);

// discarded is 1 when the queue is torn down with the call still waiting.
typedef void (*vtr_deferred_fn)(int discarded, vtr_event_loop *loop, uint32_t id, void *context);

vtr_error vtr_event_loop_post(vtr_event_loop *loop, uint32_t *id, vtr_deferred_fn fn,
                              void *context);
vtr_error vtr_event_loop_cancel(vtr_event_loop *loop, uint32_t id, vtr_deferred_fn fn,
                                void *context);

vtr_error vtr_dispatcher_new(vtr_env *env, vtr_dispatcher **dispatcher);
void vtr_dispatcher_delete(vtr_dispatcher *dispatcher);
// Merges the watched sockets into the caller's sets (adding to sets->count) and gives the time
// until the next timer, at most 60 s, zero while a deferred call is queued.
vtr_error vtr_dispatcher_prepare(vtr_dispatcher *dispatcher, vtr_socket_sets *sets,
                                 vtr_time *timeout);
// Ready sockets, deferred calls, due timers, deferred calls again.
vtr_error vtr_dispatcher_process(vtr_dispatcher *dispatcher, vtr_socket_sets *ready);
