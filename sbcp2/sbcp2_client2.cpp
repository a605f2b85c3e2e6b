// The sbcp2 protocol client: a small state machine driven by the event loop's socket watch and
// timers. It never blocks and has no lock; everything runs on the loop's thread.
#include "sbcp2/sbcp2_client2.h"

#include <cstring>
#include <new>

struct sbcp2_client2 {
    vtr_env *env;
    sbcp2_id id;
    void *context;
    uint32_t state;
    uint32_t header_format;
    vtr_socket sock;
    uint16_t seqnum;
    bool configured; // set by the first start; a never-started client makes no transitions
    sbcp2_client2_config config;
    vtr_timer *retry_timer;
    vtr_timer *keepalive_timer;
    vtr_timer *silence_timer;
    sbcp2_client2_event_fn event_fn;
    uint32_t slot_count;
    sbcp2_request *slots;
    uint32_t slots_in_use;
    sbcp2_message tx;
    sbcp2_message rx;
};

namespace {

vtr_logger *logger_of(const sbcp2_client2 *client) {
    return client->env ? client->env->logger : nullptr;
}

void notify_owner(sbcp2_client2 *client, const sbcp2_client2_event *event) {
    if (client->event_fn)
        client->event_fn(client, event);
}

void cancel_timer(vtr_timer **timer) {
    if (*timer) {
        vtr_timer_cancel(*timer);
        *timer = nullptr;
    }
}

void handle_retry_timeout(vtr_error status, vtr_timer *timer);
void handle_keepalive_send_timeout(vtr_error status, vtr_timer *timer);
void handle_keepalive_recv_timeout(vtr_error status, vtr_timer *timer);

vtr_error arm_oneshot(sbcp2_client2 *client, vtr_timer_fn fn, const vtr_time &delay,
                      vtr_timer **timer) {
    cancel_timer(timer);
    return vtr_timer_start_oneshot(client->env->loop, fn, nullptr, &delay, client, timer);
}

void exit_state(sbcp2_client2 *client) {
    static const char fn[] = "sbcp2_client2_exit_state";
    const char *name = sbcp2_client2_state_name(client->state);
    vtr_log(logger_of(client), VTR_LOG_DEBUG, "%s: exiting state %s\n", fn, name);
    switch (client->state) {
    case SBCP2_STATE_DISCONNECTED:
    case SBCP2_STATE_CONNECTING:
        cancel_timer(&client->retry_timer);
        break;
    case SBCP2_STATE_CONNECTED:
        cancel_timer(&client->keepalive_timer);
        cancel_timer(&client->silence_timer);
        break;
    default:
        break;
    }
    vtr_log(logger_of(client), VTR_LOG_DEBUG, "%s: exited state %s\n", fn, name);
}

// Runs the entry actions of the current state. *next names a state to chain to.
vtr_error enter_state(sbcp2_client2 *client, uint32_t *next) {
    *next = client->state;
    vtr_error err = VTR_SUCCESS;
    switch (client->state) {
    case SBCP2_STATE_DISCONNECTED:
        err = arm_oneshot(client, handle_retry_timeout, client->config.retry_interval,
                          &client->retry_timer);
        break;
    case SBCP2_STATE_CONNECTING:
        sbcp2_message_init_head(&client->tx, client->config.version, SBCP2_OPCODE_CONNECT);
        if (client->config.pre_connect)
            client->config.pre_connect(client, &client->tx);
        err = sbcp2_client2_send_message(client, &client->tx);
        if (err == VTR_SUCCESS)
            err = arm_oneshot(client, handle_retry_timeout, client->config.connect_timeout,
                              &client->retry_timer);
        break;
    case SBCP2_STATE_CONNECTED:
        cancel_timer(&client->keepalive_timer);
        err = vtr_timer_start_periodic(client->env->loop, handle_keepalive_send_timeout, nullptr,
                                       &client->config.keepalive_interval, client,
                                       &client->keepalive_timer);
        if (err == VTR_SUCCESS)
            err = arm_oneshot(client, handle_keepalive_recv_timeout, client->config.silence_timeout,
                              &client->silence_timer);
        break;
    case SBCP2_STATE_DISCONNECTING:
        sbcp2_message_init_head(&client->tx, client->config.version, SBCP2_OPCODE_DISCONNECT);
        err = sbcp2_client2_send_message(client, &client->tx);
        if (err == VTR_SUCCESS)
            *next = SBCP2_STATE_DISCONNECTED;
        break;
    default:
        break;
    }
    return err;
}

void goto_state(sbcp2_client2 *client, uint32_t target, sbcp2_client2_event *event) {
    static const char fn[] = "sbcp2_client2_enter_state";
    if (client->state == SBCP2_STATE_ERROR)
        return;
    exit_state(client);
    if (client->state == target)
        return;
    vtr_logger *logger = logger_of(client);
    for (;;) {
        client->state = target;
        if (event)
            event->flags |= SBCP2_EVENT_STATE;
        vtr_log(logger, VTR_LOG_DEBUG, "%s: entering state %s\n", fn,
                sbcp2_client2_state_name(target));
        uint32_t next = target;
        if (enter_state(client, &next) != VTR_SUCCESS) {
            vtr_log(logger, VTR_LOG_DEBUG, "%s: error enter state %s, chaining to state %s\n", fn,
                    sbcp2_client2_state_name(client->state),
                    sbcp2_client2_state_name(SBCP2_STATE_ERROR));
            if (client->state != SBCP2_STATE_ERROR) {
                exit_state(client);
                client->state = SBCP2_STATE_ERROR;
                if (event)
                    event->flags |= SBCP2_EVENT_STATE;
            }
            return;
        }
        if (next == client->state) {
            vtr_log(logger, VTR_LOG_DEBUG, "%s: entered state %s\n", fn,
                    sbcp2_client2_state_name(client->state));
            return;
        }
        vtr_log(logger, VTR_LOG_DEBUG, "%s: entered state %s, chaining to state %s\n", fn,
                sbcp2_client2_state_name(client->state), sbcp2_client2_state_name(next));
        target = next;
    }
}

void handle_retry_timeout(vtr_error status, vtr_timer *timer) {
    if (status != VTR_SUCCESS)
        return;
    sbcp2_client2 *client = static_cast<sbcp2_client2 *>(vtr_timer_get_context(timer));
    if (client->retry_timer == timer)
        client->retry_timer = nullptr; // a fired one-shot is freed by the loop
    sbcp2_client2_event event{};
    if (client->state == SBCP2_STATE_DISCONNECTED)
        goto_state(client, SBCP2_STATE_CONNECTING, &event);
    else if (client->state == SBCP2_STATE_CONNECTING)
        goto_state(client, SBCP2_STATE_DISCONNECTED, &event);
    notify_owner(client, &event);
}

void handle_keepalive_send_timeout(vtr_error status, vtr_timer *timer) {
    static const char fn[] = "sbcp2_client2_handle_keepalive_send_timeout";
    if (status != VTR_SUCCESS)
        return;
    sbcp2_client2 *client = static_cast<sbcp2_client2 *>(vtr_timer_get_context(timer));
    vtr_time now{};
    vtr_time_monotonic(&now);
    // A loop that was held up for longer than an interval would otherwise send a keepalive
    // that no longer means anything.
    vtr_time late = vtr_time_sub(now, vtr_timer_get_expiry(timer));
    const vtr_time &interval = client->config.keepalive_interval;
    if (vtr_time_compare(late, interval) > 0) {
        vtr_log(logger_of(client), VTR_LOG_VERBOSE,
                "%s: keepalive transmit interval expiry was excessively delayed:%d.%06d > "
                "%d.%06d. NOT firing.\n",
                fn, late.sec, late.usec, interval.sec, interval.usec);
        return;
    }
    vtr_log(logger_of(client), VTR_LOG_VERBOSE,
            "%s: keepalive interval has expired, sending keepalive!\n", fn);
    sbcp2_message_init_head(&client->tx, client->config.version, SBCP2_OPCODE_KEEPALIVE);
    sbcp2_client2_send_message(client, &client->tx);
}

void handle_keepalive_recv_timeout(vtr_error status, vtr_timer *timer) {
    static const char fn[] = "sbcp2_client2_handle_keepalive_recv_timeout";
    if (status != VTR_SUCCESS)
        return;
    sbcp2_client2 *client = static_cast<sbcp2_client2 *>(vtr_timer_get_context(timer));
    if (client->silence_timer == timer)
        client->silence_timer = nullptr;
    vtr_log(logger_of(client), VTR_LOG_ERROR, "%s: server has disappeared, disconnecting!\n", fn);
    sbcp2_client2_event event{};
    goto_state(client, SBCP2_STATE_DISCONNECTED, &event);
    notify_owner(client, &event);
}

void rearm_silence_timer(sbcp2_client2 *client) {
    if (client->silence_timer && vtr_timer_restart(client->silence_timer, nullptr,
                                                   &client->config.silence_timeout) == VTR_SUCCESS)
        return;
    arm_oneshot(client, handle_keepalive_recv_timeout, client->config.silence_timeout,
                &client->silence_timer);
}

void give_next_action_time(sbcp2_client2 *client, vtr_time *next_action_time) {
    static const char fn[] = "sbcp2_client2_get_next_action_time";
    vtr_logger *logger = logger_of(client);
    vtr_log(logger, VTR_LOG_VERBOSE, "%s: starting\n", fn);
    if (!next_action_time) {
        vtr_log(logger, VTR_LOG_VERBOSE, "%s: finished: invalid parameter\n", fn);
        return;
    }
    // The timers carry all of the scheduling.
    *next_action_time = vtr_time_make(0, 0);
    vtr_log(logger, VTR_LOG_VERBOSE, "%s: finished: next_action_time=%d.%06d\n", fn, 0, 0);
}

void prepare_records(sbcp2_client2 *client) {
    for (uint32_t i = 0; i < client->slot_count; i++) {
        sbcp2_message_init_record(&client->slots[i].message);
        sbcp2_message_set_id(client->slots[i].message.buffer, &client->id);
    }
    sbcp2_message_init_record(&client->tx);
    sbcp2_message_set_id(client->tx.buffer, &client->id);
}

void stop_client(sbcp2_client2 *client) {
    if (!client->configured)
        return;
    if (client->state == SBCP2_STATE_CONNECTING || client->state == SBCP2_STATE_CONNECTED)
        goto_state(client, SBCP2_STATE_DISCONNECTING, nullptr);
    else
        goto_state(client, SBCP2_STATE_DISCONNECTED, nullptr);
    if (vtr_socket_is_valid(client->sock))
        vtr_socket_watch(client->env->loop, client->sock, VTR_WATCH_READ, nullptr, nullptr,
                         VTR_WATCH_ANY);
    client->sock = VTR_SOCKET_INVALID;
    client->seqnum = 0;
}

} // namespace

sbcp2_client2 *sbcp2_client2_new(vtr_env *env, uint32_t header_format, uint32_t slots) {
    if (!env || !env->loop)
        return nullptr;
    sbcp2_client2 *client = new (std::nothrow) sbcp2_client2();
    if (!client)
        return nullptr;
    client->env = env;
    client->state = SBCP2_STATE_NONE;
    client->header_format = header_format;
    client->sock = VTR_SOCKET_INVALID;
    client->slot_count = slots > 1 ? 1 : slots;
    if (client->slot_count) {
        client->slots = new (std::nothrow) sbcp2_request[client->slot_count]();
        if (!client->slots) {
            delete client;
            return nullptr;
        }
        for (uint32_t i = 0; i < client->slot_count; i++) {
            client->slots[i].client = client;
            client->slots[i].index = i;
        }
    }
    prepare_records(client);
    sbcp2_message_init_record(&client->rx);
    return client;
}

vtr_error sbcp2_client2_start(sbcp2_client2 *client, const sbcp2_id *id, vtr_socket sock,
                              const sbcp2_client2_config *config) {
    if (!client || !config || !vtr_socket_is_valid(sock))
        return VTR_INVALIDPARAMETER;
    if (id) {
        client->id = *id;
    } else {
        vtr_address local{};
        memset(&client->id, 0, sizeof(client->id));
        if (vtr_socket_get_local_address(sock, &local) == VTR_SUCCESS)
            client->id.port = vtr_address_port(&local);
    }
    // A start without a stop before it must not leave the previous run's timers or watch.
    cancel_timer(&client->retry_timer);
    cancel_timer(&client->keepalive_timer);
    cancel_timer(&client->silence_timer);
    if (vtr_socket_is_valid(client->sock) && client->sock != sock)
        vtr_socket_watch(client->env->loop, client->sock, VTR_WATCH_READ, nullptr, nullptr,
                         VTR_WATCH_ANY);
    client->config = *config;
    client->configured = true;
    client->state = SBCP2_STATE_DISCONNECTED;
    prepare_records(client);
    vtr_error err = vtr_socket_watch(client->env->loop, sock, VTR_WATCH_READ,
                                     sbcp2_client2_socket_ready, client, VTR_WATCH_ANY);
    if (err != VTR_SUCCESS) {
        client->sock = VTR_SOCKET_INVALID;
        return err;
    }
    client->sock = sock;
    goto_state(client, SBCP2_STATE_CONNECTING, nullptr);
    return VTR_SUCCESS;
}

void sbcp2_client2_stop(sbcp2_client2 *client) {
    if (client)
        stop_client(client);
}

void sbcp2_client2_delete(sbcp2_client2 *client) {
    if (!client)
        return;
    stop_client(client);
    // Only DISCONNECTED's retry timer can be left by a stop; be thorough anyway.
    cancel_timer(&client->retry_timer);
    cancel_timer(&client->keepalive_timer);
    cancel_timer(&client->silence_timer);
    delete[] client->slots;
    delete client;
}

void sbcp2_client2_set_event_fn(sbcp2_client2 *client, sbcp2_client2_event_fn fn) {
    if (client)
        client->event_fn = fn;
}

void sbcp2_client2_set_context(sbcp2_client2 *client, void *context) {
    if (client)
        client->context = context;
}

void *sbcp2_client2_get_context(const sbcp2_client2 *client) {
    return client ? client->context : nullptr;
}

uint32_t sbcp2_client2_get_state(const sbcp2_client2 *client) {
    return client ? client->state : SBCP2_STATE_NONE;
}

const char *sbcp2_client2_state_name(uint32_t state) {
    switch (state) {
    case SBCP2_STATE_NONE:
        return "NONE";
    case SBCP2_STATE_DISCONNECTED:
        return "DISCONNECTED";
    case SBCP2_STATE_RESOLVING:
        return "RESOLVING";
    case SBCP2_STATE_CONNECTING:
        return "CONNECTING";
    case SBCP2_STATE_CONNECTED:
        return "CONNECTED";
    case SBCP2_STATE_DISCONNECTING:
        return "DISCONNECTING";
    case SBCP2_STATE_ERROR:
        return "ERROR";
    default:
        return "?";
    }
}

void sbcp2_client2_socket_ready(vtr_error status, vtr_socket sock, uint32_t kind, void *context) {
    (void)sock;
    (void)kind;
    if (status == VTR_SUCCESS && context)
        sbcp2_client2_process(static_cast<sbcp2_client2 *>(context), nullptr);
}

vtr_error sbcp2_client2_process(sbcp2_client2 *client, vtr_time *next_action_time) {
    static const char fn[] = "sbcp2_client2_process";
    if (!client)
        return VTR_INVALIDPARAMETER;
    vtr_logger *logger = logger_of(client);
    vtr_log(logger, VTR_LOG_VERBOSE, "%s: starting\n", fn);
    for (uint32_t count = 0;; count++) {
        // The owner may have stopped the client from its callback.
        if (count != 0 && !vtr_socket_is_valid(client->sock))
            return VTR_SUCCESS;
        // A peer that sends faster than we read must not keep the loop here: the rest waits
        // for the next pass, after the timers and the owner's other work.
        if (count == SBCP2_DATAGRAMS_PER_PASS)
            return VTR_SUCCESS;
        sbcp2_message *rx = &client->rx;
        size_t received = sizeof(rx->buffer);
        vtr_error err = vtr_socket_recv(client->sock, rx->buffer, &received);
        if (err == VTR_TIMEDOUT) {
            vtr_log(logger, VTR_LOG_VERBOSE, "%s: timed out\n", fn);
            give_next_action_time(client, next_action_time);
            return VTR_SUCCESS;
        }
        if (err == VTR_CONNREFUSED || err == VTR_CONNRESET) {
            vtr_log(logger, VTR_LOG_ERROR, "%s: error recving (CONNRESET): disconnecting\n", fn);
            sbcp2_client2_event event{};
            event.error = err;
            bool was_disconnected = client->state == SBCP2_STATE_DISCONNECTED;
            goto_state(client, SBCP2_STATE_DISCONNECTED, &event);
            // Already DISCONNECTED, only the exit actions ran and took the retry timer with
            // them; without a new one the client would never connect again.
            if (was_disconnected)
                arm_oneshot(client, handle_retry_timeout, client->config.retry_interval,
                            &client->retry_timer);
            notify_owner(client, &event);
            return VTR_SUCCESS;
        }
        if (err != VTR_SUCCESS) {
            char text[VTR_ERROR_TEXT_SIZE];
            vtr_log(logger, VTR_LOG_ERROR, "%s: error recving: %s\n", fn,
                    vtr_error_text(err, text));
            return err;
        }
        vtr_log(logger, VTR_LOG_VERBOSE, "%s: read a message (size=%u source=%s)\n", fn,
                static_cast<unsigned>(received), "");
        if (sbcp2_message_validate(logger, rx, received) != VTR_SUCCESS)
            continue;

        const uint8_t *head = rx->buffer;
        uint16_t status = sbcp2_message_get_status(head);
        uint16_t seqnum = sbcp2_message_get_seqnum(head);
        uint16_t opcode = sbcp2_message_get_opcode(head);
        // Anything but "Not connected" shows that the server is still there for us.
        if (client->state == SBCP2_STATE_CONNECTED && status != SBCP2_STATUS_NOT_CONNECTED)
            rearm_silence_timer(client);

        if (status == SBCP2_STATUS_EVENT) {
            vtr_log(logger, VTR_LOG_VERBOSE, "%s: Got an event!\n", "sbcp2_client2_process_event");
            if (client->state == SBCP2_STATE_CONNECTED) {
                sbcp2_client2_event event{};
                event.flags = SBCP2_EVENT_EVENT;
                event.message = rx;
                notify_owner(client, &event);
            }
            continue;
        }

        if (seqnum == sbcp2_message_get_seqnum(client->tx.buffer)) {
            vtr_log(logger, VTR_LOG_VERBOSE, "%s: Got an internal message!\n",
                    "sbcp2_client2_process_internal");
            if (client->state == SBCP2_STATE_CONNECTING && opcode == SBCP2_OPCODE_CONNECT) {
                uint32_t before = client->state;
                sbcp2_client2_event event{};
                goto_state(client,
                           status == SBCP2_STATUS_RESPONSE ? SBCP2_STATE_CONNECTED
                                                           : SBCP2_STATE_DISCONNECTED,
                           &event);
                // A duplicate of the reply must not end a later handshake.
                sbcp2_message_set_seqnum(client->tx.buffer, 0);
                if (client->state != before) {
                    event.flags = SBCP2_EVENT_STATE;
                    event.message = rx;
                    notify_owner(client, &event);
                }
            }
            continue;
        }

        sbcp2_request *match = nullptr;
        for (uint32_t i = 0; i < client->slot_count; i++) {
            sbcp2_request *slot = &client->slots[i];
            // Seqnum 0 is never sent, so a slot still carrying it has nothing outstanding.
            uint16_t sent = sbcp2_message_get_seqnum(slot->message.buffer);
            if (slot->in_use && sent != 0 && sent == seqnum) {
                match = slot;
                break;
            }
        }
        if (!match) {
            vtr_log(logger, VTR_LOG_INFO,
                    "%s: No active request for message with seqnum 0x%04x: ignoring message\n", fn,
                    seqnum);
            continue;
        }
        vtr_log(logger, VTR_LOG_VERBOSE, "%s: Got a respone!\n", "sbcp2_client2_process_response");
        sbcp2_request_release(match);
        sbcp2_client2_event event{};
        event.flags = SBCP2_EVENT_RESPONSE;
        event.request = match;
        event.message = rx;
        notify_owner(client, &event);
    }
}

vtr_error sbcp2_client2_send_message(sbcp2_client2 *client, sbcp2_message *msg) {
    if (!client || !msg)
        return VTR_INVALIDPARAMETER;
    uint8_t *head = msg->buffer;
    uint16_t size = sbcp2_message_get_size(head);
    // Only what the record really holds goes out.
    if (size > SBCP2_MAX_MESSAGE)
        return VTR_MSGSIZE;
    if (size < SBCP2_HEAD_SIZE)
        return VTR_INVALIDDATA;
    // Stopped: no socket to send on, reported as the system reports a send on no socket.
    if (!vtr_socket_is_valid(client->sock))
        return VTR_NOTSOCK;
    client->seqnum++;
    if (client->seqnum == 0)
        client->seqnum = 1;
    sbcp2_message_set_seqnum(head, client->seqnum);
    // Many thousand requests a second bring the counter round within one keepalive interval:
    // the number now belongs to this message, and a reply carrying it must not be taken for
    // the answer to a keepalive that once had it.
    if (msg != &client->tx && sbcp2_message_get_seqnum(client->tx.buffer) == client->seqnum)
        sbcp2_message_set_seqnum(client->tx.buffer, 0);
    vtr_log(logger_of(client), VTR_LOG_VERBOSE, "%s sending message (size=0x%04x seqnum=0x%04x)\n",
            "sbcp2_client2_send_message", size, client->seqnum);
    size_t length = size;
    return vtr_socket_send(client->sock, head, &length);
}

vtr_error sbcp2_request_alloc(sbcp2_client2 *client, sbcp2_request **request) {
    if (!client || !request)
        return VTR_INVALIDPARAMETER;
    if (client->slot_count == 0)
        return VTR_NOTFOUND;
    for (uint32_t i = 0; i < client->slot_count; i++) {
        if (!client->slots[i].in_use) {
            client->slots[i].in_use = 1;
            client->slots_in_use++;
            *request = &client->slots[i];
            return VTR_SUCCESS;
        }
    }
    return VTR_NOBUFS;
}

sbcp2_message *sbcp2_request_message(sbcp2_request *request) {
    return request ? &request->message : nullptr;
}

vtr_error sbcp2_request_send(sbcp2_request *request) {
    if (!request || !request->client)
        return VTR_INVALIDPARAMETER;
    uint16_t opcode = sbcp2_message_get_opcode(request->message.buffer);
    if (opcode == SBCP2_OPCODE_CONNECT || opcode == SBCP2_OPCODE_DISCONNECT)
        return VTR_INVALIDPARAMETER;
    return sbcp2_client2_send_message(request->client, &request->message);
}

void sbcp2_request_release(sbcp2_request *request) {
    if (!request || !request->in_use)
        return;
    request->in_use = 0;
    if (request->client && request->client->slots_in_use)
        request->client->slots_in_use--;
}
