// The event loop's records, shared by the timer, watch, deferred-call and dispatcher code.
#pragma once

#include "vtr/vtr_event.h"

#include <cstdint>

struct vtr_timer_chain {
    vtr_timer *head;
    vtr_timer *tail;
};

struct vtr_timer {
    vtr_event_loop *loop;
    vtr_timer_fn fn;
    void *context;
    vtr_time expiry;
    vtr_time interval;      // zero for a one-shot timer
    uint32_t state;         // VTR_TIMER_*
    vtr_timer_chain *chain; // the list or the pending list it is linked into, or none
    vtr_timer *prev;
    vtr_timer *next;
};

struct vtr_timer_list {
    vtr_timer_chain armed;   // ascending expiry
    vtr_timer_chain pending; // used only while due timers are fired
    bool firing;
};

enum : uint32_t {
    VTR_WATCH_ACTIVE = 0,
    VTR_WATCH_ADDED = 1,   // added during dispatch, active after the cleanup
    VTR_WATCH_REMOVED = 2, // removed during dispatch, freed by the cleanup
};

struct vtr_watch {
    vtr_socket sock;
    uint32_t kind;
    uint32_t state;
    vtr_watch_fn fn;
    void *context;
    vtr_watch *prev;
    vtr_watch *next;
};

struct vtr_watch_kind {
    vtr_watch *head;
    vtr_watch *tail;
    vtr_socket_set master;
    bool cleanup;
};

struct vtr_watch_sets {
    vtr_watch_kind kind[3];
    bool dispatching;
};

struct vtr_deferred_entry {
    vtr_deferred_fn fn;
    void *context;
};

struct vtr_deferred_array {
    vtr_deferred_entry *entries; // allocated on first use
    uint32_t capacity;           // 0 once the queue is torn down
    uint32_t count;
};

struct vtr_deferred_queue {
    vtr_deferred_array array[2];
    uint32_t current;
};

struct vtr_event_loop {
    vtr_timer_list timers;
    vtr_watch_sets watches;
    vtr_deferred_queue deferred;
};

// Fires every due timer once; *fired counts the callbacks made.
vtr_error vtr_timer_list_fire(vtr_event_loop *loop, vtr_time now, uint32_t *fired);
// Frees every timer without calling it.
void vtr_timer_list_clear(vtr_event_loop *loop);

// Calls each active watch whose socket is ready, then settles the changes made meanwhile.
vtr_error vtr_watch_sets_dispatch(vtr_event_loop *loop, vtr_socket_sets *ready);
// Removes every watch without calling it.
void vtr_watch_sets_clear(vtr_event_loop *loop);

// Runs the calls queued so far; calls posted meanwhile wait for the next run.
vtr_error vtr_deferred_queue_run(vtr_event_loop *loop);
bool vtr_deferred_queue_waiting(const vtr_event_loop *loop);
