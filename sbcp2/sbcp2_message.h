// sbcp2 message framing: the 20-byte big-endian header, typed body items and validation.
#pragma once

#include "vtr/vtr.h"

#include <cstddef>
#include <cstdint>

enum : uint16_t {
    SBCP2_HEAD_SIZE = 20,
    SBCP2_MAX_MESSAGE = 1472,
    SBCP2_MAX_BODY = 1452,
};

// The one header format of this system.
enum : uint32_t { SBCP2_HEADER_FORMAT_20 = 20 };

// Transport opcodes.
enum : uint16_t {
    SBCP2_OPCODE_KEEPALIVE = 0,
    SBCP2_OPCODE_CONNECT = 1,
    SBCP2_OPCODE_DISCONNECT = 2,
};

// Header status values.
enum : uint16_t {
    SBCP2_STATUS_REQUEST = 0,
    SBCP2_STATUS_RESPONSE = 1,
    SBCP2_STATUS_EVENT = 2,
    SBCP2_STATUS_OPCODE_ERROR = 48,
    SBCP2_STATUS_UNRECOGNISED_OPCODE = 49,
    SBCP2_STATUS_UNSUPPORTED_OPCODE = 50,
    SBCP2_STATUS_SERVER_ERROR = 128,
    SBCP2_STATUS_NOT_CONNECTED = 129,
    SBCP2_STATUS_TOO_MANY_CLIENTS = 130,
};

// Sender identity: eight raw bytes and a port.
struct sbcp2_id {
    uint8_t id[8];
    uint16_t port;
};

enum { SBCP2_ID_TEXT_SIZE = 23 };

// Storage for one message. Embedded by its owner; not to be copied (body points into buffer).
struct sbcp2_message {
    uint32_t header_format;
    uint16_t head_size; // 20
    uint16_t max_body;  // 1452
    uint8_t *body;      // buffer + 20
    uint8_t buffer[SBCP2_MAX_MESSAGE];
};

void sbcp2_message_init_record(sbcp2_message *msg);
// Writes port and id into the header; nullptr zeroes those ten bytes.
void sbcp2_message_set_id(uint8_t *header, const sbcp2_id *id);
void sbcp2_message_get_id(const uint8_t *header, sbcp2_id *id);
// version, size 20, seqnum 0, opcode, status 0; port and id stay.
void sbcp2_message_init_head(sbcp2_message *msg, uint16_t version, uint16_t opcode);

uint16_t sbcp2_message_get_version(const uint8_t *header);
uint16_t sbcp2_message_get_size(const uint8_t *header);
uint16_t sbcp2_message_get_seqnum(const uint8_t *header);
uint16_t sbcp2_message_get_opcode(const uint8_t *header);
uint16_t sbcp2_message_get_status(const uint8_t *header);
void sbcp2_message_set_seqnum(uint8_t *header, uint16_t seqnum);
// The manager side answers with a status of its own.
void sbcp2_message_set_status(uint8_t *header, uint16_t status);
void sbcp2_message_add_size(uint8_t *header, uint16_t n);

uint8_t *sbcp2_message_head(sbcp2_message *msg);
const uint8_t *sbcp2_message_head(const sbcp2_message *msg);
uint16_t sbcp2_message_head_size(const sbcp2_message *msg);
uint16_t sbcp2_message_max_body(const sbcp2_message *msg);
uint8_t *sbcp2_message_body(sbcp2_message *msg);
const uint8_t *sbcp2_message_body(const sbcp2_message *msg);
// size field minus head size (0 when the size field is below the head size).
uint16_t sbcp2_message_body_length(const sbcp2_message *msg);

const char *sbcp2_status_name(uint16_t status); // "?" for unknown values
char *sbcp2_id_to_string(const sbcp2_id *id, char *buffer); // SBCP2_ID_TEXT_SIZE bytes

// A 16-bit array inside a body: its offset, its count and its (big-endian) values.
struct sbcp2_u16_array {
    uint16_t offset;
    uint16_t count;
    uint8_t *values;
};
uint16_t sbcp2_u16_array_get(const sbcp2_u16_array *array, uint16_t index);
void sbcp2_u16_array_set(sbcp2_u16_array *array, uint16_t index, uint16_t value);

// Appenders: INVALIDPARAMETER without a record or required argument, MSGSIZE when the item
// with its padding would pass the maximum body; on failure nothing is written. The offset out
// is the item's offset from the body start (after any pad).
vtr_error sbcp2_message_append_u16_array(sbcp2_message *msg, uint16_t count,
                                         const uint16_t *values, uint16_t *offset);
vtr_error sbcp2_message_reserve_u16_array(sbcp2_message *msg, uint16_t count,
                                          sbcp2_u16_array *array);
vtr_error sbcp2_message_append_bytes(sbcp2_message *msg, uint16_t length, const void *data,
                                     uint16_t *offset);
vtr_error sbcp2_message_append_string(sbcp2_message *msg, const char *text, uint16_t *offset);
vtr_error sbcp2_message_append_u32(sbcp2_message *msg, uint32_t value, uint16_t *offset);
vtr_error sbcp2_message_append_wstring(sbcp2_message *msg, const char16_t *text,
                                       uint16_t *offset);

// Readers, offsets from the body start.
vtr_error sbcp2_message_check_array(const sbcp2_message *msg, uint32_t offset, uint32_t pad,
                                    uint32_t element_size);
vtr_error sbcp2_message_get_u16_array(const sbcp2_message *msg, uint32_t offset,
                                      sbcp2_u16_array *array);
// *count: capacity in, count in the message out.
vtr_error sbcp2_message_read_u16_array(const sbcp2_message *msg, uint32_t offset,
                                       uint16_t *count, uint16_t *values);
vtr_error sbcp2_message_read_u32_array(const sbcp2_message *msg, uint32_t offset,
                                       uint16_t *count, uint32_t *values);
vtr_error sbcp2_message_read_bytes(const sbcp2_message *msg, uint32_t offset, uint32_t length,
                                   void *out);
const char *sbcp2_message_get_string(const sbcp2_message *msg, uint32_t offset);
// *size: buffer size in, full text length out.
vtr_error sbcp2_message_read_string(const sbcp2_message *msg, uint32_t offset, char *buffer,
                                    size_t *size);
vtr_error sbcp2_message_read_u32(const sbcp2_message *msg, uint32_t offset, uint32_t *value);
// *capacity: buffer capacity in code units in, characters copied out.
vtr_error sbcp2_message_read_wstring(const sbcp2_message *msg, uint32_t offset, char16_t *buffer,
                                     size_t *capacity);

// Checks a datagram of `received` bytes held in msg's buffer, logging as
// "sbcp2_client2_process". SUCCESS when valid; INVALIDDATA when it must be dropped.
vtr_error sbcp2_message_validate(vtr_logger *logger, const sbcp2_message *msg, size_t received);
