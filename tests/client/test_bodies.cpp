#include "client_test_util.h"

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes body_of(const sbcp2_message *m) {
    const uint8_t *body = sbcp2_message_body(m);
    return Bytes(body, body + sbcp2_message_body_length(m));
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

TEST(Bodies, EncodersGoldenBytes) {
    nyx_system_config config = make_config();
    std::strcpy(config.latency, "1000 us");
    config.pullup = NYX_PULLUP_PLUS_0_1;
    auto m = new_message(NYX_OPCODE_SET_CONFIG);
    uint16_t offset = 0xffff;
    ASSERT_EQ(nyx_encode_system_config(m.get(), &config, &offset), VTR_SUCCESS);
    EXPECT_EQ(offset, 0);
    Bytes expected = {0x00, 0x08, 0x00, 0x08, 0x00, 0x12, 0x00, 0x4c, 0x00, // root slots at 0
                      0x18, 0x00, 0x50, 0x00, 0x01, 0x00, 0x58, 0x00, 0x02, //
                      0x00, 0x02, 0x00, 0x18, 0x00, 0x44};                  // interface at 18
    for (char ch : std::string("Ethernet 2")) // the name at 24, 32 bits per character
        expected.insert(expected.end(), {0, 0, 0, uint8_t(ch)});
    const Bytes tail = {
        0x00, 0x00, 0x00, 0x00,                               // terminator
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

    ASSERT_EQ(nyx_encode_connect(m.get(), 3), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_message_get_version(sbcp2_message_head(m.get())), 0x1400);
    EXPECT_EQ(sbcp2_message_get_opcode(sbcp2_message_head(m.get())), NYX_OPCODE_CONNECT);
    EXPECT_EQ(body_of(m.get()), (Bytes{0x00, 0x01, 0x00, 0x03}));

    EXPECT_EQ(nyx_encode_system_config(m.get(), nullptr, nullptr), VTR_INVALIDPARAMETER);
    ASSERT_EQ(sbcp2_message_append_bytes(m.get(), 1400, nullptr, nullptr), VTR_SUCCESS);
    EXPECT_EQ(nyx_encode_system_config(m.get(), &config, nullptr), VTR_MSGSIZE);
}

TEST(Bodies, ServerVersion) {
    auto m = new_message(NYX_OPCODE_CONNECT);
    build_version_body(m.get(), 0x1203, 0x0405, 600, 7000);
    nyx_server_version v;
    ASSERT_EQ(nyx_decode_server_version(m.get(), &v), VTR_SUCCESS);
    nyx_server_version expected{0x0a0a, 0x03, 0x05, 600, 7000, "v-text", 0x0707}; // low 8 bits
    EXPECT_EQ(std::memcmp(&v, &expected, sizeof v), 0);

    // Missing slots stay zero; a longer text is cut to 7 characters.
    m = new_message(NYX_OPCODE_CONNECT);
    Put p{m.get()};
    sbcp2_u16_array root = p.slots(6);
    Put::set_slots(&root, {0, 9, 0, 0, 0, p.text("abcdefghij")});
    std::memset(&v, 0xee, sizeof v);
    ASSERT_EQ(nyx_decode_server_version(m.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(v.major + v.patch + v.word7, 9);
    EXPECT_STREQ(v.text, "abcdefg");
    set_slot(m.get(), 0, 5, 3);
    EXPECT_EQ(nyx_decode_server_version(m.get(), &v), VTR_INVALIDPARAMETER) << "odd offset";
    m = new_message(NYX_OPCODE_CONNECT);
    EXPECT_EQ(nyx_decode_server_version(m.get(), &v), VTR_INVALIDPARAMETER) << "no root";
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
    m = new_message(NYX_OPCODE_STATE);
    build_state_body(m.get(), odd);
    set_slot(m.get(), 0, 5, Put{m.get()}.text(std::string(40, 'n').c_str()));
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    EXPECT_EQ(s.link_up + s.config.want_to_run, 2u);
    EXPECT_EQ(std::string(s.device_name), std::string(31, 'n'));

    // A root of two slots: the configuration and the lock flags, all else zero.
    set_count(m.get(), 0, 2);
    std::memset(&s, 0xee, sizeof s);
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    nyx_system_state two;
    std::memset(&two, 0, sizeof two);
    std::memcpy(&two.config, &expected.config, sizeof two.config);
    two.config_lock_flags = expected.config_lock_flags;
    EXPECT_EQ(std::memcmp(&s, &two, sizeof s), 0);

    // Groups with too few slots, then reader errors, which come up unchanged.
    m = new_message(NYX_OPCODE_STATE);
    build_state_body(m.get(), expected);
    const uint16_t asio_at = slot_of(m.get(), slot_of(m.get(), 0, 0), 6);
    const uint16_t dll_at = slot_of(m.get(), 0, 8), domain_at = slot_of(m.get(), 0, 10);
    const uint16_t length = sbcp2_message_body_length(m.get());
    const struct {
        uint16_t count_at, slot, value; // a count rewritten, or else a slot of the root
        vtr_error error;
    } faults[] = {
        {asio_at, 0, 3, VTR_NODATA},
        {dll_at, 0, 0, VTR_NODATA},
        {domain_at, 0, 500, VTR_INVALIDDATA},               // the group runs past the end
        {0, 3, 2, VTR_INVALIDPARAMETER},                    // an unaligned 32-bit value
        {0, 5, uint16_t(length + 2), VTR_INVALIDPARAMETER}, // beyond the body
        {0, 5, 7, VTR_INVALIDPARAMETER},                    // odd
    };
    for (const auto &f : faults) {
        m = new_message(NYX_OPCODE_STATE);
        build_state_body(m.get(), expected);
        if (f.count_at)
            set_count(m.get(), f.count_at, f.value);
        else
            set_slot(m.get(), 0, f.slot, f.value);
        EXPECT_EQ(nyx_decode_system_state(m.get(), &s), f.error) << f.count_at << " " << f.slot;
    }
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
    Put p{m.get()};
    sbcp2_u16_array root = p.slots(2);
    uint16_t counts[20];
    nyx_interface interfaces[20];
    for (uint16_t i = 0; i < 20; i++) {
        counts[i] = uint16_t(i + 1);
        interfaces[i] = make_interface("if", uint8_t(i));
    }
    Put::set_slots(&root, {p.u16s(counts, 20), p.list(interfaces, 20, &Put::interface)});
    std::memset(&o, 0xee, sizeof o);
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    // Missing slots leave empty lists.
    EXPECT_EQ(std::tuple(o.num_channel_counts, o.channel_counts[15], o.num_interfaces,
                         o.interfaces[15].mac[5] + 0, o.num_sample_rates),
              std::tuple(16, 16, 16, 15, 0));

    // Entry groups: a short sample-rate group and an over-long latency name.
    m = new_message(NYX_OPCODE_OPTIONS);
    p = Put{m.get()};
    root = p.slots(5); // the latency group's third slot is ignored
    const uint16_t rate = p.group({p.u32(192000)});
    const uint16_t latency = p.group({p.text(std::string(40, 'l').c_str()), p.u32(250), 0xffff});
    Put::set_slots(&root, {p.u16s(nullptr, 0), p.u16s(nullptr, 0), p.u16s(&rate, 1),
                           p.u16s(nullptr, 0), p.u16s(&latency, 1)});
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    EXPECT_EQ(std::tuple(o.num_sample_rates, o.sample_rates[0].rate, o.sample_rates[0].max_channels,
                         o.latencies[0].us),
              std::tuple(1, 192000u, 0, 250u));
    EXPECT_EQ(std::string(o.latencies[0].name), std::string(31, 'l'));

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

    m = new_message(NYX_OPCODE_NAME); // text without a terminator inside the body
    Put p{m.get()};
    sbcp2_u16_array root = p.slots(1);
    Put::set_slots(&root, {p.raw("abcd", 4)});
    EXPECT_EQ(nyx_decode_name(m.get(), &n), VTR_INVALIDDATA);
}

TEST(Bodies, StatusNamesAndErrors) {
    for (auto [status, name, error] :
         {std::tuple{0, "Request", VTR_SUCCESS}, std::tuple{2, "Event", VTR_SUCCESS},
          std::tuple{0x0100, "Invalid API", VTR_INVALIDPARAMETER},
          std::tuple{0x0101, "Invalid Data", VTR_INVALIDDATA},
          std::tuple{0x0102, "Invalid State", VTR_INVALIDSTATE},
          std::tuple{0x0103, "System error", VTR_SYSTEM},
          std::tuple{0x0080, "Server error", VTR_SYSTEM}, std::tuple{3, "?", VTR_SYSTEM}}) {
        EXPECT_STREQ(nyx_status_name(uint16_t(status)), name);
        EXPECT_EQ(nyx_status_to_error(uint16_t(status)), error) << status;
    }
}

} // namespace
