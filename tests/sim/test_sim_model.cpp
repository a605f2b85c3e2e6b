// The simulator's built-in state, its state files and the rules by which it takes a
// configuration.
#include "sim/sim_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

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

TEST(SimModel, DefaultsAreAWorkingStoppedManager) {
    nyxsim_model m = defaults();
    EXPECT_TRUE(nyx_system_config_is_valid(&m.state.config, &m.options));
    EXPECT_EQ(nyxsim_model_check_size(&m, nullptr), VTR_SUCCESS);
    EXPECT_EQ(m.state.config.want_to_run, 0u);
    EXPECT_EQ(m.state.system_error, 0x0011);
    EXPECT_EQ(m.state.link_up, 1u);
    EXPECT_EQ(m.state.domain.enrolled, 0u);
    EXPECT_EQ(m.options.num_latencies, 5);
    EXPECT_STREQ(m.options.latencies[0].name, "1 ms");
    EXPECT_EQ(m.options.latencies[0].us, 1000u);
    bool non_ascii = false;
    for (uint16_t i = 0; i < m.options.num_interfaces; ++i)
        for (char16_t ch : m.options.interfaces[i].name)
            non_ascii |= ch >= 128;
    EXPECT_TRUE(non_ascii);
    EXPECT_EQ(nyxsim_describe_version(&m.version), "4.2.1.37 \"4.2.1\"");
}

TEST(SimModel, DumpedStateLoadsBackToTheSameModel) {
    nyxsim_model original = defaults();
    std::string message;
    ASSERT_EQ(nyxsim_model_load_text(&original, "domain_enrolled = 1\ndomain_name = x\n", &message),
              VTR_SUCCESS);
    nyxsim_model loaded{};
    ASSERT_EQ(nyxsim_model_load_text(&loaded, nyxsim_model_dump(&original), &message), VTR_SUCCESS)
        << message;
    EXPECT_TRUE(same(loaded, original));
}

TEST(SimModel, ExampleFileDescribesALockedDeviceWithoutAsioChoices) {
    std::ifstream in(NYXSIM_SOURCE_DIR "/example-state.conf", std::ios::binary);
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    nyxsim_model m = defaults();
    std::string message;
    ASSERT_EQ(nyxsim_model_load_text(&m, text.str(), &message), VTR_SUCCESS) << message;
    EXPECT_EQ(m.state.domain.enrolled, 1u);
    EXPECT_EQ(m.state.domain.connected, 1u);
    EXPECT_EQ(m.state.domain.config_allowed, 0u);
    EXPECT_STREQ(m.state.domain.domain_name, "venue-north");
    EXPECT_EQ(m.state.device_lock_status, 2u);
    EXPECT_EQ(m.state.link_up, 0u);
    EXPECT_EQ(m.state.system_error, 0x0301);
    EXPECT_EQ(m.state.config.want_to_run, 1u);
    EXPECT_EQ(m.options.asio.num_asio_buffer_sizes, 0);
    EXPECT_EQ(m.options.num_interfaces, 2);
    EXPECT_EQ(nyxsim_model_check_config(&m, &m.state.config), 0x0101);

    // The file names every key there is.
    std::string dump = nyxsim_model_dump(&m), all = text.str();
    for (size_t at = 0; at < dump.size();) {
        size_t eq = dump.find(" = ", at);
        std::string key = dump.substr(at, eq - at);
        EXPECT_NE(all.find("\n" + key + " ="), std::string::npos) << key;
        at = dump.find('\n', at) + 1;
    }
}

TEST(SimModel, StateFileErrorsNameTheLineAndChangeNothing) {
    const std::pair<const char *, const char *> bad[] = {
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
        {"ip_address = 10.0.0\n", "ip_address"},
        {"link_up = maybe\n", "link_up"},
        {"audio_interface = MIDI\n", "audio_interface"},
        {"version = 4.2.1\n", "version"},
        {"latencies = 1 ms @ x\n", "latencies"},
        {"slot7_value = 70000\n", "slot7_value"},
    };
    for (const auto &b : bad) {
        nyxsim_model m = defaults();
        std::string message;
        EXPECT_NE(nyxsim_model_load_text(&m, b.first, &message), VTR_SUCCESS) << b.first;
        EXPECT_NE(message.find(b.second), std::string::npos) << message;
        EXPECT_TRUE(same(m, defaults())) << b.first;
    }

    // Sixteen long interface names do not fit into one options datagram.
    std::string many = "interfaces = ";
    for (int i = 0; i < 16; ++i)
        many += std::string(i ? ", " : "") + std::string(60, 'n') +
                " @ 00:00:00:00:00:" + "0123456789abcdef"[i] + "0";
    nyxsim_model m = defaults();
    std::string message;
    EXPECT_EQ(nyxsim_model_load_text(&m, many, &message), VTR_MSGSIZE);
    EXPECT_TRUE(same(m, defaults()));
    EXPECT_EQ(nyxsim_model_set(&m, "interfaces", many.substr(13), &message), VTR_MSGSIZE);
    EXPECT_EQ(nyxsim_model_set(&m, "nothing", "1", &message), VTR_NOTFOUND);
}

TEST(SimModel, InterfaceFollowsTheInterfaceList) {
    nyxsim_model m = defaults();
    std::string message;
    // `interface` may come before the list it picks from; the name comes from the list.
    ASSERT_EQ(nyxsim_model_load_text(&m,
                                     "interface = 0a:0b:0c:0d:0e:0f\r\n"
                                     "interfaces = LAN @ 01:02:03:04:05:06, "
                                     "Funk-Gerät @ 0a:0b:0c:0d:0e:0f\r\n",
                                     &message),
              VTR_SUCCESS)
        << message;
    EXPECT_EQ(m.state.config.interface.mac[5], 0x0f);
    EXPECT_EQ(nyxsim_utf16_to_utf8(m.state.config.interface.name, 64), "Funk-Gerät");
    EXPECT_EQ(m.state.config.interface.name[8], u'\u00e4');

    // A list without the selected interface selects its first entry.
    ASSERT_EQ(nyxsim_model_set(&m, "interfaces", "Only @ 11:22:33:44:55:66", &message),
              VTR_SUCCESS);
    EXPECT_EQ(nyxsim_utf16_to_utf8(m.state.config.interface.name, 64), "Only");
    ASSERT_EQ(nyxsim_model_set(&m, "interfaces", "", &message), VTR_SUCCESS);
    EXPECT_EQ(m.state.config.interface.mac[0], 0);
}

TEST(SimModel, Utf16ConversionHandlesSurrogatesAndLimits) {
    char16_t buf[4];
    EXPECT_TRUE(nyxsim_utf8_to_utf16("a\xf0\x9f\x8e\xb5", buf, 4));
    EXPECT_EQ(buf[1], 0xd83c);
    EXPECT_EQ(buf[2], 0xdfb5);
    EXPECT_EQ(nyxsim_utf16_to_utf8(buf, 4), "a\xf0\x9f\x8e\xb5");
    EXPECT_FALSE(nyxsim_utf8_to_utf16("abcd", buf, 4));         // no room for the terminator
    EXPECT_FALSE(nyxsim_utf8_to_utf16("\xc3", buf, 4));         // cut sequence
    EXPECT_FALSE(nyxsim_utf8_to_utf16("\xc0\xaf", buf, 4));     // overlong
    EXPECT_FALSE(nyxsim_utf8_to_utf16("\xed\xa0\x80", buf, 4)); // surrogate
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
    EXPECT_EQ(m.state.system_error, 0x0001);
    EXPECT_EQ(m.state.config.interface.name[0], u'E');

    // Running: what the program refuses is refused; ASIO changes and stopping are not.
    nyx_system_config next = m.state.config;
    next.channels = 16;
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 0x0102);
    next = m.state.config;
    next.interface = m.options.interfaces[1];
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 0x0102);
    next = m.state.config;
    next.asio.audio_interface = 1;
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 0x0102);
    next = m.state.config;
    strcpy(next.latency, "2 ms");
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 0x0102);
    next = m.state.config;
    next.asio.asio_buffer_size = 512;
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 1);
    next.want_to_run = 0;
    next.channels = 16;
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 1);
    nyxsim_model_apply_config(&m, &next);
    EXPECT_EQ(m.state.system_error, 0x0011);

    // A locked device: starting and ASIO changes are refused, the rest goes through.
    for (const char *lock :
         {"device_lock_status = 1\n", "domain_enrolled = 1\ndomain_connected = 1\n"
                                      "domain_config_allowed = 0\n"}) {
        nyxsim_model locked = m;
        std::string message;
        ASSERT_EQ(nyxsim_model_load_text(&locked, lock, &message), VTR_SUCCESS);
        next = locked.state.config;
        next.want_to_run = 1;
        EXPECT_EQ(nyxsim_model_check_config(&locked, &next), 0x0102) << lock;
        next = locked.state.config;
        next.asio.asio_encoding = 32;
        EXPECT_EQ(nyxsim_model_check_config(&locked, &next), 0x0102) << lock;
        next = locked.state.config;
        next.channels = 32;
        EXPECT_EQ(nyxsim_model_check_config(&locked, &next), 1) << lock;
    }
    // An unreachable domain server does not lock.
    std::string message;
    ASSERT_EQ(
        nyxsim_model_load_text(&m, "domain_enrolled = 1\ndomain_config_allowed = 0\n", &message),
        VTR_SUCCESS);
    next = m.state.config;
    next.want_to_run = 1;
    EXPECT_EQ(nyxsim_model_check_config(&m, &next), 1);

    nyxsim_model_clear_domain(&m);
    EXPECT_EQ(m.state.domain.enrolled, 0u);
    EXPECT_EQ(m.state.domain.domain_name[0], 0);
    m.state.system_error = 0x0301;
    nyxsim_model_clear_error(&m);
    EXPECT_EQ(m.state.system_error, 0x0011);
}

TEST(SimModel, TraceLineNamesEverything) {
    uint8_t head[20] = {0x14, 0x00, 0x00, 0x14, 0x00, 0x05, 0x01, 0x10, 0x01, 0x01};
    EXPECT_EQ(nyxsim_describe_datagram("->", "127.0.0.1:5000", head, 20, "x"),
              "-> 127.0.0.1:5000 SET_CONFIG(0x0110) Invalid Data(257) seq=5 size=20 | x");
    EXPECT_EQ(nyxsim_describe_datagram("<-", "127.0.0.1:5000", head, 7, "too short"),
              "<- 127.0.0.1:5000 7 bytes: too short");
    EXPECT_STREQ(nyxsim_status_name(130), "Too many clients");
    EXPECT_STREQ(nyxsim_opcode_name(0x0200), "?");
}

} // namespace
