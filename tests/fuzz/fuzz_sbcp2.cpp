// Arbitrary datagrams through validation and every body reader, with offsets taken from the
// datagram itself; then a body built by appends that the input chooses.
#include "tests/fuzz/fuzz_common.h"

namespace {

// Every view a reader hands out lies inside the datagram.
size_t g_length = 0;

bool inside(const sbcp2_message *msg, const void *p, size_t n) {
    auto *b = static_cast<const uint8_t *>(p);
    return b >= msg->buffer && b + n <= msg->buffer + g_length;
}

void read_everything(const sbcp2_message *msg, uint32_t o, uint32_t arg) {
    sbcp2_message_check_array(msg, o, arg & 3, (arg >> 2) & 7);

    sbcp2_u16_array view{};
    if (sbcp2_message_get_u16_array(msg, o, &view) == VTR_SUCCESS) {
        require(inside(msg, view.values, 2u * view.count));
        for (uint32_t i = 0; i < view.count; i++)
            sbcp2_u16_array_get(&view, static_cast<uint16_t>(i));
    }

    uint16_t u16[16], count = static_cast<uint16_t>(arg % 17);
    sbcp2_message_read_u16_array(msg, o, &count, u16);
    uint32_t u32[16];
    count = static_cast<uint16_t>(arg % 17);
    sbcp2_message_read_u32_array(msg, o, &count, u32);
    count = 0;
    sbcp2_message_read_u32_array(msg, o, &count, nullptr);

    static uint8_t bytes[65536];
    sbcp2_message_read_bytes(msg, o, arg & 0xFFFF, bytes);

    if (const char *s = sbcp2_message_get_string(msg, o))
        require(inside(msg, s, strlen(s) + 1));
    char text[41];
    size_t size = 1 + arg % 40, cap = size;
    if (sbcp2_message_read_string(msg, o, text, &size) == VTR_SUCCESS)
        require(strlen(text) == (size < cap ? size : cap - 1));

    uint32_t value;
    sbcp2_message_read_u32(msg, o, &value);

    char16_t wide[65];
    size_t wcap = cap = 1 + arg % 64;
    if (sbcp2_message_read_wstring(msg, o, wide, &wcap) == VTR_SUCCESS)
        require(wcap < cap && wide[wcap] == 0);
}

void build(const uint8_t *data, size_t size) {
    static sbcp2_message msg;
    memset(&msg, 0, sizeof(msg));
    sbcp2_message_init_record(&msg);
    sbcp2_message_init_head(&msg, 0x1400, 0x0110);
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz";
    static const char16_t wletters[] = u"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxy";
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint16_t before = sbcp2_message_get_size(msg.buffer);
        uint8_t n = data[i + 1];
        uint16_t off = 0;
        sbcp2_u16_array view{};
        vtr_error err;
        const int kind = data[i] % 6;
        err = kind == 0   ? sbcp2_message_append_u16_array(&msg, n, nullptr, &off)
              : kind == 1 ? sbcp2_message_reserve_u16_array(&msg, n, &view)
              : kind == 2 ? sbcp2_message_append_bytes(&msg, uint16_t(n * 7), nullptr, &off)
              : kind == 3 ? sbcp2_message_append_string(&msg, letters + (n % 52), &off)
              : kind == 4 ? sbcp2_message_append_u32(&msg, n, &off)
                          : sbcp2_message_append_wstring(&msg, wletters + (n % 51), &off);
        uint16_t length = sbcp2_message_body_length(&msg);
        require(length <= SBCP2_MAX_BODY && length % 2 == 0);
        if (err != VTR_SUCCESS)
            require(sbcp2_message_get_size(msg.buffer) == before);
        else
            require(off <= length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ExactMessage msg = exact_message(data, size);
    g_length = size;
    vtr_error valid = sbcp2_message_validate(verbose_logger(), msg.get(), size);
    if (size < SBCP2_HEAD_SIZE || size > SBCP2_MAX_MESSAGE) {
        require(valid != VTR_SUCCESS);
        build(data, size < 512 ? size : 512);
        return 0;
    }
    // Readers only ever see validated datagrams, whose size field is the received length; one
    // that lies about its size is read as if it had told the truth.
    if (valid != VTR_SUCCESS) {
        msg->buffer[2] = static_cast<uint8_t>(size >> 8);
        msg->buffer[3] = static_cast<uint8_t>(size);
        require(sbcp2_message_validate(verbose_logger(), msg.get(), size) == VTR_SUCCESS);
    }
    require(sbcp2_message_body_length(msg.get()) == size - SBCP2_HEAD_SIZE);

    // Every 16-bit word of the datagram is tried as an offset, as is its value within the body
    // (the slot arrays of real bodies hold small offsets), and once with hostile high bits.
    size_t words = size / 2 < 96 ? size / 2 : 96;
    for (size_t i = 0; i < words; i++) {
        uint32_t word = static_cast<uint32_t>((data[2 * i] << 8) | data[2 * i + 1]);
        uint32_t arg = i + 1 < words ? static_cast<uint32_t>(data[2 * i + 2]) : word;
        read_everything(msg.get(), word, arg);
        read_everything(msg.get(), word % 1456, arg);
        read_everything(msg.get(), word | 0xFFFF0000u, arg);
    }
    build(data, size < 512 ? size : 512);
    return 0;
}
