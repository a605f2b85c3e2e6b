// The simulator and the program agree on every body: what the simulator encodes the client
// decodes to the same record, and the configuration the client sends decodes back whole.
#include "client/nyx_bodies.h"
#include "sim/sim_bodies.h"
#include "sim/sim_model.h"
#include "tests/sim/sim_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

nyxsim_model example_model() {
    nyxsim_model m;
    nyxsim_model_defaults(&m);
    std::string message;
    // Every field away from zero, non-ASCII text included.
    EXPECT_EQ(nyxsim_model_load_text(&m,
                                     "want_to_run = 1\n"
                                     "audio_interface = WDM\n"
                                     "pullup = 3\n"
                                     "config_lock_flags = 0x0101\n"
                                     "slot7_value = 77\n"
                                     "dll_process_name = Stüdio\xf0\x9f\x8e\xb5.exe\n"
                                     "device_lock_status = 3\n"
                                     "domain_enrolled = 1\n"
                                     "domain_connected = 1\n"
                                     "domain_name = venue\n"
                                     "domain_text = Venue North\n"
                                     "domain_value = 70000\n"
                                     "version_text = 4.2.1b\n"
                                     "interface = 3c:22:fb:84:7e:12\n",
                                     &message),
              VTR_SUCCESS)
        << message;
    m.version.word0 = 9;
    m.version.word7 = 11;
    return m;
}

TEST(SimRoundTrip, ClientDecodesWhatTheSimulatorSends) {
    nyxsim_model m = example_model();

    auto msg = fresh_message(0x0102);
    ASSERT_EQ(nyxsim_encode_system_state(msg.get(), &m.state), VTR_SUCCESS);
    nyx_system_state state;
    ASSERT_EQ(nyx_decode_system_state(msg.get(), &state), VTR_SUCCESS);
    EXPECT_TRUE(nyx_system_state_equal(&state, &m.state));
    EXPECT_EQ(state.config.interface.name[8], u'\u00e4');
    EXPECT_EQ(state.domain.domain_value, 70000u);

    msg = fresh_message(0x0100);
    ASSERT_EQ(nyxsim_encode_system_options(msg.get(), &m.options), VTR_SUCCESS);
    nyx_system_options options;
    ASSERT_EQ(nyx_decode_system_options(msg.get(), &options), VTR_SUCCESS);
    EXPECT_TRUE(nyx_system_options_equal(&options, &m.options));
    EXPECT_EQ(options.asio.num_asio_latencies, m.options.asio.num_asio_latencies);

    msg = fresh_message(0x0001);
    ASSERT_EQ(nyxsim_encode_server_version(msg.get(), &m.version), VTR_SUCCESS);
    nyx_server_version version;
    ASSERT_EQ(nyx_decode_server_version(msg.get(), &version), VTR_SUCCESS);
    EXPECT_TRUE(nyx_server_version_equal(&version, &m.version));

    msg = fresh_message(0x0103);
    ASSERT_EQ(nyxsim_encode_name(msg.get(), &m.name), VTR_SUCCESS);
    nyx_name name;
    ASSERT_EQ(nyx_decode_name(msg.get(), &name), VTR_SUCCESS);
    EXPECT_TRUE(nyx_name_equal(&name, &m.name));
}

TEST(SimRoundTrip, EmptyListsAndFullListsSurvive) {
    nyxsim_model m;
    nyxsim_model_defaults(&m);
    std::string message;
    ASSERT_EQ(nyxsim_model_load_text(&m,
                                     "asio_buffer_sizes =\nasio_encodings =\nasio_latencies =\n"
                                     "sample_formats = 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n",
                                     &message),
              VTR_SUCCESS)
        << message;
    auto msg = fresh_message(0x0100);
    ASSERT_EQ(nyxsim_encode_system_options(msg.get(), &m.options), VTR_SUCCESS);
    nyx_system_options options;
    ASSERT_EQ(nyx_decode_system_options(msg.get(), &options), VTR_SUCCESS);
    EXPECT_TRUE(nyx_system_options_equal(&options, &m.options));
    EXPECT_EQ(options.num_sample_formats, 16);
    EXPECT_EQ(options.asio.num_asio_buffer_sizes, 0);
}

TEST(SimRoundTrip, SimulatorDecodesWhatTheClientSends) {
    nyxsim_model m = example_model();
    auto msg = fresh_message(0x0110);
    ASSERT_EQ(nyx_encode_system_config(msg.get(), &m.state.config, nullptr), VTR_SUCCESS);
    nyx_system_config config;
    ASSERT_EQ(nyxsim_decode_system_config(msg.get(), 0, &config), VTR_SUCCESS);
    EXPECT_EQ(memcmp(&config, &m.state.config, sizeof config), 0);

    // The client's connect body carries its connect value.
    msg = fresh_message(0x0001);
    ASSERT_EQ(nyx_encode_connect(msg.get(), 3), VTR_SUCCESS);
    uint16_t value = 0;
    ASSERT_EQ(nyxsim_decode_connect(msg.get(), &value), VTR_SUCCESS);
    EXPECT_EQ(value, 3);
}

} // namespace
