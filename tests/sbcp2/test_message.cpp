// Message framing: the head, appends with their padding and limit, the readers and validation.
#include "sbcp2/sbcp2_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Msg {
    sbcp2_message m{};
    explicit Msg(uint16_t opcode = 0x0110) {
        sbcp2_message_init_record(&m);
        sbcp2_message_init_head(&m, 0x1400, opcode);
    }
    uint16_t len() const { return sbcp2_message_body_length(&m); }
    uint8_t *body() { return sbcp2_message_body(&m); }
    void set_body(const Bytes &bytes) {
        sbcp2_message_init_head(&m, 0x1400, 0x0102);
        memcpy(body(), bytes.data(), bytes.size());
        sbcp2_message_add_size(m.buffer, static_cast<uint16_t>(bytes.size()));
    }
};

TEST(Sbcp2Message, HeadAndIdentity) {
    Msg k(SBCP2_OPCODE_KEEPALIVE);
    sbcp2_id id{{0}, 49153};
    sbcp2_message_set_id(k.m.buffer, &id);
    sbcp2_message_set_seqnum(k.m.buffer, 5);
    const Bytes keepalive = {0x14, 0x00, 0x00, 0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,
                             0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(k.m.buffer, k.m.buffer + 20), keepalive);

    // init_head keeps the identity and drops body and seqnum.
    sbcp2_id other{{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, 7};
    sbcp2_message_set_id(k.m.buffer, &other);
    ASSERT_EQ(sbcp2_message_append_bytes(&k.m, 6, nullptr, nullptr), 0u);
    sbcp2_message_init_head(&k.m, 0x1400, 0x0113);
    EXPECT_EQ(k.len() | sbcp2_message_get_status(k.m.buffer) | sbcp2_message_get_seqnum(k.m.buffer),
              0);
    EXPECT_EQ(memcmp(k.m.buffer + 12, other.id, 8), 0);
}

TEST(Sbcp2Message, AppendsPadAlignAndStopAtTheLimit) {
    Msg a;
    uint16_t off = 99;
    const uint16_t slots[2] = {0x0102, 0xA0B0};
    ASSERT_EQ(sbcp2_message_append_u16_array(&a.m, 2, slots, &off), 0u);
    ASSERT_EQ(sbcp2_message_append_u32(&a.m, 0x11223344, &off), 0u); // two pad bytes first
    EXPECT_EQ(off, 8);
    ASSERT_EQ(sbcp2_message_append_string(&a.m, "abc", &off), 0u);
    ASSERT_EQ(sbcp2_message_append_string(&a.m, "ab", &off), 0u);
    ASSERT_EQ(sbcp2_message_append_bytes(&a.m, 2, nullptr, &off), 0u);
    ASSERT_EQ(sbcp2_message_append_wstring(&a.m, u"H\u00e9", &off), 0u);
    EXPECT_EQ(off, 24);
    const Bytes expected = {0,   2,   1,   2,   0xA0, 0xB0, 0, 0,    0x11, 0x22, 0x33, 0x44,
                            'a', 'b', 'c', 0,   'a',  'b',  0, 0,    0,    0,    0,    0,
                            0,   0,   0,   'H', 0,    0,    0, 0xe9, 0,    0,    0,    0};
    EXPECT_EQ(Bytes(a.body(), a.body() + a.len()), expected);

    // Nothing is appended past the body limit, a pad included.
    Msg c;
    ASSERT_EQ(sbcp2_message_append_bytes(&c.m, 1450, nullptr, nullptr), 0u);
    EXPECT_EQ(sbcp2_message_append_u32(&c.m, 7, &off), VTR_MSGSIZE);
    EXPECT_EQ(c.len(), 1450);
}

TEST(Sbcp2Message, ReadersStayInsideTheBody) {
    Msg a;
    // A 16-bit array of 3 at 0; a 32-bit array of 2 at 8 (values after a pad); a count of
    // 0xFFFF at 16.
    a.set_body({0, 3, 0, 1, 0, 2, 0, 3, 0, 2, 0, 0, 0, 0, 0, 10, 0xFF, 0xFF, 0xFF, 0xFF});
    uint16_t count = 2;
    uint16_t values[4] = {9, 9, 9, 9};
    ASSERT_EQ(sbcp2_message_read_u16_array(&a.m, 0, &count, values), VTR_SUCCESS);
    EXPECT_EQ(count, 3); // more than were copied
    EXPECT_EQ(values[1] * 10 + values[2], 29);
    // An odd offset or a count outside the body is a bad parameter; a count reaching past the
    // body is bad data, and the caller's count is then left alone.
    EXPECT_EQ(sbcp2_message_check_array(&a.m, 1, 0, 2), VTR_INVALIDPARAMETER);
    EXPECT_EQ(sbcp2_message_check_array(&a.m, 8, 0, 0xFFFFFFFF), VTR_INVALIDDATA);
    EXPECT_EQ(sbcp2_message_read_u16_array(&a.m, 16, &count, values), VTR_INVALIDDATA);
    EXPECT_EQ(count, 3);

    Msg t;
    uint16_t s40;
    ASSERT_EQ(sbcp2_message_append_string(&t.m, std::string(40, 'q').c_str(), &s40), 0u);
    char buf[32];
    size_t size = sizeof(buf), eight = 8;
    ASSERT_EQ(sbcp2_message_read_string(&t.m, s40, buf, &size), VTR_SUCCESS);
    EXPECT_EQ(size, 40u); // cut to the buffer, the full length told
    EXPECT_EQ(std::string(buf), std::string(31, 'q'));
    char16_t text[8];
    // Texts whose terminator is not inside the body.
    t.set_body({'a', 'b', 'c', 'd'});
    EXPECT_EQ(sbcp2_message_read_string(&t.m, 0, buf, &eight), VTR_INVALIDDATA);
    EXPECT_EQ(sbcp2_message_get_string(&t.m, 0), nullptr);
    t.set_body({0, 0, 0, 'a', 0, 0, 0, 'b', 0, 0});
    EXPECT_EQ(sbcp2_message_read_wstring(&t.m, 0, text, &eight), VTR_INVALIDDATA);
}

TEST(Sbcp2Message, ValidationOfTheReceivedSize) {
    Msg a(SBCP2_OPCODE_CONNECT);
    EXPECT_EQ(sbcp2_message_validate(nullptr, &a.m, 20), VTR_SUCCESS);     // an empty body
    EXPECT_EQ(sbcp2_message_validate(nullptr, &a.m, 19), VTR_INVALIDDATA); // truncated head
    EXPECT_EQ(sbcp2_message_validate(nullptr, &a.m, 24), VTR_INVALIDDATA); // size unlike received
}

} // namespace
