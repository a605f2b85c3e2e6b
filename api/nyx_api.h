/*
 * nyx_api.h - C interface of the virtual network soundcard service's control program.
 *
 * Link with libnyxapi (Linux: libnyxapi.so.1; Windows: nyxapi.dll through libnyxapi.dll.a;
 * nyxcli.exe exports the same 46 functions for its own use). Build flags come from
 * `pkg-config nyxapi` or, in CMake, find_package(nyxapi) and the target nyxapi::nyxapi.
 * The header is plain C (C11) and C++ (C++11).
 *
 * HOW IT WORKS
 *   The library talks to the service's manager over UDP on 127.0.0.1 port 8899 and keeps a
 *   copy (the cache) of what the manager last reported: its configuration, the choices it
 *   offers, and its condition. A handle does all network work on a worker thread of its own.
 *   Your program
 *     1. creates a handle (NyxApiNew),
 *     2. sets its event function and, if wanted, a context pointer (NyxApiSetEventFn,
 *        NyxApiSetContext),
 *     3. starts it (NyxApiStart): the worker connects, and retries every 3 s for as long as
 *        the manager does not answer,
 *     4. learns about every change through events, reads values at any time with the
 *        getters and list exports (they answer from the cache, never wait for the network),
 *        and asks for changes with the setters, one request at a time,
 *     5. stops (NyxApiStop) and deletes (NyxApiDelete) the handle.
 *   Only the setters and NyxApiClearDomainCredentials send anything on the program's behalf;
 *   they return once the request is sent, and its outcome comes back as an event.
 *
 * EVENTS
 *   The event function (NyxApiEventFn) is called on the handle's worker thread with an
 *   NyxApiEvent whose `changes` tell what is new; read the values themselves with the
 *   getters, from inside the event function or later. Two kinds of events:
 *   - REQUEST_COMPLETED alone: a request sent by a setter or NyxApiClearDomainCredentials
 *     has its answer; `result` is its outcome (SUCCESS: the manager applied it);
 *   - any other set of NYXAPI_CHANGE_ flags, with `result` SUCCESS: values in the cache
 *     changed. The first such event after the manager answers carries STATE (now
 *     CONNECTED) together with every value that became known.
 *   A request the manager accepted brings its REQUEST_COMPLETED event first and, right
 *   after it, the event with what changed. When the connection drops, an event carries
 *   STATE (now DISCONNECTED) together with everything that was forgotten: lists become
 *   empty, most values zero (see the flags below). Events of one handle never overlap.
 *
 * THREADS
 *   Every export may be called from any thread. Calls on one handle are safe from several
 *   threads at once, with one rule: NyxApiDelete must not race any other call on the same
 *   handle (once it returns, the pointer is invalid).
 *   From inside the event function (on the worker thread) everything may be called on the
 *   event's handle: the getters and list exports, NyxApiGetState and NyxApiGetContext, the
 *   setters, NyxApiClearDomainCredentials, NyxApiRequestInProgress and NyxApiCancelRequest
 *   (sending the next request from a REQUEST_COMPLETED event works), and also NyxApiStop
 *   and NyxApiDelete, which then take effect when the event function returns (see each).
 *   NyxApiStart is the one export the event function cannot use on its own handle.
 *   The worker holds the handle's request lock while it calls the event function, and the
 *   setters need that lock: never let the event function wait for a lock of yours that
 *   another thread holds while it calls a setter, NyxApiRequestInProgress or
 *   NyxApiCancelRequest (that is a deadlock); hand work to another thread instead.
 *   An event function that throws (C++) does not break the worker: the exception is caught,
 *   logged, and the worker goes on.
 *
 * RESULTS
 *   Most exports return an NyxApiResult. A null handle or a null out-pointer gives
 *   NYXAPI_INVALID_PARAMETER and changes nothing; the few exceptions are noted. Memory the
 *   caller passes stays the caller's: the library copies into and out of it and keeps no
 *   pointer to it after the call returns; the context pointer (NyxApiSetContext) and the
 *   event function are the only pointers it keeps.
 *
 * Records have fixed layouts (little-endian, as the host stores them); the assertions at the
 * end of this file check them at compile time.
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

/* A handle: opaque, made by NyxApiNew, freed by NyxApiDelete. */
typedef struct NyxApi NyxApi;

/* Result of most exports, and of a request in its REQUEST_COMPLETED event. */
typedef uint32_t NyxApiResult;
enum {
    NYXAPI_SUCCESS = 0,              /* done; for a setter: sent (the outcome is an event) */
    NYXAPI_OTHER = 1,                /* any other failure: no thread, a send or the service
                                        failed, the handle was stopped, ... */
    NYXAPI_NOMEMORY = 2,             /* NyxApiNew could not build the handle */
    NYXAPI_INVALID_PARAMETER = 3,    /* null handle or out-pointer, an argument out of range;
                                        in an event: the service refused the request so */
    NYXAPI_INVALID_DATA = 4,         /* a value that is not among the service's choices */
    NYXAPI_INVALID_STATE = 5,        /* not now: not connected, soundcard running, wrong audio
                                        interface, a request in flight, already started */
    NYXAPI_UNSUPPORTED_FUNCTION = 6, /* never returned; reserved */
    NYXAPI_ACCESS_DENIED = 7         /* the device is locked or its domain forbids local
                                        configuration */
};

/* Connection state of a handle (NyxApiGetState). */
typedef uint32_t NyxApiState;
enum {
    NYXAPI_STATE_NONE = 0,         /* a name only: never reported */
    NYXAPI_STATE_IDLE = 1,         /* not started, or stopped */
    NYXAPI_STATE_DISCONNECTED = 2, /* started; the manager does not answer (yet), or the
                                      connection was lost: the worker keeps trying */
    NYXAPI_STATE_CONNECTED = 3     /* the manager answered and its version, choices and
                                      configuration are in the cache */
};

/* The soundcard's audio interface towards applications. */
typedef uint32_t NyxApiAudioInterface;
enum {
    NYXAPI_AUDIO_INTERFACE_NONE = 0, /* the service reported something else */
    NYXAPI_AUDIO_INTERFACE_WDM = 1,
    NYXAPI_AUDIO_INTERFACE_ASIO = 2  /* also what an empty cache reads (not connected) */
};

/* Change flags: the `changes` of an event, one bit per cached value (or group of values)
 * that differs from before; each names the getter that reads the new value. A value the
 * service reports again unchanged raises nothing. Bit 16 and bits 20 to 63 are never set. */
typedef uint64_t NyxApiChanges;
/* NyxApiGetState: connected or disconnected. */
#define NYXAPI_CHANGE_STATE ((NyxApiChanges)0x1)
/* A request has its answer; always alone in its event, with the outcome in `result`. */
#define NYXAPI_CHANGE_REQUEST_COMPLETED ((NyxApiChanges)0x2)
/* NyxApiGetRunning. */
#define NYXAPI_CHANGE_RUNNING ((NyxApiChanges)0x4)
/* NyxApiGetStatus. */
#define NYXAPI_CHANGE_STATUS ((NyxApiChanges)0x8)
/* NyxApiAvailableInterfaces. */
#define NYXAPI_CHANGE_AVAILABLE_INTERFACES ((NyxApiChanges)0x10)
/* NyxApiGetInterface. */
#define NYXAPI_CHANGE_INTERFACE ((NyxApiChanges)0x20)
/* NyxApiAvailableChannelCounts. */
#define NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS ((NyxApiChanges)0x40)
/* NyxApiGetChannelCount. */
#define NYXAPI_CHANGE_CHANNEL_COUNT ((NyxApiChanges)0x80)
/* NyxApiAvailableAudioInterfaces (WDM and ASIO once connected, empty when not). */
#define NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES ((NyxApiChanges)0x100)
/* NyxApiGetAudioInterface. */
#define NYXAPI_CHANGE_AUDIO_INTERFACE ((NyxApiChanges)0x200)
/* Any of NyxApiAvailableASIOBufferSizes, ...Encodings, ...LatenciesMs. */
#define NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS ((NyxApiChanges)0x400)
/* Any of NyxApiGetASIOBufferSize, NyxApiGetASIOEncoding, NyxApiGetASIOLatencyMs. */
#define NYXAPI_CHANGE_ASIO_PARAMETER ((NyxApiChanges)0x800)
/* NyxApiAvailableCorvoLatenciesMs. */
#define NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES ((NyxApiChanges)0x1000)
/* NyxApiGetCorvoLatencyMs. */
#define NYXAPI_CHANGE_CORVO_LATENCY ((NyxApiChanges)0x2000)
/* NyxApiGetNetworkStatus: link, speed or address. */
#define NYXAPI_CHANGE_NETWORK_STATUS ((NyxApiChanges)0x4000)
/* NyxApiGetDeviceName. */
#define NYXAPI_CHANGE_DEVICE_NAME ((NyxApiChanges)0x8000)
/* NyxApiGetDomainInfo. */
#define NYXAPI_CHANGE_DOMAIN ((NyxApiChanges)0x20000)
/* NyxApiGetServerVersion. */
#define NYXAPI_CHANGE_INFO ((NyxApiChanges)0x40000)
/* NyxApiGetDeviceLockStatus. */
#define NYXAPI_CHANGE_DEVICE_LOCK_STATUS ((NyxApiChanges)0x80000)

/* A version, written major.minor.patch.build. */
typedef struct NyxApiVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t patch;
    uint32_t build;
} NyxApiVersion;

/* A network interface the soundcard can use. Two are the same when their names (up to the
 * NUL) and their MAC addresses are equal. */
typedef struct NyxApiInterface {
    uint16_t name[64]; /* UTF-16, NUL-terminated */
    uint8_t mac[6];    /* the MAC address, first byte first; how NyxApiSetInterface picks it */
} NyxApiInterface;

/* The soundcard's network link. */
typedef struct NyxApiNetworkStatus {
    uint8_t linkUp;         /* 1: link up, 0: down (then the other fields mean nothing) */
    uint32_t linkSpeedMbps; /* in Mbit/s */
    uint8_t ipAddress[4];   /* IPv4, first octet first; all zero: no address */
} NyxApiNetworkStatus;

/* The device's domain enrolment. A device is domain-locked (the setters that honour locks
 * give ACCESS_DENIED) when it is enrolled, connected, and configuration is not allowed. */
typedef struct NyxApiDomainInfo {
    uint8_t enrolled;             /* 1: enrolled in a domain */
    uint8_t connected;            /* 1: the domain server is reachable */
    uint8_t configurationAllowed; /* 0: the domain forbids local configuration; always 1
                                     unless enrolled and connected */
    char name[65];                /* the domain's name, NUL-terminated */
} NyxApiDomainInfo;

/* What the event function receives; valid only during the call. */
typedef struct NyxApiEvent {
    uint64_t size;         /* always 32 */
    NyxApi *api;           /* the handle that raised it: query it, or reach your context */
    NyxApiChanges changes; /* NYXAPI_CHANGE_ flags */
    NyxApiResult result;   /* meaningful with NYXAPI_CHANGE_REQUEST_COMPLETED: the request's
                              outcome (SUCCESS, or how the service refused it: INVALID_PARAMETER,
                              INVALID_DATA, INVALID_STATE, OTHER; OTHER also when the
                              connection was reset); SUCCESS otherwise */
} NyxApiEvent;

/* The application's event function, called on the handle's worker thread, one event at a
 * time. Return promptly: the handle does no network work meanwhile. See THREADS above. */
typedef void (*NyxApiEventFn)(const NyxApiEvent *event);

/* ---- Lifecycle ------------------------------------------------------------------------ */

/* Creates a handle in *api; the caller owns it and frees it with NyxApiDelete. The handle
 * is not started: NyxApiGetState reads IDLE and no event comes before NyxApiStart. The
 * first call in a process also starts the platform's networking, once, for good.
 * Results: SUCCESS; INVALID_PARAMETER when api is null; NOMEMORY when the handle could not
 * be built (nothing is left allocated and *api is untouched); OTHER (or NOMEMORY) when
 * the platform's networking cannot start (tried again by the next call). Any thread. */
NyxApiResult NyxApiNew(NyxApi **api);
/* Stops the handle (as NyxApiStop) and frees it with everything it holds; a request in
 * flight is dropped. No event follows. Null does nothing. Afterwards the pointer is
 * invalid; no other call on the handle may run at the same time.
 * From the handle's own event function the deletion is deferred: the call returns at once,
 * the handle must not be used again, and when the event function returns the worker
 * stops, ends, and frees the handle itself. */
void NyxApiDelete(NyxApi *api);
/* Starts the handle's worker thread, which connects to the manager and then raises events:
 * first STATE with everything the manager reported, once it answers (no event while it
 * does not; NyxApiGetState reads DISCONNECTED meanwhile). Also restarts a stopped handle,
 * which reconnects.
 * Results: SUCCESS; INVALID_PARAMETER for a null handle; INVALID_STATE when already
 * started (the running worker is untouched); OTHER when no thread could be created.
 * Any thread but the handle's own worker (not from its event function). Start, stop and
 * delete of one handle from several threads are serialised. */
NyxApiResult NyxApiStart(NyxApi *api);
/* Stops the handle's worker: it ends within a few milliseconds (at most about 500 ms), and
 * the call returns once it has ended. Afterwards no event comes, NyxApiGetState reads IDLE,
 * no request is in flight (one in flight is dropped without an event), the setters and
 * NyxApiClearDomainCredentials return OTHER, and the cache keeps its last values for the
 * getters. NyxApiStart reconnects. Null, or a handle not started, does nothing.
 * From the handle's own event function: takes effect when the event function returns. */
void NyxApiStop(NyxApi *api);
/* The version of this interface, 1.0.0.0, for any handle, null included. Any thread. */
NyxApiVersion NyxApiGetApiVersion(NyxApi *api);
/* The handle's connection state: IDLE while not started or stopped, else DISCONNECTED or
 * CONNECTED. A null handle gives 3 (CONNECTED), not an error. Takes no lock: any thread,
 * the event function included. A change raises an event with NYXAPI_CHANGE_STATE. */
NyxApiState NyxApiGetState(NyxApi *api);
/* Stores a pointer for the application, handed back by NyxApiGetContext (typically from
 * the event function, through the event's `api`). The library never uses it; it stays
 * the caller's, and must stay valid while events may come. May be changed while the
 * handle runs: the worker sees the old or the new value, never a torn one.
 * Results: SUCCESS; INVALID_PARAMETER for a null handle. Any thread. */
NyxApiResult NyxApiSetContext(NyxApi *api, void *context);
/* The pointer stored by NyxApiSetContext: null until one is set, and for a null handle.
 * Any thread, the event function included. */
void *NyxApiGetContext(NyxApi *api);
/* Sets the event function (see EVENTS and THREADS above); null turns events off, the cache
 * is kept up to date all the same. Set it before NyxApiStart to see the first event; it may
 * be changed while the handle runs (the worker calls the old or the new one, never a torn
 * one). Results: SUCCESS; INVALID_PARAMETER for a null handle. Any thread. */
NyxApiResult NyxApiSetEventFn(NyxApi *api, NyxApiEventFn fn);
/* The English description of a service status code (NyxApiGetStatus), static text the
 * caller must not free; null for a code not listed there. Any thread, no handle. */
const char *NyxApiStatusGetDescription(uint16_t status);

/* ---- Requests ------------------------------------------------------------------------- */

/* *inProgress receives whether a request (from a setter or NyxApiClearDomainCredentials)
 * is in flight: true from its sending until its REQUEST_COMPLETED event (or
 * NyxApiCancelRequest, or NyxApiStop). While one is in flight the next setter gives
 * INVALID_STATE. A request whose answer never comes (the manager went silent) stays in
 * flight until cancelled. Results: SUCCESS; INVALID_PARAMETER for a null handle or
 * inProgress. Any thread, the event function included. */
NyxApiResult NyxApiRequestInProgress(NyxApi *api, bool *inProgress);
/* Releases the request in flight, if any: its answer, should it still come, raises no
 * event, and the next setter may be sent at once. Results: SUCCESS, also with nothing in
 * flight; INVALID_PARAMETER for a null handle. Any thread, the event function included. */
NyxApiResult NyxApiCancelRequest(NyxApi *api);

/* ---- Getters --------------------------------------------------------------------------
 * Each copies one cached value into the caller's storage and returns SUCCESS; a null
 * handle or out-pointer gives INVALID_PARAMETER and writes nothing. They never wait for
 * the network: before the first connection, and after the connection drops, they read the
 * empty cache (zero, unless said otherwise); after NyxApiStop, the last values. Any thread,
 * the event function included; a getter never sees half of an event's changes. The flag in
 * brackets is the one an event raises when the value changes. */

/* Whether the soundcard runs (the service's wish to run, as last reported). [RUNNING] */
NyxApiResult NyxApiGetRunning(NyxApi *api, bool *running);
/* The service's condition, a status code: 0x0001 while running, otherwise the system
 * error, e.g. 0x0000 no error, 0x0011 manager not active, 0x02xx audio driver, 0x03xx
 * clock, 0x04xx routing, 0x07xx processing engine trouble; NyxApiStatusGetDescription
 * gives the text. [STATUS] */
NyxApiResult NyxApiGetStatus(NyxApi *api, uint32_t *status);
/* The network interface in use; all zero when not known. [INTERFACE] */
NyxApiResult NyxApiGetInterface(NyxApi *api, NyxApiInterface *iface);
/* The channel count. [CHANNEL_COUNT] */
NyxApiResult NyxApiGetChannelCount(NyxApi *api, uint32_t *count);
/* The audio interface; ASIO when not known. [AUDIO_INTERFACE] */
NyxApiResult NyxApiGetAudioInterface(NyxApi *api, NyxApiAudioInterface *audio);
/* The ASIO buffer size in samples. [ASIO_PARAMETER] */
NyxApiResult NyxApiGetASIOBufferSize(NyxApi *api, uint32_t *samples);
/* The ASIO encoding in bits per sample. [ASIO_PARAMETER] */
NyxApiResult NyxApiGetASIOEncoding(NyxApi *api, uint16_t *bitsPerSample);
/* The ASIO latency in whole milliseconds (rounded down). [ASIO_PARAMETER] */
NyxApiResult NyxApiGetASIOLatencyMs(NyxApi *api, uint32_t *ms);
/* The Corvo (network) latency in whole milliseconds (rounded down); 0 when the service's
 * setting is none of its choices. [CORVO_LATENCY] */
NyxApiResult NyxApiGetCorvoLatencyMs(NyxApi *api, uint32_t *ms);
/* The network link, speed and address. [NETWORK_STATUS] */
NyxApiResult NyxApiGetNetworkStatus(NyxApi *api, NyxApiNetworkStatus *status);
/* name: at least 32 bytes; receives the NUL-terminated device name (at most 31 bytes, as
 * the service sends them). Kept when the connection drops. [DEVICE_NAME] */
NyxApiResult NyxApiGetDeviceName(NyxApi *api, char *name);
/* The domain enrolment. [DOMAIN] */
NyxApiResult NyxApiGetDomainInfo(NyxApi *api, NyxApiDomainInfo *info);
/* The device lock status: 0 unlocked; any other value (the service's own numbers) locked,
 * which makes NyxApiSetRunning and the ASIO setters give ACCESS_DENIED.
 * [DEVICE_LOCK_STATUS] */
NyxApiResult NyxApiGetDeviceLockStatus(NyxApi *api, uint32_t *lockStatus);
/* The service's version; 0.0.0.0 when not known. [INFO] */
NyxApiResult NyxApiGetServerVersion(NyxApi *api, NyxApiVersion *version);

/* ---- Lists of choices ------------------------------------------------------------------
 * The values the service offers, from the cache, in the service's order; empty when not
 * connected. *count is the capacity of list (in entries) on entry; at most that many
 * entries are copied, and *count receives the number available, also when list was too
 * small (the result is SUCCESS then as well: compare). A null list, or a capacity of 0,
 * only reports the number. Results: SUCCESS; INVALID_PARAMETER for a null handle or
 * count. Any thread, the event function included; [flag] as for the getters. */

/* [AVAILABLE_INTERFACES] */
NyxApiResult NyxApiAvailableInterfaces(NyxApi *api, uint64_t *count, NyxApiInterface *list);
/* [AVAILABLE_CHANNEL_COUNTS] */
NyxApiResult NyxApiAvailableChannelCounts(NyxApi *api, uint64_t *count, uint32_t *list);
/* WDM and ASIO, in that order, once connected. [AVAILABLE_AUDIO_INTERFACES] */
NyxApiResult NyxApiAvailableAudioInterfaces(NyxApi *api, uint64_t *count,
                                            NyxApiAudioInterface *list);
/* In samples. [AVAILABLE_ASIO_PARAMETERS] */
NyxApiResult NyxApiAvailableASIOBufferSizes(NyxApi *api, uint64_t *count, uint32_t *list);
/* In bits per sample. [AVAILABLE_ASIO_PARAMETERS] */
NyxApiResult NyxApiAvailableASIOEncodings(NyxApi *api, uint64_t *count, uint16_t *list);
/* In whole milliseconds. [AVAILABLE_ASIO_PARAMETERS] */
NyxApiResult NyxApiAvailableASIOLatenciesMs(NyxApi *api, uint64_t *count, uint32_t *list);
/* In whole milliseconds (rounded down, so two may read the same).
 * [AVAILABLE_CORVO_LATENCIES] */
NyxApiResult NyxApiAvailableCorvoLatenciesMs(NyxApi *api, uint64_t *count, uint32_t *list);

/* ---- Setters ----------------------------------------------------------------------------
 * Each sends the service's last reported configuration with one value replaced, and
 * returns once it is sent: SUCCESS means sent, not applied. Then come the request's
 * REQUEST_COMPLETED event with its outcome and, if the service applied it, right after it
 * an event with the flag of the value (and anything else that changed with it). The cache
 * changes only then. One request at a time per handle.
 * Results (nothing is sent on failure; the argument, then the conditions named below are
 * checked first, in the order given):
 *   SUCCESS            sent;
 *   INVALID_PARAMETER  null handle, or the argument named below;
 *   INVALID_STATE      not CONNECTED, or the soundcard's state named below; also while a
 *                      request is in flight (NyxApiRequestInProgress);
 *   ACCESS_DENIED      where named: the device is locked (NyxApiGetDeviceLockStatus not 0)
 *                      or domain-locked (NyxApiDomainInfo);
 *   INVALID_DATA       the value is none of the service's choices (the lists above);
 *   OTHER              the handle was stopped, or sending failed.
 * Any thread, the event function included (e.g. the next request from a REQUEST_COMPLETED
 * event). */

/* Starts (true) or stops (false) the soundcard. Needs CONNECTED; ACCESS_DENIED when
 * locked. [RUNNING, STATUS] */
NyxApiResult NyxApiSetRunning(NyxApi *api, bool running);
/* Selects the available interface whose MAC address is mac (6 bytes, read during the call;
 * null: INVALID_PARAMETER; not available: INVALID_DATA). Needs CONNECTED and the soundcard
 * stopped. [INTERFACE] */
NyxApiResult NyxApiSetInterface(NyxApi *api, const uint8_t *mac);
/* Sets the channel count to one of NyxApiAvailableChannelCounts; only the low 16 bits of
 * count are used. Needs CONNECTED, the soundcard stopped and the audio interface ASIO.
 * [CHANNEL_COUNT] */
NyxApiResult NyxApiSetChannelCount(NyxApi *api, uint32_t count);
/* Selects WDM (1), or ASIO for any other non-zero value; 0 is INVALID_PARAMETER. Needs
 * CONNECTED and the soundcard stopped. [AUDIO_INTERFACE] */
NyxApiResult NyxApiSetAudioInterface(NyxApi *api, NyxApiAudioInterface audio);
/* The three ASIO setters take one of the values of their list. They need CONNECTED and the
 * audio interface ASIO, work while the soundcard runs, and give ACCESS_DENIED when locked.
 * [ASIO_PARAMETER] */
NyxApiResult NyxApiSetASIOBufferSize(NyxApi *api, uint32_t samples);
NyxApiResult NyxApiSetASIOEncoding(NyxApi *api, uint16_t bitsPerSample);
NyxApiResult NyxApiSetASIOLatencyMs(NyxApi *api, uint32_t ms);
/* Sets the Corvo latency to the first of the service's choices of ms milliseconds (else
 * INVALID_DATA). Needs CONNECTED and the soundcard stopped. [CORVO_LATENCY] */
NyxApiResult NyxApiSetCorvoLatencyMs(NyxApi *api, uint32_t ms);
/* Asks the service to drop the device's domain enrolment: a plain request, with the same
 * REQUEST_COMPLETED event and results as the setters. Needs CONNECTED. [DOMAIN] */
NyxApiResult NyxApiClearDomainCredentials(NyxApi *api);

/* ---- Log collection --------------------------------------------------------------------- */

/* Starts the service's own log collection into a zip archive, without a handle and without
 * waiting for it. fileName (caller's buffer, at least 32 bytes) receives the archive's
 * name, "nyx-log-YYYY-MM-DD-HH-MM-SS.zip" in local time, first, whatever follows. folder
 * (UTF-8, may be null: the script's default) is where the archive is to go; it is handed
 * to the script as it is, unquoted. The script is the service's
 * Vantorel\Sonavel\Tools\collect-logs.bat under the 32-bit program files folder (on Linux
 * under $NYX_PROGRAM_FILES_X86, default /opt/program-files-x86, run with /bin/sh).
 * Results: SUCCESS when the script was started, or when there is no program files folder
 * to look in (nothing started); INVALID_PARAMETER when fileName is null (nothing written)
 * or folder is not valid UTF-8; OTHER when the script cannot be started. Any thread. */
NyxApiResult NyxApiCollectLogs(const char *folder, char *fileName);

/* ---- Fixed values, for checking a binding's calling convention -------------------------- */

/* Returns 100. */
uint32_t NyxApiGetValue(void);
/* Stores 200 in *value; null does nothing. */
void NyxApiGetPointer(uint32_t *value);
/* Stores 300 in **value; nothing when value or *value is null. */
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
