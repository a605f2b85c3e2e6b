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
    // clang-format off
    return {4, {2, 8, 16, 64}, 2, {make_interface("eth0", 1), make_interface("Ethernet 2", 2)},
            3, {{44100, 64}, {48000, 64}, {96000, 32}}, 2, {24, 32}, 3,
            {{"1 ms", 1000}, {"2 ms", 2000}, {"500 us", 500}},
            {2, {1000, 2000}, 3, {64, 128, 256}, 2, {24, 32}}};
    // clang-format on
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

// "00ff..." as bytes.
inline std::vector<uint8_t> from_hex(const char *hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2)
        bytes.push_back(uint8_t(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
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
