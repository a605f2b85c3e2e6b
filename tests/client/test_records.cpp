#include "client_test_util.h"

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TEST(Records, AbsentRecordsAndFieldAccess) {
    EXPECT_EQ(nyx_system_config_get_interface_mac(nullptr)[5], 0);
    EXPECT_STREQ(nyx_system_config_get_latency(nullptr), "");
    EXPECT_EQ(nyx_system_state_get_config(nullptr), nullptr);
    EXPECT_EQ(nyx_system_state_get_ip_address(nullptr)[3], 0);
    EXPECT_EQ(nyx_system_options_get_interface(nullptr, 0), nullptr);
    nyx_system_config_set_channels(nullptr, 8);
    nyx_system_config_set_latency(nullptr, "1 ms");

    nyx_system_config config = make_config();
    nyx_system_config_set_latency(&config, nullptr);
    EXPECT_STREQ(config.latency, "1 ms");
    nyx_system_config_set_latency(&config, "a latency name that is far longer than it may be");
    EXPECT_EQ(std::string(config.latency), std::string("a latency name that is far long"));

    const nyx_system_options options = make_options();
    EXPECT_EQ(nyx_system_options_get_asio_buffer_size(&options, 2), 256u);
    EXPECT_EQ(nyx_system_options_get_asio_buffer_size(&options, 3), 0u); // beyond the count
    EXPECT_EQ(nyx_system_options_get_interface(&options, 2), nullptr);
}

TEST(Records, NewCopyFree) {
    nyx_system_config *config = nyx_system_config_new();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->channels, 0);
    const nyx_system_config source = make_config();
    nyx_system_config_copy(config, &source);
    EXPECT_EQ(std::memcmp(config, &source, sizeof source), 0);
    nyx_system_config_copy(config, nullptr);
    const nyx_system_config zero{};
    EXPECT_EQ(std::memcmp(config, &zero, sizeof zero), 0);
    nyx_system_config_copy(nullptr, &source);
    nyx_system_config_free(config);
    nyx_system_config_free(nullptr);
}

TEST(Records, SetInterfaceTakesFirstMatchWhole) {
    nyx_system_options options = make_options();
    nyx_system_config config = make_config();
    const uint8_t *mac1 = options.interfaces[0].mac;

    EXPECT_EQ(nyx_system_config_set_interface(nullptr, &options, mac1), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_system_config_set_interface(&config, nullptr, mac1), VTR_INVALIDPARAMETER);
    EXPECT_EQ(nyx_system_config_set_interface(&config, &options, nullptr), VTR_INVALIDPARAMETER);

    // A later entry with the same MAC never wins, and the name comes along.
    options.interfaces[2] = make_interface("later", 1);
    options.num_interfaces = 3;
    ASSERT_EQ(nyx_system_config_set_interface(&config, &options, mac1), VTR_SUCCESS);
    EXPECT_TRUE(nyx_interface_equal(&config.interface, &options.interfaces[0]));

    const nyx_system_config before = config;
    const uint8_t unknown[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(nyx_system_config_set_interface(&config, &options, unknown), VTR_INVALIDDATA);
    EXPECT_TRUE(nyx_interface_equal(&config.interface, &before.interface));

    options.num_interfaces = 0;
    EXPECT_EQ(nyx_system_config_set_interface(&config, &options, mac1), VTR_INVALIDDATA);
}

TEST(Records, ValidationChecks) {
    const nyx_system_options options = make_options();
    const nyx_system_config good = make_config();
    ASSERT_TRUE(nyx_system_config_is_valid(&good, &options));
    EXPECT_FALSE(nyx_system_config_is_valid(nullptr, &options));
    EXPECT_FALSE(nyx_system_config_is_valid(&good, nullptr));

    nyx_system_config c = good;
    c.channels = 4;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "channel count not offered";

    // Only the MAC decides, and all zero never matches, even when offered.
    c = good;
    set_wide(c.interface.name, "renamed");
    EXPECT_TRUE(nyx_system_config_is_valid(&c, &options));
    c.interface.mac[5] = 9;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options));
    nyx_system_options zero_mac = options;
    std::memset(zero_mac.interfaces[0].mac, 0, 6);
    std::memset(c.interface.mac, 0, 6);
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &zero_mac));

    c = good;
    c.sample_rate = 88200;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "rate not offered";
    c = good;
    c.sample_rate = 96000;
    c.channels = 64;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "too many channels for the rate";
    c.channels = 16;
    EXPECT_TRUE(nyx_system_config_is_valid(&c, &options));

    // A rate listed twice is judged by its first entry.
    nyx_system_options twice = options;
    twice.sample_rates[0] = {48000, 2};
    twice.sample_rates[2] = {48000, 64};
    EXPECT_FALSE(nyx_system_config_is_valid(&good, &twice));

    c = good;
    c.sample_format = 16;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "format";
    c = good;
    std::strcpy(c.latency, "1 m");
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "latency names match exactly";
    c = good;
    c.asio.audio_interface = 2;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "audio interface";

    // WDM still needs ASIO values among the ASIO options.
    c = good;
    c.asio.audio_interface = NYX_AUDIO_INTERFACE_WDM;
    EXPECT_TRUE(nyx_system_config_is_valid(&c, &options));
    c.asio.asio_buffer_size = 96;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "buffer size";
    c = good;
    c.asio.asio_encoding = 16;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "encoding";
    c = good;
    c.asio.asio_latency_us = 1500;
    EXPECT_FALSE(nyx_system_config_is_valid(&c, &options)) << "asio latency";
    nyx_system_options no_asio = options;
    no_asio.asio = nyx_asio_options{};
    EXPECT_FALSE(nyx_system_config_is_valid(&good, &no_asio));
}

TEST(Records, LatencyLookups) {
    nyx_system_options options = make_options();
    options.latencies[2].us = 1000; // a second entry with 1000 us
    EXPECT_EQ(nyx_system_options_find_latency_by_us(&options, 1000), &options.latencies[0]);
    EXPECT_EQ(nyx_system_options_find_latency_by_us(&options, 1500), nullptr);
    EXPECT_EQ(nyx_system_options_find_latency_by_us(nullptr, 1000), nullptr);
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, "2 ms"), &options.latencies[1]);
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, "2 ms "), nullptr);
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, nullptr), nullptr);
    options.num_latencies = 1; // entries beyond the count are not offered
    EXPECT_EQ(nyx_system_options_find_latency_by_name(&options, "2 ms"), nullptr);
}

TEST(Records, Equality) {
    const nyx_system_options a = make_options();
    nyx_system_options b = a;
    EXPECT_TRUE(nyx_system_options_equal(&a, &b));
    EXPECT_FALSE(nyx_system_options_equal(&a, nullptr));
    b.channel_counts[10] = 5; // beyond the count
    EXPECT_TRUE(nyx_system_options_equal(&a, &b));

    b = a;
    b.sample_rates[1].max_channels = 32;
    EXPECT_FALSE(nyx_system_options_equal(&a, &b));
    b = a;
    b.interfaces[1].name[0] = u'e';
    EXPECT_FALSE(nyx_system_options_equal(&a, &b));
    b = a;
    b.interfaces[1].name[20] = u'x'; // after the terminator
    EXPECT_TRUE(nyx_system_options_equal(&a, &b));
    b = a;
    b.latencies[2].us = 501;
    EXPECT_FALSE(nyx_system_options_equal(&a, &b));
    b = a;
    b.asio.num_asio_latencies = 1;
    EXPECT_FALSE(nyx_system_options_equal(&a, &b));
    b = a;
    b.asio.asio_encodings[1] = 16;
    EXPECT_FALSE(nyx_system_options_equal(&a, &b));

    const nyx_system_state s = make_state();
    nyx_system_state t;
    std::memcpy(&t, &s, sizeof t);
    EXPECT_TRUE(nyx_system_state_equal(&s, &t));
    t.slot7_value = 8; // read by nobody, still part of the record
    EXPECT_FALSE(nyx_system_state_equal(&s, &t));

    nyx_name n1{}, n2{};
    std::strcpy(n1.name, "a");
    EXPECT_FALSE(nyx_name_equal(&n1, &n2));
    nyx_server_version v1{}, v2{};
    EXPECT_TRUE(nyx_server_version_equal(&v1, &v2));
    v2.word7 = 1;
    EXPECT_FALSE(nyx_server_version_equal(&v1, &v2));
}

TEST(Records, ConfigPrint) {
    LogCapture log;
    nyx_system_config config = make_config();
    nyx_system_config_log(log.logger, VTR_LOG_DEBUG, &config, "> ");
    EXPECT_EQ(log.lines, (Lines{
                             "> Channels: 8\n",
                             "> Interface Name: Ethernet 2\n",
                             "> Interface Address: 00:1d:c1:00:00:02\n",
                             "> Sample Rate: 48000\n",
                             "> Sample Format: 24\n",
                             "> Latency: 1 ms\n",
                             "> Want to Run: true\n",
                             "> Pullup: None\n",
                             "> Audio Interface: ASIO\n",
                             "> Asio Buffer Size: 128\n",
                             "> Asio Encoding: 24\n",
                             "> Asio Latency: 2000us\n",
                         }));

    log.lines.clear();
    config.interface.name[0] = u'e';
    config.interface.name[1] = 0x00e9;
    config.interface.name[2] = 0;
    config.asio.audio_interface = 2;
    config.want_to_run = 0;
    config.pullup = NYX_PULLUP_MINUS_4;
    nyx_system_config_log(log.logger, VTR_LOG_DEBUG, &config, nullptr);
    ASSERT_EQ(log.lines.size(), 12u);
    EXPECT_EQ(log.lines[1], "Interface Name: 0065 00e9\n");
    EXPECT_EQ(log.lines[6], "Want to Run: false\n");
    EXPECT_EQ(log.lines[7], "Pullup: -4%\n");
    EXPECT_EQ(log.lines[8], "Audio Interface: ?\n");

    // Nothing reaches a logger whose level is below the print's.
    LogCapture quiet(VTR_LOG_INFO);
    nyx_system_config_log(quiet.logger, VTR_LOG_DEBUG, &config, "");
    nyx_system_state_log(quiet.logger, VTR_LOG_DEBUG, nullptr, "");
    EXPECT_TRUE(quiet.lines.empty());
}

TEST(Records, StatePrint) {
    LogCapture log;
    nyx_system_state state = make_state();
    nyx_system_state_log(log.logger, VTR_LOG_INFO, &state, "* ");
    ASSERT_EQ(log.lines.size(), 20u);
    EXPECT_EQ(log.lines[0], "* Config:\n");
    EXPECT_EQ(log.lines[1], "*   Channels: 8\n");
    EXPECT_EQ(log.lines[12], "*   Asio Latency: 2000us\n");
    EXPECT_EQ(Lines(log.lines.begin() + 13, log.lines.end()), (Lines{
                                                                  "* Config lock flags: 0x0011\n",
                                                                  "* Device Name: studio-a\n",
                                                                  "* Link up: Up\n",
                                                                  "* Link Speed: 1000M/s\n",
                                                                  "* Ip Address: 192.168.1.20\n",
                                                                  "* System Error: 1 (Running)\n",
                                                                  "* DLL Process Name: host.exe\n",
                                                              }));

    log.lines.clear();
    state.system_error = 0x0102;
    state.link_up = 0;
    nyx_system_state_log(log.logger, VTR_LOG_INFO, &state, "");
    EXPECT_EQ(log.lines[15], "Link up: Down\n");
    EXPECT_EQ(log.lines[18], "System Error: 258 (Sleeping)\n");
    log.lines.clear();
    state.system_error = 0x0103;
    nyx_system_state_log(log.logger, VTR_LOG_INFO, &state, "");
    EXPECT_EQ(log.lines[18], "System Error: 259 ((null))\n");
}

TEST(Records, OptionsPrint) {
    LogCapture log;
    nyx_system_options options = make_options();
    nyx_system_options_log(log.logger, VTR_LOG_DEBUG, &options, "  ");
    EXPECT_EQ(log.lines, (Lines{
                             "  Channel Counts (4): 2,8,16,64\n",
                             "  Interfaces (2): eth0,Ethernet 2\n",
                             "  Sample Rates (3): 44100(64),48000(64),96000(32)\n",
                             "  Sample Formats (2): 24,32\n",
                             "  Latencies (3): 1 ms(1000us),2 ms(2000us),500 us(500us)\n",
                             "  Asio Buffer Sizes: 64,128,256\n",
                             "  Asio Encodings: 24,32\n",
                             "  Asio Latencies: 1000,2000\n",
                         }));

    // Empty lists print empty texts, never the previous list's.
    log.lines.clear();
    const nyx_system_options empty{};
    nyx_system_options_log(log.logger, VTR_LOG_DEBUG, &empty, "");
    EXPECT_EQ(log.lines, (Lines{
                             "Channel Counts (0): \n",
                             "Interfaces (0): \n",
                             "Sample Rates (0): \n",
                             "Sample Formats (0): \n",
                             "Latencies (0): \n",
                             "Asio Buffer Sizes: \n",
                             "Asio Encodings: \n",
                             "Asio Latencies: \n",
                         }));

    // Sixteen names of 63 characters make 1023 characters; the list text stops at 511.
    log.lines.clear();
    options.num_interfaces = 16;
    for (nyx_interface &itf : options.interfaces) {
        set_wide(itf.name, std::string(63, 'x').c_str());
    }
    nyx_system_options_log(log.logger, VTR_LOG_DEBUG, &options, "");
    std::string expected = std::string(63, 'x');
    while (expected.size() < 511) {
        expected += "," + std::string(63, 'x');
    }
    EXPECT_EQ(log.lines.at(1), "Interfaces (16): " + expected.substr(0, 511) + "\n");
}

} // namespace
