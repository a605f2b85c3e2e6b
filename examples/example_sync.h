/* A lock and a condition for the examples: the event function, on the library's worker
 * thread, records what happened and wakes the main thread, which waits without polling.
 * This is the only platform code the examples need. */
#ifndef EXAMPLE_SYNC_H
#define EXAMPLE_SYNC_H

#include <stdbool.h>

#ifdef _WIN32
#include <windows.h>

typedef struct example_sync {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE cond;
} example_sync;

static inline void sync_init(example_sync *s) {
    InitializeCriticalSection(&s->lock);
    InitializeConditionVariable(&s->cond);
}
static inline void sync_destroy(example_sync *s) {
    DeleteCriticalSection(&s->lock);
}
static inline void sync_lock(example_sync *s) {
    EnterCriticalSection(&s->lock);
}
static inline void sync_unlock(example_sync *s) {
    LeaveCriticalSection(&s->lock);
}
static inline void sync_wake(example_sync *s) {
    WakeAllConditionVariable(&s->cond);
}
/* Waits (lock held) until woken or until ms have passed; false when the time ran out. */
static inline bool sync_wait_ms(example_sync *s, unsigned ms) {
    return SleepConditionVariableCS(&s->cond, &s->lock, ms) != 0;
}

#else
#include <errno.h>
#include <pthread.h>
#include <time.h>

typedef struct example_sync {
    pthread_mutex_t lock;
    pthread_cond_t cond;
} example_sync;

static inline void sync_init(example_sync *s) {
    pthread_mutex_init(&s->lock, NULL);
    pthread_cond_init(&s->cond, NULL);
}
static inline void sync_destroy(example_sync *s) {
    pthread_cond_destroy(&s->cond);
    pthread_mutex_destroy(&s->lock);
}
static inline void sync_lock(example_sync *s) {
    pthread_mutex_lock(&s->lock);
}
static inline void sync_unlock(example_sync *s) {
    pthread_mutex_unlock(&s->lock);
}
static inline void sync_wake(example_sync *s) {
    pthread_cond_broadcast(&s->cond);
}
static inline bool sync_wait_ms(example_sync *s, unsigned ms) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&s->cond, &s->lock, &until) != ETIMEDOUT;
}
#endif

#endif /* EXAMPLE_SYNC_H */
