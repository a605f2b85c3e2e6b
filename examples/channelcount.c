/* channelcount: sets the soundcard's channel count and waits until the service has applied
 * it. Everything the main thread waits for is reported by events; it never polls.
 *
 *   channelcount COUNT     exit status 0 once the service reports COUNT channels
 *
 * The service takes a new channel count only while the soundcard is stopped and its audio
 * interface is ASIO, and only a count it lists as available.
 */
#include <nyx_api.h>
#include <nyx_api_names.h>

#include "example_sync.h"

#include <stdio.h>
#include <stdlib.h>

typedef struct app {
    example_sync sync;
    bool connected;
    bool completed;      /* the request's REQUEST_COMPLETED event came */
    NyxApiResult result; /* and its result */
    bool count_changed;  /* an event reported CHANNEL_COUNT since the request */
} app;

/* Runs on the library's worker thread. A request's REQUEST_COMPLETED event comes first,
 * the event with the values it changed right after it. */
static void on_event(const NyxApiEvent *event) {
    app *a = NyxApiGetContext(event->api);
    sync_lock(&a->sync);
    if (event->changes & NYXAPI_CHANGE_STATE)
        a->connected = NyxApiGetState(event->api) == NYXAPI_STATE_CONNECTED;
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        a->completed = true;
        a->result = event->result;
    }
    if (event->changes & NYXAPI_CHANGE_CHANNEL_COUNT)
        a->count_changed = true;
    sync_wake(&a->sync);
    sync_unlock(&a->sync);
}

static const char *result_name(NyxApiResult r) {
    const char *name = nyx_api_result_name(r);
    return name ? name : "?";
}

/* Waits (lock held) until *flag is set; false after 10 s without an event. */
static bool wait_for(app *a, const bool *flag) {
    while (!*flag)
        if (!sync_wait_ms(&a->sync, 10000))
            return *flag;
    return true;
}

static int set_channel_count(NyxApi *api, app *a, uint32_t wanted) {
    uint32_t count = 0;
    NyxApiGetChannelCount(api, &count);
    if (count == wanted) {
        printf("Channel count: %u (unchanged)\n", (unsigned)count);
        return 0;
    }

    /* Cleared before the request is sent, so that its events cannot be missed. The lock is
     * not held across the call: the worker holds the library's request lock while our event
     * function waits for this lock, and the setter needs the request lock. */
    sync_lock(&a->sync);
    a->completed = a->count_changed = false;
    sync_unlock(&a->sync);
    NyxApiResult r = NyxApiSetChannelCount(api, wanted);
    if (r != NYXAPI_SUCCESS) {
        fprintf(stderr, "channelcount: NyxApiSetChannelCount(%u): %s\n", (unsigned)wanted,
                result_name(r));
        return 1;
    }
    sync_lock(&a->sync);
    if (!wait_for(a, &a->completed)) {
        sync_unlock(&a->sync);
        fprintf(stderr, "channelcount: the service did not answer\n");
        return 1;
    }
    if (a->result != NYXAPI_SUCCESS) {
        sync_unlock(&a->sync);
        fprintf(stderr, "channelcount: the service refused %u: %s\n", (unsigned)wanted,
                result_name(a->result));
        return 1;
    }
    bool changed = wait_for(a, &a->count_changed);
    sync_unlock(&a->sync);

    NyxApiGetChannelCount(api, &count);
    printf("Channel count: %u\n", (unsigned)count);
    return changed && count == wanted ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc != 2 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: channelcount COUNT\n");
        return 2;
    }
    app a = {.connected = false};
    NyxApi *api = NULL;
    int status = 1;

    sync_init(&a.sync);
    if (NyxApiNew(&api) != NYXAPI_SUCCESS) {
        fprintf(stderr, "channelcount: cannot create a handle\n");
        return 1;
    }
    NyxApiSetContext(api, &a);
    NyxApiSetEventFn(api, on_event);
    if (NyxApiStart(api) == NYXAPI_SUCCESS) {
        sync_lock(&a.sync);
        bool connected = wait_for(&a, &a.connected);
        sync_unlock(&a.sync);
        if (connected)
            status = set_channel_count(api, &a, (uint32_t)atoi(argv[1]));
        else
            fprintf(stderr, "channelcount: no manager service on 127.0.0.1:8899\n");
    } else {
        fprintf(stderr, "channelcount: cannot start the handle\n");
    }
    NyxApiStop(api);
    NyxApiDelete(api);
    sync_destroy(&a.sync);
    return status;
}
