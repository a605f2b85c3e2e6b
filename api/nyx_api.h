/*
 * nyx_api.h - C interface of the virtual network soundcard's control program.
 *
 * The program exports these 46 functions. Create a handle, register an event function,
 * start it (its worker thread connects to the manager service), read cached values and
 * choices at any time, issue change requests, then stop and delete the handle.
 *
 * Threading: exports may be called from any thread. The event function runs on the handle's
 * worker thread; from inside it every export may be called on its own handle (requests work
 * as from any other thread; NyxApiStop and NyxApiDelete act once it returns, NyxApiStart
 * gives INVALID_STATE). Start, stop and delete from several threads are serialised, but
 * the handle must not be used once NyxApiDelete has been called. What the event function
 * throws is caught, logged at Error and dropped.
 *
 * Records have fixed layouts (little-endian, as the host stores them).
 */
#ifndef NYX_API_H
#define NYX_API_H

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
extern "C" {
#else
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#endif

typedef struct NyxApi NyxApi;

typedef uint32_t NyxApiResult;
enum {
    NYXAPI_SUCCESS = 0,
    NYXAPI_OTHER = 1,
    NYXAPI_NOMEMORY = 2,
    NYXAPI_INVALID_PARAMETER = 3,
    NYXAPI_INVALID_DATA = 4,
    NYXAPI_INVALID_STATE = 5,
    NYXAPI_UNSUPPORTED_FUNCTION = 6,
    NYXAPI_ACCESS_DENIED = 7
};

typedef uint32_t NyxApiState;
enum {
    NYXAPI_STATE_NONE = 0,
    NYXAPI_STATE_IDLE = 1,
    NYXAPI_STATE_DISCONNECTED = 2,
    NYXAPI_STATE_CONNECTED = 3
};

typedef uint32_t NyxApiAudioInterface;
enum {
    NYXAPI_AUDIO_INTERFACE_NONE = 0,
    NYXAPI_AUDIO_INTERFACE_WDM = 1,
    NYXAPI_AUDIO_INTERFACE_ASIO = 2
};

/* Change flags of an event; bit 16 is unused. */
typedef uint64_t NyxApiChanges;
#define NYXAPI_CHANGE_STATE ((NyxApiChanges)0x1)
#define NYXAPI_CHANGE_REQUEST_COMPLETED ((NyxApiChanges)0x2)
#define NYXAPI_CHANGE_RUNNING ((NyxApiChanges)0x4)
#define NYXAPI_CHANGE_STATUS ((NyxApiChanges)0x8)
#define NYXAPI_CHANGE_AVAILABLE_INTERFACES ((NyxApiChanges)0x10)
#define NYXAPI_CHANGE_INTERFACE ((NyxApiChanges)0x20)
#define NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS ((NyxApiChanges)0x40)
#define NYXAPI_CHANGE_CHANNEL_COUNT ((NyxApiChanges)0x80)
#define NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES ((NyxApiChanges)0x100)
#define NYXAPI_CHANGE_AUDIO_INTERFACE ((NyxApiChanges)0x200)
#define NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS ((NyxApiChanges)0x400)
#define NYXAPI_CHANGE_ASIO_PARAMETER ((NyxApiChanges)0x800)
#define NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES ((NyxApiChanges)0x1000)
#define NYXAPI_CHANGE_CORVO_LATENCY ((NyxApiChanges)0x2000)
#define NYXAPI_CHANGE_NETWORK_STATUS ((NyxApiChanges)0x4000)
#define NYXAPI_CHANGE_DEVICE_NAME ((NyxApiChanges)0x8000)
#define NYXAPI_CHANGE_DOMAIN ((NyxApiChanges)0x20000)
#define NYXAPI_CHANGE_INFO ((NyxApiChanges)0x40000)
#define NYXAPI_CHANGE_DEVICE_LOCK_STATUS ((NyxApiChanges)0x80000)

typedef struct NyxApiVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t patch;
    uint32_t build;
} NyxApiVersion;

typedef struct NyxApiInterface {
    uint16_t name[64]; /* UTF-16, NUL-terminated */
    uint8_t mac[6];
} NyxApiInterface;

typedef struct NyxApiNetworkStatus {
    uint8_t linkUp;
    uint32_t linkSpeedMbps;
    uint8_t ipAddress[4]; /* first octet first; all zero: no address */
} NyxApiNetworkStatus;

typedef struct NyxApiDomainInfo {
    uint8_t enrolled;
    uint8_t connected;
    uint8_t configurationAllowed;
    char name[65];
} NyxApiDomainInfo;

typedef struct NyxApiEvent {
    uint64_t size; /* always 32 */
    NyxApi *api;
    NyxApiChanges changes;
    NyxApiResult result; /* meaningful with NYXAPI_CHANGE_REQUEST_COMPLETED */
} NyxApiEvent;

typedef void (*NyxApiEventFn)(const NyxApiEvent *event);

/* Lifecycle. */

/* Creates a handle (starting the platform once per process). NOMEMORY on any failure after
 * platform start-up. Main thread or any thread. */
NyxApiResult NyxApiNew(NyxApi **api);
/* Stops the worker and frees the handle; null does nothing. From the event function the
 * deletion is deferred: the call returns at once, and when the event function returns the
 * worker disconnects and frees the handle itself. */
void NyxApiDelete(NyxApi *api);
/* Starts the worker thread. INVALID_STATE when already started (or from the event function),
 * OTHER when no thread. */
NyxApiResult NyxApiStart(NyxApi *api);
/* Wakes and stops the worker, returning within milliseconds (about 500 ms at most); null
 * does nothing. From the event function it takes effect when the event function returns:
 * the handle is then stopped (IDLE) and a later NyxApiStart from another thread reconnects. */
void NyxApiStop(NyxApi *api);
/* 1.0.0.0, for any handle, null included. */
NyxApiVersion NyxApiGetApiVersion(NyxApi *api);
/* IDLE while stopped, else DISCONNECTED or CONNECTED; 3 for a null handle. Lock-free. */
NyxApiState NyxApiGetState(NyxApi *api);
/* Stores an application value handed back by NyxApiGetContext; may change while running. */
NyxApiResult NyxApiSetContext(NyxApi *api, void *context);
/* The stored context; null for a null handle. */
void *NyxApiGetContext(NyxApi *api);
/* Stores the event function (null turns events off). May change while running: each event
 * goes to either the old or the new function. */
NyxApiResult NyxApiSetEventFn(NyxApi *api, NyxApiEventFn fn);
/* Static description of a service status code, or null for an unknown code. */
const char *NyxApiStatusGetDescription(uint16_t status);

/* Requests. Both take the request lock (the event function already holds it). */

/* Whether a request is in flight. */
NyxApiResult NyxApiRequestInProgress(NyxApi *api, bool *inProgress);
/* Releases the request in flight, if any; its response raises no event. Always SUCCESS. */
NyxApiResult NyxApiCancelRequest(NyxApi *api);

/* Getters: copy the cached value under the cache lock; never wait for the network.
 * A null out-pointer gives INVALID_PARAMETER. Any thread, the event function included. */

NyxApiResult NyxApiGetRunning(NyxApi *api, bool *running);
NyxApiResult NyxApiGetStatus(NyxApi *api, uint32_t *status);
NyxApiResult NyxApiGetInterface(NyxApi *api, NyxApiInterface *iface);
NyxApiResult NyxApiGetChannelCount(NyxApi *api, uint32_t *count);
NyxApiResult NyxApiGetAudioInterface(NyxApi *api, NyxApiAudioInterface *audio);
NyxApiResult NyxApiGetASIOBufferSize(NyxApi *api, uint32_t *samples);
NyxApiResult NyxApiGetASIOEncoding(NyxApi *api, uint16_t *bitsPerSample);
NyxApiResult NyxApiGetASIOLatencyMs(NyxApi *api, uint32_t *ms);
NyxApiResult NyxApiGetCorvoLatencyMs(NyxApi *api, uint32_t *ms);
NyxApiResult NyxApiGetNetworkStatus(NyxApi *api, NyxApiNetworkStatus *status);
/* name: at least 32 bytes; receives the NUL-terminated device name. */
NyxApiResult NyxApiGetDeviceName(NyxApi *api, char *name);
NyxApiResult NyxApiGetDomainInfo(NyxApi *api, NyxApiDomainInfo *info);
NyxApiResult NyxApiGetDeviceLockStatus(NyxApi *api, uint32_t *lockStatus);
NyxApiResult NyxApiGetServerVersion(NyxApi *api, NyxApiVersion *version);

/* Lists: *count is the array's capacity on entry; at most that many entries are copied, in
 * the service's order, and *count receives the total available (SUCCESS also when the array
 * was too small). A null array only reports the total; a null count is INVALID_PARAMETER. */

NyxApiResult NyxApiAvailableInterfaces(NyxApi *api, uint64_t *count, NyxApiInterface *list);
NyxApiResult NyxApiAvailableChannelCounts(NyxApi *api, uint64_t *count, uint32_t *list);
NyxApiResult NyxApiAvailableAudioInterfaces(NyxApi *api, uint64_t *count,
                                            NyxApiAudioInterface *list);
NyxApiResult NyxApiAvailableASIOBufferSizes(NyxApi *api, uint64_t *count, uint32_t *list);
NyxApiResult NyxApiAvailableASIOEncodings(NyxApi *api, uint64_t *count, uint16_t *list);
NyxApiResult NyxApiAvailableASIOLatenciesMs(NyxApi *api, uint64_t *count, uint32_t *list);
NyxApiResult NyxApiAvailableCorvoLatenciesMs(NyxApi *api, uint64_t *count, uint32_t *list);

/* Setters: send one configuration change and return once it is sent. Its outcome arrives
 * as a REQUEST_COMPLETED event, then an event with what changed. One request at a time
 * (INVALID_STATE while one is in flight). Allowed in the event function, e.g. the next
 * request from a REQUEST_COMPLETED event. After NyxApiStop of a connected handle they
 * return OTHER: there is nothing to send on. */

/* Needs CONNECTED (INVALID_STATE); ACCESS_DENIED on a device or domain lock. */
NyxApiResult NyxApiSetRunning(NyxApi *api, bool running);
/* mac: 6 bytes, one of the available interfaces (else INVALID_DATA). Needs CONNECTED and
 * stopped. */
NyxApiResult NyxApiSetInterface(NyxApi *api, const uint8_t *mac);
/* Low 16 bits are used. Needs CONNECTED, stopped and ASIO. */
NyxApiResult NyxApiSetChannelCount(NyxApi *api, uint32_t count);
/* WDM, or ASIO for any other non-zero value; 0 is INVALID_PARAMETER. Needs CONNECTED and
 * stopped. */
NyxApiResult NyxApiSetAudioInterface(NyxApi *api, NyxApiAudioInterface audio);
/* ASIO setters need CONNECTED and ASIO; ACCESS_DENIED on a device or domain lock. */
NyxApiResult NyxApiSetASIOBufferSize(NyxApi *api, uint32_t samples);
NyxApiResult NyxApiSetASIOEncoding(NyxApi *api, uint16_t bitsPerSample);
NyxApiResult NyxApiSetASIOLatencyMs(NyxApi *api, uint32_t ms);
/* One of the available Corvo latencies (else INVALID_DATA). Needs CONNECTED and stopped. */
NyxApiResult NyxApiSetCorvoLatencyMs(NyxApi *api, uint32_t ms);
/* Asks the service to drop the domain enrolment. Needs CONNECTED. */
NyxApiResult NyxApiClearDomainCredentials(NyxApi *api);

/* Log collection, no handle: writes the archive name "nyx-log-YYYY-MM-DD-HH-MM-SS.zip" into
 * fileName (at least 32 bytes) and starts the service's collection script for the UTF-8
 * folder (may be null) without waiting. Any thread. */
NyxApiResult NyxApiCollectLogs(const char *folder, char *fileName);

/* Fixed values, for checking a binding: 100; stores 200; stores 300. */
uint32_t NyxApiGetValue(void);
void NyxApiGetPointer(uint32_t *value);
void NyxApiGetPointerPointer(uint32_t **value);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define NYXAPI_STATIC_ASSERT static_assert
#else
#define NYXAPI_STATIC_ASSERT _Static_assert
#endif
NYXAPI_STATIC_ASSERT(sizeof(NyxApiVersion) == 16, "NyxApiVersion layout");
NYXAPI_STATIC_ASSERT(sizeof(NyxApiInterface) == 134, "NyxApiInterface layout");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiInterface, mac) == 128, "NyxApiInterface layout");
NYXAPI_STATIC_ASSERT(sizeof(NyxApiNetworkStatus) == 12, "NyxApiNetworkStatus layout");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiNetworkStatus, linkSpeedMbps) == 4, "NyxApiNetworkStatus");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiNetworkStatus, ipAddress) == 8, "NyxApiNetworkStatus");
NYXAPI_STATIC_ASSERT(sizeof(NyxApiDomainInfo) == 68, "NyxApiDomainInfo layout");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiDomainInfo, name) == 3, "NyxApiDomainInfo layout");
NYXAPI_STATIC_ASSERT(sizeof(NyxApiEvent) == 32, "NyxApiEvent layout");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiEvent, api) == 8, "NyxApiEvent layout");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiEvent, changes) == 16, "NyxApiEvent layout");
NYXAPI_STATIC_ASSERT(offsetof(NyxApiEvent, result) == 24, "NyxApiEvent layout");
NYXAPI_STATIC_ASSERT(sizeof(bool) == 1, "one-byte booleans");
#undef NYXAPI_STATIC_ASSERT

#endif /* NYX_API_H */
