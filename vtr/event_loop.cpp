// The event loop's life and its deferred-call queue: two arrays that take turns, so calls
// posted while a run is in progress wait for the next run.
#include "vtr/loop_internal.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t initial_capacity = 16;
constexpr uint32_t second_array_bit = 0x80000000u;
// Ids keep bit 31 for the array, so an index must stay below it.
constexpr uint32_t largest_capacity = 0x40000000u;

uint32_t deferred_id(uint32_t array, uint32_t index) {
    return (index + 1) | (array != 0 ? second_array_bit : 0);
}

vtr_error array_make_room(vtr_deferred_array &a, const vtr_deferred_array &other) {
    if (a.entries == nullptr) {
        uint32_t capacity = a.capacity > other.capacity ? a.capacity : other.capacity;
        a.entries = static_cast<vtr_deferred_entry *>(std::calloc(capacity, sizeof *a.entries));
        if (a.entries == nullptr) {
            return VTR_NOMEMORY;
        }
        a.capacity = capacity;
        return VTR_SUCCESS;
    }
    if (a.count < a.capacity) {
        return VTR_SUCCESS;
    }
    if (a.capacity >= largest_capacity) {
        return VTR_NOMEMORY;
    }
    uint32_t capacity = a.capacity * 2;
    void *grown = std::realloc(a.entries, capacity * sizeof *a.entries);
    if (grown == nullptr) {
        return VTR_NOMEMORY;
    }
    a.entries = static_cast<vtr_deferred_entry *>(grown);
    std::memset(a.entries + a.capacity, 0, (capacity - a.capacity) * sizeof *a.entries);
    a.capacity = capacity;
    return VTR_SUCCESS;
}

bool torn_down(const vtr_deferred_queue &q) {
    return q.array[q.current].capacity == 0;
}

void queue_teardown(vtr_event_loop *loop) {
    vtr_deferred_queue &q = loop->deferred;
    // Capacity 0 refuses posts and cancels made by the discarded calls below.
    q.array[0].capacity = 0;
    q.array[1].capacity = 0;
    for (uint32_t n = 0; n < 2; ++n) {
        uint32_t which = (q.current + n) & 1;
        vtr_deferred_array &a = q.array[which];
        for (uint32_t i = 0; i < a.count; ++i) {
            vtr_deferred_entry e = a.entries[i];
            a.entries[i] = vtr_deferred_entry{};
            if (e.fn != nullptr) {
                e.fn(1, loop, deferred_id(which, i), e.context);
            }
        }
        a.count = 0;
    }
    std::free(q.array[0].entries);
    std::free(q.array[1].entries);
    q.array[0].entries = nullptr;
    q.array[1].entries = nullptr;
}

} // namespace

vtr_error vtr_event_loop_new(vtr_event_loop **loop) {
    if (loop == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    // Timer list, watch sets and queue live in the one allocation; the queue's storage is
    // made on first use.
    vtr_event_loop *l = new (std::nothrow) vtr_event_loop{};
    if (l == nullptr) {
        return VTR_NOMEMORY;
    }
    l->deferred.array[0].capacity = initial_capacity;
    l->deferred.array[1].capacity = initial_capacity;
    *loop = l;
    return VTR_SUCCESS;
}

void vtr_event_loop_delete(vtr_event_loop *loop) {
    if (loop == nullptr) {
        return;
    }
    vtr_timer_list_clear(loop);
    vtr_watch_sets_clear(loop);
    queue_teardown(loop);
    delete loop;
}

vtr_error vtr_event_loop_post(vtr_event_loop *loop, uint32_t *id, vtr_deferred_fn fn,
                              void *context) {
    if (loop == nullptr || fn == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_deferred_queue &q = loop->deferred;
    if (torn_down(q)) {
        return VTR_NOTINITIALISED;
    }
    vtr_deferred_array &a = q.array[q.current];
    vtr_error e = array_make_room(a, q.array[q.current ^ 1]);
    if (e != VTR_SUCCESS) {
        return e;
    }
    uint32_t index = a.count++;
    a.entries[index] = vtr_deferred_entry{fn, context};
    if (id != nullptr) {
        *id = deferred_id(q.current, index);
    }
    return VTR_SUCCESS;
}

vtr_error vtr_event_loop_cancel(vtr_event_loop *loop, uint32_t id, vtr_deferred_fn fn,
                                void *context) {
    if (loop == nullptr || fn == nullptr || id == 0) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_deferred_queue &q = loop->deferred;
    if (torn_down(q)) {
        return VTR_NOTINITIALISED;
    }
    vtr_deferred_array &a = q.array[(id & second_array_bit) != 0 ? 1 : 0];
    uint32_t index = (id & ~second_array_bit) - 1;
    if (index >= a.count || a.entries[index].fn != fn || a.entries[index].context != context) {
        return VTR_NOTFOUND;
    }
    a.entries[index].fn = nullptr;
    return VTR_SUCCESS;
}

namespace {

// Ends a run. When a call threw, the calls after it will not run: their owners are told, as
// when the queue is torn down, and the array is left empty for its next turn.
struct RunEnd {
    vtr_event_loop *loop;
    uint32_t ran;
    uint32_t next = 0;
    bool calling = false; // still set when the call at next threw
    ~RunEnd() {
        vtr_deferred_array &a = loop->deferred.array[ran];
        if (calling) {
            a.entries[next++] = vtr_deferred_entry{};
        }
        for (uint32_t i = next; i < a.count; ++i) {
            vtr_deferred_entry e = a.entries[i];
            a.entries[i] = vtr_deferred_entry{};
            if (e.fn != nullptr) {
                e.fn(1, loop, deferred_id(ran, i), e.context);
            }
        }
        a.count = 0;
    }
};

} // namespace

vtr_error vtr_deferred_queue_run(vtr_event_loop *loop) {
    vtr_deferred_queue &q = loop->deferred;
    if (q.array[q.current].count == 0) {
        return VTR_SUCCESS;
    }
    RunEnd end{loop, q.current};
    q.current ^= 1;
    q.array[q.current].count = 0;
    // Re-read through the queue on every step: a call may cancel later entries of this run.
    for (; end.next < q.array[end.ran].count; ++end.next) {
        vtr_deferred_entry e = q.array[end.ran].entries[end.next];
        if (e.fn == nullptr) {
            continue;
        }
        end.calling = true;
        e.fn(0, loop, deferred_id(end.ran, end.next), e.context);
        end.calling = false;
        q.array[end.ran].entries[end.next] = vtr_deferred_entry{};
    }
    return VTR_SUCCESS;
}

bool vtr_deferred_queue_waiting(const vtr_event_loop *loop) {
    const vtr_deferred_queue &q = loop->deferred;
    return q.array[q.current].count != 0;
}
