#include "client_test_util.h"

#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes body_of(const sbcp2_message *m) {
    const uint8_t *body = sbcp2_message_body(m);
    return Bytes(body, body + sbcp2_message_body_length(m));
}

// A message holding `body` as a received datagram would.
std::unique_ptr<sbcp2_message> with_body(const Bytes &body) {
    auto m = new_message(NYX_OPCODE_SET_CONFIG);
    if (!body.empty())
        std::memcpy(sbcp2_message_body(m.get()), body.data(), body.size());
    sbcp2_message_add_size(sbcp2_message_head(m.get()), uint16_t(body.size()));
    return m;
}

// Slot `index` of the slot array at `offset`, read or rewritten.
uint16_t slot_of(sbcp2_message *m, uint16_t offset, uint16_t index, int set = -1) {
    sbcp2_u16_array a{};
    EXPECT_EQ(sbcp2_message_get_u16_array(m, offset, &a), VTR_SUCCESS);
    if (set >= 0)
        sbcp2_u16_array_set(&a, index, uint16_t(set));
    return sbcp2_u16_array_get(&a, index);
}

void set_count(sbcp2_message *m, uint16_t offset, uint16_t count) {
    uint8_t *p = sbcp2_message_body(m) + offset;
    p[0] = uint8_t(count >> 8);
    p[1] = uint8_t(count);
}

// The client's encoding byte for byte; the manager's decoder takes it back whole and refuses
// it damaged.
TEST(Bodies, SetConfigGoldenBytes) {
    nyx_system_config config = make_config();
    std::strcpy(config.latency, "1000 us");
    config.pullup = NYX_PULLUP_PLUS_0_1;
    auto m = new_message(NYX_OPCODE_SET_CONFIG);
    uint16_t offset = 0xffff;
    ASSERT_EQ(nyx_encode_system_config(m.get(), &config, &offset), VTR_SUCCESS);
    EXPECT_EQ(offset, 0);
    // Root slots at 0, the interface group at 18, its name at 24 with 32 bits per character,
    // the MAC at 68, pad and rate at 76, latency at 80, the ASIO group at 88, pad and buffer
    // size at 100, the ASIO latency at 104.
    const Bytes golden =
        from_hex("000800080012004c00180050000100580002000200180044"
                 "00000045000000740000006800000065000000720000006e000000650000007400000020"
                 "0000003200000000001dc100000200000000bb803130303020757300"
                 "00040000006400180068000000000080000007d0");
    ASSERT_EQ(golden.size(), 108u);
    EXPECT_EQ(body_of(m.get()), golden);
    EXPECT_EQ(sbcp2_message_get_version(sbcp2_message_head(m.get())), 0x1400);

    auto decoded = zeroed<nyx_system_config>();
    ASSERT_EQ(nyxsim_decode_system_config(with_body(golden).get(), 0, &decoded), VTR_SUCCESS);
    EXPECT_EQ(std::memcmp(&decoded, &config, sizeof config), 0);
    // A 3-slot ASIO group, the rate at an odd offset or past the body, a root past the body,
    // a body cut short or empty, a latency text without its end.
    auto with = [&](std::vector<std::pair<size_t, uint8_t>> changes, std::string more = "") {
        Bytes b = golden;
        for (auto [at, value] : changes)
            b[at] = value;
        b.insert(b.end(), more.begin(), more.end());
        return b;
    };
    for (const Bytes &bad :
         {with({{89, 3}}), with({{7, 0x4d}}), with({{7, 0xf0}}), Bytes{0x00, 0x09, 0x00, 0x01},
          Bytes(golden.begin(), golden.end() - 4), Bytes{}, with({{10, 0}, {11, 108}}, "ab")})
        EXPECT_NE(nyxsim_decode_system_config(with_body(bad).get(), 0, &decoded), VTR_SUCCESS);

    ASSERT_EQ(nyx_encode_connect(m.get(), 3), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_message_get_opcode(sbcp2_message_head(m.get())), NYX_OPCODE_CONNECT);
    EXPECT_EQ(body_of(m.get()), (Bytes{0x00, 0x01, 0x00, 0x03}));
    uint16_t value = 0;
    EXPECT_EQ(nyxsim_decode_connect(m.get(), &value), VTR_SUCCESS);
    EXPECT_EQ(value, 3);
    ASSERT_EQ(sbcp2_message_append_bytes(m.get(), 1400, nullptr, nullptr), VTR_SUCCESS);
    EXPECT_EQ(nyx_encode_system_config(m.get(), &config, nullptr), VTR_MSGSIZE);
}

TEST(Bodies, ServerVersion) {
    const nyx_server_version sent{0x0a0a, 4, 12, 3, 1500, "v-text", 0x0707};
    auto m = encoded(NYX_OPCODE_CONNECT, nyxsim_encode_server_version, sent);
    nyx_server_version v;
    ASSERT_EQ(nyx_decode_server_version(m.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(std::memcmp(&v, &sent, sizeof v), 0);
    slot_of(m.get(), 0, 1, 0x1203); // the low 8 bits are the major number
    set_count(m.get(), 0, 6);       // missing slots read as zero
    ASSERT_EQ(nyx_decode_server_version(m.get(), &v), VTR_SUCCESS);
    EXPECT_EQ(std::tuple(v.major, v.word7), std::tuple(3, 0));
    slot_of(m.get(), 0, 5, 3);
    EXPECT_EQ(nyx_decode_server_version(m.get(), &v), VTR_INVALIDPARAMETER) << "odd offset";
    EXPECT_EQ(nyx_decode_server_version(new_message(1).get(), &v), VTR_INVALIDPARAMETER);
}

TEST(Bodies, State) {
    nyx_system_state sent = make_state();
    auto m = encoded(NYX_OPCODE_STATE, nyxsim_encode_system_state, sent);
    nyx_system_state s;
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    EXPECT_EQ(std::memcmp(&s, &sent, sizeof s), 0);

    // A non-zero flag reads as 1; a root of two slots leaves all but the first two zero.
    slot_of(m.get(), slot_of(m.get(), 0, 0), 5, 7);
    set_count(m.get(), 0, 2);
    std::memset(&s, 0xee, sizeof s);
    ASSERT_EQ(nyx_decode_system_state(m.get(), &s), VTR_SUCCESS);
    auto two = zeroed<nyx_system_state>();
    std::memcpy(&two.config, &sent.config, sizeof two.config);
    two.config_lock_flags = sent.config_lock_flags;
    EXPECT_EQ(std::memcmp(&s, &two, sizeof s), 0);

    // Too few slots in a group, a group past the end, unaligned, odd or outside offsets.
    const uint16_t length = sbcp2_message_body_length(m.get());
    const struct {
        int group, slot, value; // group: -1 the root, else the root slot naming the group
        vtr_error error;
    } faults[] = {{8, -1, 0, VTR_NODATA},
                  {10, -1, 500, VTR_INVALIDDATA},
                  {-1, 3, 2, VTR_INVALIDPARAMETER},
                  {-1, 5, length + 2, VTR_INVALIDPARAMETER},
                  {-1, 5, 7, VTR_INVALIDPARAMETER}};
    for (const auto &f : faults) {
        m = encoded(NYX_OPCODE_STATE, nyxsim_encode_system_state, sent);
        if (f.group < 0)
            slot_of(m.get(), 0, uint16_t(f.slot), f.value);
        else
            set_count(m.get(), slot_of(m.get(), 0, uint16_t(f.group)), uint16_t(f.value));
        EXPECT_EQ(nyx_decode_system_state(m.get(), &s), f.error) << f.group << " " << f.slot;
    }
}

TEST(Bodies, OptionsAndName) {
    const nyx_system_options sent = make_options();
    auto m = encoded(NYX_OPCODE_OPTIONS, nyxsim_encode_system_options, sent);
    auto o = zeroed<nyx_system_options>();
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    EXPECT_TRUE(nyx_system_options_equal(&o, &sent));
    // A list longer than a record holds keeps its first sixteen; missing slots leave lists empty.
    set_count(m.get(), slot_of(m.get(), 0, 0), 20);
    set_count(m.get(), 0, 1);
    ASSERT_EQ(nyx_decode_system_options(m.get(), &o), VTR_SUCCESS);
    EXPECT_EQ(std::tuple(o.num_channel_counts, o.channel_counts[1], o.num_interfaces),
              std::tuple(16, 8, 0));
    // A short ASIO group, and an array that runs past the body.
    m = encoded(NYX_OPCODE_OPTIONS, nyxsim_encode_system_options, sent);
    const uint16_t asio_at = slot_of(m.get(), 0, 5);
    set_count(m.get(), asio_at, 3);
    EXPECT_EQ(nyx_decode_system_options(m.get(), &o), VTR_NODATA);
    set_count(m.get(), asio_at, 4);
    set_count(m.get(), slot_of(m.get(), asio_at, 3), 700);
    EXPECT_EQ(nyx_decode_system_options(m.get(), &o), VTR_INVALIDDATA);

    m = encoded(NYX_OPCODE_NAME, nyxsim_encode_name, nyx_name{"studio7"});
    nyx_name n;
    ASSERT_EQ(nyx_decode_name(m.get(), &n), VTR_SUCCESS);
    EXPECT_STREQ(n.name, "studio7");
    sbcp2_message_body(m.get())[sbcp2_message_body_length(m.get()) - 1] = 'x'; // no terminator
    EXPECT_EQ(nyx_decode_name(m.get(), &n), VTR_INVALIDDATA);
    uint16_t at = 0; // a longer text is cut
    ASSERT_EQ(sbcp2_message_append_string(m.get(), std::string(40, 'x').c_str(), &at), VTR_SUCCESS);
    slot_of(m.get(), 0, 0, at);
    ASSERT_EQ(nyx_decode_name(m.get(), &n), VTR_SUCCESS);
    EXPECT_EQ(std::string(n.name), std::string(31, 'x'));
    set_count(m.get(), 0, 0);
    ASSERT_EQ(nyx_decode_name(m.get(), &n), VTR_SUCCESS);
    EXPECT_EQ(n.name[0], 0);
}

} // namespace
