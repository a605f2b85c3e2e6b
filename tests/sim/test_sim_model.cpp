// The simulator's built-in state, its state files and the rules by which it takes a
// configuration.
#include "sim/sim_model.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

nyxsim_model defaults() {
    nyxsim_model m;
    nyxsim_model_defaults(&m);
    return m;
}

bool same(const nyxsim_model &a, const nyxsim_model &b) {
    return nyx_system_options_equal(&a.options, &b.options) &&
           nyx_system_state_equal(&a.state, &b.state) &&
           nyx_server_version_equal(&a.version, &b.version) && nyx_name_equal(&a.name, &b.name);
}

TEST(SimModel, DefaultsAreValidAndDumpLoadsBack) {
    nyxsim_model m = defaults();
    EXPECT_TRUE(nyx_system_config_is_valid(&m.state.config, &m.options));
    EXPECT_EQ(nyxsim_model_check_size(&m, nullptr), VTR_SUCCESS);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_STOPPED);

    std::string message;
    ASSERT_EQ(nyxsim_model_load_text(&m, "domain_enrolled = 1\ndomain_name = x\n", &message),
              VTR_SUCCESS);
    nyxsim_model loaded{};
    ASSERT_EQ(nyxsim_model_load_text(&loaded, nyxsim_model_dump(&m), &message), VTR_SUCCESS)
        << message;
    EXPECT_TRUE(same(loaded, m));
}

TEST(SimModel, StateFileErrorsNameTheLineAndChangeNothing) {
    const std::pair<std::string, const char *> bad[] = {
        {"channels = 8\nbogus = 1\n", "line 2: bogus: unknown key"},
        {"# comment\n\nchannels = -1\n", "line 3: channels"},
        {"channels = 65536\n", "line 1: channels"},
        {"channels 8\n", "line 1: not \"key = value\""},
        {"device_name = 0123456789012345678901234567890123\n", "longer than 31 bytes"},
        {"channel_counts = 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17\n", "more than 16"},
        {"interface = 00:00:00:00:00:01\n", "not among the interfaces"},
        {"interfaces = Ethernet 00:11:22:33:44:55\n", "NAME @ MAC"},
        {"interfaces = \xff\xfe @ 00:11:22:33:44:55\n", "not UTF-8"},
        {"ip_address = 10.0.0.256\n", "ip_address"},
        {"latencies = 1 ms @ x\n", "latencies"}};
    for (const auto &[text, reason] : bad) {
        nyxsim_model m = defaults();
        std::string message;
        EXPECT_NE(nyxsim_model_load_text(&m, text, &message), VTR_SUCCESS) << text;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
        EXPECT_TRUE(same(m, defaults())) << text;
    }

    // Sixteen long interface names do not fit into one options datagram.
    std::string many;
    for (int i = 0; i < 16; ++i) {
        many += std::string(i ? ", " : "") + std::string(60, 'n') +
                " @ 00:00:00:00:00:" + "0123456789abcdef"[i] + "0";
    }
    nyxsim_model m = defaults();
    std::string message;
    EXPECT_EQ(nyxsim_model_load_text(&m, "interfaces = " + many, &message), VTR_MSGSIZE);
    EXPECT_EQ(nyxsim_model_set(&m, "interfaces", many, &message), VTR_MSGSIZE);
    EXPECT_TRUE(same(m, defaults()));
}

TEST(SimModel, InterfaceFollowsTheInterfaceList) {
    nyxsim_model m = defaults();
    std::string message;
    // `interface` may come before the list it picks from; the name comes from the list.
    ASSERT_EQ(nyxsim_model_load_text(&m,
                                     "interface = 0a:0b:0c:0d:0e:0f\r\n"
                                     "interfaces = LAN @ 01:02:03:04:05:06, "
                                     "Funk-Ger\xc3\xa4t @ 0a:0b:0c:0d:0e:0f\r\n",
                                     &message),
              VTR_SUCCESS)
        << message;
    EXPECT_EQ(m.state.config.interface.mac[5], 0x0f);
    EXPECT_EQ(nyxsim_utf16_to_utf8(m.state.config.interface.name, 64), "Funk-Ger\xc3\xa4t");
    EXPECT_EQ(m.state.config.interface.name[8], u'\u00e4');

    // A list without the selected interface selects its first entry.
    ASSERT_EQ(nyxsim_model_set(&m, "interfaces", "Only @ 11:22:33:44:55:66", &message),
              VTR_SUCCESS);
    EXPECT_EQ(nyxsim_utf16_to_utf8(m.state.config.interface.name, 64), "Only");
}

TEST(SimModel, Utf16ConversionHandlesSurrogatesAndLimits) {
    char16_t buf[4];
    EXPECT_TRUE(nyxsim_utf8_to_utf16("a\xf0\x9f\x8e\xb5", buf, 4));
    EXPECT_EQ(buf[1], 0xd83c);
    EXPECT_EQ(buf[2], 0xdfb5);
    EXPECT_EQ(nyxsim_utf16_to_utf8(buf, 4), "a\xf0\x9f\x8e\xb5");
    // No room for the terminator, a cut sequence, an overlong form, a surrogate.
    for (const char *bad : {"abcd", "\xc3", "\xc0\xaf", "\xed\xa0\x80"}) {
        EXPECT_FALSE(nyxsim_utf8_to_utf16(bad, buf, 4)) << bad;
    }
}

TEST(SimModel, SetConfigRules) {
    nyxsim_model m = defaults();
    nyx_system_config c = m.state.config;
    EXPECT_EQ(nyxsim_model_check_config(&m, &c), 1);
    c.channels = 3;
    EXPECT_EQ(nyxsim_model_check_config(&m, &c), 0x0101);
    EXPECT_EQ(nyxsim_model_check_config(&m, nullptr), 0x0101);

    // Starting makes it report running; the name of the interface is the manager's.
    c = m.state.config;
    c.want_to_run = 1;
    c.interface.name[0] = u'X';
    ASSERT_EQ(nyxsim_model_check_config(&m, &c), 1);
    nyxsim_model_apply_config(&m, &c);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_RUNNING);
    EXPECT_EQ(m.state.config.interface.name[0], u'E');

    // Running: what the program refuses is refused; ASIO changes and stopping are not.
    auto check = [](const nyxsim_model &model, auto change) {
        nyx_system_config next = model.state.config;
        change(next);
        return nyxsim_model_check_config(&model, &next);
    };
    EXPECT_EQ(check(m, [](auto &n) { n.channels = 16; }), 0x0102);
    EXPECT_EQ(check(m, [&](auto &n) { n.interface = m.options.interfaces[1]; }), 0x0102);
    EXPECT_EQ(check(m, [](auto &n) { n.asio.audio_interface = 1; }), 0x0102);
    EXPECT_EQ(check(m, [](auto &n) { strcpy(n.latency, "2 ms"); }), 0x0102);
    EXPECT_EQ(check(m, [](auto &n) { n.asio.asio_buffer_size = 512; }), 1);
    c = m.state.config;
    c.want_to_run = 0;
    c.channels = 16;
    EXPECT_EQ(nyxsim_model_check_config(&m, &c), 1);
    nyxsim_model_apply_config(&m, &c);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_STOPPED);

    // A locked device: starting and ASIO changes are refused, the rest goes through. An
    // unreachable domain server does not lock.
    for (const char *lock : {"device_lock_status = 1\n",
                             "domain_enrolled = 1\ndomain_connected = 1\n"
                             "domain_config_allowed = 0\n",
                             "domain_enrolled = 1\ndomain_connected = 0\n"
                             "domain_config_allowed = 0\n"}) {
        nyxsim_model locked = m;
        std::string message;
        ASSERT_EQ(nyxsim_model_load_text(&locked, lock, &message), VTR_SUCCESS);
        const uint16_t refused = strstr(lock, "domain_connected = 0") ? 1 : 0x0102;
        EXPECT_EQ(check(locked, [](auto &n) { n.want_to_run = 1; }), refused) << lock;
        EXPECT_EQ(check(locked, [](auto &n) { n.asio.asio_encoding = 32; }), refused) << lock;
        EXPECT_EQ(check(locked, [](auto &n) { n.channels = 32; }), 1) << lock;
    }

    nyxsim_model_clear_domain(&m);
    EXPECT_EQ(m.state.domain.enrolled, 0u);
    m.state.system_error = 0x0301;
    nyxsim_model_clear_error(&m);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_STOPPED);
}

} // namespace
