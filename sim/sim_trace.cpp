// The datagram trace: one-line descriptions of records and datagrams, and the writer that
// alone puts the lines on standard error.
#include "sim/sim_internal.h"
#include "sim/sim_text.h"

#include <cstdio>
#include <utility>

std::string nyxsim_peer_text(const vtr_address *address) {
    char ip[32] = "";
    vtr_inet_ntoa(address->addr.addr_be, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(vtr_address_port(address));
}

void nyxsim_trace_queue(nyxsim *sim, std::string line) {
    std::lock_guard<std::mutex> lock(sim->trace_mutex);
    if (sim->trace_lines.size() >= NYXSIM_MAX_TRACE_LINES) {
        ++sim->trace_dropped;
        return;
    }
    sim->trace_lines.push_back("nyx-sim: " + line + "\n");
    sim->trace_ready.notify_one();
}

void nyxsim_trace_datagram(nyxsim *sim, const char *direction, const vtr_address *peer,
                           const uint8_t *data, size_t length, const std::string &note) {
    nyxsim_trace(sim, [&] {
        return nyxsim_describe_datagram(direction, nyxsim_peer_text(peer), data, length, note);
    });
}

void nyxsim_trace_write(nyxsim *sim) {
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> lock(sim->trace_mutex);
    for (;;) {
        sim->trace_ready.wait(lock,
                              [sim] { return sim->writer_stop || !sim->trace_lines.empty(); });
        if (sim->trace_lines.empty())
            return;
        lines.swap(sim->trace_lines);
        uint64_t dropped = sim->trace_dropped;
        sim->trace_dropped = 0;
        lock.unlock();
        for (const std::string &line : lines)
            fputs(line.c_str(), stderr);
        if (dropped)
            fprintf(stderr, "nyx-sim: %llu trace lines dropped: standard error is too slow\n",
                    (unsigned long long)dropped);
        fflush(stderr);
        lines.clear();
        lock.lock();
    }
}

std::string nyxsim_describe_config(const nyx_system_config *c) {
    char buf[160];
    snprintf(buf, sizeof buf,
             "run=%u ch=%u rate=%u fmt=%u lat=\"%s\" pullup=%u %s buf=%u enc=%u asio_lat=%uus",
             c->want_to_run, c->channels, c->sample_rate, c->sample_format,
             nyxsim_field_text(c->latency).c_str(), c->pullup,
             nyx_audio_interface_name(c->asio.audio_interface), c->asio.asio_buffer_size,
             c->asio.asio_encoding, c->asio.asio_latency_us);
    return std::string(buf) + " if=\"" + nyxsim_utf16_to_utf8(c->interface.name, 64) + "\"/" +
           nyxsim_mac_text(c->interface.mac);
}

std::string nyxsim_describe_state(const nyx_system_state *s) {
    const char *error = nyx_system_error_name(s->system_error);
    std::string out = nyxsim_describe_config(&s->config);
    out += " err=" + nyxsim_hex16(s->system_error) + "(" + (error ? error : "?") + ")";
    out += " link=" + std::string(s->link_up ? "up/" + std::to_string(s->link_speed) + "M"
                                             : std::string("down"));
    out += " ip=" + nyxsim_ip_text(s->ip_address);
    out += " dev=\"" + nyxsim_field_text(s->device_name) + "\"";
    out += " lock=" + std::to_string(s->device_lock_status);
    if (s->config_lock_flags)
        out += " lock_flags=" + nyxsim_hex16(s->config_lock_flags);
    const nyx_domain_info &d = s->domain;
    if (d.enrolled)
        out += " domain=\"" + nyxsim_field_text(d.domain_name) + "\"(" +
               (d.connected ? "connected" : "offline") + "," +
               (d.config_allowed ? "open" : "locked") + ")";
    else
        out += " domain=none";
    return out;
}

std::string nyxsim_describe_options(const nyx_system_options *o) {
    std::string out =
        "channels=" + nyxsim_join_numbers(o->channel_counts, o->num_channel_counts, ",");
    out += " ifs=";
    // Piece by piece: g++ 12 at -O3 mistakes `"literal" + std::string&&` for an overlapping copy.
    for (uint16_t i = 0; i < o->num_interfaces && i < NYX_LIST_MAX; ++i) {
        out += i ? ",\"" : "\"";
        out += nyxsim_utf16_to_utf8(o->interfaces[i].name, 64);
        out += '"';
    }
    out += " rates=";
    for (uint16_t i = 0; i < o->num_sample_rates && i < NYX_LIST_MAX; ++i) {
        out += i ? "," : "";
        out += std::to_string(o->sample_rates[i].rate);
        out += '@';
        out += std::to_string(o->sample_rates[i].max_channels);
    }
    out += " fmts=" + nyxsim_join_numbers(o->sample_formats, o->num_sample_formats, ",");
    out += " lats=";
    for (uint16_t i = 0; i < o->num_latencies && i < NYX_LIST_MAX; ++i) {
        out += i ? ",\"" : "\"";
        out += nyxsim_field_text(o->latencies[i].name);
        out += "\"@";
        out += std::to_string(o->latencies[i].us);
    }
    out += " asio_buf=" +
           nyxsim_join_numbers(o->asio.asio_buffer_sizes, o->asio.num_asio_buffer_sizes, ",");
    out +=
        " asio_enc=" + nyxsim_join_numbers(o->asio.asio_encodings, o->asio.num_asio_encodings, ",");
    out +=
        " asio_lat=" + nyxsim_join_numbers(o->asio.asio_latencies, o->asio.num_asio_latencies, ",");
    return out;
}

std::string nyxsim_describe_version(const nyx_server_version *v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u \"%s\"", v->major, v->minor, v->patch, v->build,
             nyxsim_field_text(v->text).c_str());
    return buf;
}

const char *nyxsim_opcode_name(uint16_t opcode) {
    static const std::pair<uint16_t, const char *> names[] = {
        {SBCP2_OPCODE_KEEPALIVE, "keepalive"},
        {SBCP2_OPCODE_CONNECT, "connect"},
        {SBCP2_OPCODE_DISCONNECT, "disconnect"},
        {NYX_OPCODE_OPTIONS, "options"},
        {NYX_OPCODE_STATE, "state"},
        {NYX_OPCODE_NAME, "name"},
        {NYX_OPCODE_SET_CONFIG, "SET_CONFIG"},
        {NYX_OPCODE_CLEAR_SYSTEM_ERROR, "CLEAR_SYSTEM_ERROR"},
        {NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS, "CLEAR_DOMAIN_CREDENTIALS"},
    };
    for (const auto &n : names)
        if (n.first == opcode)
            return n.second;
    return "?";
}

std::string nyxsim_describe_datagram(const char *direction, const std::string &peer,
                                     const uint8_t *data, size_t length,
                                     const std::string &summary) {
    std::string out = std::string(direction) + " " + peer;
    if (!data || length < SBCP2_HEAD_SIZE)
        return out + " " + std::to_string(length) + " bytes" +
               (summary.empty() ? "" : ": " + summary);
    uint16_t opcode = sbcp2_message_get_opcode(data);
    uint16_t status = sbcp2_message_get_status(data);
    char buf[160];
    snprintf(buf, sizeof buf, " %s(0x%04x) %s(%u) seq=%u size=%u", nyxsim_opcode_name(opcode),
             opcode, nyx_status_name(status), status, sbcp2_message_get_seqnum(data),
             sbcp2_message_get_size(data));
    out += buf;
    if (!summary.empty())
        out += " | " + summary;
    return out;
}
