// The simulator's body encoders and its configuration decoder, against bytes worked out by
// hand from the body layouts.
#include "sim/sim_bodies.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bytes = std::vector<uint8_t>;

bytes body_of(const std::unique_ptr<sbcp2_message> &msg) {
    const uint8_t *body = sbcp2_message_body(msg.get());
    return bytes(body, body + sbcp2_message_body_length(msg.get()));
}

// A message holding `body` as a received datagram would.
std::unique_ptr<sbcp2_message> message_with_body(const bytes &body) {
    auto msg = fresh_message(0x0110);
    if (!body.empty())
        memcpy(sbcp2_message_body(msg.get()), body.data(), body.size());
    sbcp2_message_add_size(sbcp2_message_head(msg.get()), uint16_t(body.size()));
    return msg;
}

// Every field, in declaration order.
// clang-format off
const nyx_system_config GOLDEN = {
    8, {u"Ethernet 2", {0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01}}, // channels, interface
    48000, 24, 2, "0.25 ms", 1,                               // rate, format, pullup, latency, run
    {0, 5000, 256, 24}};                                      // ASIO
// clang-format on

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

TEST(SimBodies, ConfigurationEncodesAndDecodesGoldenBytes) {
    auto msg = fresh_message(0x0110);
    nyx_system_config c = GOLDEN;
    uint16_t offset = 99;
    ASSERT_EQ(nyxsim_encode_system_config(msg.get(), &c, &offset), VTR_SUCCESS);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(body_of(msg), GOLDEN_CONFIG);
    EXPECT_EQ(size_of(msg.get()), 20 + 108);

    memset(&c, 0xab, sizeof c);
    ASSERT_EQ(nyxsim_decode_system_config(message_with_body(GOLDEN_CONFIG).get(), 0, &c),
              VTR_SUCCESS);
    EXPECT_EQ(memcmp(&c, &GOLDEN, sizeof c), 0);

    // Malformed: an ASIO group of 3 slots, the sample rate at an odd offset and past the body,
    // a root count past the body, a body cut short or empty, a latency text without its end.
    auto with = [](std::vector<std::pair<size_t, uint8_t>> changes, std::string tail = "") {
        bytes b = GOLDEN_CONFIG;
        for (auto [at, value] : changes)
            b[at] = value;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    for (const bytes &bad :
         {with({{89, 3}}), with({{7, 0x4d}}), with({{7, 0xf0}}), bytes{0x00, 0x09, 0x00, 0x01},
          bytes(GOLDEN_CONFIG.begin(), GOLDEN_CONFIG.begin() + 104), bytes{},
          with({{10, 0}, {11, 108}}, "ab")}) {
        EXPECT_NE(nyxsim_decode_system_config(message_with_body(bad).get(), 0, &c), VTR_SUCCESS);
    }
    EXPECT_EQ(nyxsim_decode_system_config(nullptr, 0, &c), VTR_INVALIDPARAMETER);
}

TEST(SimBodies, VersionNameAndConnectGoldenBytes) {
    auto msg = fresh_message(0x0001);
    nyx_server_version v{0, 4, 2, 1, 37, "4.2.1", 0};
    ASSERT_EQ(nyxsim_encode_server_version(msg.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(body_of(msg),
              (bytes{0x00, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x01, 0x00, 0x25,
                     0x00, 0x12, 0x00, 0x00, 0x00, 0x00, '4',  '.',  '2',  '.',  '1',  0}));

    msg = fresh_message(0x0103);
    nyx_name n{"Nyx"};
    ASSERT_EQ(nyxsim_encode_name(msg.get(), &n), VTR_SUCCESS);
    EXPECT_EQ(body_of(msg), (bytes{0x00, 0x01, 0x00, 0x04, 'N', 'y', 'x', 0}));

    uint16_t value = 0;
    EXPECT_EQ(nyxsim_decode_connect(message_with_body({0x00, 0x01, 0x00, 0x03}).get(), &value),
              VTR_SUCCESS);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(nyxsim_decode_connect(message_with_body({0x00, 0x00}).get(), &value), VTR_NODATA);
}

TEST(SimBodies, OptionsEncodeToGoldenBytes) {
    // An empty 32-bit array (the ASIO latencies) still carries its pad.
    // clang-format off
    const nyx_system_options o = {
        2, {2, 8}, 1, {{u"W\u00e4", {1, 2, 3, 4, 5, 6}}}, // channel counts, interfaces
        1, {{48000, 64}}, 1, {24}, 1, {{"1 ms", 1000}},   // rates, formats, latencies
        {0, {}, 1, {256}, 1, {24}}};                       // ASIO latencies, buffers, encodings
    // clang-format on
    auto msg = fresh_message(0x0100);
    ASSERT_EQ(nyxsim_encode_system_options(msg.get(), &o), VTR_SUCCESS);
    const bytes expected = {
        0x00, 0x06, 0x00, 0x0e, 0x00, 0x14, 0x00, 0x32, 0x00, 0x40, 0x00, 0x44, 0x00, 0x58, // root
        0x00, 0x02, 0x00, 0x02, 0x00, 0x08, 0x00, 0x01, 0x00, 0x18, // channels; interface offsets
        0x00, 0x02, 0x00, 0x20, 0x00, 0x2c, 0x00, 0x00,             // interface group, pad
        0,    0,    0,    'W',  0,    0,    0,    0xe4, 0,    0,    0,    0, // wide name
        1,    2,    3,    4,    5,    6,    0x00, 0x01, 0x00, 0x36,          // MAC; rate offsets
        0x00, 0x02, 0x00, 0x3c, 0x00, 0x40, 0x00, 0x00, 0xbb, 0x80,          // rate group: 48000
        0x00, 0x01, 0x00, 0x18,                                              // formats
        0x00, 0x01, 0x00, 0x48, 0x00, 0x02, 0x00, 0x4e, 0x00, 0x54, // latency offsets, group
        '1',  ' ',  'm',  's',  0,    0,    0x00, 0x00, 0x03, 0xe8, // name, pad, 1000 us
        0x00, 0x04, 0x00, 0x00, 0x00, 0x62, 0x00, 0x68, 0x00, 0x6c, // ASIO options group
        0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x18, // buffer sizes, encodings
        0x00, 0x00, 0x00, 0x00,                                     // latencies: 0, pad
    };
    EXPECT_EQ(body_of(msg), expected);
}

TEST(SimBodies, StateEncodesToGoldenBytes) {
    // clang-format off
    const nyx_system_state s = {
        {}, 5, 0x0011, 7, 1, 1000, {192, 168, 1, 42}, "Nyx", u"a", 2, // all but the domain
        {1, 1, "dom", "T", 0x01020304, 0}};                           // domain
    // clang-format on
    auto msg = fresh_message(0x0102);
    ASSERT_EQ(nyxsim_encode_system_state(msg.get(), &s), VTR_SUCCESS);
    const bytes expected = {
        0x00, 0x0b, 0x00, 0x18, 0x00, 0x05, 0x00, 0x01, 0x00, 0x54, 0x00, 0x58, // root
        0x00, 0x5c, 0x00, 0x11, 0x00, 0x07, 0x00, 0x60, 0x00, 0x02, 0x00, 0x6c, // root
        0x00, 0x08, 0x00, 0x00, 0x00, 0x2a, 0x00, 0x3c, 0x00, 0x00, // configuration root
        0x00, 0x40, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00,             // configuration root
        0x00, 0x02, 0x00, 0x30, 0x00, 0x34, 0,    0,    0,    0,    // interface group, no name
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    // MAC, pad, rate
        0,    0,    0x00, 0x04, 0x00, 0x00, 0x00, 0x4c, 0x00, 0x00, 0x00, 0x50, // latency; ASIO
        0,    0,    0,    0,    0,    0,    0,    0, // buffer size, ASIO latency
        0x00, 0x00, 0x03, 0xe8, 192,  168,  1,    42,   'N',  'y',  'x',  0, // speed, IP, name
        0x00, 0x01, 0x00, 0x64, 0,    0,    0,    'a',  0,    0,    0,    0, // DLL group, name
        0x00, 0x06, 0x00, 0x7a, 0x00, 0x7c, 0x00, 0x80,                      // domain group
        0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 'T',  0,    'd',  'o',  'm',  0, // domain flags, texts
        0x01, 0x02, 0x03, 0x04,                                              // domain value
    };
    EXPECT_EQ(body_of(msg), expected);
}

} // namespace
