#include "sim/sim_bodies.h"

#include <algorithm>
#include <cstring>

namespace {

#define SIM_TRY(expr)                                                                              \
    do {                                                                                           \
        vtr_error sim_try_error_ = (expr);                                                         \
        if (sim_try_error_ != VTR_SUCCESS)                                                         \
            return sim_try_error_;                                                                 \
    } while (0)

// Record texts are terminated by construction, but a record filled by hand need not be: the
// encoders never read past the field.
template <size_t N> void bounded_copy(char (&dst)[N + 1], const char (&src)[N]) {
    size_t n = strnlen(src, N);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

template <size_t N> void bounded_copy(char16_t (&dst)[N + 1], const char16_t (&src)[N]) {
    size_t n = 0;
    while (n < N && src[n] != 0)
        ++n;
    memcpy(dst, src, n * sizeof(char16_t));
    dst[n] = 0;
}

template <size_t N> vtr_error append_text(sbcp2_message *msg, const char (&text)[N], uint16_t *o) {
    char copy[N + 1];
    bounded_copy<N>(copy, text);
    return sbcp2_message_append_string(msg, copy, o);
}

template <size_t N>
vtr_error append_wtext(sbcp2_message *msg, const char16_t (&text)[N], uint16_t *o) {
    char16_t copy[N + 1];
    bounded_copy<N>(copy, text);
    return sbcp2_message_append_wstring(msg, copy, o);
}

// A 32-bit array: the count, two pad bytes when that leaves the values off a 4-byte boundary,
// then the values. The pad is written even for an empty array, since readers check for it.
vtr_error append_u32_array(sbcp2_message *msg, uint16_t count, const uint32_t *values,
                           uint16_t *offset) {
    uint8_t be[2] = {uint8_t(count >> 8), uint8_t(count)};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_append_bytes(msg, 2, be, &o));
    if (sbcp2_message_body_length(msg) % 4 != 0)
        SIM_TRY(sbcp2_message_append_bytes(msg, 2, nullptr, nullptr));
    for (uint16_t i = 0; i < count; ++i) {
        uint16_t ignored = 0;
        SIM_TRY(sbcp2_message_append_u32(msg, values[i], &ignored));
    }
    *offset = o;
    return VTR_SUCCESS;
}

vtr_error append_u32(sbcp2_message *msg, uint32_t value, sbcp2_u16_array *slots, uint16_t slot) {
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_append_u32(msg, value, &o));
    sbcp2_u16_array_set(slots, slot, o);
    return VTR_SUCCESS;
}

vtr_error encode_interface(sbcp2_message *msg, const nyx_interface *interface, uint16_t *offset) {
    sbcp2_u16_array group{};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 2, &group));
    SIM_TRY(append_wtext(msg, interface->name, &o));
    sbcp2_u16_array_set(&group, 0, o);
    SIM_TRY(sbcp2_message_append_bytes(msg, 6, interface->mac, &o));
    sbcp2_u16_array_set(&group, 1, o);
    *offset = group.offset;
    return VTR_SUCCESS;
}

uint16_t clamp_count(uint16_t count) {
    return std::min<uint16_t>(count, NYX_LIST_MAX);
}

vtr_error decode_interface(const sbcp2_message *msg, uint32_t offset, nyx_interface *interface) {
    sbcp2_u16_array group{};
    SIM_TRY(sbcp2_message_get_u16_array(msg, offset, &group));
    if (group.count > 0) {
        size_t capacity = 64;
        SIM_TRY(sbcp2_message_read_wstring(msg, sbcp2_u16_array_get(&group, 0), interface->name,
                                           &capacity));
    }
    if (group.count > 1)
        SIM_TRY(sbcp2_message_read_bytes(msg, sbcp2_u16_array_get(&group, 1), 6, interface->mac));
    return VTR_SUCCESS;
}

} // namespace

vtr_error nyxsim_encode_server_version(sbcp2_message *msg, const nyx_server_version *version) {
    if (!msg || !version)
        return VTR_INVALIDPARAMETER;
    sbcp2_u16_array root{};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 8, &root));
    sbcp2_u16_array_set(&root, 0, version->word0);
    sbcp2_u16_array_set(&root, 1, version->major);
    sbcp2_u16_array_set(&root, 2, version->minor);
    sbcp2_u16_array_set(&root, 3, version->patch);
    sbcp2_u16_array_set(&root, 4, version->build);
    SIM_TRY(append_text(msg, version->text, &o));
    sbcp2_u16_array_set(&root, 5, o);
    sbcp2_u16_array_set(&root, 6, 0);
    sbcp2_u16_array_set(&root, 7, version->word7);
    return VTR_SUCCESS;
}

vtr_error nyxsim_encode_system_config(sbcp2_message *msg, const nyx_system_config *config,
                                      uint16_t *offset) {
    if (!msg || !config)
        return VTR_INVALIDPARAMETER;
    sbcp2_u16_array root{}, asio{};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 8, &root));
    sbcp2_u16_array_set(&root, 0, config->channels);
    SIM_TRY(encode_interface(msg, &config->interface, &o));
    sbcp2_u16_array_set(&root, 1, o);
    SIM_TRY(append_u32(msg, config->sample_rate, &root, 2));
    sbcp2_u16_array_set(&root, 3, config->sample_format);
    SIM_TRY(append_text(msg, config->latency, &o));
    sbcp2_u16_array_set(&root, 4, o);
    sbcp2_u16_array_set(&root, 5, uint16_t(config->want_to_run));
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 4, &asio));
    sbcp2_u16_array_set(&root, 6, asio.offset);
    sbcp2_u16_array_set(&asio, 0, uint16_t(config->asio.audio_interface));
    SIM_TRY(append_u32(msg, config->asio.asio_buffer_size, &asio, 1));
    sbcp2_u16_array_set(&asio, 2, config->asio.asio_encoding);
    SIM_TRY(append_u32(msg, config->asio.asio_latency_us, &asio, 3));
    sbcp2_u16_array_set(&root, 7, config->pullup);
    if (offset)
        *offset = root.offset;
    return VTR_SUCCESS;
}

vtr_error nyxsim_encode_system_state(sbcp2_message *msg, const nyx_system_state *state) {
    if (!msg || !state)
        return VTR_INVALIDPARAMETER;
    sbcp2_u16_array root{}, dll{}, domain{};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 11, &root));
    SIM_TRY(nyxsim_encode_system_config(msg, &state->config, &o));
    sbcp2_u16_array_set(&root, 0, o);
    sbcp2_u16_array_set(&root, 1, state->config_lock_flags);
    sbcp2_u16_array_set(&root, 2, uint16_t(state->link_up));
    SIM_TRY(append_u32(msg, state->link_speed, &root, 3));
    SIM_TRY(sbcp2_message_append_bytes(msg, 4, state->ip_address, &o));
    sbcp2_u16_array_set(&root, 4, o);
    SIM_TRY(append_text(msg, state->device_name, &o));
    sbcp2_u16_array_set(&root, 5, o);
    sbcp2_u16_array_set(&root, 6, state->system_error);
    sbcp2_u16_array_set(&root, 7, uint16_t(state->slot7_value));
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 1, &dll));
    sbcp2_u16_array_set(&root, 8, dll.offset);
    SIM_TRY(append_wtext(msg, state->dll_process_name, &o));
    sbcp2_u16_array_set(&dll, 0, o);
    sbcp2_u16_array_set(&root, 9, uint16_t(state->device_lock_status));
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 6, &domain));
    sbcp2_u16_array_set(&root, 10, domain.offset);
    SIM_TRY(append_text(msg, state->domain.domain_text, &o));
    sbcp2_u16_array_set(&domain, 0, o);
    SIM_TRY(append_text(msg, state->domain.domain_name, &o));
    sbcp2_u16_array_set(&domain, 1, o);
    SIM_TRY(append_u32(msg, state->domain.domain_value, &domain, 2));
    sbcp2_u16_array_set(&domain, 3, uint16_t(state->domain.enrolled));
    sbcp2_u16_array_set(&domain, 4, uint16_t(state->domain.connected));
    sbcp2_u16_array_set(&domain, 5, uint16_t(state->domain.config_allowed));
    return VTR_SUCCESS;
}

vtr_error nyxsim_encode_system_options(sbcp2_message *msg, const nyx_system_options *options) {
    if (!msg || !options)
        return VTR_INVALIDPARAMETER;
    sbcp2_u16_array root{}, list{}, asio{};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 6, &root));

    SIM_TRY(sbcp2_message_append_u16_array(msg, clamp_count(options->num_channel_counts),
                                           options->channel_counts, &o));
    sbcp2_u16_array_set(&root, 0, o);

    uint16_t n = clamp_count(options->num_interfaces);
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, n, &list));
    sbcp2_u16_array_set(&root, 1, list.offset);
    for (uint16_t i = 0; i < n; ++i) {
        SIM_TRY(encode_interface(msg, &options->interfaces[i], &o));
        sbcp2_u16_array_set(&list, i, o);
    }

    n = clamp_count(options->num_sample_rates);
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, n, &list));
    sbcp2_u16_array_set(&root, 2, list.offset);
    for (uint16_t i = 0; i < n; ++i) {
        sbcp2_u16_array group{};
        SIM_TRY(sbcp2_message_reserve_u16_array(msg, 2, &group));
        SIM_TRY(append_u32(msg, options->sample_rates[i].rate, &group, 0));
        sbcp2_u16_array_set(&group, 1, options->sample_rates[i].max_channels);
        sbcp2_u16_array_set(&list, i, group.offset);
    }

    SIM_TRY(sbcp2_message_append_u16_array(msg, clamp_count(options->num_sample_formats),
                                           options->sample_formats, &o));
    sbcp2_u16_array_set(&root, 3, o);

    n = clamp_count(options->num_latencies);
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, n, &list));
    sbcp2_u16_array_set(&root, 4, list.offset);
    for (uint16_t i = 0; i < n; ++i) {
        sbcp2_u16_array group{};
        SIM_TRY(sbcp2_message_reserve_u16_array(msg, 2, &group));
        SIM_TRY(append_text(msg, options->latencies[i].name, &o));
        sbcp2_u16_array_set(&group, 0, o);
        SIM_TRY(append_u32(msg, options->latencies[i].us, &group, 1));
        sbcp2_u16_array_set(&list, i, group.offset);
    }

    const nyx_asio_options &a = options->asio;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 4, &asio));
    sbcp2_u16_array_set(&root, 5, asio.offset);
    sbcp2_u16_array_set(&asio, 0, 0);
    SIM_TRY(append_u32_array(msg, clamp_count(a.num_asio_buffer_sizes), a.asio_buffer_sizes, &o));
    sbcp2_u16_array_set(&asio, 1, o);
    SIM_TRY(sbcp2_message_append_u16_array(msg, clamp_count(a.num_asio_encodings), a.asio_encodings,
                                           &o));
    sbcp2_u16_array_set(&asio, 2, o);
    SIM_TRY(append_u32_array(msg, clamp_count(a.num_asio_latencies), a.asio_latencies, &o));
    sbcp2_u16_array_set(&asio, 3, o);
    return VTR_SUCCESS;
}

vtr_error nyxsim_encode_name(sbcp2_message *msg, const nyx_name *name) {
    if (!msg || !name)
        return VTR_INVALIDPARAMETER;
    sbcp2_u16_array root{};
    uint16_t o = 0;
    SIM_TRY(sbcp2_message_reserve_u16_array(msg, 1, &root));
    SIM_TRY(append_text(msg, name->name, &o));
    sbcp2_u16_array_set(&root, 0, o);
    return VTR_SUCCESS;
}

vtr_error nyxsim_decode_system_config(const sbcp2_message *msg, uint32_t offset,
                                      nyx_system_config *config) {
    if (!msg || !config)
        return VTR_INVALIDPARAMETER;
    memset(config, 0, sizeof *config);
    sbcp2_u16_array root{};
    SIM_TRY(sbcp2_message_get_u16_array(msg, offset, &root));
    uint16_t known = std::min<uint16_t>(root.count, 8);
    for (uint16_t slot = 0; slot < known; ++slot) {
        uint16_t v = sbcp2_u16_array_get(&root, slot);
        switch (slot) {
        case 0:
            config->channels = v;
            break;
        case 1:
            SIM_TRY(decode_interface(msg, v, &config->interface));
            break;
        case 2:
            SIM_TRY(sbcp2_message_read_u32(msg, v, &config->sample_rate));
            break;
        case 3:
            config->sample_format = v;
            break;
        case 4: {
            size_t size = sizeof config->latency;
            SIM_TRY(sbcp2_message_read_string(msg, v, config->latency, &size));
            break;
        }
        case 5:
            config->want_to_run = v != 0 ? 1 : 0;
            break;
        case 6: {
            sbcp2_u16_array asio{};
            SIM_TRY(sbcp2_message_get_u16_array(msg, v, &asio));
            if (asio.count < 4)
                return VTR_NODATA;
            config->asio.audio_interface = sbcp2_u16_array_get(&asio, 0);
            SIM_TRY(sbcp2_message_read_u32(msg, sbcp2_u16_array_get(&asio, 1),
                                           &config->asio.asio_buffer_size));
            config->asio.asio_encoding = sbcp2_u16_array_get(&asio, 2);
            SIM_TRY(sbcp2_message_read_u32(msg, sbcp2_u16_array_get(&asio, 3),
                                           &config->asio.asio_latency_us));
            break;
        }
        case 7:
            config->pullup = v;
            break;
        }
    }
    return VTR_SUCCESS;
}

vtr_error nyxsim_decode_connect(const sbcp2_message *msg, uint16_t *value) {
    if (!msg || !value)
        return VTR_INVALIDPARAMETER;
    sbcp2_u16_array root{};
    SIM_TRY(sbcp2_message_get_u16_array(msg, 0, &root));
    if (root.count < 1)
        return VTR_NODATA;
    *value = sbcp2_u16_array_get(&root, 0);
    return VTR_SUCCESS;
}
