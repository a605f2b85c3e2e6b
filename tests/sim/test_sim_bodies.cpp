// The simulator's body encoders and its configuration decoder, against bytes worked out by
// hand from the body layouts.
#include "sim/sim_bodies.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using bytes = std::vector<uint8_t>;

nyx_system_config golden_config() {
    nyx_system_config c{};
    c.channels = 8;
    memcpy(c.interface.name, u"Ethernet 2", sizeof u"Ethernet 2");
    const uint8_t mac[6] = {0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01};
    memcpy(c.interface.mac, mac, 6);
    c.sample_rate = 48000;
    c.sample_format = 24;
    strcpy(c.latency, "0.25 ms");
    c.want_to_run = 1;
    c.asio.audio_interface = 0;
    c.asio.asio_buffer_size = 256;
    c.asio.asio_encoding = 24;
    c.asio.asio_latency_us = 5000;
    c.pullup = 2;
    return c;
}

// 108 bytes: root (18), interface group (6), wide name (44), MAC (6), pad and rate (6),
// latency text (8), ASIO group (10), pad and buffer size (6), ASIO latency (4).
const bytes GOLDEN_CONFIG = {
    0x00, 0x08, 0x00, 0x08, 0x00, 0x12, 0x00, 0x4c, 0x00, 0x18, 0x00, 0x50, 0x00, 0x01, 0x00,
    0x58, 0x00, 0x02,                   // root
    0x00, 0x02, 0x00, 0x18, 0x00, 0x44, // interface group
    0,    0,    0,    'E',  0,    0,    0,    't',  0,    0,    0,    'h',  0,    0,    0,
    'e',  0,    0,    0,    'r',  0,    0,    0,    'n',  0,    0,    0,    'e',  0,    0,
    0,    't',  0,    0,    0,    ' ',  0,    0,    0,    '2',  0,    0,    0,    0, // wide name
    0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01,                                              // MAC
    0x00, 0x00, 0x00, 0x00, 0xbb, 0x80,                                              // pad, 48000
    '0',  '.',  '2',  '5',  ' ',  'm',  's',  0,                                     // latency
    0x00, 0x04, 0x00, 0x00, 0x00, 0x64, 0x00, 0x18, 0x00, 0x68,                      // ASIO group
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00,                                              // pad, 256
    0x00, 0x00, 0x13, 0x88,                                                          // 5000
};

// The golden configuration with its latency slot pointing at `text`, appended at offset 108.
bytes with_latency_text(const std::string &text) {
    bytes b = GOLDEN_CONFIG;
    b[10] = 0x00;
    b[11] = 108;
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

TEST(SimBodies, ConfigurationEncodesToGoldenBytes) {
    auto msg = fresh_message(0x0110);
    nyx_system_config c = golden_config();
    uint16_t offset = 99;
    ASSERT_EQ(nyxsim_encode_system_config(msg.get(), &c, &offset), VTR_SUCCESS);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(body_of(msg.get()), GOLDEN_CONFIG);
    EXPECT_EQ(sbcp2_message_get_size(sbcp2_message_head(msg.get())), 20 + 108);
}

TEST(SimBodies, VersionAndNameEncodeToGoldenBytes) {
    auto msg = fresh_message(0x0001);
    nyx_server_version v{};
    v.major = 4;
    v.minor = 2;
    v.patch = 1;
    v.build = 37;
    strcpy(v.text, "4.2.1");
    ASSERT_EQ(nyxsim_encode_server_version(msg.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(body_of(msg.get()),
              (bytes{0x00, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x01, 0x00, 0x25,
                     0x00, 0x12, 0x00, 0x00, 0x00, 0x00, '4',  '.',  '2',  '.',  '1',  0}));

    msg = fresh_message(0x0103);
    nyx_name n{};
    strcpy(n.name, "Nyx");
    ASSERT_EQ(nyxsim_encode_name(msg.get(), &n), VTR_SUCCESS);
    EXPECT_EQ(body_of(msg.get()), (bytes{0x00, 0x01, 0x00, 0x04, 'N', 'y', 'x', 0}));
}

TEST(SimBodies, OptionsEncodeToGoldenBytes) {
    nyx_system_options o{};
    o.num_channel_counts = 2;
    o.channel_counts[0] = 2;
    o.channel_counts[1] = 8;
    o.num_interfaces = 1;
    memcpy(o.interfaces[0].name, u"W\u00e4", sizeof u"W\u00e4");
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    memcpy(o.interfaces[0].mac, mac, 6);
    o.num_sample_rates = 1;
    o.sample_rates[0] = {48000, 64};
    o.num_sample_formats = 1;
    o.sample_formats[0] = 24;
    o.num_latencies = 1;
    o.latencies[0] = {"1 ms", 1000};
    o.asio.num_asio_buffer_sizes = 1;
    o.asio.asio_buffer_sizes[0] = 256;
    o.asio.num_asio_encodings = 1;
    o.asio.asio_encodings[0] = 24;
    o.asio.num_asio_latencies = 0; // an empty 32-bit array still carries its pad

    auto msg = fresh_message(0x0100);
    ASSERT_EQ(nyxsim_encode_system_options(msg.get(), &o), VTR_SUCCESS);
    const bytes expected = {
        0x00, 0x06, 0x00, 0x0e, 0x00, 0x14, 0x00, 0x32, 0x00, 0x40, 0x00, 0x44, 0x00, 0x58, // root
        0x00, 0x02, 0x00, 0x02, 0x00, 0x08,                                  // channel counts
        0x00, 0x01, 0x00, 0x18,                                              // interface offsets
        0x00, 0x02, 0x00, 0x20, 0x00, 0x2c,                                  // interface group
        0x00, 0x00,                                                          // pad
        0,    0,    0,    'W',  0,    0,    0,    0xe4, 0,    0,    0,    0, // wide name
        1,    2,    3,    4,    5,    6,                                     // MAC
        0x00, 0x01, 0x00, 0x36,                                              // sample rate offsets
        0x00, 0x02, 0x00, 0x3c, 0x00, 0x40,                         // rate group: rate at 60, 64 ch
        0x00, 0x00, 0xbb, 0x80,                                     // 48000
        0x00, 0x01, 0x00, 0x18,                                     // formats
        0x00, 0x01, 0x00, 0x48,                                     // latency offsets
        0x00, 0x02, 0x00, 0x4e, 0x00, 0x54,                         // latency group
        '1',  ' ',  'm',  's',  0,    0,                            // name and pad
        0x00, 0x00, 0x03, 0xe8,                                     // 1000 us
        0x00, 0x04, 0x00, 0x00, 0x00, 0x62, 0x00, 0x68, 0x00, 0x6c, // ASIO options group
        0x00, 0x01, 0x00, 0x00, 0x01, 0x00,                         // buffer sizes: 1, 256
        0x00, 0x01, 0x00, 0x18,                                     // encodings: 1, 24
        0x00, 0x00, 0x00, 0x00,                                     // latencies: 0, pad
    };
    EXPECT_EQ(body_of(msg.get()), expected);
}

TEST(SimBodies, StateEncodesToGoldenBytes) {
    nyx_system_state s{};
    s.config_lock_flags = 5;
    s.link_up = 1;
    s.link_speed = 1000;
    const uint8_t ip[4] = {192, 168, 1, 42};
    memcpy(s.ip_address, ip, 4);
    strcpy(s.device_name, "Nyx");
    s.system_error = 0x0011;
    s.slot7_value = 7;
    s.dll_process_name[0] = u'a';
    s.device_lock_status = 2;
    strcpy(s.domain.domain_text, "T");
    strcpy(s.domain.domain_name, "dom");
    s.domain.domain_value = 0x01020304;
    s.domain.enrolled = 1;
    s.domain.connected = 1;
    s.domain.config_allowed = 0;

    auto msg = fresh_message(0x0102);
    ASSERT_EQ(nyxsim_encode_system_state(msg.get(), &s), VTR_SUCCESS);
    const bytes expected = {
        0x00, 0x0b, 0x00, 0x18, 0x00, 0x05, 0x00, 0x01, 0x00, 0x54, 0x00, 0x58, 0x00,
        0x5c, 0x00, 0x11, 0x00, 0x07, 0x00, 0x60, 0x00, 0x02, 0x00, 0x6c, // root
        0x00, 0x08, 0x00, 0x00, 0x00, 0x2a, 0x00, 0x3c, 0x00, 0x00, 0x00, 0x40, 0x00,
        0x00, 0x00, 0x42, 0x00, 0x00,                               // configuration root
        0x00, 0x02, 0x00, 0x30, 0x00, 0x34,                         // interface group
        0,    0,    0,    0,                                        // empty wide name
        0,    0,    0,    0,    0,    0,                            // MAC
        0,    0,    0,    0,    0,    0,                            // pad, sample rate
        0,    0,                                                    // empty latency and pad
        0x00, 0x04, 0x00, 0x00, 0x00, 0x4c, 0x00, 0x00, 0x00, 0x50, // ASIO group
        0,    0,    0,    0,    0,    0,    0,    0,                // buffer size, ASIO latency
        0x00, 0x00, 0x03, 0xe8,                                     // link speed
        192,  168,  1,    42,                                       // address
        'N',  'y',  'x',  0,                                        // device name
        0x00, 0x01, 0x00, 0x64,                                     // DLL group
        0,    0,    0,    'a',  0,    0,    0,    0,                // DLL name
        0x00, 0x06, 0x00, 0x7a, 0x00, 0x7c, 0x00, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00,
        0x00,                            // domain group
        'T',  0,    'd',  'o',  'm',  0, // domain text, name
        0x01, 0x02, 0x03, 0x04,          // domain value
    };
    EXPECT_EQ(body_of(msg.get()), expected);
}

TEST(SimBodies, ConfigurationDecodesFromGoldenBytes) {
    nyx_system_config c;
    memset(&c, 0xab, sizeof c);
    ASSERT_EQ(nyxsim_decode_system_config(message_with_body(GOLDEN_CONFIG).get(), 0, &c),
              VTR_SUCCESS);
    nyx_system_config expected = golden_config();
    EXPECT_EQ(memcmp(&c, &expected, sizeof c), 0);

    // want_to_run other than 0 reads as 1.
    bytes b = GOLDEN_CONFIG;
    b[13] = 5;
    ASSERT_EQ(nyxsim_decode_system_config(message_with_body(b).get(), 0, &c), VTR_SUCCESS);
    EXPECT_EQ(c.want_to_run, 1u);
    // A root of one slot gives the channel count and zeros.
    ASSERT_EQ(nyxsim_decode_system_config(message_with_body({0x00, 0x01, 0x00, 0x10}).get(), 0, &c),
              VTR_SUCCESS);
    EXPECT_EQ(c.channels, 16);
    EXPECT_EQ(c.sample_rate, 0u);
    // A latency name longer than the field is cut, not refused.
    b = with_latency_text(std::string(40, 'L') + std::string(2, '\0'));
    ASSERT_EQ(nyxsim_decode_system_config(message_with_body(b).get(), 0, &c), VTR_SUCCESS);
    EXPECT_EQ(std::string(c.latency), std::string(31, 'L'));

    // Malformed: an ASIO group of 3 slots, the sample rate at an odd offset and past the body,
    // a root count past the body, a body cut short or empty, a latency text without its end.
    auto with = [](size_t at, uint8_t value) {
        bytes b = GOLDEN_CONFIG;
        b[at] = value;
        return b;
    };
    for (const bytes &bad :
         {with(89, 3), with(7, 0x4d), with(7, 0xf0), bytes{0x00, 0x09, 0x00, 0x01},
          bytes(GOLDEN_CONFIG.begin(), GOLDEN_CONFIG.begin() + 104), bytes{},
          with_latency_text("ab")}) {
        EXPECT_NE(nyxsim_decode_system_config(message_with_body(bad).get(), 0, &c), VTR_SUCCESS);
    }
    EXPECT_EQ(nyxsim_decode_system_config(nullptr, 0, &c), VTR_INVALIDPARAMETER);

    uint16_t value = 0;
    EXPECT_EQ(nyxsim_decode_connect(message_with_body({0x00, 0x01, 0x00, 0x03}).get(), &value),
              VTR_SUCCESS);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(nyxsim_decode_connect(message_with_body({0x00, 0x00}).get(), &value), VTR_NODATA);
}

} // namespace
