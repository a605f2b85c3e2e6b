// The manager's records: configuration, state, options, version and name.
// Plain fixed-size values, zero-filled before they are filled, compared as wholes.
#pragma once

#include "vtr/vtr.h"

#include <cstdint>

enum { NYX_LIST_MAX = 16 };

// Service values of nyx_asio_config.audio_interface.
enum : uint32_t {
    NYX_AUDIO_INTERFACE_ASIO = 0,
    NYX_AUDIO_INTERFACE_WDM = 1,
};

enum : uint16_t {
    NYX_PULLUP_NONE = 0,
    NYX_PULLUP_PLUS_4_1667 = 1,
    NYX_PULLUP_PLUS_0_1 = 2,
    NYX_PULLUP_MINUS_0_1 = 3,
    NYX_PULLUP_MINUS_4 = 4,
};

struct nyx_interface {
    char16_t name[64];
    uint8_t mac[6];
};

struct nyx_asio_config {
    uint32_t audio_interface;
    uint32_t asio_latency_us;
    uint32_t asio_buffer_size;
    uint16_t asio_encoding;
};

struct nyx_system_config {
    uint16_t channels;
    nyx_interface interface;
    uint32_t sample_rate;
    uint16_t sample_format;
    uint16_t pullup;
    char latency[32];
    uint32_t want_to_run;
    nyx_asio_config asio;
};

struct nyx_domain_info {
    uint32_t enrolled;
    uint32_t connected;
    char domain_name[64];
    char domain_text[65];
    uint32_t domain_value;
    uint32_t config_allowed;
};

struct nyx_system_state {
    nyx_system_config config;
    uint16_t config_lock_flags;
    uint16_t system_error;
    uint32_t slot7_value;
    uint32_t link_up;
    uint32_t link_speed;
    uint8_t ip_address[4];
    char device_name[32];
    char16_t dll_process_name[64];
    uint32_t device_lock_status;
    nyx_domain_info domain;
};

struct nyx_sample_rate_option {
    uint32_t rate;
    uint16_t max_channels;
};

struct nyx_latency_option {
    char name[32];
    uint32_t us;
};

struct nyx_asio_options {
    uint16_t num_asio_latencies;
    uint32_t asio_latencies[NYX_LIST_MAX];
    uint16_t num_asio_buffer_sizes;
    uint32_t asio_buffer_sizes[NYX_LIST_MAX];
    uint16_t num_asio_encodings;
    uint16_t asio_encodings[NYX_LIST_MAX];
};

struct nyx_system_options {
    uint16_t num_channel_counts;
    uint16_t channel_counts[NYX_LIST_MAX];
    uint16_t num_interfaces;
    nyx_interface interfaces[NYX_LIST_MAX];
    uint16_t num_sample_rates;
    nyx_sample_rate_option sample_rates[NYX_LIST_MAX];
    uint16_t num_sample_formats;
    uint16_t sample_formats[NYX_LIST_MAX];
    uint16_t num_latencies;
    nyx_latency_option latencies[NYX_LIST_MAX];
    nyx_asio_options asio;
};

struct nyx_server_version {
    uint16_t word0;
    uint8_t major;
    uint8_t minor;
    uint16_t patch;
    uint16_t build;
    char text[8];
    uint16_t word7;
};

struct nyx_name {
    char name[32];
};

// The manager's status codes (high byte the component, low byte the condition) with their
// short names and descriptions; the table ends with a row without a name.
struct nyx_system_error_row {
    uint16_t code;
    const char *name;
    const char *description;
};
extern const nyx_system_error_row nyx_system_error_table[];

// Name ("Sleeping") and description of a system_error; nullptr for a code without a row.
const char *nyx_system_error_name(uint16_t code);
const char *nyx_system_error_description(uint16_t code);
const char *nyx_pullup_name(uint16_t pullup);
const char *nyx_audio_interface_name(uint32_t audio_interface); // "ASIO", "WDM", else "?"

nyx_system_config *nyx_system_config_new(void);
void nyx_system_config_copy(nyx_system_config *target, const nyx_system_config *source);
void nyx_system_config_free(nyx_system_config *config);
vtr_error nyx_system_config_set_interface(nyx_system_config *config,
                                          const nyx_system_options *options, const uint8_t *mac);
void nyx_system_config_set_latency(nyx_system_config *config, const char *name);
bool nyx_system_config_is_valid(const nyx_system_config *config, const nyx_system_options *options);

const nyx_latency_option *nyx_system_options_find_latency_by_us(const nyx_system_options *options,
                                                                uint32_t us);
const nyx_latency_option *nyx_system_options_find_latency_by_name(const nyx_system_options *options,
                                                                  const char *name);

bool nyx_system_options_equal(const nyx_system_options *a, const nyx_system_options *b);
bool nyx_interface_equal(const nyx_interface *a, const nyx_interface *b);
bool nyx_system_state_equal(const nyx_system_state *a, const nyx_system_state *b);
bool nyx_server_version_equal(const nyx_server_version *a, const nyx_server_version *b);
bool nyx_name_equal(const nyx_name *a, const nyx_name *b);

void nyx_system_config_log(vtr_logger *logger, uint32_t level, const nyx_system_config *config,
                           const char *prefix);
void nyx_system_state_log(vtr_logger *logger, uint32_t level, const nyx_system_state *state,
                          const char *prefix);
void nyx_system_options_log(vtr_logger *logger, uint32_t level, const nyx_system_options *options,
                            const char *prefix);

// Field getters accept an absent record and then yield 0, an empty text or no entry; setters
// do nothing on an absent record.

uint16_t nyx_system_config_get_channels(const nyx_system_config *config);
const nyx_interface *nyx_system_config_get_interface(const nyx_system_config *config);
const char16_t *nyx_system_config_get_interface_name(const nyx_system_config *config); // u""
const uint8_t *nyx_system_config_get_interface_mac(const nyx_system_config *config);   // 6 bytes
uint32_t nyx_system_config_get_sample_rate(const nyx_system_config *config);
uint16_t nyx_system_config_get_sample_format(const nyx_system_config *config);
uint16_t nyx_system_config_get_pullup(const nyx_system_config *config);
const char *nyx_system_config_get_latency(const nyx_system_config *config); // ""
uint32_t nyx_system_config_get_want_to_run(const nyx_system_config *config);
uint32_t nyx_system_config_get_audio_interface(const nyx_system_config *config);
uint32_t nyx_system_config_get_asio_latency_us(const nyx_system_config *config);
uint32_t nyx_system_config_get_asio_buffer_size(const nyx_system_config *config);
uint16_t nyx_system_config_get_asio_encoding(const nyx_system_config *config);

void nyx_system_config_set_channels(nyx_system_config *config, uint16_t channels);
void nyx_system_config_set_sample_format(nyx_system_config *config, uint16_t sample_format);
void nyx_system_config_set_pullup(nyx_system_config *config, uint16_t pullup);
void nyx_system_config_set_want_to_run(nyx_system_config *config, uint32_t want_to_run);
void nyx_system_config_set_audio_interface(nyx_system_config *config, uint32_t audio_interface);
void nyx_system_config_set_asio_latency_us(nyx_system_config *config, uint32_t us);
void nyx_system_config_set_asio_buffer_size(nyx_system_config *config, uint32_t buffer_size);
void nyx_system_config_set_asio_encoding(nyx_system_config *config, uint16_t encoding);

const nyx_system_config *nyx_system_state_get_config(const nyx_system_state *state);
uint16_t nyx_system_state_get_config_lock_flags(const nyx_system_state *state);
uint16_t nyx_system_state_get_system_error(const nyx_system_state *state);
uint32_t nyx_system_state_get_link_up(const nyx_system_state *state);
uint32_t nyx_system_state_get_link_speed(const nyx_system_state *state);
const uint8_t *nyx_system_state_get_ip_address(const nyx_system_state *state);        // 4 bytes
const char *nyx_system_state_get_device_name(const nyx_system_state *state);          // ""
const char16_t *nyx_system_state_get_dll_process_name(const nyx_system_state *state); // u""
uint32_t nyx_system_state_get_device_lock_status(const nyx_system_state *state);
uint32_t nyx_system_state_get_domain_enrolled(const nyx_system_state *state);
uint32_t nyx_system_state_get_domain_connected(const nyx_system_state *state);
const char *nyx_system_state_get_domain_name(const nyx_system_state *state); // ""
uint32_t nyx_system_state_get_domain_config_allowed(const nyx_system_state *state);

// List getters: the count, and the entry at an index (0 or nullptr at or beyond the count).
uint16_t nyx_system_options_get_num_channel_counts(const nyx_system_options *options);
uint16_t nyx_system_options_get_channel_count(const nyx_system_options *options, uint32_t index);
uint16_t nyx_system_options_get_num_interfaces(const nyx_system_options *options);
const nyx_interface *nyx_system_options_get_interface(const nyx_system_options *options,
                                                      uint32_t index);
uint16_t nyx_system_options_get_num_sample_rates(const nyx_system_options *options);
const nyx_sample_rate_option *nyx_system_options_get_sample_rate(const nyx_system_options *options,
                                                                 uint32_t index);
uint16_t nyx_system_options_get_num_sample_formats(const nyx_system_options *options);
uint16_t nyx_system_options_get_sample_format(const nyx_system_options *options, uint32_t index);
uint16_t nyx_system_options_get_num_latencies(const nyx_system_options *options);
const nyx_latency_option *nyx_system_options_get_latency(const nyx_system_options *options,
                                                         uint32_t index);
uint16_t nyx_system_options_get_num_asio_buffer_sizes(const nyx_system_options *options);
uint32_t nyx_system_options_get_asio_buffer_size(const nyx_system_options *options, uint32_t index);
uint16_t nyx_system_options_get_num_asio_encodings(const nyx_system_options *options);
uint16_t nyx_system_options_get_asio_encoding(const nyx_system_options *options, uint32_t index);
uint16_t nyx_system_options_get_num_asio_latencies(const nyx_system_options *options);
uint32_t nyx_system_options_get_asio_latency(const nyx_system_options *options, uint32_t index);
