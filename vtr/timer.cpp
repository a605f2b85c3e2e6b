// One-shot and periodic timers: an expiry-ordered list, fired in passes that keep every
// change made by a callback out of the pass that is running.
#include "vtr/loop_internal.h"

#include <initializer_list>
#include <new>

namespace {

void chain_unlink(vtr_timer *t) {
    vtr_timer_chain *c = t->chain;
    if (c == nullptr) {
        return;
    }
    (t->prev != nullptr ? t->prev->next : c->head) = t->next;
    (t->next != nullptr ? t->next->prev : c->tail) = t->prev;
    t->prev = t->next = nullptr;
    t->chain = nullptr;
}

void chain_insert_after(vtr_timer_chain *c, vtr_timer *after, vtr_timer *t) {
    t->chain = c;
    t->prev = after;
    t->next = after != nullptr ? after->next : c->head;
    (t->next != nullptr ? t->next->prev : c->tail) = t;
    (after != nullptr ? after->next : c->head) = t;
}

void chain_append(vtr_timer_chain *c, vtr_timer *t) {
    chain_insert_after(c, c->tail, t);
}

// Searching from the latest timer puts equal expiries in arming order.
void insert_by_expiry(vtr_event_loop *loop, vtr_timer *t) {
    vtr_timer *after = loop->timers.armed.tail;
    while (after != nullptr && vtr_time_compare(after->expiry, t->expiry) > 0) {
        after = after->prev;
    }
    chain_insert_after(&loop->timers.armed, after, t);
}

void arm(vtr_event_loop *loop, vtr_timer *t) {
    if (loop->timers.firing) {
        t->state = VTR_TIMER_CREATED_IN_PASS;
        chain_append(&loop->timers.pending, t);
    } else {
        t->state = VTR_TIMER_ARMED;
        insert_by_expiry(loop, t);
    }
}

bool is_periodic(const vtr_timer *t) {
    return t->interval.sec != 0 || t->interval.usec != 0;
}

vtr_time now_plus(const vtr_time &delay) {
    vtr_time now{};
    vtr_time_monotonic(&now);
    return vtr_time_add(now, delay);
}

vtr_error create(vtr_event_loop *loop, vtr_timer_fn fn, vtr_time expiry, vtr_time interval,
                 void *context, vtr_timer **timer) {
    vtr_timer *t = new (std::nothrow) vtr_timer{};
    if (t == nullptr) {
        return VTR_NOMEMORY;
    }
    t->loop = loop;
    t->fn = fn;
    t->context = context;
    t->expiry = expiry;
    t->interval = interval;
    arm(loop, t);
    *timer = t;
    return VTR_SUCCESS;
}

} // namespace

vtr_error vtr_timer_start_oneshot(vtr_event_loop *loop, vtr_timer_fn fn, const vtr_time *absolute,
                                  const vtr_time *delay, void *context, vtr_timer **timer) {
    if (loop == nullptr || fn == nullptr || timer == nullptr ||
        (absolute == nullptr && delay == nullptr)) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_time expiry{};
    if (absolute != nullptr) {
        expiry = vtr_time_normalise(*absolute);
        if (delay != nullptr) {
            expiry = vtr_time_add(expiry, *delay);
        }
    } else {
        expiry = now_plus(*delay);
    }
    return create(loop, fn, expiry, vtr_time{0, 0}, context, timer);
}

vtr_error vtr_timer_start_periodic(vtr_event_loop *loop, vtr_timer_fn fn, const vtr_time *first,
                                   const vtr_time *interval, void *context, vtr_timer **timer) {
    if (loop == nullptr || fn == nullptr || interval == nullptr || timer == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_time every = vtr_time_normalise(*interval);
    if (every.sec < 0 || (every.sec == 0 && every.usec == 0)) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_time expiry = first != nullptr ? vtr_time_normalise(*first) : now_plus(every);
    return create(loop, fn, expiry, every, context, timer);
}

vtr_error vtr_timer_cancel(vtr_timer *timer) {
    if (timer == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (timer->loop->timers.firing) {
        // The pass may still be walking past it; it is freed when the pass ends.
        timer->state = VTR_TIMER_TO_FREE;
        return VTR_SUCCESS;
    }
    chain_unlink(timer);
    delete timer;
    return VTR_SUCCESS;
}

vtr_error vtr_timer_restart(vtr_timer *timer, const vtr_time *absolute, const vtr_time *delay) {
    if (timer == nullptr || (absolute == nullptr && delay == nullptr)) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_time expiry{};
    if (absolute != nullptr) {
        expiry = *absolute;
    } else {
        vtr_time_monotonic(&expiry);
    }
    if (delay != nullptr) {
        expiry = vtr_time_add(expiry, *delay);
    }
    timer->expiry = vtr_time_normalise(expiry);
    timer->interval = vtr_time{0, 0};
    vtr_event_loop *loop = timer->loop;
    if (loop->timers.firing) {
        timer->state = VTR_TIMER_RESTARTED_IN_PASS;
        if (timer->chain == nullptr) {
            chain_append(&loop->timers.pending, timer);
        }
        return VTR_SUCCESS;
    }
    chain_unlink(timer);
    timer->state = VTR_TIMER_ARMED;
    insert_by_expiry(loop, timer);
    return VTR_SUCCESS;
}

vtr_time vtr_timer_get_expiry(const vtr_timer *timer) {
    return timer != nullptr ? timer->expiry : vtr_time{0, 0};
}

void *vtr_timer_get_context(const vtr_timer *timer) {
    return timer != nullptr ? timer->context : nullptr;
}

namespace {

// Ends a firing pass, also one that a throwing callback left: changes made by the callbacks
// take effect and the list is no longer marked as firing.
struct FireEnd {
    vtr_event_loop *loop;
    ~FireEnd() {
        vtr_timer_list &list = loop->timers;
        vtr_timer *next = nullptr;
        for (vtr_timer *t = list.armed.head; t != nullptr; t = next) {
            next = t->next;
            if (t->state == VTR_TIMER_TO_FREE) {
                chain_unlink(t);
                delete t;
            } else if (t->state == VTR_TIMER_PERIODIC_FIRED ||
                       t->state == VTR_TIMER_RESTARTED_IN_PASS) {
                chain_unlink(t);
                chain_append(&list.pending, t);
            }
        }
        while (vtr_timer *t = list.pending.head) {
            chain_unlink(t);
            if (t->state == VTR_TIMER_TO_FREE) {
                delete t;
            } else {
                t->state = VTR_TIMER_ARMED;
                insert_by_expiry(loop, t);
            }
        }
        list.firing = false;
    }
};

// A periodic timer's next expiry, counted from this pass so that a late pass does not cause
// a burst of catch-up calls; set after the call (which may read the old expiry), thrown or not.
struct NextPeriod {
    vtr_timer *t;
    vtr_time now;
    ~NextPeriod() {
        if (t->state == VTR_TIMER_PERIODIC_FIRED) {
            t->expiry = vtr_time_add(now, t->interval);
        }
    }
};

} // namespace

vtr_error vtr_timer_list_fire(vtr_event_loop *loop, vtr_time now, uint32_t *fired) {
    vtr_timer_list &list = loop->timers;
    uint32_t calls = 0;
    if (fired != nullptr) {
        *fired = 0;
    }
    FireEnd end{loop};
    list.firing = true;

    // Nothing is unlinked from the list during the walk, so the next link stays valid
    // whatever the callbacks do.
    vtr_timer *next = nullptr;
    for (vtr_timer *t = list.armed.head; t != nullptr; t = next) {
        next = t->next;
        if (t->state != VTR_TIMER_ARMED) {
            continue;
        }
        if (vtr_time_compare(t->expiry, now) > 0) {
            break;
        }
        ++calls;
        if (is_periodic(t)) {
            t->state = VTR_TIMER_PERIODIC_FIRED;
            NextPeriod period{t, now};
            t->fn(VTR_SUCCESS, t);
        } else {
            t->state = VTR_TIMER_TO_FREE;
            t->fn(VTR_SUCCESS, t);
        }
    }
    if (fired != nullptr) {
        *fired = calls;
    }
    return VTR_SUCCESS;
}

void vtr_timer_list_clear(vtr_event_loop *loop) {
    for (vtr_timer_chain *c : {&loop->timers.armed, &loop->timers.pending}) {
        while (vtr_timer *t = c->head) {
            chain_unlink(t);
            delete t;
        }
    }
}
