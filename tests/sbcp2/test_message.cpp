#include "sbcp2/sbcp2_message.h"
#include "tests/sbcp2/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Verdicts = std::vector<std::pair<vtr_error, vtr_error>>; // got, wanted

struct Msg {
    sbcp2_message m;
    explicit Msg(uint16_t opcode = 0x0110) {
        memset(&m, 0, sizeof(m));
        sbcp2_message_init_record(&m);
        sbcp2_message_init_head(&m, 0x1400, opcode);
    }
    uint16_t len() const { return sbcp2_message_body_length(&m); }
    uint8_t *body() { return sbcp2_message_body(&m); }
    void fill(uint16_t n) { ASSERT_EQ(sbcp2_message_append_bytes(&m, n, nullptr, nullptr), 0u); }
    void set_body(const Bytes &bytes) {
        sbcp2_message_init_head(&m, 0x1400, 0x0102);
        memcpy(body(), bytes.data(), bytes.size());
        sbcp2_message_add_size(m.buffer, static_cast<uint16_t>(bytes.size()));
    }
};

void expect_verdicts(const Verdicts &verdicts) {
    for (size_t i = 0; i < verdicts.size(); i++)
        EXPECT_EQ(verdicts[i].first, verdicts[i].second) << "case " << i;
}

TEST(Sbcp2Message, HeaderIdentityAndNames) {
    Msg k(SBCP2_OPCODE_KEEPALIVE);
    sbcp2_id id{{0}, 49153};
    sbcp2_message_set_id(k.m.buffer, &id);
    sbcp2_message_set_seqnum(k.m.buffer, 5);
    const Bytes keepalive = {0x14, 0x00, 0x00, 0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,
                             0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(k.m.buffer, k.m.buffer + 20), keepalive);

    // init_head keeps the identity and drops body, seqnum and status.
    sbcp2_id other{{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, 7};
    sbcp2_message_set_id(k.m.buffer, &other);
    k.fill(6);
    sbcp2_message_set_status(k.m.buffer, SBCP2_STATUS_EVENT);
    sbcp2_message_init_head(&k.m, 0x1400, 0x0113);
    EXPECT_EQ(k.len() | sbcp2_message_get_status(k.m.buffer) | sbcp2_message_get_seqnum(k.m.buffer),
              0);
    char text[SBCP2_ID_TEXT_SIZE];
    sbcp2_message_get_id(k.m.buffer, &id);
    EXPECT_STREQ(sbcp2_id_to_string(&id, text), "0123456789abcdef:7");
    EXPECT_STREQ(sbcp2_status_name(49), "Unrecognised opcode");
    EXPECT_STREQ(sbcp2_status_name(130), "Too many clients");
    EXPECT_STREQ(sbcp2_status_name(3), "?");
}

TEST(Sbcp2Message, AppendsPadAndAlign) {
    Msg a;
    uint16_t off = 99;
    auto placed = [&](vtr_error err, uint16_t offset, uint16_t length) {
        EXPECT_EQ(err, VTR_SUCCESS);
        EXPECT_EQ(off, offset);
        EXPECT_EQ(a.len(), length);
    };
    const uint16_t slots[2] = {0x0102, 0xA0B0};
    placed(sbcp2_message_append_u16_array(&a.m, 2, slots, &off), 0, 6);
    placed(sbcp2_message_append_u32(&a.m, 0x11223344, &off), 8, 12); // two pad bytes first
    placed(sbcp2_message_append_u32(&a.m, 5, &off), 12, 16);
    placed(sbcp2_message_append_bytes(&a.m, 3, "xyz", &off), 16, 20);
    placed(sbcp2_message_append_string(&a.m, "abc", &off), 20, 24);
    placed(sbcp2_message_append_string(&a.m, "ab", &off), 24, 28);
    placed(sbcp2_message_append_bytes(&a.m, 2, nullptr, &off), 28, 30);
    placed(sbcp2_message_append_wstring(&a.m, u"H\u00e9", &off), 32, 44);
    const Bytes expected = {0, 2,   1,   2,   0xA0, 0xB0, 0,   0,   0x11, 0x22, 0x33, 0x44, 0, 0, 0,
                            5, 'x', 'y', 'z', 0,    'a',  'b', 'c', 0,    'a',  'b',  0,    0, 0, 0,
                            0, 0,   0,   0,   0,    'H',  0,   0,   0,    0xe9, 0,    0,    0, 0};
    EXPECT_EQ(Bytes(a.body(), a.body() + 44), expected);

    sbcp2_u16_array view{};
    ASSERT_EQ(sbcp2_message_reserve_u16_array(&a.m, 3, &view), VTR_SUCCESS);
    EXPECT_EQ(view.offset, 44);
    sbcp2_u16_array_set(&view, 1, 0xBEEF);
    sbcp2_u16_array_set(&view, 3, 0x1111); // past the count: ignored
    EXPECT_EQ(Bytes(a.body() + 44, a.body() + 52), (Bytes{0, 3, 0, 0, 0xBE, 0xEF, 0, 0}));
    EXPECT_EQ(sbcp2_message_get_size(a.m.buffer), 20 + 52);
    EXPECT_EQ(sbcp2_message_append_string(&a.m, nullptr, &off), VTR_INVALIDPARAMETER);
    EXPECT_EQ(a.len(), 52);
}

TEST(Sbcp2Message, BodyLimitLeavesMessageUnchanged) {
    Msg a, c, d;
    a.fill(1448);
    uint16_t off;
    EXPECT_EQ(sbcp2_message_append_bytes(&a.m, 5, "abcde", &off), VTR_MSGSIZE); // 6 > 4 left
    EXPECT_EQ(sbcp2_message_append_string(&a.m, "abcd", &off), VTR_MSGSIZE);
    EXPECT_EQ(sbcp2_message_append_wstring(&a.m, u"", &off), VTR_SUCCESS); // exactly 4
    sbcp2_message before;
    memcpy(&before, &a.m, sizeof(before));
    EXPECT_EQ(sbcp2_message_append_u16_array(&a.m, 0, nullptr, &off), VTR_MSGSIZE);
    EXPECT_EQ(sbcp2_message_append_bytes(&a.m, 1, "x", &off), VTR_MSGSIZE);
    EXPECT_EQ(memcmp(before.buffer, a.m.buffer, sizeof(before.buffer)), 0);
    c.fill(1450); // the pad of a 32-bit item counts against the limit
    EXPECT_EQ(sbcp2_message_append_u32(&c.m, 7, &off), VTR_MSGSIZE);
    EXPECT_EQ(c.len(), 1450);
    sbcp2_u16_array view{}; // huge counts never wrap around the limit
    EXPECT_EQ(sbcp2_message_reserve_u16_array(&d.m, 0xFFFF, &view), VTR_MSGSIZE);
    EXPECT_EQ(sbcp2_message_append_string(&d.m, std::string(1451, 'a').c_str(), &off), 0u);
    EXPECT_EQ(d.len(), 1452);
}

TEST(Sbcp2Message, ArrayReaders) {
    Msg a;
    // A 16-bit array of 3 at 0; 32-bit arrays with the count at 8 (values after a pad, at 12)
    // and at 26 (values at 28); a count of 0xFFFF at 16.
    a.set_body({0, 3, 0, 1,  0,    2,    0,    3,    0,    2,    0,    0,
                0, 0, 0, 10, 0xFF, 0xFF, 0xFF, 0xFF, //
                0, 0, 0, 0,  0,    0,    0,    1,    0x12, 0x34, 0x56, 0x78});
    uint16_t count = 2;
    uint16_t values[4] = {9, 9, 9, 9};
    ASSERT_EQ(sbcp2_message_read_u16_array(&a.m, 0, &count, values), VTR_SUCCESS);
    EXPECT_EQ(count, 3); // more than were copied
    EXPECT_EQ(values[1] * 10 + values[2], 29);
    sbcp2_u16_array view{};
    ASSERT_EQ(sbcp2_message_get_u16_array(&a.m, 0, &view), VTR_SUCCESS);
    EXPECT_EQ(sbcp2_u16_array_get(&view, 2), 3);
    uint32_t wide[4] = {};
    count = 4;
    ASSERT_EQ(sbcp2_message_read_u32_array(&a.m, 8, &count, wide), VTR_SUCCESS);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(wide[1], 0xFFFFFFFFu);
    ASSERT_EQ(sbcp2_message_read_u32_array(&a.m, 26, &count, wide), VTR_SUCCESS);
    EXPECT_EQ(wide[0], 0x12345678u);

    // An odd offset or a count field outside the body is a bad parameter; a count reaching
    // past the body is bad data, and the caller's count is then left alone.
    count = 4;
    expect_verdicts({
        {sbcp2_message_check_array(&a.m, 1, 0, 2), VTR_INVALIDPARAMETER},
        {sbcp2_message_check_array(&a.m, 32, 0, 2), VTR_INVALIDPARAMETER},
        {sbcp2_message_check_array(&a.m, 0xFFFFFFFE, 0, 2), VTR_INVALIDPARAMETER},
        {sbcp2_message_check_array(nullptr, 0, 0, 2), VTR_INVALIDPARAMETER},
        {sbcp2_message_check_array(&a.m, 16, 0, 2), VTR_INVALIDDATA},
        {sbcp2_message_check_array(&a.m, 8, 0, 0xFFFFFFFF), VTR_INVALIDDATA},
        {sbcp2_message_read_u16_array(&a.m, 0, nullptr, values), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_u32_array(&a.m, 8, nullptr, wide), VTR_INVALIDPARAMETER},
        {sbcp2_message_get_u16_array(&a.m, 0, nullptr), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_u16_array(&a.m, 16, &count, values), VTR_INVALIDDATA},
    });
    EXPECT_EQ(count, 4);
    Bytes padded(34, 0); // one value counted at 28 lies at 32..35
    padded[29] = 1;
    a.set_body(padded);
    EXPECT_EQ(sbcp2_message_read_u32_array(&a.m, 28, &count, wide), VTR_INVALIDDATA);
}

TEST(Sbcp2Message, ValueAndTextReaders) {
    Msg a;
    uint16_t s40, s3, w, v, raw;
    ASSERT_EQ(sbcp2_message_append_string(&a.m, std::string(40, 'q').c_str(), &s40), 0u);
    ASSERT_EQ(sbcp2_message_append_string(&a.m, "abc", &s3), VTR_SUCCESS);
    ASSERT_EQ(sbcp2_message_append_wstring(&a.m, u"Net\u20ac", &w), VTR_SUCCESS);
    ASSERT_EQ(sbcp2_message_append_u32(&a.m, 0xCAFEF00D, &v), VTR_SUCCESS);
    ASSERT_EQ(sbcp2_message_append_bytes(&a.m, 6, "\x01\x02\x03\x04\x05\x06", &raw), 0u);
    const uint32_t len = a.len();

    char buf[32];
    size_t size = sizeof(buf), cap = 3, none = 0, eight = 8;
    ASSERT_EQ(sbcp2_message_read_string(&a.m, s40, buf, &size), VTR_SUCCESS);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(std::string(buf), std::string(31, 'q'));
    EXPECT_STREQ(sbcp2_message_get_string(&a.m, s3), "abc");
    char16_t text[8];
    ASSERT_EQ(sbcp2_message_read_wstring(&a.m, w, text, &cap), VTR_SUCCESS);
    EXPECT_EQ(cap, 2u);
    EXPECT_EQ(std::u16string(text), u"Ne");
    uint32_t value = 0;
    ASSERT_EQ(sbcp2_message_read_u32(&a.m, v, &value), VTR_SUCCESS);
    EXPECT_EQ(value, 0xCAFEF00Du);
    uint8_t bytes[6] = {};
    ASSERT_EQ(sbcp2_message_read_bytes(&a.m, raw, 6, bytes), VTR_SUCCESS);
    EXPECT_EQ(bytes[5], 6);

    EXPECT_EQ(sbcp2_message_get_string(&a.m, s3 + 1), nullptr);
    EXPECT_EQ(sbcp2_message_get_string(&a.m, len), nullptr);
    expect_verdicts({
        {sbcp2_message_read_string(&a.m, s3, buf, &none), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_string(&a.m, s3 + 1, buf, &eight), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_string(&a.m, len, buf, &eight), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_wstring(&a.m, w + 1, text, &eight), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_wstring(&a.m, len, text, &eight), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_u32(&a.m, v + 2, &value), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_u32(&a.m, (len + 3) & ~3u, &value), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_bytes(&a.m, raw, 0, bytes), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_bytes(&a.m, raw + 1, 2, bytes), VTR_INVALIDPARAMETER},
        {sbcp2_message_read_bytes(&a.m, raw, 7, bytes), VTR_INVALIDPARAMETER},
    });
    // Texts whose terminator is not inside the body.
    a.set_body({'a', 'b', 'c', 'd'});
    EXPECT_EQ(sbcp2_message_read_string(&a.m, 0, buf, &eight), VTR_INVALIDDATA);
    EXPECT_EQ(sbcp2_message_get_string(&a.m, 0), nullptr);
    a.set_body({0, 0, 0, 'a', 0, 0, 0, 'b', 0, 0});
    EXPECT_EQ(sbcp2_message_read_wstring(&a.m, 0, text, &eight), VTR_INVALIDDATA);
}

TEST(Sbcp2Message, ValidationLogsAndVerdicts) {
    LogCapture log;
    Msg a(SBCP2_OPCODE_CONNECT);
    sbcp2_id id{{0, 0, 0, 0, 0, 0, 0, 0xab}, 8899};
    sbcp2_message_set_id(a.m.buffer, &id);
    sbcp2_message_set_seqnum(a.m.buffer, 0x1234);
    sbcp2_message_set_status(a.m.buffer, 130);
    expect_verdicts({
        {sbcp2_message_validate(log.logger, &a.m, 20), VTR_SUCCESS}, // an empty body
        {sbcp2_message_validate(log.logger, &a.m, 19), VTR_INVALIDDATA},
        {sbcp2_message_validate(log.logger, &a.m, 24), VTR_INVALIDDATA},
    });
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "sbcp2_client2_process: validated message: v=0x1400, s=0x0014 "
                             "s=0x1234 o=0x0001 s=0x0082\n",
                             "sbcp2_client2_process: validated message: id=00000000000000ab:8899\n",
                             "sbcp2_client2_process: message too small for head (19 < 20)\n",
                             "sbcp2_client2_process: invalid size in message (msg=20, recved=24)\n",
                         }));
}

} // namespace
