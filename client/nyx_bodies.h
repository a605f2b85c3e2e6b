// Bodies of the service's messages: the client's encoders and decoders.
#pragma once

#include "client/nyx_records.h"
#include "sbcp2/sbcp2_message.h"

#include <cstdint>

enum : uint16_t { NYX_PROTOCOL_VERSION = 0x1400 };

// Service opcodes.
enum : uint16_t {
    NYX_OPCODE_CONNECT = 0x0001,
    NYX_OPCODE_OPTIONS = 0x0100,
    NYX_OPCODE_STATE = 0x0102,
    NYX_OPCODE_NAME = 0x0103,
    NYX_OPCODE_SET_CONFIG = 0x0110,
    NYX_OPCODE_CLEAR_SYSTEM_ERROR = 0x0111,
    NYX_OPCODE_CLEAR_DOMAIN_CREDENTIALS = 0x0113,
};

// Service status values, beside the transport's.
enum : uint16_t {
    NYX_STATUS_INVALID_API = 0x0100,
    NYX_STATUS_INVALID_DATA = 0x0101,
    NYX_STATUS_INVALID_STATE = 0x0102,
    NYX_STATUS_SYSTEM_ERROR = 0x0103,
};

vtr_error nyx_encode_connect(sbcp2_message *msg, uint16_t connect_value);
vtr_error nyx_encode_system_config(sbcp2_message *msg, const nyx_system_config *config,
                                   uint16_t *offset);
vtr_error nyx_decode_server_version(const sbcp2_message *msg, nyx_server_version *version);
vtr_error nyx_decode_system_state(const sbcp2_message *msg, nyx_system_state *state);
vtr_error nyx_decode_system_options(const sbcp2_message *msg, nyx_system_options *options);
vtr_error nyx_decode_name(const sbcp2_message *msg, nyx_name *name);

const char *nyx_status_name(uint16_t status); // never nullptr
vtr_error nyx_status_to_error(uint16_t status);
