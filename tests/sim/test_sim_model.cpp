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

TEST(SimModel, DefaultsAreValidDumpLoadsBackAndBadLinesChangeNothing) {
    nyxsim_model m = defaults();
    EXPECT_TRUE(nyx_system_config_is_valid(&m.state.config, &m.options));
    EXPECT_EQ(nyxsim_model_check_size(&m, nullptr), VTR_SUCCESS);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_STOPPED);

    std::string message;
    ASSERT_EQ(nyxsim_model_load_text(&m,
                                     "domain_enrolled = 1\r\ninterfaces = LAN @ 01:02:03:04:05:06,"
                                     " Funk-Ger\xc3\xa4t @ 0a:0b:0c:0d:0e:0f\n",
                                     &message),
              VTR_SUCCESS)
        << message;
    EXPECT_EQ(m.state.config.interface.name[0], u'L'); // not in the list: its first entry
    nyxsim_model loaded{};
    ASSERT_EQ(nyxsim_model_load_text(&loaded, nyxsim_model_dump(&m), &message), VTR_SUCCESS)
        << message;
    EXPECT_TRUE(same(loaded, m));
    EXPECT_EQ(loaded.options.interfaces[1].name[8], u'\u00e4');

    for (const auto &[text, reason] : {std::pair{"channels = 8\nbogus = 1\n", "line 2: bogus"},
                                       {"channels = 65536\n", "line 1: channels"},
                                       {"interface = 00:00:00:00:00:01\n", ""},
                                       {"interfaces = \xff\xfe @ 00:11:22:33:44:55\n", ""}}) {
        nyxsim_model m = defaults();
        EXPECT_NE(nyxsim_model_load_text(&m, text, &message), VTR_SUCCESS) << text;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
        EXPECT_TRUE(same(m, defaults())) << text;
    }
}

TEST(SimModel, SetConfigRules) {
    nyxsim_model m = defaults();
    auto check = [](const nyxsim_model &model, auto change) {
        nyx_system_config next = model.state.config;
        change(next);
        return nyxsim_model_check_config(&model, &next);
    };
    EXPECT_EQ(check(m, [](auto &) {}), 1);
    EXPECT_EQ(check(m, [](auto &n) { n.channels = 3; }), 0x0101);
    EXPECT_EQ(nyxsim_model_check_config(&m, nullptr), 0x0101);

    // Starting makes it report running; the name of the interface is the manager's.
    nyx_system_config c = m.state.config;
    c.want_to_run = 1;
    c.interface.name[0] = u'X';
    ASSERT_EQ(nyxsim_model_check_config(&m, &c), 1);
    nyxsim_model_apply_config(&m, &c);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_RUNNING);
    EXPECT_EQ(m.state.config.interface.name[0], u'E');

    // Running: what the soundcard cannot change refuses; ASIO changes and stopping do not.
    EXPECT_EQ(check(m, [](auto &n) { n.channels = 16; }), 0x0102);
    EXPECT_EQ(check(m, [&](auto &n) { n.interface = m.options.interfaces[1]; }), 0x0102);
    EXPECT_EQ(check(m, [](auto &n) { n.asio.audio_interface = 1; }), 0x0102);
    EXPECT_EQ(check(m, [](auto &n) { strcpy(n.latency, "2 ms"); }), 0x0102);
    EXPECT_EQ(check(m, [](auto &n) { n.asio.asio_buffer_size = 512; }), 1);
    c = m.state.config;
    c.want_to_run = 0;
    c.channels = 16;
    ASSERT_EQ(nyxsim_model_check_config(&m, &c), 1);
    nyxsim_model_apply_config(&m, &c);
    EXPECT_EQ(m.state.system_error, NYXSIM_ERROR_STOPPED);

    // Locked: starting and ASIO changes refuse, the rest goes through. An unreachable domain
    // server does not lock.
    for (const auto &[lock, refused] :
         {std::pair<const char *, uint16_t>{"device_lock_status = 1", 0x0102},
          {"domain_enrolled = 1\ndomain_connected = 1\ndomain_config_allowed = 0", 0x0102},
          {"domain_enrolled = 1\ndomain_connected = 0\ndomain_config_allowed = 0", 1}}) {
        nyxsim_model locked = m;
        std::string message;
        ASSERT_EQ(nyxsim_model_load_text(&locked, lock, &message), VTR_SUCCESS);
        EXPECT_EQ(check(locked, [](auto &n) { n.want_to_run = 1; }), refused) << lock;
        EXPECT_EQ(check(locked, [](auto &n) { n.asio.asio_encoding = 32; }), refused) << lock;
        EXPECT_EQ(check(locked, [](auto &n) { n.channels = 32; }), 1) << lock;
    }
}

} // namespace
