// The program's client of the manager service on 127.0.0.1:8899.
#pragma once

#include "client/nyx_bodies.h"
#include "client/nyx_records.h"
#include "sbcp2/sbcp2_client2.h"
#include "vtr/vtr.h"

#include <cstdint>

// Connection status.
enum : uint32_t {
    NYX_CLIENT_STATUS_NONE = 0,
    NYX_CLIENT_STATUS_DISCONNECTED = 1,
    NYX_CLIENT_STATUS_CONNECTING = 2,
    NYX_CLIENT_STATUS_CONNECTED = 3,
};

// Change kinds.
enum : uint32_t {
    NYX_CHANGE_REQUEST = 0,
    NYX_CHANGE_CONNECTION = 1,
    NYX_CHANGE_VERSION = 2,
    NYX_CHANGE_OPTIONS = 3,
    NYX_CHANGE_STATE = 4,
    NYX_CHANGE_NAME = 6,
};

enum : uint16_t { NYX_MANAGER_PORT = 8899 };

struct nyx_client;
typedef void (*nyx_client_change_fn)(nyx_client *client, uint32_t kind);

vtr_error nyx_client_new(vtr_env *env, nyx_client **client);
vtr_error nyx_client_start(nyx_client *client);
vtr_error nyx_client_stop(nyx_client *client);
void nyx_client_delete(nyx_client *client);

void nyx_client_set_context(nyx_client *client, void *context);
void *nyx_client_get_context(const nyx_client *client);
void nyx_client_set_change_fn(nyx_client *client, nyx_client_change_fn fn);
uint32_t nyx_client_get_status(const nyx_client *client);
vtr_error nyx_client_get_result(const nyx_client *client);

// nullptr while the record is not known.
const nyx_server_version *nyx_client_get_version(const nyx_client *client);
const nyx_system_options *nyx_client_get_options(const nyx_client *client);
const nyx_system_state *nyx_client_get_state(const nyx_client *client);
const nyx_name *nyx_client_get_name(const nyx_client *client);
bool nyx_client_has_version(const nyx_client *client);
bool nyx_client_has_options(const nyx_client *client);
bool nyx_client_has_state(const nyx_client *client);

bool nyx_client_request_in_progress(const nyx_client *client);
void nyx_client_cancel_request(nyx_client *client);
vtr_error nyx_client_set_system_config(nyx_client *client, const nyx_system_config *config);
vtr_error nyx_client_send_plain_request(nyx_client *client, uint16_t opcode);
vtr_error nyx_client_clear_domain_credentials(nyx_client *client);

void nyx_client_build_connect(sbcp2_client2 *protocol, sbcp2_message *tx);
void nyx_client_on_event(sbcp2_client2 *protocol, const sbcp2_client2_event *event);
