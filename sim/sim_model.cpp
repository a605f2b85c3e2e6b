#include "sim/sim_model.h"

#include "sbcp2/sbcp2_message.h"
#include "sim/sim_bodies.h"
#include "sim/sim_text.h"
#include "vtr/vtr_text.h"

#include <algorithm>
#include <cstring>
#include <memory>

const nyx_interface *nyxsim_model_find_interface(const nyxsim_model *m, const uint8_t mac[6]) {
    const nyx_system_options &o = m->options;
    for (uint16_t i = 0; i < o.num_interfaces && i < NYX_LIST_MAX; ++i)
        if (memcmp(o.interfaces[i].mac, mac, 6) == 0)
            return &o.interfaces[i];
    return nullptr;
}

void nyxsim_model_reselect_interface(nyxsim_model *m) {
    nyx_interface &selected = m->state.config.interface;
    if (const nyx_interface *found = nyxsim_model_find_interface(m, selected.mac))
        selected = *found;
    else if (m->options.num_interfaces > 0)
        selected = m->options.interfaces[0];
    else
        selected = nyx_interface{};
}

void nyxsim_model_set_running(nyxsim_model *m, uint32_t run) {
    if (m->state.config.want_to_run != run)
        m->state.system_error = run ? NYXSIM_ERROR_RUNNING : NYXSIM_ERROR_STOPPED;
    m->state.config.want_to_run = run;
}

void nyxsim_interface_set(nyx_interface *interface, const char16_t *name, const uint8_t mac[6]) {
    *interface = nyx_interface{};
    size_t n = 0;
    while (name[n] && n < 63) {
        interface->name[n] = name[n];
        ++n;
    }
    memcpy(interface->mac, mac, 6);
}

bool nyxsim_utf8_to_utf16(const std::string &text, char16_t *out, size_t capacity) {
    size_t units = vtr_utf8_to_utf16_strict(text.data(), text.size(), out, capacity);
    if (units == 0) {
        return false;
    }
    std::fill(out + units, out + capacity, u'\0');
    return true;
}

std::string nyxsim_utf16_to_utf8(const char16_t *text, size_t capacity) {
    std::string out;
    vtr_utf16_to_utf8_string(text, capacity, VTR_UTF16_REPLACE, &out);
    return out;
}

void nyxsim_model_defaults(nyxsim_model *m) {
    // Records are compared as wholes, padding included.
    memset(static_cast<void *>(m), 0, sizeof *m);
    nyx_system_options &o = m->options;

    const uint16_t channels[] = {2, 4, 8, 16, 32, 64};
    for (uint16_t c : channels)
        o.channel_counts[o.num_channel_counts++] = c;

    struct {
        const char16_t *name;
        uint8_t mac[6];
    } const interfaces[] = {
        {u"Ethernet 2", {0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01}},
        {u"WLAN-Ger\u00e4t", {0x3c, 0x22, 0xfb, 0x84, 0x7e, 0x12}},
        {u"vEthernet (Default Switch)", {0x02, 0x15, 0x5d, 0xa3, 0x4c, 0x07}},
    };
    for (const auto &i : interfaces)
        nyxsim_interface_set(&o.interfaces[o.num_interfaces++], i.name, i.mac);

    const nyx_sample_rate_option rates[] = {{44100, 64}, {48000, 64},  {88200, 32},
                                            {96000, 32}, {176400, 16}, {192000, 16}};
    for (const auto &r : rates)
        o.sample_rates[o.num_sample_rates++] = r;

    const uint16_t formats[] = {24, 32};
    for (uint16_t f : formats)
        o.sample_formats[o.num_sample_formats++] = f;

    const nyx_latency_option latencies[] = {
        {"1 ms", 1000}, {"2 ms", 2000}, {"5 ms", 5000}, {"10 ms", 10000}, {"20 ms", 20000}};
    for (const auto &l : latencies)
        o.latencies[o.num_latencies++] = l;

    const uint32_t buffers[] = {32, 64, 128, 256, 512, 1024, 2048};
    for (uint32_t b : buffers)
        o.asio.asio_buffer_sizes[o.asio.num_asio_buffer_sizes++] = b;
    const uint16_t encodings[] = {16, 24, 32};
    for (uint16_t e : encodings)
        o.asio.asio_encodings[o.asio.num_asio_encodings++] = e;
    const uint32_t asio_latencies[] = {1000, 2000, 5000, 10000, 20000};
    for (uint32_t l : asio_latencies)
        o.asio.asio_latencies[o.asio.num_asio_latencies++] = l;

    nyx_system_config &c = m->state.config;
    c.channels = 8;
    c.interface = o.interfaces[0];
    c.sample_rate = 48000;
    c.sample_format = 24;
    c.pullup = NYX_PULLUP_NONE;
    nyxsim_field_set(c.latency, "1 ms");
    c.want_to_run = 0;
    c.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO;
    c.asio.asio_buffer_size = 256;
    c.asio.asio_encoding = 24;
    c.asio.asio_latency_us = 5000;

    nyx_system_state &s = m->state;
    s.system_error = NYXSIM_ERROR_STOPPED;
    s.link_up = 1;
    s.link_speed = 1000;
    const uint8_t ip[4] = {192, 168, 1, 42};
    memcpy(s.ip_address, ip, 4);
    nyxsim_field_set(s.device_name, "Studio-PC-Nyx");
    s.domain.config_allowed = 1;

    m->version.major = 4;
    m->version.minor = 2;
    m->version.patch = 1;
    m->version.build = 37;
    nyxsim_field_set(m->version.text, "4.2.1");
    nyxsim_field_set(m->name.name, "Studio-PC-Nyx");
}

uint16_t nyxsim_model_check_config(const nyxsim_model *m, const nyx_system_config *config) {
    if (!m || !config || !nyx_system_config_is_valid(config, &m->options))
        return NYX_STATUS_INVALID_DATA;
    const nyx_system_config &now = m->state.config;
    // What the program itself refuses while the soundcard runs. A request that also stops it
    // is let through.
    if (now.want_to_run && config->want_to_run &&
        (memcmp(now.interface.mac, config->interface.mac, 6) != 0 ||
         now.channels != config->channels ||
         now.asio.audio_interface != config->asio.audio_interface ||
         strncmp(now.latency, config->latency, sizeof now.latency) != 0))
        return NYX_STATUS_INVALID_STATE;
    // And what it refuses on a locked device.
    const nyx_domain_info &d = m->state.domain;
    bool locked =
        m->state.device_lock_status != 0 || (d.enrolled && d.connected && !d.config_allowed);
    if (locked && (now.want_to_run != config->want_to_run ||
                   now.asio.asio_buffer_size != config->asio.asio_buffer_size ||
                   now.asio.asio_encoding != config->asio.asio_encoding ||
                   now.asio.asio_latency_us != config->asio.asio_latency_us))
        return NYX_STATUS_INVALID_STATE;
    return SBCP2_STATUS_RESPONSE;
}

void nyxsim_model_apply_config(nyxsim_model *m, const nyx_system_config *config) {
    uint32_t run = config->want_to_run;
    nyx_system_config next = *config;
    next.want_to_run = m->state.config.want_to_run;
    // The manager names its interfaces itself.
    if (const nyx_interface *found = nyxsim_model_find_interface(m, config->interface.mac))
        next.interface = *found;
    m->state.config = next;
    nyxsim_model_set_running(m, run);
}

void nyxsim_model_clear_error(nyxsim_model *m) {
    m->state.system_error =
        m->state.config.want_to_run ? NYXSIM_ERROR_RUNNING : NYXSIM_ERROR_STOPPED;
}

void nyxsim_model_clear_domain(nyxsim_model *m) {
    m->state.domain = nyx_domain_info{};
    m->state.domain.config_allowed = 1;
}

vtr_error nyxsim_model_check_size(const nyxsim_model *m, std::string *message) {
    auto msg = std::make_unique<sbcp2_message>();
    sbcp2_message_init_record(msg.get());
    sbcp2_message_init_head(msg.get(), NYX_PROTOCOL_VERSION, NYX_OPCODE_OPTIONS);
    vtr_error e = nyxsim_encode_system_options(msg.get(), &m->options);
    if (e != VTR_SUCCESS) {
        if (message)
            *message = "the options do not fit into one datagram";
        return e;
    }
    sbcp2_message_init_head(msg.get(), NYX_PROTOCOL_VERSION, NYX_OPCODE_STATE);
    e = nyxsim_encode_system_state(msg.get(), &m->state);
    if (e != VTR_SUCCESS && message)
        *message = "the state does not fit into one datagram";
    return e;
}
