// Bodies of the service's messages. Every body and every group in it is a slot array whose
// slots hold either a 16-bit immediate or the body offset of a further item.
#include "client/nyx_bodies.h"

#include <cstring>

namespace {

// Slots each layout knows; further slots are ignored.
enum : uint16_t {
    VERSION_SLOTS = 8,
    CONFIG_SLOTS = 8,
    INTERFACE_SLOTS = 2,
    ASIO_SLOTS = 4,
    STATE_SLOTS = 11,
    DLL_SLOTS = 1,
    DOMAIN_SLOTS = 6,
    OPTIONS_SLOTS = 6,
    SAMPLE_RATE_SLOTS = 2,
    LATENCY_SLOTS = 2,
    ASIO_OPTIONS_SLOTS = 4,
    NAME_SLOTS = 1,
};

uint16_t min16(uint16_t a, uint16_t b) {
    return a < b ? a : b;
}

// A group at an offset; groups shorter than `required` slots fail with NODATA.
vtr_error read_group(const sbcp2_message *msg, uint32_t offset, uint16_t known, uint16_t required,
                     sbcp2_u16_array *group, uint16_t *slots) {
    vtr_error err = sbcp2_message_get_u16_array(msg, offset, group);
    if (err != VTR_SUCCESS) {
        return err;
    }
    if (group->count < required) {
        return VTR_NODATA;
    }
    *slots = min16(group->count, known);
    return VTR_SUCCESS;
}

// Reads the group at offset and hands each known slot to read(index, slot) until one fails.
template <typename Read>
vtr_error read_slots(const sbcp2_message *msg, uint32_t offset, uint16_t known, uint16_t required,
                     Read read) {
    sbcp2_u16_array group;
    uint16_t slots = 0;
    vtr_error err = read_group(msg, offset, known, required, &group, &slots);
    for (uint16_t i = 0; i < slots && err == VTR_SUCCESS; i++) {
        err = read(i, sbcp2_u16_array_get(&group, i));
    }
    return err;
}

// Zero-fills a record, then reads the body's root group slot by slot.
template <typename Record, typename Read>
vtr_error decode_root(const sbcp2_message *msg, Record *record, uint16_t known, Read read) {
    if (msg == nullptr || record == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    std::memset(record, 0, sizeof *record);
    return read_slots(msg, 0, known, 0, read);
}

// Texts longer than the field are cut to fit; that is not an error.
vtr_error read_text(const sbcp2_message *msg, uint32_t offset, char *field, size_t size) {
    size_t length = size;
    return sbcp2_message_read_string(msg, offset, field, &length);
}

vtr_error read_wide(const sbcp2_message *msg, uint32_t offset, char16_t *field, size_t units) {
    size_t capacity = units;
    return sbcp2_message_read_wstring(msg, offset, field, &capacity);
}

vtr_error decode_interface(const sbcp2_message *msg, uint32_t offset, nyx_interface *interface) {
    return read_slots(msg, offset, INTERFACE_SLOTS, 0, [&](uint16_t i, uint16_t slot) {
        return i == 0 ? read_wide(msg, slot, interface->name, sizeof interface->name / 2)
                      : sbcp2_message_read_bytes(msg, slot, sizeof interface->mac, interface->mac);
    });
}

vtr_error decode_asio(const sbcp2_message *msg, uint32_t offset, nyx_asio_config *asio) {
    return read_slots(msg, offset, ASIO_SLOTS, ASIO_SLOTS,
                      [&](uint16_t i, uint16_t slot) -> vtr_error {
                          switch (i) {
                          case 0:
                              asio->audio_interface = slot;
                              break;
                          case 1:
                              return sbcp2_message_read_u32(msg, slot, &asio->asio_buffer_size);
                          case 2:
                              asio->asio_encoding = slot;
                              break;
                          case 3:
                              return sbcp2_message_read_u32(msg, slot, &asio->asio_latency_us);
                          }
                          return VTR_SUCCESS;
                      });
}

vtr_error decode_config(const sbcp2_message *msg, uint32_t offset, nyx_system_config *config) {
    return read_slots(msg, offset, CONFIG_SLOTS, 0, [&](uint16_t i, uint16_t slot) -> vtr_error {
        switch (i) {
        case 0:
            config->channels = slot;
            break;
        case 1:
            return decode_interface(msg, slot, &config->interface);
        case 2:
            return sbcp2_message_read_u32(msg, slot, &config->sample_rate);
        case 3:
            config->sample_format = slot;
            break;
        case 4:
            return read_text(msg, slot, config->latency, sizeof config->latency);
        case 5:
            config->want_to_run = slot != 0 ? 1 : 0;
            break;
        case 6:
            return decode_asio(msg, slot, &config->asio);
        case 7:
            config->pullup = slot;
            break;
        }
        return VTR_SUCCESS;
    });
}

vtr_error decode_dll(const sbcp2_message *msg, uint32_t offset, nyx_system_state *state) {
    sbcp2_u16_array group;
    uint16_t slots = 0;
    vtr_error err = read_group(msg, offset, DLL_SLOTS, DLL_SLOTS, &group, &slots);
    if (err != VTR_SUCCESS) {
        return err;
    }
    return read_wide(msg, sbcp2_u16_array_get(&group, 0), state->dll_process_name,
                     sizeof state->dll_process_name / 2);
}

vtr_error decode_domain(const sbcp2_message *msg, uint32_t offset, nyx_domain_info *domain) {
    return read_slots(msg, offset, DOMAIN_SLOTS, 0, [&](uint16_t i, uint16_t slot) -> vtr_error {
        switch (i) {
        case 0:
            return read_text(msg, slot, domain->domain_text, sizeof domain->domain_text);
        case 1:
            return read_text(msg, slot, domain->domain_name, sizeof domain->domain_name);
        case 2:
            return sbcp2_message_read_u32(msg, slot, &domain->domain_value);
        case 3:
            domain->enrolled = slot;
            break;
        case 4:
            domain->connected = slot;
            break;
        case 5:
            domain->config_allowed = slot;
            break;
        }
        return VTR_SUCCESS;
    });
}

vtr_error decode_sample_rate(const sbcp2_message *msg, uint32_t offset,
                             nyx_sample_rate_option *rate) {
    return read_slots(msg, offset, SAMPLE_RATE_SLOTS, 0, [&](uint16_t i, uint16_t slot) {
        if (i == 0) {
            return sbcp2_message_read_u32(msg, slot, &rate->rate);
        }
        rate->max_channels = slot;
        return vtr_error{VTR_SUCCESS};
    });
}

vtr_error decode_latency(const sbcp2_message *msg, uint32_t offset, nyx_latency_option *latency) {
    return read_slots(msg, offset, LATENCY_SLOTS, 0, [&](uint16_t i, uint16_t slot) {
        return i == 0 ? read_text(msg, slot, latency->name, sizeof latency->name)
                      : sbcp2_message_read_u32(msg, slot, &latency->us);
    });
}

// An array of group offsets; the first 16 groups are decoded into zero-filled entries.
template <typename T>
vtr_error decode_list(const sbcp2_message *msg, uint32_t offset, uint16_t *count, T *entries,
                      vtr_error (*decode)(const sbcp2_message *, uint32_t, T *)) {
    sbcp2_u16_array list;
    vtr_error err = sbcp2_message_get_u16_array(msg, offset, &list);
    if (err != VTR_SUCCESS) {
        return err;
    }
    *count = min16(list.count, NYX_LIST_MAX);
    for (uint16_t i = 0; i < *count; i++) {
        std::memset(&entries[i], 0, sizeof entries[i]);
        err = decode(msg, sbcp2_u16_array_get(&list, i), &entries[i]);
        if (err != VTR_SUCCESS) {
            return err;
        }
    }
    return VTR_SUCCESS;
}

// A list of at most 16 numbers; more in the body are left unread.
template <typename T>
vtr_error read_list(const sbcp2_message *msg, uint32_t offset, uint16_t *count, T *values,
                    vtr_error (*read)(const sbcp2_message *, uint32_t, uint16_t *, T *)) {
    uint16_t n = NYX_LIST_MAX;
    vtr_error err = read(msg, offset, &n, values);
    if (err == VTR_SUCCESS) {
        *count = min16(n, NYX_LIST_MAX);
    }
    return err;
}

vtr_error read_u16_list(const sbcp2_message *msg, uint32_t offset, uint16_t *count,
                        uint16_t *values) {
    return read_list(msg, offset, count, values, sbcp2_message_read_u16_array);
}

vtr_error read_u32_list(const sbcp2_message *msg, uint32_t offset, uint16_t *count,
                        uint32_t *values) {
    return read_list(msg, offset, count, values, sbcp2_message_read_u32_array);
}

vtr_error decode_asio_options(const sbcp2_message *msg, uint32_t offset, nyx_asio_options *asio) {
    sbcp2_u16_array group;
    uint16_t slots = 0;
    vtr_error err = read_group(msg, offset, ASIO_OPTIONS_SLOTS, ASIO_OPTIONS_SLOTS, &group, &slots);
    if (err != VTR_SUCCESS) {
        return err;
    }
    // Slot 0 carries nothing this client uses.
    err = read_u32_list(msg, sbcp2_u16_array_get(&group, 1), &asio->num_asio_buffer_sizes,
                        asio->asio_buffer_sizes);
    if (err == VTR_SUCCESS) {
        err = read_u16_list(msg, sbcp2_u16_array_get(&group, 2), &asio->num_asio_encodings,
                            asio->asio_encodings);
    }
    if (err == VTR_SUCCESS) {
        err = read_u32_list(msg, sbcp2_u16_array_get(&group, 3), &asio->num_asio_latencies,
                            asio->asio_latencies);
    }
    return err;
}

// Appends a 32-bit value and puts its offset into a slot.
vtr_error put_u32(sbcp2_message *msg, sbcp2_u16_array *group, uint16_t slot, uint32_t value) {
    uint16_t offset = 0;
    vtr_error err = sbcp2_message_append_u32(msg, value, &offset);
    if (err == VTR_SUCCESS) {
        sbcp2_u16_array_set(group, slot, offset);
    }
    return err;
}

vtr_error encode_interface(sbcp2_message *msg, const nyx_interface *interface, uint16_t *offset) {
    sbcp2_u16_array group;
    vtr_error err = sbcp2_message_reserve_u16_array(msg, INTERFACE_SLOTS, &group);
    if (err != VTR_SUCCESS) {
        return err;
    }
    *offset = group.offset;
    // The name field is always terminated in a filled record; a hand-made one might not be.
    char16_t name[sizeof interface->name / 2];
    vtr_wcslcpy(name, interface->name, sizeof interface->name / 2);
    uint16_t item = 0;
    err = sbcp2_message_append_wstring(msg, name, &item);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&group, 0, item);
    err = sbcp2_message_append_bytes(msg, sizeof interface->mac, interface->mac, &item);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&group, 1, item);
    return VTR_SUCCESS;
}

vtr_error encode_asio(sbcp2_message *msg, const nyx_asio_config *asio, uint16_t *offset) {
    sbcp2_u16_array group;
    vtr_error err = sbcp2_message_reserve_u16_array(msg, ASIO_SLOTS, &group);
    if (err != VTR_SUCCESS) {
        return err;
    }
    *offset = group.offset;
    sbcp2_u16_array_set(&group, 0, uint16_t(asio->audio_interface));
    err = put_u32(msg, &group, 1, asio->asio_buffer_size);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&group, 2, asio->asio_encoding);
    return put_u32(msg, &group, 3, asio->asio_latency_us);
}

} // namespace

vtr_error nyx_encode_connect(sbcp2_message *msg, uint16_t connect_value) {
    if (msg == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    sbcp2_message_init_head(msg, NYX_PROTOCOL_VERSION, NYX_OPCODE_CONNECT);
    sbcp2_u16_array root;
    vtr_error err = sbcp2_message_reserve_u16_array(msg, 1, &root);
    if (err == VTR_SUCCESS) {
        sbcp2_u16_array_set(&root, 0, connect_value);
    }
    return err;
}

vtr_error nyx_encode_system_config(sbcp2_message *msg, const nyx_system_config *config,
                                   uint16_t *offset) {
    if (msg == nullptr || config == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    sbcp2_u16_array root;
    vtr_error err = sbcp2_message_reserve_u16_array(msg, CONFIG_SLOTS, &root);
    if (err != VTR_SUCCESS) {
        return err;
    }
    if (offset != nullptr) {
        *offset = root.offset;
    }
    uint16_t item = 0;

    sbcp2_u16_array_set(&root, 0, config->channels);
    err = encode_interface(msg, &config->interface, &item);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&root, 1, item);
    err = put_u32(msg, &root, 2, config->sample_rate);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&root, 3, config->sample_format);

    char latency[sizeof config->latency];
    vtr_strlcpy(latency, config->latency, sizeof latency);
    err = sbcp2_message_append_string(msg, latency, &item);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&root, 4, item);
    sbcp2_u16_array_set(&root, 5, uint16_t(config->want_to_run));
    err = encode_asio(msg, &config->asio, &item);
    if (err != VTR_SUCCESS) {
        return err;
    }
    sbcp2_u16_array_set(&root, 6, item);
    sbcp2_u16_array_set(&root, 7, config->pullup);
    return VTR_SUCCESS;
}

vtr_error nyx_decode_server_version(const sbcp2_message *msg, nyx_server_version *version) {
    return decode_root(msg, version, VERSION_SLOTS, [&](uint16_t i, uint16_t slot) -> vtr_error {
        switch (i) {
        case 0:
            version->word0 = slot;
            break;
        case 1:
            version->major = uint8_t(slot);
            break;
        case 2:
            version->minor = uint8_t(slot);
            break;
        case 3:
            version->patch = slot;
            break;
        case 4:
            version->build = slot;
            break;
        case 5:
            return read_text(msg, slot, version->text, sizeof version->text);
        case 7:
            version->word7 = slot;
            break;
        }
        return VTR_SUCCESS;
    });
}

vtr_error nyx_decode_system_state(const sbcp2_message *msg, nyx_system_state *state) {
    return decode_root(msg, state, STATE_SLOTS, [&](uint16_t i, uint16_t slot) -> vtr_error {
        switch (i) {
        case 0:
            return decode_config(msg, slot, &state->config);
        case 1:
            state->config_lock_flags = slot;
            break;
        case 2:
            state->link_up = slot != 0 ? 1 : 0;
            break;
        case 3:
            return sbcp2_message_read_u32(msg, slot, &state->link_speed);
        case 4:
            return sbcp2_message_read_bytes(msg, slot, sizeof state->ip_address, state->ip_address);
        case 5:
            return read_text(msg, slot, state->device_name, sizeof state->device_name);
        case 6:
            state->system_error = slot;
            break;
        case 7:
            state->slot7_value = slot;
            break;
        case 8:
            return decode_dll(msg, slot, state);
        case 9:
            state->device_lock_status = slot;
            break;
        case 10:
            return decode_domain(msg, slot, &state->domain);
        }
        return VTR_SUCCESS;
    });
}

vtr_error nyx_decode_system_options(const sbcp2_message *msg, nyx_system_options *options) {
    return decode_root(msg, options, OPTIONS_SLOTS, [&](uint16_t i, uint16_t slot) -> vtr_error {
        switch (i) {
        case 0:
            return read_u16_list(msg, slot, &options->num_channel_counts, options->channel_counts);
        case 1:
            return decode_list(msg, slot, &options->num_interfaces, options->interfaces,
                               decode_interface);
        case 2:
            return decode_list(msg, slot, &options->num_sample_rates, options->sample_rates,
                               decode_sample_rate);
        case 3:
            return read_u16_list(msg, slot, &options->num_sample_formats, options->sample_formats);
        case 4:
            return decode_list(msg, slot, &options->num_latencies, options->latencies,
                               decode_latency);
        case 5:
            return decode_asio_options(msg, slot, &options->asio);
        }
        return VTR_SUCCESS;
    });
}

vtr_error nyx_decode_name(const sbcp2_message *msg, nyx_name *name) {
    return decode_root(msg, name, NAME_SLOTS, [&](uint16_t, uint16_t slot) {
        return read_text(msg, slot, name->name, sizeof name->name);
    });
}

const char *nyx_status_name(uint16_t status) {
    switch (status) {
    case NYX_STATUS_INVALID_API:
        return "Invalid API";
    case NYX_STATUS_INVALID_DATA:
        return "Invalid Data";
    case NYX_STATUS_INVALID_STATE:
        return "Invalid State";
    case NYX_STATUS_SYSTEM_ERROR:
        return "System error";
    default:
        return sbcp2_status_name(status);
    }
}

vtr_error nyx_status_to_error(uint16_t status) {
    switch (status) {
    case SBCP2_STATUS_REQUEST:
    case SBCP2_STATUS_RESPONSE:
    case SBCP2_STATUS_EVENT:
        return VTR_SUCCESS;
    case NYX_STATUS_INVALID_API:
        return VTR_INVALIDPARAMETER;
    case NYX_STATUS_INVALID_DATA:
        return VTR_INVALIDDATA;
    case NYX_STATUS_INVALID_STATE:
        return VTR_INVALIDSTATE;
    default:
        return VTR_SYSTEM;
    }
}
