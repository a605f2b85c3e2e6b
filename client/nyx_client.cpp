// The program's client of the manager service: keeps the latest records the service sent,
// sends one request at a time and turns protocol events into change notices for its owner.
#include "client/nyx_client.h"

#include <cstring>
#include <new>

namespace {

// The records that can be known.
enum : uint32_t {
    KNOWN_VERSION = 1,
    KNOWN_OPTIONS = 2,
    KNOWN_STATE = 4,
    KNOWN_NAME = 8,
};

const uint16_t CONNECT_VALUE = 3;
const char *const MANAGER_ADDRESS = "127.0.0.1";

} // namespace

struct nyx_client {
    vtr_env *env;
    uint16_t connect_value;
    vtr_socket sock;
    sbcp2_client2 *protocol;
    void *context;
    sbcp2_request *in_flight;
    vtr_error result;
    uint32_t status;
    nyx_client_change_fn change_fn;
    uint32_t known;
    nyx_server_version version;
    nyx_system_options options;
    nyx_system_state state;
    nyx_name name;
};

namespace {

vtr_logger *logger_of(const nyx_client *client) {
    return client->env->logger;
}

void notify(nyx_client *client, uint32_t kind) {
    if (client->change_fn != nullptr) {
        client->change_fn(client, kind);
    }
}

// A record equal to the known one changes nothing; anything else replaces it and is reported.
// Records are copied byte for byte so that whole-record comparison stays exact.
template <typename T>
void store(nyx_client *client, T *stored, const T *received, uint32_t flag, uint32_t kind,
           bool (*equal)(const T *, const T *)) {
    if ((client->known & flag) != 0 && equal(stored, received)) {
        return;
    }
    std::memcpy(stored, received, sizeof *stored);
    client->known |= flag;
    notify(client, kind);
}

template <typename T> void forget(nyx_client *client, T *stored, uint32_t flag, uint32_t kind) {
    if ((client->known & flag) == 0) {
        return;
    }
    std::memset(stored, 0, sizeof *stored);
    client->known &= ~flag;
    notify(client, kind);
}

void set_status(nyx_client *client, uint32_t status) {
    if (client->status != status) {
        client->status = status;
        notify(client, NYX_CHANGE_CONNECTION);
    }
}

void request_done(nyx_client *client) {
    client->in_flight = nullptr;
    notify(client, NYX_CHANGE_REQUEST);
}

// Steps 8 and 9 of both senders: the slot goes in flight, or back when the send fails.
vtr_error send_in_flight(nyx_client *client, sbcp2_request *request, const char *function) {
    client->in_flight = request;
    vtr_error err = sbcp2_request_send(request);
    if (err != VTR_SUCCESS) {
        sbcp2_request_release(request);
        client->in_flight = nullptr;
        return err;
    }
    vtr_log(logger_of(client), VTR_LOG_DEBUG, "%s: Sent request, request id is %p\n", function,
            (void *)request);
    return VTR_SUCCESS;
}

void on_connection(nyx_client *client, sbcp2_client2 *protocol, const sbcp2_client2_event *event) {
    switch (sbcp2_client2_get_state(protocol)) {
    case SBCP2_STATE_DISCONNECTED:
    case SBCP2_STATE_DISCONNECTING:
        // A reset means the manager is gone, so its answer will never come. Any other
        // disconnection leaves the request to its owner.
        if (client->in_flight != nullptr && event->error == VTR_CONNRESET) {
            sbcp2_request_release(client->in_flight);
            client->result = VTR_CONNRESET;
            request_done(client);
        }
        forget(client, &client->version, KNOWN_VERSION, NYX_CHANGE_VERSION);
        forget(client, &client->options, KNOWN_OPTIONS, NYX_CHANGE_OPTIONS);
        forget(client, &client->name, KNOWN_NAME, NYX_CHANGE_NAME);
        forget(client, &client->state, KNOWN_STATE, NYX_CHANGE_STATE);
        set_status(client, NYX_CLIENT_STATUS_DISCONNECTED);
        break;
    case SBCP2_STATE_CONNECTING:
        set_status(client, NYX_CLIENT_STATUS_CONNECTING);
        break;
    case SBCP2_STATE_CONNECTED:
        set_status(client, NYX_CLIENT_STATUS_CONNECTED);
        if (event->message != nullptr) {
            nyx_server_version version;
            if (nyx_decode_server_version(event->message, &version) == VTR_SUCCESS) {
                store(client, &client->version, &version, KNOWN_VERSION, NYX_CHANGE_VERSION,
                      nyx_server_version_equal);
            }
        }
        break;
    default:
        set_status(client, NYX_CLIENT_STATUS_NONE);
        break;
    }
}

void on_response(nyx_client *client, const sbcp2_client2_event *event) {
    static const char *const FN = "nyx_client_on_event";
    vtr_logger *logger = logger_of(client);
    const sbcp2_message *reply = event->message;
    if (reply != nullptr && event->request != nullptr) {
        uint16_t status = sbcp2_message_get_status(sbcp2_message_head(reply));
        client->result = nyx_status_to_error(status);
        uint16_t opcode = sbcp2_message_get_opcode(sbcp2_message_head(&event->request->message));
        if (opcode == NYX_OPCODE_SET_CONFIG || opcode == NYX_OPCODE_CLEAR_SYSTEM_ERROR) {
            if (status != SBCP2_STATUS_RESPONSE) {
                vtr_log(logger, VTR_LOG_ERROR,
                        "%s: SET_CONFIG/CLEAR_SYSTEM_ERROR response status=%s\n", FN,
                        nyx_status_name(status));
            }
            // Read whatever the status: a refused configuration still brings the state in force.
            nyx_system_state state;
            vtr_error err = nyx_decode_system_state(reply, &state);
            if (err != VTR_SUCCESS) {
                char text[VTR_ERROR_TEXT_SIZE];
                vtr_log(logger, VTR_LOG_ERROR, "%s: Error reading state: %s\n", FN,
                        vtr_error_text(err, text));
            } else {
                vtr_log(logger, VTR_LOG_ERROR, "%s: SET_CONFIG/CLEAR_SYSTEM_ERROR: state is now:\n",
                        FN);
                nyx_system_state_log(logger, VTR_LOG_DEBUG, &state, "  ");
                store(client, &client->state, &state, KNOWN_STATE, NYX_CHANGE_STATE,
                      nyx_system_state_equal);
            }
        }
    }
    if (event->request != nullptr && event->request == client->in_flight) {
        request_done(client);
    }
}

// Decodes a record the manager sent, logs it and stores it.
template <typename T>
void take_record(nyx_client *client, const sbcp2_message *msg, const char *what,
                 const char *heading, vtr_error (*decode)(const sbcp2_message *, T *),
                 void (*log)(vtr_logger *, uint32_t, const T *, const char *), T *stored,
                 uint32_t flag, uint32_t kind, bool (*equal)(const T *, const T *)) {
    static const char *const FN = "nyx_client_on_event";
    vtr_logger *logger = logger_of(client);
    T received;
    vtr_error err = decode(msg, &received);
    if (err != VTR_SUCCESS) {
        char text[VTR_ERROR_TEXT_SIZE];
        vtr_log(logger, VTR_LOG_ERROR, "%s: Error reading %s: %s\n", FN, what,
                vtr_error_text(err, text));
        return;
    }
    vtr_log(logger, VTR_LOG_DEBUG, "%s: %s:", FN, heading);
    if (log != nullptr) {
        log(logger, VTR_LOG_DEBUG, &received, "  ");
    }
    store(client, stored, &received, flag, kind, equal);
}

void on_service_event(nyx_client *client, const sbcp2_client2_event *event) {
    const sbcp2_message *msg = event->message;
    if (msg == nullptr) {
        return;
    }
    switch (sbcp2_message_get_opcode(sbcp2_message_head(msg))) {
    case NYX_OPCODE_OPTIONS:
        take_record(client, msg, "options", "options are", nyx_decode_system_options,
                    nyx_system_options_log, &client->options, KNOWN_OPTIONS, NYX_CHANGE_OPTIONS,
                    nyx_system_options_equal);
        break;
    case NYX_OPCODE_STATE:
        take_record(client, msg, "state", "state is", nyx_decode_system_state, nyx_system_state_log,
                    &client->state, KNOWN_STATE, NYX_CHANGE_STATE, nyx_system_state_equal);
        break;
    case NYX_OPCODE_NAME:
        take_record<nyx_name>(client, msg, "name", "name is", nyx_decode_name, nullptr,
                              &client->name, KNOWN_NAME, NYX_CHANGE_NAME, nyx_name_equal);
        break;
    default:
        break;
    }
}

} // namespace

vtr_error nyx_client_new(vtr_env *env, nyx_client **client) {
    if (client == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    *client = nullptr;
    if (env == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    nyx_client *c = new (std::nothrow) nyx_client{};
    if (c == nullptr) {
        return VTR_NOMEMORY;
    }
    c->env = env;
    c->sock = VTR_SOCKET_INVALID;
    c->protocol = sbcp2_client2_new(env, SBCP2_HEADER_FORMAT_20, 1);
    if (c->protocol == nullptr) {
        delete c;
        return VTR_NOMEMORY;
    }

    vtr_address address;
    vtr_error err = vtr_address_set_ipv4(&address, VTR_AF_INET, MANAGER_ADDRESS, NYX_MANAGER_PORT);
    if (err == VTR_SUCCESS) {
        c->connect_value = CONNECT_VALUE;
        err = vtr_socket_connect_udp(&c->sock, &address);
    }
    if (err == VTR_SUCCESS) {
        err = vtr_socket_set_blocking(c->sock, false);
    }
    if (err != VTR_SUCCESS) {
        nyx_client_delete(c);
        return err;
    }
    sbcp2_client2_set_context(c->protocol, c);
    sbcp2_client2_set_event_fn(c->protocol, nyx_client_on_event);
    *client = c;
    return VTR_SUCCESS;
}

vtr_error nyx_client_start(nyx_client *client) {
    if (client == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_address local;
    vtr_error err = vtr_socket_get_local_address(client->sock, &local);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_id id = {};
    id.port = vtr_address_port(&local);

    sbcp2_client2_config config = {};
    config.pre_connect = nyx_client_build_connect;
    config.version = NYX_PROTOCOL_VERSION;
    config.connect_timeout = vtr_time_make(2, 0);
    config.retry_interval = vtr_time_make(3, 0);
    config.keepalive_interval = vtr_time_make(3, 0);
    config.silence_timeout = vtr_time_make(30, 0);
    return sbcp2_client2_start(client->protocol, &id, client->sock, &config);
}

vtr_error nyx_client_stop(nyx_client *client) {
    if (client == nullptr) {
        return VTR_SUCCESS;
    }
    if (client->in_flight != nullptr) {
        return VTR_INVALIDSTATE;
    }
    sbcp2_client2_stop(client->protocol);
    return VTR_SUCCESS;
}

void nyx_client_delete(nyx_client *client) {
    if (client == nullptr) {
        return;
    }
    sbcp2_client2_delete(client->protocol);
    vtr_socket_close(&client->sock);
    delete client;
}

void nyx_client_set_context(nyx_client *client, void *context) {
    if (client != nullptr) {
        client->context = context;
    }
}

void *nyx_client_get_context(const nyx_client *client) {
    return client != nullptr ? client->context : nullptr;
}

void nyx_client_set_change_fn(nyx_client *client, nyx_client_change_fn fn) {
    if (client != nullptr) {
        client->change_fn = fn;
    }
}

uint32_t nyx_client_get_status(const nyx_client *client) {
    return client != nullptr ? client->status : NYX_CLIENT_STATUS_NONE;
}

vtr_error nyx_client_get_result(const nyx_client *client) {
    return client != nullptr ? client->result : VTR_INVALIDPARAMETER;
}

const nyx_server_version *nyx_client_get_version(const nyx_client *client) {
    return nyx_client_has_version(client) ? &client->version : nullptr;
}

const nyx_system_options *nyx_client_get_options(const nyx_client *client) {
    return nyx_client_has_options(client) ? &client->options : nullptr;
}

const nyx_system_state *nyx_client_get_state(const nyx_client *client) {
    return nyx_client_has_state(client) ? &client->state : nullptr;
}

const nyx_name *nyx_client_get_name(const nyx_client *client) {
    return client != nullptr && (client->known & KNOWN_NAME) != 0 ? &client->name : nullptr;
}

bool nyx_client_has_version(const nyx_client *client) {
    return client != nullptr && (client->known & KNOWN_VERSION) != 0;
}

bool nyx_client_has_options(const nyx_client *client) {
    return client != nullptr && (client->known & KNOWN_OPTIONS) != 0;
}

bool nyx_client_has_state(const nyx_client *client) {
    return client != nullptr && (client->known & KNOWN_STATE) != 0;
}

bool nyx_client_request_in_progress(const nyx_client *client) {
    return client != nullptr && client->in_flight != nullptr;
}

void nyx_client_cancel_request(nyx_client *client) {
    if (client == nullptr || client->in_flight == nullptr) {
        return;
    }
    sbcp2_request_release(client->in_flight);
    client->in_flight = nullptr;
}

vtr_error nyx_client_set_system_config(nyx_client *client, const nyx_system_config *config) {
    static const char *const FN = "nyx_client_set_system_config";
    if (client == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (client->in_flight != nullptr) {
        return VTR_INVALIDSTATE;
    }
    if (config == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if ((client->known & KNOWN_OPTIONS) == 0) {
        return VTR_INVALIDSTATE;
    }
    if (!nyx_system_config_is_valid(config, &client->options)) {
        return VTR_INVALIDDATA;
    }
    sbcp2_request *request = nullptr;
    vtr_error err = sbcp2_request_alloc(client->protocol, &request);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_message *msg = sbcp2_request_message(request);
    sbcp2_message_init_head(msg, NYX_PROTOCOL_VERSION, NYX_OPCODE_SET_CONFIG);
    err = nyx_encode_system_config(msg, config, nullptr);
    if (err != VTR_SUCCESS) {
        sbcp2_request_release(request);
        return err;
    }
    vtr_logger *logger = logger_of(client);
    vtr_log(logger, VTR_LOG_DEBUG, "%s: Sending SET CONFIG request with config:\n", FN);
    nyx_system_config_log(logger, VTR_LOG_DEBUG, config, "  ");
    return send_in_flight(client, request, FN);
}

vtr_error nyx_client_send_plain_request(nyx_client *client, uint16_t opcode) {
    static const char *const FN = "nyx_client_send_plain_request";
    if (client == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (client->in_flight != nullptr) {
        return VTR_INVALIDSTATE;
    }
    sbcp2_request *request = nullptr;
    vtr_error err = sbcp2_request_alloc(client->protocol, &request);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_message_init_head(sbcp2_request_message(request), NYX_PROTOCOL_VERSION, opcode);
    vtr_log(logger_of(client), VTR_LOG_DEBUG, "%s: Sending opcode %X request no config\n", FN,
            (unsigned)opcode);
    return send_in_flight(client, request, FN);
}

vtr_error nyx_client_clear_domain_credentials(nyx_client *client) {
    return nyx_client_send_plain_request(client, NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS);
}

void nyx_client_build_connect(sbcp2_client2 *protocol, sbcp2_message *tx) {
    const nyx_client *client = static_cast<const nyx_client *>(sbcp2_client2_get_context(protocol));
    if (client == nullptr || tx == nullptr) {
        return;
    }
    nyx_encode_connect(tx, client->connect_value);
}

void nyx_client_on_event(sbcp2_client2 *protocol, const sbcp2_client2_event *event) {
    nyx_client *client = static_cast<nyx_client *>(sbcp2_client2_get_context(protocol));
    if (client == nullptr || event == nullptr) {
        return;
    }
    if ((event->flags & SBCP2_EVENT_STATE) != 0) {
        on_connection(client, protocol, event);
    }
    if ((event->flags & SBCP2_EVENT_RESPONSE) != 0) {
        on_response(client, event);
    }
    if ((event->flags & SBCP2_EVENT_EVENT) != 0) {
        on_service_event(client, event);
    }
}
