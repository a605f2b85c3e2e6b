// The sbcp2 protocol client: connect, retry, keepalive, silence timeout and one request slot.
#pragma once

#include "sbcp2/sbcp2_message.h"
#include "vtr/vtr.h"

#include <cstdint>

enum : uint32_t {
    SBCP2_STATE_NONE = 0,
    SBCP2_STATE_DISCONNECTED = 1,
    SBCP2_STATE_RESOLVING = 2,
    SBCP2_STATE_CONNECTING = 3,
    SBCP2_STATE_CONNECTED = 4,
    SBCP2_STATE_DISCONNECTING = 5,
    SBCP2_STATE_ERROR = 6,
};

// Event flags.
enum : uint32_t {
    SBCP2_EVENT_STATE = 1,
    SBCP2_EVENT_RESPONSE = 4,
    SBCP2_EVENT_EVENT = 8,
};

struct sbcp2_client2;
struct sbcp2_request;

// Called after the connect header is written and before it is sent; appends the connect body.
typedef void (*sbcp2_connect_hook)(sbcp2_client2 *client, sbcp2_message *tx);

struct sbcp2_client2_config {
    sbcp2_connect_hook pre_connect;
    uint16_t version;
    vtr_time connect_timeout;
    vtr_time retry_interval;
    vtr_time keepalive_interval;
    vtr_time silence_timeout;
};

struct sbcp2_client2_event {
    uint32_t flags;
    sbcp2_request *request; // the answered slot (flag 4)
    sbcp2_message *message; // the response, event or connect reply; valid during the call
    vtr_error error;        // CONNREFUSED or CONNRESET when the socket reported the port closed
};

typedef void (*sbcp2_client2_event_fn)(sbcp2_client2 *client, const sbcp2_client2_event *event);

struct sbcp2_request {
    sbcp2_client2 *client;
    uint32_t index;
    uint32_t in_use;
    sbcp2_message message;
};

// nullptr when the environment has no event loop or memory runs out. Slots are capped at 1.
sbcp2_client2 *sbcp2_client2_new(vtr_env *env, uint32_t header_format, uint32_t slots);
vtr_error sbcp2_client2_start(sbcp2_client2 *client, const sbcp2_id *id, vtr_socket sock,
                              const sbcp2_client2_config *config);
void sbcp2_client2_stop(sbcp2_client2 *client);
void sbcp2_client2_delete(sbcp2_client2 *client);

void sbcp2_client2_set_event_fn(sbcp2_client2 *client, sbcp2_client2_event_fn fn);
void sbcp2_client2_set_context(sbcp2_client2 *client, void *context);
void *sbcp2_client2_get_context(const sbcp2_client2 *client);
uint32_t sbcp2_client2_get_state(const sbcp2_client2 *client);
const char *sbcp2_client2_state_name(uint32_t state); // "?" for unknown values

// Most datagrams one call of sbcp2_client2_process reads; the socket stays ready for the rest.
enum : uint32_t { SBCP2_DATAGRAMS_PER_PASS = 64 };

// The socket watch handler; context is the client.
void sbcp2_client2_socket_ready(vtr_error status, vtr_socket sock, uint32_t kind, void *context);
vtr_error sbcp2_client2_process(sbcp2_client2 *client, vtr_time *next_action_time);
vtr_error sbcp2_client2_send_message(sbcp2_client2 *client, sbcp2_message *msg);

vtr_error sbcp2_request_alloc(sbcp2_client2 *client, sbcp2_request **request);
sbcp2_message *sbcp2_request_message(sbcp2_request *request);
vtr_error sbcp2_request_send(sbcp2_request *request);
void sbcp2_request_release(sbcp2_request *request);
