/* events: prints every event of the handle as it comes, with the values it reports.
 *
 *   events [COUNT]     ends after COUNT events (default: runs until interrupted)
 */
#include <nyx_api.h>
#include <nyx_api_names.h>

#include "example_sync.h"

#include <stdio.h>
#include <stdlib.h>

typedef struct app {
    example_sync sync;
    unsigned seen;
} app;

/* Runs on the library's worker thread; the getters may be called from here. */
static void on_event(const NyxApiEvent *event) {
    NyxApi *api = event->api;
    printf("event 0x%llx:", (unsigned long long)event->changes);
    for (unsigned bit = 0; bit < 64; ++bit) {
        if (!(event->changes >> bit & 1))
            continue;
        const char *name = nyx_api_change_name(bit);
        printf(" %s", name ? name : "?");
    }
    printf("\n");

    static const char *const states[] = {"NONE", "IDLE", "DISCONNECTED", "CONNECTED"};
    NyxApiState state = NyxApiGetState(api);
    if (event->changes & NYXAPI_CHANGE_STATE)
        printf("  state %s\n", state < 4 ? states[state] : "?");
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED)
        printf("  request result %u\n", (unsigned)event->result);
    uint32_t value = 0;
    if (event->changes & NYXAPI_CHANGE_CHANNEL_COUNT &&
        NyxApiGetChannelCount(api, &value) == NYXAPI_SUCCESS)
        printf("  channel count %u\n", (unsigned)value);
    NyxApiNetworkStatus net;
    if (event->changes & NYXAPI_CHANGE_NETWORK_STATUS &&
        NyxApiGetNetworkStatus(api, &net) == NYXAPI_SUCCESS)
        printf("  link %s, %u Mbit/s\n", net.linkUp ? "up" : "down", (unsigned)net.linkSpeedMbps);
    char name[32];
    if (event->changes & NYXAPI_CHANGE_DEVICE_NAME &&
        NyxApiGetDeviceName(api, name) == NYXAPI_SUCCESS)
        printf("  device name %s\n", name);
    fflush(stdout);

    app *a = NyxApiGetContext(api);
    sync_lock(&a->sync);
    a->seen++;
    sync_wake(&a->sync);
    sync_unlock(&a->sync);
}

int main(int argc, char **argv) {
    unsigned limit = argc > 1 ? (unsigned)atoi(argv[1]) : 0;
    app a = {.seen = 0};
    NyxApi *api = NULL;

    sync_init(&a.sync);
    if (NyxApiNew(&api) != NYXAPI_SUCCESS) {
        fprintf(stderr, "events: cannot create a handle\n");
        return 1;
    }
    NyxApiSetContext(api, &a);
    NyxApiSetEventFn(api, on_event);
    if (NyxApiStart(api) != NYXAPI_SUCCESS) {
        fprintf(stderr, "events: cannot start the handle\n");
        NyxApiDelete(api);
        return 1;
    }

    /* The first event comes once the service answers: STATE with everything it reported. */
    sync_lock(&a.sync);
    while (limit == 0 || a.seen < limit)
        sync_wait_ms(&a.sync, 60000);
    sync_unlock(&a.sync);

    NyxApiStop(api);
    NyxApiDelete(api);
    sync_destroy(&a.sync);
    return 0;
}
