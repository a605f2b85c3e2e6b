#include "client_test_util.h"

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(Records, AbsentRecordsCopyAndLatencyText) {
    EXPECT_STREQ(nyx_system_state_get_device_name(nullptr), "");
    EXPECT_EQ(nyx_system_options_get_interface(nullptr, 0), nullptr);
    nyx_system_config *config = nyx_system_config_new();
    ASSERT_NE(config, nullptr);
    const nyx_system_config zero{}, source = make_config();
    nyx_system_config_copy(config, &source);
    nyx_system_config_set_latency(config, nullptr);
    EXPECT_EQ(std::memcmp(config, &source, sizeof source), 0);
    nyx_system_config_set_latency(config, "a latency name that is far longer than it may be");
    EXPECT_EQ(std::string(config->latency), "a latency name that is far long");
    nyx_system_config_copy(config, nullptr);
    EXPECT_EQ(std::memcmp(config, &zero, sizeof zero), 0);
    nyx_system_config_free(config);
}

TEST(Records, LookupsTakeTheFirstMatchWhole) {
    nyx_system_options options = make_options();
    nyx_system_config config = make_config();
    const uint8_t *mac1 = options.interfaces[0].mac;
    EXPECT_EQ(nyx_system_config_set_interface(&config, nullptr, mac1), VTR_INVALIDPARAMETER);

    // A later entry with the same MAC never wins, and the name comes along.
    options.interfaces[2] = make_interface("later", 1);
    options.num_interfaces = 3;
    ASSERT_EQ(nyx_system_config_set_interface(&config, &options, mac1), VTR_SUCCESS);
    EXPECT_TRUE(nyx_interface_equal(&config.interface, &options.interfaces[0]));
    const uint8_t unknown[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(nyx_system_config_set_interface(&config, &options, unknown), VTR_INVALIDDATA);
    EXPECT_TRUE(nyx_interface_equal(&config.interface, &options.interfaces[0]));

    // Latencies: the first match too, within the count; names match exactly.
    options.latencies[2].us = 1000; // a second entry with 1000 us
    EXPECT_EQ(nyx_system_options_find_latency_by_us(&options, 1000), &options.latencies[0]);
    EXPECT_EQ(nyx_system_options_find_latency_by_us(&options, 1500), nullptr);
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, "2 ms"), &options.latencies[1]);
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, "2 ms "), nullptr);
    options.num_latencies = 1; // entries beyond the count are not offered
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, "2 ms"), nullptr);
    options.num_interfaces = 0;
    EXPECT_EQ(nyx_system_config_set_interface(&config, &options, mac1), VTR_INVALIDDATA);
}

TEST(Records, ValidationChecks) {
    using Change = std::function<void(nyx_system_config &, nyx_system_options &)>;
    const std::tuple<const char *, Change, bool> cases[] = {
        {"channel count not offered", [](auto &c, auto &) { c.channels = 4; }, false},
        {"names are not compared", [](auto &c, auto &) { c.interface.name[0] = u'X'; }, true},
        {"unknown MAC", [](auto &c, auto &) { c.interface.mac[5] = 9; }, false},
        {"zero MAC, even when offered",
         [](auto &c, auto &o) { c.interface = o.interfaces[1] = nyx_interface{}; }, false},
        {"too many channels for the rate",
         [](auto &c, auto &) { c.sample_rate = 96000, c.channels = 64; }, false},
        {"as many as the rate allows",
         [](auto &c, auto &) { c.sample_rate = 44100, c.channels = 64; }, true},
        {"a rate listed twice is judged by its first entry",
         [](auto &c, auto &o) { c.channels = 64, o.sample_rates[2].rate = 48000; }, true},
        {"latency names match exactly", [](auto &c, auto &) { std::strcpy(c.latency, "1 m"); },
         false},
        {"audio interface", [](auto &c, auto &) { c.asio.audio_interface = 2; }, false},
        {"WDM still needs a listed buffer size",
         [](auto &c, auto &) { c.asio.audio_interface = 1, c.asio.asio_buffer_size = 96; }, false},
        {"asio latency", [](auto &c, auto &) { c.asio.asio_latency_us = 1500; }, false},
        {"no ASIO options", [](auto &, auto &o) { o.asio = nyx_asio_options{}; }, false},
    };
    for (const auto &[what, change, valid] : cases) {
        nyx_system_config c = make_config();
        nyx_system_options o = make_options();
        change(c, o);
        EXPECT_EQ(nyx_system_config_is_valid(&c, &o), valid) << what;
    }
    const nyx_system_config good = make_config();
    EXPECT_FALSE(nyx_system_config_is_valid(&good, nullptr));
}

TEST(Records, Equality) {
    const nyx_system_options a = make_options();
    const std::pair<std::function<void(nyx_system_options &)>, bool> cases[] = {
        {[](auto &b) { b.channel_counts[10] = 5; }, true},        // beyond the count
        {[](auto &b) { b.interfaces[1].name[20] = u'x'; }, true}, // after the terminator
        {[](auto &b) { b.sample_rates[1].max_channels = 32; }, false},
        {[](auto &b) { b.asio.num_asio_latencies = 1; }, false},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        nyx_system_options b = a;
        cases[i].first(b);
        EXPECT_EQ(nyx_system_options_equal(&a, &b), cases[i].second) << "case " << i;
    }
    EXPECT_FALSE(nyx_system_options_equal(&a, nullptr));
}

TEST(Records, ConfigPrint) {
    LogCapture log;
    nyx_system_config config = make_config();
    nyx_system_config_log(log.logger, VTR_LOG_DEBUG, &config, "> ");
    EXPECT_EQ(log.lines,
              (Lines{"> Channels: 8\n", "> Interface Name: Ethernet 2\n",
                     "> Interface Address: 00:1d:c1:00:00:02\n", "> Sample Rate: 48000\n",
                     "> Sample Format: 24\n", "> Latency: 1 ms\n", "> Want to Run: true\n",
                     "> Pullup: None\n", "> Audio Interface: ASIO\n", "> Asio Buffer Size: 128\n",
                     "> Asio Encoding: 24\n", "> Asio Latency: 2000us\n"}));
}

TEST(Records, StatePrint) {
    LogCapture log;
    nyx_system_state state = make_state();
    nyx_system_state_log(log.logger, VTR_LOG_INFO, &state, "* ");
    ASSERT_EQ(log.lines.size(), 20u);
    EXPECT_EQ(log.lines[1], "*   Channels: 8\n"); // the configuration, indented
    EXPECT_EQ(Lines(log.lines.begin() + 13, log.lines.end()),
              (Lines{"* Config lock flags: 0x0011\n", "* Device Name: studio-a\n",
                     "* Link up: Up\n", "* Link Speed: 1000M/s\n", "* Ip Address: 192.168.1.20\n",
                     "* System Error: 1 (Running)\n", "* DLL Process Name: host.exe\n"}));
}

TEST(Records, OptionsPrint) {
    LogCapture log;
    nyx_system_options options = make_options();
    nyx_system_options_log(log.logger, VTR_LOG_DEBUG, &options, "  ");
    EXPECT_EQ(log.lines,
              (Lines{"  Channel Counts (4): 2,8,16,64\n", "  Interfaces (2): eth0,Ethernet 2\n",
                     "  Sample Rates (3): 44100(64),48000(64),96000(32)\n",
                     "  Sample Formats (2): 24,32\n",
                     "  Latencies (3): 1 ms(1000us),2 ms(2000us),500 us(500us)\n",
                     "  Asio Buffer Sizes: 64,128,256\n", "  Asio Encodings: 24,32\n",
                     "  Asio Latencies: 1000,2000\n"}));

    // Sixteen names of 63 characters make 1023 characters; the list text stops at 511.
    log.lines.clear();
    options.num_interfaces = 16;
    const std::string name(63, 'x');
    for (nyx_interface &itf : options.interfaces)
        set_wide(itf.name, name.c_str());
    nyx_system_options_log(log.logger, VTR_LOG_DEBUG, &options, "");
    std::string expected = name;
    while (expected.size() < 511)
        expected += "," + name;
    EXPECT_EQ(log.lines.at(1), "Interfaces (16): " + expected.substr(0, 511) + "\n");
}

} // namespace
