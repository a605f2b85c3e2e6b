// The manager's records: field access, interface choice, validation, equality and printing.
#include "client/nyx_records.h"

#include <cstddef>
#include <cstring>
#include <new>

// Records are copied and compared as wholes, so their layout must not drift by accident.
static_assert(sizeof(nyx_interface) == 134);
static_assert(sizeof(nyx_asio_config) == 16);
static_assert(offsetof(nyx_system_config, interface) == 2);
static_assert(offsetof(nyx_system_config, sample_rate) == 136);
static_assert(sizeof(nyx_system_config) == 196);
static_assert(sizeof(nyx_domain_info) == 148);
static_assert(sizeof(nyx_server_version) == 18);
static_assert(sizeof(nyx_name) == 32);

namespace {

// One line of text, cut at 511 characters.
constexpr size_t LINE_SIZE = 512;

const uint8_t ZERO_BYTES[6] = {};

bool mac_is_zero(const uint8_t *mac) {
    return std::memcmp(mac, ZERO_BYTES, 6) == 0;
}

// Counts come from decoded bodies and never pass the list size, but a hand-filled record might.
uint16_t capped(uint16_t count) {
    return count > NYX_LIST_MAX ? uint16_t(NYX_LIST_MAX) : count;
}

template <typename T> bool list_contains(const T *values, uint16_t count, T value) {
    for (uint16_t i = 0; i < capped(count); i++) {
        if (values[i] == value) {
            return true;
        }
    }
    return false;
}

bool wide_equal(const char16_t *a, const char16_t *b, size_t units) {
    for (size_t i = 0; i < units; i++) {
        if (a[i] != b[i]) {
            return false;
        }
        if (a[i] == 0) {
            break;
        }
    }
    return true;
}

bool text_equal(const char *a, const char *b, size_t size) {
    return std::strncmp(a, b, size) == 0;
}

bool logging(const vtr_logger *logger, uint32_t level) {
    return logger != nullptr && level <= logger->level;
}

// Appends one list entry, with the "," separator after the first.
void list_add(char *text, bool *first, const char *entry) {
    if (!*first) {
        vtr_strlcat(text, ",", LINE_SIZE);
    }
    vtr_strlcat(text, entry, LINE_SIZE);
    *first = false;
}

} // namespace

const nyx_system_error_row nyx_system_error_table[] = {
    {0x0000, "None", "No error"},
    {0x0001, "Running", "System is running"},
    {0x0010, "Missing", "Can't find the manager"},
    {0x0011, "Stopped", "Manager isn't active"},
    {0x0100, "Manager", "Sonavel manager failed"},
    {0x0101, "Invalid Config", "Sonavel is unable to run using current configuration"},
    {0x0102, "Sleeping", "Sonavel is not running as the system is sleeping"},
    {0x0110, "Orv", "Can't communicate with Orvane server"},
    {0x0200, "Driver", "Audio driver failed"},
    {0x0201, "Driver Missing", "Can't find audio driver"},
    {0x0202, "Driver Stopped", "Audio driver isn't active"},
    {0x0203, "Driver Stalled", "Audio driver is not responding"},
    {0x0300, "PTP", "PTP failed"},
    {0x0301, "PTP Missing", "Can't find PTP program"},
    {0x0400, "Routa", "Audio routing system failed"},
    {0x0401, "Routa Missing", "Can't find audio routing program"},
    {0x0500, "Other Corvo Running",
     "Sonavel has detected that Tavrel is currently active on this computer. Please stop Tavrel "
     "before launching Sonavel."},
    {0x0600, "Orvane", "Orvane Server failed"},
    {0x0601, "Orvane Missing", "Can't find Orvane Server program"},
    {0x0120, "Brisel error", "Unable to initialize Corvo Domain support"},
    {0x0204, "Kernel extension blocked",
     "The Sonavel driver is currently blocked from loading by macOS. Please go to the Security & "
     "Privacy pane in System Preferences and allow system software from Vantorel to load."},
    {0x0700, "Prox", "Audio processing engine failed"},
    {0x0701, "Prox Missing", "Can't find audio processing engine program"},
    {0, nullptr, nullptr},
};

namespace {

const nyx_system_error_row *find_system_error(uint16_t code) {
    for (const nyx_system_error_row *row = nyx_system_error_table; row->name != nullptr; ++row) {
        if (row->code == code) {
            return row;
        }
    }
    return nullptr;
}

} // namespace

const char *nyx_system_error_name(uint16_t code) {
    const nyx_system_error_row *row = find_system_error(code);
    return row != nullptr ? row->name : nullptr;
}

const char *nyx_system_error_description(uint16_t code) {
    const nyx_system_error_row *row = find_system_error(code);
    return row != nullptr ? row->description : nullptr;
}

const char *nyx_pullup_name(uint16_t pullup) {
    switch (pullup) {
    case NYX_PULLUP_NONE:
        return "None";
    case NYX_PULLUP_PLUS_4_1667:
        return "+4.1667%";
    case NYX_PULLUP_PLUS_0_1:
        return "+0.1%";
    case NYX_PULLUP_MINUS_0_1:
        return "-0.1%";
    case NYX_PULLUP_MINUS_4:
        return "-4%";
    default:
        return "?";
    }
}

const char *nyx_audio_interface_name(uint32_t audio_interface) {
    switch (audio_interface) {
    case NYX_AUDIO_INTERFACE_ASIO:
        return "ASIO";
    case NYX_AUDIO_INTERFACE_WDM:
        return "WDM";
    default:
        return "?";
    }
}

nyx_system_config *nyx_system_config_new(void) {
    return new (std::nothrow) nyx_system_config{};
}

void nyx_system_config_copy(nyx_system_config *target, const nyx_system_config *source) {
    if (target == nullptr) {
        return;
    }
    if (source == nullptr) {
        std::memset(target, 0, sizeof *target);
        return;
    }
    std::memcpy(target, source, sizeof *target);
}

void nyx_system_config_free(nyx_system_config *config) {
    delete config;
}

vtr_error nyx_system_config_set_interface(nyx_system_config *config,
                                          const nyx_system_options *options, const uint8_t *mac) {
    if (config == nullptr || options == nullptr || mac == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    if (options->num_interfaces == 0) {
        return VTR_INVALIDDATA;
    }
    for (uint16_t i = 0; i < capped(options->num_interfaces); i++) {
        if (std::memcmp(options->interfaces[i].mac, mac, 6) == 0) {
            config->interface = options->interfaces[i];
            return VTR_SUCCESS;
        }
    }
    return VTR_INVALIDDATA;
}

void nyx_system_config_set_latency(nyx_system_config *config, const char *name) {
    if (config == nullptr || name == nullptr) {
        return;
    }
    vtr_strlcpy(config->latency, name, sizeof config->latency);
}

bool nyx_system_config_is_valid(const nyx_system_config *config,
                                const nyx_system_options *options) {
    if (config == nullptr || options == nullptr) {
        return false;
    }
    if (!list_contains(options->channel_counts, options->num_channel_counts, config->channels)) {
        return false;
    }

    if (mac_is_zero(config->interface.mac)) {
        return false;
    }
    bool known_mac = false;
    for (uint16_t i = 0; i < capped(options->num_interfaces) && !known_mac; i++) {
        known_mac = std::memcmp(options->interfaces[i].mac, config->interface.mac, 6) == 0;
    }
    if (!known_mac) {
        return false;
    }

    const nyx_sample_rate_option *rate = nullptr;
    for (uint16_t i = 0; i < capped(options->num_sample_rates) && rate == nullptr; i++) {
        if (options->sample_rates[i].rate == config->sample_rate) {
            rate = &options->sample_rates[i];
        }
    }
    if (rate == nullptr || rate->max_channels < config->channels) {
        return false;
    }

    if (!list_contains(options->sample_formats, options->num_sample_formats,
                       config->sample_format)) {
        return false;
    }
    if (nyx_system_options_find_latency_by_name(options, config->latency) == nullptr) {
        return false;
    }
    if (config->asio.audio_interface != NYX_AUDIO_INTERFACE_ASIO &&
        config->asio.audio_interface != NYX_AUDIO_INTERFACE_WDM) {
        return false;
    }
    // The ASIO values are checked even for WDM: the service keeps them either way.
    const nyx_asio_options &asio = options->asio;
    return list_contains(asio.asio_buffer_sizes, asio.num_asio_buffer_sizes,
                         config->asio.asio_buffer_size) &&
           list_contains(asio.asio_encodings, asio.num_asio_encodings,
                         config->asio.asio_encoding) &&
           list_contains(asio.asio_latencies, asio.num_asio_latencies,
                         config->asio.asio_latency_us);
}

const nyx_latency_option *nyx_system_options_find_latency_by_us(const nyx_system_options *options,
                                                                uint32_t us) {
    if (options == nullptr) {
        return nullptr;
    }
    for (uint16_t i = 0; i < capped(options->num_latencies); i++) {
        if (options->latencies[i].us == us) {
            return &options->latencies[i];
        }
    }
    return nullptr;
}

const nyx_latency_option *nyx_system_options_find_latency_by_name(const nyx_system_options *options,
                                                                  const char *name) {
    if (options == nullptr || name == nullptr) {
        return nullptr;
    }
    for (uint16_t i = 0; i < capped(options->num_latencies); i++) {
        if (text_equal(options->latencies[i].name, name, sizeof options->latencies[i].name)) {
            return &options->latencies[i];
        }
    }
    return nullptr;
}

bool nyx_interface_equal(const nyx_interface *a, const nyx_interface *b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    return std::memcmp(a->mac, b->mac, sizeof a->mac) == 0 &&
           wide_equal(a->name, b->name, sizeof a->name / sizeof a->name[0]);
}

bool nyx_system_options_equal(const nyx_system_options *a, const nyx_system_options *b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    if (a->num_channel_counts != b->num_channel_counts) {
        return false;
    }
    for (uint16_t i = 0; i < capped(a->num_channel_counts); i++) {
        if (a->channel_counts[i] != b->channel_counts[i]) {
            return false;
        }
    }
    if (a->num_sample_rates != b->num_sample_rates) {
        return false;
    }
    for (uint16_t i = 0; i < capped(a->num_sample_rates); i++) {
        if (a->sample_rates[i].rate != b->sample_rates[i].rate ||
            a->sample_rates[i].max_channels != b->sample_rates[i].max_channels) {
            return false;
        }
    }
    if (a->num_sample_formats != b->num_sample_formats) {
        return false;
    }
    for (uint16_t i = 0; i < capped(a->num_sample_formats); i++) {
        if (a->sample_formats[i] != b->sample_formats[i]) {
            return false;
        }
    }
    if (a->num_interfaces != b->num_interfaces) {
        return false;
    }
    for (uint16_t i = 0; i < capped(a->num_interfaces); i++) {
        if (!nyx_interface_equal(&a->interfaces[i], &b->interfaces[i])) {
            return false;
        }
    }
    if (a->num_latencies != b->num_latencies) {
        return false;
    }
    for (uint16_t i = 0; i < capped(a->num_latencies); i++) {
        if (!text_equal(a->latencies[i].name, b->latencies[i].name, sizeof a->latencies[i].name) ||
            a->latencies[i].us != b->latencies[i].us) {
            return false;
        }
    }
    const nyx_asio_options &x = a->asio;
    const nyx_asio_options &y = b->asio;
    if (x.num_asio_buffer_sizes != y.num_asio_buffer_sizes ||
        std::memcmp(x.asio_buffer_sizes, y.asio_buffer_sizes,
                    capped(x.num_asio_buffer_sizes) * sizeof x.asio_buffer_sizes[0]) != 0) {
        return false;
    }
    if (x.num_asio_encodings != y.num_asio_encodings ||
        std::memcmp(x.asio_encodings, y.asio_encodings,
                    capped(x.num_asio_encodings) * sizeof x.asio_encodings[0]) != 0) {
        return false;
    }
    return x.num_asio_latencies == y.num_asio_latencies &&
           std::memcmp(x.asio_latencies, y.asio_latencies,
                       capped(x.num_asio_latencies) * sizeof x.asio_latencies[0]) == 0;
}

// These records are zero-filled before they are filled, padding included, so whole-record
// comparison is exact.
bool nyx_system_state_equal(const nyx_system_state *a, const nyx_system_state *b) {
    return a != nullptr && b != nullptr && std::memcmp(a, b, sizeof *a) == 0;
}

bool nyx_server_version_equal(const nyx_server_version *a, const nyx_server_version *b) {
    return a != nullptr && b != nullptr && std::memcmp(a, b, sizeof *a) == 0;
}

bool nyx_name_equal(const nyx_name *a, const nyx_name *b) {
    return a != nullptr && b != nullptr && std::memcmp(a, b, sizeof *a) == 0;
}

void nyx_system_config_log(vtr_logger *logger, uint32_t level, const nyx_system_config *config,
                           const char *prefix) {
    if (!logging(logger, level) || config == nullptr) {
        return;
    }
    const char *p = prefix != nullptr ? prefix : "";
    char name[LINE_SIZE];
    vtr_wide_to_text(config->interface.name, name, sizeof name);
    const uint8_t *mac = config->interface.mac;

    vtr_log(logger, level, "%sChannels: %u\n", p, (unsigned)config->channels);
    vtr_log(logger, level, "%sInterface Name: %s\n", p, name);
    vtr_log(logger, level, "%sInterface Address: %02x:%02x:%02x:%02x:%02x:%02x\n", p, mac[0],
            mac[1], mac[2], mac[3], mac[4], mac[5]);
    vtr_log(logger, level, "%sSample Rate: %u\n", p, (unsigned)config->sample_rate);
    vtr_log(logger, level, "%sSample Format: %u\n", p, (unsigned)config->sample_format);
    vtr_log(logger, level, "%sLatency: %s\n", p, config->latency);
    vtr_log(logger, level, "%sWant to Run: %s\n", p, config->want_to_run != 0 ? "true" : "false");
    vtr_log(logger, level, "%sPullup: %s\n", p, nyx_pullup_name(config->pullup));
    vtr_log(logger, level, "%sAudio Interface: %s\n", p,
            nyx_audio_interface_name(config->asio.audio_interface));
    vtr_log(logger, level, "%sAsio Buffer Size: %u\n", p, (unsigned)config->asio.asio_buffer_size);
    vtr_log(logger, level, "%sAsio Encoding: %u\n", p, (unsigned)config->asio.asio_encoding);
    vtr_log(logger, level, "%sAsio Latency: %uus\n", p, (unsigned)config->asio.asio_latency_us);
}

void nyx_system_state_log(vtr_logger *logger, uint32_t level, const nyx_system_state *state,
                          const char *prefix) {
    if (!logging(logger, level) || state == nullptr) {
        return;
    }
    const char *p = prefix != nullptr ? prefix : "";
    char indent[LINE_SIZE];
    vtr_snprintf(indent, sizeof indent, "%s  ", p);

    vtr_log(logger, level, "%sConfig:\n", p);
    nyx_system_config_log(logger, level, &state->config, indent);

    const char *error_name = nyx_system_error_name(state->system_error);
    // Our wide text is UTF-16 while the platform's wchar_t need not be, so the process name
    // goes through the wide-text rule into narrow text and prints with %s instead of %ls.
    char process[LINE_SIZE];
    vtr_wide_to_text(state->dll_process_name, process, sizeof process);
    const uint8_t *ip = state->ip_address;

    vtr_log(logger, level, "%sConfig lock flags: 0x%04x\n", p, (unsigned)state->config_lock_flags);
    vtr_log(logger, level, "%sDevice Name: %s\n", p, state->device_name);
    vtr_log(logger, level, "%sLink up: %s\n", p, state->link_up != 0 ? "Up" : "Down");
    vtr_log(logger, level, "%sLink Speed: %uM/s\n", p, (unsigned)state->link_speed);
    vtr_log(logger, level, "%sIp Address: %u.%u.%u.%u\n", p, ip[0], ip[1], ip[2], ip[3]);
    vtr_log(logger, level, "%sSystem Error: %u (%s)\n", p, (unsigned)state->system_error,
            error_name != nullptr ? error_name : "(null)");
    vtr_log(logger, level, "%sDLL Process Name: %s\n", p, process);
}

void nyx_system_options_log(vtr_logger *logger, uint32_t level, const nyx_system_options *options,
                            const char *prefix) {
    if (!logging(logger, level) || options == nullptr) {
        return;
    }
    const char *p = prefix != nullptr ? prefix : "";
    char text[LINE_SIZE];
    char entry[LINE_SIZE];
    bool first;

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(options->num_channel_counts); i++) {
        vtr_snprintf(entry, sizeof entry, "%u", (unsigned)options->channel_counts[i]);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sChannel Counts (%u): %s\n", p, (unsigned)options->num_channel_counts,
            text);

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(options->num_interfaces); i++) {
        vtr_wide_to_text(options->interfaces[i].name, entry, sizeof entry);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sInterfaces (%u): %s\n", p, (unsigned)options->num_interfaces, text);

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(options->num_sample_rates); i++) {
        vtr_snprintf(entry, sizeof entry, "%u(%u)", (unsigned)options->sample_rates[i].rate,
                     (unsigned)options->sample_rates[i].max_channels);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sSample Rates (%u): %s\n", p, (unsigned)options->num_sample_rates,
            text);

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(options->num_sample_formats); i++) {
        vtr_snprintf(entry, sizeof entry, "%u", (unsigned)options->sample_formats[i]);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sSample Formats (%u): %s\n", p, (unsigned)options->num_sample_formats,
            text);

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(options->num_latencies); i++) {
        vtr_snprintf(entry, sizeof entry, "%s(%uus)", options->latencies[i].name,
                     (unsigned)options->latencies[i].us);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sLatencies (%u): %s\n", p, (unsigned)options->num_latencies, text);

    const nyx_asio_options &asio = options->asio;
    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(asio.num_asio_buffer_sizes); i++) {
        vtr_snprintf(entry, sizeof entry, "%u", (unsigned)asio.asio_buffer_sizes[i]);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sAsio Buffer Sizes: %s\n", p, text);

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(asio.num_asio_encodings); i++) {
        vtr_snprintf(entry, sizeof entry, "%u", (unsigned)asio.asio_encodings[i]);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sAsio Encodings: %s\n", p, text);

    text[0] = 0;
    first = true;
    for (uint16_t i = 0; i < capped(asio.num_asio_latencies); i++) {
        vtr_snprintf(entry, sizeof entry, "%u", (unsigned)asio.asio_latencies[i]);
        list_add(text, &first, entry);
    }
    vtr_log(logger, level, "%sAsio Latencies: %s\n", p, text);
}

// Field access.

uint16_t nyx_system_config_get_channels(const nyx_system_config *config) {
    return config != nullptr ? config->channels : 0;
}

const nyx_interface *nyx_system_config_get_interface(const nyx_system_config *config) {
    return config != nullptr ? &config->interface : nullptr;
}

const char16_t *nyx_system_config_get_interface_name(const nyx_system_config *config) {
    return config != nullptr ? config->interface.name : u"";
}

const uint8_t *nyx_system_config_get_interface_mac(const nyx_system_config *config) {
    return config != nullptr ? config->interface.mac : ZERO_BYTES;
}

uint32_t nyx_system_config_get_sample_rate(const nyx_system_config *config) {
    return config != nullptr ? config->sample_rate : 0;
}

uint16_t nyx_system_config_get_sample_format(const nyx_system_config *config) {
    return config != nullptr ? config->sample_format : 0;
}

uint16_t nyx_system_config_get_pullup(const nyx_system_config *config) {
    return config != nullptr ? config->pullup : 0;
}

const char *nyx_system_config_get_latency(const nyx_system_config *config) {
    return config != nullptr ? config->latency : "";
}

uint32_t nyx_system_config_get_want_to_run(const nyx_system_config *config) {
    return config != nullptr ? config->want_to_run : 0;
}

uint32_t nyx_system_config_get_audio_interface(const nyx_system_config *config) {
    return config != nullptr ? config->asio.audio_interface : 0;
}

uint32_t nyx_system_config_get_asio_latency_us(const nyx_system_config *config) {
    return config != nullptr ? config->asio.asio_latency_us : 0;
}

uint32_t nyx_system_config_get_asio_buffer_size(const nyx_system_config *config) {
    return config != nullptr ? config->asio.asio_buffer_size : 0;
}

uint16_t nyx_system_config_get_asio_encoding(const nyx_system_config *config) {
    return config != nullptr ? config->asio.asio_encoding : 0;
}

void nyx_system_config_set_channels(nyx_system_config *config, uint16_t channels) {
    if (config != nullptr) {
        config->channels = channels;
    }
}

void nyx_system_config_set_sample_format(nyx_system_config *config, uint16_t sample_format) {
    if (config != nullptr) {
        config->sample_format = sample_format;
    }
}

void nyx_system_config_set_pullup(nyx_system_config *config, uint16_t pullup) {
    if (config != nullptr) {
        config->pullup = pullup;
    }
}

void nyx_system_config_set_want_to_run(nyx_system_config *config, uint32_t want_to_run) {
    if (config != nullptr) {
        config->want_to_run = want_to_run;
    }
}

void nyx_system_config_set_audio_interface(nyx_system_config *config, uint32_t audio_interface) {
    if (config != nullptr) {
        config->asio.audio_interface = audio_interface;
    }
}

void nyx_system_config_set_asio_latency_us(nyx_system_config *config, uint32_t us) {
    if (config != nullptr) {
        config->asio.asio_latency_us = us;
    }
}

void nyx_system_config_set_asio_buffer_size(nyx_system_config *config, uint32_t buffer_size) {
    if (config != nullptr) {
        config->asio.asio_buffer_size = buffer_size;
    }
}

void nyx_system_config_set_asio_encoding(nyx_system_config *config, uint16_t encoding) {
    if (config != nullptr) {
        config->asio.asio_encoding = encoding;
    }
}

const nyx_system_config *nyx_system_state_get_config(const nyx_system_state *state) {
    return state != nullptr ? &state->config : nullptr;
}

uint16_t nyx_system_state_get_config_lock_flags(const nyx_system_state *state) {
    return state != nullptr ? state->config_lock_flags : 0;
}

uint16_t nyx_system_state_get_system_error(const nyx_system_state *state) {
    return state != nullptr ? state->system_error : 0;
}

uint32_t nyx_system_state_get_link_up(const nyx_system_state *state) {
    return state != nullptr ? state->link_up : 0;
}

uint32_t nyx_system_state_get_link_speed(const nyx_system_state *state) {
    return state != nullptr ? state->link_speed : 0;
}

const uint8_t *nyx_system_state_get_ip_address(const nyx_system_state *state) {
    return state != nullptr ? state->ip_address : ZERO_BYTES;
}

const char *nyx_system_state_get_device_name(const nyx_system_state *state) {
    return state != nullptr ? state->device_name : "";
}

const char16_t *nyx_system_state_get_dll_process_name(const nyx_system_state *state) {
    return state != nullptr ? state->dll_process_name : u"";
}

uint32_t nyx_system_state_get_device_lock_status(const nyx_system_state *state) {
    return state != nullptr ? state->device_lock_status : 0;
}

uint32_t nyx_system_state_get_domain_enrolled(const nyx_system_state *state) {
    return state != nullptr ? state->domain.enrolled : 0;
}

uint32_t nyx_system_state_get_domain_connected(const nyx_system_state *state) {
    return state != nullptr ? state->domain.connected : 0;
}

const char *nyx_system_state_get_domain_name(const nyx_system_state *state) {
    return state != nullptr ? state->domain.domain_name : "";
}

uint32_t nyx_system_state_get_domain_config_allowed(const nyx_system_state *state) {
    return state != nullptr ? state->domain.config_allowed : 0;
}

uint16_t nyx_system_options_get_num_channel_counts(const nyx_system_options *options) {
    return options != nullptr ? capped(options->num_channel_counts) : 0;
}

uint16_t nyx_system_options_get_channel_count(const nyx_system_options *options, uint32_t index) {
    return index < nyx_system_options_get_num_channel_counts(options)
               ? options->channel_counts[index]
               : 0;
}

uint16_t nyx_system_options_get_num_interfaces(const nyx_system_options *options) {
    return options != nullptr ? capped(options->num_interfaces) : 0;
}

const nyx_interface *nyx_system_options_get_interface(const nyx_system_options *options,
                                                      uint32_t index) {
    return index < nyx_system_options_get_num_interfaces(options) ? &options->interfaces[index]
                                                                  : nullptr;
}

uint16_t nyx_system_options_get_num_sample_rates(const nyx_system_options *options) {
    return options != nullptr ? capped(options->num_sample_rates) : 0;
}

const nyx_sample_rate_option *nyx_system_options_get_sample_rate(const nyx_system_options *options,
                                                                 uint32_t index) {
    return index < nyx_system_options_get_num_sample_rates(options) ? &options->sample_rates[index]
                                                                    : nullptr;
}

uint16_t nyx_system_options_get_num_sample_formats(const nyx_system_options *options) {
    return options != nullptr ? capped(options->num_sample_formats) : 0;
}

uint16_t nyx_system_options_get_sample_format(const nyx_system_options *options, uint32_t index) {
    return index < nyx_system_options_get_num_sample_formats(options)
               ? options->sample_formats[index]
               : 0;
}

uint16_t nyx_system_options_get_num_latencies(const nyx_system_options *options) {
    return options != nullptr ? capped(options->num_latencies) : 0;
}

const nyx_latency_option *nyx_system_options_get_latency(const nyx_system_options *options,
                                                         uint32_t index) {
    return index < nyx_system_options_get_num_latencies(options) ? &options->latencies[index]
                                                                 : nullptr;
}

uint16_t nyx_system_options_get_num_asio_buffer_sizes(const nyx_system_options *options) {
    return options != nullptr ? capped(options->asio.num_asio_buffer_sizes) : 0;
}

uint32_t nyx_system_options_get_asio_buffer_size(const nyx_system_options *options,
                                                 uint32_t index) {
    return index < nyx_system_options_get_num_asio_buffer_sizes(options)
               ? options->asio.asio_buffer_sizes[index]
               : 0;
}

uint16_t nyx_system_options_get_num_asio_encodings(const nyx_system_options *options) {
    return options != nullptr ? capped(options->asio.num_asio_encodings) : 0;
}

uint16_t nyx_system_options_get_asio_encoding(const nyx_system_options *options, uint32_t index) {
    return index < nyx_system_options_get_num_asio_encodings(options)
               ? options->asio.asio_encodings[index]
               : 0;
}

uint16_t nyx_system_options_get_num_asio_latencies(const nyx_system_options *options) {
    return options != nullptr ? capped(options->asio.num_asio_latencies) : 0;
}

uint32_t nyx_system_options_get_asio_latency(const nyx_system_options *options, uint32_t index) {
    return index < nyx_system_options_get_num_asio_latencies(options)
               ? options->asio.asio_latencies[index]
               : 0;
}
