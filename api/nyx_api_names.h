/*
 * nyx_api_names.h - the names of nyx_api.h's codes and change flags, as the header spells
 * them without the NYXAPI_ prefix ("INVALID_STATE", "CHANNEL_COUNT", ...), for programs that
 * print them. Header-only: nothing here is exported by the library, and any thread may call
 * it. Each function returns NULL for a value the header does not name, so that the caller
 * chooses how to show an unknown one.
 */
#ifndef NYX_API_NAMES_H
#define NYX_API_NAMES_H

#include "nyx_api.h"

static inline const char *nyx_api_result_name(NyxApiResult result) {
    static const char *const names[] = {"SUCCESS",
                                        "OTHER",
                                        "NOMEMORY",
                                        "INVALID_PARAMETER",
                                        "INVALID_DATA",
                                        "INVALID_STATE",
                                        "UNSUPPORTED_FUNCTION",
                                        "ACCESS_DENIED"};
    return result < sizeof names / sizeof names[0] ? names[result] : NULL;
}

static inline const char *nyx_api_state_name(NyxApiState state) {
    static const char *const names[] = {"NONE", "IDLE", "DISCONNECTED", "CONNECTED"};
    return state < sizeof names / sizeof names[0] ? names[state] : NULL;
}

static inline const char *nyx_api_audio_interface_name(NyxApiAudioInterface audio) {
    static const char *const names[] = {"NONE", "WDM", "ASIO"};
    return audio < sizeof names / sizeof names[0] ? names[audio] : NULL;
}

/* The flag whose value is 1 << bit (bit 0: STATE, ..., bit 19: DEVICE_LOCK_STATUS). */
static inline const char *nyx_api_change_name(unsigned bit) {
    static const char *const names[] = {"STATE",
                                        "REQUEST_COMPLETED",
                                        "RUNNING",
                                        "STATUS",
                                        "AVAILABLE_INTERFACES",
                                        "INTERFACE",
                                        "AVAILABLE_CHANNEL_COUNTS",
                                        "CHANNEL_COUNT",
                                        "AVAILABLE_AUDIO_INTERFACES",
                                        "AUDIO_INTERFACE",
                                        "AVAILABLE_ASIO_PARAMETERS",
                                        "ASIO_PARAMETER",
                                        "AVAILABLE_CORVO_LATENCIES",
                                        "CORVO_LATENCY",
                                        "NETWORK_STATUS",
                                        "DEVICE_NAME",
                                        NULL,
                                        "DOMAIN",
                                        "INFO",
                                        "DEVICE_LOCK_STATUS"};
    return bit < sizeof names / sizeof names[0] ? names[bit] : NULL;
}

#endif /* NYX_API_NAMES_H */
