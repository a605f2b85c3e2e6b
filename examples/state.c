/* state: connects to the manager service, prints what it reports once connected, and ends.
 *
 *   state            exit status 0 once printed, 1 when no service answered within 10 s
 */
#include <nyx_api.h>

#include "example_sync.h"

#include <stdio.h>

/* Shared by the main thread and the event function, reached through the handle's context. */
typedef struct app {
    example_sync sync;
    bool connected;
} app;

/* Runs on the library's worker thread. */
static void on_event(const NyxApiEvent *event) {
    if (!(event->changes & NYXAPI_CHANGE_STATE))
        return;
    app *a = NyxApiGetContext(event->api);
    sync_lock(&a->sync);
    a->connected = NyxApiGetState(event->api) == NYXAPI_STATE_CONNECTED;
    sync_wake(&a->sync);
    sync_unlock(&a->sync);
}

static void print_state(NyxApi *api) {
    NyxApiVersion version;
    uint32_t status = 0, channels = 0;
    NyxApiAudioInterface audio = NYXAPI_AUDIO_INTERFACE_NONE;
    char name[32] = "";
    bool running = false;

    printf("State: CONNECTED\n");
    if (NyxApiGetServerVersion(api, &version) == NYXAPI_SUCCESS)
        printf("Service version: %u.%u.%u.%u\n", (unsigned)version.major, (unsigned)version.minor,
               (unsigned)version.patch, (unsigned)version.build);
    if (NyxApiGetStatus(api, &status) == NYXAPI_SUCCESS) {
        const char *text = NyxApiStatusGetDescription((uint16_t)status);
        printf("Status: 0x%04x %s\n", (unsigned)status, text ? text : "(unknown)");
    }
    if (NyxApiGetRunning(api, &running) == NYXAPI_SUCCESS)
        printf("Running: %s\n", running ? "yes" : "no");
    if (NyxApiGetDeviceName(api, name) == NYXAPI_SUCCESS)
        printf("Device name: %s\n", name);
    if (NyxApiGetChannelCount(api, &channels) == NYXAPI_SUCCESS)
        printf("Channel count: %u\n", (unsigned)channels);
    if (NyxApiGetAudioInterface(api, &audio) == NYXAPI_SUCCESS)
        printf("Audio interface: %s\n", audio == NYXAPI_AUDIO_INTERFACE_WDM    ? "WDM"
                                        : audio == NYXAPI_AUDIO_INTERFACE_ASIO ? "ASIO"
                                                                               : "none");
}

int main(void) {
    app a = {.connected = false};
    NyxApi *api = NULL;
    int status = 1;

    sync_init(&a.sync);
    if (NyxApiNew(&api) != NYXAPI_SUCCESS) {
        fprintf(stderr, "state: cannot create a handle\n");
        return 1;
    }
    /* Both before the start, so that the first event already finds them. */
    NyxApiSetContext(api, &a);
    NyxApiSetEventFn(api, on_event);
    if (NyxApiStart(api) != NYXAPI_SUCCESS) {
        fprintf(stderr, "state: cannot start the handle\n");
        NyxApiDelete(api);
        return 1;
    }

    sync_lock(&a.sync);
    while (!a.connected && sync_wait_ms(&a.sync, 10000)) {
    }
    bool connected = a.connected;
    sync_unlock(&a.sync);

    if (connected) {
        print_state(api);
        status = 0;
    } else {
        fprintf(stderr, "state: no manager service on 127.0.0.1:8899\n");
    }
    NyxApiStop(api);
    NyxApiDelete(api);
    sync_destroy(&a.sync);
    return status;
}
