// Shared by the service client's tests: sample records, and bodies built by the simulated
// manager's encoders, which are what the client meets on the wire.
#pragma once

#include "client/nyx_bodies.h"
#include "client/nyx_records.h"
#include "sim/sim_bodies.h"
#include "tests/sbcp2/log_capture.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

inline void set_wide(char16_t *field, const char *text) {
    size_t i = 0;
    for (; text[i] != 0; i++)
        field[i] = char16_t(static_cast<unsigned char>(text[i]));
    field[i] = 0;
}

inline nyx_interface make_interface(const char *name, uint8_t last) {
    nyx_interface itf{{}, {0x00, 0x1d, 0xc1, 0x00, 0x00, last}}; // no padding to clear
    set_wide(itf.name, name);
    return itf;
}

// Records are compared whole, so they start zeroed, padding included.
template <typename T> T zeroed() {
    T record;
    std::memset(static_cast<void *>(&record), 0, sizeof record);
    return record;
}

inline nyx_system_options make_options() {
    auto o = zeroed<nyx_system_options>();
    o.num_channel_counts = 4, o.channel_counts[0] = 2, o.channel_counts[1] = 8;
    o.channel_counts[2] = 16, o.channel_counts[3] = 64;
    o.num_interfaces = 2;
    o.interfaces[0] = make_interface("eth0", 1), o.interfaces[1] = make_interface("Ethernet 2", 2);
    o.num_sample_rates = 3;
    o.sample_rates[0] = {44100, 64}, o.sample_rates[1] = {48000, 64},
    o.sample_rates[2] = {96000, 32};
    o.num_sample_formats = 2, o.sample_formats[0] = 24, o.sample_formats[1] = 32;
    o.num_latencies = 3;
    o.latencies[0] = {"1 ms", 1000}, o.latencies[1] = {"2 ms", 2000},
    o.latencies[2] = {"500 us", 500};
    nyx_asio_options &a = o.asio;
    a.num_asio_buffer_sizes = 3, a.asio_buffer_sizes[0] = 64, a.asio_buffer_sizes[1] = 128;
    a.asio_buffer_sizes[2] = 256;
    a.num_asio_encodings = 2, a.asio_encodings[0] = 24, a.asio_encodings[1] = 32;
    a.num_asio_latencies = 2, a.asio_latencies[0] = 1000, a.asio_latencies[1] = 2000;
    return o;
}

// Valid against make_options().
inline nyx_system_config make_config() {
    auto c = zeroed<nyx_system_config>();
    c.channels = 8;
    c.interface = make_interface("Ethernet 2", 2);
    c.sample_rate = 48000;
    c.sample_format = 24;
    std::strcpy(c.latency, "1 ms");
    c.want_to_run = 1;
    c.asio.asio_latency_us = 2000;
    c.asio.asio_buffer_size = 128;
    c.asio.asio_encoding = 24;
    return c;
}

inline nyx_system_state make_state() {
    auto s = zeroed<nyx_system_state>();
    const nyx_system_config config = make_config();
    std::memcpy(&s.config, &config, sizeof config); // keeps the zeroed padding
    s.config_lock_flags = 0x0011;
    s.system_error = 0x0001;
    s.slot7_value = 7;
    s.link_up = 1;
    s.link_speed = 1000;
    const uint8_t ip[4] = {192, 168, 1, 20};
    std::memcpy(s.ip_address, ip, 4);
    std::strcpy(s.device_name, "studio-a");
    set_wide(s.dll_process_name, "host.exe");
    s.device_lock_status = 2;
    s.domain.enrolled = s.domain.connected = s.domain.config_allowed = 1;
    std::strcpy(s.domain.domain_name, "north");
    std::strcpy(s.domain.domain_text, "text");
    s.domain.domain_value = 99;
    return s;
}

inline std::unique_ptr<sbcp2_message> new_message(uint16_t opcode) {
    auto m = std::make_unique<sbcp2_message>();
    sbcp2_message_init_record(m.get());
    sbcp2_message_init_head(m.get(), NYX_PROTOCOL_VERSION, opcode);
    return m;
}

// The body the manager sends for a record.
template <typename R>
std::unique_ptr<sbcp2_message>
encoded(uint16_t opcode, vtr_error (*encode)(sbcp2_message *, const R *), const R &record) {
    auto m = new_message(opcode);
    EXPECT_EQ(encode(m.get(), &record), VTR_SUCCESS);
    return m;
}
