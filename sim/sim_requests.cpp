// How the manager answers the datagrams it receives, and the events it sends its clients.
#include "sim/sim_bodies.h"
#include "sim/sim_internal.h"
#include "sim/sim_text.h"

namespace {

nyxsim_peer *find_peer(nyxsim *sim, const vtr_address *address) {
    for (nyxsim_peer &p : sim->peers)
        if (vtr_address_equal(&p.address, address))
            return &p;
    return nullptr;
}

void forget_peer(nyxsim *sim, const vtr_address *address) {
    for (auto it = sim->peers.begin(); it != sim->peers.end(); ++it)
        if (vtr_address_equal(&it->address, address)) {
            sim->peers.erase(it);
            return;
        }
}

void begin(nyxsim *sim, uint16_t opcode, uint16_t status, uint16_t seqnum) {
    sbcp2_message_init_head(&sim->tx, NYX_PROTOCOL_VERSION, opcode);
    uint8_t *head = sbcp2_message_head(&sim->tx);
    sbcp2_message_set_status(head, status);
    sbcp2_message_set_seqnum(head, seqnum);
}

// Appends the body of `opcode` from the model; the summary describes it for the trace.
vtr_error append_body(nyxsim *sim, uint16_t opcode, std::string *summary) {
    switch (opcode) {
    case SBCP2_OPCODE_CONNECT:
        *summary = "version " + nyxsim_describe_version(&sim->model.version);
        return nyxsim_encode_server_version(&sim->tx, &sim->model.version);
    case NYX_OPCODE_OPTIONS:
        *summary = nyxsim_describe_options(&sim->model.options);
        return nyxsim_encode_system_options(&sim->tx, &sim->model.options);
    case NYX_OPCODE_STATE:
    case NYX_OPCODE_SET_CONFIG:
    case NYX_OPCODE_CLEAR_SYSTEM_ERROR:
        *summary = nyxsim_describe_state(&sim->model.state);
        return nyxsim_encode_system_state(&sim->tx, &sim->model.state);
    case NYX_OPCODE_NAME:
        *summary = "name \"" + nyxsim_field_text(sim->model.name.name) + "\"";
        return nyxsim_encode_name(&sim->tx, &sim->model.name);
    }
    return VTR_SUCCESS;
}

void reply(nyxsim *sim, const vtr_address *to, uint16_t opcode, uint16_t seqnum, uint16_t status,
           bool with_body) {
    begin(sim, opcode, status, seqnum);
    std::string summary;
    if (with_body && append_body(sim, opcode, &summary) != VTR_SUCCESS) {
        // The model is checked to fit when it changes, so this stays theoretical.
        begin(sim, opcode, NYX_STATUS_SYSTEM_ERROR, seqnum);
        summary = "body did not fit";
    }
    nyxsim_transmit(sim, to, summary);
}

void send_event(nyxsim *sim, nyxsim_peer *p, uint16_t opcode) {
    if (++p->seqnum == 0)
        p->seqnum = 1;
    begin(sim, opcode, SBCP2_STATUS_EVENT, p->seqnum);
    std::string summary;
    if (append_body(sim, opcode, &summary) != VTR_SUCCESS) {
        nyxsim_trace(sim, [&] {
            return std::string("cannot encode the " + std::string(nyxsim_opcode_name(opcode)) +
                               " event");
        });
        return;
    }
    nyxsim_transmit(sim, &p->address, summary);
}

} // namespace

void nyxsim_broadcast(nyxsim *sim, uint16_t opcode, const vtr_address *except) {
    if (sim->silent || !vtr_socket_is_valid(sim->sock))
        return;
    for (nyxsim_peer &p : sim->peers)
        if (!except || !vtr_address_equal(&p.address, except))
            send_event(sim, &p, opcode);
}

namespace {

int32_t take_forced_status(nyxsim *sim) {
    int32_t forced = sim->forced_status;
    sim->forced_status = -1;
    return forced;
}

void handle_connect(nyxsim *sim, const vtr_address *from, uint16_t seqnum) {
    if (sim->options.verbose) {
        uint16_t value = 0;
        if (nyxsim_decode_connect(&sim->rx, &value) == VTR_SUCCESS)
            nyxsim_trace(sim,
                         [&] { return std::string("connect value " + std::to_string(value)); });
    }
    nyxsim_peer *p = find_peer(sim, from);
    int32_t forced = take_forced_status(sim);
    uint16_t status = SBCP2_STATUS_RESPONSE;
    // A forced status replaces a success only: a full manager stays full.
    if (!p && sim->peers.size() >= sim->options.max_clients)
        status = SBCP2_STATUS_TOO_MANY_CLIENTS;
    else if (forced >= 0)
        status = uint16_t(forced);
    if (status != SBCP2_STATUS_RESPONSE) {
        forget_peer(sim, from);
        reply(sim, from, SBCP2_OPCODE_CONNECT, seqnum, status, false);
        return;
    }
    if (!p) {
        sim->peers.push_back(nyxsim_peer{*from, nyxsim_clock::now(), 0});
        p = &sim->peers.back();
        nyxsim_trace(sim, [&] {
            return std::string("client " + nyxsim_peer_text(from) + " connected (" +
                               std::to_string(sim->peers.size()) + " of " +
                               std::to_string(sim->options.max_clients) + ")");
        });
    }
    // A connect from a known address starts that connection afresh.
    p->seqnum = 0;
    p->last_seen = nyxsim_clock::now();
    reply(sim, from, SBCP2_OPCODE_CONNECT, seqnum, SBCP2_STATUS_RESPONSE, true);
    send_event(sim, p, NYX_OPCODE_OPTIONS);
    send_event(sim, p, NYX_OPCODE_STATE);
    send_event(sim, p, NYX_OPCODE_NAME);
}

void handle_set_config(nyxsim *sim, const vtr_address *from, uint16_t seqnum) {
    nyx_system_config config{};
    vtr_error e = nyxsim_decode_system_config(&sim->rx, 0, &config);
    uint16_t status = NYX_STATUS_INVALID_DATA;
    if (e == VTR_SUCCESS) {
        sim->last_config = config;
        sim->has_last_config = true;
        status = nyxsim_model_check_config(&sim->model, &config);
        if (status != SBCP2_STATUS_RESPONSE)
            nyxsim_trace(sim, [&] {
                return std::string(std::string("configuration refused: ") +
                                   nyx_status_name(status));
            });
    } else {
        const char *name = vtr_error_name(e);
        nyxsim_trace(sim, [&] {
            return std::string(std::string("malformed configuration: ") + (name ? name : "?"));
        });
    }
    int32_t forced = take_forced_status(sim);
    bool apply = status == SBCP2_STATUS_RESPONSE && (forced < 0 || forced == status);
    if (apply)
        nyxsim_model_apply_config(&sim->model, &config);
    // A forced status replaces a success only: a refused configuration stays refused.
    reply(sim, from, NYX_OPCODE_SET_CONFIG, seqnum,
          forced >= 0 && status == SBCP2_STATUS_RESPONSE ? uint16_t(forced) : status, true);
    if (apply)
        nyxsim_broadcast(sim, NYX_OPCODE_STATE, from);
}

void handle_request(nyxsim *sim, const vtr_address *from, uint16_t opcode, uint16_t seqnum) {
    if (opcode == NYX_OPCODE_SET_CONFIG) {
        handle_set_config(sim, from, seqnum);
        return;
    }
    int32_t forced = take_forced_status(sim);
    bool apply = forced < 0 || forced == SBCP2_STATUS_RESPONSE;
    uint16_t status = forced >= 0 ? uint16_t(forced) : uint16_t(SBCP2_STATUS_RESPONSE);
    if (opcode == NYX_OPCODE_CLEAR_SYSTEM_ERROR) {
        uint16_t before = sim->model.state.system_error;
        if (apply)
            nyxsim_model_clear_error(&sim->model);
        reply(sim, from, opcode, seqnum, status, true);
        if (before != sim->model.state.system_error)
            nyxsim_broadcast(sim, NYX_OPCODE_STATE, from);
    } else if (opcode == NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS) {
        if (apply)
            nyxsim_model_clear_domain(&sim->model);
        reply(sim, from, opcode, seqnum, status, false);
        // The reply carries no state, so the requester learns the outcome from the event.
        if (apply)
            nyxsim_broadcast(sim, NYX_OPCODE_STATE, nullptr);
    } else {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_UNRECOGNISED_OPCODE, false);
    }
}

} // namespace

void nyxsim_handle_datagram(nyxsim *sim, const vtr_address *from, size_t length) {
    const uint8_t *head = sbcp2_message_head(&sim->rx);
    if (length < SBCP2_HEAD_SIZE) {
        nyxsim_trace_datagram(sim, "<-", from, head, length,
                              "ignored: shorter than the 20-byte head");
        return;
    }
    if (sbcp2_message_get_size(head) != length) {
        nyxsim_trace_datagram(sim, "<-", from, head, length,
                              "ignored: size field " +
                                  std::to_string(sbcp2_message_get_size(head)) + " but " +
                                  std::to_string(length) + " bytes received");
        return;
    }
    uint16_t opcode = sbcp2_message_get_opcode(head);
    uint16_t status = sbcp2_message_get_status(head);
    uint16_t seqnum = sbcp2_message_get_seqnum(head);
    ++sim->received[opcode];

    std::string note;
    if (status != SBCP2_STATUS_REQUEST)
        note = "ignored: not a request";
    else if (sim->silent)
        note = "ignored: silent";
    else if (opcode == NYX_OPCODE_SET_CONFIG && sim->options.verbose) {
        nyx_system_config config{};
        if (nyxsim_decode_system_config(&sim->rx, 0, &config) == VTR_SUCCESS)
            note = nyxsim_describe_config(&config);
    }
    nyxsim_trace_datagram(sim, "<-", from, head, length, note);
    if (status != SBCP2_STATUS_REQUEST || sim->silent)
        return;

    if (sim->not_connected) {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_NOT_CONNECTED, false);
        return;
    }
    if (opcode == SBCP2_OPCODE_CONNECT) {
        handle_connect(sim, from, seqnum);
        return;
    }
    nyxsim_peer *p = find_peer(sim, from);
    if (!p) {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_NOT_CONNECTED, false);
        return;
    }
    p->last_seen = nyxsim_clock::now();
    if (opcode == SBCP2_OPCODE_KEEPALIVE) {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_RESPONSE, false);
    } else if (opcode == SBCP2_OPCODE_DISCONNECT) {
        forget_peer(sim, from);
        nyxsim_trace(
            sim, [&] { return std::string("client " + nyxsim_peer_text(from) + " disconnected"); });
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_RESPONSE, false);
    } else if (!sim->no_reply) {
        handle_request(sim, from, opcode, seqnum);
    }
}

void nyxsim_expire_peers(nyxsim *sim) {
    auto limit = std::chrono::milliseconds(sim->options.client_timeout_ms);
    auto now = nyxsim_clock::now();
    for (auto it = sim->peers.begin(); it != sim->peers.end();) {
        if (now - it->last_seen > limit) {
            nyxsim_trace(sim, [&] {
                return std::string("client " + nyxsim_peer_text(&it->address) +
                                   " gone: nothing heard for " +
                                   std::to_string(sim->options.client_timeout_ms) + " ms");
            });
            it = sim->peers.erase(it);
        } else {
            ++it;
        }
    }
}
