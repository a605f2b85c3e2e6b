// sbcp2 message framing: header fields, body items and validation of received datagrams.
#include "sbcp2/sbcp2_message.h"

#include <cstring>

static_assert(sizeof(sbcp2_message::buffer) == SBCP2_MAX_MESSAGE);
static_assert(SBCP2_HEAD_SIZE + SBCP2_MAX_BODY == SBCP2_MAX_MESSAGE);
static_assert(offsetof(sbcp2_message, header_format) == 0);
static_assert(offsetof(sbcp2_message, head_size) == 4);
static_assert(offsetof(sbcp2_message, max_body) == 6);
static_assert(offsetof(sbcp2_message, body) == 8);
static_assert(offsetof(sbcp2_message, buffer) == 8 + sizeof(uint8_t *));
static_assert(SBCP2_ID_TEXT_SIZE == 16 + 1 + 5 + 1);

namespace {

// Header field offsets.
constexpr uint32_t OFF_VERSION = 0;
constexpr uint32_t OFF_SIZE = 2;
constexpr uint32_t OFF_SEQNUM = 4;
constexpr uint32_t OFF_OPCODE = 6;
constexpr uint32_t OFF_STATUS = 8;
constexpr uint32_t OFF_PORT = 10;
constexpr uint32_t OFF_ID = 12;
constexpr uint32_t MAX_MESSAGE = SBCP2_MAX_MESSAGE;

uint16_t load16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t load32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void store16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void store32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The head size, trusted only as far as the buffer goes.
uint32_t head_of(const sbcp2_message *msg) {
    return msg->head_size < MAX_MESSAGE ? msg->head_size : MAX_MESSAGE;
}

uint8_t *body_of(sbcp2_message *msg) {
    return msg->buffer + head_of(msg);
}
const uint8_t *body_of(const sbcp2_message *msg) {
    return msg->buffer + head_of(msg);
}

// Body length for readers: the size field says how much is there, but a hostile size must
// never take a read past the buffer.
uint32_t readable_length(const sbcp2_message *msg) {
    uint32_t size = load16(msg->buffer + OFF_SIZE);
    if (size > SBCP2_MAX_MESSAGE)
        size = SBCP2_MAX_MESSAGE;
    uint32_t head = head_of(msg);
    return size > head ? size - head : 0;
}

// Room for the body when appending: the record's maximum, capped by the buffer.
uint32_t body_capacity(const sbcp2_message *msg) {
    uint32_t room = SBCP2_MAX_MESSAGE - head_of(msg);
    return msg->max_body < room ? msg->max_body : room;
}

// Makes room for an item of `length` bytes aligned to `align` (2 or 4) at the end of the body.
// Pad bytes are zeroed so that no stale bytes of an earlier message go out.
vtr_error append_item(sbcp2_message *msg, uint32_t align, uint64_t length, uint32_t *offset) {
    uint32_t size = load16(msg->buffer + OFF_SIZE);
    uint32_t used = size > head_of(msg) ? size - head_of(msg) : 0;
    uint32_t capacity = body_capacity(msg);
    if (used > capacity)
        return VTR_MSGSIZE;
    uint32_t pad = (align - used % align) % align;
    if (used + pad + length > capacity)
        return VTR_MSGSIZE;
    uint8_t *body = body_of(msg);
    memset(body + used, 0, pad);
    *offset = used + pad;
    uint32_t total = *offset + static_cast<uint32_t>(length);
    store16(msg->buffer + OFF_SIZE, static_cast<uint16_t>(head_of(msg) + total));
    return VTR_SUCCESS;
}

// Finishes an item whose data length is odd with a zero pad byte, keeping the body even.
uint64_t padded_even(uint64_t length) {
    return length + (length & 1);
}

// Appends an item, has `fill` write it and hands back where it starts (when asked).
template <typename Fill>
vtr_error append_filled(sbcp2_message *msg, uint32_t align, uint64_t length, uint16_t *offset,
                        Fill fill) {
    uint32_t at = 0;
    vtr_error err = append_item(msg, align, length, &at);
    if (err != VTR_SUCCESS)
        return err;
    fill(body_of(msg) + at);
    if (offset)
        *offset = static_cast<uint16_t>(at);
    return VTR_SUCCESS;
}

// The zero-terminated text at an even offset of the body: INVALIDPARAMETER for an offset
// outside it, INVALIDDATA when no zero follows within it.
vtr_error text_at(const sbcp2_message *msg, uint32_t offset, const uint8_t **text, size_t *length) {
    uint32_t readable = readable_length(msg);
    if ((offset & 1) || offset >= readable)
        return VTR_INVALIDPARAMETER;
    const uint8_t *p = body_of(msg) + offset;
    const void *end = memchr(p, 0, readable - offset);
    if (!end)
        return VTR_INVALIDDATA;
    *text = p;
    *length = static_cast<size_t>(static_cast<const uint8_t *>(end) - p);
    return VTR_SUCCESS;
}

} // namespace

void sbcp2_message_init_record(sbcp2_message *msg) {
    if (!msg)
        return;
    msg->header_format = SBCP2_HEADER_FORMAT_20;
    msg->head_size = SBCP2_HEAD_SIZE;
    msg->max_body = SBCP2_MAX_BODY;
    msg->body = msg->buffer + SBCP2_HEAD_SIZE;
}

void sbcp2_message_set_id(uint8_t *header, const sbcp2_id *id) {
    if (!header)
        return;
    if (!id) {
        memset(header + OFF_PORT, 0, uint32_t{SBCP2_HEAD_SIZE} - OFF_PORT);
        return;
    }
    store16(header + OFF_PORT, id->port);
    memcpy(header + OFF_ID, id->id, sizeof(id->id));
}

void sbcp2_message_get_id(const uint8_t *header, sbcp2_id *id) {
    if (!id)
        return;
    if (!header) {
        memset(id, 0, sizeof(*id));
        return;
    }
    id->port = load16(header + OFF_PORT);
    memcpy(id->id, header + OFF_ID, sizeof(id->id));
}

void sbcp2_message_init_head(sbcp2_message *msg, uint16_t version, uint16_t opcode) {
    if (!msg)
        return;
    uint8_t *h = msg->buffer;
    store16(h + OFF_VERSION, version);
    store16(h + OFF_SIZE, static_cast<uint16_t>(head_of(msg)));
    store16(h + OFF_SEQNUM, 0);
    store16(h + OFF_OPCODE, opcode);
    store16(h + OFF_STATUS, SBCP2_STATUS_REQUEST);
}

uint16_t sbcp2_message_get_version(const uint8_t *header) {
    return header ? load16(header + OFF_VERSION) : 0;
}
uint16_t sbcp2_message_get_size(const uint8_t *header) {
    return header ? load16(header + OFF_SIZE) : 0;
}
uint16_t sbcp2_message_get_seqnum(const uint8_t *header) {
    return header ? load16(header + OFF_SEQNUM) : 0;
}
uint16_t sbcp2_message_get_opcode(const uint8_t *header) {
    return header ? load16(header + OFF_OPCODE) : 0;
}
uint16_t sbcp2_message_get_status(const uint8_t *header) {
    return header ? load16(header + OFF_STATUS) : 0;
}

void sbcp2_message_set_seqnum(uint8_t *header, uint16_t seqnum) {
    if (header)
        store16(header + OFF_SEQNUM, seqnum);
}

void sbcp2_message_set_status(uint8_t *header, uint16_t status) {
    if (header)
        store16(header + OFF_STATUS, status);
}

void sbcp2_message_add_size(uint8_t *header, uint16_t n) {
    if (header)
        store16(header + OFF_SIZE, static_cast<uint16_t>(load16(header + OFF_SIZE) + n));
}

uint8_t *sbcp2_message_head(sbcp2_message *msg) {
    return msg ? msg->buffer : nullptr;
}
const uint8_t *sbcp2_message_head(const sbcp2_message *msg) {
    return msg ? msg->buffer : nullptr;
}
uint16_t sbcp2_message_head_size(const sbcp2_message *msg) {
    return msg ? msg->head_size : 0;
}
uint16_t sbcp2_message_max_body(const sbcp2_message *msg) {
    return msg ? msg->max_body : 0;
}
uint8_t *sbcp2_message_body(sbcp2_message *msg) {
    return msg ? msg->body : nullptr;
}
const uint8_t *sbcp2_message_body(const sbcp2_message *msg) {
    return msg ? msg->body : nullptr;
}

uint16_t sbcp2_message_body_length(const sbcp2_message *msg) {
    if (!msg)
        return 0;
    uint16_t size = load16(msg->buffer + OFF_SIZE);
    return size > msg->head_size ? static_cast<uint16_t>(size - msg->head_size) : 0;
}

const char *sbcp2_status_name(uint16_t status) {
    switch (status) {
    case SBCP2_STATUS_REQUEST:
        return "Request";
    case SBCP2_STATUS_RESPONSE:
        return "Response";
    case SBCP2_STATUS_EVENT:
        return "Event";
    case SBCP2_STATUS_OPCODE_ERROR:
        return "Opcode error";
    case SBCP2_STATUS_UNRECOGNISED_OPCODE:
        return "Unrecognised opcode";
    case SBCP2_STATUS_UNSUPPORTED_OPCODE:
        return "Unsupported opcode";
    case SBCP2_STATUS_SERVER_ERROR:
        return "Server error";
    case SBCP2_STATUS_NOT_CONNECTED:
        return "Not connected";
    case SBCP2_STATUS_TOO_MANY_CLIENTS:
        return "Too many clients";
    default:
        return "?";
    }
}

char *sbcp2_id_to_string(const sbcp2_id *id, char *buffer) {
    if (!buffer)
        return nullptr;
    if (!id) {
        buffer[0] = '\0';
        return buffer;
    }
    const uint8_t *b = id->id;
    vtr_snprintf(buffer, SBCP2_ID_TEXT_SIZE, "%02x%02x%02x%02x%02x%02x%02x%02x:%d", b[0], b[1],
                 b[2], b[3], b[4], b[5], b[6], b[7], static_cast<int>(id->port));
    return buffer;
}

uint16_t sbcp2_u16_array_get(const sbcp2_u16_array *array, uint16_t index) {
    if (!array || !array->values || index >= array->count)
        return 0;
    return load16(array->values + 2u * index);
}

void sbcp2_u16_array_set(sbcp2_u16_array *array, uint16_t index, uint16_t value) {
    if (!array || !array->values || index >= array->count)
        return;
    store16(array->values + 2u * index, value);
}

vtr_error sbcp2_message_append_u16_array(sbcp2_message *msg, uint16_t count, const uint16_t *values,
                                         uint16_t *offset) {
    if (!msg)
        return VTR_INVALIDPARAMETER;
    return append_filled(msg, 2, 2 + 2ull * count, offset, [&](uint8_t *p) {
        store16(p, count);
        for (uint32_t i = 0; i < count; i++)
            store16(p + 2 + 2 * i, values ? values[i] : 0);
    });
}

vtr_error sbcp2_message_reserve_u16_array(sbcp2_message *msg, uint16_t count,
                                          sbcp2_u16_array *array) {
    if (!msg || !array)
        return VTR_INVALIDPARAMETER;
    return append_filled(msg, 2, 2 + 2ull * count, &array->offset, [&](uint8_t *p) {
        store16(p, count);
        // Zeroed rather than left with whatever an earlier message held there.
        memset(p + 2, 0, 2u * count);
        array->count = count;
        array->values = p + 2;
    });
}

vtr_error sbcp2_message_append_bytes(sbcp2_message *msg, uint16_t length, const void *data,
                                     uint16_t *offset) {
    if (!msg)
        return VTR_INVALIDPARAMETER;
    return append_filled(msg, 2, padded_even(length), offset, [&](uint8_t *p) {
        if (data)
            memcpy(p, data, length);
        else
            memset(p, 0, length);
        if (length & 1)
            p[length] = 0;
    });
}

vtr_error sbcp2_message_append_string(sbcp2_message *msg, const char *text, uint16_t *offset) {
    if (!msg || !text || !offset)
        return VTR_INVALIDPARAMETER;
    // Anything longer cannot fit, so the walk stops there.
    size_t length = 0;
    while (length < SBCP2_MAX_MESSAGE && text[length])
        length++;
    uint64_t with_zero = static_cast<uint64_t>(length) + 1;
    return append_filled(msg, 2, padded_even(with_zero), offset, [&](uint8_t *p) {
        memcpy(p, text, length);
        p[length] = 0;
        if (with_zero & 1)
            p[with_zero] = 0;
    });
}

vtr_error sbcp2_message_append_u32(sbcp2_message *msg, uint32_t value, uint16_t *offset) {
    if (!msg || !offset)
        return VTR_INVALIDPARAMETER;
    return append_filled(msg, 4, 4, offset, [&](uint8_t *p) { store32(p, value); });
}

vtr_error sbcp2_message_append_wstring(sbcp2_message *msg, const char16_t *text, uint16_t *offset) {
    if (!msg || !text || !offset)
        return VTR_INVALIDPARAMETER;
    size_t chars = 0;
    while (chars < SBCP2_MAX_MESSAGE && text[chars])
        chars++;
    return append_filled(msg, 4, 4ull * (chars + 1), offset, [&](uint8_t *p) {
        for (size_t i = 0; i < chars; i++)
            store32(p + 4 * i, text[i]);
        store32(p + 4 * chars, 0);
    });
}

vtr_error sbcp2_message_check_array(const sbcp2_message *msg, uint32_t offset, uint32_t pad,
                                    uint32_t element_size) {
    if (!msg)
        return VTR_INVALIDPARAMETER;
    uint64_t length = readable_length(msg);
    if ((offset & 1) || static_cast<uint64_t>(offset) + 2 > length)
        return VTR_INVALIDPARAMETER;
    uint64_t count = load16(body_of(msg) + offset);
    if (static_cast<uint64_t>(offset) + 2 + pad + count * element_size > length)
        return VTR_INVALIDDATA;
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_get_u16_array(const sbcp2_message *msg, uint32_t offset,
                                      sbcp2_u16_array *array) {
    if (!array)
        return VTR_INVALIDPARAMETER;
    vtr_error err = sbcp2_message_check_array(msg, offset, 0, 2);
    if (err != VTR_SUCCESS)
        return err;
    // The view is handed out writable, as the owner of a received record may patch it.
    uint8_t *p = const_cast<uint8_t *>(body_of(msg)) + offset;
    array->offset = static_cast<uint16_t>(offset);
    array->count = load16(p);
    array->values = p + 2;
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_read_u16_array(const sbcp2_message *msg, uint32_t offset, uint16_t *count,
                                       uint16_t *values) {
    if (!count)
        return VTR_INVALIDPARAMETER;
    vtr_error err = sbcp2_message_check_array(msg, offset, 0, 2);
    if (err != VTR_SUCCESS)
        return err;
    const uint8_t *p = body_of(msg) + offset;
    uint16_t present = load16(p);
    if (values) {
        uint16_t n = present < *count ? present : *count;
        for (uint32_t i = 0; i < n; i++)
            values[i] = load16(p + 2 + 2 * i);
    }
    *count = present;
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_read_u32_array(const sbcp2_message *msg, uint32_t offset, uint16_t *count,
                                       uint32_t *values) {
    if (!count)
        return VTR_INVALIDPARAMETER;
    uint32_t pad = ((static_cast<uint64_t>(offset) + 2) % 4 == 0) ? 0 : 2;
    vtr_error err = sbcp2_message_check_array(msg, offset, pad, 4);
    if (err != VTR_SUCCESS)
        return err;
    const uint8_t *p = body_of(msg) + offset;
    uint16_t present = load16(p);
    if (values) {
        const uint8_t *first = p + 2 + pad;
        uint16_t n = present < *count ? present : *count;
        for (uint32_t i = 0; i < n; i++)
            values[i] = load32(first + 4 * i);
    }
    *count = present;
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_read_bytes(const sbcp2_message *msg, uint32_t offset, uint32_t length,
                                   void *out) {
    if (!msg || length == 0 || (offset & 1) ||
        static_cast<uint64_t>(offset) + length > readable_length(msg))
        return VTR_INVALIDPARAMETER;
    if (out)
        memcpy(out, body_of(msg) + offset, length);
    return VTR_SUCCESS;
}

const char *sbcp2_message_get_string(const sbcp2_message *msg, uint32_t offset) {
    const uint8_t *text = nullptr;
    size_t length = 0;
    if (!msg || text_at(msg, offset, &text, &length) != VTR_SUCCESS)
        return nullptr;
    return reinterpret_cast<const char *>(text);
}

vtr_error sbcp2_message_read_string(const sbcp2_message *msg, uint32_t offset, char *buffer,
                                    size_t *size) {
    if (!msg || !buffer || !size || *size == 0)
        return VTR_INVALIDPARAMETER;
    const uint8_t *p = nullptr;
    size_t text = 0;
    vtr_error err = text_at(msg, offset, &p, &text);
    if (err != VTR_SUCCESS)
        return err;
    size_t copy = text < *size - 1 ? text : *size - 1;
    memcpy(buffer, p, copy);
    buffer[copy] = '\0';
    *size = text;
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_read_u32(const sbcp2_message *msg, uint32_t offset, uint32_t *value) {
    if (!msg || !value || (offset & 3) || static_cast<uint64_t>(offset) + 4 > readable_length(msg))
        return VTR_INVALIDPARAMETER;
    *value = load32(body_of(msg) + offset);
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_read_wstring(const sbcp2_message *msg, uint32_t offset, char16_t *buffer,
                                     size_t *capacity) {
    if (!msg || !buffer || !capacity || *capacity == 0)
        return VTR_INVALIDPARAMETER;
    uint32_t length = readable_length(msg);
    if ((offset & 1) || offset >= length)
        return VTR_INVALIDPARAMETER;
    const uint8_t *p = body_of(msg) + offset;
    uint32_t room = length - offset;
    uint32_t chars = 0;
    for (;;) {
        if (4ull * chars + 4 > room)
            return VTR_INVALIDDATA;
        if (load32(p + 4 * chars) == 0)
            break;
        chars++;
    }
    size_t copy = chars < *capacity - 1 ? chars : *capacity - 1;
    for (size_t i = 0; i < copy; i++)
        buffer[i] = static_cast<char16_t>(load32(p + 4 * i));
    buffer[copy] = 0;
    *capacity = copy;
    return VTR_SUCCESS;
}

vtr_error sbcp2_message_validate(vtr_logger *logger, const sbcp2_message *msg, size_t received) {
    static const char fn[] = "sbcp2_client2_process";
    if (!msg)
        return VTR_INVALIDPARAMETER;
    if (received < SBCP2_HEAD_SIZE) {
        vtr_log(logger, VTR_LOG_WARNING, "%s: message too small for head (%u < %u)\n", fn,
                static_cast<unsigned>(received), static_cast<unsigned>(SBCP2_HEAD_SIZE));
        return VTR_INVALIDDATA;
    }
    const uint8_t *h = msg->buffer;
    uint16_t size = sbcp2_message_get_size(h);
    // More than the buffer holds cannot have been received into it, whatever the size says.
    if (size != received || received > SBCP2_MAX_MESSAGE) {
        vtr_log(logger, VTR_LOG_WARNING, "%s: invalid size in message (msg=%u, recved=%u)\n", fn,
                static_cast<unsigned>(size), static_cast<unsigned>(received));
        return VTR_INVALIDDATA;
    }
    if (logger && logger->level >= VTR_LOG_VERBOSE) {
        vtr_log(logger, VTR_LOG_VERBOSE,
                "%s: validated message: v=0x%04x, s=0x%04x s=0x%04x o=0x%04x s=0x%04x\n", fn,
                sbcp2_message_get_version(h), size, sbcp2_message_get_seqnum(h),
                sbcp2_message_get_opcode(h), sbcp2_message_get_status(h));
        sbcp2_id id;
        char text[SBCP2_ID_TEXT_SIZE];
        sbcp2_message_get_id(h, &id);
        vtr_log(logger, VTR_LOG_VERBOSE, "%s: validated message: id=%s\n", fn,
                sbcp2_id_to_string(&id, text));
    }
    return VTR_SUCCESS;
}
