#include "client_test_util.h"

#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<sbcp2_message> new_message(uint16_t opcode) {
    auto m = std::make_unique<sbcp2_message>();
    std::memset(m.get(), 0, sizeof *m); // pad bytes are skipped, not written
    begin_message(m.get(), opcode);
    return m;
}

std::vector<uint8_t> body_of(const sbcp2_message *m) {
    const uint8_t *body = sbcp2_message_body(m);
    return std::vector<uint8_t>(body, body + sbcp2_message_body_length(m));
}

// Slot `index` of the slot array at `offset`.
uint16_t slot_of(const sbcp2_message *m, uint16_t offset, uint16_t index) {
    sbcp2_u16_array a{};
    EXPECT_EQ(sbcp2_message_get_u16_array(m, offset, &a), VTR_SUCCESS);
    return sbcp2_u16_array_get(&a, index);
}

void set_slot(sbcp2_message *m, uint16_t offset, uint16_t index, uint16_t value) {
    sbcp2_u16_array a{};
    ASSERT_EQ(sbcp2_message_get_u16_array(m, offset, &a), VTR_SUCCESS);
    sbcp2_u16_array_set(&a, index, value);
}

// Rewrites the count of the array at `offset`.
void set_count(sbcp2_message *m, uint16_t offset, uint16_t count) {
    uint8_t *p = sbcp2_message_body(m) + offset;
    p[0] = uint8_t(count >> 8);
    p[1] = uint8_t(count);
}

TEST(Bodies, ConfigurationGoldenBytes) {
    nyx_system_config config{};
    config.channels = 8;
    config.interface = make_interface("Ethernet 2", 2);
    config.sample_rate = 48000;
    config.sample_format = 24;
    std::strcpy(config.latency, "1000 us");
    config.want_to_run = 1;
    config.pullup = NYX_PULLUP_PLUS_0_1;
    config.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO;
    config.asio.asio_buffer_size = 128;
    config.asio.asio_encoding = 24;
    config.asio.asio_latency_us = 2000;

    auto m = new_message(NYX_OPCODE_SET_CONFIG);
    uint16_t offset = 0xffff;
    ASSERT_EQ(nyx_encode_system_config(m.get(), &config, &offset), VTR_SUCCESS);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(sbcp2_message_get_size(sbcp2_message_head(m.get())), 20 + 108);

    std::vector<uint8_t> expected = {// root slot array at 0
                                     0x00, 0x08, 0x00, 0x08, 0x00, 0x12, 0x00, 0x4c, 0x00, 0x18,
                                     0x00, 0x50, 0x00, 0x01, 0x00, 0x58, 0x00, 0x02,
                                     // interface group at 18
                                     0x00, 0x02, 0x00, 0x18, 0x00, 0x44};
    // the name at 24, one 32-bit value per character and a zero one
    for (char ch : std::string("Ethernet 2")) {
        expected.insert(expected.end(), {0, 0, 0, uint8_t(ch)});
    }
    expected.insert(expected.end(), {0, 0, 0, 0});
    const std::vector<uint8_t> tail = {
        0x00, 0x1d, 0xc1, 0x00, 0x00, 0x02,                   // MAC at 68
        0x00, 0x00, 0x00, 0x00, 0xbb, 0x80,                   // pad, sample rate at 76
        '1',  '0',  '0',  '0',  ' ',  'u',  's',  0x00,       // latency at 80
        0x00, 0x04, 0x00, 0x00, 0x00, 0x64, 0x00, 0x18, 0x00, // ASIO group at 88
        0x68, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,             // pad, buffer size at 100
        0x00, 0x00, 0x07, 0xd0,                               // ASIO latency at 104
    };
    expected.insert(expected.end(), tail.begin(), tail.end());
    ASSERT_EQ(expected.size(), 108u);
    EXPECT_EQ(body_of(m.get()), expected);

    auto c = new_message(NYX_OPCODE_STATE);
    ASSERT_EQ(nyx_encode_connect(c.get(), 3), VTR_SUCCESS);
    const uint8_t *head = sbcp2_message_head(c.get());
    EXPECT_EQ(sbcp2_message_get_version(head), 0x1400);
    EXPECT_EQ(sbcp2_message_get_opcode(head), NYX_OPCODE_CONNECT);
    EXPECT_EQ(body_of(c.get()), (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x03}));
}

TEST(Bodies, EncoderFailures) {
    const nyx_system_config config = make_config();
    auto m = new_message(NYX_OPCODE_SET_CONFIG);
    EXPECT_EQ(nyx_encode_system_config(nullptr, &config, nullptr), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_encode_system_config(m.get(), nullptr, nullptr), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_encode_connect(nullptr, 3), VTR_INVALIDPARAMETER);
    ASSERT_EQ(sbcp2_message_append_bytes(m.get(), 1400, nullptr, nullptr), VTR_SUCCESS);
    EXPECT_EQ(nyx_encode_system_config(m.get(), &config, nullptr), VTR_MSGSIZE);
}

TEST(Bodies, ServerVersion) {
    auto m = new_message(NYX_OPCODE_CONNECT);
    build_version_body(m.get(), 0x1203, 0x0405, 600, 7000);
    nyx_server_version v;
    ASSERT_EQ(nyx_decode_server_version(m.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(v.word0, 0x0a0a);
    EXPECT_EQ(v.major, 0x03); // low 8 bits of the immediate
    EXPECT_EQ(v.minor, 0x05);
    EXPECT_EQ(v.patch, 600);
    EXPECT_EQ(v.build, 7000);
    EXPECT_STREQ(v.text, "v-text");
    EXPECT_EQ(v.word7, 0x0707);

    // Missing slots stay zero; a longer text is cut to 7 characters.
    m = new_message(NYX_OPCODE_CONNECT);
    sbcp2_u16_array root = reserve_slots(m.get(), 6);
    sbcp2_u16_array_set(&root, 1, 9);
    sbcp2_u16_array_set(&root, 5, put_string(m.get(), "abcdefghij"));
    std::memset(&v, 0xee, sizeof v);
    ASSERT_EQ(nyx_decode_server_version(m.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(v.major, 9);
    EXPECT_EQ(v.patch, 0);
    EXPECT_EQ(v.word7, 0);
    EXPECT_STREQ(v.text, "abcdefg");

    set_slot(m.get(), 0, 5, 3);
    EXPECT_EQ(nyx_decode_server_version(m.get(), &v), VTR_INVALIDPARAMETER) << "odd offset";
    auto empty = new_message(NYX_OPCODE_CONNECT);
    EXPECT_EQ(nyx_decode_server_version(empty.get(), &v), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_decode_server_version(empty.get(), nullptr), VTR_INVALIDPARAMETER);
}

TEST(Bodies, State) {
    const nyx_system_state expected = make_state();
    auto m = new_message(NYX_OPCODE_STATE);
    build_state_body(m.get(), expected);
    nyx_system_state s;
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    EXPECT_EQ(std::memcmp(&s, &expected, sizeof s), 0);

    // Non-zero immediates read as 1 for the two flags; a long device name is cut.
    nyx_system_state odd = expected;
    odd.link_up = 5;
    odd.config.want_to_run = 7;
    std::strcpy(odd.device_name, std::string(31, 'd').c_str());
    m = new_message(NYX_OPCODE_STATE);
    build_state_body(m.get(), odd);
    const uint16_t name_at = slot_of(m.get(), 0, 5);
    set_slot(m.get(), 0, 5, put_string(m.get(), std::string(40, 'n').c_str()));
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    EXPECT_EQ(s.link_up, 1u);
    EXPECT_EQ(s.config.want_to_run, 1u);
    EXPECT_EQ(std::string(s.device_name), std::string(31, 'n'));
    set_slot(m.get(), 0, 5, name_at);

    // A root of two slots: the configuration and the lock flags, all else zero.
    set_count(m.get(), 0, 2);
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    EXPECT_EQ(s.config.channels, expected.config.channels);
    EXPECT_EQ(s.config.asio.asio_latency_us, expected.config.asio.asio_latency_us);
    EXPECT_EQ(s.config_lock_flags, expected.config_lock_flags);
    EXPECT_EQ(s.link_speed, 0u);
    EXPECT_EQ(s.device_name[0], 0);
    EXPECT_EQ(s.domain.config_allowed, 0u);
    set_count(m.get(), 0, 11);

    // Groups with too few slots.
    const uint16_t asio_at = slot_of(m.get(), slot_of(m.get(), 0, 0), 6);
    set_count(m.get(), asio_at, 3);
    EXPECT_EQ(nyx_decode_system_state(m.get(), &s), VTR_NODATA);
    set_count(m.get(), asio_at, 4);
    const uint16_t dll_at = slot_of(m.get(), 0, 8);
    set_count(m.get(), dll_at, 0);
    EXPECT_EQ(nyx_decode_system_state(m.get(), &s), VTR_NODATA);
    set_count(m.get(), dll_at, 1);
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);

    // Reader errors come up unchanged.
    const uint16_t length = sbcp2_message_body_length(m.get());
    set_slot(m.get(), 0, 3, 2);
    EXPECT_EQ(nyx_decode_system_state(m.get(), &s), VTR_INVALIDPARAMETER) << "unaligned u32";
    m = new_message(NYX_OPCODE_STATE);
    build_state_body(m.get(), expected);
    set_slot(m.get(), 0, 5, length + 2);
    EXPECT_EQ(nyx_decode_system_state(m.get(), &s), VTR_INVALIDPARAMETER) << "beyond the body";
    m = new_message(NYX_OPCODE_STATE);
    build_state_body(m.get(), expected);
    set_count(m.get(), slot_of(m.get(), 0, 10), 500);
    EXPECT_EQ(nyx_decode_system_state(m.get(), &s), VTR_INVALIDDATA) << "group past the end";
}

TEST(Bodies, Options) {
    nyx_system_options expected = make_options();
    auto m = new_message(NYX_OPCODE_OPTIONS);
    build_options_body(m.get(), expected); // the ASIO group's slot 0 holds an unusable offset
    nyx_system_options o;
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    EXPECT_TRUE(nyx_system_options_equal(&o, &expected));

    // Twenty entries in each list: sixteen are kept.
    m = new_message(NYX_OPCODE_OPTIONS);
    sbcp2_u16_array root = reserve_slots(m.get(), 2);
    uint16_t counts[20];
    for (uint16_t i = 0; i < 20; i++) {
        counts[i] = uint16_t(i + 1);
    }
    sbcp2_u16_array_set(&root, 0, put_u16_array(m.get(), counts, 20));
    sbcp2_u16_array list = reserve_slots(m.get(), 20);
    sbcp2_u16_array_set(&root, 1, list.offset);
    for (uint16_t i = 0; i < 20; i++) {
        sbcp2_u16_array_set(&list, i, put_interface_group(m.get(), make_interface("if", i)));
    }
    std::memset(&o, 0xee, sizeof o);
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    EXPECT_EQ(o.num_channel_counts, 16);
    EXPECT_EQ(o.channel_counts[15], 16);
    EXPECT_EQ(o.num_interfaces, 16);
    EXPECT_EQ(o.interfaces[15].mac[5], 15);
    EXPECT_EQ(o.num_sample_rates, 0) << "missing slots leave empty lists";

    // Entry groups: a short sample-rate group and an over-long latency name.
    m = new_message(NYX_OPCODE_OPTIONS);
    root = reserve_slots(m.get(), 5);
    list = reserve_slots(m.get(), 1);
    sbcp2_u16_array_set(&root, 2, list.offset);
    sbcp2_u16_array g = reserve_slots(m.get(), 1);
    sbcp2_u16_array_set(&g, 0, put_u32(m.get(), 192000));
    sbcp2_u16_array_set(&list, 0, g.offset);
    list = reserve_slots(m.get(), 1);
    sbcp2_u16_array_set(&root, 4, list.offset);
    g = reserve_slots(m.get(), 3);
    sbcp2_u16_array_set(&g, 0, put_string(m.get(), std::string(40, 'l').c_str()));
    sbcp2_u16_array_set(&g, 1, put_u32(m.get(), 250));
    sbcp2_u16_array_set(&g, 2, 0xffff); // ignored
    sbcp2_u16_array_set(&list, 0, g.offset);
    sbcp2_u16_array_set(&root, 0, put_u16_array(m.get(), nullptr, 0));
    sbcp2_u16_array_set(&root, 1, put_u16_array(m.get(), nullptr, 0));
    sbcp2_u16_array_set(&root, 3, put_u16_array(m.get(), nullptr, 0));
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    EXPECT_EQ(o.num_sample_rates, 1);
    EXPECT_EQ(o.sample_rates[0].rate, 192000u);
    EXPECT_EQ(o.sample_rates[0].max_channels, 0);
    EXPECT_EQ(std::string(o.latencies[0].name), std::string(31, 'l'));
    EXPECT_EQ(o.latencies[0].us, 250u);

    // A short ASIO options group, and an array that runs past the body.
    m = new_message(NYX_OPCODE_OPTIONS);
    build_options_body(m.get(), expected);
    const uint16_t asio_at = slot_of(m.get(), 0, 5);
    set_count(m.get(), asio_at, 3);
    EXPECT_EQ(nyx_decode_system_options(m.get(), &o), VTR_NODATA);
    set_count(m.get(), asio_at, 4);
    set_count(m.get(), slot_of(m.get(), asio_at, 3), 700);
    EXPECT_EQ(nyx_decode_system_options(m.get(), &o), VTR_INVALIDDATA);
}

TEST(Bodies, Name) {
    auto m = new_message(NYX_OPCODE_NAME);
    build_name_body(m.get(), std::string(40, 'x').c_str());
    nyx_name n;
    ASSERT_EQ(nyx_decode_name(m.get(), &n), VTR_SUCCESS);
    EXPECT_EQ(std::string(n.name), std::string(31, 'x'));

    set_count(m.get(), 0, 0);
    ASSERT_EQ(nyx_decode_name(m.get(), &n), VTR_SUCCESS);
    EXPECT_EQ(n.name[0], 0);

    // Text without a terminator inside the body.
    m = new_message(NYX_OPCODE_NAME);
    sbcp2_u16_array root = reserve_slots(m.get(), 1);
    sbcp2_u16_array_set(&root, 0, put_bytes(m.get(), "abcd", 4));
    EXPECT_EQ(nyx_decode_name(m.get(), &n), VTR_INVALIDDATA);
    set_slot(m.get(), 0, 0, 5);
    EXPECT_EQ(nyx_decode_name(m.get(), &n), VTR_INVALIDPARAMETER);
}

TEST(Bodies, StatusNamesAndErrors) {
    EXPECT_STREQ(nyx_status_name(0x0100), "Invalid API");
    EXPECT_STREQ(nyx_status_name(0x0101), "Invalid Data");
    EXPECT_STREQ(nyx_status_name(0x0102), "Invalid State");
    EXPECT_STREQ(nyx_status_name(0x0103), "System error");
    EXPECT_STREQ(nyx_status_name(1), "Response");
    EXPECT_STREQ(nyx_status_name(0x0080), "Server error");
    EXPECT_STREQ(nyx_status_name(3), "?");
    EXPECT_EQ(nyx_status_to_error(0), VTR_SUCCESS);
    EXPECT_EQ(nyx_status_to_error(2), VTR_SUCCESS);
    EXPECT_EQ(nyx_status_to_error(0x0100), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_status_to_error(0x0101), VTR_INVALIDDATA);
    EXPECT_EQ(nyx_status_to_error(0x0102), VTR_INVALIDSTATE);
    EXPECT_EQ(nyx_status_to_error(0x0103), VTR_SYSTEM);
    EXPECT_EQ(nyx_status_to_error(0x0080), VTR_SYSTEM);
    EXPECT_EQ(nyx_status_to_error(3), VTR_SYSTEM);
}

} // namespace
